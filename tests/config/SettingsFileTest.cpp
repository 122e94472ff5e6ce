// The operator's files are replaced whole or not at all: the bytes of GateWay.xml,
// BlockIPList.txt and WordFilter.txt after a save, a save that fails half-way (a file size limit
// stands in for a full disk) keeping the old file and reporting it, and files too large to read
// refused with an error naming them.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/ConfigTestSupport.h"
#include "config/GateIPManager.h"
#include "config/GateShare.h"
#include "config/GateWayConfigure.h"
#include "config/TextFile.h"
#include "config/WordList.h"

namespace gw {
namespace {

using config_test::PutFile;
using config_test::TLogCapture;

// The names in a folder, so a test sees that no temporary file was left behind.
std::vector<std::string> Names(const TTempFolder& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder.File("")))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// While it lives, no regular file may grow beyond `bytes`: a write past it fails with EFBIG
// as on a full disk (the signal such a write raises is ignored meanwhile).
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &FOld);
    FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = FOld;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &FOld);
    std::signal(SIGXFSZ, FOldHandler);
  }

 private:
  rlimit FOld{};
  void (*FOldHandler)(int) = nullptr;
};

TEST(SettingsFile, SaveReplacesTheWholeFileAndKeepsItsMode) {
  TTempFolder folder;
  const std::string file = folder.File("GateWay.xml");
  PutFile(file, std::string(5000, 'x'));  // longer than the new content
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  TGateWayConfigure config;
  config.GatePort = "7300";
  config.SaveToXMLFile(file);
  const std::string bytes = ReadFileBytes(file);
  EXPECT_EQ(bytes, config.SaveToText());
  EXPECT_TRUE(bytes.starts_with("<TGateWayConfigure>\r\n\t<Title>"));
  EXPECT_NE(bytes.find("\t<GatePort>7300</GatePort>\r\n"), std::string::npos);
  EXPECT_TRUE(bytes.ends_with("</TGateWayConfigure>\r\n"));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(Names(folder), std::vector<std::string>{"GateWay.xml"});

  // A new file gets the usual mode.
  const std::string fresh = folder.File("new.xml");
  config.SaveToXMLFile(fresh);
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// Each of the three files, saved while the disk "fills up" after 64 bytes: the save reports the
// failure, the old file keeps every byte, no partial or temporary file is left.
TEST(SettingsFile, FailedSaveKeepsTheOldFileOfEachKind) {
  TLogCapture log;
  TTempFolder folder;
  const std::string oldConfig =
      "<TGateWayConfigure>\r\n\t<GatePort>7400</GatePort>\r\n"
      "</TGateWayConfigure>\r\n";
  const std::string oldBlocks = "1.1.1.1\r\n2.2.2.2\r\n";
  const std::string oldWords = "\xEF\xBB\xBF敏感\r\n";
  PutFile(folder.File("GateWay.xml"), oldConfig);
  PutFile(folder.File("BlockIPList.txt"), oldBlocks);
  PutFile(folder.File("WordFilter.txt"), oldWords);

  TGateWayConfigure config;
  TGateIPManager manager(folder.File("BlockIPList.txt"));
  manager.LoadBlockIPFile();
  TWordList words;
  words.LoadFromFile(folder.File("WordFilter.txt"));
  words.Assign(std::vector<std::string>(20, "一个很长的过滤词"));
  bool blockSaved = true;
  {
    TFileSizeLimit full(64);
    EXPECT_THROW(config.SaveToXMLFile(folder.File("GateWay.xml")), ESettingsFileError);
    for (int i = 0; i < 20; ++i) manager.AddBlockIP("10.0.0." + std::to_string(i));
    blockSaved = manager.SaveBlockIPList();
    EXPECT_THROW(words.SaveToFile(folder.File("WordFilter.txt")), ESettingsFileError);
  }
  EXPECT_FALSE(blockSaved);
  EXPECT_EQ(ReadFileBytes(folder.File("GateWay.xml")), oldConfig);
  EXPECT_EQ(ReadFileBytes(folder.File("BlockIPList.txt")), oldBlocks);
  EXPECT_EQ(ReadFileBytes(folder.File("WordFilter.txt")), oldWords);
  EXPECT_EQ(Names(folder),
            (std::vector<std::string>{"BlockIPList.txt", "GateWay.xml", "WordFilter.txt"}));
  // The block list's failure is written as an error line naming the file; memory keeps the list.
  bool logged = false;
  for (const auto& line : log.Lines()) {
    if (line.Level == llError && line.Text.find("永久过滤列表保存失败") != std::string::npos &&
        line.Text.find("BlockIPList.txt") != std::string::npos)
      logged = true;
  }
  EXPECT_TRUE(logged);
  EXPECT_TRUE(manager.SaveBlockIPList());  // room again: the whole list goes out
  EXPECT_EQ(ReadFileBytes(folder.File("BlockIPList.txt")).substr(0, oldBlocks.size() + 10),
            oldBlocks + "10.0.0.0\r\n");
}

// A file beyond the read cap is refused before it is read, with an error naming it; the cap
// lies far above the files a big operator keeps (a 65 MiB list reads).
TEST(SettingsFile, TooLargeFileIsAClearErrorNamingIt) {
  TTempFolder folder;
  const std::string huge = folder.File("BlockIPList.txt");
  { std::ofstream out(huge, std::ios::binary); }
  ASSERT_EQ(::truncate(huge.c_str(), static_cast<off_t>(kMaxSettingsFileSize) + 1), 0);  // sparse
  const uint64_t before = LimitBreaches(TLimitBreach::lbSettingsFileTooLarge);
  try {
    ReadSettingsFile(huge);
    FAIL() << "read a file beyond the cap";
  } catch (const ESettingsFileError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find(huge), std::string::npos) << text;
    EXPECT_NE(text.find(std::to_string(kMaxSettingsFileSize + 1)), std::string::npos) << text;
  }
  EXPECT_EQ(LimitBreaches(TLimitBreach::lbSettingsFileTooLarge), before + 1);
  TGateIPManager manager(huge);
  manager.AddBlockIP("3.3.3.3");
  EXPECT_THROW(manager.LoadBlockIPFile(), ESettingsFileError);
  std::vector<std::string> kept;
  manager.EarchBlockIPs([&](int, const TSockaddr* e) { kept.push_back(e->IPaddr); });
  EXPECT_EQ(kept, std::vector<std::string>{"3.3.3.3"});

  const std::string big = folder.File("WordFilter.txt");
  std::string line(1024, 'w');
  line += "\r\n";
  {
    std::ofstream out(big, std::ios::binary);
    for (int i = 0; i < 65 * 1024; ++i) out << line;  // 65 MiB and then some
  }
  EXPECT_EQ(ReadSettingsFile(big).size(), size_t{65} * 1024 * line.size());
}

// The process-wide IP manager writes the permanent list at every change, whoever made it (the
// login server's "T" calls AddBlockIP on it): a reload right after keeps the entry.
TEST(SettingsFile, ProcessWideBlockListIsSavedOnEveryChange) {
  TTempFolder folder;
  const std::filesystem::path old = std::filesystem::current_path();
  std::filesystem::current_path(folder.File(""));
  IPManager().AddBlockIP("10.9.9.9");
  EXPECT_EQ(ReadFileBytes(folder.File("BlockIPList.txt")), "10.9.9.9\r\n");
  IPManager().AddBlockIP("10.9.9.9");  // only a new time stamp: the file stays
  IPManager().LoadBlockIPFile();
  std::vector<std::string> kept;
  IPManager().EarchBlockIPs([&](int, const TSockaddr* e) { kept.push_back(e->IPaddr); });
  EXPECT_EQ(kept, std::vector<std::string>{"10.9.9.9"});
  IPManager().RemoveBlockIP("10.9.9.9");
  EXPECT_EQ(ReadFileBytes(folder.File("BlockIPList.txt")), "");
  std::filesystem::current_path(old);
}

}  // namespace
}  // namespace gw
