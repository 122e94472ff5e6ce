#include "ChurnClients.h"

#include <condition_variable>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "BotClient.h"
#include "BotClients.h"
#include "EventPoller.h"
#include "ProcessProbe.h"
#include "SimSocket.h"
#include "SocketIo.h"

namespace gw {

namespace {

enum TChurnMode : int { cmRunning = 0, cmHold = 1, cmEnding = 2, cmFinish = 3 };

// A player that has sent its close frame waits this long for the gateway's answer.
constexpr uint64_t kCloseWaitMicros = 2000000;
// A pool player connects again within this long after its life ended (a refused one too).
constexpr uint64_t kComeBackMicros = 500000;
// After "end", players still connected after their leave time and this are cut off.
constexpr uint64_t kEndGraceMicros = 5000000;

// Counters every runner thread shares with the coordinator. TBotTotals holds the bots' own;
// the rest are the runner's.
struct TChurnShared {
  TBotTotals Totals;
  std::atomic<int> Mode{cmRunning};
  std::atomic<uint64_t> Lives{0};
  std::atomic<uint64_t> Ended{0};
  std::atomic<uint64_t> GoingAway{0};
  std::atomic<uint64_t> Busy{0};     // lives under way (connecting or connected)
  std::atomic<uint64_t> Playing{0};  // of them in the game
  std::atomic<uint32_t> NextLife{1};
};

uint64_t Micros(double Sec) { return static_cast<uint64_t>(Sec * 1e6); }

class TChurnThread {
 public:
  TChurnThread(const TChurnOptions& Options, const TBotConfig& Base, const sockaddr_in& Addr,
               TChurnShared& Shared, uint32_t Seed, double ArrivalRate)
      : FOptions(Options),
        FBase(Base),
        FAddr(Addr),
        FShared(Shared),
        FRandom(Seed),
        FArrivalGap(ArrivalRate > 0 ? Micros(1.0 / ArrivalRate) : 0) {}
  ~TChurnThread() { Join(); }

  // Before Start: a pool player whose first life starts at StartAt.
  void AddPoolPlayer(uint64_t StartAt) {
    FSlots.push_back(std::make_unique<TSlot>());
    FSlots.back()->NextStart = StartAt;
  }
  void Start(uint64_t Now) {
    FNextArrival = Now;
    FThread = std::thread([this] { Run(); });
  }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }
  TLatencyHistogram Snapshot() {
    std::lock_guard<std::mutex> guard(FHistogramLock);
    return FHistogram;
  }

 private:
  struct TSlot {
    bool Pool = true;  // comes back after each life; an arrival's slot is reused by the next
    int Fd = -1;
    std::unique_ptr<TBotClient> Bot;
    std::string Out;
    size_t OutHead = 0;
    bool Busy = false;
    bool Registered = false;  // its socket is in the poller
    bool Connecting = false;
    bool WantWrite = false;
    bool Playing = false;
    uint64_t NextStart = 0;  // pool: when its next life starts
    uint64_t StartedAt = 0;
    uint64_t EndAt = 0;      // the life's own end
    uint64_t LeaveAt = 0;    // when it began to leave (0: not leaving)
    uint64_t ClosingAt = 0;  // when its close frame went (0: not yet)
  };

  void Run();
  void StartLife(uint32_t I, uint64_t Now, double LifeMinSec, double LifeMaxSec);
  void OnEvent(uint32_t I, uint32_t Events, uint64_t Now);
  void Tick(uint32_t I, uint64_t Now, int Mode);
  void Flush(uint32_t I, uint64_t Now);
  void CloseSlot(uint32_t I, uint64_t Now);
  void NotePlaying(TSlot& S) {
    if (!S.Playing && S.Bot->Stage() == TBotClient::TStage::bsPlaying) {
      S.Playing = true;
      FShared.Playing.fetch_add(1);
    }
  }
  uint64_t Uniform(double MinSec, double MaxSec) {
    std::uniform_real_distribution<double> d(MinSec, MaxSec > MinSec ? MaxSec : MinSec);
    return Micros(d(FRandom));
  }

  const TChurnOptions& FOptions;
  TBotConfig FBase;
  sockaddr_in FAddr;
  TChurnShared& FShared;
  std::mt19937_64 FRandom;
  const uint64_t FArrivalGap;
  uint64_t FNextArrival = 0;
  std::vector<std::unique_ptr<TSlot>> FSlots;
  std::vector<uint32_t> FFreeArrivals;  // arrival slots without a life
  TEventPoller FPoller;
  std::thread FThread;
  std::mutex FHistogramLock;  // guards FHistogram (recorded by the bots of this thread)
  TLatencyHistogram FHistogram;
};

void TChurnThread::StartLife(uint32_t I, uint64_t Now, double LifeMinSec, double LifeMaxSec) {
  TSlot& s = *FSlots[I];
  TBotConfig cfg = FBase;
  cfg.Index = FShared.NextLife.fetch_add(1);
  s.Bot = std::make_unique<TBotClient>(cfg, FShared.Totals, FHistogram);
  s.Busy = true;
  s.Playing = false;
  s.StartedAt = Now;
  s.EndAt = Now + Uniform(LifeMinSec, LifeMaxSec);
  s.LeaveAt = 0;
  s.ClosingAt = 0;
  FShared.Lives.fetch_add(1);
  FShared.Busy.fetch_add(1);
  int fd = OpenStreamSocket();
  if (fd < 0) {
    s.Bot->Fail(beConnect);
    CloseSlot(I, Now);
    return;
  }
  SocketSetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  if (FOptions.SourceFirst != 0) {
    static std::atomic<uint32_t> next{0};
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr =
        htonl(FOptions.SourceFirst +
              next.fetch_add(1) % (FOptions.SourceLast - FOptions.SourceFirst + 1));
    bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local));
  }
  s.Fd = fd;
  if (!StartConnect(fd, FAddr)) {
    s.Bot->Fail(IsConnectionRefused(LastSocketError()) ? beRefused : beConnect);
    CloseSlot(I, Now);
    return;
  }
  s.Connecting = true;
  s.Registered = true;
  FPoller.Add(fd, I, pfOut | pfIn);
}

void TChurnThread::CloseSlot(uint32_t I, uint64_t Now) {
  TSlot& s = *FSlots[I];
  if (!s.Busy) return;
  if (s.Registered) FPoller.Remove(s.Fd);
  if (s.Fd >= 0) SocketClose(s.Fd);
  s.Registered = false;
  // A life ends here whatever ended it; an error was counted where it happened.
  std::string ignored;
  s.Bot->Finish(ignored);
  s.Fd = -1;
  s.Out.clear();
  s.OutHead = 0;
  s.Busy = false;
  s.Connecting = false;
  s.WantWrite = false;
  if (s.Playing) FShared.Playing.fetch_sub(1);
  s.Playing = false;
  FShared.Busy.fetch_sub(1);
  if (s.Pool) {
    s.NextStart = Now + static_cast<uint64_t>(FRandom() % kComeBackMicros);
  } else {
    FFreeArrivals.push_back(I);
  }
}

void TChurnThread::Flush(uint32_t I, uint64_t Now) {
  TSlot& s = *FSlots[I];
  if (s.Fd < 0 || s.Connecting) return;
  std::string error;
  if (SendPending(s.Fd, s.Out, s.OutHead, error) == TIoStatus::ioClosed) {
    s.Bot->OnClosed();
    CloseSlot(I, Now);
    return;
  }
  bool want = !s.Out.empty();
  if (want != s.WantWrite) {
    s.WantWrite = want;
    FPoller.Modify(s.Fd, I, pfIn | (want ? uint32_t{pfOut} : 0u));
  }
}

void TChurnThread::OnEvent(uint32_t I, uint32_t Events, uint64_t Now) {
  if (I >= FSlots.size()) return;
  TSlot& s = *FSlots[I];
  if (!s.Busy || s.Fd < 0) return;
  if (s.Connecting) {
    if (!(Events & (pfOut | pfErr | pfHup))) return;
    if (const int error = ConnectError(s.Fd); error != 0) {
      s.Bot->Fail(IsConnectionRefused(error) ? beRefused : beConnect);
      CloseSlot(I, Now);
      return;
    }
    s.Connecting = false;
    s.WantWrite = true;  // the registration still asks for pfOut; Flush settles it
    s.Bot->OnConnected(s.Out);
    Flush(I, Now);
    return;
  }
  if (Events & (pfIn | pfErr | pfHup)) {
    bool failed = false;
    auto onData = [&](std::string_view Chunk) {
      if (!s.Bot->OnBytes(Chunk, s.Out, Now)) {
        failed = true;
        return false;
      }
      NotePlaying(s);
      return true;
    };
    std::string error;
    if (ReadAvailable(s.Fd, onData, error) == TIoStatus::ioClosed) {
      s.Bot->OnClosed();
      CloseSlot(I, Now);
      return;
    }
    if (failed) {
      if (s.Bot->PeerCloseCode() == 1001 && s.ClosingAt == 0) FShared.GoingAway.fetch_add(1);
      Flush(I, Now);  // the answer to a close frame may be waiting
      CloseSlot(I, Now);
      return;
    }
  }
  Flush(I, Now);
}

void TChurnThread::Tick(uint32_t I, uint64_t Now, int Mode) {
  TSlot& s = *FSlots[I];
  if (!s.Busy || s.Connecting) return;
  if (s.ClosingAt != 0) {
    if (Now - s.ClosingAt >= kCloseWaitMicros) CloseSlot(I, Now);
    return;
  }
  if (!s.Playing) {
    if (Mode >= cmEnding) {
      // Still logging in when the run ends: leaves without waiting for the game.
      s.Bot->Finish(s.Out);
      s.ClosingAt = Now;
      Flush(I, Now);
    } else if (Now - s.StartedAt > Micros(FOptions.LoginTimeoutSec)) {
      s.Bot->Fail(beLoginTimeout);
      CloseSlot(I, Now);
    }
    return;
  }
  if (s.LeaveAt == 0 && (Now >= s.EndAt || Mode >= cmEnding)) s.LeaveAt = Now;
  size_t before = s.Out.size();
  if (s.LeaveAt == 0) {
    s.Bot->OnTick(Now, true, FOptions.Rate, s.Out);
  } else if (s.Bot->Pending() == 0 || Now - s.LeaveAt >= Micros(FOptions.LeaveSec)) {
    // Its own end: the last echoes are in (or counted lost), the close frame goes.
    s.Bot->Finish(s.Out);
    s.ClosingAt = Now;
    FShared.Ended.fetch_add(1);
  }
  if (s.Out.size() != before) Flush(I, Now);
}

void TChurnThread::Run() {
  TPollEvent events[256];
  for (;;) {
    const int mode = FShared.Mode.load();
    uint64_t now = MonotonicMicros();
    if (mode == cmFinish) break;
    if (mode == cmRunning) {
      for (uint32_t i = 0; i < FSlots.size(); ++i) {
        TSlot& s = *FSlots[i];
        if (s.Pool && !s.Busy && s.NextStart <= now) {
          StartLife(i, now, FOptions.LifeMinSec, FOptions.LifeMaxSec);
        }
      }
      while (FArrivalGap != 0 && FNextArrival <= now) {
        FNextArrival += FArrivalGap;
        if (FFreeArrivals.empty()) {
          FSlots.push_back(std::make_unique<TSlot>());
          FSlots.back()->Pool = false;
          FFreeArrivals.push_back(static_cast<uint32_t>(FSlots.size() - 1));
        }
        uint32_t slot = FFreeArrivals.back();
        FFreeArrivals.pop_back();
        StartLife(slot, now, FOptions.ArrivalLifeMinSec, FOptions.ArrivalLifeMaxSec);
      }
    } else {
      FNextArrival = now;  // no catching up after a hold
    }
    int n = FPoller.Wait(events, 256, 1);
    now = MonotonicMicros();
    std::lock_guard<std::mutex> guard(FHistogramLock);
    for (int i = 0; i < n; ++i) {
      if (events[i].Tag != TEventPoller::kWakeTag) {
        OnEvent(static_cast<uint32_t>(events[i].Tag), events[i].Events, now);
      }
    }
    for (uint32_t i = 0; i < FSlots.size(); ++i) Tick(i, now, mode);
  }
  // The run is over: whoever is still connected is cut off, its probes counted lost.
  std::lock_guard<std::mutex> guard(FHistogramLock);
  const uint64_t now = MonotonicMicros();
  for (uint32_t i = 0; i < FSlots.size(); ++i) {
    TSlot& s = *FSlots[i];
    if (!s.Busy) continue;
    if (!s.Connecting) {
      s.Bot->Finish(s.Out);
      Flush(i, now);
    }
    CloseSlot(i, now);
  }
}

// The commands a controlling script writes to standard input, read on a thread of their own.
// The reader blocks in the read until a line or the end of the input comes, so it is left
// detached at the end of the run; what it touches lives as long as it does.
struct TControlQueue {
  std::mutex Lock;  // guards Lines and Closed
  std::condition_variable Changed;
  std::deque<std::string> Lines;
  bool Closed = false;
};

void StartControlReader(const std::shared_ptr<TControlQueue>& Queue) {
  std::thread([Queue] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::lock_guard<std::mutex> guard(Queue->Lock);
      Queue->Lines.push_back(line);
      Queue->Changed.notify_all();
    }
    std::lock_guard<std::mutex> guard(Queue->Lock);
    Queue->Closed = true;
    Queue->Changed.notify_all();
  }).detach();
}

std::string Ms(uint64_t Micros) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.2f ms", static_cast<double>(Micros) / 1000.0);
  return buf;
}

}  // namespace

TChurnCounts TChurnCounts::Minus(const TChurnCounts& E) const {
  TChurnCounts d;
  d.Lives = Lives - E.Lives;
  d.InGame = InGame - E.InGame;
  d.Ended = Ended - E.Ended;
  d.Refused = Refused - E.Refused;
  d.ConnectFailed = ConnectFailed - E.ConnectFailed;
  d.Reset = Reset - E.Reset;
  d.UpgradeFailed = UpgradeFailed - E.UpgradeFailed;
  d.GatewayClosed = GatewayClosed - E.GatewayClosed;
  d.GoingAway = GoingAway - E.GoingAway;
  d.LoginTimeouts = LoginTimeouts - E.LoginTimeouts;
  d.OtherErrors = OtherErrors - E.OtherErrors;
  d.Sent = Sent - E.Sent;
  d.Echoed = Echoed - E.Echoed;
  d.Lost = Lost - E.Lost;
  d.Cut = Cut - E.Cut;
  d.Misdelivered = Misdelivered - E.Misdelivered;
  d.BadEchoes = BadEchoes - E.BadEchoes;
  return d;
}

std::string ChurnPhaseLine(const TChurnPhase& P, const char* Label) {
  const TChurnCounts& c = P.Counts;
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.1f s", P.Seconds);
  std::ostringstream out;
  out << Label << ": " << seconds << ", lives " << c.Lives << ", in game " << c.InGame << ", ended "
      << c.Ended << ", refused " << c.Refused << ", reset " << c.Reset << ", connect failed "
      << c.ConnectFailed << ", upgrade failed " << c.UpgradeFailed << ", gateway closed "
      << c.GatewayClosed << ", going away " << c.GoingAway << ", login timeouts " << c.LoginTimeouts
      << ", other errors " << c.OtherErrors << ", sent " << c.Sent << ", echoed " << c.Echoed
      << ", lost " << c.Lost << ", cut " << c.Cut << ", misdelivered " << c.Misdelivered
      << ", bad echoes " << c.BadEchoes << ", samples " << P.Samples << ", p50 " << Ms(P.P50Micros)
      << ", p99 " << Ms(P.P99Micros);
  return out.str();
}

TChurnClients::TChurnClients(TChurnOptions Options) : FOptions(std::move(Options)) {
  if (FOptions.Threads == 0) FOptions.Threads = 1;
  if (FOptions.ConnectRate <= 0) FOptions.ConnectRate = 500;
}

bool TChurnClients::Run(TChurnResult& Result, std::string& Error, FILE* ProgressOut) {
  TBotConfig base;
  if (!ParseWsUrl(FOptions.Url, base.Host, base.Port, base.Path, Error)) return false;
  TDeploymentKeys keys;
  try {
    keys = LoadDeploymentKeys(FOptions.KeysFolder);
  } catch (const std::exception& e) {
    Error = std::string("handshake keys: ") + e.what();
    return false;
  }
  base.Keys = &keys;
  if (!SocketStartup()) {
    Error = "sockets unavailable";
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(base.Port);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(base.Host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    Error = "cannot resolve " + base.Host;
    return false;
  }
  addr.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  // Arrivals overlap by their lifetime (and their close); leave room for twice that.
  const uint64_t arrivalRoom =
      static_cast<uint64_t>(FOptions.ArrivalRate * (FOptions.ArrivalLifeMaxSec + 3) * 2) + 16;
  if (!ReserveBotSockets(FOptions.Count + arrivalRoom, Error)) return false;

  // Without Control nobody writes to the queue: the coordinator's waits are then its timer.
  auto control = std::make_shared<TControlQueue>();
  if (FOptions.Control) StartControlReader(control);

  TChurnShared shared;
  std::vector<std::unique_ptr<TChurnThread>> threads;
  const uint64_t t0 = MonotonicMicros();
  for (uint32_t t = 0; t < FOptions.Threads; ++t) {
    threads.push_back(std::make_unique<TChurnThread>(FOptions, base, addr, shared,
                                                     static_cast<uint32_t>(t0) + t * 7919u,
                                                     FOptions.ArrivalRate / FOptions.Threads));
  }
  const double connectGap = 1e6 / FOptions.ConnectRate;
  for (uint32_t i = 0; i < FOptions.Count; ++i) {
    threads[i % FOptions.Threads]->AddPoolPlayer(t0 + static_cast<uint64_t>(i * connectGap));
  }
  for (auto& t : threads) t->Start(t0);

  auto histogram = [&] {
    TLatencyHistogram h;
    for (auto& t : threads) h.Merge(t->Snapshot());
    return h;
  };
  auto counts = [&] {
    const TBotTotals& b = shared.Totals;
    TChurnCounts c;
    c.Lives = shared.Lives.load();
    c.InGame = b.InGame.load();
    c.Ended = shared.Ended.load();
    c.Refused = b.Errors[beRefused].load();
    c.ConnectFailed = b.Errors[beConnect].load();
    c.Reset = b.Errors[beReset].load();
    c.UpgradeFailed = b.Errors[beUpgrade].load();
    c.GatewayClosed = b.Errors[beClosed].load();
    c.GoingAway = shared.GoingAway.load();
    c.LoginTimeouts = b.Errors[beLoginTimeout].load();
    c.OtherErrors = b.Errors[beChallenge].load() + b.Errors[beProtocol].load();
    c.Sent = b.Sent.load();
    c.Echoed = b.Echoed.load();
    c.Lost = b.Errors[beLost].load();
    c.Cut = b.Errors[beCut].load();
    c.Misdelivered = b.Errors[beMisdelivered].load();
    c.BadEchoes = b.Errors[beBadEcho].load();
    return c;
  };

  // The phase under way: its name, start, and the counts and round trips before it.
  struct TOpenPhase {
    std::string Name;
    uint64_t Start = 0;
    TChurnCounts Before;
    TLatencyHistogram BeforeTrips;
  } open{FOptions.FirstPhase, t0, {}, {}};
  auto closePhase = [&](uint64_t Now) {
    TChurnPhase p;
    p.Name = open.Name;
    p.Seconds = static_cast<double>(Now - open.Start) / 1e6;
    TChurnCounts c = counts();
    TLatencyHistogram h = histogram();
    p.Counts = c.Minus(open.Before);
    TLatencyHistogram mine = h.Since(open.BeforeTrips);
    p.P50Micros = mine.Percentile(0.5);
    p.P99Micros = mine.Percentile(0.99);
    p.Samples = mine.Count();
    Result.Phases.push_back(p);
    open.Before = c;
    open.BeforeTrips = h;
    open.Start = Now;
  };

  const bool tty = ProgressOut != nullptr && IsTerminal(ProgressOut);
  uint64_t lastProgress = t0;
  uint64_t lastSent = 0;
  TLatencyHistogram lastTrips;
  uint64_t endStart = 0;
  bool inputEnded = false;
  for (;;) {
    // Woken by a command, or every 200 ms for the progress line, the run's own end and the
    // players' departure at the end.
    std::deque<std::string> lines;
    bool closed = false;
    {
      std::unique_lock<std::mutex> lock(control->Lock);
      control->Changed.wait_for(lock, std::chrono::milliseconds(200), [&] {
        return !control->Lines.empty() || (control->Closed && !inputEnded);
      });
      lines.swap(control->Lines);
      inputEnded = control->Closed;
      closed = inputEnded;
    }
    uint64_t now = MonotonicMicros();
    for (const std::string& line : lines) {
      if (line.starts_with("phase ") && line.size() > 6) {
        closePhase(now);
        open.Name = line.substr(6);
      } else if (line == "hold") {
        if (shared.Mode.load() == cmRunning) shared.Mode = cmHold;
      } else if (line == "end") {
        closed = true;
      } else if (!line.empty() && ProgressOut != nullptr) {
        std::fprintf(ProgressOut, "gatesim churn: unknown command \"%s\" (phase NAME, hold, end)\n",
                     line.c_str());
      }
    }
    if (FOptions.DurationSec > 0 && now - t0 >= Micros(FOptions.DurationSec)) closed = true;
    if (closed && shared.Mode.load() < cmEnding) {
      shared.Mode = cmEnding;
      endStart = now;
    }
    if (shared.Mode.load() == cmEnding &&
        (shared.Busy.load() == 0 ||
         now - endStart >= Micros(FOptions.LeaveSec) + kCloseWaitMicros + kEndGraceMicros)) {
      shared.Mode = cmFinish;
      break;
    }
    if (FOptions.Progress && ProgressOut != nullptr && now - lastProgress >= 5000000) {
      double dt = static_cast<double>(now - lastProgress) / 1e6;
      lastProgress = now;
      TChurnCounts c = counts();
      TLatencyHistogram all = histogram();
      TLatencyHistogram h = all.Since(lastTrips);
      lastTrips = all;
      std::fprintf(ProgressOut,
                   "%s[%5.0fs %s] connected %llu in game %llu lives %llu sent %.0f/s p99 %s "
                   "refused %llu reset %llu gateway closed %llu lost %llu cut %llu misdelivered "
                   "%llu%s",
                   tty ? "\r" : "", static_cast<double>(now - t0) / 1e6, open.Name.c_str(),
                   static_cast<unsigned long long>(shared.Busy.load()),
                   static_cast<unsigned long long>(shared.Playing.load()),
                   static_cast<unsigned long long>(c.Lives),
                   static_cast<double>(c.Sent - lastSent) / dt, Ms(h.Percentile(0.99)).c_str(),
                   static_cast<unsigned long long>(c.Refused),
                   static_cast<unsigned long long>(c.Reset),
                   static_cast<unsigned long long>(c.GatewayClosed),
                   static_cast<unsigned long long>(c.Lost), static_cast<unsigned long long>(c.Cut),
                   static_cast<unsigned long long>(c.Misdelivered), tty ? "\033[K" : "\n");
      std::fflush(ProgressOut);
      lastSent = c.Sent;
    }
  }
  for (auto& t : threads) t->Join();
  if (tty && FOptions.Progress) std::fprintf(ProgressOut, "\n");
  closePhase(MonotonicMicros());

  TLatencyHistogram all = histogram();
  Result.Total.Name = "total";
  Result.Total.Seconds = static_cast<double>(MonotonicMicros() - t0) / 1e6;
  Result.Total.Counts = counts();
  Result.Total.P50Micros = all.Percentile(0.5);
  Result.Total.P99Micros = all.Percentile(0.99);
  Result.Total.Samples = all.Count();

  std::ostringstream out;
  out << "gatesim churn: " << FOptions.Url << ", " << FOptions.Count << " players living "
      << FOptions.LifeMinSec << "-" << FOptions.LifeMaxSec << " s, " << FOptions.Rate
      << " messages/s each, " << FOptions.ArrivalRate << " arrivals/s living "
      << FOptions.ArrivalLifeMinSec << "-" << FOptions.ArrivalLifeMaxSec << " s\n";
  for (const TChurnPhase& p : Result.Phases) {
    out << ChurnPhaseLine(p, ("phase " + p.Name).c_str()) << "\n";
  }
  out << ChurnPhaseLine(Result.Total, "total") << "\n";
  // Always shown, as in "gatesim clients": the one figure that must be zero in any run.
  out << "misdelivered: " << Result.Total.Counts.Misdelivered
      << " (messages that reached another player than their own)\n";
  Result.Summary = out.str();
  return true;
}

}  // namespace gw
