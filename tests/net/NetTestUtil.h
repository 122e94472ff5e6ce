// Helpers for the transport tests: waiting on a condition, and a blocking loopback
// client that speaks raw bytes or WebSocket frames (masked, as a browser does), in
// the clear or, after StartTls, over TLS.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSockets.h"
#include "support/WaitUntil.h"

namespace gw::test {

using test_support::WaitUntil;
using namespace test_support;  // the socket calls of TestSockets.h

using Bytes = std::vector<uint8_t>;

struct TWsFrame {
  bool Fin = true;
  uint8_t OpCode = 0;
  std::vector<uint8_t> Payload;
};

class TTestClient {
 public:
  TTestClient() = default;
  TTestClient(const TTestClient&) = delete;
  TTestClient& operator=(const TTestClient&) = delete;
  ~TTestClient() { CloseSocket(); }

  // Runs the TLS client handshake on the connected socket (trusting what `context`
  // trusts); from then on every read and write goes through TLS.
  bool StartTls(SSL_CTX* context) {
    FSsl = SSL_new(context);
    if (FSsl == nullptr) return false;
    SSL_set_fd(FSsl, FSocket);
    SSL_set_tlsext_host_name(FSsl, "localhost");
    return SSL_connect(FSsl) == 1;
  }
  SSL* Tls() const { return FSsl; }

  bool Connect(uint16_t port, const char* host = "127.0.0.1") {
    bool v6 = std::strchr(host, ':') != nullptr;
    FSocket = OpenTcpSocket(v6 ? AF_INET6 : AF_INET);
    if (FSocket < 0) return false;
    SetIntOption(FSocket, IPPROTO_TCP, TCP_NODELAY, 1);
    if (FReceiveBuffer > 0) SetIntOption(FSocket, SOL_SOCKET, SO_RCVBUF, FReceiveBuffer);
    if (v6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(port);
      inet_pton(AF_INET6, host, &a.sin6_addr);
      return ConnectTo(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, host, &a.sin_addr);
    return ConnectTo(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  }

  int Socket() const { return FSocket; }
  // A small receive buffer (set before Connect) keeps the server's unsent bytes on its side.
  void SetReceiveBuffer(int bytes) { FReceiveBuffer = bytes; }

  bool SendRaw(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
      ssize_t n =
          FSsl != nullptr ? SSL_write(FSsl, p, static_cast<int>(size)) : SendSome(FSocket, p, size);
      if (n <= 0) return false;
      p += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
  bool SendRaw(const std::string& s) { return SendRaw(s.data(), s.size()); }
  bool SendRaw(const std::vector<uint8_t>& v) { return SendRaw(v.data(), v.size()); }

  // Reads exactly `size` bytes; false on time-out or end of stream.
  bool ReadExact(void* out, size_t size, int timeoutMs = 20000) {
    auto* p = static_cast<uint8_t*>(out);
    while (size > 0) {
      if (!FBuffered.empty()) {
        size_t take = std::min(size, FBuffered.size());
        std::memcpy(p, FBuffered.data(), take);
        FBuffered.erase(FBuffered.begin(), FBuffered.begin() + static_cast<long>(take));
        p += take;
        size -= take;
        continue;
      }
      if (!TlsPending() && !WaitReadable(FSocket, timeoutMs)) return false;
      uint8_t buf[65536];
      ssize_t n = Receive(buf, sizeof(buf));
      if (n <= 0) return false;
      FBuffered.insert(FBuffered.end(), buf, buf + n);
    }
    return true;
  }

  // Reads up to the end of an HTTP header (CR LF CR LF), then `bodyHint` more bytes
  // when the header says Content-Length.
  std::string ReadHttpResponse(int timeoutMs = 20000) {
    std::string out;
    char c;
    while (out.size() < 4 || out.compare(out.size() - 4, 4, "\r\n\r\n") != 0) {
      if (!ReadExact(&c, 1, timeoutMs)) return out;
      out += c;
    }
    size_t at = out.find("Content-Length: ");
    if (at != std::string::npos) {
      size_t len = std::stoul(out.substr(at + 16));
      std::string body(len, '\0');
      if (len > 0 && !ReadExact(body.data(), len, timeoutMs)) return out;
      out += body;
    }
    return out;
  }

  // True when the peer has closed (end of stream or reset) within the time-out.
  bool WaitPeerClosed(int timeoutMs = 20000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      if (left <= 0) return false;
      if (!TlsPending() && !WaitReadable(FSocket, left)) return false;
      uint8_t buf[4096];
      ssize_t n = Receive(buf, sizeof(buf));
      if (n <= 0) return true;
      FBuffered.insert(FBuffered.end(), buf, buf + n);
    }
  }

  static std::string UpgradeRequest(const std::string& extraFields = "",
                                    const std::string& key = "dGhlIHNhbXBsZSBub25jZQ==") {
    return "GET /chat HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
           "Connection: Upgrade\r\nSec-WebSocket-Key: " +
           key + "\r\nSec-WebSocket-Version: 13\r\n" + extraFields + "\r\n";
  }

  // Connects and upgrades; true when the reply is 101.
  bool Open(uint16_t port, const char* host = "127.0.0.1") {
    if (!Connect(port, host) || !SendRaw(UpgradeRequest())) return false;
    return ReadHttpResponse().rfind("HTTP/1.1 101 ", 0) == 0;
  }

  static std::vector<uint8_t> Frame(uint8_t opCode, const std::vector<uint8_t>& payload,
                                    bool fin = true, bool masked = true) {
    std::vector<uint8_t> out;
    out.push_back(static_cast<uint8_t>((fin ? 0x80 : 0) | opCode));
    uint8_t maskBit = masked ? 0x80 : 0;
    size_t n = payload.size();
    if (n <= 125) {
      out.push_back(static_cast<uint8_t>(maskBit | n));
    } else if (n <= 0xFFFF) {
      out.push_back(maskBit | 126);
      out.push_back(static_cast<uint8_t>(n >> 8));
      out.push_back(static_cast<uint8_t>(n));
    } else {
      out.push_back(maskBit | 127);
      for (int i = 7; i >= 0; --i) out.push_back(static_cast<uint8_t>(uint64_t{n} >> (8 * i)));
    }
    const uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};
    if (masked) out.insert(out.end(), key, key + 4);
    for (size_t i = 0; i < n; ++i) {
      out.push_back(masked ? static_cast<uint8_t>(payload[i] ^ key[i % 4]) : payload[i]);
    }
    return out;
  }

  bool SendFrame(uint8_t opCode, const std::vector<uint8_t>& payload, bool fin = true,
                 bool masked = true) {
    return SendRaw(Frame(opCode, payload, fin, masked));
  }

  // Reads one server frame; the raw header bytes go to `header` when given.
  std::optional<TWsFrame> ReadFrame(std::vector<uint8_t>* header = nullptr, int timeoutMs = 20000) {
    uint8_t h[2];
    if (!ReadExact(h, 2, timeoutMs)) return std::nullopt;
    std::vector<uint8_t> raw(h, h + 2);
    uint64_t len = h[1] & 0x7F;
    if (len == 126 || len == 127) {
      size_t extra = len == 126 ? 2 : 8;
      uint8_t ext[8];
      if (!ReadExact(ext, extra, timeoutMs)) return std::nullopt;
      raw.insert(raw.end(), ext, ext + extra);
      len = 0;
      for (size_t i = 0; i < extra; ++i) len = (len << 8) | ext[i];
    }
    if (header) *header = raw;
    TWsFrame frame;
    frame.Fin = (h[0] & 0x80) != 0;
    frame.OpCode = h[0] & 0x0F;
    frame.Payload.resize(len);
    if (len > 0 && !ReadExact(frame.Payload.data(), len, timeoutMs)) return std::nullopt;
    return frame;
  }

  void CloseSocket() {
    if (FSsl != nullptr) SSL_free(FSsl);
    FSsl = nullptr;
    if (FSocket >= 0) CloseTcpSocket(FSocket);
    FSocket = -1;
  }

  // Closes with a reset instead of an orderly shutdown.
  void Reset() {
    SetLingerReset(FSocket);
    CloseSocket();
  }

 private:
  bool TlsPending() const { return FSsl != nullptr && SSL_pending(FSsl) > 0; }
  ssize_t Receive(uint8_t* buf, size_t size) {
    if (FSsl == nullptr) return ReceiveSome(FSocket, buf, size);
    for (;;) {
      int n = SSL_read(FSsl, buf, static_cast<int>(size));
      // A record that carried no data (a session ticket): read on.
      if (n <= 0 && SSL_get_error(FSsl, n) == SSL_ERROR_WANT_READ) continue;
      return n;
    }
  }

  int FSocket = -1;
  SSL* FSsl = nullptr;
  int FReceiveBuffer = 0;
  std::vector<uint8_t> FBuffered;
};

inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 0) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 8));
  return v;
}

}  // namespace gw::test
