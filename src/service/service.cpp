#include "service/service.h"

namespace qelt {

CService* CService::s_instance = nullptr;

service_control_calls& service_control() {
  static service_control_calls calls{
      [](const char* name, LPHANDLER_FUNCTION handler) {
        return RegisterServiceCtrlHandlerA(name, handler);
      },
      [](SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
        return SetServiceStatus(handle, status);
      },
  };
  return calls;
}

CService::CService() : m_status{}, m_statusHandle{}, m_serviceName{} { s_instance = this; }

CService::~CService() = default;

void WINAPI CService::ServiceMain(DWORD, LPSTR*) {
  CService* service = s_instance;
  // SERVICE_WIN32: the own- and share-process bits; stop, pause and continue accepted.
  service->m_status.dwServiceType = SERVICE_WIN32;
  service->m_status.dwCurrentState = SERVICE_START_PENDING;
  service->m_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
  service->m_status.dwWin32ExitCode = 0;
  service->m_status.dwServiceSpecificExitCode = 0;
  service->m_status.dwCheckPoint = 0;
  service->m_status.dwWaitHint = 0;

  service->m_statusHandle =
      service_control().register_handler(service->m_serviceName.c_str(), ServiceCtrlHandler);
  if (service->m_statusHandle == nullptr) return;

  // The work was started before the dispatcher was entered: report it running at once.
  service->m_status.dwCurrentState = SERVICE_RUNNING;
  service->m_status.dwCheckPoint = 0;
  service->m_status.dwWaitHint = 0;
  service_control().set_status(service->m_statusHandle, &service->m_status);
}

void WINAPI CService::ServiceCtrlHandler(DWORD control) {
  CService* service = s_instance;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      service->m_status.dwWin32ExitCode = 0;
      service->m_status.dwCurrentState = SERVICE_STOPPED;
      service->m_status.dwCheckPoint = 0;
      service->m_status.dwWaitHint = 0;
      break;
    case SERVICE_CONTROL_PAUSE:
      service->m_status.dwCurrentState = SERVICE_PAUSED;
      break;
    case SERVICE_CONTROL_CONTINUE:
      service->m_status.dwCurrentState = SERVICE_RUNNING;
      break;
    default:  // interrogate and anything else: report the status as it is
      break;
  }
  service_control().set_status(service->m_statusHandle, &service->m_status);
}

}  // namespace qelt
