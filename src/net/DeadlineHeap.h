// TDeadlineHeap: the deadlines one I/O thread watches, as a binary min-heap keyed by the
// due time (monotonic milliseconds). Adding and taking are O(log n); nothing scans the
// items that are not yet due. Items due at the same moment come out in the order they
// were added. Cancelling is left to the item: a cleared deadline simply does nothing
// when it comes due, so no search through the heap is ever needed.
//
// Thread safety: none; the owner guards it (one heap per I/O thread).
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace gw {

template <typename T>
class TDeadlineHeap {
 public:
  static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

  void Add(uint64_t DueMs, T Item) {
    FHeap.push_back({DueMs, FNextSeq++, std::move(Item)});
    std::push_heap(FHeap.begin(), FHeap.end(), Later);
  }

  // The earliest due time; kNever when empty.
  uint64_t NextDue() const { return FHeap.empty() ? kNever : FHeap.front().Due; }

  // Moves every item due at NowMs or earlier to Out, earliest first.
  void TakeDue(uint64_t NowMs, std::vector<T>& Out) {
    while (!FHeap.empty() && FHeap.front().Due <= NowMs) {
      std::pop_heap(FHeap.begin(), FHeap.end(), Later);
      Out.push_back(std::move(FHeap.back().Item));
      FHeap.pop_back();
    }
  }

  size_t Size() const { return FHeap.size(); }
  bool Empty() const { return FHeap.empty(); }
  void Clear() { FHeap.clear(); }

 private:
  struct TEntry {
    uint64_t Due;
    uint64_t Seq;
    T Item;
  };
  // The heap's order: the entry that comes due later sinks.
  static bool Later(const TEntry& A, const TEntry& B) {
    return A.Due != B.Due ? A.Due > B.Due : A.Seq > B.Seq;
  }

  std::vector<TEntry> FHeap;
  uint64_t FNextSeq = 0;
};

}  // namespace gw
