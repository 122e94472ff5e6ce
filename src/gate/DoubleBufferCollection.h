// Double-buffered hand-over collections: many producer threads append, one
// consumer thread moves everything appended so far to its own side in one short
// locked step (Flush) and then works through that side without any lock.
//
// Thread safety: Append is safe from any thread. Flush and every consumer-side
// operation (size, front, pop, Clear, Count, Strings, Objects, ...) belong to the
// one consumer thread.
//
// The collections do nothing to their items beyond moving them: what is still queued
// when a collection is destroyed is destroyed with it as it is (a worker's queue holds
// owning handles, so its session messages are freed then; plain pointers are not).
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <queue>
#include <string>
#include <utility>
#include <vector>

namespace gw {

// A FIFO queue whose own (inherited) queue is the consumer side.
template <typename T>
class TDoubleQueue : public std::queue<T, std::deque<T>> {
 public:
  TDoubleQueue() = default;
  TDoubleQueue(const TDoubleQueue&) = delete;
  TDoubleQueue& operator=(const TDoubleQueue&) = delete;

  // Safe from any thread: enqueues at the tail of the producers' side. True when
  // that side was empty, i.e. for the first item since the consumer's last Flush:
  // the one append after which a sleeping consumer needs waking.
  bool Append(T value) {
    std::lock_guard<std::mutex> guard(FLock);
    const bool first = FAppendQueue.empty();
    FAppendQueue.push_back(std::move(value));
    return first;
  }

  // Consumer thread: moves everything appended so far behind the items the
  // consumer has not taken yet, oldest first. Producers wait only for a swap of
  // two containers, however many items are moved.
  void Flush() {
    {
      // FTaken is always empty here; the producers get its storage back, so a
      // steady flow of flushes allocates nothing.
      std::lock_guard<std::mutex> guard(FLock);
      if (FAppendQueue.empty()) return;
      FTaken.swap(FAppendQueue);
    }
    if (this->c.empty()) {
      this->c.swap(FTaken);
    } else {
      for (T& item : FTaken) this->c.push_back(std::move(item));
      FTaken.clear();
    }
  }

  // Consumer thread: empties the consumer side.
  void Clear() { this->c.clear(); }

 private:
  std::mutex FLock;  // guards FAppendQueue
  std::deque<T> FAppendQueue;
  std::deque<T> FTaken;  // consumer thread only (swapped under FLock); empty between flushes
};

// One entry of a string list: its text and an associated object pointer that
// the list does not own (the console's log feed carries the level in it).
struct TStringListEntry {
  std::string Str;
  void* Obj = nullptr;
};

// A list of text entries whose consumer side is the object itself.
class TDoubleStringList {
 public:
  TDoubleStringList() = default;
  TDoubleStringList(const TDoubleStringList&) = delete;
  TDoubleStringList& operator=(const TDoubleStringList&) = delete;

  // Safe from any thread: adds the entry at the end of the producers' side.
  void Append(std::string str, void* obj);

  // Consumer thread: adds every appended entry, in order, at the end of the
  // consumer side and empties the producers' side.
  void Flush();

  // Consumer side, consumer thread only.
  size_t Count() const { return FList.size(); }
  const std::string& Strings(size_t index) const { return FList[index].Str; }
  void* Objects(size_t index) const { return FList[index].Obj; }
  void Clear() { FList.clear(); }
  std::vector<TStringListEntry>::const_iterator begin() const { return FList.begin(); }
  std::vector<TStringListEntry>::const_iterator end() const { return FList.end(); }

 private:
  std::vector<TStringListEntry> FList;  // consumer side

  std::mutex FLock;  // guards FAppendList
  std::vector<TStringListEntry> FAppendList;
};

}  // namespace gw
