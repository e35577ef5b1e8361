// The requests a remote client may make while the server waits for it:
// option names and numbers, the design lists of the editor, an item to add
// and the tokens of a group. Each reads its own data, bounded by its fixed
// size, and sends its answer; 0 ends the receive it ran in (a lost client).
#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/opt_token.h"
#include "net/tmnet.h"
#include "net/tmnet_srv.h"
#include "types/cnv.h"

namespace kivo {

namespace {

constexpr size_t kOptBlock = 132;
constexpr size_t kOptNameArea = 124;
constexpr size_t kTokenText = 30;
constexpr uint8_t kRowApp = 42, kRowFile = 43, kRowField = 50, kItemData = 51;

bool read_bare(int sock, void* b, size_t n) { return tmnet_recv_msg(sock, 0, n, b); }

// The header's payload must be what the request carries.
bool expect(uint32_t length, size_t want, uint8_t code) {
  if (length == want) return true;
  tmnet_dbg_log(TMNET_LOG_WARN, "srv request %d: length %u, expected %zu", code, length, want);
  return false;
}

int get_opt(int sock, uint32_t length) {
  uint8_t b[kOptBlock];
  if (!expect(length, kOptBlock, TMNET_GET_OPT) || readn(sock, kOptBlock, b, -1) != kOptBlock) return 0;
  char* name = reinterpret_cast<char*>(b + 8);
  // The client's length is bounded by the area and by the name's own end.
  const size_t len = std::min<size_t>(ld_be32(b, 4), strnlen(name, kOptNameArea));
  char shown[kOptNameArea + 1];
  memcpy(shown, name, len);
  shown[len] = 0;
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_get_opt: len=%zu, opt=%u, nam=%s", len, ld_be32(b, 0), shown);
  if (name[0]) {
    st_be32(b, 0, uint32_t(ut_get_opt(shown, len, 0)));
  } else {
    char found[kOptNameLen + 1] = {};
    ut_get_opt(found, 0, int32_t(ld_be32(b, 0)));
    memset(name, 0, kOptNameArea);
    memcpy(name, found, strlen(found));
    memcpy(shown, found, sizeof found);
  }
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_get_opt: name=%s, opt=%d", shown, int32_t(ld_be32(b, 0)));
  return tmnet_send_msg(sock, TMNET_OPT_REPLY, kOptBlock, b);
}

// A text of up to `n` characters (ended early by a zero), blank-padded.
void put_padded(uint8_t* out, const char* text, size_t n) {
  const size_t len = strnlen(text, n);
  memcpy(out, text, len);
  memset(out + len, ' ', n - len);
}

// One list of the editor: header, a row per entry, the end row. Nothing at
// all when the editor has no session.
int send_list(int sock, uint8_t code, uint8_t row_code, tmnet_ie_req& req, uint32_t kind) {
  if (!tmnet_srv_hooks.ie_get_info) return 1;
  req.kind = 1;
  if (!tmnet_srv_hooks.ie_get_info(&req)) return 1;
  if (!tmnet_send_msg(sock, uint16_t(kTmnetHeaded | code), 0, nullptr)) return 0;
  const size_t width = kind == 3 ? 33 : kind == 4 ? 39 : 53;
  std::vector<uint8_t> row(width);
  for (req.kind = kind; tmnet_srv_hooks.ie_get_info(&req); req.kind = kind) {
    if (kind == 3) {
      put_padded(row.data(), req.ap, 3);
      put_padded(row.data() + 3, req.desc, 30);
    } else {
      const size_t n = kind == 4 ? 8 : 22;
      put_padded(row.data(), req.name, n);
      put_padded(row.data() + n, req.desc, 30);
      row[n + 30] = req.info;
    }
    if (!tmnet_send_msg(sock, row_code, width, row.data())) return 0;
  }
  std::fill(row.begin(), row.end(), 0);
  return tmnet_send_msg(sock, row_code, width, row.data());
}

int add_item(int sock) {
  tmnet_ie_req req{};
  if (!tmnet_recv_msg(sock, kItemData, sizeof req.item, req.item)) return 0;
  req.kind = 1;
  if (!tmnet_srv_hooks.ie_get_info || !tmnet_srv_hooks.ie_get_info(&req) || !tmnet_srv_hooks.ie_gui_edit) return 1;
  req.kind = 9;
  tmnet_srv_hooks.ie_gui_edit(&req);
  return 1;
}

int get_tokens(int sock) {
  uint8_t b[12];
  if (!read_bare(sock, b, sizeof b)) return 0;
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_get_tokens: started");
  const uint32_t group = ld_be32(b, 0);
  const int total = std::max(cv_get_token_list(group, 0, 0, nullptr), 0);
  // Start and maximum are the client's: both stay within the group.
  const uint32_t start = std::min<uint32_t>(ld_be32(b, 4), uint32_t(total));
  uint32_t sent = uint32_t(total) - start;
  if (const uint32_t max = ld_be32(b, 8); max && max < sent) sent = max;
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_get_tokens: group=%u, start=%u, max=%u, token_count=%d", group, start,
                ld_be32(b, 8), total);
  std::vector<uint8_t> recs(size_t(total) * kTokenRecLen);
  const int got = total ? cv_get_token_list(group, 0, total, recs.data()) : 0;
  sent = std::min<uint32_t>(sent, uint32_t(std::max(got, 0)) > start ? uint32_t(got) - start : 0);
  uint8_t counts[8];
  st_be32(counts, 0, uint32_t(total));
  st_be32(counts, 4, sent);
  if (!tmnet_send_msg(sock, TMNET_GET_TOKENS, sizeof b, b) || !tmnet_send_msg(sock, 0, sizeof counts, counts)) return 0;
  for (uint32_t i = 0; i < sent; ++i) {
    const uint8_t* r = recs.data() + size_t(start + i) * kTokenRecLen;
    const char* text = reinterpret_cast<const char*>(r + kTokenRecText);
    uint16_t len = kTokenText;
    while (len && (text[len - 1] == ' ' || !text[len - 1])) --len;
    uint8_t t[8];
    st_be32(t, 0, ld_le32(r, kTokenRecCode));
    st_be16(t, 4, uint16_t(start + i + 1));
    st_be16(t, 6, len);
    if (!tmnet_send_msg(sock, TMNET_GET_TOKENS, sizeof t, t) || (len && !tmnet_send_msg(sock, 0, len, text))) return 0;
  }
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_get_tokens: exit");
  return 1;
}

}  // namespace

int tmnet_srv_request(int sock, uint8_t code, uint32_t length) {
  tmnet_ie_req req{};
  switch (code) {
    case TMNET_GET_OPT: return get_opt(sock, length);
    case TMNET_GET_APPS: return send_list(sock, code, kRowApp, req, 3);
    case TMNET_GET_FILES: return read_bare(sock, req.ap, 3) && send_list(sock, code, kRowFile, req, 4);
    case TMNET_GET_FIELDS:
      return read_bare(sock, req.ap, 3) && read_bare(sock, req.file, 8) && send_list(sock, code, kRowField, req, 5);
    case TMNET_ADD_ITEM: return add_item(sock);
    case TMNET_GET_TOKENS: return get_tokens(sock);
    default: return 0;
  }
}

}  // namespace kivo
