#include "bench/net/LoadClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

namespace gw::bench {

namespace {

constexpr uint8_t kMask[4] = {0x12, 0x34, 0x56, 0x78};

uint64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

bool WaitFd(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

// Connects (and upgrades); returns a non-blocking socket or -1 with `error` set.
int OpenConnection(const TLoadOptions& o, std::string& error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string port = std::to_string(o.Port);
  if (getaddrinfo(o.Host.c_str(), port.c_str(), &hints, &list) != 0 || list == nullptr) {
    error = "cannot resolve " + o.Host;
    return -1;
  }
  int fd = ::socket(list->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, list->ai_addr, list->ai_addrlen) != 0) {
    error = std::string("connect: ") + std::strerror(errno);
    freeaddrinfo(list);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  freeaddrinfo(list);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (o.WebSocket) {
    std::string request = "GET / HTTP/1.1\r\nHost: " + o.Host +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
      error = "cannot send the upgrade request";
      ::close(fd);
      return -1;
    }
    // The server sends nothing after its 101 until we speak, so reading whatever has
    // arrived cannot swallow a frame.
    std::string reply;
    char buf[1024];
    while (reply.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = WaitFd(fd, POLLIN, 10000) ? ::recv(fd, buf, sizeof(buf), 0) : -1;
      if (n <= 0 || reply.size() > 16384) {
        error = "no upgrade reply";
        ::close(fd);
        return -1;
      }
      reply.append(buf, static_cast<size_t>(n));
    }
    if (reply.compare(0, 12, "HTTP/1.1 101") != 0) {
      error = "upgrade refused: " + reply.substr(0, reply.find('\r'));
      ::close(fd);
      return -1;
    }
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

struct TConnection {
  int Fd = -1;
  std::vector<uint8_t> In;
  size_t InHead = 0;
  std::vector<uint8_t> Out;
  bool WantOut = false;
  bool Dead = false;
};

class TWorker {
 public:
  TWorker(const TLoadOptions& o, std::vector<int> fds, const std::atomic<bool>& stop,
          uint64_t windowStart, uint64_t windowEnd)
      : FOptions(o), FStop(stop), FWindowStart(windowStart), FWindowEnd(windowEnd) {
    for (int fd : fds) {
      auto c = std::make_unique<TConnection>();
      c->Fd = fd;
      FConnections.push_back(std::move(c));
    }
  }

  void Run() {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (auto& c : FConnections) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = c.get();
      epoll_ctl(ep, EPOLL_CTL_ADD, c->Fd, &ev);
      for (int i = 0; i < FOptions.InFlight; ++i) AppendMessage(*c);
      Flush(ep, *c);
    }
    epoll_event events[512];
    std::vector<uint8_t> buffer(1 << 16);
    while (!FStop.load(std::memory_order_relaxed)) {
      int n = epoll_wait(ep, events, 512, 50);
      for (int i = 0; i < n; ++i) {
        auto* c = static_cast<TConnection*>(events[i].data.ptr);
        if (c->Dead) continue;
        if (events[i].events & EPOLLOUT) Flush(ep, *c);
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
          for (;;) {
            ssize_t r = ::recv(c->Fd, buffer.data(), buffer.size(), 0);
            if (r > 0) {
              c->In.insert(c->In.end(), buffer.data(), buffer.data() + r);
              if (static_cast<size_t>(r) < buffer.size()) break;
              continue;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            Kill(ep, *c);
            break;
          }
          if (c->Dead) continue;
          Consume(*c);
          Flush(ep, *c);
        }
      }
    }
    for (auto& c : FConnections) {
      if (c->Fd >= 0) ::close(c->Fd);
    }
    ::close(ep);
  }

  std::vector<uint32_t> Rtts;  // nanoseconds, capped
  uint64_t Messages = 0;
  int Errors = 0;

 private:
  void AppendMessage(TConnection& c) {
    size_t size = static_cast<size_t>(FOptions.MessageSize);
    uint8_t payload[8];
    uint64_t now = NowNs();
    std::memcpy(payload, &now, 8);
    if (!FOptions.WebSocket) {
      size_t at = c.Out.size();
      c.Out.resize(at + size, 0x5A);
      std::memcpy(c.Out.data() + at, payload, 8);
      return;
    }
    c.Out.push_back(0x82);
    if (size <= 125) {
      c.Out.push_back(static_cast<uint8_t>(0x80 | size));
    } else if (size <= 0xFFFF) {
      c.Out.push_back(0x80 | 126);
      c.Out.push_back(static_cast<uint8_t>(size >> 8));
      c.Out.push_back(static_cast<uint8_t>(size));
    } else {
      c.Out.push_back(0x80 | 127);
      for (int i = 7; i >= 0; --i) c.Out.push_back(static_cast<uint8_t>(uint64_t{size} >> (8 * i)));
    }
    c.Out.insert(c.Out.end(), kMask, kMask + 4);
    for (size_t i = 0; i < size; ++i) {
      uint8_t b = i < 8 ? payload[i] : 0x5A;
      c.Out.push_back(b ^ kMask[i & 3]);
    }
  }

  void Record(const uint8_t* payload) {
    uint64_t sent;
    std::memcpy(&sent, payload, 8);
    uint64_t now = NowNs();
    if (now < FWindowStart || now > FWindowEnd) return;
    ++Messages;
    uint64_t rtt = now - sent;
    Rtts.push_back(static_cast<uint32_t>(std::min<uint64_t>(rtt, UINT32_MAX)));
  }

  void Consume(TConnection& c) {
    size_t size = static_cast<size_t>(FOptions.MessageSize);
    for (;;) {
      size_t avail = c.In.size() - c.InHead;
      const uint8_t* p = c.In.data() + c.InHead;
      if (!FOptions.WebSocket) {
        if (avail < size) break;
        Record(p);
        c.InHead += size;
      } else {
        if (avail < 2) break;
        uint64_t len = p[1] & 0x7F;
        size_t head = 2;
        if (len == 126) {
          if (avail < 4) break;
          len = (uint64_t{p[2]} << 8) | p[3];
          head = 4;
        } else if (len == 127) {
          if (avail < 10) break;
          len = 0;
          for (int i = 0; i < 8; ++i) len = (len << 8) | p[2 + i];
          head = 10;
        }
        if (avail < head + len) break;
        if ((p[0] & 0x0F) == 2 && len >= 8) Record(p + head);
        c.InHead += head + static_cast<size_t>(len);
      }
      AppendMessage(c);
    }
    if (c.InHead == c.In.size()) {
      c.In.clear();
      c.InHead = 0;
    } else if (c.InHead > (1 << 16)) {
      c.In.erase(c.In.begin(), c.In.begin() + static_cast<long>(c.InHead));
      c.InHead = 0;
    }
  }

  void Flush(int ep, TConnection& c) {
    size_t done = 0;
    while (done < c.Out.size()) {
      ssize_t w = ::send(c.Fd, c.Out.data() + done, c.Out.size() - done, MSG_NOSIGNAL);
      if (w > 0) {
        done += static_cast<size_t>(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      Kill(ep, c);
      return;
    }
    c.Out.erase(c.Out.begin(), c.Out.begin() + static_cast<long>(done));
    bool want = !c.Out.empty();
    if (want != c.WantOut) {
      epoll_event ev{};
      ev.events = EPOLLIN | (want ? static_cast<uint32_t>(EPOLLOUT) : 0u);
      ev.data.ptr = &c;
      epoll_ctl(ep, EPOLL_CTL_MOD, c.Fd, &ev);
      c.WantOut = want;
    }
  }

  void Kill(int ep, TConnection& c) {
    if (c.Dead) return;
    c.Dead = true;
    ++Errors;
    epoll_ctl(ep, EPOLL_CTL_DEL, c.Fd, nullptr);
    ::close(c.Fd);
    c.Fd = -1;
  }

  const TLoadOptions& FOptions;
  const std::atomic<bool>& FStop;
  const uint64_t FWindowStart, FWindowEnd;
  std::vector<std::unique_ptr<TConnection>> FConnections;
};

double Percentile(std::vector<uint32_t>& v, double q) {
  if (v.empty()) return 0;
  size_t k = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k] / 1000.0;
}

}  // namespace

long ProcessRssKb(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

bool TLoadClient::RunIdle(TLoadResult& result, std::string& error) {
  result.RssBeforeKb = ProcessRssKb(FOptions.ServerPid);
  std::vector<int> fds;
  fds.reserve(static_cast<size_t>(FOptions.Connections));
  bool ok = true;
  for (int i = 0; i < FOptions.Connections; ++i) {
    int fd = OpenConnection(FOptions, error);
    if (fd < 0) {
      error = "connection " + std::to_string(i) + ": " + error;
      ok = false;
      break;
    }
    fds.push_back(fd);
  }
  if (ok) {
    std::this_thread::sleep_for(std::chrono::seconds(1));  // let the server settle
    result.RssAfterKb = ProcessRssKb(FOptions.ServerPid);
    result.BytesPerConnection =
        static_cast<double>(result.RssAfterKb - result.RssBeforeKb) * 1024.0 / FOptions.Connections;
  }
  for (int fd : fds) ::close(fd);
  return ok;
}

bool TLoadClient::Run(TLoadResult& result, std::string& error) {
  if (FOptions.Idle) return RunIdle(result, error);
  if (FOptions.MessageSize < 8) {
    error = "message size must be at least 8 bytes";
    return false;
  }
  int threads = std::max(1, std::min(FOptions.Threads, FOptions.Connections));
  std::vector<std::vector<int>> groups(static_cast<size_t>(threads));
  for (int i = 0; i < FOptions.Connections; ++i) {
    int fd = OpenConnection(FOptions, error);
    if (fd < 0) {
      for (auto& g : groups) {
        for (int f : g) ::close(f);
      }
      error = "connection " + std::to_string(i) + ": " + error;
      return false;
    }
    groups[static_cast<size_t>(i % threads)].push_back(fd);
  }
  std::atomic<bool> stop{false};
  uint64_t start = NowNs();
  uint64_t windowStart = start + static_cast<uint64_t>(FOptions.WarmupSeconds * 1e9);
  uint64_t windowEnd = windowStart + static_cast<uint64_t>(FOptions.Seconds * 1e9);
  std::vector<std::unique_ptr<TWorker>> workers;
  std::vector<std::thread> running;
  for (auto& g : groups) {
    workers.push_back(std::make_unique<TWorker>(FOptions, g, stop, windowStart, windowEnd));
  }
  for (auto& w : workers) running.emplace_back([&w] { w->Run(); });
  std::this_thread::sleep_for(std::chrono::nanoseconds(static_cast<int64_t>(windowEnd - NowNs())));
  stop.store(true);
  for (auto& t : running) t.join();
  std::vector<uint32_t> all;
  for (auto& w : workers) {
    result.Messages += w->Messages;
    result.Errors += w->Errors;
    all.insert(all.end(), w->Rtts.begin(), w->Rtts.end());
  }
  result.Seconds = FOptions.Seconds;
  result.MessagesPerSecond = static_cast<double>(result.Messages) / FOptions.Seconds;
  result.P50Us = Percentile(all, 0.50);
  result.P99Us = Percentile(all, 0.99);
  result.MaxUs = all.empty() ? 0 : *std::max_element(all.begin(), all.end()) / 1000.0;
  return true;
}

}  // namespace gw::bench
