// The two pure framers fed as the socket would: the same stream split at every byte
// boundary (and in single bytes) must give the same packets or frames, in order.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/LogicPacketFramer.h"
#include "protocol/LoginFrameCutter.h"
#include "support/LogicPacketBytes.h"
#include "support/SplitFeed.h"

namespace gw {
namespace {

using test::LogicPacket;
using test_support::ForEachSplit;
using test_support::TSplit;

// What a receive loop does with the logic framer: append what arrives, cut what is whole.
struct TLogicRun {
  std::vector<std::string> Packets;
  bool BadLength = false;
  std::string Left;
};

TLogicRun FeedLogic(const TSplit& Split) {
  TLogicRun run;
  std::string buffer;
  for (std::string_view piece : Split.Pieces) {
    buffer += piece;
    for (;;) {
      TLogicPacketCut cut = CutLogicPacket(reinterpret_cast<const uint8_t*>(buffer.data()),
                                           static_cast<int64_t>(buffer.size()));
      if (cut.Status == TLogicCut::lcBadLength) {
        run.BadLength = true;
        run.Left = buffer;
        return run;
      }
      if (cut.Status == TLogicCut::lcNeedMore) break;
      run.Packets.push_back(buffer.substr(0, static_cast<size_t>(cut.Size)));
      buffer.erase(0, static_cast<size_t>(cut.Size));
    }
  }
  run.Left = buffer;
  return run;
}

TLogicRun FeedLogic(const std::string& Stream) { return FeedLogic(TSplit{{Stream}, "whole"}); }

TEST(LogicPacketFramer, SameWholePacketsWhereverTheStreamIsSplit) {
  const std::vector<std::string> packets = {
      LogicPacket(5, 11, std::string(40, 'x')), LogicPacket(6, 12),
      LogicPacket(22, 3, std::string(1, '\0')), LogicPacket(7, 0), LogicPacket(5, 13, "tail")};
  std::string stream;
  for (const auto& p : packets) stream += p;
  ForEachSplit(stream, [&](const TSplit& split) {
    TLogicRun run = FeedLogic(split);
    EXPECT_FALSE(run.BadLength) << split.Label;
    EXPECT_EQ(run.Packets, packets) << split.Label;
    EXPECT_TRUE(run.Left.empty()) << split.Label;
    return !::testing::Test::HasFailure();
  });
  // A stream cut short keeps its incomplete packet for later.
  TLogicRun run = FeedLogic(stream.substr(0, stream.size() - 1));
  EXPECT_EQ(run.Packets.size(), packets.size() - 1);
  EXPECT_EQ(run.Left, packets.back().substr(0, packets.back().size() - 1));
}

TEST(LogicPacketFramer, LengthOutOfRangeStopsTheStreamWhereverItIsSplit) {
  for (int32_t nLen : {-1, INT32_MIN, kMaxServerPacketLen + 1}) {
    const std::string good = LogicPacket(5, 1, "ok");
    const std::string stream =
        good + LogicPacket(5, 2, "", 0, 0, nLen) + LogicPacket(5, 3, "never");
    ForEachSplit(stream, [&](const TSplit& split) {
      TLogicRun run = FeedLogic(split);
      EXPECT_TRUE(run.BadLength) << nLen << ", " << split.Label;
      EXPECT_EQ(run.Packets, std::vector<std::string>{good}) << split.Label;
      return !::testing::Test::HasFailure();
    });
  }
  // The largest length waits for its payload; the magic plays no part in cutting.
  std::string big = LogicPacket(5, 1, "", 0, 0, kMaxServerPacketLen);
  big[0] = 0;
  TLogicPacketCut cut = CutLogicPacket(reinterpret_cast<const uint8_t*>(big.data()),
                                       static_cast<int64_t>(big.size()));
  EXPECT_EQ(cut.Status, TLogicCut::lcNeedMore);
  EXPECT_EQ(CutLogicPacket(nullptr, 0).Status, TLogicCut::lcNeedMore);
}

struct TLoginRun {
  std::vector<std::string> Frames;
  bool TooLong = false;
  std::string Left;
};

TLoginRun FeedLogin(const TSplit& Split) {
  TLoginRun run;
  std::string buffer;
  for (std::string_view piece : Split.Pieces) {
    buffer += piece;
    for (;;) {
      TLoginFrameCut cut = CutLoginFrame(buffer.data(), static_cast<int64_t>(buffer.size()));
      if (cut.Status == TLoginCut::lcTooLong) {
        run.TooLong = true;
        run.Left = buffer;
        return run;
      }
      if (cut.Status == TLoginCut::lcNeedMore) break;
      run.Frames.push_back(buffer.substr(0, static_cast<size_t>(cut.Size)));
      buffer.erase(0, static_cast<size_t>(cut.Size));
    }
  }
  run.Left = buffer;
  return run;
}

TEST(LoginFrameCutter, SameFramesWhereverTheStreamIsSplit) {
  // Well-formed frames, an empty one, one with bytes before its "%", a bare "$".
  const std::vector<std::string> frames = {
      "%+-17$", "%++$", "%12/#ABCD!$", "%$", "xyz$", "$", "%5/#" + std::string(30, 'q') + "!$"};
  std::string stream;
  for (const auto& f : frames) stream += f;
  ForEachSplit(stream + "%+-", [&](const TSplit& split) {
    TLoginRun run = FeedLogin(split);
    EXPECT_FALSE(run.TooLong) << split.Label;
    EXPECT_EQ(run.Frames, frames) << split.Label;
    EXPECT_EQ(run.Left, "%+-") << "the frame without its \"$\" waits, " << split.Label;
    return !::testing::Test::HasFailure();
  });
}

TEST(LoginFrameCutter, EndlessFrameIsTooLongOnlyPastTheBound) {
  std::string endless(static_cast<size_t>(kMaxLoginFrameSize), 'a');
  EXPECT_EQ(CutLoginFrame(endless.data(), static_cast<int64_t>(endless.size())).Status,
            TLoginCut::lcNeedMore);
  endless.push_back('a');
  EXPECT_EQ(CutLoginFrame(endless.data(), static_cast<int64_t>(endless.size())).Status,
            TLoginCut::lcTooLong);
  endless.push_back('$');
  TLoginFrameCut cut = CutLoginFrame(endless.data(), static_cast<int64_t>(endless.size()));
  EXPECT_EQ(cut.Status, TLoginCut::lcFrame) << "a frame that arrived whole is still a frame";
  EXPECT_EQ(cut.Size, static_cast<int64_t>(endless.size()));
  EXPECT_EQ(CutLoginFrame(nullptr, 0).Status, TLoginCut::lcNeedMore);
}

}  // namespace
}  // namespace gw
