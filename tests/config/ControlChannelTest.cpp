#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "codec/EDcode.h"
#include "common/Platform.h"
#include "config/ConfigTestSupport.h"
#include "config/ControlChannel.h"
#include "config/GateShare.h"

namespace gw {
namespace {

using config_test::WaitUntil;

// A handle no other test process uses: random, never 0.
uint32_t FreshHandle() {
  static std::mt19937 random(std::random_device{}());
  uint32_t h;
  do {
    h = random();
  } while (h == 0 || h == CurrentProcessId());
  return h;
}

sockaddr_un SocketAddress(const std::string& path, socklen_t& len) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return addr;
}

// Sends raw bytes to a channel's socket.
bool SendRaw(uint32_t handle, const std::string& bytes) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  socklen_t len = 0;
  const sockaddr_un addr = SocketAddress(ControlSocketPath(handle, false), len);
  const bool sent =
      ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&addr), len) ==
      static_cast<ssize_t>(bytes.size());
  ::close(fd);
  return sent;
}

std::optional<TControlMessage> ReceiveWithin(TControlChannel& channel) {
  std::optional<TControlMessage> message;
  WaitUntil([&] { return (message = channel.Receive()).has_value(); });
  return message;
}

TEST(ControlChannel, WireFormatIsWParamLittleEndianThenTextAndZero) {
  EXPECT_EQ(EncodeControlMessage(MakeControlWParam(1001, 3), "ab"), std::string("\x03\x00\xE9\x03"
                                                                                "ab\0",
                                                                                7));
  EXPECT_EQ(MakeControlWParam(1001, 3), 1001u * 65536 + 3);
  const auto m =
      DecodeControlMessage(std::string("\x05\x00\xD0\x07"
                                       "x\0y",
                                       7));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Ident(), 2000);
  EXPECT_EQ(m->GateNumber(), 5);
  EXPECT_EQ(m->Text, "x");
  EXPECT_EQ(DecodeControlMessage("abcd")->Text, "");
  EXPECT_FALSE(DecodeControlMessage("abc"));
  EXPECT_EQ(ControlSocketName(4294967295u), "gateway-control-4294967295");
}

// The controller listens on its handle, the gateway on its process ID; both ways work.
TEST(ControlChannel, StatusMessagesAndCloseCommandRoundTrip) {
  const uint32_t controllerHandle = FreshHandle();
  TControlChannel controller(controllerHandle);

  std::mutex receivedLock;
  std::vector<TControlMessage> received;
  TControlChannel gateway(CurrentProcessId());
  gateway.Start([&](const TControlMessage& m) {
    std::lock_guard lock(receivedLock);
    received.push_back(m);
  });

  const uint8_t gateNumber = 9;
  EXPECT_TRUE(SendControlMessage(controllerHandle, gateNumber, kCtlMainWindowHandle,
                                 std::to_string(CurrentProcessId())));
  EXPECT_TRUE(SendControlMessage(controllerHandle, gateNumber, kCtlServiceStarting,
                                 "\xD5\xFD\xD4\xDA\xC6\xF4\xB6\xAFGateWay..."));
  auto first = ReceiveWithin(controller);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->WParam, 1000u * 65536 + gateNumber);
  EXPECT_EQ(first->Text, std::to_string(CurrentProcessId()));
  auto second = ReceiveWithin(controller);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->WParam, 1001u * 65536 + gateNumber);
  EXPECT_EQ(second->Text, "\xD5\xFD\xD4\xDA\xC6\xF4\xB6\xAFGateWay...");  // GBK
  EXPECT_FALSE(controller.Receive());

  // The controller answers on the gateway's process ID.
  EXPECT_TRUE(
      TControlChannel::Send(CurrentProcessId(), MakeControlWParam(kCtlCloseGateWay, 0), "bye"));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(receivedLock);
    return !received.empty();
  }));
  gateway.Stop();
  std::lock_guard lock(receivedLock);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].Ident(), kCtlCloseGateWay);
  EXPECT_EQ(received[0].Text, "bye");
}

// The status messages go to the launch block's handle with its gate number, their fixed
// texts in GBK.
TEST(ControlChannel, StatusMessagesFollowTheLaunchBlock) {
  const uint32_t controllerHandle = FreshHandle();
  TControlChannel controller(controllerHandle);
  std::vector<uint8_t> block(400, 0);
  block[1] = 7;  // gate number
  for (int i = 0; i < 4; ++i) block[4 + i] = static_cast<uint8_t>(controllerHandle >> (8 * i));
  const std::string argument = EncodeSourceData(block);
  const char* launchArgv[] = {"gateway", argument.c_str(), nullptr};
  ASSERT_TRUE(LoadLaunchParams(2, launchArgv));

  EXPECT_TRUE(SendStatusMessage(kCtlServiceStarting, kServiceStartingText));
  EXPECT_TRUE(SendStatusMessage(kCtlServiceStarted, kServiceStartedText));
  const auto starting = ReceiveWithin(controller);
  const auto started = ReceiveWithin(controller);
  // Back to no launch block for the other tests.
  const char* noBlock[] = {"gateway", "", nullptr};
  EXPECT_FALSE(LoadLaunchParams(2, noBlock));
  EXPECT_FALSE(SendStatusMessage(kCtlServiceStarting, kServiceStartingText));

  ASSERT_TRUE(starting);
  EXPECT_EQ(starting->WParam, 1001u * 65536 + 7);
  EXPECT_EQ(starting->Text, "\xD5\xFD\xD4\xDA\xC6\xF4\xB6\xAFGateWay...");
  ASSERT_TRUE(started);
  EXPECT_EQ(started->WParam, 1002u * 65536 + 7);
  EXPECT_EQ(started->Text, "\xD3\xCE\xCF\xB7\xCD\xF8\xB9\xD8\xC6\xF4\xB6\xAF\xCD\xEA\xB3\xC9...");
}

TEST(ControlChannel, NoHandleOrNoListenerSendsNothingAndDoesNotFail) {
  EXPECT_FALSE(SendControlMessage(0, 1, kCtlServiceStarted, "x"));
  EXPECT_FALSE(TControlChannel::Send(FreshHandle(), 0, "nobody listens"));
  // With no launch block the status messages go nowhere.
  EXPECT_FALSE(SendStatusMessage(kCtlServiceStarting, kServiceStartingText));
}

TEST(ControlChannel, MalformedDatagramsAreSkipped) {
  const uint32_t handle = FreshHandle();
  std::atomic<int> warnings{0};
  TControlChannel channel(handle, [&](const std::string&, TLogLevel level) {
    if (level == llWarning) ++warnings;
  });
  ASSERT_TRUE(SendRaw(handle, "ab"));
  ASSERT_TRUE(SendRaw(handle, std::string(kMaxControlText + 100, 'x')));
  ASSERT_TRUE(SendRaw(handle, EncodeControlMessage(MakeControlWParam(2000, 1), "ok")));
  auto m = ReceiveWithin(channel);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Ident(), 2000);
  EXPECT_EQ(m->Text, "ok");
  EXPECT_EQ(warnings.load(), 2);
  // Text without its closing 0 byte is taken as it is.
  ASSERT_TRUE(SendRaw(handle, std::string("\0\0\xD0\x07"
                                          "abc",
                                          7)));
  m = ReceiveWithin(channel);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Text, "abc");
}

// Any local user can reach an abstract socket; only the gateway's own user (or root) may
// command it.
TEST(ControlChannel, AnotherUserCannotReachTheSocket) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
  const uint32_t handle = FreshHandle();
  std::atomic<int> warnings{0};
  TControlChannel channel(handle, [&](const std::string&, TLogLevel level) {
    if (level == llWarning) ++warnings;
  });
  // Everything the child needs is prepared before the fork; it only makes system calls.
  const std::string command = EncodeControlMessage(MakeControlWParam(kCtlCloseGateWay, 0), "");
  socklen_t len = 0;
  const sockaddr_un addr = SocketAddress(ControlSocketPath(handle, false), len);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setuid(65534) != 0) ::_exit(2);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    const bool sent =
        ::sendto(fd, command.data(), command.size(), 0, reinterpret_cast<const sockaddr*>(&addr),
                 len) == static_cast<ssize_t>(command.size());
    ::_exit(sent ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  // The folder keeps the other user out: its datagram is never delivered.
  ASSERT_EQ(WEXITSTATUS(status), 1);

  ASSERT_TRUE(TControlChannel::Send(handle, MakeControlWParam(kCtlServiceStarted, 0), "own"));
  const auto m = ReceiveWithin(channel);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Text, "own");
  EXPECT_EQ(warnings.load(), 0);
}

TEST(ControlChannel, HandlerErrorsDoNotEndTheListener) {
  TControlChannel channel(FreshHandle());
  std::atomic<int> calls{0};
  channel.Start([&](const TControlMessage& m) {
    ++calls;
    if (m.Text == "throw") throw 42;
    if (m.Text == "error") throw std::runtime_error("bad");
  });
  ASSERT_TRUE(TControlChannel::Send(channel.Handle(), 1, "throw"));
  ASSERT_TRUE(TControlChannel::Send(channel.Handle(), 1, "error"));
  ASSERT_TRUE(TControlChannel::Send(channel.Handle(), 1, "fine"));
  EXPECT_TRUE(WaitUntil([&] { return calls.load() == 3; }));
}

TEST(ControlChannel, SecondListenerOnTheSameHandleIsRefused) {
  const uint32_t handle = FreshHandle();
  TControlChannel first(handle);
  EXPECT_THROW(TControlChannel second(handle), std::system_error);
  // The refused one leaves the first one's socket in place.
  ASSERT_TRUE(TControlChannel::Send(handle, 1, "still there"));
  EXPECT_TRUE(ReceiveWithin(first));
}

// The socket folder under a scratch XDG_RUNTIME_DIR, restored afterwards.
class ControlFolderTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old != nullptr) FOld = old;
    FHadOld = old != nullptr;
    ::setenv("XDG_RUNTIME_DIR", FRuntime.Path().c_str(), 1);
  }
  void TearDown() override {
    if (FHadOld) {
      ::setenv("XDG_RUNTIME_DIR", FOld.c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
  }
  std::string Folder() const { return FRuntime.File("pelvane-gateway"); }

  TTempFolder FRuntime;
  std::string FOld;
  bool FHadOld = false;
};

TEST_F(ControlFolderTest, FolderIsPrivateAndTheSocketGoesWithItsChannel) {
  const uint32_t handle = FreshHandle();
  std::string path;
  {
    TControlChannel channel(handle);  // makes the folder
    path = ControlSocketPath(handle, false);
    EXPECT_EQ(path, Folder() + "/gateway-control-" + std::to_string(handle));
    struct stat st {};
    ASSERT_EQ(::stat(Folder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
  }
  EXPECT_NE(::access(path.c_str(), F_OK), 0);  // removed with the channel
}

TEST_F(ControlFolderTest, RuntimeFolderOfAnotherUserOrNoneFallsBackToTmp) {
  const std::string fallback = "/tmp/pelvane-gateway-" + std::to_string(::geteuid());
  EXPECT_EQ(ControlFolder(), Folder());
  ::setenv("XDG_RUNTIME_DIR", "relative/path", 1);
  EXPECT_EQ(ControlFolder(), fallback);
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(ControlFolder(), fallback);
  if (::geteuid() == 0) {
    const std::string other = FRuntime.File("other-user");
    ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
    ASSERT_EQ(::chown(other.c_str(), 65534, 65534), 0);
    ::setenv("XDG_RUNTIME_DIR", other.c_str(), 1);
    EXPECT_EQ(ControlFolder(), fallback);
  }
}

TEST_F(ControlFolderTest, UnsafeFoldersAreRefusedByListenersAndSenders) {
  struct TCase {
    const char* Name;
    std::function<void(const std::string&)> Make;
  };
  const TCase cases[] = {
      {"open to others",
       [](const std::string& f) {
         ::mkdir(f.c_str(), 0755);
         ::chmod(f.c_str(), 0755);
       }},
      {"open to the group",
       [](const std::string& f) {
         ::mkdir(f.c_str(), 0770);
         ::chmod(f.c_str(), 0770);
       }},
      {"a link to a private folder",
       [this](const std::string& f) {
         const std::string target = FRuntime.File("elsewhere");
         ::mkdir(target.c_str(), 0700);
         ASSERT_EQ(::symlink(target.c_str(), f.c_str()), 0);
       }},
      {"a file", [](const std::string& f) { std::ofstream(f) << "x"; }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::filesystem::remove_all(Folder());
    c.Make(Folder());
    const uint32_t handle = FreshHandle();
    EXPECT_THROW(TControlChannel channel(handle), std::exception);
    EXPECT_THROW(ControlSocketPath(handle, true), std::exception);
    EXPECT_FALSE(TControlChannel::Send(handle, 1, "never sent"));
  }
  std::filesystem::remove_all(Folder());
}

TEST_F(ControlFolderTest, SocketLeftByAnEndedListenerIsReplaced) {
  const uint32_t handle = FreshHandle();
  const std::string path = ControlSocketPath(handle, true);
  {
    // Bound and closed without removal, as a process that was killed leaves it.
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    socklen_t len = 0;
    const sockaddr_un addr = SocketAddress(path, len);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len), 0);
    ::close(fd);
  }
  TControlChannel channel(handle);
  ASSERT_TRUE(TControlChannel::Send(handle, 7, "after"));
  const auto m = ReceiveWithin(channel);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Text, "after");
}

// A controller that stops reading makes sends fail after a bounded wait instead of hanging.
TEST(ControlChannel, FullQueueGivesUpInsteadOfBlocking) {
  const uint32_t handle = FreshHandle();
  TControlChannel channel(handle);
  int sent = 0;
  while (sent < 10000 && TControlChannel::Send(handle, 0, std::string(1000, 'x'))) ++sent;
  EXPECT_LT(sent, 10000);
  EXPECT_TRUE(channel.Receive());
}

TEST(ControlChannel, StopEndsAnIdleListenerAndCanBeRepeated) {
  TControlChannel channel(FreshHandle());
  channel.Start([](const TControlMessage&) {});
  channel.Stop();
  channel.Stop();
  std::atomic<int> calls{0};
  channel.Start([&](const TControlMessage&) { ++calls; });
  ASSERT_TRUE(TControlChannel::Send(channel.Handle(), 1, "x"));
  EXPECT_TRUE(WaitUntil([&] { return calls.load() == 1; }));
}

}  // namespace
}  // namespace gw
