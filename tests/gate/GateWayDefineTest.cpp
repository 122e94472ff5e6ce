#include "gate/GateWayDefine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace gw {
namespace {

std::vector<uint8_t> LittleEndianBytes(uint32_t value) {
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

TEST(SessionHandle, LayoutAndSplitRoundTrip) {
  struct Case {
    uint8_t worker, generation;
    uint16_t slot;
    std::vector<uint8_t> bytes;  // least significant first
  };
  const Case cases[] = {
      {1, 1, 0, {0x00, 0x00, 0x01, 0x01}},
      {0, 0, 0, {0x00, 0x00, 0x00, 0x00}},
      {2, 3, 0x1234, {0x34, 0x12, 0x03, 0x02}},
      {255, 255, 65534, {0xFE, 0xFF, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    const uint32_t handle = MakeSessionHandle(c.worker, c.generation, c.slot);
    EXPECT_EQ(LittleEndianBytes(handle), c.bytes);
    EXPECT_EQ(SessionWorkerID(handle), c.worker);
    EXPECT_EQ(SessionGeneration(handle), c.generation);
    EXPECT_EQ(SessionIndex(handle), c.slot);
    const TSessionHandleParts parts = SplitSessionHandle(handle);
    EXPECT_EQ(parts.WorkerID, c.worker);
    EXPECT_EQ(parts.Generation, c.generation);
    EXPECT_EQ(parts.Slot, c.slot);
  }
  EXPECT_EQ(MakeSessionHandle(0, 0, 0), kNoSessionHandle);
}

TEST(SessionHandle, GenerationSkipsZeroSoNoHandleIsEverZero) {
  EXPECT_EQ(NextGeneration(1), 2);
  EXPECT_EQ(NextGeneration(254), 255);
  EXPECT_EQ(NextGeneration(255), 1);
  EXPECT_EQ(NextGeneration(0), 1);
  // A worker 0 counter starting at 1 that hands out slot 0 a thousand times.
  uint8_t generation = 1;
  std::set<uint8_t> seen;
  for (int i = 0; i < 1000; ++i) {
    EXPECT_NE(MakeSessionHandle(0, generation, 0), kNoSessionHandle);
    seen.insert(generation);
    generation = NextGeneration(generation);
  }
  EXPECT_EQ(seen.size(), 255u);
}

TEST(SessionHandle, WorkerCountIsCheckedAgainstTheOneByteWorkerID) {
  const struct {
    int32_t count;
    bool ok;
  } cases[] = {{-1, false}, {0, false},   {1, true},      {4, true},
               {256, true}, {257, false}, {100000, false}};
  for (const auto& c : cases) {
    const std::string error = ValidateWorkerCount(c.count);
    EXPECT_EQ(error.empty(), c.ok) << c.count << ": " << error;
    if (!c.ok) {
      EXPECT_NE(error.find(std::to_string(c.count)), std::string::npos) << error;
    }
  }
}

// Run under ASan: a read past the readable bytes or a leaked buffer stops the test.
TEST(SessionMessage, OwnsItsBytesAndConsumesFromTheFront) {
  TSessionMessagePtr empty = MakeSessionMessage(7, GM_GATE_CLOSEALL, 0, 0);
  EXPECT_EQ(empty->SessionHandle, 7u);
  EXPECT_EQ(empty->Ident, GM_GATE_CLOSEALL);
  EXPECT_EQ(empty->Data(), nullptr);
  EXPECT_EQ(empty->DataLen(), 0u);

  const char text[] = "hello";
  TSessionMessagePtr copy = MakeSessionMessageCopy(9, GM_GATE_CLIENTMSG, 0, text, 5);
  EXPECT_NE(copy->Data(), reinterpret_cast<const uint8_t*>(text));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy->Data()), copy->DataLen()), "hello");
  TSessionMessagePtr none = MakeSessionMessageCopy(9, GM_GATE_CLIENTMSG, 0, nullptr, 5);
  EXPECT_EQ(none->Data(), nullptr);
  EXPECT_EQ(none->DataLen(), 0u);

  // The worker's forward to the client: a header dropped from the front, the rest read in
  // place and changed there.
  const struct {
    uint32_t Consumed;
    const char* Left;
  } cases[] = {{0, "0123456789"}, {4, "456789"}, {10, ""}, {25, ""}};
  for (const auto& c : cases) {
    TSessionMessagePtr msg = MakeSessionMessageCopy(1, GM_LOGIC_GATE_DATA, 0, "0123456789", 10);
    msg->Consume(c.Consumed);
    const std::string left =
        msg->DataLen() ? std::string(reinterpret_cast<const char*>(msg->Data()), msg->DataLen())
                       : std::string();
    EXPECT_EQ(left, c.Left) << c.Consumed;
    if (msg->DataLen() > 0) {
      msg->MutableData()[0] = 'X';
      EXPECT_EQ(msg->Data()[0], 'X');
    } else {
      EXPECT_EQ(msg->Data(), nullptr) << c.Consumed;
    }
  }
}

TEST(DefaultMessage, ThirtyTwoLittleEndianBytesWithZeroPadding) {
  TDefaultMessage msg;
  msg.Ident = 0x0102;
  msg.Recog = 0x03040506;
  msg.Param = -2;
  msg.Tag = 7;
  msg.Series = 8;
  msg.nSessionID = 9;
  msg.nToken = 10;
  msg.dwCRC = 0xA1B2C3D4;
  uint8_t bytes[32];
  std::memset(bytes, 0xEE, sizeof(bytes));
  WriteDefaultMessage(msg, bytes);
  const uint8_t expected[32] = {0x02, 0x01, 0,  0, 0x06, 0x05, 0x04, 0x03, 0xFE, 0xFF, 0xFF,
                                0xFF, 7,    0,  0, 0,    8,    0,    0,    0,    9,    0,
                                0,    0,    10, 0, 0,    0,    0xD4, 0xC3, 0xB2, 0xA1};
  EXPECT_EQ(0, std::memcmp(bytes, expected, 32));
  const TDefaultMessage back = ReadDefaultMessage(expected);
  EXPECT_EQ(back.Ident, msg.Ident);
  EXPECT_EQ(back.Param, -2);
  EXPECT_EQ(back.dwCRC, msg.dwCRC);
}

TEST(TokenChallenge, HeaderThenTextOneBytePerCharacter) {
  const std::string text(60, 'x');
  const std::vector<uint8_t> bytes = BuildTokenChallenge(text);
  ASSERT_EQ(bytes.size(), 93u);
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[1], 0xC9);
  EXPECT_EQ(bytes[2], 0x10);
  for (size_t i = 3; i < 33; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(std::string(bytes.begin() + 33, bytes.end()), text);

  TSessionMessagePtr msg = MakeTokenChallengeMessage(text);
  EXPECT_EQ(msg->SessionHandle, 0u);
  EXPECT_EQ(msg->Ident, 0);
  ASSERT_EQ(msg->DataLen(), 93u);
  EXPECT_EQ(0, std::memcmp(msg->Data(), bytes.data(), 93));
}

TEST(Batch, PacksLengthPrefixedMessagesBehindOneTypeByte) {
  std::vector<uint8_t> first(10, 0x11), second(20, 0x22);
  first[0] = mtPass;
  second[0] = mtDefault;
  uint8_t buffer[kMergeClientBufferSize];
  uint32_t written = 0;
  ASSERT_TRUE(AppendBatchEntry(buffer, sizeof(buffer), written, first.data(), 10));
  ASSERT_TRUE(AppendBatchEntry(buffer, sizeof(buffer), written, second.data(), 20));
  ASSERT_EQ(written, 39u);
  EXPECT_EQ(buffer[0], 0x80);
  const uint8_t firstLength[4] = {10, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(buffer + 1, firstLength, 4));
  EXPECT_EQ(buffer[5], mtPass);

  std::vector<std::span<const uint8_t>> entries;
  ASSERT_TRUE(SplitBatch({buffer, written}, entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(std::equal(entries[0].begin(), entries[0].end(), first.begin(), first.end()));
  EXPECT_TRUE(std::equal(entries[1].begin(), entries[1].end(), second.begin(), second.end()));
}

TEST(Batch, CapacityBoundary) {
  std::vector<uint8_t> buffer(kMergeClientBufferSize);
  std::vector<uint8_t> big(kMergeClientBufferSize);
  // A first message of 32763 bytes fills the 32768-byte buffer exactly ...
  uint32_t written = 0;
  EXPECT_TRUE(AppendBatchEntry(buffer.data(), kMergeClientBufferSize, written, big.data(), 32763));
  EXPECT_EQ(written, kMergeClientBufferSize);
  EXPECT_FALSE(AppendBatchEntry(buffer.data(), kMergeClientBufferSize, written, big.data(), 0));
  // ... one of 32764 never fits and leaves the batch untouched.
  written = 0;
  EXPECT_FALSE(AppendBatchEntry(buffer.data(), kMergeClientBufferSize, written, big.data(), 32764));
  EXPECT_EQ(written, 0u);
  // Behind a first entry, the second needs only its length and bytes.
  written = 0;
  ASSERT_TRUE(AppendBatchEntry(buffer.data(), kMergeClientBufferSize, written, big.data(), 100));
  EXPECT_EQ(BatchBytesNeeded(written, 32663), 32667u);
  EXPECT_TRUE(AppendBatchEntry(buffer.data(), kMergeClientBufferSize, written, big.data(), 32659));
  EXPECT_EQ(written, kMergeClientBufferSize);
}

TEST(Batch, SplitRejectsMalformedBatches) {
  const std::vector<std::vector<uint8_t>> bad = {
      {},
      {0x80},                          // no entry
      {0x05, 1, 0, 0, 0, 9},           // not a batch
      {0x80, 2, 0, 0, 0, 9},           // entry longer than what follows
      {0x80, 1, 0, 0, 0, 9, 1, 0},     // truncated length field
      {0x80, 0xFF, 0xFF, 0xFF, 0xFF},  // huge length
  };
  std::vector<std::span<const uint8_t>> entries;
  for (const auto& b : bad) EXPECT_FALSE(SplitBatch(b, entries)) << b.size();
  const std::vector<uint8_t> emptyEntry = {0x80, 0, 0, 0, 0};
  ASSERT_TRUE(SplitBatch(emptyEntry, entries));
  EXPECT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries[0].empty());
}

}  // namespace
}  // namespace gw
