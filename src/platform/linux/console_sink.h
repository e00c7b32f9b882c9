// The console sink of the process log on Linux. On a terminal, spdlog's coloured
// sink; when standard output is the journal's stream (a systemd service), each line
// starts with its level as the journal's priority ("<6>" info, "<4>" warning, ...),
// which journald takes as the entry's PRIORITY and strips, so that
// `journalctl -u qelt-agent -p warning` finds the warnings.
#pragma once

#include <memory>
#include <mutex>

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/base_sink.h>

namespace qelt::platform {

// Whether standard output is the stream systemd's $JOURNAL_STREAM names.
bool stdout_is_journal();

// The "<N>" prefix of a record of this level.
const char* journal_priority_prefix(spdlog::level::level_enum level);

class journal_console_sink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit journal_console_sink(spdlog::color_mode mode);

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override;
  void set_pattern_(const std::string& pattern) override;
  void set_formatter_(std::unique_ptr<spdlog::formatter> formatter) override;

 private:
  const bool to_journal_;
  spdlog::sinks::ansicolor_stdout_sink_mt terminal_;
};

}  // namespace qelt::platform
