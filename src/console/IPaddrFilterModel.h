// What the IP filter dialog decides: the protection fields it shows (pulled into their ranges)
// and stores, and the commands of its two block list pages, which act on the IP manager at
// once. Adding an address to either block list also reports it through `OnAddressBlocked`, so
// the console can close that address's current sessions as the confirmation texts promise.
// No widget involved; used on the user-interface thread (the IP manager locks its own lists).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "console/SpinRange.h"

namespace gw {

class TGateWayConfigure;
class TGateIPManager;

struct TIPaddrFilterFields {
  int MaxConnOfIPaddr = 0;
  int ClientTimeOut = 0;
  int BlockMethod = -1;  // a TBlockIPMethod value; -1 when no radio button is checked
  bool ClearTempList = false;
  int ClearTempBlockListTime = 0;
  int NomClientPacketSize = 0;
  int MaxClientPacketSize = 0;
  int MaxClientMsgCount = 0;
  bool KickOverPacketSize = false;
  int ConnectionATKSec = 0;
  int ConnectionATKCount = 0;
};

class TIPaddrFilterModel {
 public:
  static constexpr TSpinRange kMaxConnRange{1, 100, 1};
  static constexpr TSpinRange kClientTimeOutRange{1, 60000, 1};
  static constexpr TSpinRange kClearTempTimeRange{1, 10000, 1};
  static constexpr TSpinRange kNomPacketRange{1, 1000, 10};
  static constexpr TSpinRange kMaxPacketRange{1, 10000, 10};
  static constexpr TSpinRange kMsgCountRange{1, 100, 1};
  static constexpr TSpinRange kAttackRange{0, 1000, 1};
  // A client check time-out below this is stored as this.
  static constexpr int kMinClientTimeOut = 100;

  using TBlockedProc = std::function<void(const std::string& address)>;

  TIPaddrFilterModel(TGateIPManager& manager, TBlockedProc onAddressBlocked);

  static TIPaddrFilterFields Load(const TGateWayConfigure& config);
  // Stores the fields (the caller saves the configuration and sets the manager's limit).
  static void Store(const TIPaddrFilterFields& fields, TGateWayConfigure& config);

  // The two pages' lists, sorted by text. Refill* reads them anew from the manager.
  const std::vector<std::string>& TempList() const { return FTempList; }
  const std::vector<std::string>& BlockList() const { return FBlockList; }
  void RefillTemp();
  void RefillBlock();

  // Temporary list page. `selected` are indices into TempList(), any order.
  void AddTemp(const std::string& address);
  void MoveTempToBlock(const std::vector<int>& selected);
  void DeleteTemp(const std::vector<int>& selected);
  // Permanent list page; every change is written to the block list file at once.
  void AddBlock(const std::string& address);
  void MoveBlockToTemp(const std::vector<int>& selected);
  void DeleteBlock(const std::vector<int>& selected);

 private:
  static void InsertSorted(std::vector<std::string>& list, const std::string& text);
  static std::vector<std::string> TakeSelected(std::vector<std::string>& list,
                                               const std::vector<int>& selected);
  void Blocked(const std::string& address);

  TGateIPManager& FManager;
  TBlockedProc FOnAddressBlocked;
  std::vector<std::string> FTempList;
  std::vector<std::string> FBlockList;
};

}  // namespace gw
