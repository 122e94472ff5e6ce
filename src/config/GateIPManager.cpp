#include "config/GateIPManager.h"

#include <algorithm>

#include "common/Platform.h"
#include "config/TextFile.h"
#include "logging/Logger.h"

namespace gw {

namespace {

bool MatchesEntry(const std::string& entry, const std::string& address) {
  if (SameTextIgnoringCase(entry, address)) return true;
  const size_t star = entry.find('*');
  if (star == std::string::npos) return false;
  return address.size() >= star && address.compare(0, star, entry, 0, star) == 0;
}

}  // namespace

TGateIPManager::TGateIPManager(std::string BlockIPFile, TTickSource Ticks)
    : FBlockIPFile(std::move(BlockIPFile)), FTicks(std::move(Ticks)) {}

TGateIPManager::~TGateIPManager() { Clear(); }

uint32_t TGateIPManager::Now() const { return FTicks ? FTicks() : GetTickCount32(); }

void TGateIPManager::Clear() {
  {
    std::lock_guard lock(FCurrIPaddrListLock);
    FCurrIPaddrList.clear();
  }
  {
    std::lock_guard lock(FBlockIPListLock);
    FBlockIPList.clear();
  }
  std::lock_guard lock(FTempBlockIPListLock);
  FTempBlockIPList.clear();
}

void TGateIPManager::LoadBlockIPFile() {
  if (!FileExists(FBlockIPFile)) return;
  std::lock_guard lock(FBlockIPListLock);
  const TTextLines text = DecodeTextLines(ReadSettingsFile(FBlockIPFile));
  const uint32_t now = Now();
  FBlockIPList.clear();
  for (const std::string& line : text.Lines) {
    std::string address = TrimText(line);
    if (!address.empty()) FBlockIPList.push_back({std::move(address), now, 0});
  }
}

bool TGateIPManager::SaveBlockIPList() {
  // The list is taken after the save lock: whichever save writes last wrote the latest list.
  std::lock_guard save(FSaveLock);
  std::vector<std::string> lines;
  {
    std::lock_guard lock(FBlockIPListLock);
    lines.reserve(FBlockIPList.size());
    for (const TSockaddr& entry : FBlockIPList) lines.push_back(entry.IPaddr);
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

int TGateIPManager::AddTo(std::mutex& Lock, TSockaddrList& List, const std::string& AIPaddr,
                          bool* Added) {
  std::lock_guard lock(Lock);
  const uint32_t now = Now();
  if (Added) *Added = false;
  for (TSockaddr& entry : List) {
    if (SameTextIgnoringCase(entry.IPaddr, AIPaddr)) {
      entry.StartAttackTick = now;
      return static_cast<int>(List.size());
    }
  }
  List.push_back({AIPaddr, now, 0});
  if (Added) *Added = true;
  return static_cast<int>(List.size());
}

size_t TGateIPManager::RemoveFrom(std::mutex& Lock, TSockaddrList& List,
                                  const std::string& AIPaddr) {
  std::lock_guard lock(Lock);
  return std::erase_if(List, [&](const TSockaddr& entry) { return entry.IPaddr == AIPaddr; });
}

void TGateIPManager::EarchIn(std::mutex& Lock, const TSockaddrList& List,
                             const TIPEarchProc& AProc) {
  std::lock_guard lock(Lock);
  for (size_t i = 0; i < List.size(); ++i) AProc(static_cast<int>(i), &List[i]);
}

bool TGateIPManager::MatchedIn(std::mutex& Lock, const TSockaddrList& List,
                               const std::string& AIPaddr) {
  std::lock_guard lock(Lock);
  return std::any_of(List.begin(), List.end(),
                     [&](const TSockaddr& entry) { return MatchesEntry(entry.IPaddr, AIPaddr); });
}

int TGateIPManager::AddBlockIP(const std::string& AIPaddr, bool SaveHere) {
  bool added = false;
  const int count = AddTo(FBlockIPListLock, FBlockIPList, AIPaddr, &added);
  // A refreshed time stamp is not in the file: only a new entry changes it.
  if (added && SaveHere) SavedChange();
  NotifyBlockAdded(AIPaddr);
  return count;
}

int TGateIPManager::AddTempBlockIP(const std::string& AIPaddr) {
  const int count = AddTo(FTempBlockIPListLock, FTempBlockIPList, AIPaddr);
  NotifyBlockAdded(AIPaddr);
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
  if (RemoveFrom(FBlockIPListLock, FBlockIPList, AIPaddr) > 0) SavedChange();
}

void TGateIPManager::RemoveTempBlockIP(const std::string& AIPaddr) {
  RemoveFrom(FTempBlockIPListLock, FTempBlockIPList, AIPaddr);
}

void TGateIPManager::RemoveTempBlockIP(uint64_t AMilliseconds) {
  std::lock_guard lock(FTempBlockIPListLock);
  const uint32_t now = Now();
  std::erase_if(FTempBlockIPList, [&](const TSockaddr& entry) {
    return TicksSince(now, entry.StartAttackTick) >= AMilliseconds;
  });
}

void TGateIPManager::EarchBlockIPs(const TIPEarchProc& AProc) {
  EarchIn(FBlockIPListLock, FBlockIPList, AProc);
}

void TGateIPManager::EarchTempBlockIPs(const TIPEarchProc& AProc) {
  EarchIn(FTempBlockIPListLock, FTempBlockIPList, AProc);
}

bool TGateIPManager::IsBlockIP(const std::string& AIPaddr) {
  return MatchedIn(FTempBlockIPListLock, FTempBlockIPList, AIPaddr) ||
         MatchedIn(FBlockIPListLock, FBlockIPList, AIPaddr);
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
