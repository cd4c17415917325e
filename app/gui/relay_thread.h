// The thread the relay works on. The window's event loop must never wait for the relay (an HTML
// engine's waits, a slow SMTP reply, disposal retries), so every step of it (start-up, a cycle,
// shutdown) runs here, one at a time, and its end is reported back on the window's thread.
#pragma once

#include <QObject>
#include <QThread>
#include <functional>

namespace droprelay {

class RelayThread {
 public:
  // `owner` lives on the window's thread and outlives this object; the completions run there, as
  // its events.
  explicit RelayThread(QObject& owner);
  ~RelayThread();  // waits for a step still running
  RelayThread(const RelayThread&) = delete;
  RelayThread& operator=(const RelayThread&) = delete;

  // Runs `step` on the relay's thread, then `done` on the owner's thread. Steps queued while
  // one runs wait for it; Busy() is true from Run until the last `done` has begun.
  void Run(std::function<void()> step, std::function<void()> done);
  bool Busy() const { return queued_ > 0; }

  // Waits for the queued steps and ends the thread (their completions are not delivered).
  void Stop();

  static constexpr unsigned kStackSize = 16u << 20;

 private:
  QObject& owner_;
  QThread thread_;
  QObject context_;  // lives on thread_: the steps are its queued calls
  int queued_ = 0;   // touched on the owner's thread only
};

}  // namespace droprelay
