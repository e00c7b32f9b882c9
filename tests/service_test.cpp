#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "service/service.h"

namespace qelt {
namespace {

// Records what the frame tells the service control manager.
struct recorded {
  std::vector<std::string> registered_names;
  std::vector<SERVICE_STATUS> reports;
  LPHANDLER_FUNCTION handler = nullptr;
  bool refuse_registration = false;
};
recorded calls;

SERVICE_STATUS_HANDLE fake_handle() { return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150); }

class counting_service : public CService {
 public:
  void OnStart() override { ++starts; }
  void OnStop() override { ++stops; }
  int starts = 0;
  int stops = 0;
};

class service_frame : public ::testing::Test {
 protected:
  void SetUp() override {
    calls = recorded{};
    saved = service_control();
    service_control().register_handler = [](const char* name, LPHANDLER_FUNCTION handler) {
      calls.registered_names.push_back(name);
      calls.handler = handler;
      return calls.refuse_registration ? nullptr : fake_handle();
    };
    service_control().set_status = [](SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
      EXPECT_EQ(handle, fake_handle());
      calls.reports.push_back(*status);
      return TRUE;
    };
    service.m_serviceName = "qelt agent service";
  }
  void TearDown() override {
    service_control() = saved;
    EXPECT_EQ(service.starts, 0) << "the frame called OnStart";
    EXPECT_EQ(service.stops, 0) << "the frame called OnStop";
  }

  void control(DWORD code) { CService::ServiceCtrlHandler(code); }

  service_control_calls saved{};
  counting_service service;
};

void expect_status(const SERVICE_STATUS& status, DWORD state) {
  EXPECT_EQ(status.dwServiceType, 0x30u);
  EXPECT_EQ(status.dwCurrentState, state);
  EXPECT_EQ(status.dwControlsAccepted, 3u);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(status.dwCheckPoint, 0u);
  EXPECT_EQ(status.dwWaitHint, 0u);
}

TEST_F(service_frame, construction_makes_the_object_reachable_with_a_zero_status) {
  EXPECT_EQ(CService::s_instance, &service);
  const SERVICE_STATUS zero{};
  EXPECT_EQ(std::memcmp(&service.m_status, &zero, sizeof zero), 0);
  EXPECT_EQ(service.m_statusHandle, nullptr);
}

TEST_F(service_frame, service_main_registers_under_the_name_and_reports_running_once) {
  char* args[] = {nullptr};
  CService::ServiceMain(0, args);
  EXPECT_EQ(calls.registered_names, std::vector<std::string>{"qelt agent service"});
  EXPECT_EQ(calls.handler, &CService::ServiceCtrlHandler);
  ASSERT_EQ(calls.reports.size(), 1u);
  expect_status(calls.reports[0], SERVICE_RUNNING);
  EXPECT_EQ(service.m_statusHandle, fake_handle());
}

TEST_F(service_frame, service_main_reports_nothing_when_the_handler_cannot_be_registered) {
  calls.refuse_registration = true;
  CService::ServiceMain(0, nullptr);
  EXPECT_TRUE(calls.reports.empty());
}

TEST_F(service_frame, controls_report_the_new_state_at_once) {
  CService::ServiceMain(0, nullptr);
  struct step {
    DWORD control;
    DWORD state;
  };
  const step steps[] = {
      {SERVICE_CONTROL_INTERROGATE, SERVICE_RUNNING},
      {SERVICE_CONTROL_PAUSE, SERVICE_PAUSED},
      {SERVICE_CONTROL_INTERROGATE, SERVICE_PAUSED},
      {SERVICE_CONTROL_PAUSE, SERVICE_PAUSED},
      {SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING},
      {SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING},
      {SERVICE_CONTROL_SHUTDOWN, SERVICE_RUNNING},
      {200, SERVICE_RUNNING},  // a user-defined control: reported unchanged
      {SERVICE_CONTROL_PAUSE, SERVICE_PAUSED},
      {SERVICE_CONTROL_STOP, SERVICE_STOPPED},  // stopped straight from paused, no pending state
  };
  for (const step& s : steps) {
    SCOPED_TRACE(::testing::Message() << "control " << s.control);
    const std::size_t before = calls.reports.size();
    control(s.control);
    ASSERT_EQ(calls.reports.size(), before + 1);
    expect_status(calls.reports.back(), s.state);
  }
}

}  // namespace
}  // namespace qelt
