#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "common/BufferMemoryStream.h"

namespace gw {
namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t start = 0) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), start);
  return v;
}

// Puts `live` bytes at head cursor `head` of a fresh 8192-byte buffer.
void Position(TBufferMemoryStream& b, int64_t head, int64_t live) {
  auto bytes = Pattern(static_cast<size_t>(head + live));
  b.WriteBuf(bytes.data(), head + live);
  ASSERT_EQ(b.ForwardHeadCursor(head), head);
}

TEST(BufferMemoryStream, GrowthRoundsToStepAndKeepsConsumedFront) {
  TBufferMemoryStream b(8192);
  Position(b, 8000, 100);
  const uint8_t* head = b.Memory();
  std::vector<uint8_t> live(head, head + 100);

  auto extra = Pattern(200, 77);
  uint8_t* w = b.GetWritePointer(200);
  std::memcpy(w, extra.data(), extra.size());

  EXPECT_EQ(b.Capacity(), 16384);
  EXPECT_EQ(b.HeadCursorOffset(), 8000);
  EXPECT_EQ(b.Size(), 300);
  EXPECT_EQ(b.Memory(), b.BlockPtr() + 8000);
  EXPECT_EQ(w, b.Memory() + 100);
  EXPECT_EQ(0, std::memcmp(b.Memory(), live.data(), 100)) << "live bytes survive the growth";
  EXPECT_EQ(0, std::memcmp(b.Memory() + 100, extra.data(), 200));
  EXPECT_EQ(b.GetFreeSize(), 16384 - 8000 - 300);
}

TEST(BufferMemoryStream, GrowthStepsAreMultiplesOf8192) {
  struct Case {
    int64_t create, write, capacity;
  } cases[] = {{8192, 8192, 8192},
               {8192, 8193, 16384},
               {100, 101, 8192},
               {8192, 65536, 65536},
               {8192, 70000, 73728}};
  for (const auto& c : cases) {
    TBufferMemoryStream b(c.create);
    auto bytes = Pattern(static_cast<size_t>(c.write));
    EXPECT_EQ(b.WriteBuf(bytes.data(), c.write), c.write);
    EXPECT_EQ(b.Capacity(), c.capacity) << "write " << c.write;
    EXPECT_EQ(0, std::memcmp(b.Memory(), bytes.data(), bytes.size()));
  }
}

TEST(BufferMemoryStream, CompactsOnlyPastHalfTheBlock) {
  for (int64_t head : {4096, 4097}) {
    TBufferMemoryStream b(8192);
    Position(b, head, 10);
    std::vector<uint8_t> live(b.Memory(), b.Memory() + 10);
    b.CheckCompactionMemory();
    if (head == 4096) {
      EXPECT_EQ(b.HeadCursorOffset(), 4096);
    } else {
      EXPECT_EQ(b.HeadCursorOffset(), 0);
      EXPECT_EQ(b.Memory(), b.BlockPtr());
    }
    EXPECT_EQ(b.Size(), 10);
    EXPECT_EQ(b.Capacity(), 8192);
    EXPECT_EQ(0, std::memcmp(b.Memory(), live.data(), 10));
  }
}

TEST(BufferMemoryStream, CompactionOfAnEmptyTailAndAtHeadZero) {
  TBufferMemoryStream b(8192);
  Position(b, 5000, 0);
  b.CompactionMemory();
  EXPECT_EQ(b.HeadCursorOffset(), 0);
  EXPECT_EQ(b.Size(), 0);
  b.CompactionMemory();  // nothing to do at head 0
  EXPECT_EQ(b.HeadCursorOffset(), 0);
}

TEST(BufferMemoryStream, OverConsumptionStopsAtLiveSizeAndKeepsCursor) {
  TBufferMemoryStream b(8192);
  Position(b, 30, 20);
  EXPECT_EQ(b.ForwardHeadCursor(50), 20);
  EXPECT_EQ(b.Size(), 0);
  EXPECT_EQ(b.HeadCursorOffset(), 50);
  EXPECT_EQ(b.ForwardHeadCursor(5), 0);
  EXPECT_EQ(b.ForwardHeadCursor(-5), 0);
  EXPECT_EQ(b.HeadCursorOffset(), 50);
  b.Trunc();
  EXPECT_EQ(b.HeadCursorOffset(), 0);
  EXPECT_EQ(b.Capacity(), 8192);
}

TEST(BufferMemoryStream, ClearReturnsToCreationSize) {
  TBufferMemoryStream b(8192);
  auto bytes = Pattern(60000);
  b.WriteBuf(bytes.data(), 60000);
  b.ForwardHeadCursor(10);
  EXPECT_EQ(b.Capacity(), 65536);
  b.Clear();
  EXPECT_EQ(b.Capacity(), 8192);
  EXPECT_EQ(b.Size(), 0);
  EXPECT_EQ(b.HeadCursorOffset(), 0);
  b.WriteBuf(bytes.data(), 8192);  // the fresh block is usable in full
  EXPECT_EQ(b.Capacity(), 8192);
}

TEST(BufferMemoryStream, NonPositiveSizesAreRefusedAndChangeNothing) {
  TBufferMemoryStream b(8192);
  Position(b, 10, 5);
  uint8_t byte = 1;
  for (int64_t size : {0, -1}) {
    try {
      b.GetWritePointer(size);
      ADD_FAILURE() << "GetWritePointer(" << size << ") did not assert";
    } catch (const EBufferAssertion& e) {
      EXPECT_STREQ(e.what(), "size must larger than zero");
    }
    EXPECT_THROW(b.WriteBuf(&byte, size), EBufferAssertion);
  }
  EXPECT_EQ(b.Size(), 5);
  EXPECT_EQ(b.HeadCursorOffset(), 10);
}

TEST(BufferMemoryStream, ShrinkTailDropsNewestBytesOnly) {
  TBufferMemoryStream b(8192);
  Position(b, 4, 10);
  b.ShrinkTail(3);
  EXPECT_EQ(b.Size(), 7);
  EXPECT_EQ(b.Memory()[0], 4);
  b.ShrinkTail(100);
  EXPECT_EQ(b.Size(), 0);
  EXPECT_EQ(b.HeadCursorOffset(), 4);
}

}  // namespace
}  // namespace gw
