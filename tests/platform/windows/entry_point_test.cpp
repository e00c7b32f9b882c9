// The agent executable run as a process on Windows: the service switches, the debug
// console mode, a log folder that cannot be made.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/agent_process.h"

namespace qelt::test {
namespace {

namespace fs = std::filesystem;

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

TEST_F(agent_process, a_logs_folder_that_cannot_be_made_prints_the_reason_and_exits_0) {
  std::ofstream(install_dir / "logs") << "a file where the folder should be";
  const auto result = run("-i");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_NE(result.output.find("logs"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("qelt logger initialized"), std::string::npos) << result.output;
  EXPECT_TRUE(fs::is_regular_file(install_dir / "logs"));
}

}  // namespace
}  // namespace qelt::test
