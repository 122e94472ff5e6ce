#include "BotClients.h"

#include <charconv>
#include <cmath>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "EventPoller.h"
#include "ProcessProbe.h"
#include "SimSocket.h"
#include "SocketIo.h"

namespace gw {

namespace {

enum TRunPhase : int { rpRamp = 0, rpSending = 1, rpDraining = 2, rpFinish = 3 };

// State every runner thread shares with the coordinator.
struct TRunShared {
  TBotTotals Totals;
  std::atomic<int> Phase{rpRamp};
  std::atomic<uint64_t> SettledBots{0};  // in the game, or failed before getting there
  std::atomic<uint64_t> OpenBots{0};     // connections currently open
};

// One runner thread: its bots, its poller and its round-trip histogram.
class TBotThread {
 public:
  TBotThread(const TBotClientsOptions& Options, const TBotConfig& Base, const sockaddr_in& Addr,
             TRunShared& Shared)
      : FOptions(Options), FBase(Base), FAddr(Addr), FShared(Shared) {}
  ~TBotThread() {
    if (FThread.joinable()) FThread.join();
  }

  void AddBot(uint32_t Index, uint64_t StartAt) {
    TBotConfig cfg = FBase;
    cfg.Index = Index;
    FSlots.push_back(std::make_unique<TSlot>());
    FSlots.back()->StartAt = StartAt;
    FSlots.back()->Bot = std::make_unique<TBotClient>(cfg, FShared.Totals, FHistogram);
  }
  void Start() {
    FThread = std::thread([this] { Run(); });
  }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }
  uint64_t PendingProbes() const { return FPendingProbes.load(); }
  TLatencyHistogram Snapshot() {
    std::lock_guard<std::mutex> guard(FHistogramLock);
    return FHistogram;
  }

 private:
  struct TSlot {
    int Fd = -1;
    std::unique_ptr<TBotClient> Bot;
    std::string Out;
    size_t OutHead = 0;
    uint64_t StartAt = 0;
    uint64_t ConnectedAt = 0;
    bool Connecting = false;
    bool WantWrite = false;
    bool Started = false;
    bool Settled = false;
  };

  void Run();
  void StartBot(uint32_t I, uint64_t Now);
  void OnEvent(uint32_t I, uint32_t Events, uint64_t Now);
  void Flush(uint32_t I);
  void CloseSlot(uint32_t I);
  void Settle(TSlot& S) {
    if (!S.Settled) {
      S.Settled = true;
      FShared.SettledBots.fetch_add(1);
    }
  }

  const TBotClientsOptions& FOptions;
  TBotConfig FBase;
  sockaddr_in FAddr;
  TRunShared& FShared;
  std::vector<std::unique_ptr<TSlot>> FSlots;
  TEventPoller FPoller;
  std::thread FThread;
  std::mutex FHistogramLock;  // guards FHistogram (recorded by the bots of this thread)
  TLatencyHistogram FHistogram;
  std::atomic<uint64_t> FPendingProbes{0};
};

void TBotThread::StartBot(uint32_t I, uint64_t Now) {
  TSlot& s = *FSlots[I];
  s.Started = true;
  s.ConnectedAt = Now;
  int fd = OpenStreamSocket();
  if (fd < 0) {
    s.Bot->Fail(beConnect);
    Settle(s);
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
  if (!StartConnect(fd, FAddr)) {
    const int error = LastSocketError();
    SocketClose(fd);
    s.Bot->Fail(IsConnectionRefused(error) ? beRefused : beConnect);
    Settle(s);
    return;
  }
  s.Fd = fd;
  s.Connecting = true;
  FShared.OpenBots.fetch_add(1);
  FPoller.Add(fd, I, pfOut | pfIn);
}

void TBotThread::CloseSlot(uint32_t I) {
  TSlot& s = *FSlots[I];
  if (s.Fd < 0) return;
  FPoller.Remove(s.Fd);
  SocketClose(s.Fd);
  s.Fd = -1;
  s.Out.clear();
  s.OutHead = 0;
  FShared.OpenBots.fetch_sub(1);
  Settle(s);
}

void TBotThread::Flush(uint32_t I) {
  TSlot& s = *FSlots[I];
  if (s.Fd < 0) return;
  std::string error;
  if (SendPending(s.Fd, s.Out, s.OutHead, error) == TIoStatus::ioClosed) {
    s.Bot->OnClosed();
    CloseSlot(I);
    return;
  }
  bool want = !s.Out.empty();
  if (want != s.WantWrite) {
    s.WantWrite = want;
    FPoller.Modify(s.Fd, I, pfIn | (want ? uint32_t{pfOut} : 0u));
  }
}

void TBotThread::OnEvent(uint32_t I, uint32_t Events, uint64_t Now) {
  TSlot& s = *FSlots[I];
  if (s.Fd < 0) return;
  if (s.Connecting) {
    if (!(Events & (pfOut | pfErr | pfHup))) return;
    if (const int error = ConnectError(s.Fd); error != 0) {
      s.Bot->Fail(IsConnectionRefused(error) ? beRefused : beConnect);
      CloseSlot(I);
      return;
    }
    s.Connecting = false;
    s.WantWrite = true;  // the registration still asks for pfOut; Flush settles it
    s.Bot->OnConnected(s.Out);
    Flush(I);
    return;
  }
  if (Events & (pfIn | pfErr | pfHup)) {
    bool failed = false;
    auto onData = [&](std::string_view Chunk) {
      if (!s.Bot->OnBytes(Chunk, s.Out, Now)) {
        failed = true;
        return false;
      }
      if (s.Bot->Stage() == TBotClient::TStage::bsPlaying) Settle(s);
      return true;
    };
    std::string error;
    if (ReadAvailable(s.Fd, onData, error) == TIoStatus::ioClosed) {
      s.Bot->OnClosed();
      CloseSlot(I);
      return;
    }
    if (failed) {
      Flush(I);  // a close frame or the last reply may be waiting
      CloseSlot(I);
      return;
    }
  }
  Flush(I);
}

void TBotThread::Run() {
  const uint64_t loginTimeout = static_cast<uint64_t>(FOptions.LoginTimeoutSec * 1e6);
  uint32_t nextStart = 0;
  uint64_t lastSweep = 0;
  TPollEvent events[256];
  for (;;) {
    int phase = FShared.Phase.load();
    uint64_t now = MonotonicMicros();
    if (phase == rpFinish) break;
    while (nextStart < FSlots.size() && FSlots[nextStart]->StartAt <= now && phase < rpDraining) {
      StartBot(nextStart++, now);
    }
    int n = FPoller.Wait(events, 256, 1);
    now = MonotonicMicros();
    std::lock_guard<std::mutex> guard(FHistogramLock);
    for (int i = 0; i < n; ++i) {
      if (events[i].Tag != TEventPoller::kWakeTag) {
        OnEvent(static_cast<uint32_t>(events[i].Tag), events[i].Events, now);
      }
    }
    bool sending = phase == rpSending;
    for (uint32_t i = 0; i < FSlots.size(); ++i) {
      TSlot& s = *FSlots[i];
      if (s.Fd < 0 || s.Connecting) continue;
      size_t before = s.Out.size();
      s.Bot->OnTick(now, sending, FOptions.Rate, s.Out);
      if (s.Out.size() != before) Flush(i);
    }
    if (now - lastSweep >= 100000) {
      lastSweep = now;
      uint64_t pending = 0;
      for (uint32_t i = 0; i < FSlots.size(); ++i) {
        TSlot& s = *FSlots[i];
        pending += s.Bot->Pending();
        bool loggingIn = s.Started && s.Bot->Stage() != TBotClient::TStage::bsPlaying &&
                         s.Bot->Stage() != TBotClient::TStage::bsDone;
        if (loggingIn && now - s.ConnectedAt > loginTimeout) {
          s.Bot->Fail(beLoginTimeout);
          CloseSlot(i);
        }
      }
      FPendingProbes.store(pending);
    }
  }
  // The end of the run: unanswered probes are lost, every bot says goodbye.
  std::lock_guard<std::mutex> guard(FHistogramLock);
  for (uint32_t i = 0; i < FSlots.size(); ++i) {
    TSlot& s = *FSlots[i];
    if (!s.Started) {
      s.Bot->Fail(beLoginTimeout);
      continue;
    }
    s.Bot->Finish(s.Out);
    Flush(i);
    CloseSlot(i);
  }
}

std::string Ms(uint64_t Micros) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.2f ms", static_cast<double>(Micros) / 1000.0);
  return buf;
}

}  // namespace

bool ParseWsUrl(const std::string& Url, std::string& Host, uint16_t& Port, std::string& Path,
                std::string& Error) {
  std::string_view rest = Url;
  if (!rest.starts_with("ws://")) {
    Error = "only ws:// URLs are supported: " + Url;
    return false;
  }
  rest.remove_prefix(5);
  size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  Path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  size_t colon = authority.rfind(':');
  Port = 80;
  if (colon != std::string_view::npos) {
    std::string_view portText = authority.substr(colon + 1);
    unsigned value = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (ec != std::errc() || end != portText.data() + portText.size() || value == 0 ||
        value > 65535) {
      Error = "bad port in " + Url;
      return false;
    }
    Port = static_cast<uint16_t>(value);
    authority = authority.substr(0, colon);
  }
  Host = std::string(authority);
  if (Host.empty()) {
    Error = "no host in " + Url;
    return false;
  }
  return true;
}

TBotClients::TBotClients(TBotClientsOptions Options) : FOptions(std::move(Options)) {
  if (FOptions.Threads == 0) FOptions.Threads = 1;
  if (FOptions.ConnectRate <= 0) FOptions.ConnectRate = 1000;
}

bool TBotClients::Run(TBotClientsResult& Result, std::string& Error, FILE* ProgressOut) {
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
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(base.Port);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (!SocketStartup()) {
    Error = "sockets unavailable";
    return false;
  }
  if (getaddrinfo(base.Host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    Error = "cannot resolve " + base.Host;
    return false;
  }
  addr.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);

  if (!ReserveBotSockets(FOptions.Count, Error)) return false;

  TRunShared shared;
  std::vector<std::unique_ptr<TBotThread>> threads;
  for (uint32_t t = 0; t < FOptions.Threads; ++t) {
    threads.push_back(std::make_unique<TBotThread>(FOptions, base, addr, shared));
  }
  const uint64_t t0 = MonotonicMicros();
  const double connectGap = 1e6 / FOptions.ConnectRate;
  for (uint32_t i = 0; i < FOptions.Count; ++i) {
    threads[i % FOptions.Threads]->AddBot(i, t0 + static_cast<uint64_t>(i * connectGap));
  }
  for (auto& t : threads) t->Start();

  auto merged = [&] {
    TLatencyHistogram h;
    for (auto& t : threads) h.Merge(t->Snapshot());
    return h;
  };
  auto pendingProbes = [&] {
    uint64_t sum = 0;
    for (auto& t : threads) sum += t->PendingProbes();
    return sum;
  };
  const bool tty = ProgressOut != nullptr && IsTerminal(ProgressOut);
  const uint64_t lastStart = t0 + static_cast<uint64_t>(FOptions.Count * connectGap);
  const uint64_t rampEnd = lastStart + static_cast<uint64_t>(FOptions.LoginTimeoutSec * 1e6);
  uint64_t sendStart = 0;
  uint64_t sendEnd = 0;
  uint64_t drainStart = 0;
  uint64_t lastProgress = t0;
  uint64_t lastSent = 0;
  uint64_t lastEchoed = 0;
  TLatencyHistogram lastHistogram;
  TProcSample procStart;
  TProcSample procEnd;
  TProcSample selfStart;
  TProcSample selfEnd;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint64_t now = MonotonicMicros();
    int phase = shared.Phase.load();
    if (phase == rpRamp && (shared.SettledBots.load() >= FOptions.Count || now >= rampEnd)) {
      if (shared.Totals.InGame.load() == 0) {
        shared.Phase = rpFinish;
        break;
      }
      sendStart = now;
      procStart = SampleProcess(FOptions.WatchPid);
      selfStart = SampleProcess(OwnProcessId());
      shared.Phase = rpSending;
    } else if (phase == rpSending && now - sendStart >= FOptions.DurationSec * 1e6) {
      sendEnd = now;
      procEnd = SampleProcess(FOptions.WatchPid);
      selfEnd = SampleProcess(OwnProcessId());
      drainStart = now;
      shared.Phase = rpDraining;
    } else if (phase == rpDraining && (now - drainStart >= FOptions.DrainSec * 1e6 ||
                                       (now - drainStart > 200000 && pendingProbes() == 0))) {
      shared.Phase = rpFinish;
      break;
    }
    if (FOptions.Progress && ProgressOut != nullptr && now - lastProgress >= 1000000) {
      double dt = static_cast<double>(now - lastProgress) / 1e6;
      lastProgress = now;
      uint64_t sent = shared.Totals.Sent.load();
      uint64_t echoed = shared.Totals.Echoed.load();
      TLatencyHistogram all = merged();
      TLatencyHistogram h = all.Since(lastHistogram);
      lastHistogram = all;
      const char* phaseName[] = {"login", "play", "drain", "end"};
      char line[256];
      std::snprintf(line, sizeof(line),
                    "[%5.0fs %-5s] open %llu game %llu/%u sent %.0f/s echoed %.0f/s p50 %s "
                    "p99 %s errors %llu",
                    static_cast<double>(now - t0) / 1e6, phaseName[shared.Phase.load()],
                    static_cast<unsigned long long>(shared.OpenBots.load()),
                    static_cast<unsigned long long>(shared.Totals.InGame.load()), FOptions.Count,
                    static_cast<double>(sent - lastSent) / dt,
                    static_cast<double>(echoed - lastEchoed) / dt, Ms(h.Percentile(0.5)).c_str(),
                    Ms(h.Percentile(0.99)).c_str(),
                    static_cast<unsigned long long>(shared.Totals.ErrorTotal()));
      lastSent = sent;
      lastEchoed = echoed;
      if (tty) {
        std::fprintf(ProgressOut, "\r%s\033[K", line);
      } else if ((now - t0) / 1000000 % 5 == 0) {
        std::fprintf(ProgressOut, "%s\n", line);
      }
      std::fflush(ProgressOut);
    }
  }
  for (auto& t : threads) t->Join();
  if (tty && FOptions.Progress) std::fprintf(ProgressOut, "\n");

  const TBotTotals& tot = shared.Totals;
  TLatencyHistogram h = merged();
  Result.Bots = FOptions.Count;
  Result.Connected = tot.Connected.load();
  Result.InGame = tot.InGame.load();
  Result.Sent = tot.Sent.load();
  Result.Echoed = tot.Echoed.load();
  Result.Errors = tot.ErrorTotal();
  Result.Misdelivered = tot.Errors[beMisdelivered].load();
  Result.WindowSec = sendEnd > sendStart ? static_cast<double>(sendEnd - sendStart) / 1e6 : 0;
  Result.EchoedPerSec = Result.WindowSec > 0 ? Result.Echoed / Result.WindowSec : 0;
  Result.P50Micros = h.Percentile(0.5);
  Result.P99Micros = h.Percentile(0.99);
  Result.MaxMicros = h.Max();

  std::ostringstream out;
  out << "gatesim clients: " << FOptions.Url << ", " << FOptions.Count << " bots, " << FOptions.Rate
      << " messages/s each, " << FOptions.DurationSec << " s, " << FOptions.Threads << " threads\n";
  out << "connections: " << Result.Connected << " opened, " << tot.TokenPassed.load()
      << " passed the token check, " << Result.InGame << " handed over to the game\n";
  char line[256];
  std::snprintf(line, sizeof(line),
                "messages: %llu sent (%.1f/s), %llu echoed (%.1f/s) in %.1f s, %llu other\n",
                static_cast<unsigned long long>(Result.Sent),
                Result.WindowSec > 0 ? Result.Sent / Result.WindowSec : 0.0,
                static_cast<unsigned long long>(Result.Echoed), Result.EchoedPerSec,
                Result.WindowSec, static_cast<unsigned long long>(tot.Others.load()));
  out << line;
  out << "round trip: p50 " << Ms(Result.P50Micros) << ", p99 " << Ms(Result.P99Micros) << ", max "
      << Ms(Result.MaxMicros) << " (" << h.Count() << " samples)\n";
  out << "errors: " << Result.Errors;
  const char* sep = " (";
  for (int e = 0; e < beErrorCount; ++e) {
    uint64_t v = tot.Errors[e].load();
    if (v == 0) continue;
    out << sep << BotErrorName(static_cast<TBotError>(e)) << " " << v;
    sep = ", ";
  }
  out << (Result.Errors != 0 ? ")\n" : "\n");
  // Always shown: the one figure that must be zero whatever else a fault run tolerates.
  out << "misdelivered: " << tot.Errors[beMisdelivered].load()
      << " (messages that reached another bot than their own)\n";
  if (FOptions.WatchPid > 0 && procStart.Ok && procEnd.Ok && Result.WindowSec > 0) {
    double cpu = (procEnd.CpuSec - procStart.CpuSec) / Result.WindowSec * 100.0;
    std::snprintf(line, sizeof(line),
                  "gateway (pid %d): CPU %.1f%% of one core while sending, resident %.1f MiB at "
                  "start and %.1f MiB at end of sending\n",
                  FOptions.WatchPid, cpu, procStart.RssKiB / 1024.0, procEnd.RssKiB / 1024.0);
    out << line;
  }
  if (selfStart.Ok && selfEnd.Ok && Result.WindowSec > 0) {
    double cpu = (selfEnd.CpuSec - selfStart.CpuSec) / Result.WindowSec * 100.0;
    std::snprintf(line, sizeof(line), "load generator: CPU %.1f%% of one core while sending\n",
                  cpu);
    out << line;
  }
  Result.Summary = out.str();
  return true;
}

}  // namespace gw
