#include <gtest/gtest.h>

#include "links/LinkTestUtil.h"
#include "links/SocketClient.h"

namespace gw {
namespace {

using test::TTestPeer;
using test::WaitUntil;

// Records what the base class reports through Disconnect.
class TRecordingClient : public TSocketClient {
 public:
  void Disconnect(int32_t ErrorCode, const std::string& Desc) override {
    TSocketClient::Disconnect(ErrorCode, Desc);
    FCodes.push_back(ErrorCode);
    FDescs.push_back(Desc);
  }
  std::vector<int32_t> FCodes;
  std::vector<std::string> FDescs;
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return s;
}

TEST(SocketClient, UnconnectedObjectReportsNothing) {
  TSocketClient c;
  EXPECT_FALSE(c.IsConnected());
  EXPECT_EQ(c.SocketHandle(), -1);
  EXPECT_EQ(c.GetLocalAddress(), "");
  EXPECT_EQ(c.SendSize(), 2097152u);
  EXPECT_EQ(c.RecvSize(), 2097152u);
  c.ProcessSocketLogic();  // nothing to poll
  EXPECT_EQ(c.SendStream().Capacity(), 8192);
  EXPECT_EQ(c.RecvStream().Capacity(), 8192);
}

TEST(SocketClient, FailedConnectLeavesObjectUnconnectedWithItsBuffers) {
  TSocketClient c;
  c.SendStream().WriteBuf("abc", 3);
  std::string err;
  EXPECT_FALSE(c.Connect("127.0.0.1", test::ClosedPort(), err));
  EXPECT_EQ(err, links::SocketErrorText(test::ConnectionRefusedError()));
  EXPECT_FALSE(c.IsConnected());
  EXPECT_EQ(c.SendStream().Size(), 3);
  EXPECT_FALSE(c.Connect("no-such-host.invalid", 5000, err));
  EXPECT_FALSE(err.empty());
}

TEST(SocketClient, ConnectsReadsBackBufferSizesAndReceivesWhatIsWaiting) {
  TTestPeer peer;
  TRecordingClient c;
  std::string err;
  ASSERT_TRUE(c.Connect("127.0.0.1", peer.Port(), err)) << err;
  EXPECT_TRUE(c.IsConnected());
  EXPECT_GE(c.SocketHandle(), 0);
  EXPECT_EQ(c.GetLocalAddress(), "127.0.0.1");
  EXPECT_GT(c.SendSize(), 0u);
  EXPECT_LE(c.SendSize(), 2097152u);
  EXPECT_GT(c.RecvSize(), 0u);
  ASSERT_TRUE(WaitUntil([&] { return peer.Connected(); }));

  const std::string data = Pattern(100000);
  peer.Send(data);
  ASSERT_TRUE(WaitUntil([&] {
    c.RecvData();
    return c.RecvStream().Size() >= static_cast<int64_t>(data.size());
  }));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(c.RecvStream().Memory()), data.size()), data);
  EXPECT_TRUE(c.FCodes.empty());
}

// One step hands the socket at most the granted send size; the rest waits.
TEST(SocketClient, SendSlicesAreTheGrantedSendSize) {
  TTestPeer peer;
  TRecordingClient c;
  std::string err;
  ASSERT_TRUE(c.Connect("127.0.0.1", peer.Port(), err)) << err;
  ASSERT_TRUE(WaitUntil([&] { return peer.Connected(); }));
  const size_t slice = c.SendSize();  // 2 MiB where the system grants what is asked
  const size_t rest = 1 << 20;
  const std::string data = Pattern(slice + rest);
  c.SendStream().WriteBuf(data.data(), static_cast<int64_t>(data.size()));

  c.SendData();
  EXPECT_EQ(c.SendStream().Size(), static_cast<int64_t>(rest));
  ASSERT_TRUE(peer.WaitReceivedAtLeast(slice));
  c.SendData();
  EXPECT_EQ(c.SendStream().Size(), 0);
  ASSERT_TRUE(peer.WaitReceivedAtLeast(data.size()));
  EXPECT_TRUE(peer.Received() == data);
  EXPECT_TRUE(c.FCodes.empty());
}

TEST(SocketClient, QuietPeerCloseShowsOnlyOnALaterSend) {
  TTestPeer peer;
  TRecordingClient c;
  std::string err;
  ASSERT_TRUE(c.Connect("127.0.0.1", peer.Port(), err)) << err;
  ASSERT_TRUE(WaitUntil([&] { return peer.Connected(); }));
  peer.CloseConnection();
  for (int i = 0; i < 50; ++i) c.RecvData();
  EXPECT_TRUE(c.FCodes.empty()) << "empty polls report nothing";
  EXPECT_TRUE(c.IsConnected());

  // The first send into the closed connection draws a reset, a later one fails.
  ASSERT_TRUE(WaitUntil([&] {
    if (c.IsConnected()) {
      c.SendStream().WriteBuf("ping", 4);
      c.ProcessSocketLogic();
    }
    return !c.FCodes.empty();
  }));
  EXPECT_FALSE(c.IsConnected());
  EXPECT_EQ(c.SocketHandle(), -1);
  ASSERT_EQ(c.FCodes.size(), 1u);
  EXPECT_TRUE(test::IsConnectionLostError(c.FCodes[0])) << c.FCodes[0];
  EXPECT_TRUE(c.FDescs[0] == "Disconnect When SendData 2" || c.FDescs[0] == "RecvData Close 2")
      << c.FDescs[0];
  EXPECT_EQ(c.SendStream().Size(), 0);
  EXPECT_EQ(c.RecvStream().Size(), 0);

  // The object is reused for the next connection.
  ASSERT_TRUE(c.Connect("127.0.0.1", peer.Port(), err)) << err;
  ASSERT_TRUE(WaitUntil([&] { return peer.Accepted() == 2; }));
}

// A flush hands over a backlog far beyond the socket buffers and waits for the peer to
// take it; against a peer that does not read it gives up at its time limit, keeps the
// rest and leaves the connection as it was.
TEST(SocketClient, FlushDeliversEverythingOrGivesUpAtItsTimeLimit) {
  TTestPeer peer;
  TRecordingClient c;
  std::string err;
  ASSERT_TRUE(c.Connect("127.0.0.1", peer.Port(), err)) << err;
  ASSERT_TRUE(WaitUntil([&] { return peer.Connected(); }));
  peer.SetReading(false);
  const std::string data = Pattern(24 << 20);
  c.SendStream().WriteBuf(data.data(), static_cast<int64_t>(data.size()));

  EXPECT_FALSE(c.FlushSendStream(50));
  EXPECT_GT(c.SendStream().Size(), 0);
  EXPECT_TRUE(c.IsConnected());
  EXPECT_TRUE(c.FCodes.empty());

  peer.SetReading(true);
  EXPECT_TRUE(c.FlushSendStream(60000));
  EXPECT_EQ(c.SendStream().Size(), 0);
  ASSERT_TRUE(peer.WaitReceivedAtLeast(data.size()));
  EXPECT_TRUE(peer.Received() == data);
  EXPECT_TRUE(c.FCodes.empty());
}

TEST(SocketClient, DisconnectEmptiesBuffersToCreationSize) {
  TTestPeer peer;
  TSocketClient c;
  std::string err;
  ASSERT_TRUE(c.Connect("127.0.0.1", peer.Port(), err)) << err;
  const std::string big = Pattern(50000);
  c.RecvStream().WriteBuf(big.data(), 50000);
  c.SendStream().WriteBuf(big.data(), 50000);
  c.Disconnect(0, "test");
  EXPECT_FALSE(c.IsConnected());
  EXPECT_EQ(c.SendStream().Capacity(), 8192);
  EXPECT_EQ(c.RecvStream().Capacity(), 8192);
  EXPECT_EQ(c.SendStream().Size() + c.RecvStream().Size(), 0);
}

}  // namespace
}  // namespace gw
