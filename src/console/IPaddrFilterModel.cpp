#include "console/IPaddrFilterModel.h"

#include <algorithm>
#include <cctype>

#include "config/BlockListEntry.h"
#include "console/ConsoleShared.h"
#include "console/SettingFields.h"

namespace gw {

namespace {

// Case-insensitive order of the list boxes; equal texts keep their order of arrival.
bool TextLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) <
           std::tolower(static_cast<unsigned char>(y));
  });
}

using TField = TSettingField<TIPaddrFilterFields>;
using M = TIPaddrFilterModel;
// In the order the dialog stores them. ClientTimeOut is raised to its minimum before storing.
const TField kFields[] = {
    {"MaxConnOfIPaddr", &TIPaddrFilterFields::MaxConnOfIPaddr, M::kMaxConnRange},
    {"BlockMethod", &TIPaddrFilterFields::BlockMethod},
    {"MaxClientPacketSize", &TIPaddrFilterFields::MaxClientPacketSize, M::kMaxPacketRange},
    {"NomClientPacketSize", &TIPaddrFilterFields::NomClientPacketSize, M::kNomPacketRange},
    {"MaxClientMsgCount", &TIPaddrFilterFields::MaxClientMsgCount, M::kMsgCountRange},
    {"KickOverPacketSize", &TIPaddrFilterFields::KickOverPacketSize},
    {"ClientTimeOut", &TIPaddrFilterFields::ClientTimeOut, M::kClientTimeOutRange},
    {"ClearTempList", &TIPaddrFilterFields::ClearTempList},
    {"ClearTempBlockListTime", &TIPaddrFilterFields::ClearTempBlockListTime,
     M::kClearTempTimeRange},
    {"ConnectionATKSec", &TIPaddrFilterFields::ConnectionATKSec, M::kAttackRange},
    {"ConnectionATKCount", &TIPaddrFilterFields::ConnectionATKCount, M::kAttackRange},
};

}  // namespace

TIPaddrFilterModel::TIPaddrFilterModel(TGateIPManager& manager, TBlockedProc onAddressBlocked)
    : FManager(manager), FOnAddressBlocked(std::move(onAddressBlocked)) {}

TIPaddrFilterFields TIPaddrFilterModel::Load(const TGateWayConfigure& config) {
  TIPaddrFilterFields f;
  LoadSettingFields<TIPaddrFilterFields>(config, kFields, f);
  return f;
}

void TIPaddrFilterModel::Store(const TIPaddrFilterFields& f, TGateWayConfigure& config) {
  TIPaddrFilterFields stored = f;
  stored.ClientTimeOut = std::max(f.ClientTimeOut, kMinClientTimeOut);
  StoreSettingFields<TIPaddrFilterFields>(stored, kFields, config);
}

void TIPaddrFilterModel::InsertSorted(std::vector<std::string>& list, const std::string& text) {
  list.insert(std::upper_bound(list.begin(), list.end(), text, TextLess), text);
}

std::vector<std::string> TIPaddrFilterModel::TakeSelected(std::vector<std::string>& list,
                                                          const std::vector<int>& selected) {
  std::vector<bool> marked(list.size(), false);
  for (int index : selected)
    if (index >= 0 && index < static_cast<int>(list.size())) marked[index] = true;
  std::vector<std::string> taken;
  std::vector<std::string> kept;
  for (size_t i = 0; i < list.size(); ++i) (marked[i] ? taken : kept).push_back(list[i]);
  list = std::move(kept);
  return taken;
}

void TIPaddrFilterModel::Blocked(const std::string& address) {
  if (FOnAddressBlocked) FOnAddressBlocked(address);
}

void TIPaddrFilterModel::RefillTemp() {
  FTempList.clear();
  std::vector<std::string> addresses = TempBlockAddresses(FManager);
  for (const std::string& a : addresses) InsertSorted(FTempList, a);
}

void TIPaddrFilterModel::RefillBlock() {
  FBlockList.clear();
  std::vector<std::string> addresses = BlockAddresses(FManager);
  for (const std::string& a : addresses) InsertSorted(FBlockList, a);
}

void TIPaddrFilterModel::AddTemp(const std::string& address) {
  // The list shows what the manager stores: the entry in its canonical form, nothing for
  // text the manager refuses (it logs why), nor for an entry a full list refused.
  const std::string entry = ParseBlockListEntry(address).Text;
  FManager.AddTempBlockIP(address);
  if (entry.empty() || !FManager.HasTempBlockIP(entry)) return;
  if (std::find(FTempList.begin(), FTempList.end(), entry) == FTempList.end()) {
    InsertSorted(FTempList, entry);
  }
  Blocked(entry);
}

void TIPaddrFilterModel::MoveTempToBlock(const std::vector<int>& selected) {
  std::vector<std::string> taken = TakeSelected(FTempList, selected);
  if (taken.empty()) return;
  std::vector<std::string> moved;
  for (const std::string& a : taken) {
    // Taken off the temporary list only once the permanent one holds it: a full list
    // refuses it (and logs why), and it stays where it was.
    FManager.AddBlockIP(a);
    if (!FManager.HasBlockIP(a)) {
      InsertSorted(FTempList, a);
      continue;
    }
    FManager.RemoveTempBlockIP(a);
    InsertSorted(FBlockList, a);
    moved.push_back(a);
  }
  FManager.SaveBlockIPList();
  for (const std::string& a : moved) Blocked(a);
}

void TIPaddrFilterModel::DeleteTemp(const std::vector<int>& selected) {
  for (const std::string& a : TakeSelected(FTempList, selected)) FManager.RemoveTempBlockIP(a);
}

void TIPaddrFilterModel::AddBlock(const std::string& address) {
  const std::string entry = ParseBlockListEntry(address).Text;
  FManager.AddBlockIP(address);
  if (entry.empty() || !FManager.HasBlockIP(entry)) return;
  if (std::find(FBlockList.begin(), FBlockList.end(), entry) == FBlockList.end()) {
    InsertSorted(FBlockList, entry);
  }
  FManager.SaveBlockIPList();
  Blocked(entry);
}

void TIPaddrFilterModel::MoveBlockToTemp(const std::vector<int>& selected) {
  std::vector<std::string> taken = TakeSelected(FBlockList, selected);
  if (taken.empty()) return;
  std::vector<std::string> moved;
  for (const std::string& a : taken) {
    FManager.AddTempBlockIP(a);
    if (!FManager.HasTempBlockIP(a)) {  // a full temporary list: it stays permanent
      InsertSorted(FBlockList, a);
      continue;
    }
    FManager.RemoveBlockIP(a);
    InsertSorted(FTempList, a);
    moved.push_back(a);
  }
  FManager.SaveBlockIPList();
  for (const std::string& a : moved) Blocked(a);
}

void TIPaddrFilterModel::DeleteBlock(const std::vector<int>& selected) {
  std::vector<std::string> removed = TakeSelected(FBlockList, selected);
  if (removed.empty()) return;
  for (const std::string& a : removed) FManager.RemoveBlockIP(a);
  FManager.SaveBlockIPList();
}

}  // namespace gw
