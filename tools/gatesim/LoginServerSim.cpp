#include "LoginServerSim.h"

#include "SimProtocol.h"
#include "common/AnsiCodePage.h"

namespace gw {

namespace {

constexpr char kWho[] = "login";
// Frames for a handle without a session on their link are reported one by one up to this many,
// then every 1,000th.
constexpr uint64_t kNoSessionLogAll = 20;

std::string Printable(std::string_view Bytes) {
  std::string out;
  for (char ch : Bytes.substr(0, 64)) {
    auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(ch);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\x%02X", c);
      out += buf;
    }
  }
  if (Bytes.size() > 64) out += "...";
  return out;
}

}  // namespace

TLoginServerSim::TLoginServerSim(TSimLog& Log, TLoginServerSimOptions Options)
    : TSimTcpServer("login", Log), FOptions(Options) {}

TLoginServerSim::~TLoginServerSim() { Stop(); }

std::string TLoginServerSim::GreetingMessage(uint32_t Handle) {
  std::string m;
  AppendLe16(m, kSimGreetIdent);
  m += Utf8ToAnsi("欢迎来到模拟登录服务器, session " + std::to_string(Handle));
  return m;
}

std::string TLoginServerSim::LateHandOverMessage(uint32_t Handle) {
  std::string m;
  AppendLe16(m, kSimHandOverIdent);
  m += "OK closed session " + std::to_string(Handle);
  return m;
}

void TLoginServerSim::OnTimer() {
  ++FTimerTurns;
  if (FOptions.GarbageEveryMs == 0 || FTimerTurns * 100 % FOptions.GarbageEveryMs != 0) return;
  for (TConnId conn : Connections()) {
    // The gateway must log and drop each frame and keep the link.
    Send(conn, "garbage$%+Z1$");
    Send(conn, MakeLoginDataFrame(0, "for handle 0"));
    Send(conn, "%abc/#xx!$");
    FGarbageSent.fetch_add(1);
    Log().Event(kWho, "fault: garbage sent to link " + std::to_string(conn));
  }
}

void TLoginServerSim::OnOpen(TConnId Conn, const std::string& Peer) {
  FLinks.fetch_add(1);
  Log().Always(kWho, "gateway link " + std::to_string(Conn) + " connected from " + Peer);
}

std::string TLoginServerSim::Stats() const {
  return "stats: " + std::to_string(FSessionsOpened.load()) + " sessions opened, " +
         std::to_string(FHandOvers.load()) + " handed over, " +
         std::to_string(FSessionCount.load()) + " open, misrouted " +
         std::to_string(FMisrouted.load()) +
         " (handles that came by a link they do not belong to), unknown " +
         std::to_string(FUnknownHandles.load()) + " (handles open on no link)";
}

bool TLoginServerSim::HasSession(TConnId Conn, uint32_t Handle, const char* What) {
  if (FSessions.count({Handle, Conn})) return true;
  auto other = FSessions.lower_bound({Handle, 0});
  bool elsewhere = other != FSessions.end() && other->first == Handle;
  uint64_t n = (elsewhere ? FMisrouted : FUnknownHandles).fetch_add(1) + 1;
  if (n <= kNoSessionLogAll || n % 1000 == 0) {
    Log().Always(kWho,
                 std::string(What) + " for session " + std::to_string(Handle) + " on link " +
                     std::to_string(Conn) +
                     (elsewhere ? ", where it has no session: misrouted (it belongs to link " +
                                      std::to_string(other->second) + ")"
                                : ", a handle open on no link") +
                     " (" + std::to_string(n) + (elsewhere ? " misrouted)" : " unknown)"));
  }
  return false;
}

void TLoginServerSim::OnClose(TConnId Conn) {
  FLinks.fetch_sub(1);
  size_t dropped = std::erase_if(FSessions, [&](const auto& s) { return s.second == Conn; });
  FSessionCount.fetch_sub(dropped);
  Log().Always(kWho, "gateway link " + std::to_string(Conn) + " gone");
}

size_t TLoginServerSim::OnReceive(TConnId Conn, std::string_view Data) {
  size_t used = CutLoginFrames(Data, [&](std::string_view f) { HandleFrame(Conn, f); });
  if (Data.size() - used > kSimLoginMaxFrame) {
    Log().Always(kWho, "no frame end in " + std::to_string(Data.size() - used) +
                           " bytes; dropping link " + std::to_string(Conn));
    CloseConnection(Conn, "frame too long");
  }
  return used;
}

void TLoginServerSim::HandleFrame(TConnId Conn, std::string_view Frame) {
  // Bytes before the "%" belong to no frame the gateway sends.
  size_t start = Frame.find('%');
  if (start != 0) {
    Log().Always(kWho, "stray bytes before a frame: " + Printable(Frame));
    if (start == std::string_view::npos) return;
    Frame.remove_prefix(start);
  }
  TLoginFrame f = ParseGatewayFrame(Frame);
  switch (f.Kind) {
    case TLoginFrameKind::lfKeepAlive:
      FKeepAlives.fetch_add(1);
      if (FOptions.AnswerKeepAlive) Send(Conn, MakeLoginControlFrame('+', 0));
      return;
    case TLoginFrameKind::lfOpen:
      if (FSessions.insert({f.Handle, Conn}).second) FSessionCount.fetch_add(1);
      FSessionsOpened.fetch_add(1);
      Log().Event(kWho, "session " + std::to_string(f.Handle) + " opened, client " + f.RemoteAddr +
                            ", gateway " + f.LocalAddr + ", link " + std::to_string(Conn) +
                            "; greeting it");
      Send(Conn, MakeLoginDataFrame(f.Handle, GreetingMessage(f.Handle)));
      return;
    case TLoginFrameKind::lfClose:
      if (HasSession(Conn, f.Handle, "close")) {
        FSessions.erase({f.Handle, Conn});
        FSessionCount.fetch_sub(1);
      }
      if (FOptions.LateFrames) {
        // An answer still on its way when the client left: meant for nobody now.
        Send(Conn, MakeLoginDataFrame(f.Handle, LateHandOverMessage(f.Handle)));
        FLateSent.fetch_add(1);
        Log().Event(kWho, "fault: late hand-over for closed session " + std::to_string(f.Handle));
      }
      Log().Event(kWho, "session " + std::to_string(f.Handle) + " closed by its client");
      return;
    case TLoginFrameKind::lfData:
      HandleData(Conn, f);
      return;
    case TLoginFrameKind::lfUnknown:
      Log().Always(kWho, "unknown frame: " + Printable(Frame));
      return;
  }
}

void TLoginServerSim::HandleData(TConnId Conn, const TLoginFrame& F) {
  std::string_view data = F.Data;
  // Answered all the same: the client that sent it is then told of the mix-up too.
  const bool known = HasSession(Conn, F.Handle, "data");
  if (data.starts_with(kSimLoginPrefix)) {
    std::string reply;
    AppendLe16(reply, kSimHandOverIdent);
    reply += "OK ";
    reply += data.substr(std::string_view(kSimLoginPrefix).size(), 64);
    Send(Conn, MakeLoginDataFrame(F.Handle, reply));
    // The session now belongs to the logic server; the gateway sends no close for it here.
    if (known) {
      FSessions.erase({F.Handle, Conn});
      FSessionCount.fetch_sub(1);
    }
    FHandOvers.fetch_add(1);
    Log().Event(kWho, "session " + std::to_string(F.Handle) + " logged in (" + Printable(data) +
                          "); handed over with 530");
    return;
  }
  if (data.starts_with(kSimLoginKickPrefix)) {
    Send(Conn, MakeLoginControlFrame('-', F.Handle));
    Log().Event(kWho, "session " + std::to_string(F.Handle) + " closed on its request");
    return;
  }
  std::string reply;
  AppendLe16(reply, kSimLoginReplyIdent);
  reply += data;
  Send(Conn, MakeLoginDataFrame(F.Handle, reply));
  Log().Event(kWho,
              "session " + std::to_string(F.Handle) + " said " + Printable(data) + "; answered");
}

}  // namespace gw
