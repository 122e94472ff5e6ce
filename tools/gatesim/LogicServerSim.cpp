#include "LogicServerSim.h"

#include <algorithm>
#include <cstring>

#include "SimProtocol.h"
#include "common/AnsiCodePage.h"

namespace gw {

namespace {

constexpr char kWho[] = "logic";
constexpr size_t kTableVersionSize = 16;
// Data packets are logged one by one only up to this many; after that, every 10,000th, so that
// a demonstration shows the relay without a load run flooding the terminal.
constexpr uint64_t kDataLogAll = 50;
// Packets for a handle without a session on their link are reported one by one up to this
// many, then every 1,000th: a gateway that mixes its links up must not flood the output.
constexpr uint64_t kNoSessionLogAll = 20;

std::string HandleText(uint32_t Handle) {
  char buf[48];
  std::snprintf(buf, sizeof(buf), "%u (worker %u, gen %u, slot %u)", Handle, Handle >> 24,
                (Handle >> 16) & 0xFF, Handle & 0xFFFF);
  return buf;
}

// Length byte + up to Max bytes of GBK text, padded to 1 + Max bytes.
void AppendShortString(std::string& Out, const std::string& Utf8, size_t Max) {
  std::string gbk = Utf8ToAnsi(Utf8);
  if (gbk.size() > Max) gbk.resize(Max);
  Out.push_back(static_cast<char>(gbk.size()));
  Out += gbk;
  Out.append(Max - gbk.size(), '\0');
}

}  // namespace

TLogicServerSim::TLogicServerSim(TSimLog& Log, TLogicServerSimOptions Options)
    : TSimTcpServer("logic", Log), FOptions(Options) {}

TLogicServerSim::~TLogicServerSim() { Stop(); }

std::map<int32_t, std::string> TLogicServerSim::SampleTables() {
  std::map<int32_t, std::string> tables;
  for (int32_t type : {1, 3, 5}) {
    std::string version = "V1.0." + std::to_string(type);
    version.resize(kTableVersionSize, ' ');
    tables[type] = version + "table " + std::to_string(type) + ": sample rows of the simulator";
  }
  return tables;
}

std::string TLogicServerSim::SyncDataPayload(const std::string& AccountUtf8,
                                             const std::string& NameUtf8) {
  std::string out;
  AppendShortString(out, AccountUtf8, 12);
  AppendShortString(out, NameUtf8, 64);
  return out;
}

std::string TLogicServerSim::KickReasonPayload(const std::string& ReasonUtf8) {
  std::string out;
  AppendShortString(out, ReasonUtf8, 128);
  return out;
}

void TLogicServerSim::SendTo(TConnId Conn, TSimLogicHeader H, std::string_view Payload) {
  Send(Conn, BuildLogicPacket(H, Payload));
}

void TLogicServerSim::OnOpen(TConnId Conn, const std::string& Peer) {
  FLinks.fetch_add(1);
  Log().Always(kWho, "gateway link " + std::to_string(Conn) + " connected from " + Peer);
  if (!FOptions.PushTables) return;
  for (const auto& [type, table] : SampleTables()) {
    TSimLogicHeader h;
    h.nIdent = liDBConfig;
    h.nSocket = type;
    SendTo(Conn, h, table);
    Log().Event(kWho, "pushed configuration table " + std::to_string(type) + " (" +
                          std::to_string(table.size()) + " bytes)");
  }
}

std::string TLogicServerSim::Stats() const {
  return "stats: " + std::to_string(FSessionsOpened.load()) + " sessions opened, " +
         std::to_string(FOpenSessions.load()) + " open, " + std::to_string(FDataPackets.load()) +
         " data packets, misrouted " + std::to_string(FMisrouted.load()) +
         " (handles that came by a link they do not belong to), unknown " +
         std::to_string(FUnknownHandles.load()) + " (handles open on no link)";
}

void TLogicServerSim::NoSession(TConnId Conn, uint32_t Handle, const char* What) {
  auto other = FSessions.lower_bound({Handle, 0});
  bool elsewhere = other != FSessions.end() && other->first.first == Handle;
  uint64_t n = (elsewhere ? FMisrouted : FUnknownHandles).fetch_add(1) + 1;
  if (n > kNoSessionLogAll && n % 1000 != 0) return;
  Log().Always(kWho, std::string(What) + " for " + HandleText(Handle) + " on link " +
                         std::to_string(Conn) +
                         (elsewhere ? ", where it has no session: misrouted (it belongs to link " +
                                          std::to_string(other->first.second) + ")"
                                    : ", a handle open on no link") +
                         " (" + std::to_string(n) + (elsewhere ? " misrouted)" : " unknown)"));
}

void TLogicServerSim::OnClose(TConnId Conn) {
  FLinks.fetch_sub(1);
  size_t dropped =
      std::erase_if(FSessions, [&](const auto& kv) { return kv.first.second == Conn; });
  FOpenSessions.fetch_sub(dropped);
  Log().Always(kWho, "gateway link " + std::to_string(Conn) + " gone; " + std::to_string(dropped) +
                         " sessions dropped");
}

size_t TLogicServerSim::OnReceive(TConnId Conn, std::string_view Data) {
  TLogicCutStatus status;
  size_t used = CutLogicPackets(
      reinterpret_cast<const uint8_t*>(Data.data()), Data.size(),
      [&](const TSimLogicHeader& h, std::string_view payload) { HandlePacket(Conn, h, payload); },
      status);
  if (status == TLogicCutStatus::lcBadLength) {
    Log().Always(kWho, "packet length out of range; dropping link " + std::to_string(Conn));
    CloseConnection(Conn, "bad packet length");
  }
  return used;
}

void TLogicServerSim::HandlePacket(TConnId Conn, const TSimLogicHeader& H,
                                   std::string_view Payload) {
  if (H.Magic != kSimLogicMagic) {
    Log().Always(kWho, "packet with wrong magic dropped, ident " + std::to_string(H.nIdent));
    return;
  }
  uint32_t handle = static_cast<uint32_t>(H.nSocket);
  switch (H.nIdent) {
    case liOpenSession:
      OpenSession(Conn, H, Payload);
      return;
    case liCloseSession: {
      auto it = FSessions.find({handle, Conn});
      if (it == FSessions.end()) {
        NoSession(Conn, handle, "close");
      } else {
        if (FOptions.LateFrames && !it->second.LastPayload.empty()) {
          // Data still on its way when the gateway closed the handle.
          SendTo(Conn, it->second.LastData, it->second.LastPayload);
          FLateSent.fetch_add(1);
          Log().Event(kWho, "fault: late data for closed session " + HandleText(handle));
        }
        FSessions.erase(it);
        FOpenSessions.fetch_sub(1);
      }
      Log().Event(kWho,
                  "session closed " + HandleText(handle) + " on link " + std::to_string(Conn));
      return;
    }
    case liKeepAlive: {
      if (!FOptions.AnswerKeepAlive) return;
      TSimLogicHeader reply;
      reply.nIdent = liCheckServer;
      SendTo(Conn, reply, {});
      return;
    }
    case liEcho:
      FEchoReplies.fetch_add(1);
      Log().Event(kWho, "echo answered by the gateway");
      return;
    case liData:
      HandleData(Conn, H, Payload);
      return;
    default:
      Log().Always(kWho, "unexpected ident " + std::to_string(H.nIdent) + " from the gateway");
      return;
  }
}

void TLogicServerSim::OpenSession(TConnId Conn, const TSimLogicHeader& H,
                                  std::string_view Payload) {
  uint32_t handle = static_cast<uint32_t>(H.nSocket);
  int32_t userIndex = FNextUserIndex++;
  if (FNextUserIndex > 0x7FFF0000) FNextUserIndex = 1;
  std::string addr = AnsiToUtf8(std::string(Payload));
  auto [it, added] = FSessions.insert_or_assign({handle, Conn}, TSession{userIndex, addr, {}, {}});
  if (added) FOpenSessions.fetch_add(1);
  FSessionsOpened.fetch_add(1);
  Log().Event(kWho, "session opened " + HandleText(handle) + " on link " + std::to_string(Conn) +
                        " from " + addr + ", user index " + std::to_string(userIndex));

  TSimLogicHeader h;
  h.nSocket = H.nSocket;
  h.wSocketIndex = static_cast<uint16_t>(userIndex);
  h.nUserListIndex = userIndex;
  h.nIdent = liUserIndex;
  SendTo(Conn, h, {});

  h.nIdent = liSpeedTime;
  std::string speed;
  AppendLe16(speed, kSimSpeedTimeIdent);
  AppendLe16(speed, 0);
  AppendLe32(speed, 0);  // Recog
  AppendLe32(speed, static_cast<uint32_t>(kSimRunTime));
  AppendLe32(speed, static_cast<uint32_t>(kSimWalkTime));
  AppendLe32(speed, static_cast<uint32_t>(kSimHitTime));
  AppendLe32(speed, static_cast<uint32_t>(kSimSpellTime));
  AppendLe32(speed, 0);  // nToken
  AppendLe32(speed, 0);  // dwCRC
  SendTo(Conn, h, speed);

  h.nIdent = liSyncData;
  std::string account = "acc" + std::to_string(userIndex);
  SendTo(Conn, h, SyncDataPayload(account, "勇士" + std::to_string(userIndex)));
}

void TLogicServerSim::HandleData(TConnId Conn, const TSimLogicHeader& H, std::string_view Payload) {
  uint32_t handle = static_cast<uint32_t>(H.nSocket);
  uint64_t count = FDataPackets.fetch_add(1) + 1;
  auto session = FSessions.find({handle, Conn});
  // Echoed all the same: the client that sent it is then told of the mix-up too.
  if (session == FSessions.end()) NoSession(Conn, handle, "data");
  if (H.nMsgType == 0 && Payload.size() >= 32) {
    uint16_t ident = ReadLe16(Payload.data());
    if (ident == kSimKickIdent) {
      int32_t recog = static_cast<int32_t>(ReadLe32(Payload.data() + 4));
      Kick(Conn, handle, recog != 0 ? "玩家请求踢出" : "");
      return;
    }
    if (ident == 1009) {
      Log().Event(kWho, "soft close for " + HandleText(handle));
      return;
    }
  }
  if (count <= kDataLogAll || count % 10000 == 0) {
    Log().Event(kWho, "data #" + std::to_string(count) + " type " + std::to_string(H.nMsgType) +
                          ", " + std::to_string(Payload.size()) + " bytes for " +
                          HandleText(handle) + ", echoed");
  }
  if (FOptions.LateFrames && session != FSessions.end()) {
    session->second.LastData = H;
    session->second.LastPayload.assign(Payload);
  }
  // Back to the same session, exactly as it came.
  SendTo(Conn, H, Payload);
}

void TLogicServerSim::KickSession(TConnId Link, uint32_t Handle, const std::string& Reason) {
  Post([this, Link, Handle, Reason] { Kick(Link, Handle, Reason); });
}

void TLogicServerSim::Kick(TConnId Conn, uint32_t Handle, const std::string& Reason) {
  auto it = FSessions.find({Handle, Conn});
  if (it == FSessions.end()) {
    Log().Always(kWho,
                 "kick: no session " + HandleText(Handle) + " on link " + std::to_string(Conn));
    return;
  }
  TSimLogicHeader h;
  h.nIdent = liKick;
  h.nSocket = static_cast<int32_t>(Handle);
  h.wSocketIndex = static_cast<uint16_t>(it->second.UserIndex);
  h.nUserListIndex = it->second.UserIndex;
  SendTo(Conn, h, Reason.empty() ? std::string() : KickReasonPayload(Reason));
  Log().Event(kWho, "kicked " + HandleText(Handle) +
                        (Reason.empty() ? std::string(" without a reason") : " reason: " + Reason));
}

void TLogicServerSim::OnTimer() {
  ++FTimerTurns;
  uint32_t elapsedMs = FTimerTurns * 100;
  for (TConnId conn : Connections()) {
    if (FOptions.CheckServerEveryMs != 0 && elapsedMs % FOptions.CheckServerEveryMs == 0) {
      TSimLogicHeader h;
      h.nIdent = liCheckServer;
      SendTo(conn, h, {});
    }
    if (FOptions.EchoEveryMs != 0 && elapsedMs % FOptions.EchoEveryMs == 0) {
      TSimLogicHeader h;
      h.nIdent = liEcho;
      SendTo(conn, h, {});
    }
    if (FOptions.GarbageEveryMs != 0 && elapsedMs % FOptions.GarbageEveryMs == 0) {
      // Length-consistent garbage: the gateway must drop each packet and keep the link.
      TSimLogicHeader h;
      h.Magic = 0x01020304;
      h.nIdent = liData;
      h.nSocket = 1;
      SendTo(conn, h, "wrong magic");
      TSimLogicHeader unknown;
      unknown.nIdent = 99;
      SendTo(conn, unknown, "unknown ident");
      TSimLogicHeader noSession;
      noSession.nIdent = liData;
      noSession.nMsgType = 2;
      SendTo(conn, noSession, "for handle 0");
      FGarbageSent.fetch_add(1);
      Log().Event(kWho, "fault: garbage sent to link " + std::to_string(conn));
    }
  }
}

}  // namespace gw
