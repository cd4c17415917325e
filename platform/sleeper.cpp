#include "platform/sleeper.h"

#include <chrono>
#include <thread>

#include "platform/termination_signal.h"

namespace droprelay::platform {
namespace {

class RealSleeper final : public Sleeper {
 public:
  void Sleep(std::uint32_t milliseconds) override {
    // A stop request cuts every wait short: the caller checks TerminationRequested() after it.
    if (TerminationSignalsWatched()) {
      WaitForTerminationSignal(milliseconds);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};

RealSleeper realSleeper;
Sleeper* current = &realSleeper;

}  // namespace

void Sleep(std::uint32_t milliseconds) { current->Sleep(milliseconds); }

ScopedSleeper::ScopedSleeper(Sleeper& sleeper) : previous_(current) { current = &sleeper; }
ScopedSleeper::~ScopedSleeper() { current = previous_; }

}  // namespace droprelay::platform
