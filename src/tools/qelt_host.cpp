// qelt-host: runs the agent (its settings and HTTP endpoint) in the foreground, outside any
// service manager, until standard input closes or a line is read from it.
// For benchmarks, browser tests and trying the endpoint by hand:
//   qelt-host [--policy-dir DIR] [port [log-folder]]      (defaults: 17654, ./logs)
// --policy-dir (Linux): the settings files of DIR instead of /etc/qelt/agent/policies.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "log/log_manager.h"
#include "service/agent.h"
#include "service/main_service.h"

int main(int argc, char* argv[]) {
  std::string policy_dir;
  if (argc > 2 && std::string(argv[1]) == "--policy-dir") {
    policy_dir = argv[2];
    argc -= 2;
    argv += 2;
  }
  const int port = argc > 1 ? std::atoi(argv[1]) : qelt::agent_port;
  const std::string log_dir = argc > 2 ? argv[2] : "logs";
  try {
    qelt::log_manager::create(std::filesystem::path(log_dir) / "qelt.log", "QELT_LOGGER", "debug");
    qelt::start_agent(qelt::agent_host, port,
                      policy_dir.empty() ? qelt::machine_settings_source() : qelt::folder_settings_source(policy_dir));
    std::string line;
    std::getline(std::cin, line);
    qelt::stop_agent();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelt-host: %s\n", e.what());
    return 1;
  }
  return 0;
}
