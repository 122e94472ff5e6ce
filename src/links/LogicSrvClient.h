// TLogicSrvClient: the gateway's one TCP link to the game logic server. Binary
// packets with a 21-byte header in both directions; any thread appends packets to
// the link's bounded send cache, which the link's own thread moves into the socket.
// The link's thread (TServerLinkClient) connects (retrying every 5 s), sends a
// keep-alive every 2 s, treats a server silent or not reading for the server time-out
// as lost, cuts packets and dispatches them: most go whole to the worker owning the
// session, a few are answered here. It also caches the configuration tables the
// server pushes, for the core to answer clients' version queries from. What a client
// message means is none of its business: the core reads it and calls the link to send.
// A packet with a bad signature is dropped with a line (at most one a second).
//
// Thread safety: AppendServerMessage, RegisterSession, SendCloseSession, DBConfig,
// DBConfigAnswers, GetDBConfig, SetServerTimeOut, BeginStop and IsConnected are safe from any
// thread. Start, Stop, SetLogger, SetGateWayServer, SetTraffic and SetTickSource belong to the
// owner (call the setters before Start). DoQelPacket and the rest run on the link's thread. Locks:
// the send cache's lock and FDBConfigLock (the configuration cache) are never held together, and no
// lock of the link is held while the gateway server interface is called.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/BufferMemoryStream.h"
#include "common/LogRateLimiter.h"
#include "common/PeerLimits.h"
#include "gate/GateWaySocketServerInterface.h"
#include "gate/GateWayTraffic.h"
#include "links/ServerLinkClient.h"
#include "protocol/ClientMessageReader.h"
#include "protocol/LogicPacketFramer.h"
#include "protocol/LogicPayloadReader.h"

namespace gw {

// One cached configuration table.
struct TDBDataObject {
  // The complete client message carrying the table: type byte 0, a default message
  // (Ident 4208, Recog = type, Param = 1), then the table bytes as pushed.
  std::string Data;
  // The table's version: its first 16 bytes (fewer when the table is shorter).
  std::string Ver;
};

class TLogicSrvClient : public TServerLinkClient {
 public:
  static constexpr int64_t kSendCacheCapacity = 65536;
  // Silence (nothing received) or a stall (bytes waiting that the socket does not take)
  // for this long means the server is lost, when the settings give no other value (their
  // own default, CheckServerTimeOutTime, is the same). 0 turns the check off.
  static constexpr uint32_t kDefaultServerTimeOut = 180000;
  // Most bytes the send cache and the socket's send buffer may hold together. A server
  // that stops reading would otherwise let every relayed client message pile up in
  // memory; past this bound appends are dropped with an error line.
  static constexpr int64_t kMaxSendBacklog = limits::kMaxLogicSendBacklog;

  TLogicSrvClient(std::string Host, int32_t Port, TGateWaySocketServerInterface* GateWayServer);
  ~TLogicSrvClient() override;

  // Start, BeginStop and Stop: see TServerLinkClient. Stop delivers the packets still
  // waiting, for at most StopFlushTimeLimit; the socket stays open until destruction.

  void SetGateWayServer(TGateWaySocketServerInterface* Server) { FGateWayServer = Server; }
  // The server time-out in milliseconds (CheckServerTimeOutTime of the settings); 0 turns
  // it off. When nothing arrives from the server for this long, or bytes wait that the
  // server does not take for this long, the link is dropped exactly as a broken
  // connection is (every client closed) and connects again. Any thread.
  void SetServerTimeOut(uint32_t Ms) { FServerTimeOut.store(Ms, std::memory_order_relaxed); }
  uint32_t ServerTimeOut() const { return FServerTimeOut.load(std::memory_order_relaxed); }
  // Where the link counts (SetStats), with the bytes received from and sent to the logic
  // server (LogicBytesIn, LogicBytesOut); null: the link's own set, no bytes counted.
  // Call before Start.
  void SetTraffic(TGateWayTraffic* Traffic) {
    SetStats(Traffic);
    SetByteCounters(Traffic ? &Traffic->LogicBytesIn : nullptr,
                    Traffic ? &Traffic->LogicBytesOut : nullptr);
  }

  // Builds one packet into the send cache; packets leave in the order their appends
  // took the lock. A negative nLen is logged and nothing is sent; so is a packet that
  // would take the send backlog past its bound (one line when dropping starts, one
  // with the count when packets are accepted again). Any thread.
  void AppendServerMessage(int32_t nIdent, uint16_t wSocketIndex, int32_t nSocket,
                           int32_t nUserListIndex, int32_t nLen, const void* Data,
                           int32_t nMsgType);
  // Announces a session that entered the game step (ident 1, the address as payload).
  void RegisterSession(uint32_t SessionHandle, const std::string& RemoteAddress);
  // Announces that the session ended or gave up this handle (ident 2).
  void SendCloseSession(uint32_t SessionHandle);

  // Dispatches one received packet of Size bytes (header and payload). Link thread.
  void DoQelPacket(const uint8_t* PData, int32_t Size);

  // Closes the socket, logs and closes every client session. Link thread.
  void Disconnect(int32_t ErrorCode, const std::string& Desc) override;

  // The cached table of this type, null when the server pushed none. The entry is never
  // changed (a push replaces it whole), so it may be kept and read after the call. Any thread.
  std::shared_ptr<const TDBDataObject> DBConfig(int32_t ConfigType) const;
  // The cached tables a client's configuration query receives: those whose version differs
  // from the one the client holds, in the order asked; a type the server never pushed is
  // logged and skipped. Any thread.
  std::vector<std::shared_ptr<const TDBDataObject>> DBConfigAnswers(
      const std::vector<TDBConfigAsk>& Asks) const;
  // A copy of the cached table of this type, if any. Any thread.
  bool GetDBConfig(int32_t ConfigType, TDBDataObject& Out) const;
  // Tick of the last GM_LOGIC_GATE_CHECKSERVER; 0 before the first. Any thread.
  uint32_t CheckServerTick() const { return FCheckServerTick.load(std::memory_order_relaxed); }
  // Connections made after the first one (the link came back after a loss). Any thread.
  uint64_t Reconnects() const { return TGateWayStats::Value(Stats().LogicLinkReconnects); }

 protected:
  // Cuts every whole packet off the receive buffer and dispatches it. Link thread.
  void ProcessPackets() override;

  void OnConnected() override;
  void OnConnectFailed(const std::string& Error) override;
  void OnTurnError(const std::string& What) override;
  void OnPauseEnded() override;
  uint32_t OnTimer(uint32_t Now) override;

 private:
  void StoreDBConfig(int32_t ConfigType, const uint8_t* Payload, int32_t Len);
  // A packet the link cannot take: one line a second per reason. Link thread.
  void PacketRefused(TLogicReason Reason, const std::string& Line);

  uint32_t FSendKeepAliveTick = 0;                // link thread: last successful connect
  uint32_t FKeepAliveTick = 0;                    // link thread: last keep-alive sent
  std::string FTurnError;                         // link thread: logged when its pause ends
  bool FEverConnected = false;                    // link thread
  TGateWaySocketServerInterface* FGateWayServer;  // not owned
  std::atomic<uint32_t> FCheckServerTick{0};
  std::atomic<uint32_t> FServerTimeOut{kDefaultServerTimeOut};
  // A server out of step may send nothing but bad packets: their lines are limited.
  TLogRateLimiter FRefusedLines{static_cast<size_t>(TLogicReason::Count)};

  mutable std::mutex FDBConfigLock;  // guards FDBDataConfig
  // Entries are replaced whole on a push, so a reader keeps a consistent table
  // after dropping the lock.
  std::map<int32_t, std::shared_ptr<const TDBDataObject>> FDBDataConfig;
};

}  // namespace gw
