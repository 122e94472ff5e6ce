// The IP manager: the permanent block list (stored in BlockIPList.txt), the temporary block list
// (memory only), the per-address table of open connections, and the address checks built on
// them. Entries come from the login server link's thread and from the console.
//
// Every entry, whoever adds it, is read by ParseBlockListEntry (an address, "prefix*", an
// address/bits range; see BlockListEntry.h): invalid text and entries that would block every
// client are refused with a log line, and entries are stored in their canonical form (so
// "2001:DB8:0:0::5" is the entry 2001:db8::5). Each list holds at most
// limits::kMaxBlockListEntries entries, whoever adds them (the file, the console, the login
// server, the guard's automatic blocks); an entry past it is refused, counted
// (block_list_full) and logged, at most one line a second per list. Lookups go through a
// TBlockListMatcher and an index of the entries' texts, and never walk the lists.
//
// Thread safety: every operation is safe from any thread. Each list has its own lock, held for
// the whole of one operation on that list; no operation holds two of them at once. The
// enumeration callbacks run under the list's lock and must not call back into the same list.
// Saves are serialised by a lock of their own and write the file outside the list's lock, so a
// slow disk never holds up the address checks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <unordered_map>

#include "common/PeerLimits.h"
#include "config/BlockListMatcher.h"

namespace gw {

// ".\BlockIPList.txt": the permanent block list, relative to the working directory.
inline constexpr char kBlockIPListFile[] = "./BlockIPList.txt";

// One entry of a list.
struct TSockaddr {
  std::string IPaddr;            // the entry's canonical text (see ParseBlockListEntry)
  uint32_t StartAttackTick = 0;  // tick when the entry was added or last added again
  uintptr_t SocketHandle = 0;    // the client connection (connection table only)
};

// Enumeration callback: the entry's index (from 0) and the entry.
using TIPEarchProc = std::function<void(int AIndex, const TSockaddr* AEntry)>;

class TGateIPManager {
 public:
  using TTickSource = std::function<uint32_t()>;

  // BlockIPFile: the permanent list's file; Ticks: the millisecond tick counter (tests pass
  // their own clock); MaxEntries: the entries each list holds (tests pass a small one).
  explicit TGateIPManager(std::string BlockIPFile = kBlockIPListFile, TTickSource Ticks = {},
                          size_t MaxEntries = limits::kMaxBlockListEntries);
  ~TGateIPManager();
  TGateIPManager(const TGateIPManager&) = delete;
  TGateIPManager& operator=(const TGateIPManager&) = delete;

  // Empties the connection table, the permanent and the temporary list, one after the other.
  void Clear();

  // Replaces the permanent list with the file's entries when the file exists; does nothing when
  // it does not. Comments and empty lines are skipped; an invalid line is logged with its line
  // number and skipped; a questionable prefix is logged as a warning and taken; one line tells
  // how many entries of each kind were read. Throws ESettingsFileError when the file cannot be
  // read; the list is unchanged then.
  void LoadBlockIPFile();
  // Replaces the file with the permanent list (GBK, CR LF; see WriteSettingsFile). Never
  // throws: a failure keeps the old file, writes an error line naming the file and the cause,
  // and returns false.
  bool SaveBlockIPList();
  // When on, every change to the permanent list (an address added or removed, whoever asked)
  // is saved at once, so a reload cannot drop it. The process-wide manager has it on.
  void SetSaveOnChange(bool Value) { FSaveOnChange.store(Value, std::memory_order_relaxed); }

  // Adds the entry, or refreshes the time stamp of the entry equal to it (in canonical form).
  // Returns the number of entries afterwards. Text that is not a valid entry, an entry that
  // would block every client, or one past the cap is not added (an error line says why).
  // SaveHere false: the caller has the list saved on another thread (an I/O thread must not
  // wait on the disk); otherwise a manager that saves on change writes the file now.
  int AddBlockIP(const std::string& AIPaddr, bool SaveHere = true);
  int AddTempBlockIP(const std::string& AIPaddr);
  // Removes every entry equal to AIPaddr: the text as listed, or any other form of the same
  // entry ("2001:DB8::5" removes 2001:db8::5).
  void RemoveBlockIP(const std::string& AIPaddr);
  void RemoveTempBlockIP(const std::string& AIPaddr);
  // Ends the temporary blocks at least AMilliseconds old. Ages are measured on the 32-bit
  // tick counter, so a time beyond its range (49.7 days) ends none.
  void RemoveTempBlockIP(uint64_t AMilliseconds);

  // Whether the list holds the entry (any spelling of it), e.g. after an add that a full list
  // refused.
  bool HasBlockIP(const std::string& AIPaddr);
  bool HasTempBlockIP(const std::string& AIPaddr);

  void EarchBlockIPs(const TIPEarchProc& AProc);
  void EarchTempBlockIPs(const TIPEarchProc& AProc);

  // Whether the client address is blocked: the temporary list first, then the permanent one.
  // An address entry matches the same address in any spelling, "prefix*" every address whose
  // canonical text begins with the prefix, a range every address inside it.
  bool IsBlockIP(const std::string& AIPaddr);

  // Records the connection unless its address already has FMaxConnections recorded, in which
  // case nothing is recorded and the answer is true.
  bool IsConnLimited(const std::string& AIPaddr, uintptr_t ASocketHandle);
  // Forgets the recorded connection with exactly this address and handle.
  void RemoveCurrIP(const std::string& AIPaddr, uintptr_t ASocketHandle);
  // Connections recorded for the address (letter case ignored); 0 when none.
  int IPCount(const std::string& AIPaddr);

  // Connections allowed per address; 10 at creation, set from MaxConnOfIPaddr by the console.
  int32_t MaxConnections() const { return FMaxConnections.load(std::memory_order_relaxed); }
  void SetMaxConnections(int32_t Value) { FMaxConnections.store(Value, std::memory_order_relaxed); }

  const std::string& BlockIPFile() const { return FBlockIPFile; }

  // Told of every address put on either list (AddBlockIP, AddTempBlockIP), on the adding
  // thread, after the list's lock is released; the gateway closes the address's connections.
  // A listener may still be called once after its removal returned, so it must not depend
  // on anything its remover frees.
  using TBlockAddedProc = std::function<void(const std::string& AIPaddr)>;
  int AddBlockListener(TBlockAddedProc AProc);
  void RemoveBlockListener(int AId);

 private:
  using TSockaddrList = std::vector<TSockaddr>;
  struct TBlockList {
    std::mutex Lock;  // guards the rest
    TSockaddrList Entries;
    TBlockListMatcher Matcher;
    // Each text's first position in Entries: an entry added again is found without a walk.
    std::unordered_map<std::string, size_t> Index;
    // Refusals at the cap: when the last line about them was written, and how many were
    // refused since without a line.
    uint32_t FullLineTick = 0;
    bool FullLineWritten = false;
    uint64_t FullUnlogged = 0;
    void Reindex();
  };

  // `Added` (when given) tells whether a new entry was appended; `Text` receives the entry's
  // canonical text (empty when it was refused).
  int AddTo(TBlockList& List, const std::string& AIPaddr, bool* Added, std::string& Text);
  // The number of entries removed.
  size_t RemoveFrom(TBlockList& List, const std::string& AIPaddr);
  void SavedChange();
  void EarchIn(TBlockList& List, const TIPEarchProc& AProc);
  bool MatchedIn(TBlockList& List, const TIPAddress& Address);
  bool HeldIn(TBlockList& List, const std::string& AIPaddr);
  // The connection group of the address; FCurrIPaddrList.end() when none. Caller holds the lock.
  std::vector<TSockaddrList>::iterator FindGroup(const std::string& AIPaddr);
  uint32_t Now() const;

  // The line for a refusal at the cap, or empty when one was written less than a second
  // ago (the refusal is counted either way). Caller holds the list's lock.
  std::string FullLine(TBlockList& List, const std::string& Text);

  const std::string FBlockIPFile;
  const TTickSource FTicks;
  const size_t FMaxEntries;

  std::mutex FSaveLock;  // one save at a time; taken before a list's lock, never after
  std::atomic<bool> FSaveOnChange{false};

  TBlockList FBlockIPList;
  TBlockList FTempBlockIPList;

  std::mutex FCurrIPaddrListLock;              // guards FCurrIPaddrList
  std::vector<TSockaddrList> FCurrIPaddrList;  // one group per address, never empty

  std::atomic<int32_t> FMaxConnections{10};

  void NotifyBlockAdded(const std::string& AIPaddr);
  std::mutex FListenersLock;  // guards FListeners and FNextListenerId
  std::vector<std::pair<int, std::shared_ptr<const TBlockAddedProc>>> FListeners;
  int FNextListenerId = 1;
};

}  // namespace gw
