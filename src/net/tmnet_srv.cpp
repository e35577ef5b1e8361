// The remote-terminal server: handshake, attach, keymaps, the images and
// their updates and scrolls, the SHOW round trip, ping and finish.
// The nested requests are in tmnet_srv_req.cpp.
//
// The images are sized once at attach and every index into them comes from
// the clipped geometry; what the client sends back is bounded by it too.
#include "net/tmnet_srv.h"
#include "net/tmnet_deadline.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "net/tmnet.h"
#include "net/tmnet_compress.h"
#include "types/cnv.h"

namespace kivo {

tmnet_srv_hook_table tmnet_srv_hooks;

namespace {

constexpr int kDefaultTimeoutMin = 10;
constexpr int kMinTimeoutMin = 5;
constexpr int kPingInterval = 60;
constexpr uint32_t kMaskOffered = 0x11ff;
constexpr uint32_t kAttrUnchanged = 0xFFFFFFFFu;
constexpr uint32_t kAttrBlank = 0x20202020u;
constexpr uint32_t kAttrItem = 0x100000u;
constexpr uint32_t kAttrItemLow = 0xB0u;
constexpr int kKeymapCells = 26;
constexpr uint8_t kCodeLanguage = 74;
constexpr uint8_t kCodeItemInfo = 72;
constexpr uint8_t kCodeTokenInfo = 80;
constexpr size_t kItemRecSize = 12;
constexpr uint8_t kItemHasToken = 0x02;
// The token-information block after an item's record: the group's two
// stamp names (8 each), its application (3) and version (2), a zero byte,
// and the group id (u16 big-endian) that GET_TOKENS asks for.
enum : size_t { TKI_NAME1 = 0, TKI_NAME2 = 8, TKI_AP = 16, TKI_VER = 19, TKI_GROUP = 22, kTokenInfoSize = 24 };
static_assert(TKI_GROUP + 2 == kTokenInfoSize);
constexpr size_t kLanguageSize = 7;

struct image {
  std::vector<uint8_t> ch;
  std::vector<uint32_t> at, xa;
  void reset(size_t n) {
    ch.assign(n, ' ');
    at.assign(n, kAttrBlank);
    xa.assign(n, kAttrBlank);
  }
};

struct server {
  int rows = 0, cols = 0;
  image cur, old, work;
  std::vector<uint8_t> wire;  // compression room for the widest image
  uint8_t language[kLanguageSize] = {};
  time_t last_ping = 0;
  time_t (*clock)() = nullptr;
  int ping_interval = kPingInterval;
  int ping_timeout = kDefaultTimeoutMin * 60;
  uint32_t last_nframes = 0;
  size_t cells() const { return size_t(rows) * cols; }
};
server g;

int sock() { return com.rmt_sock; }

time_t now() { return g.clock ? g.clock() : time(nullptr); }

// The server's time-out in seconds: KIVO_SRVR_TIMEOUT_SECONDS when it is a
// number of 1 or more (tests, fast links), else KIVO_SRVR_TIMEOUT minutes
// (at least 5), else 10 minutes.
int server_timeout_seconds() {
  if (const char* v = getenv("KIVO_SRVR_TIMEOUT_SECONDS")) {
    char* end = nullptr;
    const long s = strtol(v, &end, 10);
    if (*v && !*end && s >= 1 && s <= 24 * 3600) return int(s);
  }
  int minutes = kDefaultTimeoutMin;
  if (const char* t = getenv("KIVO_SRVR_TIMEOUT")) minutes = std::max(atoi(t), kMinTimeoutMin);
  return std::min(minutes, 24 * 60) * 60;
}

// A client that broke the exchange: nothing it sends can be trusted.
void lost(const char* why) {
  tmnet_dbg_log(TMNET_LOG_WARN, "srv: %s: client lost", why);
  tmnet_end_process(kTmnetLostExit);
}

bool send_head(uint8_t code, const uint8_t* payload, size_t n) {
  return tmnet_send_msg(sock(), uint16_t(kTmnetHeaded | code), n, payload);
}

bool send_bare(uint8_t code, const void* data, size_t n) { return tmnet_send_msg(sock(), code, n, data); }

bool recv_bare(uint8_t code, void* data, size_t n, const char* what) {
  if (tmnet_recv_msg(sock(), code, n, data)) return true;
  lost(what);
  return false;
}

bool send_u16_head(uint8_t code, size_t v) {
  uint8_t b[2];
  st_be16(b, 0, uint16_t(v));
  return send_head(code, b, 2);
}

// The client's protocol version and the features both sides offer.
void exchange_features(int sock) {
  uint8_t reply[2];
  if (!tmnet_recv_msg(sock, kTmnetHeaded | TMNET_REPLY, 2, reply)) return lost("srv_init reply");
  tmnet_remote_version = reply[1] ? reply[1] : 1;
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_init:handshake local_version=%d, remote_version=%d", kTmnetVersion,
                tmnet_remote_version);
  srv_feature_mask = kMaskOffered;
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_init:handshake default srv_feature_mask=%08x", srv_feature_mask);
  if (const char* f = getenv("KIVO_NET_FEATURE_MASK")) {
    srv_feature_mask = uint32_t(strtoul(f, nullptr, 0));
    tmnet_dbg_log(TMNET_LOG_TRACE, "srv_init:handshake KIVO_NET_FEATURE_MASK forced srv_feature_mask=%08x",
                  srv_feature_mask);
    srv_feature_mask &= kMaskOffered;
    tmnet_dbg_log(TMNET_LOG_TRACE, "srv_init:handshake new server mask set to srv_feature_mask=%08x", srv_feature_mask);
  }
  cli_feature_mask = TMNET_FEAT_KEYMAP;
  if (tmnet_remote_version >= 4) {
    tmnet_dbg_log(TMNET_LOG_TRACE, "srv_init:handshake Exchanging feature mask with client");
    uint8_t m[4];
    st_be32(m, 0, srv_feature_mask);
    if (!send_head(TMNET_FEATURE_EXCH, m, 4) || !recv_bare(TMNET_FEATURE_EXCH, m, 4, "feature exchange")) return;
    cli_feature_mask = ld_be32(m, 0);
  } else {
    tmnet_dbg_log(TMNET_LOG_TRACE, "srv_init:handshake Client too old to exchange feature mask");
  }
  com_feature_mask = srv_feature_mask & cli_feature_mask;
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_init:handshake client cli_feature_mask=%08x", cli_feature_mask);
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_init:handshake merged com_feature_mask=%08x", com_feature_mask);
}

void send_process_id() {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_init:pass process id");
  const cstr pid = os_info(11);
  if (send_u16_head(TMNET_PROCESS_ID, pid.len)) send_bare(TMNET_PROCESS_ID, pid.ptr, pid.len);
}

// Clips a 1-based position to 1..limit.
int clip(int v, int limit) { return std::clamp(v, 1, limit); }

// The item bits travel together: either form of the mark gets the other.
uint32_t item_mark(uint32_t a) {
  if (a & 1) return a;
  if (a & kAttrItem) a |= kAttrItemLow;
  if ((a & kAttrItemLow) == kAttrItemLow) a |= kAttrItem;
  return a;
}

// Worst-case compressed bytes of an image of `cells` cells `width` wide.
size_t worst_case(size_t cells, size_t width) { return tmnet_compressed_cap(cells) * width; }

// Sends one changed array: a header with the compressed length, then the
// data. The wire buffer holds the worst case of the widest array.
template <typename T>
bool send_update(uint8_t code, const std::vector<T>& work, size_t (*compress_fn)(T*, size_t)) {
  T* room = reinterpret_cast<T*>(g.wire.data());
  std::copy(work.begin(), work.end(), room);
  const size_t n = compress_fn(room, work.size());
  return send_u16_head(code, n) && send_bare(code, g.wire.data(), n);
}

size_t compress_bytes(uint8_t* r, size_t n) { return tmnet_compress_record(r, n); }

void update_chars() {
  if (g.cur.ch == g.old.ch) return;
  for (size_t i = 0; i < g.cells(); ++i) {
    g.work.ch[i] = g.cur.ch[i] != g.old.ch[i] ? g.cur.ch[i] : 0;
    g.old.ch[i] = g.cur.ch[i];
  }
  send_update<uint8_t>(TMNET_UPD_SCREEN, g.work.ch, compress_bytes);
}

void update_attrs(std::vector<uint32_t>& cur, std::vector<uint32_t>& work, const std::vector<uint32_t>& old,
                  uint8_t code, bool narrow) {
  if (cur == old) return;
  for (size_t i = 0; i < g.cells(); ++i) work[i] = cur[i] != old[i] ? cur[i] : kAttrUnchanged;
  if (!narrow) {
    send_update<uint32_t>(code, work, tmnet_compress_u32_record);
    return;
  }
  std::vector<uint16_t> w16(work.size());
  for (size_t i = 0; i < work.size(); ++i) w16[i] = uint16_t(work[i]);
  send_update<uint16_t>(code, w16, tmnet_compress_u16_record);
}

void send_language() {
  uint8_t b[kLanguageSize];
  memcpy(b, com.lang_id, 3);
  b[3] = com.yes_no[0], b[4] = com.yes_no[2], b[5] = com.yes_no[1], b[6] = com.yes_no[3];
  if (memcmp(b, g.language, 3) == 0) return;
  memcpy(g.language, b, sizeof b);
  send_head(kCodeLanguage, b, sizeof b);
}

bool item_cell(uint32_t a) { return ((a & 3) && (a & 0x3000)) || (a & kAttrItem); }

// The token-information block of a group, when the client takes them and
// the token layer knows the group.
bool token_info(uint32_t group, uint8_t* b) {
  if (!group || group > UINT16_MAX || !(com_feature_mask & TMNET_FEAT_TOKENS)) return false;
  char* c = reinterpret_cast<char*>(b);
  if (!cv_get_token_info(group, c + TKI_NAME1, c + TKI_NAME2, c + TKI_AP, c + TKI_VER)) return false;
  st_be16(b, TKI_GROUP, uint16_t(group));
  return true;
}

// The items under the screen's item cells, each once, and the end record.
void send_item_info() {
  send_head(kCodeItemInfo, nullptr, 0);
  std::vector<tmnet_itm> seen;
  for (size_t i = 0; tmnet_srv_hooks.get_itm && i < g.cells(); ++i) {
    const uint32_t a = g.cur.at[i];
    tmnet_itm it{};
    if (!item_cell(a) || !tmnet_srv_hooks.get_itm(int(i) / g.cols + 1, int(i) % g.cols + 1, &it)) continue;
    if (it.rows <= 0 || it.cols <= 0) continue;
    if (!((a & 3) == 3 || it.type == 11 || (a & kAttrItem))) continue;
    const bool dup = std::any_of(seen.begin(), seen.end(), [&](const tmnet_itm& s) {
      return s.row == it.row && s.col == it.col && s.text == it.text;
    });
    if (dup) continue;
    seen.push_back(it);
    size_t tl = it.len;
    while (tl && it.text && it.text[tl - 1] == ' ') --tl;
    const bool long_text = (it.type == 1 || it.type == 2 || it.type == 13) && tl > size_t(it.rows * it.cols);
    uint8_t r[kItemRecSize] = {uint8_t(it.row), uint8_t(it.col), uint8_t(it.rows), uint8_t(it.cols)};
    memcpy(r + 4, it.opt, 4);
    r[8] = it.type;
    r[9] = (a & kAttrItem) ? 0x01 : 0;
    st_be16(r, 10, uint16_t(long_text ? std::min<size_t>(tl, kSrvMaxWire) : 0));
    uint8_t tki[kTokenInfoSize] = {};
    if (token_info(it.token_group, tki)) r[9] |= kItemHasToken;
    send_bare(kCodeItemInfo, r, sizeof r);
    if (long_text) send_bare(kCodeItemInfo, it.text, ld_be16(r, 10));
    if (r[9] & kItemHasToken) send_bare(kCodeTokenInfo, tki, sizeof tki);
  }
  const uint8_t end[kItemRecSize] = {};
  send_bare(kCodeItemInfo, end, sizeof end);
}

void put_show_block(const tmnet_show& sd, uint8_t* b) {
  memset(b, 0, kShowBlockSize);
  st_le32(b, 4, sd.flags);
  st_le32(b, 8, sd.keymap);
  st_be32(b, 12, uint32_t(sd.row));
  st_be32(b, 16, uint32_t(sd.col));
  st_be32(b, 20, sd.timeout);
  st_le32(b, 24, sd.spare);
  st_be32(b, 28, sd.key);
  st_be32(b, 32, sd.status);
  st_be32(b, 36, sd.nframes);
}

bool send_show_block(const tmnet_show& sd) {
  uint8_t b[kShowBlockSize];
  put_show_block(sd, b);
  if (!send_head(TMNET_SHOW, b, sizeof b)) return false;
  for (uint32_t f = 0; f < sd.nframes; ++f) {
    uint8_t e[kFrameEntrySize];
    for (int w = 0; w < 5; ++w) st_be32(e, size_t(w) * 4, sd.frames[f * 5 + w]);
    if (!send_bare(TMNET_SHOW, e, sizeof e)) return false;
  }
  return true;
}

// The characters the user typed: into their fields and the current image.
// The answer comes when the user has pressed the key that ends the show:
// its header is awaited without the session's bound, its data with it.
bool take_typed() {
  uint8_t h[2];
  tmnet_set_user_wait();
  if (!tmnet_recv_msg(sock(), kTmnetHeaded | TMNET_SHOW, 2, h)) return lost("show answer"), false;
  const size_t n = ld_be16(h, 0);
  if (n > worst_case(g.cells(), 1)) {
    tmnet_dbg_log(TMNET_LOG_WARN, "srv_show: answer of %zu bytes over %zu", n, worst_case(g.cells(), 1));
    return lost("show answer length"), false;
  }
  if (n && !recv_bare(TMNET_SHOW, g.wire.data(), n, "show answer")) return false;
  if (tmnet_expand_record(g.wire.data(), g.work.ch.data(), n, g.cells()) != long(g.cells()))
    return lost("show answer data"), false;
  for (size_t i = 0; i < g.cells(); ++i) {
    const uint8_t c = g.work.ch[i];
    if (!c) continue;
    if (tmnet_srv_hooks.put_char) tmnet_srv_hooks.put_char(int(i) / g.cols + 1, int(i) % g.cols + 1, c);
    g.cur.ch[i] = c;
  }
  return true;
}

}  // namespace

void tmnet_srv_init(int flag) {
  tmnet_role = TMNET_ROLE_SERVER;
  tmnet_init();
  tmnet_get_remote_host(sock(), &com.trm_id);
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_init: Function Called");
  set_tmnet_request_handler(tmnet_srv_request);
  memset(g.language, 0, sizeof g.language);
  const uint8_t reply[2] = {2, kTmnetVersion};
  const uint8_t f = uint8_t(flag);
  // The set-up runs under the handshake's bound until the client attached.
  tmnet_handshake_begin(sock());
  if (!send_bare(TMNET_REPLY, reply, 2) || !send_head(TMNET_INIT, nullptr, 0) || !send_bare(TMNET_INIT, &f, 1))
    return lost("srv_init");
  exchange_features(sock());
  if (com_feature_mask & TMNET_FEAT_PROCESS_ID) send_process_id();
  g.ping_timeout = server_timeout_seconds();
  g.ping_interval = std::min(kPingInterval, g.ping_timeout);
}

void tmnet_srv_take_client_type() {
  static const char kNone[] = "None      ";  // TERM unset
  static_assert(sizeof kNone - 1 == sizeof com.trm_type);
  if (memcmp(com.trm_type, kNone, sizeof com.trm_type) != 0) return;
  char type[sizeof com.trm_type];
  memset(type, ' ', sizeof type);
  memcpy(type, kTmnetClientType, strlen(kTmnetClientType));
  // A keymap named on the command line or in KIVO_KEYMAP stays.
  if (memcmp(com.keymap_id, kNone, sizeof com.trm_type) == 0) memcpy(com.keymap_id, type, sizeof type);
  memcpy(com.trm_type, type, sizeof type);
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv: no TERM: terminal type %s", kTmnetClientType);
}

int tmnet_srv_trm_attach(int rows[3], int cols[3]) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_attach: Attach function called");
  tmnet_srv_take_client_type();
  if (!send_head(TMNET_ATTACH, nullptr, 0)) return 0;
  for (int i = 0; i < 3; ++i) {
    tmnet_rc rc{};
    if (!tmnet_recv_rc(sock(), &rc)) return lost("attach"), 0;
    rows[i] = int(std::min<uint32_t>(rc.row, 1u << 30));
    cols[i] = int(std::min<uint32_t>(rc.col, 1u << 30));
  }
  const char* why = nullptr;
  for (int i = 0; i < 3 && !why; ++i)
    if (rows[i] < 1 || rows[i] > kSrvMaxDim || cols[i] < 1 || cols[i] > kSrvMaxDim) why = "size outside 1 to 255";
  if (!why && (rows[0] > rows[2] || cols[0] > cols[2])) why = "current size above the maximum";
  if (!why && worst_case(size_t(rows[2]) * cols[2], 4) > kSrvMaxWire) why = "screen too large for the protocol";
  if (why) {
    tmnet_dbg_log(TMNET_LOG_WARN, "srv_attach: client screen %dx%d (maximum %dx%d) refused: %s", rows[0], cols[0],
                  rows[2], cols[2], why);
    lost("attach");
    return 0;
  }
  g.rows = rows[2], g.cols = cols[2];
  for (image* im : {&g.cur, &g.old, &g.work}) im->reset(g.cells());
  g.wire.assign(worst_case(g.cells(), 4), 0);
  // The set-up is done: from here every wait for the client is the session's.
  tmnet_handshake_end();
  tmnet_session_begin(sock(), g.ping_timeout);
  return 1;
}

uint32_t tmnet_srv_keymap(const char name[10], const int16_t* table) {
  if (!send_head(TMNET_KEYMAP, nullptr, 0) || !send_bare(TMNET_KEYMAP, name, 10)) return 0;
  uint8_t b[4] = {};
  if (!(com_feature_mask & TMNET_FEAT_KEYMAP)) {
    if (!send_bare(TMNET_KEYMAP, b, 2)) return 0;
  } else {
    size_t n = 0;
    while (table && table[n * kKeymapCells] >= 0) ++n;
    // A table whose compressed form could pass one message is cut.
    n = std::min(n, kSrvMaxWire / (worst_case(kKeymapCells, 2) + 2));
    std::vector<uint8_t> cells(tmnet_compressed_cap(n * kKeymapCells * 2));
    for (size_t i = 0; i < n * kKeymapCells; ++i) st_be16(cells.data(), i * 2, uint16_t(table[i]));
    const size_t len = tmnet_compress_record(cells.data(), n * kKeymapCells * 2);
    st_be16(b, 0, uint16_t(n));
    st_be16(b, 2, uint16_t(len));
    if (!send_bare(TMNET_KEYMAP, b, 2) || !send_bare(TMNET_KEYMAP, b + 2, 2) ||
        !send_bare(TMNET_KEYMAP, cells.data(), len))
      return 0;
  }
  if (!recv_bare(TMNET_KEYMAP, b, 4, "keymap handle")) return 0;
  return ld_le32(b, 0);
}

int tmnet_srv_upd_scr(int row, int col, const uint8_t* text, int len, const tmnet_run* runs, int nruns) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_upd_scr: Update Screen function called");
  if (!g.rows) return 0;
  row = clip(row, g.rows), col = clip(col, g.cols);
  const size_t base = size_t(row - 1) * g.cols;
  const int n = std::clamp(len, 0, g.cols - col + 1);
  if (text && n) memcpy(&g.cur.ch[base + col - 1], text, size_t(n));
  for (int r = 0; r < nruns; ++r) {
    const int c = clip(runs[r].col, g.cols);
    const int l = std::clamp(runs[r].len, 0, g.cols - c + 1);
    const uint32_t a = item_mark(runs[r].attr);
    std::fill_n(&g.cur.at[base + c - 1], l, a);
    std::fill_n(&g.cur.xa[base + c - 1], l, runs[r].xattr);
  }
  return 1;
}

int tmnet_srv_scroll(int row, int col, int nrows, int ncols, int direction, int count) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_scroll: Scroll function called");
  if (direction < 0 || direction > 3) return 0;
  if (!g.rows || nrows < 1 || ncols < 1 || count < 1) return 1;
  row = clip(row, g.rows), col = clip(col, g.cols);
  nrows = std::min(nrows, g.rows - row + 1), ncols = std::min(ncols, g.cols - col + 1);
  auto at = [&](int r, int c) { return size_t(row - 1 + r) * g.cols + size_t(col - 1 + c); };
  auto move = [&](size_t to, size_t from) {
    g.cur.ch[to] = g.cur.ch[from], g.cur.at[to] = g.cur.at[from], g.cur.xa[to] = g.cur.xa[from];
  };
  auto clear = [&](size_t i, uint32_t a) { g.cur.ch[i] = ' ', g.cur.at[i] = a, g.cur.xa[i] = a; };
  const bool vertical = direction == 0 || direction == 1;
  const int span = vertical ? nrows : ncols;
  count = std::min(count, span);
  for (int k = 0; k < span; ++k) {
    // Forward directions fill from the low edge; backward ones from the high.
    const bool forward = direction == 0 || direction == 2;
    const int dst = forward ? k : span - 1 - k;
    const int src = forward ? dst + count : dst - count;
    const bool fill = src < 0 || src >= span;
    for (int o = 0; o < (vertical ? ncols : nrows); ++o) {
      const size_t to = vertical ? at(dst, o) : at(o, dst);
      if (fill) clear(to, vertical ? 0 : kAttrBlank);
      else move(to, vertical ? at(src, o) : at(o, src));
    }
  }
  return 1;
}

uint32_t tmnet_srv_show(tmnet_show* sd) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_show: Show function called");
  if (!g.rows) return 0;
  if (com_feature_mask & TMNET_FEAT_LANGUAGE) send_language();
  update_chars();
  const bool narrow = tmnet_remote_version < 3;
  update_attrs(g.cur.at, g.work.at, g.old.at, TMNET_UPD_ATTR, narrow);
  if (!narrow) update_attrs(g.cur.xa, g.work.xa, g.old.xa, TMNET_UPD_XATTR, false);
  if (com_feature_mask & TMNET_FEAT_ITEM_INFO) send_item_info();
  g.last_nframes = sd->nframes;
  if (!send_show_block(*sd) || !take_typed()) return 0;
  g.old = g.cur;
  uint8_t b[kShowBlockSize + 1];
  if (!recv_bare(TMNET_SHOW, b, kShowBlockSize, "show block") ||
      !recv_bare(TMNET_SHOW, b + kShowBlockSize, 1, "show result"))
    return 0;
  // Only the answer's own words are taken: the frame count and time-out
  // stay this side's, the cursor stays on the screen.
  sd->row = clip(int32_t(ld_be32(b, 12)), g.rows);
  sd->col = clip(int32_t(ld_be32(b, 16)), g.cols);
  sd->key = ld_be32(b, 28);
  sd->status = ld_be32(b, 32);
  return b[kShowBlockSize];
}

void tmnet_srv_finish() {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_attach: Finish function called");
  send_head(TMNET_FINISH, nullptr, 0);
}

int tmnet_srv_ping() {
  tmnet_session_act();
  const time_t t = now();
  if (g.last_ping && t - g.last_ping < g.ping_interval) return 1;
  g.last_ping = t;
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_attach: Ping function called");
  if (!send_head(TMNET_PING, nullptr, 0)) return 0;
  uint8_t r[2];
  tmnet_set_timeout(g.ping_timeout);
  if (tmnet_recv_msg(sock(), TMNET_REPLY, 2, r)) return 1;
  tmnet_dbg_log(TMNET_LOG_WARN, "srv_ping: Failed to receive reply from Application Client.");
  if (tmnet_session_on()) {
    char why[64];
    snprintf(why, sizeof why, "no answer to the ping within %d s", g.ping_timeout);
    tmnet_session_gone(why, kRemoteGoneExit);
  }
  return 0;
}

bool tmnet_srv_check_feature(uint32_t bits) { return (com_feature_mask & bits) == bits; }
void tmnet_srv_suspend() {}
void tmnet_srv_resume() {}
void tmnet_srv_trm_detach() {}

void set_tmnet_srv_clock(time_t (*clock)()) { g.clock = clock; }
void set_tmnet_srv_ping_times(int interval, int timeout) {
  g.ping_interval = interval;
  g.ping_timeout = timeout;
}

size_t tmnet_srv_full_repaint_bytes() {
  if (!g.rows) return 0;
  std::vector<uint8_t> room(g.wire.size());
  auto packed = [&](const auto& cells, auto compress_fn) {
    using T = std::decay_t<decltype(cells[0])>;
    T* r = reinterpret_cast<T*>(room.data());
    std::copy(cells.begin(), cells.end(), r);
    return kTmnetHeaderSize + 2 + compress_fn(r, cells.size());
  };
  size_t n = packed(g.cur.ch, compress_bytes);
  if (tmnet_remote_version < 3) {
    n += packed(std::vector<uint16_t>(g.cur.at.begin(), g.cur.at.end()), tmnet_compress_u16_record);
  } else {
    n += packed(g.cur.at, tmnet_compress_u32_record) + packed(g.cur.xa, tmnet_compress_u32_record);
  }
  return n + kTmnetHeaderSize + kShowBlockSize + kFrameEntrySize * g.last_nframes;
}

int tmnet_srv_rows() { return g.rows; }
int tmnet_srv_cols() { return g.cols; }
const uint8_t* tmnet_srv_chars() { return g.cur.ch.data(); }
const uint32_t* tmnet_srv_attrs() { return g.cur.at.data(); }

}  // namespace kivo
