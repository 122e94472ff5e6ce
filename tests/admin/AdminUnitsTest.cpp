// The admin listener's pure parts: the JSON reader and writer, the token file, the delay of
// refused requests and the log ring.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "admin/AdminHttpServer.h"
#include "admin/AdminLogRing.h"
#include "admin/AdminTokens.h"
#include "admin/JsonValue.h"
#include "admin/JsonWriter.h"

namespace gw {
namespace {

TEST(AdminJson, ReaderTakesValidDocumentsAndRefusesTheRest) {
  struct TCase {
    const char* Text;
    bool Valid;
  };
  const TCase cases[] = {
      {R"({"address":"1.2.3.4","list":"temporary"})", true},
      {R"( [1, -2.5e3, true, false, null, "\u00e9\ud83d\ude00"] )", true},
      {R"({"a":{"b":[{}]}})", true},
      {"", false},
      {"{", false},
      {R"({"a":1,})", false},
      {R"({"a":1}x)", false},
      {R"({"a":1,"a":2})", false},
      {R"("\ud800")", false},
      {"\"\xC3\"", false},
      {"\"a\nb\"", false},
      {"01", false},
      {"[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]", false},  // deeper than kMaxDepth
  };
  for (const TCase& c : cases) {
    std::string error;
    const auto value = TJsonValue::Parse(c.Text, error);
    EXPECT_EQ(value.has_value(), c.Valid) << c.Text << " " << error;
    if (!c.Valid) {
      EXPECT_TRUE(error.starts_with("offset ")) << error;
    }
  }
  std::string error;
  const auto value = TJsonValue::Parse(R"({"s":"\u00e9\ud83d\ude00","n":2})", error);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->Find("s")->AsString(), "é😀");
  EXPECT_EQ(value->Find("n")->AsNumber(), 2);
  EXPECT_EQ(value->Find("missing"), nullptr);
}

TEST(AdminJson, WriterEscapesMarkupControlsAndBrokenUtf8) {
  EXPECT_EQ(TJsonWriter::Quote("a\"b\\c\n<script>&\x01"),
            R"("a\"b\\c\n\u003cscript\u003e\u0026\u0001")");
  EXPECT_EQ(TJsonWriter::Quote("名\xFF"), "\"名\xEF\xBF\xBD\"");
  TJsonWriter w;
  w.BeginObject().Key("a").BeginArray().Integer(-1).Unsigned(2).Bool(true).Null().EndArray();
  w.Key("b").Number(0.5).Key("c").String("x").EndObject();
  EXPECT_EQ(w.Text(), R"({"a":[-1,2,true,null],"b":0.5,"c":"x"})");
  std::string error;
  EXPECT_TRUE(TJsonValue::Parse(w.Text(), error)) << error;
}

class AdminTokenFile : public ::testing::Test {
 protected:
  std::string Write(const std::string& text, std::filesystem::perms perms) {
    std::ofstream(FPath, std::ios::binary) << text;
    std::filesystem::permissions(FPath, perms);
    return FPath.string();
  }
  void TearDown() override { std::filesystem::remove(FPath); }
  std::filesystem::path FPath =
      std::filesystem::temp_directory_path() /
      ("admin-tokens-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
       ".txt");
};

TEST_F(AdminTokenFile, LoadsNamedTokensAndRefusesUnsafeOrMalformedFiles) {
  using std::filesystem::perms;
  const perms owner = perms::owner_read | perms::owner_write;
  struct TCase {
    std::string Text;
    perms Mode;
    std::string Error;  // empty: loads
  };
  const std::string good = "ops:0123456789abcdef\r\n# comment\n\nci:fedcba9876543210xx\n";
  const TCase cases[] = {
      {good, owner, ""},
      {good, owner | perms::group_read, "readable by its group"},
      {good, owner | perms::others_read, "readable by others"},
      {"", owner, "no name:token line"},
      {"ops\n", owner, ":1: expected name:token"},
      {"ops:short\n", owner, ":1: the token of ops must be"},
      {":0123456789abcdef\n", owner, ":1: the name must be"},
      {"a:0123456789abcdef\nb:0123456789abcdef\n", owner, ":2: the token of b repeats a's"},
  };
  for (const TCase& c : cases) {
#ifdef _WIN32
    // Windows has access lists instead of these permission bits: nothing to judge there.
    if (c.Mode != owner) continue;
#endif
    std::string error;
    const auto tokens = TAdminTokens::Load(Write(c.Text, c.Mode), error);
    if (c.Error.empty()) {
      ASSERT_TRUE(tokens) << error;
      EXPECT_EQ(tokens->Count(), 2u);
      ASSERT_NE(tokens->Match("fedcba9876543210xx"), nullptr);
      EXPECT_EQ(*tokens->Match("fedcba9876543210xx"), "ci");
      EXPECT_EQ(tokens->Match("fedcba9876543210x"), nullptr);
      EXPECT_EQ(tokens->Match(""), nullptr);
    } else {
      EXPECT_FALSE(tokens);
      EXPECT_NE(error.find(c.Error), std::string::npos) << error;
    }
  }
}

TEST(AdminAuth, RefusalDelayDoublesUpToItsBound) {
  EXPECT_EQ(TAdminHttpServer::AuthDelayMs(1), limits::kAdminAuthDelayBaseMs);
  EXPECT_EQ(TAdminHttpServer::AuthDelayMs(2), 2 * limits::kAdminAuthDelayBaseMs);
  EXPECT_EQ(TAdminHttpServer::AuthDelayMs(3), 4 * limits::kAdminAuthDelayBaseMs);
  EXPECT_EQ(TAdminHttpServer::AuthDelayMs(1000), limits::kAdminAuthDelayMaxMs);
}

TEST(AdminLogRing, KeepsTheNewestLinesAndFollowsOnFromASequenceNumber) {
  TAdminLogRing ring(3);
  EXPECT_TRUE(ring.Since(0, 10).empty());
  for (int i = 1; i <= 5; ++i) ring.Add("line " + std::to_string(i), llMessage);
  EXPECT_EQ(ring.LastSeq(), 5u);
  const auto all = ring.Since(0, 10);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all.front().Seq, 3u);
  EXPECT_EQ(all.back().Text, "line 5");
  EXPECT_EQ(ring.Since(4, 10).size(), 1u);
  EXPECT_TRUE(ring.Since(5, 10).empty());
  const auto newest = ring.Since(0, 1);
  ASSERT_EQ(newest.size(), 1u);
  EXPECT_EQ(newest[0].Seq, 5u);
}

}  // namespace
}  // namespace gw
