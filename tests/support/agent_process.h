// The agent executable run as a process, the way a user or the service manager runs it:
// a copy in a folder of the test's own.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main/exe_path.h"
#include "support/test_support.h"

namespace qelt::test {

// A copy of the agent in a folder of the test's own, so that its logs are the test's.
class agent_process : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path built = std::filesystem::path(get_exe_dir()).parent_path() / "src" / agent_name();
    ASSERT_TRUE(std::filesystem::exists(built)) << built;
    install_dir = dir.path() / "agent dir";
    std::filesystem::create_directories(install_dir);
    agent = install_dir / agent_name();
    std::filesystem::copy_file(built, agent);
  }

  static std::string agent_name() {
    const std::string self = std::filesystem::path(get_exe_path()).filename().string();
    return self.size() > 4 && self.substr(self.size() - 4) == ".exe" ? "qelt-agent.exe" : "qelt-agent";
  }

  process_result run(const std::string& args) { return run_from(install_dir, args); }
  process_result run_from(const std::filesystem::path& folder, const std::string& args) {
    return run_in(folder, agent, args);
  }

  std::filesystem::path log_file() const { return install_dir / "logs" / ("qelt_" + local_date() + ".log"); }
  std::vector<log_record> records() const { return read_records(log_file()); }

  temp_dir dir;
  std::filesystem::path install_dir;
  std::filesystem::path agent;
};

// The records of the run path. Requests from other programs on this machine may
// reach the real port while the agent is up; their records are left out.
inline std::vector<log_record> lifecycle(std::vector<log_record> records) {
  std::erase_if(records, [](const log_record& r) { return r.function.find("_handler") != std::string::npos; });
  return records;
}

inline std::vector<std::string> messages(const std::vector<log_record>& records) {
  std::vector<std::string> out;
  for (const auto& r : lifecycle(records)) out.push_back(r.message);
  return out;
}

}  // namespace qelt::test
