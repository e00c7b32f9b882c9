// Helpers shared by the tests: temporary folders, free ports, files, processes
// and the process log pointed at a folder of the test's own.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qelt::test {

// A fresh folder under the system's temporary folder, removed with its content.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
std::vector<std::string> read_lines(const std::filesystem::path& path);  // split at "\r\n"

// Today's date as the daily log file names it: YYYY-MM-DD, local time.
std::string local_date();

// Points the process log at folder/qelt.log; returns the path of today's file.
std::filesystem::path use_log_in(const std::filesystem::path& folder);

// One log record, split into the fields the record pattern writes.
struct log_record {
  std::string date_time;
  std::string level;
  std::string file;
  std::string function;
  int line = 0;
  std::string message;
};
// The records of a log file; a line that is not a record fails the calling test.
std::vector<log_record> read_records(const std::filesystem::path& path);

// A loopback port that was free a moment ago.
int free_port();

struct process_result {
  int exit_code;
  std::string output;  // standard output
};
// Runs a command line through the system's shell and captures its standard output.
process_result run_process(const std::string& command_line);
// Runs program with args (already quoted as the shell needs) from folder; carriage returns dropped.
process_result run_in(const std::filesystem::path& folder, const std::filesystem::path& program,
                      const std::string& args);

}  // namespace qelt::test
