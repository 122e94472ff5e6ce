// The control channel over window messages: a controller's window and the gateway's window
// exchange WM_COPYDATA as a controlling program on Windows does.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <mutex>
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

// A name no other channel of this test uses.
uint32_t FreshName() {
  static std::atomic<uint32_t> next{1};
  return CurrentProcessId() * 1000 + next++;
}

std::optional<TControlMessage> ReceiveWithin(TControlChannel& channel) {
  std::optional<TControlMessage> message;
  WaitUntil([&] { return (message = channel.Receive()).has_value(); });
  return message;
}

// WM_COPYDATA with any data, as a foreign program may send it; the receiver's answer.
LRESULT SendRaw(uint32_t handle, WPARAM wParam, const std::string& data) {
  COPYDATASTRUCT copy{};
  copy.dwData = 12345;  // carries no meaning
  copy.cbData = static_cast<DWORD>(data.size());
  copy.lpData = data.empty() ? nullptr : const_cast<char*>(data.data());
  return ::SendMessageW(reinterpret_cast<HWND>(static_cast<uintptr_t>(handle)), WM_COPYDATA, wParam,
                        reinterpret_cast<LPARAM>(&copy));
}

// The controller learns the gateway's window from message 1000 and commands it with 2000.
TEST(ControlChannel, StatusMessagesAndCloseCommandRoundTrip) {
  TControlChannel controller(FreshName());
  TControlChannel gateway(CurrentProcessId());
  ASSERT_NE(controller.Handle(), 0u);
  ASSERT_TRUE(::IsWindow(reinterpret_cast<HWND>(static_cast<uintptr_t>(gateway.Handle()))));

  std::mutex receivedLock;
  std::vector<TControlMessage> received;
  gateway.Start([&](const TControlMessage& m) {
    std::lock_guard lock(receivedLock);
    received.push_back(m);
  });

  const uint8_t gateNumber = 9;
  EXPECT_TRUE(SendControlMessage(controller.Handle(), gateNumber, kCtlMainWindowHandle,
                                 std::to_string(gateway.Handle())));
  EXPECT_TRUE(SendControlMessage(controller.Handle(), gateNumber, kCtlServiceStarting,
                                 "\xD5\xFD\xD4\xDA\xC6\xF4\xB6\xAFGateWay..."));
  auto first = ReceiveWithin(controller);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->WParam, 1000u * 65536 + gateNumber);
  auto second = ReceiveWithin(controller);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->WParam, 1001u * 65536 + gateNumber);
  EXPECT_EQ(second->Text, "\xD5\xFD\xD4\xDA\xC6\xF4\xB6\xAFGateWay...");  // GBK, as sent
  EXPECT_FALSE(controller.Receive());

  const uint32_t announced = static_cast<uint32_t>(std::stoul(first->Text));
  EXPECT_TRUE(TControlChannel::Send(announced, MakeControlWParam(kCtlCloseGateWay, 0), "bye"));
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

TEST(ControlChannel, StatusMessagesFollowTheLaunchBlock) {
  TControlChannel controller(FreshName());
  std::vector<uint8_t> block(400, 0);
  block[1] = 7;  // gate number
  for (int i = 0; i < 4; ++i) block[4 + i] = static_cast<uint8_t>(controller.Handle() >> (8 * i));
  const std::string argument = EncodeSourceData(block);
  const char* launchArgv[] = {"gateway", argument.c_str(), nullptr};
  ASSERT_TRUE(LoadLaunchParams(2, launchArgv));

  EXPECT_TRUE(SendStatusMessage(kCtlServiceStarting, kServiceStartingText));
  EXPECT_TRUE(SendStatusMessage(kCtlServiceStarted, kServiceStartedText));
  const auto starting = ReceiveWithin(controller);
  const auto started = ReceiveWithin(controller);
  const char* noBlock[] = {"gateway", "", nullptr};
  EXPECT_FALSE(LoadLaunchParams(2, noBlock));

  ASSERT_TRUE(starting);
  EXPECT_EQ(starting->WParam, 1001u * 65536 + 7);
  EXPECT_EQ(starting->Text, "\xD5\xFD\xD4\xDA\xC6\xF4\xB6\xAFGateWay...");
  ASSERT_TRUE(started);
  EXPECT_EQ(started->WParam, 1002u * 65536 + 7);
  EXPECT_EQ(started->Text, "\xD3\xCE\xCF\xB7\xCD\xF8\xB9\xD8\xC6\xF4\xB6\xAF\xCD\xEA\xB3\xC9...");
}

TEST(ControlChannel, NoHandleOrNoWindowSendsNothingAndDoesNotFail) {
  EXPECT_FALSE(SendControlMessage(0, 1, kCtlServiceStarted, "x"));
  uint32_t gone;
  {
    TControlChannel channel(FreshName());
    gone = channel.Handle();
  }
  EXPECT_FALSE(TControlChannel::Send(gone, 0, "nobody listens"));
  EXPECT_FALSE(TControlChannel::Send(0x7FFFFFF0u, 0, "no such window"));
  EXPECT_FALSE(TControlChannel::Send(gone, 0, std::string(kMaxControlText + 1, 'x')));
}

// What a foreign program may send: no data, no closing 0 byte, too much data.
TEST(ControlChannel, ForeignCopyDataIsTakenOrRefusedWithAWarning) {
  std::atomic<int> warnings{0};
  TControlChannel channel(FreshName(), [&](const std::string&, TLogLevel level) {
    if (level == llWarning) ++warnings;
  });
  EXPECT_EQ(
      SendRaw(channel.Handle(), MakeControlWParam(2000, 1), std::string(kMaxControlText + 2, 'x')),
      FALSE);
  EXPECT_EQ(warnings.load(), 1);
  EXPECT_EQ(SendRaw(channel.Handle(), MakeControlWParam(2000, 1), ""), TRUE);
  EXPECT_EQ(SendRaw(channel.Handle(), MakeControlWParam(2000, 2), "abc"), TRUE);
  EXPECT_EQ(SendRaw(channel.Handle(), MakeControlWParam(2000, 3), std::string("x\0y", 3)), TRUE);
  const std::vector<std::pair<uint16_t, std::string>> expected = {{1, ""}, {2, "abc"}, {3, "x"}};
  for (const auto& [gate, text] : expected) {
    const auto m = ReceiveWithin(channel);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Ident(), 2000);
    EXPECT_EQ(m->GateNumber(), gate);
    EXPECT_EQ(m->Text, text);
  }
}

TEST(ControlChannel, HandlerErrorsDoNotEndTheListenerAndOrderHolds) {
  TControlChannel channel(FreshName());
  std::mutex lock;
  std::vector<std::string> texts;
  channel.Start([&](const TControlMessage& m) {
    {
      std::lock_guard guard(lock);
      texts.push_back(m.Text);
    }
    if (m.Text == "throw") throw 42;
    if (m.Text == "error") throw std::runtime_error("bad");
  });
  ASSERT_TRUE(TControlChannel::Send(channel.Handle(), 1, "throw"));
  ASSERT_TRUE(TControlChannel::Send(channel.Handle(), 1, "error"));
  ASSERT_TRUE(TControlChannel::Send(channel.Handle(), 1, "fine"));
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard guard(lock);
    return texts.size() == 3;
  }));
  channel.Stop();
  // After Stop the messages wait for Receive.
  ASSERT_TRUE(TControlChannel::Send(channel.Handle(), 1, "later"));
  const auto m = ReceiveWithin(channel);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Text, "later");
  std::lock_guard guard(lock);
  EXPECT_EQ(texts, (std::vector<std::string>{"throw", "error", "fine"}));
}

// A handler may stop its own channel.
TEST(ControlChannel, HandlerStopsItsChannel) {
  TControlChannel channel(FreshName());
  std::atomic<int> calls{0};
  channel.Start([&](const TControlMessage&) {
    ++calls;
    channel.Stop();
  });
  ASSERT_TRUE(TControlChannel::Send(channel.Handle(), 1, "one"));
  ASSERT_TRUE(TControlChannel::Send(channel.Handle(), 1, "two"));
  // The handler runs after the sends are answered: only once it has stopped the channel is
  // the rest the owner's to receive (a Receive before would race it for "one").
  ASSERT_TRUE(WaitUntil([&] { return calls.load() == 1; }));
  const auto m = ReceiveWithin(channel);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Text, "two");
  EXPECT_EQ(calls.load(), 1);
}

TEST(ControlChannel, SecondListenerOnTheSameNameIsRefused) {
  const uint32_t name = FreshName();
  TControlChannel first(name);
  EXPECT_THROW(TControlChannel second(name), std::system_error);
}

}  // namespace
}  // namespace gw
