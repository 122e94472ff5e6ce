// The deadline heap each I/O thread keeps for the admission time-outs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/DeadlineHeap.h"

namespace gw {
namespace {

TEST(DeadlineHeap, TakesWhatIsDueEarliestFirstAndLeavesTheRest) {
  struct TCase {
    const char* Name;
    std::vector<std::pair<uint64_t, int>> Added;  // due, item
    uint64_t Now;
    std::vector<int> Taken;
    uint64_t NextDueAfter;
  };
  const TCase cases[] = {
      {"empty", {}, 100, {}, TDeadlineHeap<int>::kNever},
      {"nothing due yet", {{200, 1}, {300, 2}}, 199, {}, 200},
      {"due exactly now", {{200, 1}, {300, 2}}, 200, {1}, 300},
      {"added out of order", {{500, 5}, {100, 1}, {300, 3}, {200, 2}}, 350, {1, 2, 3}, 500},
      {"equal due in adding order",
       {{100, 7}, {100, 8}, {100, 9}},
       100,
       {7, 8, 9},
       TDeadlineHeap<int>::kNever},
      {"everything overdue", {{1, 1}, {2, 2}}, 1000, {1, 2}, TDeadlineHeap<int>::kNever},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDeadlineHeap<int> heap;
    for (const auto& [due, item] : c.Added) heap.Add(due, item);
    std::vector<int> taken;
    heap.TakeDue(c.Now, taken);
    EXPECT_EQ(taken, c.Taken);
    EXPECT_EQ(heap.NextDue(), c.NextDueAfter);
    EXPECT_EQ(heap.Size(), c.Added.size() - c.Taken.size());
  }
}

TEST(DeadlineHeap, InterleavedAddsAndTakesKeepTheOrder) {
  TDeadlineHeap<std::string> heap;
  std::vector<std::string> taken;
  heap.Add(1000, "a");
  heap.Add(3000, "c");
  heap.TakeDue(500, taken);
  EXPECT_TRUE(taken.empty());
  heap.Add(2000, "b");
  heap.TakeDue(2500, taken);
  EXPECT_EQ(taken, (std::vector<std::string>{"a", "b"}));
  heap.Add(2600, "b2");  // earlier than what is left
  EXPECT_EQ(heap.NextDue(), 2600u);
  heap.TakeDue(10000, taken);
  EXPECT_EQ(taken, (std::vector<std::string>{"a", "b", "b2", "c"}));
  EXPECT_TRUE(heap.Empty());
}

}  // namespace
}  // namespace gw
