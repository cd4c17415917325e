// An instant sleeper for tests: records every wait instead of sleeping, and can act at each one
// (make a file deletable, edit the configuration) the way the world changes during a real wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/sleeper.h"

namespace droprelay::testing {

class RecordingSleeper : public platform::Sleeper {
 public:
  void Sleep(std::uint32_t milliseconds) override {
    waits.push_back(milliseconds);
    if (onWait) onWait(waits.size());
  }
  std::vector<std::uint32_t> waits;
  std::function<void(std::size_t)> onWait;  // called with the number of waits so far
};

}  // namespace droprelay::testing
