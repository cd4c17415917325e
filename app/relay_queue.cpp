#include "app/relay_queue.h"

#include <algorithm>
#include <locale>
#include <sstream>
#include <vector>

#include "platform/file_system.h"
#include "platform/file.h"

namespace droprelay {
namespace {

constexpr const char* kSent = "sent/";
constexpr const char* kQueue = "queue/";
constexpr const char* kConfigFault = "config-fault";
constexpr std::int64_t kFirstWait = 60;
constexpr std::int64_t kLongestWait = 3600;

std::string FactsText(const platform::FileFacts& facts) {
  return std::to_string(facts.device) + " " + std::to_string(facts.inode) + " " + std::to_string(facts.size) + " " +
         std::to_string(facts.mtimeNs);
}

bool ReadFacts(std::istringstream& in, platform::FileFacts& facts) {
  return static_cast<bool>(in >> facts.device >> facts.inode >> facts.size >> facts.mtimeNs);
}

// Record layout: "<facts> <first> <next> <attempts> <outcome token>" on the first line, the last
// reason on the second. Records of earlier versions end after the attempts.
std::optional<Deferral> ParseDeferral(const std::string& text) {
  const std::size_t lineEnd = text.find('\n');
  std::istringstream in(text.substr(0, lineEnd));
  in.imbue(std::locale::classic());
  Deferral deferral;
  if (!ReadFacts(in, deferral.facts) || !(in >> deferral.firstFailure >> deferral.nextDue >> deferral.attempts)) {
    return std::nullopt;
  }
  std::string token;
  if (in >> token) {
    // A token a later version wrote and this one does not know is still a temporary failure.
    deferral.lastOutcome = OutcomeFromToken(token).value_or(Outcome::kSendFailed);
    if (lineEnd != std::string::npos) {
      std::string reason = text.substr(lineEnd + 1);
      if (const std::size_t end = reason.find('\n'); end != std::string::npos) reason.resize(end);
      deferral.lastReason = std::move(reason);
    }
  }
  return deferral;
}

// The reason stays on its one line whatever a server put into it.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

bool SameFile(const platform::FileFacts& a, const platform::FileFacts& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size && a.mtimeNs == b.mtimeNs;
}

}  // namespace

std::int64_t RetryWaitSeconds(int attempts) {
  std::int64_t wait = kFirstWait;
  for (int i = 1; i < attempts && wait < kLongestWait; ++i) wait *= 2;
  return std::min(wait, kLongestWait);
}

std::string RelayQueue::DeferralFolder() const { return folder_ + kQueue; }

bool RelayQueue::Prepare() const {
  return platform::PrepareWritableFolder(folder_) && platform::PrepareWritableFolder(folder_ + kSent) &&
         platform::PrepareWritableFolder(folder_ + kQueue);
}

bool RelayQueue::RecordAccepted(const std::string& name, const platform::FileFacts& facts) const {
  JournalNote note;
  note.state = JournalNote::State::kAccepted;
  note.facts = facts;
  return WriteNote(name, note);
}

bool RelayQueue::WasAccepted(const std::string& name, const platform::FileFacts& facts) const {
  const JournalLookup found = ReadNote(name);
  return found.kind == JournalLookup::Kind::kFound && found.note.state == JournalNote::State::kAccepted &&
         SameFile(found.note.facts, facts);
}

JournalLookup RelayQueue::ReadNote(const std::string& name) const {
  const std::string path = folder_ + kSent + name;
  JournalLookup found;
  const std::optional<platform::FileFacts> entry = platform::EntryFacts(path);
  if (!entry) return found;
  if (!entry->regular) {
    found.kind = JournalLookup::Kind::kNotAFile;
    return found;
  }
  found.kind = JournalLookup::Kind::kUnreadable;
  std::string text;
  if (!platform::ReadWholeFile(path, text) || text.empty()) return found;
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  JournalNote& note = found.note;
  const char first = text.front();
  if (first >= '0' && first <= '9') {
    // A note of an earlier version: the facts alone, written only after an acceptance.
    note.state = JournalNote::State::kAccepted;
  } else {
    std::string state;
    if (!(in >> state >> note.killed >> note.uncertain) || state.size() != 1) return found;
    switch (state[0]) {
      case 'W': case 'F': case 'U': case 'A': case 'D':
        note.state = static_cast<JournalNote::State>(state[0]);
        break;
      default:
        return found;
    }
    if (note.killed < 0 || note.killed > 9 || note.uncertain < 0 || note.uncertain > 9) return found;
  }
  std::string rest;
  if (!ReadFacts(in, note.facts) || (in >> rest)) return found;
  note.facts.regular = true;
  found.kind = JournalLookup::Kind::kFound;
  return found;
}

bool RelayQueue::WriteNote(const std::string& name, const JournalNote& note) const {
  // The state comes first and is one character, so it can change in place.
  const std::string text = std::string(1, static_cast<char>(note.state)) + " " + std::to_string(note.killed) + " " +
                           std::to_string(note.uncertain) + " " + FactsText(note.facts) + "\n";
  return platform::WriteFileDurably(folder_ + kSent + name, text);
}

bool RelayQueue::MarkAccepted(const std::string& name) const {
  return platform::OverwriteStartDurably(folder_ + kSent + name, std::string(1, static_cast<char>(JournalNote::State::kAccepted)));
}

bool RelayQueue::SetNoteAside(const std::string& name) const {
  const std::string from = folder_ + kSent + name;
  for (int n = 0; n < 100; ++n) {
    const std::string to = folder_ + kSent + ".aside-" + name + (n == 0 ? std::string() : "." + std::to_string(n));
    if (platform::RenameNoReplace(from, to)) return true;
  }
  return false;
}

void RelayQueue::RemoveLeftovers() const {
  for (const char* kind : {kSent, kQueue}) platform::RemoveLeftovers(folder_ + kind, ".tmp-");
}

void RelayQueue::ForgetAccepted(const std::string& name) const { ForgetNote(name); }

bool RelayQueue::ForgetNote(const std::string& name) const { return platform::RemoveFileDurably(folder_ + kSent + name); }

std::optional<Deferral> RelayQueue::FindDeferral(const std::string& name, const platform::FileFacts& facts) const {
  std::string text;
  if (!platform::ReadWholeFile(folder_ + kQueue + name, text)) return std::nullopt;
  std::optional<Deferral> deferral = ParseDeferral(text);
  if (!deferral || !SameFile(deferral->facts, facts)) return std::nullopt;
  return deferral;
}

bool RelayQueue::SaveDeferral(const std::string& name, const Deferral& deferral) const {
  return platform::WriteFileDurably(folder_ + kQueue + name,
                                    FactsText(deferral.facts) + " " + std::to_string(deferral.firstFailure) + " " +
                                        std::to_string(deferral.nextDue) + " " + std::to_string(deferral.attempts) +
                                        " " + std::string(OutcomeToken(deferral.lastOutcome)) + "\n" +
                                        OneLine(deferral.lastReason) + "\n");
}

void RelayQueue::ForgetDeferral(const std::string& name) const { platform::RemoveFileDurably(folder_ + kQueue + name); }

std::vector<QueuedFile> RelayQueue::ListDeferrals() const {
  std::vector<std::string> names;
  platform::DirectorySearch search(folder_ + kQueue);
  while (const std::optional<std::string> name = search.NextFile()) {
    if (!name->empty() && name->front() != '.') names.push_back(*name);
  }
  std::sort(names.begin(), names.end());
  std::vector<QueuedFile> files;
  for (std::string& name : names) {
    std::string text;
    if (!platform::ReadWholeFile(folder_ + kQueue + name, text)) continue;
    if (std::optional<Deferral> deferral = ParseDeferral(text)) files.push_back({std::move(name), std::move(*deferral)});
  }
  return files;
}

bool RelayQueue::NoteConfigFault(const std::string& text) const {
  return platform::WriteFileDurably(folder_ + kConfigFault, OneLine(text) + "\n");
}

void RelayQueue::ForgetConfigFault() const {
  if (platform::EntryFacts(folder_ + kConfigFault)) platform::RemoveFileDurably(folder_ + kConfigFault);
}

std::optional<std::string> RelayQueue::ConfigFault() const {
  std::string text;
  if (!platform::ReadWholeFile(folder_ + kConfigFault, text)) return std::nullopt;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void RelayQueue::ForgetVanished(const std::string& dropFolder) const {
  for (const char* kind : {kSent, kQueue}) {
    std::vector<std::string> names;
    platform::DirectorySearch search(folder_ + kind);
    while (const std::optional<std::string> name = search.NextFile()) {
      if (!name->empty() && name->front() != '.') names.push_back(*name);
    }
    for (const std::string& name : names) {
      if (!platform::EntryFacts(dropFolder + name)) platform::RemoveFileDurably(folder_ + kind + name);
    }
  }
}

}  // namespace droprelay
