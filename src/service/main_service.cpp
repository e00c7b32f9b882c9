#include "service/main_service.h"

#include "service/agent.h"

namespace qelt {

void main_service::OnStart() { start_agent(agent_host, agent_port); }

void main_service::OnStop() { stop_agent(); }

}  // namespace qelt
