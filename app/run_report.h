// What one run did, told at its end to the people and programs that watch it: one line per reason
// on standard error when files were deferred or quarantined (so cron mails it; a clean run prints
// nothing), and, with `[system] metrics_path`, a Prometheus text-format file for node_exporter's
// textfile collector, replaced as a whole so the collector never reads half a file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "app/relay_config.h"

namespace droprelay {

// Counted by the relay cycle while the run goes on.
struct RunReport {
  int relayed = 0;
  // Reason (Windows-1251, as logged) to the names of the files it held back in this run.
  std::map<std::string, std::set<std::string>> deferred;
  std::map<std::string, std::set<std::string>> quarantined;
  // Another run held the drop folder: this one did nothing and reports nothing.
  bool lockedOut = false;
  // A start refused after the start-up checks (an exposed secret): the status the program ends with.
  std::optional<int> refusedStatus;

  void NoteRelayed() { ++relayed; }
  void NoteDeferred(const std::string& name, const std::string& reason) { deferred[reason].insert(name); }
  void NoteQuarantined(const std::string& name, const std::string& reason) { quarantined[reason].insert(name); }
};

// The lines for standard error (UTF-8, without line breaks): one per reason, quarantines first.
// With `priorities` (standard error is the journal) each starts with its syslog priority, <3> for a
// quarantine and <4> for a deferral, as the log's own copy does.
std::vector<std::string> FailureLines(const RunReport& report, bool priorities = false);

// The gauges of the metrics file.
struct RunMetrics {
  std::string dropFolder;  // the label that tells two relays' files apart
  std::size_t waiting = 0;
  std::size_t quarantined = 0;
  int relayed = 0;
  std::int64_t endTime = 0;  // seconds since the epoch
  int exitStatus = 0;
};

// The Prometheus text exposition of `metrics`.
std::string MetricsText(const RunMetrics& metrics);

// `metrics_path` as configured, a relative one taken from the INI file's folder; empty for none.
std::string MetricsPath(const RelayConfig& config);

// The standard-error text (UTF-8) for a mail profile the relay cannot find: which profile, and
// what is wrong with the profiles file.
std::string ConfigurationProblem(const RelayConfig& config);

// At the end of a run: prints the failure lines on `err` and writes the metrics file when one is
// configured (a failure to write it is one more line on `err`). `exitStatus` is the run's own;
// `priorities` as for FailureLines.
void FinishRunReport(const RunReport& report, const RelayConfig& config, int exitStatus, std::int64_t endTime,
                     std::ostream& err, bool priorities);

}  // namespace droprelay
