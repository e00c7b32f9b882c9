// CService: the frame that answers the Windows service control manager for the
// one service of this process. The derived class supplies OnStart and OnStop;
// the entry point calls them around the control dispatcher.
#pragma once

#include <string>

#include "platform/windows_api.h"

namespace qelt {

// The two service-side calls the frame makes. Tests put recording stand-ins here;
// otherwise they are the system's own.
struct service_control_calls {
  SERVICE_STATUS_HANDLE (*register_handler)(const char* name, LPHANDLER_FUNCTION handler);
  BOOL (*set_status)(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);
};

service_control_calls& service_control();

class CService {
 public:
  CService();
  virtual ~CService();
  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;

  virtual void OnStart() = 0;
  virtual void OnStop() = 0;

  static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
  static void WINAPI ServiceCtrlHandler(DWORD control);

  SERVICE_STATUS m_status;
  SERVICE_STATUS_HANDLE m_statusHandle;
  std::string m_serviceName;

  static CService* s_instance;
};

}  // namespace qelt
