// How long a log file lives and what reaches it: the new file at local midnight and the
// clean-up then, the reopen after a rename, the level filter, and a folder that cannot be
// written. The clock is injected; nothing waits for real time to pass.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "common/AnsiCodePage.h"
#include "logging/LogTestSupport.h"
#include "logging/Logger.h"
#include "logging/LoggerThread.h"
#include "support/WaitUntil.h"

namespace gw {
namespace {

const std::string kBom = "\xFF\xFE";

TLoggerThread::TOptions Options(const std::string& folder, const TTestClock& clock,
                                bool startThread = false, uint32_t intervalMs = 3000) {
  TLoggerThread::TOptions options;
  options.Folder = folder;
  options.Clock = clock.Clock();
  options.StartThread = startThread;
  options.FlushIntervalMs = intervalMs;
  return options;
}

std::string Utf16Lines(const std::vector<std::string>& lines) {
  std::string out = kBom;
  for (const std::string& line : lines) out += AsciiUtf16(line + "\r\n");
  return out;
}

// The last line before midnight stays in the day's file even when it is written in the same
// pass as the first line after it; the new day's file is named after its first line, and the
// file that became more than a week old at midnight goes then (it was kept at start).
TEST(LogLifetime, MidnightStartsANewFileAndCleansUp) {
  TTempFolder folder;
  const std::string weekOld = folder.File("2024-05-01_10_00_00_PID7.log");
  const std::string recent = folder.File("2024-05-02_10_00_00_PID7.log");
  std::ofstream(weekOld) << "x";
  std::ofstream(recent) << "x";
  TTestClock clock({2024, 5, 8, 23, 59, 58, 0}, 1);
  TLoggerThread writer(Options(folder.Path(), clock));
  const std::shared_ptr<TLogger> logger = writer.Default();
  logger->SetUtf8Copy(true);
  const std::string first = logger->LogFile();
  ASSERT_EQ(first, folder.File("2024-05-08_23_59_58_PID1.log"));
  ASSERT_TRUE(std::filesystem::exists(weekOld));

  logger->Log("before", llMessage);
  writer.FlushAll();
  clock.Set({2024, 5, 8, 23, 59, 59, 999});
  logger->Log("late", llMessage);
  clock.Set({2024, 5, 9, 0, 0, 1, 0});
  clock.SetTick(2);
  logger->Log("after", llWarning);
  logger->Log("more", llMessage);
  writer.FlushAll();

  const std::string second = folder.File("2024-05-09_00_00_01_PID2.log");
  EXPECT_EQ(logger->LogFile(), second);
  EXPECT_EQ(ReadFileBytes(first),
            Utf16Lines({"[24-05-08 23:59:58][I] before", "[24-05-08 23:59:59][I] late"}));
  EXPECT_EQ(ReadFileBytes(second),
            Utf16Lines({"[24-05-09 00:00:01][W] after", "[24-05-09 00:00:01][I] more"}));
  EXPECT_EQ(ReadFileBytes(TLogger::Utf8CopyName(first)),
            "[24-05-08 23:59:58][I] before\n[24-05-08 23:59:59][I] late\n");
  EXPECT_EQ(ReadFileBytes(TLogger::Utf8CopyName(second)),
            "[24-05-09 00:00:01][W] after\n[24-05-09 00:00:01][I] more\n");
  EXPECT_FALSE(std::filesystem::exists(weekOld));
  EXPECT_TRUE(std::filesystem::exists(recent));

  // The next day's lines keep to their file until the day after.
  clock.Set({2024, 5, 9, 18, 0, 0, 0});
  logger->Log("evening", llMessage);
  writer.FlushAll();
  EXPECT_EQ(logger->LogFile(), second);
}

// A rename (logrotate) followed by the reopen request: the lines queued from the request on
// go to a new file at the old path, with its byte order mark, beginning with the line that
// says so; the renamed file keeps what it had. The request wakes the writer at once, without
// waiting for its interval.
TEST(LogLifetime, ReopenAfterARenameWritesANewFileAtThePath) {
#ifdef _WIN32
  // Windows refuses to rename a file the writer holds open, and it has no SIGUSR1 to ask for
  // the reopen: there the file changes at midnight only.
  GTEST_SKIP() << "a log file in use cannot be renamed on Windows";
#endif
  TTempFolder folder;
  TTestClock clock({2024, 5, 9, 8, 0, 0, 0}, 3);
  TLoggerThread writer(Options(folder.Path(), clock, true, 600'000));
  const std::string file = writer.Default()->LogFile();
  TLogger::LogInfo("one");
  writer.FlushAll();
  std::filesystem::rename(file, file + ".1");

  TLoggerThread::ReopenGlobalFiles();
  const std::string expected =
      kBom + Utf8ToUtf16Le("[24-05-09 08:00:00][I] 日志文件重新打开: " + file + "\r\n");
  EXPECT_TRUE(test_support::WaitUntil([&] { return ReadFileBytes(file) == expected; }));
  EXPECT_EQ(ReadFileBytes(file), expected);
  EXPECT_EQ(ReadFileBytes(file + ".1"), Utf16Lines({"[24-05-09 08:00:00][I] one"}));
}

// The level filter applies to the feed and the file alike; lines without a level mark are
// always kept.
TEST(LogLifetime, LevelFilterLeavesOutLessSevereLinesEverywhere) {
  const std::vector<std::pair<TLogLevel, std::string>> levels = {
      {llDebug, "D"}, {llMessage, "I"}, {llWarning, "W"},
      {llError, "E"}, {llFatal, "F"},   {static_cast<TLogLevel>(9), "raw"}};
  const struct {
    TLogLevel least;
    std::string kept;
  } cases[] = {
      {llDebug, "D I W E F raw "}, {llMessage, "I W E F raw "}, {llWarning, "W E F raw "},
      {llError, "E F raw "},       {llFatal, "F raw "},
  };
  for (const auto& c : cases) {
    TTempFolder folder;
    TTestClock clock({2024, 5, 9, 8, 0, 0, 0});
    TLogger logger(folder.Path(), "", clock.Clock());
    logger.SetLogLevel(c.least);
    logger.SetWritePrefix(false);
    std::string fed;
    logger.SetCallBack([&](const std::string& line, TLogLevel) { fed += line + " "; });
    for (const auto& [level, text] : levels) logger.Log(text, level);
    logger.FlushToFile();
    EXPECT_EQ(fed, c.kept) << int(c.least);
    std::string fileText = c.kept;
    for (size_t at; (at = fileText.find(' ')) != std::string::npos;)
      fileText.replace(at, 1, "\r\n");
    EXPECT_EQ(ReadFileBytes(logger.LogFile()), kBom + AsciiUtf16(fileText)) << int(c.least);
  }
}

// A folder that cannot be made: one line on standard error naming it and the system's
// reason, the first log line says there is no file instead of naming one, the feed goes on.
TEST(LogLifetime, UnwritableFolderIsToldAndTheFeedGoesOn) {
  TTempFolder parent;
  std::ofstream(parent.File("blocker")) << "x";
  const std::string folder = parent.File("blocker") + "/Log";
  TTestClock clock({2024, 5, 9, 8, 0, 0, 0});
  std::vector<std::string> fed;
  testing::internal::CaptureStderr();
  {
    TLoggerThread writer(Options(folder, clock));
    const std::string error = testing::internal::GetCapturedStderr();
    EXPECT_EQ(error, "gateway: cannot write the log folder " + folder +
                         "/: Not a directory; no log file is kept\n");
    EXPECT_EQ(writer.Default()->FolderError(), folder + "/: Not a directory");
    TLogger::SetLogCallBack([&](const std::string& line, TLogLevel) { fed.push_back(line); });
    TLogger::LogFileLocation();
    TLogger::LogInfo("served");
    writer.FlushAll();
    TLogger::SetLogCallBack({});
  }
  EXPECT_EQ(
      fed, (std::vector<std::string>{"[24-05-09 08:00:00][W] 日志文件夹无法写入，不保存日志文件: " +
                                         folder + "/: Not a directory",
                                     "[24-05-09 08:00:00][I] served"}));
  EXPECT_FALSE(std::filesystem::exists(folder));
}

}  // namespace
}  // namespace gw
