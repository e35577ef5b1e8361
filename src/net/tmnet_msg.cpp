// Messages: the 8-byte header (u32 big-endian payload length, code byte,
// three reserved bytes), headed and bare sends and receives, the nested
// requests a terminal server answers while it waits, and the protocol state.
//
// A headed receive accepts only the header the exchange allows: the
// expected code with exactly the expected length (or any length when the
// caller asks for it with length 0, up to what 16 bits hold). Anything else
// is a protocol error: the stream is out of step and is never read on.
#include <cstring>

#include "foundation/bytes.h"
#include "net/tmnet_deadline.h"
#include "net/tmnet_internal.h"

namespace kivo {

uint8_t tmnet_role = TMNET_ROLE_SERVER;
uint8_t tmnet_remote_version = 0;
uint32_t srv_feature_mask = 0x11ff;
uint32_t cli_feature_mask = 0x4;
uint32_t com_feature_mask = 0;
uint64_t tmnet_bytes_sent = 0;
uint64_t tmnet_bytes_recv = 0;
bool tmnet_force_headers = false;

namespace {

int g_pending_timeout = -1;
bool g_pending_user_wait = false;
tmnet_request_handler g_request = nullptr;
uint8_t g_last_code = 0;
uint32_t g_last_length = 0;

bool headed(uint16_t type) { return ((type & kTmnetHeaded) || tmnet_force_headers) && (type & kTmnetCodeMask); }

int ok() {
  tmnet_set_status(TMNET_OK);
  return 1;
}

int protocol_error(int sock) { return tmnet_failed(sock, TMNET_PROTOCOL); }

// Reads headers until one that is not a nested request; the requests are
// served on the way (terminal server only). With `user_wait` each header
// comes when the user is done, however long that takes; its bytes and the
// requests' are then bounded as any other. 1 with the header's code and
// length, 0 when the read or a request failed.
int read_header(int sock, uint16_t type, int timeout, bool user_wait, uint8_t* code, uint32_t* length) {
  uint8_t h[kTmnetHeaderSize];
  for (;;) {
    if (user_wait) tmnet_wait_user(sock);
    if (readn(sock, sizeof h, h, timeout) != sizeof h) {
      tmnet_dbg_log(TMNET_LOG_WARN, "tmnet_recv_msg: readn failed!");
      return 0;
    }
    *code = g_last_code = ld_u8(h, kTmnetHdrCode);
    *length = g_last_length = ld_be32(h, kTmnetHdrLength);
    if (!tmnet_is_request(*code)) return 1;
    if (tmnet_role != TMNET_ROLE_SERVER) {
      // Only a terminal server serves requests; elsewhere such a code is
      // just another message, allowed only where it is the one expected.
      if ((type & kTmnetCodeMask) != kTmnetAnyCommand && *code == (type & 0xFF)) return 1;
      tmnet_dbg_log(TMNET_LOG_WARN, "recv_msg: request %d refused in role %d", *code, tmnet_role);
      return protocol_error(sock);
    }
    if (!g_request) {
      tmnet_dbg_log(TMNET_LOG_WARN, "recv_msg: no handler for request %d", *code);
      return protocol_error(sock);
    }
    if (!g_request(sock, *code, *length)) return 0;
  }
}

}  // namespace

void tmnet_init() {
  tmnet_dbg_log_init();
  tmnet_pool_reset();
}

void tmnet_set_timeout(int seconds) { g_pending_timeout = seconds < 0 ? -1 : seconds; }

void tmnet_set_user_wait() { g_pending_user_wait = true; }

bool tmnet_is_request(uint8_t code) {
  switch (code) {
    case TMNET_GET_OPT:
    case TMNET_GET_APPS:
    case TMNET_GET_FILES:
    case TMNET_GET_FIELDS:
    case TMNET_ADD_ITEM:
    case TMNET_GET_TOKENS: return true;
    default: return false;
  }
}

tmnet_request_handler set_tmnet_request_handler(tmnet_request_handler h) {
  tmnet_request_handler old = g_request;
  g_request = h;
  return old;
}

uint8_t tmnet_last_code() { return g_last_code; }
uint32_t tmnet_last_length() { return g_last_length; }

int tmnet_send_msg(int sock, uint16_t type, size_t length, const void* data) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "tmnet_send_msg: servfd=%d, type=%d, len=%zu", sock, type, length);
  if (length > UINT32_MAX) {
    tmnet_dbg_log(TMNET_LOG_WARN, "tmnet_send_msg: length %zu over the header's range", length);
    tmnet_set_status(TMNET_REFUSED);
    return 0;
  }
  if (headed(type)) {
    uint8_t h[kTmnetHeaderSize] = {};
    st_be32(h, kTmnetHdrLength, static_cast<uint32_t>(length));
    st_u8(h, kTmnetHdrCode, static_cast<uint8_t>(type));
    if (writen(sock, sizeof h, h) != sizeof h) {
      tmnet_dbg_log(TMNET_LOG_WARN, "tmnet_send_msg: writen failed!");
      return 0;
    }
  }
  if (data && length && writen(sock, length, data) != length) {
    tmnet_dbg_log(TMNET_LOG_WARN, "tmnet_send_msg: writen(2) failed!");
    return 0;
  }
  return ok();
}

int tmnet_recv_msg(int sock, uint16_t type, size_t length, void* buffer) {
  const int timeout = g_pending_timeout;
  const bool user_wait = g_pending_user_wait;
  g_pending_timeout = -1;
  g_pending_user_wait = false;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  if (!headed(type)) {
    if (length && readn(sock, length, out, timeout) != length) {
      tmnet_dbg_log(TMNET_LOG_WARN, "tmnet_recv_msg: readn(3) failed");
      return 0;
    }
    return ok();
  }

  tmnet_dbg_log(TMNET_LOG_WARN, "tmnet_recv_msg: type=%d", type);
  uint8_t code;
  uint32_t hlen;
  if (!read_header(sock, type, timeout, user_wait, &code, &hlen)) return 0;
  if ((type & kTmnetCodeMask) == kTmnetAnyCommand) {
    out[0] = code;
    return ok();
  }
  if (code != (type & 0xFF)) {
    tmnet_dbg_log(TMNET_LOG_WARN, "recv_msg: Packet Header Error, expected %d, got %d", type & kTmnetCodeMask, code);
    return protocol_error(sock);
  }
  if (length == 0) {
    if (hlen > UINT16_MAX) {
      tmnet_dbg_log(TMNET_LOG_WARN, "recv_msg: header length %u over 65535", hlen);
      return protocol_error(sock);
    }
    const uint16_t v = static_cast<uint16_t>(hlen);
    memcpy(out, &v, sizeof v);
    return ok();
  }
  if (hlen != length) {
    tmnet_dbg_log(TMNET_LOG_WARN, "recv_msg: Packet Length Error, expected %zu, got %u", length, hlen);
    return protocol_error(sock);
  }
  if (readn(sock, length, out, timeout) != length) {
    tmnet_dbg_log(TMNET_LOG_WARN, "tmnet_recv_msg: readn(2) failed");
    return 0;
  }
  return ok();
}

int tmnet_send_rc(int sock, const tmnet_rc* pair) {
  uint8_t b[8];
  st_be32(b, 0, pair->row);
  st_be32(b, 4, pair->col);
  return tmnet_send_msg(sock, TMNET_RC_PAIR, sizeof b, b);
}

int tmnet_recv_rc(int sock, tmnet_rc* pair) {
  uint8_t b[8];
  if (!tmnet_recv_msg(sock, TMNET_RC_PAIR, sizeof b, b)) return 0;
  pair->row = ld_be32(b, 0);
  pair->col = ld_be32(b, 4);
  return 1;
}

}  // namespace kivo
