// The links' platform layer on its own: the wake-up and the readiness wait, and the
// non-blocking socket calls as the links rely on them, on every platform.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "links/LinkSocket.h"
#include "links/LinkWake.h"
#include "links/TestSocket.h"

namespace gw {
namespace {

using test::TTestSocket;

// Whether Handle is ready for Events now, without waiting.
short ReadyNow(links::TSocketHandle Handle, short Events) {
  links::TPollEntry e{Handle, Events, 0};
  return links::PollSockets(&e, 1, 0) > 0 ? e.REvents : 0;
}

// Many signals, from many threads, make one wake-up; one drain empties it, however many
// there were, so that the next wait sleeps again.
TEST(LinkWake, SignalsFromManyThreadsAreOneWakeUpThatOneDrainEmpties) {
  TLinkWake wake;
  ASSERT_TRUE(wake.Valid()) << wake.Error();
  EXPECT_EQ(ReadyNow(wake.Handle(), links::kPollIn), 0);
  std::vector<std::thread> signallers;
  for (int t = 0; t < 4; ++t) {
    signallers.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) wake.Signal();
    });
  }
  for (auto& s : signallers) s.join();
  EXPECT_NE(ReadyNow(wake.Handle(), links::kPollIn) & links::kPollIn, 0);
  wake.Drain();
  EXPECT_EQ(ReadyNow(wake.Handle(), links::kPollIn), 0);
  links::TPollEntry e{wake.Handle(), links::kPollIn, 0};
  EXPECT_EQ(links::PollSocketsFor(&e, 1, std::chrono::milliseconds(2)), 0)
      << "a drained wake-up waits";

  // A wait without a time-out ends at the next signal from another thread.
  std::thread signaller([&] { wake.Signal(); });
  EXPECT_EQ(links::PollSockets(&e, 1, -1), 1);
  EXPECT_NE(e.REvents & links::kPollIn, 0);
  signaller.join();
}

// A connection as the links use it: what the peer sends is announced and received without
// waiting, a full socket refuses more with a would-block error instead of waiting, and the
// peer closing shows as a readable socket whose peek finds the end.
TEST(LinkSocket, NonBlockingConnectionSeesDataFullnessAndThePeerClosing) {
  auto listener = TTestSocket::ListenOnLoopback();
  std::string error;
  links::TSocketHandle s =
      links::ConnectTcpSocket("127.0.0.1", listener->LocalPort(), 65536, nullptr, {}, error);
  ASSERT_NE(s, links::kNoSocket) << error;
  auto server = listener->Accept();
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(links::SocketLocalAddress(s), "127.0.0.1");
  EXPECT_GT(links::UsableSocketBufferSize(s, true), 0u);
  EXPECT_GT(links::UsableSocketBufferSize(s, false), 0u);

  char buf[16] = {};
  EXPECT_EQ(links::SocketRecv(s, buf, sizeof(buf)), -1) << "nothing there: no wait";
  EXPECT_TRUE(links::IsWouldBlockError(links::LastSocketError())) << links::LastSocketError();

  ASSERT_TRUE(server->SendAll("abc", 3));
  links::TPollEntry e{s, links::kPollIn, 0};
  ASSERT_EQ(links::PollSockets(&e, 1, -1), 1);
  EXPECT_NE(e.REvents & links::kPollIn, 0);
  int waiting = 0;
  ASSERT_TRUE(links::SocketBytesWaiting(s, waiting));
  EXPECT_EQ(waiting, 3);
  EXPECT_EQ(links::SocketPeek(s, buf, 1), 1);
  EXPECT_EQ(links::SocketRecv(s, buf, sizeof(buf)), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");

  // The server reads nothing: the socket fills and then refuses without waiting.
  const std::string chunk(65536, 'x');
  int64_t total = 0;
  int64_t n = 0;
  while ((n = links::SocketSend(s, chunk.data(), chunk.size())) > 0 && total < (int64_t{1} << 30)) {
    total += n;
  }
  ASSERT_EQ(n, -1) << "a socket buffer never fills after " << total << " bytes";
  EXPECT_TRUE(links::IsWouldBlockError(links::LastSocketError())) << links::LastSocketError();
  int unacknowledged = 0;
  const links::TUnacknowledged known = links::SocketUnacknowledgedBytes(s, unacknowledged);
  EXPECT_NE(known, links::TUnacknowledged::uaFailed);
  if (known == links::TUnacknowledged::uaCounted) {
    EXPECT_GT(unacknowledged, 0);
  }

  server->Shutdown();
  e = {s, links::kPollIn, 0};
  ASSERT_EQ(links::PollSockets(&e, 1, -1), 1);
  EXPECT_NE(e.REvents & (links::kPollIn | links::kPollHup), 0);
  EXPECT_EQ(links::SocketPeek(s, buf, 1), 0);
  links::CloseSocketHandle(s);
}

TEST(LinkSocket, RefusedAndUnresolvableConnectsSayWhy) {
  std::string error;
  EXPECT_EQ(links::ConnectTcpSocket("127.0.0.1", TTestSocket::UnusedLoopbackPort(), 65536, nullptr,
                                    {}, error),
            links::kNoSocket);
  EXPECT_EQ(error, links::SocketErrorText(test::ConnectionRefusedError()));
  error.clear();
  EXPECT_EQ(links::ConnectTcpSocket("no-such-host.invalid", 5000, 65536, nullptr, {}, error),
            links::kNoSocket);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace gw
