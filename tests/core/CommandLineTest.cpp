// The gateway's command line: options never taken for the launch block.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace gw {
namespace {

TEST(CommandLine, TheLaunchBlockIsTheFirstArgumentThatIsNotAnOption) {
  struct TCase {
    std::vector<const char*> Args;
    bool Headless;
    std::string Block;
    size_t Unknown;
  } cases[] = {
      {{"gateway"}, false, "", 0},
      {{"gateway", "--headless"}, true, "", 0},
      {{"gateway", "--headless", "QUJD+/=="}, true, "QUJD+/==", 0},
      {{"gateway", "QUJD", "--headless", "second"}, true, "QUJD", 0},
      {{"gateway", "-profile", "-x", "QUJD"}, false, "QUJD", 1},
      {{"gateway", "", "QUJD"}, false, "QUJD", 0},
  };
  for (const TCase& tc : cases) {
    TCommandLine cl = ParseCommandLine(static_cast<int>(tc.Args.size()), tc.Args.data());
    EXPECT_EQ(cl.Headless, tc.Headless) << tc.Args.size();
    EXPECT_EQ(cl.LaunchBlock, tc.Block);
    EXPECT_EQ(cl.UnknownOptions.size(), tc.Unknown);
  }
  const char* help[] = {"gateway", "-h"};
  EXPECT_TRUE(ParseCommandLine(2, help).Help);
}

}  // namespace
}  // namespace gw
