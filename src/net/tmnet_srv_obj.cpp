// Objects on the client: create, invoke a method, destroy, wait for an
// event; and the URL the client is asked to open.
//
// A method's result is read into the caller's area only up to its size; the
// rest is drained so that the next exchange starts in step.
#include <algorithm>
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "net/tmnet.h"
#include "net/tmnet_svc.h"

namespace kivo {

namespace {

constexpr size_t kCmdPayload = 4;
constexpr size_t kDescSize = 8;
constexpr size_t kMaxText = 0xFFFF;
constexpr int kMaxArgs = 0xFF;

int sock() { return com.rmt_sock; }

bool send_bare(uint8_t code, const void* data, size_t n) { return tmnet_send_msg(sock(), code, n, data) == 1; }
bool recv_bare(uint8_t code, void* data, size_t n) { return tmnet_recv_msg(sock(), code, n, data) == 1; }

bool fits(const tmnet_obj_req* req) { return req->text_len <= kMaxText && req->argc >= 0 && req->argc <= kMaxArgs; }

// The command, its 4-byte payload and the text.
bool send_command(uint8_t code, const tmnet_obj_req* req, uint8_t handle) {
  uint8_t p[kCmdPayload];
  st_be16(p, 0, uint16_t(req->text_len));
  p[2] = uint8_t(req->argc);
  p[3] = handle;
  return tmnet_send_msg(sock(), uint16_t(kTmnetHeaded | code), kCmdPayload, p) &&
         send_bare(0, req->text, req->text_len);
}

// Each argument's descriptor, then its bytes: an alpha argument as type 11,
// anything else as type 0 without bytes.
bool send_args(const tmnet_obj_req* req, const char* who) {
  for (int i = 0; i < req->argc; ++i) {
    const tmnet_obj_arg& a = req->args[i];
    const bool alpha = a.type == kElemAlpContig;
    const uint32_t type = alpha ? kArgTypeAlpha : 0, len = alpha ? a.len : 0;
    tmnet_dbg_log(TMNET_LOG_TRACE, "%s: arg%d", who, i);
    if (alpha) tmnet_dbg_log(TMNET_LOG_TRACE, "%s: ELEM_ALP_CONTIG", who);
    tmnet_dbg_log(TMNET_LOG_TRACE, "%s: type=%u Len=%u", who, type, len);
    uint8_t d[kDescSize];
    st_be32(d, 0, type);
    st_be32(d, 4, len);
    if (!send_bare(TMNET_ARG_DESC, d, kDescSize) || (len && !send_bare(0, a.data, len))) return false;
  }
  return true;
}

// Reads `n` bytes of which the first `keep` go to `area`.
bool recv_cut(uint8_t* area, size_t keep, size_t n) {
  if (keep && !recv_bare(0, area, keep)) return false;
  uint8_t junk[512];
  for (size_t k, rest = n - keep; rest; rest -= k)
    if (!recv_bare(0, junk, k = std::min(rest, sizeof junk))) return false;
  return true;
}

}  // namespace

uint32_t tmnet_srv_create_object(const tmnet_obj_req* req, uint32_t* handle_out) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_create_object: create client object called");
  if (!fits(req)) return 0;
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_create_object: proto=(%d)%*.*s", int(req->text_len), int(req->text_len),
                int(req->text_len), req->text);
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_create_object: argCnt=%d", req->argc);
  uint8_t r[kDescSize];
  if (!send_command(TMNET_CREATE_OBJECT, req, 0) || !send_args(req, "srv_create_object") ||
      !recv_bare(TMNET_OBJ_REPLY, r, sizeof r))
    return 0;
  *handle_out = ld_be32(r, 0);
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_create_object: return_handle=%u", *handle_out);
  return ld_be32(r, 4);
}

uint32_t tmnet_srv_invoke_method(const tmnet_obj_req* req) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_invoke_method: invoke client method called");
  if (!fits(req)) return 0;
  if (!send_command(TMNET_INVOKE_METHOD, req, req->handle) || !send_args(req, "srv_invoke_method")) return 0;
  if (req->text_len >= 5 && memcmp(req->text, "void ", 5) == 0) return 0;
  uint8_t st[4], d[kDescSize];
  if (!recv_bare(TMNET_METHOD_STATUS, st, sizeof st) || !recv_bare(TMNET_ARG_DESC, d, sizeof d)) return 0;
  const size_t n = ld_be32(d, 4);
  if (!recv_cut(req->result, std::min(n, req->result_size), n)) return 0;
  uint32_t status;
  memcpy(&status, st, sizeof status);  // the client's own order, kept
  return status;
}

int tmnet_srv_destroy_object(uint8_t handle) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_destroy_object: destroy client object called");
  const uint8_t p[kCmdPayload] = {0, 0, 0, handle};
  tmnet_send_msg(sock(), uint16_t(kTmnetHeaded | TMNET_DESTROY_OBJECT), kCmdPayload, p);
  return 1;
}

uint32_t tmnet_srv_wait_for_event(uint32_t* handle_out) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_wait_for_object: wait for client object event");
  uint8_t b[kDescSize];
  if (!recv_bare(0, b, sizeof b)) return 0;
  *handle_out = ld_be32(b, 0);
  return ld_be32(b, 4);
}

int tmnet_srv_load_url(const char* text, size_t len) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_attach: Load URL function called");
  if (len > kMaxText) return 0;
  uint8_t n[2];
  st_be16(n, 0, uint16_t(len));
  tmnet_send_msg(sock(), uint16_t(kTmnetHeaded | TMNET_LOAD_URL), 0, nullptr);
  send_bare(0, n, 2);
  send_bare(0, text, len);
  return 1;
}

}  // namespace kivo
