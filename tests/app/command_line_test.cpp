#include "app/command_line.h"

#include <gtest/gtest.h>

namespace droprelay {
namespace {

TEST(CommandLine, OptionsAndErrors) {
  using Action = CommandLine::Action;
  struct Case {
    std::vector<std::string> arguments;
    Action action;
    std::string configFile;
  };
  const Case cases[] = {
      {{}, Action::Run, ""},
      {{"--config", "/etc/droprelay/relay.ini"}, Action::Run, "/etc/droprelay/relay.ini"},
      {{"--config=relay.ini"}, Action::Run, "relay.ini"},
      {{"--config", "a.ini", "--config", "b.ini"}, Action::Run, "b.ini"},
      {{"--help"}, Action::Help, ""},
      {{"--config", "a.ini", "-h"}, Action::Help, "a.ini"},
      {{"--version"}, Action::Version, ""},
      {{"-V"}, Action::Version, ""},
      {{"--config"}, Action::Error, ""},
      {{"--config="}, Action::Error, ""},
      {{"--verbose"}, Action::Error, ""},
      {{"relay.ini"}, Action::Error, ""},
      {{"--check-config"}, Action::CheckConfig, ""},
      {{"--config", "a.ini", "--check-config"}, Action::CheckConfig, "a.ini"},
      {{"--check-config", "a.ini"}, Action::Error, ""},
      {{"--inspect", "m.eml", "--check-config"}, Action::Error, ""},
      {{"--check-config", "--json"}, Action::Error, ""},
  };
  for (const Case& c : cases) {
    const CommandLine result = ParseCommandLine(c.arguments);
    std::string joined;
    for (const std::string& a : c.arguments) joined += a + " ";
    EXPECT_EQ(result.action, c.action) << joined;
    EXPECT_EQ(result.configFile, c.configFile) << joined;
    EXPECT_EQ(result.error.empty(), c.action != Action::Error) << joined;
  }
}

}  // namespace
}  // namespace droprelay
