#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "common/AnsiCodePage.h"
#include "common/Platform.h"
#include "support/WaitUntil.h"

namespace gw {
namespace {

TEST(Platform, GuidIsUpperCaseBracedVersion4AndUnique) {
  std::set<std::string> seen;
  const std::regex shape(
      "\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
  for (int i = 0; i < 100; ++i) {
    std::string g = CreateGuidText();
    EXPECT_TRUE(std::regex_match(g, shape)) << g;
    seen.insert(g);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(Platform, TicksAdvanceAndDifferenceSurvivesWrap) {
  // The counter moves in steps of the system timer: a millisecond on Linux, 10 to 16 on
  // Windows, so a short sleep may not show yet.
  const uint32_t a = GetTickCount32();
  SleepMs(2);
  EXPECT_TRUE(test_support::WaitUntil([&] { return TicksSince(GetTickCount32(), a) >= 2u; }));
  EXPECT_EQ(TicksSince(5u, 0xFFFFFFFBu), 10u);
}

TEST(Platform, ProgramFolderHoldsTheExecutable) {
  EXPECT_FALSE(ProgramFolder().empty());
  EXPECT_EQ(ProgramName(), "common_platform_test");
}

TEST(AnsiCodePage, ChineseRoundTripsThroughGbk) {
  const std::string text = "启动服务 ok";
  std::string gbk = Utf8ToAnsi(text);
  EXPECT_EQ(gbk, std::string("\xC6\xF4\xB6\xAF\xB7\xFE\xCE\xF1 ok"));
  EXPECT_EQ(AnsiToUtf8(gbk), text);
}

TEST(AnsiCodePage, BadInputIsReplacedNotTruncated) {
  EXPECT_EQ(AnsiToUtf8(std::string("a\xFF"
                                   "b")),
            "a\xEF\xBF\xBD"
            "b");
  // Code page 936 holds the euro sign as 0x80; an emoji is one '?', a stray byte another.
  EXPECT_EQ(Utf8ToAnsi("x\xE2\x82\xACy\xF0\x9F\x98\x80z\xC0"), "x\x80y?z?");
}

// Every malformed unit becomes one replacement and the rest goes on, the same on every system
// (the conversions are iconv's on Linux, hand-made and the system's code page 936 on Windows).
TEST(AnsiCodePage, MalformedUnitsAreReplacedOneByOne) {
  using TConvert = std::string (*)(std::string_view);
  struct TCase {
    const char* Name;
    TConvert Convert;
    std::string In;
    std::string Out;
  };
  const std::string replacement = "\xEF\xBF\xBD";
  const std::vector<TCase> cases = {
      {"GBK lead byte at the end", AnsiToUtf8, "a\x81", "a" + replacement},
      {"GBK lead byte before a byte that cannot follow it", AnsiToUtf8, "\x81\x30z",
       replacement + "0z"},
      {"GBK euro sign", AnsiToUtf8, "\x80", "\xE2\x82\xAC"},
      {"UTF-8 cut short", Utf8ToAnsi, "a\xE4\xB8", "a??"},
      {"UTF-8 overlong zero", Utf8ToAnsi, "\xC0\x80z", "??z"},
      {"UTF-8 encoded surrogate", Utf8ToAnsi, "\xED\xA0\x80z", "?z"},
      {"UTF-16 high surrogate at the end", Utf16LeToUtf8, std::string("A\0\x00\xD8", 4),
       "A" + replacement},
      {"UTF-16 high surrogate without its partner", Utf16LeToUtf8,
       std::string("\x00\xD8"
                   "B\0",
                   4),
       replacement + "B"},
      {"UTF-16 odd byte at the end", Utf16LeToUtf8, std::string("A\0B", 3), "A" + replacement},
      {"UTF-16 pair", Utf16LeToUtf8, std::string("\x3D\xD8\x00\xDE", 4), "\xF0\x9F\x98\x80"},
      {"to UTF-16: beyond the 16-bit plane", Utf8ToUtf16Le, "\xF0\x9F\x98\x80",
       std::string("\x3D\xD8\x00\xDE", 4)},
      {"to UTF-16: stray byte", Utf8ToUtf16Le, "\xFFz", std::string("\xFD\xFFz\0", 4)},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(c.Convert(c.In), c.Out) << c.Name;
  }
}

TEST(AnsiCodePage, Utf16RoundTrip) {
  std::string u16 = Utf8ToUtf16Le("A启");
  EXPECT_EQ(u16, std::string("A\0\x2F\x54", 4));
  EXPECT_EQ(Utf16LeToUtf8(u16), "A启");
}

TEST(AnsiCodePage, ThreadsConvertAtOnce) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (AnsiToUtf8(Utf8ToAnsi("启动服务" + std::to_string(i))) !=
            "启动服务" + std::to_string(i)) {
          ++wrong;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace gw
