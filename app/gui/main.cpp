// The program entry: command line, then the Qt application with the main form, then the message
// loop until a relay cycle finds the drop folder empty (or the window is closed).
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <iostream>

#include "app/command_line.h"
#include "app/preview_command.h"
#include "app/gui/relay_form.h"
#include "platform/program_paths.h"

#ifndef DROPRELAY_VERSION
#define DROPRELAY_VERSION "0.1.0"
#endif

namespace {

bool HasEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

bool HasDisplay() { return HasEnv("DISPLAY") || HasEnv("WAYLAND_DISPLAY"); }

// Run from cron, anything on stderr becomes a mail to the administrator every run; Qt's notes about
// the missing display environment (no XDG_RUNTIME_DIR, no window manager hints) are no news there.
void QuietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) return;
  std::fprintf(stderr, "droprelay: %s\n", message.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
  using droprelay::CommandLine;
  const std::string programName = argc > 0 ? argv[0] : "droprelay";
  const CommandLine commandLine = droprelay::ParseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  switch (commandLine.action) {
    case CommandLine::Action::Help:
      std::fputs(droprelay::UsageText(programName).c_str(), stdout);
      return 0;
    case CommandLine::Action::Version:
      std::printf("droprelay %s\n", DROPRELAY_VERSION);
      return 0;
    case CommandLine::Action::Error:
      std::fprintf(stderr, "droprelay: %s\n%s", commandLine.error.c_str(), droprelay::UsageText(programName).c_str());
      return 2;
    case CommandLine::Action::Inspect: {
      // No window and no Qt: inspecting is a plain command-line tool.
      const droprelay::platform::ProgramFiles inspectFiles =
          commandLine.configFile.empty() ? droprelay::platform::ProgramFilesBesideExecutable()
                                         : droprelay::platform::ProgramFilesForConfig(commandLine.configFile);
      const droprelay::platform::IniFile config(inspectFiles.configFile);
      return droprelay::RunInspect(config, commandLine.inspectFiles, commandLine.json, std::cout, std::cerr);
    }
    case CommandLine::Action::Run:
      break;
  }

  // Qt aborts without a display unless told to draw offscreen; cron and systemd have none.
  if (!HasDisplay()) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    qInstallMessageHandler(QuietQtMessages);
  } else if (!std::getenv("QT_QPA_PLATFORM") && HasEnv("DISPLAY") != HasEnv("WAYLAND_DISPLAY")) {
    // A display named in the environment may be gone (a session that ended, a variable left in
    // the environment of cron or a service); Qt would abort then, and no mail would be relayed.
    // Qt tries the platforms in order, so the relay runs offscreen when the display is unreachable.
    // With both kinds named, Qt's own choice between them is kept.
    ::setenv("QT_QPA_PLATFORM", HasEnv("DISPLAY") ? "xcb;offscreen" : "wayland;offscreen", 1);
  }

  QApplication application(argc, argv);
  // The relay ends the loop itself; a hidden window's close must not be needed for it.
  QApplication::setQuitOnLastWindowClosed(false);
  application.setWindowIcon(QIcon(QStringLiteral(":/droprelay/droprelay.png")));

  const droprelay::platform::ProgramFiles files = commandLine.configFile.empty()
                                                      ? droprelay::platform::ProgramFilesBesideExecutable()
                                                      : droprelay::platform::ProgramFilesForConfig(commandLine.configFile);
  droprelay::TRelayForm RelayForm(files, !commandLine.configFile.empty());
  // A failed start-up check ended the run before the loop: quitting now would not end a loop
  // that has not started yet.
  if (RelayForm.RunEnded()) return RelayForm.ExitStatus();
  if (RelayForm.ShowMainForm()) RelayForm.show();
  const int loopStatus = QApplication::exec();
  // The run's own status (sysexits.h): 0, or 75 while files wait for a later attempt.
  return loopStatus != 0 ? loopStatus : RelayForm.ExitStatus();
}
