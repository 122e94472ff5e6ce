// Client text in log lines: escaped and capped.
#include <gtest/gtest.h>

#include <string>

#include "common/LogText.h"
#include "common/PeerLimits.h"

namespace gw {
namespace {

TEST(LogText, ControlsInvalidBytesAndTerminalTricksAreEscaped) {
  const struct {
    const char* Name;
    std::string In;
    std::string Out;
  } cases[] = {
      {"plain", "abc-123 {x}", "abc-123 {x}"},
      {"Chinese stays", "账号", "账号"},
      {"escape sequence", "\x1b[2J", "\\x1B[2J"},
      {"forged line", "x\r\n[26-12-11 00:00:00][I] 服务已启动成功...",
       "x\\x0D\\x0A[26-12-11 00:00:00][I] 服务已启动成功..."},
      {"NUL, TAB, DEL", std::string("a\0b\tc\x7f", 6), "a\\x00b\\x09c\\x7F"},
      {"C1 control (CSI)",
       "\xC2\x9B"
       "2J",
       "\\xC2\\x9B2J"},
      {"line separator",
       "a\xE2\x80\xA8"
       "b",
       "a\\xE2\\x80\\xA8b"},
      {"bidi override",
       "\xE2\x80\xAE"
       "abc",
       "\\xE2\\x80\\xAEabc"},
      {"invalid byte",
       "a\xFF"
       "b",
       "a\\xFFb"},
      {"truncated sequence", "a\xE8\xB4", "a\\xE8\\xB4"},
      {"overlong form", "\xC0\xAF", "\\xC0\\xAF"},
      {"surrogate", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
  };
  for (const auto& c : cases) EXPECT_EQ(LogText(c.In), c.Out) << c.Name;
}

TEST(LogText, LongTextIsCutAtACharacterWithItsLength) {
  const uint64_t before = LimitBreaches(TLimitBreach::lbLoggedTextCut);
  EXPECT_EQ(LogText(std::string(limits::kMaxLoggedClientText, 'a')),
            std::string(limits::kMaxLoggedClientText, 'a'));
  EXPECT_EQ(LogText(std::string(300, 'a')), std::string(256, 'a') + "…(300 bytes)");
  // "账" is 3 bytes: 2 fit in 7 bytes and the third is not split.
  EXPECT_EQ(LogText("账账账", 7), "账账…(9 bytes)");
  EXPECT_EQ(LimitBreaches(TLimitBreach::lbLoggedTextCut), before + 2);
}

}  // namespace
}  // namespace gw
