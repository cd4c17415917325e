#include "app/gui/relay_thread.h"

#include <exception>
#include <iostream>

#include <QMetaObject>

namespace droprelay {

RelayThread::RelayThread(QObject& owner) : owner_(owner) {
  thread_.setObjectName(QStringLiteral("relay"));
  // The relay ran on the main thread, whose stack is usually 8 MiB; a thread's default may be
  // less (2 MiB where the stack limit is "unlimited"). Parsing nested mail and HTML is bounded in
  // depth, but gets the room it always had. Only what is used is ever committed.
  thread_.setStackSize(kStackSize);
  context_.moveToThread(&thread_);
  thread_.start();
}

RelayThread::~RelayThread() { Stop(); }

void RelayThread::Run(std::function<void()> step, std::function<void()> done) {
  ++queued_;
  QMetaObject::invokeMethod(
      &context_,
      [this, step = std::move(step), done = std::move(done)]() mutable {
        // The relay guards its own steps; whatever still escapes must not end the thread with the
        // window waiting for a step that never reports back (a Qt event handler must not throw).
        try {
          step();
        } catch (const std::exception& error) {
          std::cerr << "droprelay: " << error.what() << std::endl;
        } catch (...) {
          std::cerr << "droprelay: an unknown exception ended a relay step" << std::endl;
        }
        QMetaObject::invokeMethod(
            &owner_,
            [this, done = std::move(done)] {
              --queued_;
              if (done) done();
            },
            Qt::QueuedConnection);
      },
      Qt::QueuedConnection);
}

void RelayThread::Stop() {
  if (!thread_.isRunning()) return;
  // Queued behind the steps already waiting, so they all run before the thread ends.
  QMetaObject::invokeMethod(&context_, [this] { thread_.quit(); }, Qt::QueuedConnection);
  thread_.wait();
}

}  // namespace droprelay
