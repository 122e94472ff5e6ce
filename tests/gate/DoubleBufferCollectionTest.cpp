#include "gate/DoubleBufferCollection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace gw {
namespace {

std::vector<int> Drain(TDoubleQueue<int>& queue) {
  std::vector<int> out;
  while (!queue.empty()) {
    out.push_back(queue.front());
    queue.pop();
  }
  return out;
}

TEST(DoubleQueue, FlushKeepsOrderBehindUntakenItems) {
  TDoubleQueue<int> queue;
  queue.Flush();  // nothing appended, nothing there
  EXPECT_TRUE(queue.empty());

  queue.Append(1);
  queue.Append(2);
  EXPECT_TRUE(queue.empty());  // appended items wait for Flush
  queue.Flush();
  ASSERT_EQ(queue.size(), 2u);
  queue.Flush();  // nothing new: the consumer side stays as it was
  EXPECT_EQ(queue.size(), 2u);

  // The consumer takes one item; meanwhile more arrive.
  EXPECT_EQ(queue.front(), 1);
  queue.pop();
  queue.Append(3);
  queue.Append(4);
  // Appended during the pass: not seen until the next Flush.
  EXPECT_EQ(queue.size(), 1u);
  queue.Flush();
  EXPECT_EQ(Drain(queue), (std::vector<int>{2, 3, 4}));

  queue.Append(5);
  queue.Flush();
  queue.Clear();
  EXPECT_TRUE(queue.empty());
}

// Append reports the first item since the consumer's last Flush: the one after
// which a sleeping consumer must be woken (later ones find it woken already).
TEST(DoubleQueue, AppendReportsTheFirstItemSinceTheLastFlush) {
  TDoubleQueue<int> queue;
  EXPECT_TRUE(queue.Append(1));
  EXPECT_FALSE(queue.Append(2));
  queue.Flush();
  EXPECT_TRUE(queue.Append(3)) << "the producers' side was emptied by Flush";
  queue.Flush();
  queue.Flush();  // nothing appended in between
  EXPECT_TRUE(queue.Append(4));
  queue.Flush();
  EXPECT_EQ(Drain(queue), (std::vector<int>{1, 2, 3, 4}));
}

TEST(DoubleQueue, DestroyDropsItemsWithoutDisposingOfThem) {
  auto owned = std::make_unique<int>(7);
  {
    TDoubleQueue<int*> queue;
    queue.Append(owned.get());
    queue.Flush();
    queue.Append(owned.get());
  }
  EXPECT_EQ(*owned, 7);
}

// Two producers against one consumer: nothing lost, nothing doubled, and each
// producer's items arrive in the order it appended them.
TEST(DoubleQueue, TwoProducersOneConsumer) {
  constexpr int kPerProducer = 20000;
  TDoubleQueue<uint32_t> queue;
  std::atomic<int> started{0};
  auto produce = [&](uint32_t producer) {
    started.fetch_add(1);
    for (uint32_t i = 0; i < kPerProducer; ++i) queue.Append(producer << 24 | i);
  };
  std::thread a(produce, 1), b(produce, 2);

  uint32_t next[3] = {0, 0, 0};
  int received = 0;
  while (received < 2 * kPerProducer) {
    queue.Flush();
    while (!queue.empty()) {
      const uint32_t item = queue.front();
      queue.pop();
      const uint32_t producer = item >> 24;
      ASSERT_TRUE(producer == 1 || producer == 2);
      ASSERT_EQ(item & 0xFFFFFF, next[producer]) << "producer " << producer;
      ++next[producer];
      ++received;
    }
    std::this_thread::yield();
  }
  a.join();
  b.join();
  queue.Flush();
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(next[1], static_cast<uint32_t>(kPerProducer));
  EXPECT_EQ(next[2], static_cast<uint32_t>(kPerProducer));
}

void* LevelObject(uintptr_t level) { return reinterpret_cast<void*>(level); }

TEST(DoubleStringList, FlushKeepsEntriesAndObjectsInOrder) {
  TDoubleStringList list;
  list.Flush();
  EXPECT_EQ(list.Count(), 0u);
  list.Append("first", LevelObject(0));
  list.Append("second", LevelObject(2));
  list.Flush();
  list.Append("third", nullptr);
  EXPECT_EQ(list.Count(), 2u);
  list.Flush();
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_EQ(list.Strings(0), "first");
  EXPECT_EQ(list.Objects(0), LevelObject(0));
  EXPECT_EQ(list.Strings(1), "second");
  EXPECT_EQ(list.Objects(1), LevelObject(2));
  EXPECT_EQ(list.Strings(2), "third");
  EXPECT_EQ(list.Objects(2), nullptr);
  size_t n = 0;
  for (const TStringListEntry& e : list) n += e.Str.size();
  EXPECT_EQ(n, 16u);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
}

// The console's feed: log lines from several threads, read by the view's timer.
TEST(DoubleStringList, ProducersOnManyThreadsOneConsumer) {
  constexpr int kPerProducer = 5000;
  TDoubleStringList list;
  std::vector<std::thread> producers;
  for (uintptr_t p = 0; p < 3; ++p) {
    producers.emplace_back([&list, p] {
      for (int i = 0; i < kPerProducer; ++i) list.Append(std::to_string(i), LevelObject(p));
    });
  }
  int next[3] = {0, 0, 0};
  int received = 0;
  while (received < 3 * kPerProducer) {
    list.Flush();
    for (const TStringListEntry& e : list) {
      const auto p = reinterpret_cast<uintptr_t>(e.Obj);
      ASSERT_LT(p, 3u);
      ASSERT_EQ(e.Str, std::to_string(next[p]));
      ++next[p];
      ++received;
    }
    list.Clear();
    std::this_thread::yield();
  }
  for (std::thread& t : producers) t.join();
}

}  // namespace
}  // namespace gw
