// The client connection as the gateway core sees it. Connections are
// reference-counted (std::shared_ptr); the transport keeps its own reference
// while a connection is open and while any send on it is unfinished.
//
// Thread safety: every operation is safe to call from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace gw {

class IWebSocketConnection;
using PWebSocketConnection = std::shared_ptr<IWebSocketConnection>;

// Completion of one WsSend: the connection and whether the whole message went out.
// Runs exactly once per WsSend: on an I/O thread when the last byte has been
// written, or with false (at once on the caller's thread when the connection is
// already closed, otherwise when the connection closes with the send unfinished).
using TWsSendCallback = std::function<void(const PWebSocketConnection& connection, bool ok)>;

class IWebSocketConnection {
 public:
  virtual ~IWebSocketConnection() = default;

  // A plain, unowned pointer for the layer above (the gateway keeps its user session here).
  virtual void* GetUserObject() const = 0;
  virtual void SetUserObject(void* userObject) = 0;

  // The client's address as text, e.g. "127.0.0.1".
  virtual std::string PeerAddr() const = 0;

  // Closes the connection; the close event runs on the calling thread, once.
  virtual void Close() = 0;

  // Sends one binary message. `data` must stay valid until `callback` has run.
  virtual void WsSend(const void* data, size_t count, TWsSendCallback callback) = 0;
};

}  // namespace gw
