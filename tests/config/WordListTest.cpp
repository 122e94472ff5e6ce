#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/ConfigTestSupport.h"
#include "config/GateShare.h"
#include "config/WordList.h"

namespace gw {
namespace {

using config_test::EndsWith;
using config_test::PutFile;
using config_test::TLogCapture;

using TWords = std::vector<std::string>;

// "敏感" (sensitive) and "词" (word) in the file encodings.
const std::string kUtf8Words = "敏感\r\n词\r\n";
const std::string kGbkWords = "\xC3\xF4\xB8\xD0\r\n\xB4\xCA\r\n";
const std::string kUtf16LeWords("\xFF\xFE\x4F\x65\x1F\x61\r\0\n\0\xCD\x8B\r\0\n\0", 16);
const std::string kUtf16BeWords("\xFE\xFF\x65\x4F\x61\x1F\0\r\0\n\x8B\xCD\0\r\0\n", 16);

struct TEncodingCase {
  const char* Name;
  std::string Bytes;
  TTextEncoding Encoding;
};

class WordListEncoding : public testing::TestWithParam<TEncodingCase> {};

TEST_P(WordListEncoding, IsReadAndWrittenBackTheSameWay) {
  TTempFolder folder;
  const std::string in = folder.File("in.txt");
  const std::string out = folder.File("out.txt");
  PutFile(in, GetParam().Bytes);
  TWordList words;
  words.LoadFromFile(in);
  EXPECT_EQ(words.Items(), (TWords{"敏感", "词"}));
  EXPECT_EQ(words.Encoding(), GetParam().Encoding);
  words.SaveToFile(out);
  EXPECT_EQ(ReadFileBytes(out), GetParam().Bytes);

  // A list replaced by the dialog keeps the encoding of its file.
  words.Assign({"新词"});
  words.SaveToFile(out);
  TWordList back;
  back.LoadFromFile(out);
  EXPECT_EQ(back.Items(), TWords{"新词"});
  EXPECT_EQ(back.Encoding(), GetParam().Encoding);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WordListEncoding,
    testing::Values(TEncodingCase{"Gbk", kGbkWords, teAnsi},
                    TEncodingCase{"Utf8Mark", "\xEF\xBB\xBF" + kUtf8Words, teUtf8},
                    // The normal text file on Linux: valid UTF-8 with Chinese text, no mark.
                    TEncodingCase{"Utf8NoMark", kUtf8Words, teUtf8Plain},
                    TEncodingCase{"Utf16LeMark", kUtf16LeWords, teUtf16Le},
                    TEncodingCase{"Utf16BeMark", kUtf16BeWords, teUtf16Be}),
    [](const testing::TestParamInfo<TEncodingCase>& i) { return i.param.Name; });

// Without a mark: UTF-8 only when the bytes are well-formed UTF-8 holding non-ASCII text.
TEST(WordList, FileWithoutMarkIsUtf8OnlyWhenItIsValidNonAsciiUtf8) {
  const struct {
    const char* Name;
    std::string Bytes;
    bool Utf8;
  } cases[] = {
      {"chinese", "敏感词", true},
      {"ascii only", "plain words", false},
      {"gbk", kGbkWords, false},
      {"cut sequence", "\xE6\x95", false},
      {"overlong", "\xC0\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", false},
      {"four bytes", "\xF0\x9F\x98\x80", true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsNonAsciiUtf8(c.Bytes), c.Utf8) << c.Name;
}

TEST(WordList, LinesAreKeptWholeAndTheLastOneNeedsNoLineEnd) {
  TTempFolder folder;
  const std::string file = folder.File("WordFilter.txt");
  PutFile(file, "  spaced  \r\n\r\nlf\nc r\r\t\ttab\r\nlast");
  TWordList words;
  words.LoadFromFile(file);
  EXPECT_EQ(words.Items(), (TWords{"  spaced  ", "", "lf", "c r", "\t\ttab", "last"}));
  words.SaveToFile(file);
  EXPECT_EQ(ReadFileBytes(file), "  spaced  \r\n\r\nlf\r\nc r\r\n\t\ttab\r\nlast\r\n");
}

struct TSaveCase {
  const char* Name;
  TWords Words;
  std::string Bytes;
  TTextEncoding Encoding;
};

class NeverLoadedWordList : public testing::TestWithParam<TSaveCase> {};

// GBK without a mark, unless that would turn characters into '?': then UTF-8 with its mark.
TEST_P(NeverLoadedWordList, IsSavedInGbkWhenGbkHoldsIt) {
  TTempFolder folder;
  const std::string file = folder.File("WordFilter.txt");
  TWordList words;
  words.Assign(GetParam().Words);
  words.SaveToFile(file);
  EXPECT_EQ(ReadFileBytes(file), GetParam().Bytes);
  EXPECT_EQ(words.Encoding(), GetParam().Encoding);
  TWordList back;
  back.LoadFromFile(file);
  EXPECT_EQ(back.Items(), GetParam().Words);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, NeverLoadedWordList,
    testing::Values(TSaveCase{"Chinese", {"敏感", "词"}, kGbkWords, teAnsi},
                    TSaveCase{"Empty", {}, "", teAnsi},
                    TSaveCase{
                        "BeyondGbk", {"词", "😀", "Ω≈"}, "\xEF\xBB\xBF词\r\n😀\r\nΩ≈\r\n", teUtf8}),
    [](const testing::TestParamInfo<TSaveCase>& i) { return i.param.Name; });

TEST(WordList, UnreadableFileFailsTheLoadAndKeepsTheList) {
  TTempFolder folder;
  const std::string file = folder.File("WordFilter.txt");
  std::filesystem::create_directory(file);
  TWordList words;
  words.Assign({"kept"});
  EXPECT_THROW(words.LoadFromFile(file), ESettingsFileError);
  EXPECT_EQ(words.Items(), TWords{"kept"});
  EXPECT_THROW(words.SaveToFile(file), ESettingsFileError);
}

// The information lines of the loader, in order, with the file present or not.
TEST(LoadWordFilterFile, WritesBothInformationLinesAndKeepsTheListWithoutFile) {
  TLogCapture log;
  TTempFolder folder;
  const std::string file = folder.File("WordFilter.txt");
  TWordList words;
  words.Assign({"kept"});
  LoadWordFilterFile(words, file);
  EXPECT_EQ(words.Items(), TWords{"kept"});

  PutFile(file, "a\r\nb\r\n");
  LoadWordFilterFile(words, file);
  EXPECT_EQ(words.Items(), (TWords{"a", "b"}));

  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 4u);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].Level, llMessage);
    EXPECT_TRUE(EndsWith(lines[i].Text, i % 2 == 0 ? "[I] 正在加载文字过滤配置信息..."
                                                   : "[I] 文字过滤信息加载完成..."))
        << lines[i].Text;
  }
}

TEST(LoadWordFilterFile, UnreadableFileReachesTheCaller) {
  TLogCapture log;
  TTempFolder folder;
  const std::string file = folder.File("WordFilter.txt");
  std::filesystem::create_directory(file);
  TWordList words;
  words.Assign({"kept"});
  EXPECT_THROW(LoadWordFilterFile(words, file), ESettingsFileError);
  EXPECT_EQ(words.Items(), TWords{"kept"});
}

TEST(LoadWordFilterFile, ProcessWideListReadsTheGivenFile) {
  TTempFolder folder;
  const std::string file = folder.File("WordFilter.txt");
  PutFile(file, "x\r\n");
  LoadWordFilterFile(file);  // without a log writer the information lines are dropped
  EXPECT_EQ(WordList().Items(), TWords{"x"});
}

}  // namespace
}  // namespace gw
