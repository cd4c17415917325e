// The settings that shape the timing of a run: their defaults, 0, and values that mean nothing.
#include "app/relay_config.h"

#include <gtest/gtest.h>

#include "../common/temp_folder.h"

namespace droprelay {
namespace {

using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

TEST(RelayConfigTiming, CycleIntervalAndHtmlWait) {
  TempFolder folder;
  const std::string ini = folder / "relay.ini";
  struct Case {
    const char* text;
    int interval;
    int htmlWait;
  };
  const Case cases[] = {
      {"", 5000, 7000},
      {"[system]\ncycle_interval_ms=0\nhtml_wait_ms=0\n", 0, 0},
      {"[SYSTEM]\ncycle_interval_ms=250\nhtml_wait_ms=0x10\n", 250, 16},
      // Negative or unreadable: the default, never a negative wait.
      {"[system]\ncycle_interval_ms=-1\nhtml_wait_ms=fast\n", 5000, 7000},
  };
  for (const Case& c : cases) {
    WriteFile(ini, c.text);
    const platform::IniFile file(ini);
    const RelayConfig config(file);
    EXPECT_EQ(config.cycle_interval_ms(), c.interval) << c.text;
    EXPECT_EQ(config.html_wait_ms(), c.htmlWait) << c.text;
  }
}

// Each drop folder has its state folder of its own unless state_path names one.
TEST(RelayConfigFolders, StateFolderIsNamedAfterTheDropFolder) {
  TempFolder folder;
  const std::string ini = folder / "relay.ini";
  struct Case {
    const char* settings;
    const char* dropFolder;
    const char* state;
    const char* failed;
  };
  const Case cases[] = {
      {"", "/var/spool/droprelay/drop/", "/var/spool/droprelay/drop.droprelay-state/", "/var/spool/droprelay/failed/"},
      {"", "/srv/mail/a//", "/srv/mail/a.droprelay-state/", "/srv/mail/failed/"},
      {"", "/srv/mail/b/", "/srv/mail/b.droprelay-state/", "/srv/mail/failed/"},
      {"", "/home/r/Maildir/new/", "/home/r/Maildir/new.droprelay-state/", "/home/r/Maildir/failed/"},
      {"", "drop/", "drop.droprelay-state/", "failed/"},
      {"", "/", "/droprelay.droprelay-state/", "/failed/"},
      {"[System]\nstate_path=/var/lib/droprelay/state\nfailed_path=/q\n", "/srv/mail/a/", "/var/lib/droprelay/state/", "/q/"},
  };
  for (const Case& c : cases) {
    WriteFile(ini, c.settings);
    const platform::IniFile file(ini);
    const RelayConfig config(file);
    EXPECT_EQ(StateFolder(config, c.dropFolder), c.state) << c.dropFolder;
    EXPECT_EQ(FailedFolder(config, c.dropFolder), c.failed) << c.dropFolder;
  }
}

}  // namespace
}  // namespace droprelay
