// The agent executable run as a process on Linux: the packages install the service, and a
// log that cannot be opened is a failure systemd sees. (The run itself, in the
// foreground until SIGTERM, is tests/platform/linux/foreground.sh.)
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/agent_process.h"

namespace qelt::test {
namespace {

TEST_F(agent_process, the_service_switches_say_that_the_package_installs_the_service_and_exit_1) {
  for (const char* command : {"-i", "-u"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(run(command).exit_code, 1);
  }
  const auto r = records();
  ASSERT_EQ(r.size(), 4u);
  for (std::size_t i : {1u, 3u}) {
    EXPECT_EQ(r[i].level, "error");
    EXPECT_EQ(r[i].function, "main");
    EXPECT_NE(r[i].message.find("package (.deb or .rpm) installs the service qelt-agent.service"), std::string::npos)
        << r[i].message;
  }
  EXPECT_EQ(r[1].message.rfind("-i: ", 0), 0u);
  EXPECT_EQ(r[3].message.rfind("-u: ", 0), 0u);
}

TEST_F(agent_process, a_log_folder_that_cannot_be_made_prints_the_reason_and_exits_1) {
  std::ofstream(install_dir / "logs") << "a file where the folder should be";
  const auto result = run("");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.output.find("logs"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("qelt logger initialized"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace qelt::test
