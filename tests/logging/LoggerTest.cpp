#include "logging/Logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "logging/LogFile.h"
#include "logging/LogTestSupport.h"
#include "logging/LoggerThread.h"

namespace gw {
namespace {

const TLogTime kMay1 = {2024, 5, 1, 13, 45, 9, 0};
const std::string kBom = "\xFF\xFE";

TEST(LogFormat, PrefixAndMarks) {
  const struct {
    std::string text;
    int level;
    bool prefix;
    std::string line;
  } cases[] = {
      {"hello", llMessage, true, "[24-05-01 13:45:09][I] hello"},
      {"hello", llFatal, true, "[24-05-01 13:45:09][F] hello"},
      {"hello", llError, true, "[24-05-01 13:45:09][E]hello"},
      {"hello", llWarning, true, "[24-05-01 13:45:09][W] hello"},
      {"hello", llDebug, true, "[24-05-01 13:45:09][D] hello"},
      {"hello", 5, true, "hello"},
      {"hello", 255, true, "hello"},
      {"", llMessage, true, "[24-05-01 13:45:09][I] "},
      {"", llError, true, "[24-05-01 13:45:09][E]"},
      {"hello", llError, false, "hello"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatLogLine(kMay1, c.text, static_cast<TLogLevel>(c.level), c.prefix), c.line);
  }
  EXPECT_EQ(FormatLogLine({2009, 12, 31, 0, 0, 0, 0}, "x", llMessage), "[09-12-31 00:00:00][I] x");
  EXPECT_EQ(FormatLogFileStamp({2024, 5, 1, 3, 4, 5, 0}), "2024-05-01_03_04_05");
}

TEST(Logger, FeedGetsTheLineAtOnceTheFileOnlyAtFlush) {
  TTempFolder folder;
  TTestClock clock(kMay1, 12345);
  TLogger logger(folder.Path(), "", clock.Clock());
  EXPECT_EQ(logger.LogFile(), folder.File("2024-05-01_13_45_09_PID12345.log"));

  std::vector<std::pair<std::string, int>> fed;
  logger.SetCallBack(
      [&](const std::string& msg, TLogLevel level) { fed.emplace_back(msg, level); });
  logger.Log("hello", llMessage);
  logger.Log("", llError);
  logger.Log("raw", static_cast<TLogLevel>(9));
  logger.SetWritePrefix(false);
  logger.Log("plain", llWarning);
  const std::vector<std::pair<std::string, int>> expected = {
      {"[24-05-01 13:45:09][I] hello", llMessage},
      {"[24-05-01 13:45:09][E]", llError},
      {"raw", 9},
      {"plain", llWarning}};
  EXPECT_EQ(fed, expected);

  // Logging never touches the disk.
  EXPECT_FALSE(std::filesystem::exists(logger.LogFile()));
  logger.FlushToFile();
  EXPECT_EQ(ReadFileBytes(logger.LogFile()),
            kBom + AsciiUtf16("[24-05-01 13:45:09][I] hello\r\n[24-05-01 13:45:09][E]\r\n"
                              "raw\r\nplain\r\n"));

  // A failing feed does not stop the line.
  logger.SetCallBack([](const std::string&, TLogLevel) { throw std::runtime_error("view gone"); });
  logger.Log("still", llMessage);
  logger.SetCallBack(nullptr);
  logger.Log("no feed", llMessage);
  logger.FlushToFile();
  EXPECT_EQ(ReadFileBytes(logger.LogFile()),
            kBom + AsciiUtf16("[24-05-01 13:45:09][I] hello\r\n[24-05-01 13:45:09][E]\r\n"
                              "raw\r\nplain\r\nstill\r\nno feed\r\n"));
}

TEST(Logger, FileIsUtf16LeWithOneByteOrderMarkAcrossReopens) {
  TTempFolder folder;
  TTestClock clock(kMay1, 7);
  std::string file;
  {
    TLogger logger(folder.Path() + "/", "", clock.Clock());
    file = logger.LogFile();
    logger.Log("启动", llMessage);
    logger.FlushToFile();
    logger.FlushToFile();  // nothing queued: nothing written
  }
  // A logger that finds a file of the same name appends to it.
  {
    TLogger logger(folder.Path(), "", clock.Clock());
    ASSERT_EQ(logger.LogFile(), file);
    logger.Log("again", llDebug);
    logger.FlushToFile();
  }
  const std::string chinese = "\x2F\x54\xA8\x52";  // U+542F U+52A8
  EXPECT_EQ(ReadFileBytes(file), kBom + AsciiUtf16("[24-05-01 13:45:09][I] ") + chinese +
                                     AsciiUtf16("\r\n[24-05-01 13:45:09][D] again\r\n"));
}

TEST(Logger, PrefixGoesInFrontOfTheFileName) {
  TTempFolder folder;
  TTestClock clock(kMay1, 4294967295u);
  TLogger logger(folder.Path(), "LoginGate_", clock.Clock());
  EXPECT_EQ(logger.LogFile(), folder.File("LoginGate_2024-05-01_13_45_09_PID4294967295.log"));
}

// Another instance's writer holds the file: the logger moves to a fresh name and the line
// goes there, byte order mark first.
TEST(Logger, OpenFailureSwitchesToAFreshFile) {
  TTempFolder folder;
  TTestClock clock(kMay1, 100);
  TLogger logger(folder.Path(), "", clock.Clock());
  const std::string first = logger.LogFile();
  CreateWithByteOrderMark(first);
  const int holder = OpenForAppendExclusive(first);
  ASSERT_GE(holder, 0);

  clock.Set({2024, 5, 1, 13, 46, 0, 0});
  clock.SetTick(200);
  logger.Log("moved", llWarning);
  logger.FlushToFile();
  CloseLogFile(holder);

  EXPECT_EQ(logger.LogFile(), folder.File("2024-05-01_13_46_00_PID200.log"));
  EXPECT_EQ(ReadFileBytes(logger.LogFile()), kBom + AsciiUtf16("[24-05-01 13:46:00][W] moved\r\n"));
  EXPECT_EQ(ReadFileBytes(first), kBom);
}

TEST(Logger, UncreatableFolderDropsFileLinesButFeeds) {
  TTempFolder folder;
  std::ofstream(folder.File("blocker")) << "x";
  TTestClock clock(kMay1);
  TLogger logger(folder.File("blocker") + "/sub", "", clock.Clock());
  int fed = 0;
  logger.SetCallBack([&](const std::string&, TLogLevel) { ++fed; });
  logger.Log("lost", llMessage);
  logger.FlushToFile();
  EXPECT_EQ(fed, 1);
  EXPECT_FALSE(std::filesystem::exists(logger.LogFile()));
}

TEST(LoggerCleanup, DeletesDatedLogsMoreThanSevenWholeDaysAway) {
  const std::vector<std::string> dated = {"2024-05-01_13_45_09_PID1.log", "2024-05-01_x.LOG",
                                          "2024-04-30_a.log", "2024-05-16_future.log",
                                          "2024-05-18_future.log"};
  const std::vector<std::string> alwaysKept = {
      "notadate.log",       "2024-05-01.txt", "2024-13-01_bad.log",  "2023-02-29_bad.log",
      "24-05-01_short.log", "2024-05-0.log",  "1899-12-30_zero.log", "1899-01-01_neg.log"};
  const struct {
    TLogTime now;
    std::vector<std::string> kept;  // of `dated`
  } cases[] = {
      {{2024, 5, 8, 23, 59, 0, 0},
       {"2024-05-01_13_45_09_PID1.log", "2024-05-01_x.LOG", "2024-05-16_future.log"}},
      {{2024, 5, 9, 0, 0, 0, 0}, {"2024-05-16_future.log"}},
  };
  for (const auto& c : cases) {
    TTempFolder folder;
    for (const auto& name : dated) std::ofstream(folder.File(name)) << "x";
    for (const auto& name : alwaysKept) std::ofstream(folder.File(name)) << "x";
    std::filesystem::create_directory(folder.File("2020-01-01_dir.log"));
    std::filesystem::create_directory(folder.File("sub"));
    std::ofstream(folder.File("sub/2020-01-01_nested.log")) << "x";

    TLoggerThread::DeleteOldLogs(folder.Path(), c.now);

    for (const auto& name : dated) {
      const bool shouldStay = std::find(c.kept.begin(), c.kept.end(), name) != c.kept.end();
      EXPECT_EQ(std::filesystem::exists(folder.File(name)), shouldStay) << name;
    }
    for (const auto& name : alwaysKept) EXPECT_TRUE(std::filesystem::exists(folder.File(name)));
    EXPECT_TRUE(std::filesystem::exists(folder.File("2020-01-01_dir.log")));
    EXPECT_TRUE(std::filesystem::exists(folder.File("sub/2020-01-01_nested.log")));
  }
  TLoggerThread::DeleteOldLogs("/nonexistent/gw/log/folder", {2024, 5, 9, 0, 0, 0, 0});
}

}  // namespace
}  // namespace gw
