#include "platform/termination_signal.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <unistd.h>

#include "platform/syserror.h"

namespace droprelay::platform {
namespace {

int pipeEnds[2] = {-1, -1};
volatile std::sig_atomic_t requested = 0;

// Only async-signal-safe work here: one byte into the pipe.
extern "C" void OnTerminationSignal(int) {
  const int saved = errno;
  requested = 1;
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(pipeEnds[1], &byte, 1);
  errno = saved;
}

}  // namespace

int TerminationSignalDescriptor() {
  if (pipeEnds[0] >= 0) return pipeEnds[0];
  if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
    SetLastErrorFromErrno();
    pipeEnds[0] = pipeEnds[1] = -1;
    return -1;
  }
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
  return pipeEnds[0];
}

bool TerminationRequested() { return requested != 0; }

bool TerminationSignalsWatched() { return pipeEnds[0] >= 0; }

bool WaitForTerminationSignal(std::uint32_t milliseconds) {
  if (requested) return true;
  if (pipeEnds[0] < 0) return false;
  struct pollfd watch {};
  watch.fd = pipeEnds[0];
  watch.events = POLLIN;
  // The pipe is not read here: the event loop drains it and ends the run.
  ::poll(&watch, 1, static_cast<int>(std::min<std::uint32_t>(milliseconds, 0x7FFFFFFF)));
  return requested != 0;
}

void DrainTerminationSignals() {
  if (pipeEnds[0] < 0) return;
  char buffer[64];
  while (::read(pipeEnds[0], buffer, sizeof buffer) > 0) {
  }
}

}  // namespace droprelay::platform
