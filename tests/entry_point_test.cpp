// The agent executable run as a process: what every system does alike.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/agent_process.h"

namespace qelt::test {
namespace {

namespace fs = std::filesystem;

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

TEST_F(agent_process, logs_beside_the_executable_wherever_it_is_started_from) {
  const fs::path elsewhere = dir.path() / "elsewhere";
  fs::create_directories(elsewhere);
  EXPECT_EQ(run_from(elsewhere, "-x").exit_code, 1);
  EXPECT_EQ(records().size(), 1u);
  EXPECT_FALSE(fs::exists(elsewhere / "logs"));
}

}  // namespace
}  // namespace qelt::test
