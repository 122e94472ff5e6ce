#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
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

// Sends raw bytes to a channel's socket.
bool SendRaw(uint32_t handle, const std::string& bytes) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string name = ControlSocketName(handle);
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
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
TEST(ControlChannel, DatagramsOfAnotherUserAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
  const uint32_t handle = FreshHandle();
  std::atomic<int> warnings{0};
  TControlChannel channel(handle, [&](const std::string&, TLogLevel level) {
    if (level == llWarning) ++warnings;
  });
  // Everything the child needs is prepared before the fork; it only makes system calls.
  const std::string command = EncodeControlMessage(MakeControlWParam(kCtlCloseGateWay, 0), "");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string name = ControlSocketName(handle);
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
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
  ASSERT_EQ(WEXITSTATUS(status), 0);

  // The other user's datagram waits in the queue and is dropped; the own one behind it counts.
  ASSERT_TRUE(TControlChannel::Send(handle, MakeControlWParam(kCtlServiceStarted, 0), "own"));
  const auto m = ReceiveWithin(channel);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Text, "own");
  EXPECT_EQ(warnings.load(), 1);
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
