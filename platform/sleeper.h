// The one place where droprelay waits. Every wait of the relay (disposal attempts, file-deletion
// retries, the HTML engine's waits) goes through Sleep(), so unit tests can install an instant,
// recording sleeper instead of the real one. Once the program watches the stop signals (SIGTERM,
// SIGINT, SIGHUP), the real sleeper returns as soon as one arrives; callers then check
// TerminationRequested() and take no further step.
#pragma once

#include <cstdint>

namespace droprelay::platform {

class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// Waits through the installed sleeper (the real one unless a test installed another).
void Sleep(std::uint32_t milliseconds);

// Installs a sleeper for as long as the guard lives; the previous one comes back afterwards.
class ScopedSleeper {
 public:
  explicit ScopedSleeper(Sleeper& sleeper);
  ~ScopedSleeper();
  ScopedSleeper(const ScopedSleeper&) = delete;
  ScopedSleeper& operator=(const ScopedSleeper&) = delete;

 private:
  Sleeper* previous_;
};

}  // namespace droprelay::platform
