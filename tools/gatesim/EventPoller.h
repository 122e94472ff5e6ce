// Readiness of one thread's sockets, and a wake-up another thread can send it: epoll and an
// eventfd on Linux, WSAPoll over the registered sockets and a loopback UDP pair on Windows
// (the pair, because wine has no AF_UNIX sockets).
//
// Interest is level-triggered. pfEdge asks for edge-triggered readiness: native on Linux; on
// Windows, where WSAPoll has no edges, write readiness is then reported once and asked for
// again by WantWriteAgain (readiness to read stays level-triggered there, which a caller that
// reads until the socket would block cannot tell apart).
//
// Thread safety: Add, Modify, Remove and Wait on the owning thread only; Wake from any thread.
#pragma once

#include <cstdint>
#include <memory>

namespace gw {

// Readiness bits, of the values epoll uses (the Linux build hands them through unchanged).
inline constexpr uint32_t pfIn = 0x001;
inline constexpr uint32_t pfOut = 0x004;
inline constexpr uint32_t pfErr = 0x008;
inline constexpr uint32_t pfHup = 0x010;
inline constexpr uint32_t pfRdHup = 0x2000;
inline constexpr uint32_t pfEdge = 1u << 31;

struct TPollEvent {
  uint64_t Tag = 0;
  uint32_t Events = 0;
};

class TEventPoller {
 public:
  // The tag of the event that reports a Wake (already consumed when Wait returns it).
  static constexpr uint64_t kWakeTag = ~uint64_t{0};

  TEventPoller();
  ~TEventPoller();
  TEventPoller(const TEventPoller&) = delete;
  TEventPoller& operator=(const TEventPoller&) = delete;

  // False when the system refused the poller or its wake-up (nothing else then works).
  bool Ok() const;
  void Add(int Fd, uint64_t Tag, uint32_t Events);
  void Modify(int Fd, uint64_t Tag, uint32_t Events);
  void Remove(int Fd);
  // For a pfEdge socket whose send would block: report its write readiness once more.
  void WantWriteAgain(int Fd);
  // Up to Max ready sockets, waiting at most TimeoutMs for the first; 0 on time-out.
  int Wait(TPollEvent* Events, int Max, int TimeoutMs);
  void Wake();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace gw
