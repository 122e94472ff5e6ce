// The client connection as the gateway core sees it. Connections are
// reference-counted (std::shared_ptr); the transport keeps its own reference
// while a connection is open and while any send on it is unfinished.
//
// Thread safety: every operation is safe to call from any thread, and none blocks on a
// peer: a send is queued, a close finishes on the connection's I/O thread when a handler
// of it is running. The gateway's core reaches the transport only through this interface
// and IWebSocketServer.
//
// Event order per connection (guaranteed by the transport): the open event first,
// then the message events one at a time in arrival order, then exactly one close
// event. Message events and the close event never run concurrently with each other,
// and no message event is delivered after the close event, so a close handler may
// free whatever the message handler uses. A close event may come without an open
// event (the upgrade reply could not be sent).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace gw {

class IWebSocketConnection;
using PWebSocketConnection = std::shared_ptr<IWebSocketConnection>;

// Completion of one WsSend: the connection and whether the whole message went out.
// Runs exactly once per WsSend: with true on the thread that wrote the last byte (the
// calling thread when the message went out at once, otherwise an I/O thread), or with
// false (at once on the caller's thread when the connection is already closed,
// otherwise on the closing thread when the connection closes with the send unfinished).
using TWsSendCallback = std::function<void(const PWebSocketConnection& connection, bool ok)>;

// Status codes of the close frames the server sends (RFC 6455 7.4.1).
enum TWsCloseCode : uint16_t {
  wccNormal = 1000,       // the server ends the session (e.g. a kick)
  wccGoingAway = 1001,    // the server stops (the service's graceful stop)
  wccPolicy = 1008,       // refused by policy (the guard, a failed token check, a slow reader)
  wccTooBig = 1009,       // a message over the size limit
  wccServerError = 1011,  // the server failed while handling the connection
};

class IWebSocketConnection {
 public:
  virtual ~IWebSocketConnection() = default;

  // A plain, unowned pointer for the layer above (the gateway keeps its user session here).
  virtual void* GetUserObject() const = 0;
  virtual void SetUserObject(void* userObject) = 0;

  // The client's address as text, e.g. "127.0.0.1".
  virtual std::string PeerAddr() const = 0;

  // Closes the connection; the close event runs once, on the calling thread. The one
  // exception keeps events from overlapping: when the connection's I/O thread is
  // running an open or message handler of this connection at that moment, the close
  // event runs on that I/O thread as soon as the handler returns. Either way Close
  // never blocks on a handler, so it may be called while holding locks that handlers
  // take.
  virtual void Close() = 0;

  // Closes the connection the polite way: a close frame with `code` goes out after
  // whatever was sent before, nothing is sent after it (later sends report false), and
  // no message event starts after this call returns. The client's answering close frame
  // ends the connection; if none comes within limits::kWsCloseAnswerMs the socket is
  // closed anyway. The close event then runs once, on the connection's I/O thread (not
  // on the calling thread as with Close). Before the upgrade it is Close.
  virtual void CloseWithStatus(uint16_t code) {
    (void)code;
    Close();
  }

  // Sends one binary message. `data` must stay valid until `callback` has run.
  // Messages sent on one connection go out in call order.
  virtual void WsSend(const void* data, size_t count, TWsSendCallback callback) = 0;

  // Sends one binary message from an array the send keeps alive until it completes.
  virtual void WsSendBytes(std::vector<uint8_t> data, TWsSendCallback callback) {
    auto held = std::make_shared<std::vector<uint8_t>>(std::move(data));
    WsSend(held->data(), held->size(),
           [held, callback = std::move(callback)](const PWebSocketConnection& c, bool ok) {
             if (callback) callback(c, ok);
           });
  }

  // The client passed the gateway's check: the time limit set at accept for passing it
  // no longer applies to this connection.
  virtual void PassedAdmission() {}
  // Inside a message handler on the connection's I/O thread: messages delivered from the
  // current read of the socket, this one included (0 when the transport does not count).
  virtual uint32_t MessagesInThisRead() const { return 0; }

  // Sends one text message (UTF-8). Connections without text support report false.
  virtual void WsSendText(std::string text, TWsSendCallback callback) {
    (void)text;
    if (callback) callback(nullptr, false);
  }
};

}  // namespace gw
