// TIocpOperation: one overlapped operation in flight on an I/O thread's completion port
// (Windows only). Each kind of operation (accept, zero-length receive, send) is a record
// deriving from it, allocated when posted and holding what it works on (the connection or
// listener, the socket, the bytes), so nothing it touches goes away before its completion.
// The port hands the OVERLAPPED back; it is the record's first member.
//
// Thread safety: a record belongs to whoever posted it until the post succeeds, then to
// the completion.
#pragma once

// winsock2.h before windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <cstdint>

namespace gw {

class TIoEventThread;

struct TIocpOperation {
  OVERLAPPED Overlapped{};
  // Runs once and frees the record: on the I/O thread that took the completion, or, with
  // `abandoned`, on the thread ending the engine (release only, no handler runs then).
  // `error` is 0 on success, else the system's code (ERROR_OPERATION_ABORTED once the
  // socket was closed or the operation cancelled).
  void (*Complete)(TIocpOperation* operation, DWORD bytes, DWORD error, TIoEventThread& thread,
                   bool abandoned) = nullptr;
};

// The HANDLE of a socket kept as an int.
inline HANDLE SocketHandle(int socket) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(static_cast<unsigned>(socket)));
}

// The outcome of a completed operation, as a system error code (0: success).
inline DWORD OperationError(const TIocpOperation& operation) {
  const auto status = static_cast<uint32_t>(operation.Overlapped.Internal);
  if (status == 0) return 0;
  if (status == 0xC0000120u) return ERROR_OPERATION_ABORTED;  // STATUS_CANCELLED
  return status;
}

}  // namespace gw
