#include "app/headless_run.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

#include "app/program_start.h"
#include "platform/termination_signal.h"

namespace droprelay {

bool WaitForStopRequest(int milliseconds) {
  const int descriptor = platform::TerminationSignalDescriptor();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    pollfd watched{descriptor, POLLIN, 0};
    // Without the descriptor the signals keep their default effect (the process ends); poll
    // with no descriptor is a plain sleep.
    const int ready = ::poll(descriptor >= 0 ? &watched : nullptr, descriptor >= 0 ? 1 : 0, timeout);
    if (ready > 0) {
      platform::DrainTerminationSignals();
      return true;
    }
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

int RunRelayLoop(RelayService& service, const HeadlessHost& host, const StopWait& wait, std::ostream& err) {
  // Installed before anything runs, so a stop request during start-up ends the first wait.
  platform::TerminationSignalDescriptor();
  service.SetErrorStream(err);
  service.FormCreate();
  if (service.RunEnded()) {
    // A start-up check failed: said in the log and on standard error already.
    service.FormDestroy();
    return service.ExitStatus();
  }
  // Read once, at start-up, as the window program does.
  const int interval = service.Config() ? service.Config()->cycle_interval_ms() : kDefaultCycleIntervalMs;
  while (!host.Closed()) {
    if (wait(interval < 0 ? 0 : interval)) break;
    service.WorkTimerTimer();
  }
  service.FormDestroy();
  // 0, or 75 while files wait for a later attempt.
  return service.ExitStatus();
}

}  // namespace droprelay
