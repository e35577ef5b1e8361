// The remote terminal joined to the screen: conversions between the
// window manager's blocks and the wire's, in both roles.
//
// The server's terminal handle is an image of the client's size that only
// answers geometry questions; the screen itself is the server's images.
// Keymap handles are the client's numbers carried in the pointer.
#include "editors/remote_term.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "editors/editors.h"
#include "editors/ie_gui.h"
#include "fm/fm_open.h"
#include "foundation/foundation.h"
#include "foundation/os.h"
#include "foundation/scope.h"
#include "net/tmnet.h"
#include "net/tmnet_cli.h"
#include "net/tmnet_deadline.h"
#include "net/tmnet_keys.h"
#include "net/tmnet_srv.h"
#include "screen/keydef.h"
#include "screen/screen.h"
#include "screen/tm_input.h"
#include "screen/tm_script.h"
#include "screen/wm_show.h"
#include "screen/wm_term.h"
#include "types/cnv.h"

namespace kivo {

namespace {

tm_term* g_srv_term;  // the server's geometry handle
tm_term* g_cli_term;  // the client's local terminal

tmnet_show to_wire(const SHOW_DATA& sd) {
  tmnet_show w;
  w.flags = sd.flags;
  w.keymap = uint32_t(reinterpret_cast<uintptr_t>(sd.keymap));
  w.row = sd.row, w.col = sd.col, w.timeout = sd.timeout, w.spare = sd.spare;
  w.key = sd.key, w.status = sd.status, w.nframes = sd.nframes, w.frames = sd.frames;
  return w;
}

void take_answer(SHOW_DATA* sd, const tmnet_show& w) {
  sd->row = w.row, sd->col = w.col, sd->key = w.key, sd->status = w.status;
}

std::vector<tmnet_run> wire_runs(const tm_attr_run* runs, int n) {
  std::vector<tmnet_run> out;
  for (int i = 0; i < n; ++i) out.push_back({runs[i].col, runs[i].len, runs[i].attr, runs[i].chr});
  return out;
}

// ---- server: the terminal switch's remote table ----

void srv_init(int flag) {
  // No local terminal starts here, so the terminal's signal handlers are
  // put in for the yield point to act on.
  tm_install_signals(true);
  tmnet_srv_init(flag);
}

int srv_attach(tm_attach_blk* b) {
  if (!tmnet_srv_trm_attach(b->rows, b->cols)) return 0;
  tm_image_free(g_srv_term);
  b->term = g_srv_term = tm_image_new(b->rows[2], b->cols[2]);
  return 1;
}

tm_keymap_h* srv_keymap(const char* name, const int16_t* table) {
  return reinterpret_cast<tm_keymap_h*>(uintptr_t(tmnet_srv_keymap(name, table)));
}

int srv_update(tm_term*, const tm_text_run& r) {
  const std::vector<tmnet_run> runs = wire_runs(r.runs, r.nruns);
  return tmnet_srv_upd_scr(r.row, r.col, r.text, r.len, runs.data(), int(runs.size()));
}

int srv_scroll(tm_term*, int row, int col, int nrows, int ncols, int direction, int count) {
  return tmnet_srv_scroll(row, col, nrows, ncols, direction, count);
}

uint32_t srv_show(SHOW_DATA* sd) {
  tmnet_show w = to_wire(*sd);
  const uint32_t r = tmnet_srv_show(&w);
  take_answer(sd, w);
  return r;
}

const wm_term_ops kRemoteOps = {srv_init, srv_attach,        srv_keymap,       srv_update,      srv_scroll,
                                srv_show, tmnet_srv_suspend, tmnet_srv_resume, tmnet_srv_finish};

int srv_get_itm(int row, int col, tmnet_itm* out) {
  wm_itm_info i{};
  if (!wm_get_itm(row, col, &i)) return 0;
  // Only alpha items (types 1 and 2) carry token settings.
  const bool alpha = i.cnv && (i.type == 1 || i.type == 2);
  const uint32_t group = alpha && i.cnv->ta.alp.token_id ? cv_load_token_of(i.cnv) : 0;
  *out = tmnet_itm{
      i.top_left.row, i.top_left.col, i.rows, i.cols, i.text, i.len, i.type, {i.opt[0], i.opt[1], i.opt2, 0}, group};
  return 1;
}

// The server's request as the editor's request block, and the answer
// back. A list runs over several calls of one kind, so its open file is
// kept here between them (the server serves one request at a time).
int ie_call(int (*fn)(IE_GUI_REQ*), tmnet_ie_req* req) {
  static ARB* list;
  static uint32_t list_kind;
  IE_GUI_REQ b;
  b.operation = req->kind;
  if (req->kind == list_kind) b.list = list;
  memcpy(b.ap, req->ap, 3);
  if (req->kind == 4 || req->kind == 5) memcpy(b.name, req->file, 8);
  if (req->kind == 9) {
    // ADD_ITEM's block: application id, field name, two unused bytes.
    memcpy(b.ap, req->item, 3), memcpy(b.name, req->item + 3, 22);
  }
  const int r = fn(&b);
  list = b.list, list_kind = b.list ? req->kind : 0;
  if (r && req->kind >= 3 && req->kind <= 5) {
    memcpy(req->ap, b.ap, 3);
    memcpy(req->name, b.name, sizeof req->name);  // zero-terminated where shorter
    memcpy(req->desc, b.desc, sizeof req->desc);
    req->info = b.code;
  }
  return r;
}

// ---- client: the local terminal ----

// Whether the server closed the connection (or it broke): only its end can
// make the socket readable while the server waits for this show's answer.
// -1 while it lives; else 0 (closed) or the system error.
int server_end(int sock) {
  uint8_t c;
  const ssize_t n = recv(sock, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return 0;
  return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR ? errno : -1;
}

// A key byte of the local show, watching the connection meanwhile: a server
// that ends while the user looks at its screen ends the client at once, the
// terminal put back and the end named, with the status of a lost
// connection. A bounded wait (the rest of an escape sequence) gives
// kByteLate when no byte came.
int cli_read_byte(int wait_ms) {
  bool watch = com.rmt_sock != 0;
  for (;;) {
    pollfd p[2] = {{tm_input_fd, POLLIN, 0}, {com.rmt_sock, POLLIN, 0}};
    const int n = poll(p, watch ? 2 : 1, wait_ms);
    if (n < 0 && errno == EINTR) {
      if (tm_msg_pending()) return read_meta(wait_ms);  // the show's time-out or a message
      tm_sig_act();
      continue;
    }
    if (n == 0) return kByteLate;
    if (n < 0 || p[0].revents) return read_meta(wait_ms);
    const int end = server_end(com.rmt_sock);
    if (end < 0) {
      watch = false;  // data out of turn: read on the next command
      continue;
    }
    tm_finish();
    tmnet_client_gone(tmnet_end_words(end, "the server"));
    return -1;
  }
}

int cli_login() {
  tm_hooks.get_ed = tmnet_cli_get_ed;
  tm_hooks.get_opt = tmnet_cli_get_opt;
  tm_hooks.read_byte = cli_read_byte;
  return tm_login();
}

int cli_attach(int rows[3], int cols[3]) {
  tm_attach_blk b{};
  if (!g_cli_term && !tm_trm_attach(&b)) return 0;
  if (b.term) g_cli_term = b.term;
  for (int i = 0; i < 3; ++i) rows[i] = g_cli_term->rows, cols[i] = g_cli_term->cols;
  return 1;
}

void* cli_keymap(const char name[10], const int16_t* table) { return tm_keymap(name, table); }

void cli_update(int row, const uint8_t* text, int len, const tmnet_run* runs, int nruns) {
  if (!g_cli_term) return;
  std::vector<tm_attr_run> local;
  for (int i = 0; i < nruns; ++i) local.push_back({uint16_t(runs[i].col), uint16_t(runs[i].len), runs[i].attr, 0});
  tm_upd_scr(g_cli_term, tm_text_run{text, uint16_t(len), row, 1, local.data(), nruns});
}

uint32_t cli_show(tmnet_show* w, void* keymap) {
  if (!g_cli_term) return 0;
  SHOW_DATA sd{
      g_cli_term, w->flags, static_cast<tm_keymap_h*>(keymap), w->row, w->col, w->timeout, w->spare, w->key, w->status,
      w->nframes, w->frames};
  const uint32_t r = tm_show(&sd);
  w->row = sd.row, w->col = sd.col, w->key = sd.key, w->status = sd.status;
  return r;
}

// ---- the remote key definition: the client's dialogue, the server's file ----

const kd_remote kRemoteKeys = {tmnet_cli_keys_status, tmnet_cli_keys_target, tmnet_cli_keys_send, tmnet_cli_keys_abort};

void cli_kivokeys() { kivokeys(&kRemoteKeys); }

static_assert(kKeystrokeCells == kKeystrokeMax);

ARB* srv_keymap_open() {
  uint32_t st = 0;
  return kd_open_keymap(&st);
}

uint32_t srv_keymap_store(ARB* file, const char term[10], const char user[3], const uint16_t* codes,
                          const uint16_t* keys, size_t count) {
  std::vector<kd_combo> combos(count);
  for (size_t i = 0; i < count; ++i) {
    combos[i].code = codes[i];
    memcpy(combos[i].keys, keys + i * kKeystrokeMax, sizeof combos[i].keys);
  }
  return kd_save(file, term, user, combos);
}

void srv_keymap_close(ARB* file) {
  MARK(MARK_PROCESS, [&] { FM_CLOSE(file, 0); });
}

}  // namespace

int tmnet_cli_get_ed(int row, int col, tm_edit* out) {
  static uint8_t changed;
  uint8_t* chars;
  const uint8_t* painted;
  const uint32_t* attrs;
  const int cols = tmnet_cli_row(row, &chars, &painted, &attrs);
  return cols ? tm_row_get_ed(chars, attrs, cols, col, &changed, out, painted) : 0;
}

void remote_term_register() {
  screen_hooks.remote_ops = &kRemoteOps;
  tmnet_srv_hooks.put_char = wm_put_typed;
  tmnet_srv_hooks.get_itm = srv_get_itm;
  tmnet_srv_hooks.ie_get_info = [](tmnet_ie_req* r) { return ie_call(ie_get_info, r); };
  tmnet_srv_hooks.ie_gui_edit = [](tmnet_ie_req* r) { return ie_call(ie_gui_edit, r); };
  tmnet_cli_term = {cli_login, tm_init, cli_attach, cli_keymap, cli_update, cli_show, tm_finish, cli_kivokeys};
  tmnet_keymap_file = {srv_keymap_open, srv_keymap_store, srv_keymap_close};
  tm_hooks.cli_setargs = tmnet_cli_setargs;
}

}  // namespace kivo
