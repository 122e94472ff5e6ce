// Every bound the gateway holds against a peer (a client, the login or logic server,
// a local controller, a file an operator edits), each with the reason for its value,
// and one counter per bound that goes up every time the bound is hit. The counters
// are relaxed atomics: safe to bump and read from any thread (the console's
// statistics and the metrics read them while the I/O, worker and link threads count).
// A server's own breaches are counted on its TGateWayStats (common/GateWayStats.h).
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

// Every breach counted, one line each: the enumerator, the counter's name as the statistics
// and metrics show it (the `limit` label), what sets the bound (fixed: the constant above with
// its reason; setting: the setting or option that chooses it) and what happens when it is hit.
// New bounds are appended at the end (the console shows them in this order).
#define GW_LIMIT_BREACHES(BREACH)                                                                \
  BREACH(lbWsMessageTooBig, "ws_message_too_big",                                                \
         "fixed: kMaxWsMessageSize; lowered by the setting MaxClientPacketSize",                 \
         "client message too big: closed (1009)")                                                \
  BREACH(lbHttpHeaderTooBig, "http_header_too_big", "fixed: kMaxHttpHeaderSize",                 \
         "request header too big: answered 400")                                                 \
  BREACH(lbHttpChunkLineTooLong, "http_chunk_line_too_long", "fixed: kMaxHttpChunkLine",         \
         "chunk-size line too long: answered 400")                                               \
  BREACH(lbPongsPending, "pongs_pending", "fixed: kMaxPendingPongs", "a ping left unanswered")   \
  BREACH(lbTokenAnswerTooLong, "token_answer_too_long", "fixed: kMaxTokenText",                  \
         "token answer too long: refused")                                                       \
  BREACH(lbSessionQueuedBytes, "session_queued_bytes", "fixed: kMaxSessionQueuedBytes",          \
         "slow reader's queue too big: disconnected")                                            \
  BREACH(lbSessionQueuedMessages, "session_queued_messages", "fixed: kMaxSessionQueuedMessages", \
         "slow reader's queue too long: disconnected")                                           \
  BREACH(lbLogicPacketLength, "logic_packet_length", "fixed: kMaxServerPacketLen",               \
         "logic packet length out of range: the link reconnects")                                \
  BREACH(lbLogicPacketTooShort, "logic_packet_too_short", "fixed: the packet's layout",          \
         "logic packet or speed-time payload too short: dropped")                                \
  BREACH(lbLogicSendBacklog, "logic_send_backlog", "fixed: kMaxLogicSendBacklog",                \
         "logic send backlog full: message dropped")                                             \
  BREACH(lbLoginFrameSize, "login_frame_size", "fixed: kMaxLoginFrameSize",                      \
         "login frame too big: the link reconnects")                                             \
  BREACH(lbFieldLengthClamped, "field_length_clamped",                                           \
         "fixed: kKickReasonMaxLen, kSyncAccountMaxLen, kSyncPlayerNameMaxLen",                  \
         "a length byte inside a server packet beyond its field: clamped")                       \
  BREACH(lbControlTextTooLong, "control_text_too_long", "fixed: kMaxControlText",                \
         "control datagram too long: not taken")                                                 \
  BREACH(lbSettingsFileTooLarge, "settings_file_too_large", "fixed: kMaxSettingsFileSize",       \
         "a settings or list file too large: not read")                                          \
  BREACH(lbKeyFileTooLarge, "key_file_too_large", "fixed: kMaxKeyFileSize",                      \
         "GateKeys.txt too large: not read")                                                     \
  BREACH(lbLoginSendBacklog, "login_send_backlog", "fixed: kMaxLoginSendBacklog",                \
         "login send backlog full: frame dropped")                                               \
  BREACH(lbServerTimeOut, "server_time_out", "setting: CheckServerTimeOutTime",                  \
         "logic server silent or not reading: the link reconnects")                              \
  BREACH(lbFloodTableFull, "flood_table_full", "fixed: kMaxFloodTrackedAddresses",               \
         "the oldest flood window forgotten")                                                    \
  BREACH(lbWsQueuedBytes, "ws_queued_bytes", "fixed: kMaxWsQueuedBytes",                         \
         "client send queue too big: closed (1008)")                                             \
  BREACH(lbWsCloseUnanswered, "ws_close_unanswered", "fixed: kWsCloseAnswerMs",                  \
         "no close frame back in time: socket closed")                                           \
  BREACH(lbAcceptNoDescriptor, "accept_no_descriptor",                                           \
         "setting: the process's descriptor limit (LimitNOFILE)",                                \
         "out of descriptors: a new connection accepted and closed")                             \
  BREACH(lbProxyUntrustedSource, "proxy_untrusted_source", "setting: --proxy-from",              \
         "PROXY header from an address outside the trusted list: refused")                       \
  BREACH(lbProxyHeaderInvalid, "proxy_header_invalid", "fixed: the PROXY protocol",              \
         "PROXY header missing or malformed: closed")                                            \
  BREACH(lbProxyHeaderTimeOut, "proxy_header_time_out",                                          \
         "setting: ClientTimeOut (kProxyHeaderWaitMs at most, and when 0)",                      \
         "PROXY header not complete in time: closed")                                            \
  BREACH(lbTlsPendingRecords, "tls_pending_records", "fixed: kMaxTlsPendingRecords",             \
         "TLS records waiting for the socket too big: closed")                                   \
  BREACH(lbLoggedTextCut, "logged_text_cut", "fixed: kMaxLoggedClientText",                      \
         "client text cut in a log line")                                                        \
  BREACH(lbMalformedMessages, "malformed_messages", "fixed: kMaxMalformedMessages",              \
         "a client closed (1008) for its malformed messages")                                    \
  BREACH(lbBlockListFull, "block_list_full", "fixed: kMaxBlockListEntries",                      \
         "a block list entry refused")                                                           \
  BREACH(lbTlsHandshakeTimeOut, "tls_handshake_time_out", "fixed: kTlsHandshakeWaitMs",          \
         "TLS handshake not finished in time: closed")                                           \
  BREACH(lbHttpRequestTimeOut, "http_request_time_out", "fixed: kHttpRequestWaitMs",             \
         "upgrade request not complete in time: closed")                                         \
  BREACH(lbHttpRequestInvalid, "http_request_invalid", "fixed: HTTP/1.1 and RFC 6455",           \
         "malformed request (line, method, framing, body, WebSocket key): answered 400")         \
  BREACH(lbMetricsConnections, "metrics_connections",                                            \
         "fixed: kMaxMetricsConnections, kClientDescriptorReserve",                              \
         "metrics connection over the cap (or the reserve): refused")                            \
  BREACH(lbMetricsIdleTimeOut, "metrics_idle_time_out", "fixed: kMetricsIdleMs",                 \
         "metrics connection without a request in time: closed")                                 \
  BREACH(lbMetricsRenderReused, "metrics_render_reused", "fixed: kMetricsRendersPerSecond",      \
         "a scrape too soon: served the last render")                                            \
  BREACH(lbWorkerTableFull, "worker_table_full",                                                 \
         "fixed: kMaxSessionsPerWorker (the handle's slot bits), every worker full",             \
         "no worker could take a new client: closed")                                            \
  BREACH(lbWsProtocolError, "ws_protocol_error", "fixed: RFC 6455",                              \
         "a client broke the WebSocket protocol: closed (1002)")                                 \
  BREACH(lbLogicPacketSignature, "logic_packet_signature", "fixed: the packet's magic number",   \
         "logic packet with a wrong signature: dropped")                                         \
  BREACH(lbLogicUnknownIdent, "logic_unknown_ident", "fixed: the idents the gateway knows",      \
         "logic packet of an unknown ident: dropped")                                            \
  BREACH(lbSendCacheOutOfMemory, "send_cache_out_of_memory", "fixed: the machine's memory",      \
         "a link's send cache could not grow: dropped")                                          \
  BREACH(lbLoginKeepAliveTimeOut, "login_keep_alive_time_out", "fixed: kKeepAliveTimeOut",       \
         "login server silent: the link reconnects")                                             \
  BREACH(lbLoginMessageDollar, "login_message_dollar", "fixed: the login frame's \"$\" end",     \
         "a client's login message holding \"$\": closed")                                       \
  BREACH(lbTakeOverWait, "take_over_wait", "fixed: kTakeOverReplyWaitMs, kTakeOverLinkWaitMs",   \
         "the other process of a hand-over silent, or the new logic link not up: given up")      \
  BREACH(lbAdminConnections, "admin_connections", "fixed: kMaxAdminConnections",                 \
         "admin connection over the bound (or the descriptor reserve): refused")                 \
  BREACH(lbAdminIdleTimeOut, "admin_idle_time_out", "fixed: kAdminIdleMs",                       \
         "admin connection without a request in time: closed")                                   \
  BREACH(lbHttpBodyTooLarge, "http_body_too_large", "fixed: kMaxAdminRequestBody",               \
         "request body over its listener's bound: answered 400")                                 \
  BREACH(lbAdminHeldBytes, "admin_held_bytes", "fixed: kMaxAdminHeldBytes",                      \
         "bytes behind a pending admin answer over the bound: closed")                           \
  BREACH(lbAdminAuthRefused, "admin_auth_refused", "fixed: the admin token file",                \
         "admin request without a valid token: answered 401, slowed")                            \
  BREACH(lbAdminAuthTableFull, "admin_auth_table_full", "fixed: kMaxAdminAuthAddresses",         \
         "the stalest refused address forgotten")

// One counter per bound above (and per kind of malformed input that is dropped).
enum class TLimitBreach : uint8_t {
#define GW_BREACH_ENUMERATOR(Id, Name, Bound, Effect) Id,
  GW_LIMIT_BREACHES(GW_BREACH_ENUMERATOR)
#undef GW_BREACH_ENUMERATOR
      Count
};

inline constexpr size_t kLimitBreachCount = static_cast<size_t>(TLimitBreach::Count);

// The counter's name as the statistics and metrics show it (e.g. "ws_message_too_big").
std::string_view LimitBreachName(TLimitBreach breach);

// What sets the bound ("fixed: …" or "setting: …") and what happens when it is hit.
std::string_view LimitBreachBound(TLimitBreach breach);
std::string_view LimitBreachEffect(TLimitBreach breach);

// Counts one breach of a bound that belongs to the process rather than to one gateway
// server: the files read at a start or reload, the control channel, text cut in a log
// line. What a server's listener, links, guard and workers meet is counted on that
// server's own set (TGateWayStats). Any thread; never blocks.
void CountLimitBreach(TLimitBreach breach);

// The process's breaches (above) since it started. Any thread.
uint64_t LimitBreaches(TLimitBreach breach);

}  // namespace gw
