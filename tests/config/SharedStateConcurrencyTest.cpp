#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "config/ConfigTestSupport.h"
#include "config/GateIPManager.h"
#include "config/WordList.h"

namespace gw {
namespace {

using config_test::PutFile;

// The login server link adds to both lists on its thread while the console enumerates,
// moves, saves and reloads on its own.
TEST(SharedStateConcurrency, BlockListsStayConsistentUnderTheLinkAndTheConsole) {
  TTempFolder folder;
  TGateIPManager manager(folder.File("BlockIPList.txt"));
  PutFile(folder.File("BlockIPList.txt"), "1.1.1.1\r\n");
  constexpr int kRounds = 2000;

  std::thread link([&] {
    for (int i = 0; i < kRounds; ++i) {
      const std::string a = "10.0." + std::to_string(i % 50) + ".1";
      manager.AddTempBlockIP(a);
      manager.AddBlockIP(a);
      manager.IsBlockIP(a);
    }
  });
  for (int i = 0; i < kRounds / 10; ++i) {
    std::vector<std::string> temp;
    manager.EarchTempBlockIPs([&](int, const TSockaddr* e) { temp.push_back(e->IPaddr); });
    for (const std::string& a : temp) {
      manager.RemoveTempBlockIP(a);
      manager.AddBlockIP(a);
    }
    manager.SaveBlockIPList();
    if (i % 20 == 0) manager.LoadBlockIPFile();
    manager.RemoveTempBlockIP(uint64_t{0});
  }
  link.join();

  // Adding never duplicates an address, whoever adds it.
  std::vector<std::string> all;
  manager.EarchBlockIPs([&](int, const TSockaddr* e) { all.push_back(e->IPaddr); });
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_LE(all.size(), 51u);
}

// With saving on every change, the link's kicks and the console's removals save from two
// threads at once: the file always ends up holding the list as it stands after the last change.
TEST(SharedStateConcurrency, SavesOnChangeFromTwoThreadsLeaveTheLatestList) {
  TTempFolder folder;
  TGateIPManager manager(folder.File("BlockIPList.txt"));
  manager.SetSaveOnChange(true);
  constexpr int kRounds = 200;
  std::thread link([&] {
    for (int i = 0; i < kRounds; ++i) manager.AddBlockIP("10.1.0." + std::to_string(i % 20));
  });
  for (int i = 0; i < kRounds; ++i) {
    manager.AddBlockIP("10.2.0." + std::to_string(i % 20));
    manager.RemoveBlockIP("10.2.0." + std::to_string((i + 10) % 20));
  }
  link.join();
  std::string expected;
  manager.EarchBlockIPs([&](int, const TSockaddr* e) { expected += e->IPaddr + "\r\n"; });
  EXPECT_EQ(ReadFileBytes(folder.File("BlockIPList.txt")), expected);
  // Only the file itself is left in the folder: no temporary file of a save survives.
  size_t names = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder.File("")))
    ++names;
  EXPECT_EQ(names, 1u);
}

// Connections of one address opened and closed on several I/O threads never exceed the limit.
TEST(SharedStateConcurrency, ConnectionLimitHoldsAcrossThreads) {
  TGateIPManager manager("/nonexistent/BlockIPList.txt");
  manager.SetMaxConnections(5);
  std::atomic<int> maxSeen{0};
  std::vector<std::thread> threads;
  for (uintptr_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (uintptr_t i = 0; i < 1000; ++i) {
        const uintptr_t handle = t * 100000 + i;
        if (!manager.IsConnLimited("9.9.9.9", handle)) {
          int seen = manager.IPCount("9.9.9.9");
          int old = maxSeen.load();
          while (seen > old && !maxSeen.compare_exchange_weak(old, seen)) {
          }
          manager.RemoveCurrIP("9.9.9.9", handle);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_LE(maxSeen.load(), 5);
  EXPECT_GE(maxSeen.load(), 1);
  EXPECT_EQ(manager.IPCount("9.9.9.9"), 0);
}

TEST(SharedStateConcurrency, WordListReplacedWhileReadAndSaved) {
  TTempFolder folder;
  TWordList words;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      const std::vector<std::string> items = words.Items();
      // A replacement is seen whole or not at all.
      if (!items.empty()) {
        EXPECT_EQ(items.size(), std::stoul(items.front()));
      }
    }
  });
  for (int i = 1; i < 300; ++i) {
    words.Assign(std::vector<std::string>(static_cast<size_t>(i), std::to_string(i)));
    if (i % 30 == 0) words.SaveToFile(folder.File("WordFilter.txt"));
  }
  done = true;
  reader.join();
  words.LoadFromFile(folder.File("WordFilter.txt"));
  EXPECT_EQ(words.Items().size(), 270u);
}

// The dialog saves while a reload reads a file of another encoding: the list keeps the
// encoding of the file it was last read from, so the next save writes that file's form.
TEST(SharedStateConcurrency, SaveDuringALoadKeepsTheLoadedEncoding) {
  TTempFolder folder;
  const std::string gbkFile = folder.File("gbk.txt");
  const std::string utf16File = folder.File("utf16.txt");
  PutFile(gbkFile, "a\r\n");
  PutFile(utf16File, std::string("\xFF\xFE"
                                 "b\0\r\0\n\0",
                                 8));
  TWordList words;
  std::atomic<bool> done{false};
  std::atomic<int> saves{0};
  std::thread saver([&] {
    while (!done.load()) {
      words.SaveToFile(folder.File("saved.txt"));
      ++saves;
    }
  });
  // Ends the saver also when an assertion leaves the test early.
  struct TStopSaver {
    std::atomic<bool>& Done;
    std::thread& Saver;
    ~TStopSaver() {
      Done = true;
      Saver.join();
    }
  } stop{done, saver};
  for (int i = 0; i < 60; ++i) {
    const bool utf16 = i % 2 == 1;
    words.LoadFromFile(utf16 ? utf16File : gbkFile);
    // Wait for the save that may have been under way during the load, and one more.
    const int seen = saves.load();
    ASSERT_TRUE(config_test::WaitUntil([&] { return saves.load() >= seen + 2; }));
    ASSERT_EQ(words.Encoding(), utf16 ? teUtf16Le : teAnsi) << "load " << i;
  }
}

}  // namespace
}  // namespace gw
