#include "bench/net/LoadClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
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
#include <mutex>
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

// The client side of every TLS connection: no verification (the server's work is
// measured), no session resumption (every handshake is a full one, as for new players).
SSL_CTX* ClientTlsContext() {
  static SSL_CTX* context = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return c;
  }();
  return context;
}

// One connection's byte stream, in the clear or through TLS; blocking or not as the
// socket is. Read/Write return >0, 0 for "try again later", -1 for the end or a failure.
struct TStream {
  int Fd = -1;
  SSL* Ssl = nullptr;

  ssize_t Read(uint8_t* buf, size_t size) {
    if (Ssl == nullptr) {
      ssize_t n = ::recv(Fd, buf, size, 0);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
      return n == 0 ? -1 : n;
    }
    int n = SSL_read(Ssl, buf, static_cast<int>(size));
    if (n > 0) return n;
    int e = SSL_get_error(Ssl, n);
    return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? 0 : -1;
  }
  ssize_t Write(const uint8_t* buf, size_t size) {
    if (Ssl == nullptr) {
      ssize_t n = ::send(Fd, buf, size, MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
      return n;
    }
    int n = SSL_write(Ssl, buf, static_cast<int>(size));
    if (n > 0) return n;
    int e = SSL_get_error(Ssl, n);
    return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? 0 : -1;
  }
  bool Pending() const { return Ssl != nullptr && SSL_pending(Ssl) > 0; }
  void Close(bool reset = false) {
    if (reset && Fd >= 0) {
      linger hard{1, 0};  // no TIME_WAIT left behind by thousands of short connections
      setsockopt(Fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    }
    if (Ssl != nullptr) SSL_free(Ssl);
    if (Fd >= 0) ::close(Fd);
    Ssl = nullptr;
    Fd = -1;
  }
};

// Connects (TLS, and upgrades); returns a non-blocking stream (Fd -1 with `error` set).
TStream OpenConnection(const TLoadOptions& o, std::string& error) {
  TStream stream;
  auto fail = [&](std::string why) {
    error = std::move(why);
    stream.Close();
    return TStream{};
  };
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string port = std::to_string(o.Port);
  if (getaddrinfo(o.Host.c_str(), port.c_str(), &hints, &list) != 0 || list == nullptr) {
    return fail("cannot resolve " + o.Host);
  }
  stream.Fd = ::socket(list->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (stream.Fd < 0 || ::connect(stream.Fd, list->ai_addr, list->ai_addrlen) != 0) {
    freeaddrinfo(list);
    return fail(std::string("connect: ") + std::strerror(errno));
  }
  freeaddrinfo(list);
  int one = 1;
  setsockopt(stream.Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (o.Tls) {
    stream.Ssl = SSL_new(ClientTlsContext());
    if (stream.Ssl == nullptr) return fail("SSL_new failed");
    SSL_set_fd(stream.Ssl, stream.Fd);
    static const unsigned char kAlpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    SSL_set_alpn_protos(stream.Ssl, kAlpn, sizeof(kAlpn));
    if (SSL_connect(stream.Ssl) != 1) return fail("TLS handshake failed");
  }
  if (o.WebSocket) {
    std::string request = "GET / HTTP/1.1\r\nHost: " + o.Host +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n";
    if (stream.Write(reinterpret_cast<const uint8_t*>(request.data()), request.size()) !=
        static_cast<ssize_t>(request.size())) {
      return fail("cannot send the upgrade request");
    }
    // The server sends nothing after its 101 until we speak, so reading whatever has
    // arrived cannot swallow a frame.
    std::string reply;
    uint8_t buf[1024];
    while (reply.find("\r\n\r\n") == std::string::npos) {
      ssize_t n =
          stream.Pending() || WaitFd(stream.Fd, POLLIN, 10000) ? stream.Read(buf, sizeof(buf)) : -1;
      if (n < 0 || reply.size() > 16384) return fail("no upgrade reply");
      reply.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
    }
    if (reply.compare(0, 12, "HTTP/1.1 101") != 0) {
      return fail("upgrade refused: " + reply.substr(0, reply.find('\r')));
    }
  }
  fcntl(stream.Fd, F_SETFL, fcntl(stream.Fd, F_GETFL) | O_NONBLOCK);
  return stream;
}

struct TConnection {
  TStream Stream;
  std::vector<uint8_t> In;
  size_t InHead = 0;
  std::vector<uint8_t> Out;
  bool WantOut = false;
  bool Dead = false;
};

class TWorker {
 public:
  TWorker(const TLoadOptions& o, std::vector<TStream> streams, const std::atomic<bool>& stop,
          uint64_t windowStart, uint64_t windowEnd)
      : FOptions(o), FStop(stop), FWindowStart(windowStart), FWindowEnd(windowEnd) {
    for (TStream& stream : streams) {
      auto c = std::make_unique<TConnection>();
      c->Stream = stream;
      FConnections.push_back(std::move(c));
    }
  }

  void Run() {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (auto& c : FConnections) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = c.get();
      epoll_ctl(ep, EPOLL_CTL_ADD, c->Stream.Fd, &ev);
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
            ssize_t r = c->Stream.Read(buffer.data(), buffer.size());
            if (r > 0) {
              c->In.insert(c->In.end(), buffer.data(), buffer.data() + r);
              if (static_cast<size_t>(r) < buffer.size() && !c->Stream.Pending()) break;
              continue;
            }
            if (r == 0) break;
            Kill(ep, *c);
            break;
          }
          if (c->Dead) continue;
          Consume(*c);
          Flush(ep, *c);
        }
      }
    }
    for (auto& c : FConnections) c->Stream.Close();
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
      ssize_t w = c.Stream.Write(c.Out.data() + done, c.Out.size() - done);
      if (w > 0) {
        done += static_cast<size_t>(w);
        continue;
      }
      if (w == 0) break;
      Kill(ep, c);
      return;
    }
    c.Out.erase(c.Out.begin(), c.Out.begin() + static_cast<long>(done));
    bool want = !c.Out.empty();
    if (want != c.WantOut) {
      epoll_event ev{};
      ev.events = EPOLLIN | (want ? static_cast<uint32_t>(EPOLLOUT) : 0u);
      ev.data.ptr = &c;
      epoll_ctl(ep, EPOLL_CTL_MOD, c.Stream.Fd, &ev);
      c.WantOut = want;
    }
  }

  void Kill(int ep, TConnection& c) {
    if (c.Dead) return;
    c.Dead = true;
    ++Errors;
    epoll_ctl(ep, EPOLL_CTL_DEL, c.Stream.Fd, nullptr);
    c.Stream.Close();
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
  std::vector<TStream> streams;
  streams.reserve(static_cast<size_t>(FOptions.Connections));
  bool ok = true;
  for (int i = 0; i < FOptions.Connections; ++i) {
    TStream stream = OpenConnection(FOptions, error);
    if (stream.Fd < 0) {
      error = "connection " + std::to_string(i) + ": " + error;
      ok = false;
      break;
    }
    streams.push_back(stream);
  }
  if (ok) {
    std::this_thread::sleep_for(std::chrono::seconds(1));  // let the server settle
    result.RssAfterKb = ProcessRssKb(FOptions.ServerPid);
    result.BytesPerConnection =
        static_cast<double>(result.RssAfterKb - result.RssBeforeKb) * 1024.0 / FOptions.Connections;
  }
  for (TStream& stream : streams) stream.Close();
  return ok;
}

bool TLoadClient::RunHandshakes(TLoadResult& result, std::string& error) {
  // Each thread opens, upgrades and resets one connection after the other; counted are
  // the handshakes completed inside the measured window.
  int threads = std::max(1, FOptions.Threads);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> done{0};
  std::atomic<int> failures{0};
  std::mutex errorLock;
  uint64_t windowStart = NowNs() + static_cast<uint64_t>(FOptions.WarmupSeconds * 1e9);
  uint64_t windowEnd = windowStart + static_cast<uint64_t>(FOptions.Seconds * 1e9);
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        std::string why;
        TStream stream = OpenConnection(FOptions, why);
        if (stream.Fd < 0) {
          failures.fetch_add(1);
          std::lock_guard<std::mutex> guard(errorLock);
          error = why;
          continue;
        }
        uint64_t now = NowNs();
        if (now >= windowStart && now <= windowEnd) done.fetch_add(1);
        stream.Close(true);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::nanoseconds(static_cast<int64_t>(windowEnd - NowNs())));
  stop.store(true);
  for (auto& t : running) t.join();
  result.Handshakes = done.load();
  result.Seconds = FOptions.Seconds;
  result.HandshakesPerSecond = static_cast<double>(result.Handshakes) / FOptions.Seconds;
  result.Errors = failures.load();
  if (result.Handshakes == 0 && error.empty()) error = "no handshake completed";
  return result.Handshakes > 0;
}

bool TLoadClient::Run(TLoadResult& result, std::string& error) {
  if (FOptions.Idle) return RunIdle(result, error);
  if (FOptions.Handshakes) return RunHandshakes(result, error);
  if (FOptions.MessageSize < 8) {
    error = "message size must be at least 8 bytes";
    return false;
  }
  int threads = std::max(1, std::min(FOptions.Threads, FOptions.Connections));
  std::vector<std::vector<TStream>> groups(static_cast<size_t>(threads));
  for (int i = 0; i < FOptions.Connections; ++i) {
    TStream fd = OpenConnection(FOptions, error);
    if (fd.Fd < 0) {
      for (auto& g : groups) {
        for (TStream& f : g) f.Close();
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
