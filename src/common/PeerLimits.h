// Every bound the gateway holds against a peer (a client, the login or logic server,
// a local controller, a file an operator edits), each with the reason for its value,
// and one counter per bound that goes up every time the bound is hit. The counters
// are relaxed atomics: safe to bump and read from any thread (the console's
// statistics and the metrics read them while the I/O, worker and link threads count).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace gw {

namespace limits {

// --- Clients (the WebSocket transport) -------------------------------------------------
// Largest client message: far above any game message (the batch buffer is 32 KiB), small
// enough that a thousand hostile clients cannot make the gateway hold gigabytes.
inline constexpr size_t kMaxWsMessageSize = 1024 * 1024;
// Largest HTTP request header: a browser's upgrade request is well under 2 KiB; 16 KiB
// leaves room for cookies without letting a slow client hold much memory.
inline constexpr size_t kMaxHttpHeaderSize = 16 * 1024;
// Longest chunk-size line of a chunked body: a hex number and extensions fit in far less.
inline constexpr size_t kMaxHttpChunkLine = 1024;
// Pongs queued but not yet written: a client that pings without reading would otherwise
// grow its send queue without end; further pings go unanswered.
inline constexpr int kMaxPendingPongs = 64;
// Bytes waiting in the transport's send queue of one client connection. A client that
// never reads would otherwise make every message sent to it pile up (an echo of 1 MiB
// messages grew by 100 MB a second); far above what the gateway's own stricter per-session
// caps let through, so only other users of the transport meet it. Beyond it the connection
// is closed with status 1008. The server's owner may set another value.
inline constexpr size_t kMaxWsQueuedBytes = 64 * 1024 * 1024;
// How long a client has to answer the server's close frame before its socket is closed
// anyway: browsers answer at once; a client that never does must not keep its socket.
inline constexpr int kWsCloseAnswerMs = 2000;
// TLS records waiting for a client's socket: one batch of encrypted sends (64 KiB) and
// what TLS answers on its own (the handshake's flight, key updates). A client that asks
// for one key update after the other without reading would otherwise grow it without end
// (23 bytes per request, once the socket's own buffer is full); past it the connection is
// closed.
inline constexpr size_t kMaxTlsPendingRecords = 256 * 1024;
// Longest token answer accepted for decoding: a real answer is under 100 characters.
inline constexpr size_t kMaxTokenText = 4096;

// --- Clients (the workers' outgoing queues) --------------------------------------------
// A client that stops reading keeps one send in flight while its queue grows. Past either
// bound it is disconnected instead of holding the gateway's memory: bytes bound the big
// messages, the count bounds the records of many tiny ones.
inline constexpr uint64_t kMaxSessionQueuedBytes = 16 * 1024 * 1024;
inline constexpr size_t kMaxSessionQueuedMessages = 16384;

// --- The logic server ------------------------------------------------------------------
// Largest payload a logic packet may announce. A length beyond it (or a negative one)
// cannot be a real packet: the stream is out of step and the link reconnects.
inline constexpr int32_t kMaxServerPacketLen = 16 * 1024 * 1024;
// Most bytes waiting to be sent to the logic server. A server that stops reading would
// otherwise let every relayed client message pile up; past it appends are dropped.
inline constexpr int64_t kMaxLogicSendBacklog = 64 * 1024 * 1024;

// --- The login server ------------------------------------------------------------------
// Longest frame without its closing "$": more means the stream is out of step and the
// link reconnects instead of buffering without end.
inline constexpr int64_t kMaxLoginFrameSize = 4 * 1024 * 1024;
// Most bytes waiting to be sent to the login server. Login traffic is a few small frames
// per client; a server that stops reading must not make the gateway hold the rest of
// every client's login messages: past it frames are dropped (and the keep-alive time-out
// soon drops the connection).
inline constexpr int64_t kMaxLoginSendBacklog = 16 * 1024 * 1024;

// --- Fields inside server packets (clamped, never read past) ----------------------------
inline constexpr uint32_t kKickReasonMaxLen = 128;     // one length byte + 128 characters
inline constexpr uint32_t kSyncAccountMaxLen = 12;     // one length byte + 12 characters
inline constexpr uint32_t kSyncPlayerNameMaxLen = 64;  // one length byte + 64 characters

// --- Local peers and files --------------------------------------------------------------
// Longest text of a control datagram: status texts are a few dozen bytes.
inline constexpr size_t kMaxControlText = 16384;
// Largest settings, block list or word list file read at a start or reload. A block list of
// ten million addresses is under 200 MiB; 1 GiB is far beyond any real list and still stops a
// wrong file (a disk image, a log) from being pulled into memory whole.
inline constexpr size_t kMaxSettingsFileSize = size_t{1} << 30;
// Largest handshake key file (two lines of base64).
inline constexpr size_t kMaxKeyFileSize = 64 * 1024;

// --- Clients (the guard at the edge) ---------------------------------------------------
// Addresses whose connection-flood window is tracked at once. Each entry lives for one
// window; an attacker spreading over many source addresses (IPv6 gives plenty) must not
// grow the table without end. Past it the oldest window is forgotten for the new address:
// a flood from fresh addresses must not blind the rule for the next one.
inline constexpr size_t kMaxFloodTrackedAddresses = 65536;

// --- Balancers (the PROXY protocol header in front of a relayed client) ---------------
// How long a connection from a balancer may take to deliver its PROXY header when the
// operator set no ClientTimeOut: a balancer writes the header with its first bytes, so a
// connection still without one after this long is a stuck or hostile peer holding a slot.
inline constexpr int kProxyHeaderWaitMs = 10000;

// --- Clients and operators' files (text written into the log) ------------------------
// Longest piece of client-supplied text (token answer, account name, anything sent before
// the login) copied into one log line; the rest is replaced by its length. A real answer or
// name is under 100 bytes; a client must not be able to write kilobytes per line.
inline constexpr size_t kMaxLoggedClientText = 256;

// --- Clients (malformed messages) -------------------------------------------------------
// Malformed messages (too short, an empty or undecodable token answer, a game message of the
// wrong size or type) one connection may send before it is closed with status 1008. A real
// client sends none; a few allow for a client version slightly out of step, and 16 stops a
// client pacing its garbage below MaxClientMsgCount from being served (and logged) forever.
inline constexpr uint32_t kMaxMalformedMessages = 16;

// --- Clients (grouping of addresses) ----------------------------------------------------
// IPv6 clients are counted per /64 for MaxConnOfIPaddr and the connection-flood window:
// one subscriber or host usually holds a whole /64, so per-address counting would give it
// 2^64 fresh addresses. IPv4 stays per address. Not a setting.
inline constexpr int kIPv6GroupPrefixBits = 64;

// --- Operators' files (the block lists) --------------------------------------------------
// Entries one block list (permanent or temporary) holds. A million exact entries cost about
// 150 MiB; far beyond any real list, and it stops an attack that blocks address after address
// (mBlock, mBlockList over many IPv6 addresses) from growing the lists without end. Past it a
// new entry is refused with a line.
inline constexpr size_t kMaxBlockListEntries = 1024 * 1024;
// --- Clients (the steps before the WebSocket is open) ------------------------------------
// How long a TLS client may take over its handshake, from the accept (or the end of its
// PROXY header): a real client finishes in a few round trips; one that stalls would hold
// its socket and the handshake's state (about 47 KiB) for good when ClientTimeOut is 0.
inline constexpr int kTlsHandshakeWaitMs = 10000;
// How long a client may take to deliver its complete HTTP upgrade request, from the
// accept (or the end of its PROXY header or TLS handshake): browsers send it at once.
inline constexpr int kHttpRequestWaitMs = 10000;

// --- Operators' tools (the metrics and health listener) ---------------------------------
// Connections the metrics listener holds at once: a scraper and a health check or two use
// a handful; more are refused at accept so the listener can never eat into the client
// port's descriptors.
inline constexpr size_t kMaxMetricsConnections = 16;
// How long a metrics connection may go without a complete request (from its accept or
// its previous request): a scraper asks at once; an idle one would only hold a slot.
inline constexpr int kMetricsIdleMs = 5000;
// Descriptors kept for the client port: a metrics connection is refused when fewer than
// this many are left below the process's limit.
inline constexpr uint64_t kClientDescriptorReserve = 256;
// Fresh renders of one metrics path per second (a burst of as many allowed): a scraper
// asks every few seconds, but one asking thousands of times a second would make every
// render walk every session under the workers' locks. Beyond it the last render is served
// again (at most a few milliseconds old under such a flood).
inline constexpr int kMetricsRendersPerSecond = 50;

// --- Another gateway process (the listener hand-over of --take-over) --------------------
// How long one side of a hand-over waits for the other's next message (the request, the
// sockets, the answer to the drain request): both are local processes that answer at once,
// so a silent one is stuck, and neither may hang on it.
inline constexpr int kTakeOverReplyWaitMs = 10000;
// How long a new process (--take-over) waits for its logic server link before it gives up
// and leaves the running gateway serving: a logic server that does not answer a new link
// within a minute is not one to move players to.
inline constexpr int kTakeOverLinkWaitMs = 60000;
// Listening sockets one hand-over carries: a client port (IPv4 and IPv6) and a metrics port
// need four at most.
inline constexpr size_t kMaxHandedOverSockets = 8;
// --- The admin listener (remote administration API and web console) -------------------
// Connections the admin listener holds at once: an operator's browser keeps a few, a
// script one; more are refused at accept (the client port's descriptors come first).
inline constexpr size_t kMaxAdminConnections = 16;
// How long an admin connection may go without a complete request: the web console asks
// every few seconds on a kept-alive connection; an idle one would only hold a slot.
inline constexpr int kAdminIdleMs = 30000;
// A request body (a block entry, a kick): a few hundred bytes. Larger ones are refused
// with 400 "Post data too large." before anything is kept.
inline constexpr uint64_t kMaxAdminRequestBody = 16384;
// Bytes a connection may send while its previous request still waits for its answer (a
// reload, a slowed refusal): kept for after the answer, beyond it the connection is closed.
inline constexpr size_t kMaxAdminHeldBytes = 32768;
// A refused token slows its address down: the first refusal is answered after
// kAdminAuthDelayBaseMs, each further one within kAdminAuthForgetMs after twice as long, up
// to kAdminAuthDelayMaxMs (guessing a token becomes hopeless; the operator who mistyped
// waits a few seconds). The answer comes from a timer: no thread waits.
inline constexpr int kAdminAuthDelayBaseMs = 250;
inline constexpr int kAdminAuthDelayMaxMs = 8000;
inline constexpr int kAdminAuthForgetMs = 600000;
// Addresses whose refusals are remembered; beyond it the stalest is forgotten (a scan from
// many addresses must not grow the table without end).
inline constexpr size_t kMaxAdminAuthAddresses = 4096;
// Sessions one page of the admin API's session list holds at most.
inline constexpr size_t kMaxAdminSessionsPage = 1000;
// Recent log lines kept for the admin API's log tail, and the longest line kept whole.
inline constexpr size_t kAdminLogRingLines = 2000;
inline constexpr size_t kMaxAdminLogLine = 2048;
// Token file: lines read at most, and the longest name and token.
inline constexpr size_t kMaxAdminTokens = 64;
inline constexpr size_t kMaxAdminTokenText = 256;

}  // namespace limits

// One counter per bound above (and per kind of malformed input that is dropped).
enum class TLimitBreach : uint8_t {
  lbWsMessageTooBig,        // client message over kMaxWsMessageSize: closed (1009)
  lbHttpHeaderTooBig,       // request header over kMaxHttpHeaderSize: answered 400
  lbHttpChunkLineTooLong,   // chunk-size line over kMaxHttpChunkLine: answered 400
  lbPongsPending,           // a ping left unanswered at kMaxPendingPongs
  lbTokenAnswerTooLong,     // token answer over kMaxTokenText: refused
  lbSessionQueuedBytes,     // slow reader over kMaxSessionQueuedBytes: disconnected
  lbSessionQueuedMessages,  // slow reader over kMaxSessionQueuedMessages: disconnected
  lbLogicPacketLength,      // logic packet length out of range: link reconnects
  lbLogicPacketTooShort,    // logic packet or speed-time payload too short: dropped
  lbLogicSendBacklog,       // logic send backlog full: message dropped
  lbLoginFrameSize,         // login frame over kMaxLoginFrameSize: link reconnects
  lbFieldLengthClamped,     // a length byte inside a server packet beyond its field
  lbControlTextTooLong,     // control datagram over kMaxControlText: not taken
  lbSettingsFileTooLarge,   // a settings or list file over kMaxSettingsFileSize
  lbKeyFileTooLarge,        // GateKeys.txt over kMaxKeyFileSize
  lbLoginSendBacklog,       // login send backlog full: frame dropped
  lbServerTimeOut,          // logic server silent or not reading past its time-out: reconnect
  lbFloodTableFull,         // the oldest flood window forgotten at kMaxFloodTrackedAddresses
  lbWsQueuedBytes,          // client send queue over kMaxWsQueuedBytes: closed (1008)
  lbWsCloseUnanswered,      // no close frame back within kWsCloseAnswerMs: socket closed
  lbAcceptNoDescriptor,     // out of descriptors: a new connection accepted and closed
  lbProxyUntrustedSource,   // PROXY header expected from an address outside the trusted list:
                            // refused
  lbProxyHeaderInvalid,     // PROXY header missing or malformed: closed
  lbProxyHeaderTimeOut,     // PROXY header not complete within its time: closed
  lbTlsPendingRecords,      // TLS records waiting for the socket over kMaxTlsPendingRecords: closed
  lbLoggedTextCut,          // client text cut at kMaxLoggedClientText in a log line
  lbMalformedMessages,      // a client closed (1008) at kMaxMalformedMessages malformed messages
  lbBlockListFull,          // a block list entry refused at kMaxBlockListEntries
  lbTlsHandshakeTimeOut,    // TLS handshake not finished within kTlsHandshakeWaitMs: closed
  lbHttpRequestTimeOut,     // upgrade request not complete within kHttpRequestWaitMs: closed
  lbHttpRequestInvalid,     // malformed request framing or WebSocket key: answered 400, closed
  lbMetricsConnections,  // metrics connection over kMaxMetricsConnections (or the reserve): refused
  lbMetricsIdleTimeOut,  // metrics connection without a request within kMetricsIdleMs: closed
  lbMetricsRenderReused,  // a scrape over kMetricsRendersPerSecond: served the last render
  lbTakeOverWait,      // the other process of a hand-over silent past kTakeOverReplyWaitMs (or the
                       // new one's logic link not up within kTakeOverLinkWaitMs): given up
  lbAdminConnections,  // admin connection over kMaxAdminConnections (or the reserve): refused
  lbAdminIdleTimeOut,  // admin connection without a request within kAdminIdleMs: closed
  lbHttpBodyTooLarge,  // request body over its listener's bound (kMaxAdminRequestBody): 400
  lbAdminHeldBytes,    // bytes over kMaxAdminHeldBytes behind a pending answer: closed
  lbAdminAuthRefused,  // admin request without a valid token: answered 401, slowed
  lbAdminAuthTableFull,  // the stalest refused address forgotten at kMaxAdminAuthAddresses
  Count
};

inline constexpr size_t kLimitBreachCount = static_cast<size_t>(TLimitBreach::Count);

// The counter's name as the statistics and metrics show it (e.g. "ws_message_too_big").
std::string_view LimitBreachName(TLimitBreach breach);

// Counts one breach. Any thread; never blocks.
void CountLimitBreach(TLimitBreach breach);

// Breaches counted since the process started. Any thread.
uint64_t LimitBreaches(TLimitBreach breach);

}  // namespace gw
