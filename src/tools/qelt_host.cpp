// qelt-host: runs the agent's HTTP endpoint in the foreground, outside any
// service manager, until standard input closes or a line is read from it.
// For benchmarks, browser tests and trying the endpoint by hand:
//   qelt-host [port [log-folder]]      (defaults: 17654, ./logs)
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "http_server/http_server.h"
#include "log/log_manager.h"
#include "platform/format.h"
#include "platform/windows_api.h"
#include "service/main_service.h"

int main(int argc, char* argv[]) {
  const int port = argc > 1 ? std::atoi(argv[1]) : qelt::agent_port;
  const std::string log_dir = argc > 2 ? argv[2] : "logs";
  try {
    qelt::log_manager::create(
        qelt::format("{}{}qelt.log", log_dir, qelt::platform::path_separator), "QELT_LOGGER",
        "debug");
    auto& endpoint = qelt::http_server::instance();
    endpoint.init(qelt::agent_host, port);
    endpoint.start();
    std::string line;
    std::getline(std::cin, line);
    endpoint.stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelt-host: %s\n", e.what());
    return 1;
  }
  return 0;
}
