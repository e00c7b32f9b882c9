#include "platform/service_host.h"

#include <csignal>
#include <cstdlib>
#include <pthread.h>

#include "log/events.h"
#include "log/log.h"
#include "platform/event_log.h"
#include "platform/format.h"
#include "platform/linux/service_notify.h"

namespace qelt::platform {

namespace {

std::string agent_address() { return qelt::format("{}:{}", agent_host, agent_port); }

}  // namespace

// systemd starts the agent in the foreground (Type=notify): the endpoint tells it when
// it listens (platform/service_status.h), and SIGTERM stops it. Run by hand, SIGINT
// (Ctrl+C) does the same.
void run_service(main_service& service, const std::string& name) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  // Blocked before the endpoint's threads exist, so that they inherit the mask and
  // the signal is taken here, on the main thread, and nowhere else.
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  // systemd gives every process of a unit its invocation's ID: the start and stop are
  // the journal's events only for the service, not for a run by hand.
  const bool under_systemd = std::getenv("INVOCATION_ID") != nullptr;
  service.m_serviceName = name;
  service.OnStart();
  if (under_systemd) report_event(event_type::information, events::service_started, {agent_address()});

  int received = 0;
  while (sigwait(&stop_signals, &received) != 0) {
  }
  QELT_INFO("stopping: {} received", received == SIGTERM ? "SIGTERM" : "SIGINT");
  notify_service_manager("STOPPING=1");
  service.OnStop();
  if (under_systemd) report_event(event_type::information, events::service_stopped, {agent_address()});
}

}  // namespace qelt::platform
