// The agent executable run as a process, the way a user or the service manager runs it.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main/exe_path.h"
#include "support/test_support.h"

namespace qelt {
namespace {

namespace fs = std::filesystem;
using test::log_record;

// A copy of the agent in a folder of the test's own, so that its logs are the test's.
class agent_process : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path built = fs::path(get_exe_dir()).parent_path() / "src" / agent_name();
    ASSERT_TRUE(fs::exists(built)) << built;
    install_dir = dir.path() / "agent dir";
    fs::create_directories(install_dir);
    agent = install_dir / agent_name();
    fs::copy_file(built, agent);
  }

  static std::string agent_name() {
    const std::string self = fs::path(get_exe_path()).filename().string();
    return self.size() > 4 && self.substr(self.size() - 4) == ".exe" ? "qelt-agent.exe" : "qelt-agent";
  }

  test::process_result run(const std::string& args) { return run_from(install_dir, args); }
  test::process_result run_from(const fs::path& folder, const std::string& args) {
    return test::run_in(folder, agent, args);
  }

  fs::path log_file() const { return install_dir / "logs" / ("qelt_" + test::local_date() + ".log"); }
  std::vector<log_record> records() const { return test::read_records(log_file()); }

  test::temp_dir dir;
  fs::path install_dir;
  fs::path agent;
};

// The records of the run path. Requests from other programs on this machine may
// reach the real port while the agent is up; their records are left out.
std::vector<log_record> lifecycle(std::vector<log_record> records) {
  std::erase_if(records, [](const log_record& r) { return r.function.find("_handler") != std::string::npos; });
  return records;
}

std::vector<std::string> messages(const std::vector<log_record>& records) {
  std::vector<std::string> out;
  for (const auto& r : lifecycle(records)) out.push_back(r.message);
  return out;
}

const std::vector<std::string> run_records{"qelt logger initialized", "server initialized success",
                                           "server start succeed", "server stopped"};

TEST_F(agent_process, without_arguments_runs_in_debug_console_mode) {
  const auto result = run("");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_NE(result.output.find("## Debug console mode ##\nlast error = 1063\n"), std::string::npos)
      << result.output;
  const auto r = lifecycle(records());
  EXPECT_EQ(messages(r), run_records);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].function, "main");
  EXPECT_EQ(r[0].file, "main.cpp");
  EXPECT_EQ(r[0].level, "info");
  EXPECT_EQ(r[3].function, "qelt::http_server::stop");
  // The console carries the same records.
  EXPECT_NE(result.output.find("] qelt logger initialized\n"), std::string::npos) << result.output;
}

TEST_F(agent_process, two_arguments_run_even_when_the_first_is_a_switch) {
  const auto result = run("-i extra");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_NE(result.output.find("## Debug console mode ##"), std::string::npos) << result.output;
  EXPECT_EQ(messages(records()), run_records);
}

TEST_F(agent_process, a_single_argument_that_is_not_a_switch_exits_1_at_once) {
  // Each differs from -i or -u in one byte: case, a doubled dash, a slash, a blank.
  const std::vector<std::string> near_misses{"-I", "-U", "--i", "/i", "\"-i \"", "\" -u\"", "-x", "i", "-iu"};
  std::size_t expected = 0;
  for (const std::string& arg : near_misses) {
    SCOPED_TRACE(arg);
    const auto result = run(arg);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.output.find("Debug console mode"), std::string::npos);
    const auto r = records();
    ASSERT_EQ(r.size(), ++expected);
    EXPECT_EQ(r.back().message, "qelt logger initialized");
  }
}

TEST_F(agent_process, install_and_removal_log_their_outcome_and_exit_1) {
  for (const char* command : {"-i", "-u", "-u"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(run(command).exit_code, 1);
  }
  const auto r = records();
  ASSERT_EQ(r.size(), 6u);
  const std::string name = "qelt agent service";
  // Where this process may manage services both work; elsewhere both fail.
  if (r[1].level == "info") {
    EXPECT_EQ(r[1].message, name + ": service installed successfully");
    EXPECT_EQ(r[3].level, "info");
    EXPECT_EQ(r[3].message, name + ": service uninstalled successfully");
  } else {
    EXPECT_EQ(r[1].level, "error");
    EXPECT_EQ(r[1].message, name + ": error installing service");
    EXPECT_EQ(r[3].level, "error");
    EXPECT_EQ(r[3].message, name + ": error uninstalling service");
  }
  // Removing what is not there is an error everywhere.
  EXPECT_EQ(r[5].level, "error");
  EXPECT_EQ(r[5].message, name + ": error uninstalling service");
  for (const auto& record : r) EXPECT_EQ(record.function, "main");
}

TEST_F(agent_process, logs_beside_the_executable_wherever_it_is_started_from) {
  const fs::path elsewhere = dir.path() / "elsewhere";
  fs::create_directories(elsewhere);
  EXPECT_EQ(run_from(elsewhere, "-x").exit_code, 1);
  EXPECT_EQ(records().size(), 1u);
  EXPECT_FALSE(fs::exists(elsewhere / "logs"));
}

TEST_F(agent_process, a_logs_folder_that_cannot_be_made_prints_the_reason_and_exits_0) {
  std::ofstream(install_dir / "logs") << "a file where the folder should be";
  const auto result = run("-i");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_NE(result.output.find("logs"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("qelt logger initialized"), std::string::npos) << result.output;
  EXPECT_TRUE(fs::is_regular_file(install_dir / "logs"));
}

}  // namespace
}  // namespace qelt
