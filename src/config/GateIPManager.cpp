#include "config/GateIPManager.h"

#include <algorithm>

#include "common/LogText.h"
#include "common/Platform.h"
#include "config/TextFile.h"
#include "logging/Logger.h"

namespace gw {

namespace {

// The file's name as the log lines give it.
std::string FileLabel(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// One line a second at most about refusals at a list's cap: an attack that blocks address
// after address must not flood the log once the list is full.
constexpr uint32_t kFullLineIntervalMs = 1000;

TGateIPManager::TGateIPManager(std::string BlockIPFile, TTickSource Ticks, size_t MaxEntries)
    : FBlockIPFile(std::move(BlockIPFile)), FTicks(std::move(Ticks)), FMaxEntries(MaxEntries) {}

void TGateIPManager::TBlockList::Reindex() {
  Index.clear();
  for (size_t i = 0; i < Entries.size(); ++i) Index.emplace(Entries[i].IPaddr, i);
}

std::string TGateIPManager::FullLine(TBlockList& List, const std::string& Text) {
  CountLimitBreach(TLimitBreach::lbBlockListFull);
  const uint32_t now = Now();
  if (List.FullLineWritten && TicksSince(now, List.FullLineTick) < kFullLineIntervalMs) {
    ++List.FullUnlogged;
    return {};
  }
  std::string line =
      "'" + Text + "': the list is full (" + std::to_string(FMaxEntries) + " entries)";
  if (List.FullUnlogged > 0) {
    line += " (" + std::to_string(List.FullUnlogged) + " more refused since the last such line)";
  }
  List.FullLineWritten = true;
  List.FullLineTick = now;
  List.FullUnlogged = 0;
  return line;
}

TGateIPManager::~TGateIPManager() { Clear(); }

uint32_t TGateIPManager::Now() const { return FTicks ? FTicks() : GetTickCount32(); }

void TGateIPManager::Clear() {
  {
    std::lock_guard lock(FCurrIPaddrListLock);
    FCurrIPaddrList.clear();
  }
  for (TBlockList* list : {&FBlockIPList, &FTempBlockIPList}) {
    std::lock_guard lock(list->Lock);
    list->Entries.clear();
    list->Matcher.Clear();
    list->Index.clear();
  }
}

void TGateIPManager::LoadBlockIPFile() {
  if (!FileExists(FBlockIPFile)) return;
  const TTextLines text = DecodeTextLines(ReadSettingsFile(FBlockIPFile));
  TBlockListText parsed = ParseBlockListLines(text.Lines);
  const std::string label = FileLabel(FBlockIPFile);
  size_t kept = 0;
  {
    std::lock_guard lock(FBlockIPList.Lock);
    const uint32_t now = Now();
    FBlockIPList.Entries.clear();
    FBlockIPList.Matcher.Clear();
    for (const TBlockListEntry& entry : parsed.Entries) {
      if (FBlockIPList.Entries.size() >= FMaxEntries) {
        // One count per entry left out, as for entries refused one by one.
        for (size_t i = kept; i < parsed.Entries.size(); ++i) {
          CountLimitBreach(TLimitBreach::lbBlockListFull);
        }
        break;
      }
      FBlockIPList.Entries.push_back({entry.Text, now, 0});
      FBlockIPList.Matcher.Add(entry);
      ++kept;
    }
    FBlockIPList.Reindex();
  }
  for (const TBlockListProblem& problem : parsed.Problems) {
    const std::string line = label + " line " + std::to_string(problem.Line) + ": " + problem.Text;
    problem.Error ? TLogger::LogError(line) : TLogger::LogWarning(line);
  }
  if (kept < parsed.Entries.size()) {
    TLogger::LogError(label + ": only the first " + std::to_string(kept) + " of " +
                      std::to_string(parsed.Entries.size()) +
                      " entries were taken (a list holds at most " + std::to_string(FMaxEntries) +
                      ")");
  }
  size_t skipped = 0;
  for (const TBlockListProblem& problem : parsed.Problems) skipped += problem.Error ? 1 : 0;
  TLogger::LogInfo(label + ": " + std::to_string(parsed.Entries.size()) + " entries read (" +
                   std::to_string(parsed.Addresses) + " addresses, " +
                   std::to_string(parsed.Prefixes) + " prefixes, " + std::to_string(parsed.Ranges) +
                   " ranges), " + std::to_string(skipped) + " lines skipped");
}

bool TGateIPManager::SaveBlockIPList() {
  // The list is taken after the save lock: whichever save writes last wrote the latest list.
  std::lock_guard save(FSaveLock);
  std::vector<std::string> lines;
  {
    std::lock_guard lock(FBlockIPList.Lock);
    lines.reserve(FBlockIPList.Entries.size());
    for (const TSockaddr& entry : FBlockIPList.Entries) lines.push_back(entry.IPaddr);
  }
  try {
    TTextEncoding encoding = teAnsi;
    WriteSettingsFile(FBlockIPFile, EncodeTextLines(lines, encoding));
    return true;
  } catch (const std::exception& e) {
    // Memory keeps the list and the old file stays whole; the operator learns that the file
    // is behind.
    TLogger::LogError(std::string("永久过滤列表保存失败: ") + e.what());
    return false;
  }
}

void TGateIPManager::SavedChange() {
  if (FSaveOnChange.load(std::memory_order_relaxed)) SaveBlockIPList();
}

int TGateIPManager::AddTo(TBlockList& List, const std::string& AIPaddr, bool* Added,
                          std::string& Text) {
  if (Added) *Added = false;
  Text.clear();
  const TBlockListEntry entry = ParseBlockListEntry(AIPaddr);
  std::string refused;
  int count = 0;
  {
    std::lock_guard lock(List.Lock);
    const uint32_t now = Now();
    count = static_cast<int>(List.Entries.size());
    if (entry.Kind == TBlockEntryKind::bkNone || entry.Kind == TBlockEntryKind::bkInvalid) {
      refused = entry.Kind == TBlockEntryKind::bkNone ? "'" + LogText(AIPaddr) + "' holds no entry"
                                                      : entry.Problem;
    } else {
      const auto existing = List.Index.find(entry.Text);
      if (existing != List.Index.end()) {
        List.Entries[existing->second].StartAttackTick = now;
        Text = entry.Text;
        return count;
      }
      if (List.Entries.size() >= FMaxEntries) {
        refused = FullLine(List, entry.Text);
        if (refused.empty()) return count;  // refused and counted; a line went out just now
      } else {
        List.Index.emplace(entry.Text, List.Entries.size());
        List.Entries.push_back({entry.Text, now, 0});
        List.Matcher.Add(entry);
        Text = entry.Text;
        if (Added) *Added = true;
        count = static_cast<int>(List.Entries.size());
      }
    }
  }
  if (!refused.empty()) {
    TLogger::LogError("Block list: " + refused + "; not added");
  } else if (!entry.Problem.empty()) {
    TLogger::LogWarning("Block list: " + entry.Problem);
  }
  return count;
}

size_t TGateIPManager::RemoveFrom(TBlockList& List, const std::string& AIPaddr) {
  const TBlockListEntry entry = ParseBlockListEntry(AIPaddr);
  const bool valid = !entry.Text.empty();
  std::lock_guard lock(List.Lock);
  if (!List.Index.count(AIPaddr) && !(valid && List.Index.count(entry.Text))) return 0;
  size_t removed = 0;
  std::erase_if(List.Entries, [&](const TSockaddr& e) {
    if (e.IPaddr != AIPaddr && !(valid && e.IPaddr == entry.Text)) return false;
    List.Matcher.Remove(ParseBlockListEntry(e.IPaddr));
    ++removed;
    return true;
  });
  List.Reindex();
  return removed;
}

void TGateIPManager::EarchIn(TBlockList& List, const TIPEarchProc& AProc) {
  std::lock_guard lock(List.Lock);
  for (size_t i = 0; i < List.Entries.size(); ++i) AProc(static_cast<int>(i), &List.Entries[i]);
}

bool TGateIPManager::MatchedIn(TBlockList& List, const TIPAddress& Address) {
  std::lock_guard lock(List.Lock);
  return List.Matcher.Matches(Address);
}

int TGateIPManager::AddBlockIP(const std::string& AIPaddr, bool SaveHere) {
  bool added = false;
  std::string text;
  const int count = AddTo(FBlockIPList, AIPaddr, &added, text);
  // A refreshed time stamp is not in the file: only a new entry changes it.
  if (added && SaveHere) SavedChange();
  if (!text.empty()) NotifyBlockAdded(text);
  return count;
}

int TGateIPManager::AddTempBlockIP(const std::string& AIPaddr) {
  std::string text;
  const int count = AddTo(FTempBlockIPList, AIPaddr, nullptr, text);
  if (!text.empty()) NotifyBlockAdded(text);
  return count;
}

int TGateIPManager::AddBlockListener(TBlockAddedProc AProc) {
  std::lock_guard lock(FListenersLock);
  const int id = FNextListenerId++;
  FListeners.emplace_back(id, std::make_shared<const TBlockAddedProc>(std::move(AProc)));
  return id;
}

void TGateIPManager::RemoveBlockListener(int AId) {
  std::lock_guard lock(FListenersLock);
  std::erase_if(FListeners, [&](const auto& listener) { return listener.first == AId; });
}

void TGateIPManager::NotifyBlockAdded(const std::string& AIPaddr) {
  std::vector<std::shared_ptr<const TBlockAddedProc>> listeners;
  {
    std::lock_guard lock(FListenersLock);
    for (const auto& listener : FListeners) listeners.push_back(listener.second);
  }
  for (const auto& listener : listeners) {
    if (*listener) (*listener)(AIPaddr);
  }
}

void TGateIPManager::RemoveBlockIP(const std::string& AIPaddr) {
  if (RemoveFrom(FBlockIPList, AIPaddr) > 0) SavedChange();
}

void TGateIPManager::RemoveTempBlockIP(const std::string& AIPaddr) {
  RemoveFrom(FTempBlockIPList, AIPaddr);
}

void TGateIPManager::RemoveTempBlockIP(uint64_t AMilliseconds) {
  std::lock_guard lock(FTempBlockIPList.Lock);
  const uint32_t now = Now();
  const size_t removed = std::erase_if(FTempBlockIPList.Entries, [&](const TSockaddr& entry) {
    if (TicksSince(now, entry.StartAttackTick) < AMilliseconds) return false;
    FTempBlockIPList.Matcher.Remove(ParseBlockListEntry(entry.IPaddr));
    return true;
  });
  if (removed > 0) FTempBlockIPList.Reindex();
}

bool TGateIPManager::HeldIn(TBlockList& List, const std::string& AIPaddr) {
  const std::string text = ParseBlockListEntry(AIPaddr).Text;
  std::lock_guard lock(List.Lock);
  return List.Index.count(AIPaddr) > 0 || (!text.empty() && List.Index.count(text) > 0);
}

bool TGateIPManager::HasBlockIP(const std::string& AIPaddr) {
  return HeldIn(FBlockIPList, AIPaddr);
}

bool TGateIPManager::HasTempBlockIP(const std::string& AIPaddr) {
  return HeldIn(FTempBlockIPList, AIPaddr);
}

void TGateIPManager::EarchBlockIPs(const TIPEarchProc& AProc) { EarchIn(FBlockIPList, AProc); }

void TGateIPManager::EarchTempBlockIPs(const TIPEarchProc& AProc) {
  EarchIn(FTempBlockIPList, AProc);
}

bool TGateIPManager::IsBlockIP(const std::string& AIPaddr) {
  const std::optional<TIPAddress> address = TIPAddress::Parse(AIPaddr);
  if (!address) return false;  // not an address: no entry can cover it
  return MatchedIn(FTempBlockIPList, *address) || MatchedIn(FBlockIPList, *address);
}

std::vector<TGateIPManager::TSockaddrList>::iterator TGateIPManager::FindGroup(
    const std::string& AIPaddr) {
  return std::find_if(FCurrIPaddrList.begin(), FCurrIPaddrList.end(), [&](const TSockaddrList& g) {
    return SameTextIgnoringCase(g.front().IPaddr, AIPaddr);
  });
}

bool TGateIPManager::IsConnLimited(const std::string& AIPaddr, uintptr_t ASocketHandle) {
  std::lock_guard lock(FCurrIPaddrListLock);
  auto group = FindGroup(AIPaddr);
  const size_t recorded = group == FCurrIPaddrList.end() ? 0 : group->size();
  if (static_cast<int64_t>(recorded) >= MaxConnections()) return true;
  if (group == FCurrIPaddrList.end()) {
    group = FCurrIPaddrList.insert(FCurrIPaddrList.end(), TSockaddrList{});
  }
  group->push_back({AIPaddr, Now(), ASocketHandle});
  return false;
}

void TGateIPManager::RemoveCurrIP(const std::string& AIPaddr, uintptr_t ASocketHandle) {
  std::lock_guard lock(FCurrIPaddrListLock);
  auto group = FindGroup(AIPaddr);
  if (group == FCurrIPaddrList.end()) return;
  auto entry = std::find_if(group->begin(), group->end(), [&](const TSockaddr& e) {
    return e.IPaddr == AIPaddr && e.SocketHandle == ASocketHandle;
  });
  if (entry == group->end()) return;
  group->erase(entry);
  if (group->empty()) FCurrIPaddrList.erase(group);
}

int TGateIPManager::IPCount(const std::string& AIPaddr) {
  std::lock_guard lock(FCurrIPaddrListLock);
  auto group = FindGroup(AIPaddr);
  return group == FCurrIPaddrList.end() ? 0 : static_cast<int>(group->size());
}

}  // namespace gw
