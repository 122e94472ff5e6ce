// A small TCP server on a thread of its own, the base of the simulated upstream servers: it
// accepts connections, collects what each sends, hands the bytes to the subclass, buffers what
// the subclass sends back and calls a timer every 100 ms. Transport faults (TSimFaults) make it
// misbehave as a stalled, slow or flaky server would.
//
// Start and Stop run on the owner's thread; Post is safe from any thread. Every virtual hook and
// Send/CloseConnection run on the server's own thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "EventPoller.h"
#include "SimLog.h"

namespace gw {

// Transport faults, applied to every connection.
struct TSimFaults {
  int64_t StopReadingAfterMs = -1;  // a connection is no longer read this long after it opened
  uint32_t ReadBytesPerSec = 0;     // read at most this fast (0: as fast as bytes come)
  uint32_t DropEveryMs = 0;         // a connection is closed this long after it opened (0: never)
};

class TSimTcpServer {
 public:
  using TConnId = uint64_t;

  TSimTcpServer(std::string Name, TSimLog& Log);
  virtual ~TSimTcpServer();
  TSimTcpServer(const TSimTcpServer&) = delete;
  TSimTcpServer& operator=(const TSimTcpServer&) = delete;

  // Listens on Addr:Port (port 0: an ephemeral one) and starts the thread. False with a reason
  // in Error when the address cannot be bound.
  bool Start(const std::string& Addr, uint16_t Port, std::string& Error);
  // Stops the thread and closes every connection. Subclasses call it from their destructor so
  // that no hook runs on a half-destroyed object.
  void Stop();
  uint16_t Port() const { return FPort; }
  const std::string& Name() const { return FName; }

  // Runs Fn on the server's thread at its next turn. Safe from any thread.
  void Post(std::function<void()> Fn);
  // Call before Start.
  void SetFaults(const TSimFaults& Faults) { FFaults = Faults; }
  // Stops or resumes reading every connection, present and future. Safe from any thread.
  void SetReading(bool On);
  // Connections dropped by DropEveryMs so far. Safe from any thread.
  uint64_t FaultDrops() const { return FFaultDrops.load(); }
  // The server's counters in one line, for its summary when it stops. Safe from any thread.
  virtual std::string Stats() const { return {}; }

 protected:
  virtual void OnOpen(TConnId Conn, const std::string& Peer) = 0;
  // Bytes received so far and not yet consumed; returns how many were consumed. Bytes left over
  // are offered again with the next arrival.
  virtual size_t OnReceive(TConnId Conn, std::string_view Data) = 0;
  virtual void OnClose(TConnId Conn) = 0;
  virtual void OnTimer() {}

  // Server thread only. Send queues the bytes; they go out at the end of the current turn.
  void Send(TConnId Conn, std::string_view Bytes);
  void CloseConnection(TConnId Conn, const std::string& Why);
  std::vector<TConnId> Connections() const;

  TSimLog& Log() { return FLog; }

 private:
  struct TConn {
    int Fd = -1;
    std::string In;
    std::string Out;
    size_t OutHead = 0;
    bool WantWrite = false;
    bool Closing = false;
    bool Dirty = false;   // holds output not yet offered to the socket
    bool Reading = true;  // false once StopReadingAfterMs passed
    uint64_t OpenedMs = 0;
    uint64_t ReadBudget = 0;  // bytes it may still read under ReadBytesPerSec
  };

  void Run();
  void Accept();
  void ReadFrom(TConnId Id);
  void Flush(TConnId Id);
  void UpdateInterest(TConnId Id, TConn& C);
  void RunPosted();
  void Remove(TConnId Id);
  void ApplyFaults();
  bool WantsRead(const TConn& C) const {
    return C.Reading && FReadingOn && FFaults.ReadBytesPerSec == 0;
  }

  std::string FName;
  TSimLog& FLog;
  int FListenFd = -1;
  TEventPoller FPoller;
  uint16_t FPort = 0;
  std::thread FThread;
  std::atomic<bool> FRunning{false};
  TSimFaults FFaults;
  std::atomic<uint64_t> FFaultDrops{0};
  bool FReadingOn = true;  // server thread only (SetReading posts)

  std::mutex FPostedLock;  // guards FPosted
  std::vector<std::function<void()>> FPosted;

  // Server thread only.
  std::map<TConnId, TConn> FConns;
  TConnId FNextId = 1;
  std::vector<TConnId> FToRemove;
  std::vector<TConnId> FDirty;
};

}  // namespace gw
