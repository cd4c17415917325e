// The relay without a window: what the Qt form's timer loop does, as a plain loop. Start-up, a
// cycle every `cycle_interval_ms`, until a cycle finds the drop folder empty or a stop request
// (SIGTERM, SIGINT, SIGHUP) arrives; the wait between cycles ends at once on a stop request, a
// cycle under way is finished first.
#pragma once

#include <functional>
#include <ostream>

#include "app/relay_service.h"

namespace droprelay {

// The host side of the service without a window: nothing to show, a timer that is the loop itself.
class HeadlessHost final : public RelayHost {
 public:
  void SetWorkTimerEnabled(bool) override {}
  void SetShowMainForm(bool) override {}
  void CloseMainForm() override { closed_ = true; }
  bool Closed() const { return closed_; }

 private:
  bool closed_ = false;
};

// Waits `milliseconds`; true when a stop request ended the wait.
using StopWait = std::function<bool(int milliseconds)>;

// The wait on the process's stop requests (platform/termination_signal.h).
bool WaitForStopRequest(int milliseconds);

// Runs FormCreate, the secret check, the cycles and FormDestroy on `service` (whose host is
// `host`). Answers the exit status: the run's own (0, 66, 73, 75, 78; see RelayService), or
// kExitConfig when a secret is exposed.
int RunRelayLoop(RelayService& service, const HeadlessHost& host, const StopWait& wait, std::ostream& err);

}  // namespace droprelay
