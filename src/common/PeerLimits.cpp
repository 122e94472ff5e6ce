#include "common/PeerLimits.h"

namespace gw {

namespace {

std::array<std::atomic<uint64_t>, kLimitBreachCount> gBreaches{};

constexpr std::array<std::string_view, kLimitBreachCount> kBreachNames = {
    "ws_message_too_big",      "http_header_too_big",     "http_chunk_line_too_long",
    "pongs_pending",           "token_answer_too_long",   "session_queued_bytes",
    "session_queued_messages", "logic_packet_length",     "logic_packet_too_short",
    "logic_send_backlog",      "login_frame_size",        "field_length_clamped",
    "control_text_too_long",   "settings_file_too_large", "key_file_too_large",
    "login_send_backlog",      "server_time_out",         "flood_table_full",
    "ws_queued_bytes",         "ws_close_unanswered",     "accept_no_descriptor",
    "proxy_untrusted_source",  "proxy_header_invalid",    "proxy_header_time_out",
    "tls_pending_records",     "logged_text_cut",         "malformed_messages",
    "block_list_full",         "tls_handshake_time_out",  "http_request_time_out",
    "http_request_invalid",    "metrics_connections",     "metrics_idle_time_out",
    "metrics_render_reused",   "take_over_wait",          "admin_connections",
    "admin_idle_time_out",     "http_body_too_large",     "admin_held_bytes",
    "admin_auth_refused",      "admin_auth_table_full",
};

}  // namespace

std::string_view LimitBreachName(TLimitBreach breach) {
  auto i = static_cast<size_t>(breach);
  return i < kLimitBreachCount ? kBreachNames[i] : std::string_view{};
}

void CountLimitBreach(TLimitBreach breach) {
  auto i = static_cast<size_t>(breach);
  if (i < kLimitBreachCount) gBreaches[i].fetch_add(1, std::memory_order_relaxed);
}

uint64_t LimitBreaches(TLimitBreach breach) {
  auto i = static_cast<size_t>(breach);
  return i < kLimitBreachCount ? gBreaches[i].load(std::memory_order_relaxed) : 0;
}

}  // namespace gw
