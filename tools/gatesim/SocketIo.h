// Non-blocking socket reads and writes shared by the simulated servers and the bot runner:
// write what is pending until the socket would block, read until it would block. Safe from any
// thread for distinct sockets and buffers.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace gw {

enum class TIoStatus { ioOpen, ioClosed };

// Sends Out from Head on until everything went or the socket would block; advances Head and
// empties Out once it is all sent. ioClosed (with the reason in Error) when sending failed.
TIoStatus SendPending(int Fd, std::string& Out, size_t& Head, std::string& Error);

// Reads until the socket would block, handing each chunk to OnData; OnData returns false to stop
// reading (its connection is gone). ioClosed (with the reason in Error) when the peer closed or
// reading failed.
TIoStatus ReadAvailable(int Fd, const std::function<bool(std::string_view)>& OnData,
                        std::string& Error);

}  // namespace gw
