// The drain's and the take-over's options: what the command line takes, and how a drain's
// length splits into the relay phase and the close frames' grace.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "core/ServiceDrain.h"

namespace gw {
namespace {

TEST(DrainOptions, CommandLineTakesWholeSecondsUpToADay) {
  struct TCase {
    std::vector<const char*> Args;
    std::optional<uint32_t> Seconds, Notice;  // none: not given, or refused
    bool TakeOver;
    bool Error;
  } cases[] = {
      {{"gateway"}, std::nullopt, std::nullopt, false, false},
      {{"gateway", "--drain-seconds", "600", "--drain-notice-seconds=30"}, 600u, 30u, false, false},
      {{"gateway", "--drain-seconds=0", "--take-over"}, 0u, std::nullopt, true, false},
      {{"gateway", "--drain-seconds", "86400"}, 86400u, std::nullopt, false, false},
      {{"gateway", "--drain-seconds", "86401"}, std::nullopt, std::nullopt, false, true},
      {{"gateway", "--drain-seconds", "-1"}, std::nullopt, std::nullopt, false, true},
      {{"gateway", "--drain-notice-seconds", "10s"}, std::nullopt, std::nullopt, false, true},
      {{"gateway", "--drain-seconds"}, std::nullopt, std::nullopt, false, true},
  };
  for (const TCase& tc : cases) {
    TCommandLine cl = ParseCommandLine(static_cast<int>(tc.Args.size()), tc.Args.data());
    const std::string name = tc.Args.size() > 1 ? tc.Args[1] : "(none)";
    EXPECT_EQ(cl.DrainSeconds, tc.Seconds) << name;
    EXPECT_EQ(cl.DrainNoticeSeconds, tc.Notice) << name;
    EXPECT_EQ(cl.TakeOver, tc.TakeOver) << name;
    EXPECT_EQ(!cl.Error.empty(), tc.Error) << name;
    EXPECT_TRUE(cl.LaunchBlock.empty()) << name;  // a value is never the launch block
  }
}

TEST(DrainOptions, TheLastTwoSecondsAreTheCloseFramesGrace) {
  struct TCase {
    uint32_t Seconds, RelayMs, GraceMs;
  } cases[] = {
      {0, 0, 0}, {1, 0, 1000}, {2, 0, 2000}, {3, 1000, 2000}, {86400, 86398000, 2000},
  };
  for (const TCase& tc : cases) {
    TDrainOptions options;
    options.Seconds = tc.Seconds;
    EXPECT_EQ(options.RelayMs(), tc.RelayMs) << tc.Seconds;
    EXPECT_EQ(options.CloseGraceMs(), tc.GraceMs) << tc.Seconds;
  }
}

}  // namespace
}  // namespace gw
