// The window program: the same start-up as the headless relay (command line, files, --inspect),
// then the Qt application with the main form, then the message loop until a relay cycle finds the
// drop folder empty (or the window is closed, or the icon's menu ends the run).
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/gui/relay_form.h"
#include "app/program_start.h"

// DROPRELAY_VERSION comes from the build (the project's one version number).

namespace {

bool HasEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

bool HasDisplay() { return HasEnv("DISPLAY") || HasEnv("WAYLAND_DISPLAY"); }

// A normal run prints nothing: run from cron, anything on stderr becomes a mail to the
// administrator every run. Qt's notes about its environment (no XDG_RUNTIME_DIR outside a desktop
// session, no window manager hints, fonts substituted) are no news to anyone, so only its errors
// are told. QT_LOGGING_RULES, set by someone looking into Qt itself, brings all of Qt's messages
// back.
void QuietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) return;
  std::fprintf(stderr, "droprelay: %s\n", message.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string programName = argc > 0 ? argv[0] : "droprelay";
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  // --help, --version and --inspect need no window and no Qt.
  droprelay::ProgramStart start = droprelay::StartProgram(arguments, programName, DROPRELAY_VERSION, std::cout, std::cerr);
  if (start.exitStatus) return *start.exitStatus;

  // Qt aborts without a display unless told to draw offscreen; cron and systemd have none.
  if (!HasDisplay()) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  } else if (!std::getenv("QT_QPA_PLATFORM") && HasEnv("DISPLAY") != HasEnv("WAYLAND_DISPLAY")) {
    // A display named in the environment may be gone (a session that ended, a variable left in
    // the environment of cron or a service); Qt would abort then, and no mail would be relayed.
    // Qt tries the platforms in order, so the relay runs offscreen when the display is unreachable.
    // With both kinds named, Qt's own choice between them is kept.
    ::setenv("QT_QPA_PLATFORM", HasEnv("DISPLAY") ? "xcb;offscreen" : "wayland;offscreen", 1);
  }

  if (!std::getenv("QT_LOGGING_RULES")) qInstallMessageHandler(QuietQtMessages);

  QApplication application(argc, argv);
  // The relay ends the loop itself; a hidden window's close must not be needed for it.
  QApplication::setQuitOnLastWindowClosed(false);
  application.setWindowIcon(QIcon(QStringLiteral(":/droprelay/droprelay.png")));

  droprelay::TRelayForm RelayForm(start.files, start.mirror.get(), start.configNamed);
  // Start-up runs on the relay's thread once the loop runs; a failed start-up ends the loop, and
  // the window is shown (when configured) only after a good one.
  RelayForm.Start();
  const int loopStatus = QApplication::exec();
  // The run's own status (sysexits.h): 0, or 75 while files wait for a later attempt.
  return loopStatus != 0 ? loopStatus : RelayForm.ExitStatus();
}
