// The relay for servers: the same start-up, cycles and log as the window program, without Qt, so
// a headless machine installs no graphics libraries for it.
#include <iostream>
#include <string>
#include <vector>

#include "app/headless_run.h"
#include "app/program_start.h"

// DROPRELAY_VERSION comes from the build (the project's one version number).

int main(int argc, char** argv) {
  const std::string programName = argc > 0 ? argv[0] : "droprelay";
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  droprelay::ProgramStart start = droprelay::StartProgram(arguments, programName, DROPRELAY_VERSION, std::cout, std::cerr);
  if (start.exitStatus) return *start.exitStatus;

  droprelay::HeadlessHost host;
  droprelay::RelayService service(start.files, host, nullptr);
  service.SetLogMirror(start.mirror.get());
  service.SetConfigRequired(start.configNamed);
  return droprelay::RunRelayLoop(service, host, droprelay::WaitForStopRequest, std::cerr);
}
