#include "logging/LoggerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "common/AnsiCodePage.h"
#include "common/Platform.h"
#include "logging/LogTestSupport.h"

namespace gw {
namespace {

const TLogTime kMay9 = {2024, 5, 9, 8, 0, 0, 0};

// The lines of a log file holding ASCII text.
std::vector<std::string> ReadAsciiLines(const std::string& path) {
  const std::string bytes = ReadFileBytes(path);
  EXPECT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    EXPECT_EQ(bytes[i + 1], '\0');
    text.push_back(bytes[i]);
  }
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text after the last CR LF";
  return lines;
}

TLoggerThread::TOptions Options(const TTempFolder& folder, const TTestClock& clock,
                                bool startThread, uint32_t intervalMs = 3000) {
  TLoggerThread::TOptions options;
  options.Folder = folder.Path();
  options.Clock = clock.Clock();
  options.FlushIntervalMs = intervalMs;
  options.StartThread = startThread;
  return options;
}

TEST(LoggerThread, ClassOperationsFeedAndReachTheFileAtTheFinalFlush) {
  TTempFolder folder;
  TTestClock clock(kMay9, 1);
  std::vector<std::pair<std::string, int>> fed;
  std::string file;
  {
    TLoggerThread writer(Options(folder, clock, false));
    ASSERT_EQ(TLoggerThread::Global(), &writer);
    file = writer.Default()->LogFile();
    TLogger::SetLogCallBack(
        [&](const std::string& msg, TLogLevel level) { fed.emplace_back(msg, level); });
    TLogger::LogInfo("info");
    TLogger::LogError("error");
    TLogger::LogWarning("warning");
    TLogger::LogDebug("debug");
    TLogger::AddLog("fatal", llFatal);
    EXPECT_FALSE(std::filesystem::exists(file));
  }
  EXPECT_EQ(TLoggerThread::Global(), nullptr);
  const std::vector<std::pair<std::string, int>> expected = {
      {"[24-05-09 08:00:00][I] info", llMessage},
      {"[24-05-09 08:00:00][E]error", llError},
      {"[24-05-09 08:00:00][W] warning", llWarning},
      {"[24-05-09 08:00:00][D] debug", llDebug},
      {"[24-05-09 08:00:00][F] fatal", llFatal}};
  EXPECT_EQ(fed, expected);
  std::vector<std::string> lines;
  for (const auto& f : expected) lines.push_back(f.first);
  EXPECT_EQ(ReadAsciiLines(file), lines);

  // With the writer gone the class operations drop the line, feed included.
  TLogger::LogInfo("after");
  EXPECT_EQ(fed.size(), expected.size());
}

// With the UTF-8 copy on, the same lines (LF ends, no mark) go to "<name>.utf8.log" beside the
// UTF-16LE file, which stays as it was; the first line names both files.
TEST(LoggerThread, Utf8CopyHoldsTheSameLines) {
  TTempFolder folder;
  TTestClock clock(kMay9, 1);
  std::string file;
  {
    TLoggerThread writer(Options(folder, clock, false));
    file = writer.Default()->LogFile();
    TLogger::SetDefaultUtf8Copy(true);
    TLogger::LogFileLocation();
    TLogger::LogError("保存失败");
    TLogger::LogInfo("ok");
  }
  const std::string copy = TLogger::Utf8CopyName(file);
  ASSERT_TRUE(copy.ends_with(".utf8.log"));
  EXPECT_EQ(copy.substr(0, copy.size() - 9), file.substr(0, file.size() - 4));
  EXPECT_EQ(ReadFileBytes(copy), "[24-05-09 08:00:00][I] 日志文件: " + file +
                                     " (UTF-8副本: " + copy +
                                     ")\n[24-05-09 08:00:00][E]保存失败\n"
                                     "[24-05-09 08:00:00][I] ok\n");
  const std::string utf16 = ReadFileBytes(file);
  ASSERT_TRUE(utf16.starts_with("\xFF\xFE"));
  EXPECT_NE(utf16.find(Utf8ToUtf16Le("[E]保存失败\r\n")), std::string::npos);
}

// Without it there is no copy.
TEST(LoggerThread, NoUtf8CopyUnlessAsked) {
  TTempFolder folder;
  TTestClock clock(kMay9, 1);
  std::string file;
  {
    TLoggerThread writer(Options(folder, clock, false));
    file = writer.Default()->LogFile();
    TLogger::LogInfo("ok");
  }
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_FALSE(std::filesystem::exists(TLogger::Utf8CopyName(file)));
}

TEST(LoggerThread, OnlyTheFirstWriterIsGlobal) {
  TTempFolder a, b;
  TTestClock clock(kMay9);
  TLoggerThread first(Options(a, clock, false));
  {
    TLoggerThread second(Options(b, clock, false));
    EXPECT_EQ(TLoggerThread::Global(), &first);
  }
  EXPECT_EQ(TLoggerThread::Global(), &first);
  EXPECT_EQ(TLoggerThread::GlobalDefault(), first.Default());
}

TEST(LoggerThread, DefaultFolderIsLogBesideTheProgram) {
  TLoggerThread::TOptions options;
  options.StartThread = false;
  TLoggerThread writer(options);
  EXPECT_EQ(writer.Default()->Path(), ProgramFolder() + "/Log/");
  EXPECT_TRUE(std::filesystem::is_directory(ProgramFolder() + "/Log"));
}

TEST(LoggerThread, StartUpDeletesOldLogs) {
  TTempFolder folder;
  std::ofstream(folder.File("2024-05-01_00_00_00_PID5.log")) << "old";
  std::ofstream(folder.File("2024-05-02_00_00_00_PID5.log")) << "recent";
  TTestClock clock({2024, 5, 9, 12, 0, 0, 0});
  TLoggerThread writer(Options(folder, clock, false));
  EXPECT_FALSE(std::filesystem::exists(folder.File("2024-05-01_00_00_00_PID5.log")));
  EXPECT_TRUE(std::filesystem::exists(folder.File("2024-05-02_00_00_00_PID5.log")));
}

// The shutdown wakes the waiting writer at once (no three-second wait) and its
// last pass writes what was logged just before.
TEST(LoggerThread, ShutdownFlushesLinesLoggedJustBefore) {
  TTempFolder folder;
  TTestClock clock(kMay9, 2);
  std::string file;
  {
    TLoggerThread writer(Options(folder, clock, true));
    file = writer.Default()->LogFile();
    TLogger::LogInfo("last words");
  }
  EXPECT_EQ(ReadAsciiLines(file), std::vector<std::string>{"[24-05-09 08:00:00][I] last words"});
}

// The writer writes on its own while the program runs, not only at shutdown: each line reaches
// the file within the flush interval, the later one behind the earlier in the same file.
TEST(LoggerThread, WriterFlushesPeriodicallyWhileRunning) {
  TTempFolder folder;
  TTestClock clock(kMay9, 4);
  TLoggerThread writer(Options(folder, clock, true, 20));
  const std::string file = writer.Default()->LogFile();
  const auto waitForBytes = [&](const std::string& expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ReadFileBytes(file) != expected && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ReadFileBytes(file);
  };
  const std::string first = "\xFF\xFE" + AsciiUtf16("[24-05-09 08:00:00][I] first\r\n");
  TLogger::LogInfo("first");
  EXPECT_EQ(waitForBytes(first), first);
  const std::string both = first + AsciiUtf16("[24-05-09 08:00:00][W] second\r\n");
  TLogger::LogWarning("second");
  EXPECT_EQ(waitForBytes(both), both);
}

// Many threads log while the writer flushes: every line reaches the file once,
// each thread's lines in order, and the feed saw every line.
TEST(LoggerThread, ConcurrentLoggingWhileTheWriterFlushes) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 1500;
  TTempFolder folder;
  TTestClock clock(kMay9, 3);
  std::atomic<int> fed{0};
  std::string file;
  {
    TLoggerThread writer(Options(folder, clock, true, 1));
    file = writer.Default()->LogFile();
    TLogger::SetLogCallBack([&](const std::string&, TLogLevel) { fed.fetch_add(1); });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kPerThread; ++i) {
          TLogger::AddLog(std::to_string(t) + ":" + std::to_string(i), llDebug);
        }
      });
    }
    // Flushes from another thread as well; the writer's list lock serializes them.
    std::thread extraFlusher([&writer] {
      for (int i = 0; i < 50; ++i) writer.FlushAll();
    });
    for (std::thread& t : threads) t.join();
    extraFlusher.join();
  }
  EXPECT_EQ(fed.load(), kThreads * kPerThread);
  const std::string prefix = "[24-05-09 08:00:00][D] ";
  int next[kThreads] = {};
  size_t count = 0;
  for (const std::string& line : ReadAsciiLines(file)) {
    ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
    const std::string body = line.substr(prefix.size());
    const int t = std::stoi(body.substr(0, body.find(':')));
    ASSERT_TRUE(t >= 0 && t < kThreads);
    ASSERT_EQ(body, std::to_string(t) + ":" + std::to_string(next[t]));
    ++next[t];
    ++count;
  }
  EXPECT_EQ(count, static_cast<size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace gw
