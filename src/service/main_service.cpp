#include "service/main_service.h"

#include "http_server/http_server.h"

namespace qelt {

void main_service::OnStart() {
  http_server::instance().init(agent_host, agent_port);
  http_server::instance().start();
}

void main_service::OnStop() { http_server::instance().stop(); }

}  // namespace qelt
