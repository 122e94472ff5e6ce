// The system calls of the server links' sockets, one file per platform (LinkSocketLinux.cpp,
// LinkSocketWindows.cpp): connecting, moving bytes, the readiness wait and the socket errors.
// Sockets are non-blocking; no call here waits for the peer unless it says so.
// Error codes are the platform's own (errno on Linux, WSAGetLastError on Windows), as the
// links log them. Every function is safe from any thread on a handle the caller owns.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace gw {
class TLinkWake;
}  // namespace gw

// A namespace of their own: the transport has socket calls of the same names.
namespace gw::links {

// A socket (or, for the wake-up, any pollable handle): a descriptor on Linux, a SOCKET on
// Windows. kNoSocket is the invalid value on both.
using TSocketHandle = std::intptr_t;
inline constexpr TSocketHandle kNoSocket = -1;

// What a wait asks for (kPollIn, kPollOut) and reports (all four), the same bits everywhere.
inline constexpr short kPollIn = 0x001;
inline constexpr short kPollOut = 0x004;
inline constexpr short kPollErr = 0x008;
inline constexpr short kPollHup = 0x010;

struct TPollEntry {
  TSocketHandle Handle;
  short Events;
  short REvents;
};

// Readies the system's socket library (Windows Sockets); nothing on Linux. Once per process
// is enough, later calls cost nothing. The functions below that open sockets call it.
void StartSockets();

// Opens a non-blocking TCP connection to Host (name or dotted IPv4) and Port, asking for
// socket buffers of BufferRequest bytes before connecting. Waits until connected or failed;
// while it waits, a signalled Wake (drained here) makes it ask Aborted whether to give up.
// Returns the socket, or kNoSocket with the system's message in ErrorText.
TSocketHandle ConnectTcpSocket(const std::string& Host, int32_t Port, uint32_t BufferRequest,
                               TLinkWake* Wake, const std::function<bool()>& Aborted,
                               std::string& ErrorText);
// The usable size of the socket's send (Send true) or receive buffer; 0 when unknown.
uint32_t UsableSocketBufferSize(TSocketHandle Socket, bool Send);
void CloseSocketHandle(TSocketHandle Socket);

// The connected socket's local IPv4 address, dotted; empty when unknown.
std::string SocketLocalAddress(TSocketHandle Socket);
// How many bytes can be read without waiting. False when the query fails (LastSocketError).
bool SocketBytesWaiting(TSocketHandle Socket, int& Count);
// One receive, one peek and one send, none of them waiting; the result as the system's
// recv/send give it (-1 with LastSocketError on failure). A send to a closed connection
// fails with an error, never with a signal.
int64_t SocketRecv(TSocketHandle Socket, void* Data, size_t Size);
int64_t SocketPeek(TSocketHandle Socket, void* Data, size_t Size);
int64_t SocketSend(TSocketHandle Socket, const void* Data, size_t Size);
// Bytes handed to the socket that the peer has not acknowledged yet, in Count (0 unless
// counted). Uncounted where the system keeps no such count (Windows before 10 1703, wine).
enum class TUnacknowledged : uint8_t { uaCounted, uaUncounted, uaFailed };
TUnacknowledged SocketUnacknowledgedBytes(TSocketHandle Socket, int& Count);

// Waits until one of the entries is ready, for at most TimeoutMs (-1: no limit). Returns
// how many are ready, 0 at the time-out, -1 with LastSocketError on failure.
int PollSockets(TPollEntry* Entries, int Count, int TimeoutMs);
// The same with a finer time-out; where the system waits in whole milliseconds only, the
// time-out is rounded down (a wait shorter than one only looks).
int PollSocketsFor(TPollEntry* Entries, int Count, std::chrono::nanoseconds Timeout);

int LastSocketError();
std::string SocketErrorText(int Error);
// The call was cut short by a signal and may be repeated.
bool IsInterruptedError(int Error);
// The socket cannot take or give bytes now without waiting.
bool IsWouldBlockError(int Error);

}  // namespace gw::links
