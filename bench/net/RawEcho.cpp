// raw-echo: a raw TCP echo server with N I/O threads in one of two epoll models, the
// baseline the WebSocket echo is measured against and the comparison behind the
// transport's choice of model:
//   perthread: every thread owns an epoll instance, connections are pinned to one
//              (edge-triggered, no system call to re-arm a read);
//   oneshot:   all threads wait on one shared instance, each connection registered
//              with EPOLLONESHOT and re-armed (epoll_ctl) after every drain.
// Each drain reads into the thread's 32 KiB buffer and writes the bytes back.
//
// Usage: raw-echo <port> [--mode perthread|oneshot] [--threads N]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kBufferSize = 32768;

struct TConn {
  int Fd;
  std::vector<uint8_t> Pending;  // bytes the socket did not take yet
};

int gListen = -1;
bool gOneShot = false;
std::vector<int> gEpolls;

void Register(int ep, TConn* c, uint32_t extra, int op) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | extra;
  ev.data.ptr = c;
  epoll_ctl(ep, op, c->Fd, &ev);
}

// Writes what it can; true when the connection must close.
bool WriteOut(TConn* c, const uint8_t* data, size_t size) {
  if (!c->Pending.empty()) {
    c->Pending.insert(c->Pending.end(), data, data + size);
    data = c->Pending.data();
    size = c->Pending.size();
  }
  size_t done = 0;
  while (done < size) {
    ssize_t w = ::send(c->Fd, data + done, size - done, MSG_NOSIGNAL);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return true;
  }
  std::vector<uint8_t> rest(data + done, data + size);
  c->Pending.swap(rest);
  return false;
}

void Accept(unsigned& next) {
  for (;;) {
    int fd = ::accept4(gListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto* c = new TConn{fd, {}};
    if (gOneShot) {
      Register(gEpolls[0], c, EPOLLONESHOT | EPOLLOUT, EPOLL_CTL_ADD);
    } else {
      Register(gEpolls[next++ % gEpolls.size()], c, EPOLLET | EPOLLOUT, EPOLL_CTL_ADD);
    }
  }
}

void Loop(int ep) {
  std::vector<uint8_t> buffer(kBufferSize);
  epoll_event events[256];
  unsigned next = 0;
  for (;;) {
    int n = epoll_wait(ep, events, 256, -1);
    for (int i = 0; i < n; ++i) {
      if (events[i].data.ptr == nullptr) {
        Accept(next);
        continue;
      }
      auto* c = static_cast<TConn*>(events[i].data.ptr);
      bool close = false;
      if ((events[i].events & EPOLLOUT) && !c->Pending.empty()) close = WriteOut(c, nullptr, 0);
      for (;;) {
        if (close) break;
        ssize_t r = ::recv(c->Fd, buffer.data(), buffer.size(), 0);
        if (r > 0) {
          close = WriteOut(c, buffer.data(), static_cast<size_t>(r));
          if (static_cast<size_t>(r) < buffer.size()) break;
          continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        close = true;
      }
      if (close) {
        ::close(c->Fd);
        delete c;
      } else if (gOneShot) {
        Register(ep, c, EPOLLONESHOT | (c->Pending.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT)),
                 EPOLL_CTL_MOD);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: raw-echo <port> [--mode perthread|oneshot] [--threads N]\n");
    return 2;
  }
  int port = std::atoi(argv[1]);
  int threads = 8;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mode") == 0) gOneShot = std::strcmp(argv[i + 1], "oneshot") == 0;
    if (std::strcmp(argv[i], "--threads") == 0) threads = std::atoi(argv[i + 1]);
  }
  gListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(gListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(gListen, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      ::listen(gListen, SOMAXCONN) != 0) {
    std::perror("raw-echo: bind");
    return 1;
  }
  socklen_t len = sizeof(a);
  getsockname(gListen, reinterpret_cast<sockaddr*>(&a), &len);
  int epolls = gOneShot ? 1 : threads;
  for (int i = 0; i < epolls; ++i) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN | (gOneShot ? 0u : static_cast<uint32_t>(EPOLLEXCLUSIVE));
    ev.data.ptr = nullptr;
    epoll_ctl(ep, EPOLL_CTL_ADD, gListen, &ev);
    gEpolls.push_back(ep);
  }
  std::printf("listening on %u\n", ntohs(a.sin_port));
  std::fflush(stdout);
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i)
    pool.emplace_back(Loop, gEpolls[static_cast<size_t>(i % epolls)]);
  for (auto& t : pool) t.join();
  return 0;
}
