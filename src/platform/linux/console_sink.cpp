#include "platform/linux/console_sink.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <spdlog/pattern_formatter.h>

namespace qelt::platform {

bool stdout_is_journal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  struct stat out{};
  if (fstat(STDOUT_FILENO, &out) != 0) return false;
  // "device:inode" of the stream systemd connected; a redirected standard output differs.
  const std::string expected = std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino);
  return expected == stream;
}

const char* journal_priority_prefix(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::critical: return "<2>";
    case spdlog::level::err: return "<3>";
    case spdlog::level::warn: return "<4>";
    case spdlog::level::info: return "<6>";
    default: return "<7>";
  }
}

journal_console_sink::journal_console_sink(spdlog::color_mode mode) : to_journal_(stdout_is_journal()), terminal_(mode) {}

void journal_console_sink::sink_it_(const spdlog::details::log_msg& msg) {
  if (!to_journal_) {
    terminal_.log(msg);
    return;
  }
  spdlog::memory_buf_t text;
  formatter_->format(msg, text);
  std::fputs(journal_priority_prefix(msg.level), stdout);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void journal_console_sink::flush_() {
  if (to_journal_) {
    std::fflush(stdout);
  } else {
    terminal_.flush();
  }
}

void journal_console_sink::set_pattern_(const std::string& pattern) {
  set_formatter_(std::make_unique<spdlog::pattern_formatter>(pattern));
}

void journal_console_sink::set_formatter_(std::unique_ptr<spdlog::formatter> formatter) {
  terminal_.set_formatter(formatter->clone());
  formatter_ = std::move(formatter);
}

}  // namespace qelt::platform
