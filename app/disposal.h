// Disposing of a drop file whose message was handed over: deleted, or moved into the archive
// folder, with up to a hundred attempts `disposal_wait_ms` (a second) apart; and the flushes that put the disposal on
// disk before its journal note goes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/activity_log.h"
#include "app/relay_config.h"
#include "platform/file_system.h"

namespace droprelay {

class RelayQueue;

struct DisposalPlace {
  const RelayConfig& config;  // Delete_or_move is read again on every attempt
  std::string archive;        // the archive folder of the run, ends in "/" (empty: none)
  platform::FileSystem& fileSystem;
  std::function<void(const std::string&, LogSeverity)> log;  // Windows-1251 lines
};

inline constexpr int kDisposalAttempts = 100;

// The hidden name prefix of a drop file accepted by the server whose acceptance could not be
// noted: never taken as a message, disposed of by the next run.
inline constexpr const char* kAcceptedMark = ".droprelay-accepted-";

// Deletes or moves `dropFolder` + `fileName` (a moved file is stored as `storedName`, by default
// its own name). True when the file is gone afterwards. A stop request ends the attempts.
bool DisposeOfFile(const DisposalPlace& place, const std::string& dropFolder, const std::string& fileName,
                   const std::string& storedName = std::string());

// Flushes the drop folder (and the archive when moving) after a disposal; false, logged, when one
// flush failed.
bool SyncDisposal(const DisposalPlace& place, const std::string& dropFolder);

// An accepted message whose acceptance could not be noted: its file is disposed of, or, when
// that fails too, renamed to the hidden accepted mark in the drop folder (a rename needs no free
// space), so no later run sends it again.
void FinishUnnoted(const DisposalPlace& place, const RelayQueue& queue, const std::string& dropFolder,
                   const std::string& fileName);

// Disposes of the files an earlier run marked accepted (FinishUnnoted).
void DisposeOfMarked(const DisposalPlace& place, const std::string& dropFolder);

}  // namespace droprelay
