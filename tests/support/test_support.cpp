#include "support/test_support.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "log/log_manager.h"
#include "platform/log_files.h"
#include "support/platform/process.h"
#include "support/platform/raw_socket.h"

namespace qelt::test {

temp_dir::temp_dir() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("qelt-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(path_)) break;
  }
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> read_lines(const std::filesystem::path& path) {
  const std::string text = read_file(path);
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  const std::string end_of_line = qelt::platform::record_end;
  for (auto end = text.find(end_of_line); end != std::string::npos; end = text.find(end_of_line, start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + end_of_line.size();
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::vector<log_record> read_records(const std::filesystem::path& path) {
  static const std::regex record(
      R"(\[(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})\] \[(\w+)\] \[([^,\]]+), ([^:\]]+(?:::[^:\]]+)*):(\d+)\] (.*))");
  std::vector<log_record> records;
  for (const std::string& line : read_lines(path)) {
    std::smatch match;
    if (!std::regex_match(line, match, record)) {
      ADD_FAILURE() << "not a log record: " << line;
      continue;
    }
    records.push_back({match[1], match[2], match[3], match[4], std::stoi(match[5]), match[6]});
  }
  return records;
}

std::string local_date() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  local = *std::localtime(&now);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

std::filesystem::path use_log_in(const std::filesystem::path& folder) {
  log_manager::create((folder / "qelt.log").string(), "QELT_LOGGER", "debug");
  return folder / ("qelt_" + local_date() + ".log");
}

int free_port() {
  // Not httplib's bind_to_any_port: its server keeps that socket open, and with
  // SO_REUSEPORT it would quietly share the port with the server under test.
  const int port = test::platform_free_port();
  if (port <= 0) throw std::runtime_error("no free loopback port");
  return port;
}

process_result run_process(const std::string& command_line) {
  return platform::run_and_capture(command_line);
}

process_result run_in(const std::filesystem::path& folder, const std::filesystem::path& program,
                      const std::string& args) {
  process_result result =
      platform::run_and_capture(platform::command_in(folder.string(), program.string(), args));
  std::erase(result.output, '\r');
  return result;
}

}  // namespace qelt::test
