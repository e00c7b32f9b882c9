// The agent's service: its start and stop run the local HTTP endpoint.
#pragma once

#include "service/service.h"

namespace qelt {

inline constexpr const char* agent_host = "127.0.0.1";
inline constexpr int agent_port = 17654;

class main_service : public CService {
 public:
  void OnStart() override;
  void OnStop() override;
};

}  // namespace qelt
