// Bytes that reach the terminal per screen change: the window manager
// (wm_init, then wm_show after each change) against a plain ncurses program
// making the same changes with its own refresh (wm_bytes_ncurses), and the
// bytes a remote-terminal server sends its client for each change beside
// what a full repaint of the same screen would send.
//
//   wm_bytes_bench            runs all three on a 24 x 80 pseudo-terminal
//                             and prints the count of each change side by
//                             side; WM_BYTES_DUMP=1 shows the bytes on stderr
//
// Each child marks where its changes end (wm_bytes_scene.h); the parent
// counts what the pseudo-terminal delivered between two marks.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/fixtures/kivo_fixture.h"
#include "editors/remote_term.h"
#include "fm/fm.h"
#include "fm/la.h"
#include "foundation/com.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "net/tmnet.h"
#include "net/tmnet_cli.h"
#include "net/tmnet_srv.h"
#include "screen/screen.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"
#include "types/cnv.h"
#include "wm_bytes_scene.h"

using namespace kivo;
using namespace wm_bytes;

namespace {

constexpr uint32_t kMessageNo = 200450;

// ---- the window manager's side ----

struct form_items {
  TWND* form;
  char field[kFieldLen];
  char count[5];
  TITM count_def;
};

TITM alpha_item(int row, int col, char* value, int len) {
  sitm s{};
  s.type = ELEM_ALP;
  s.size = uint16_t(len);
  s.rows = 1;
  s.cols = uint32_t(len);
  s.entry = 1;
  s.token_kind = 255;
  memset(s.elem_mask, ' ', sizeof s.elem_mask);
  memset(s.mask, ' ', sizeof s.mask);
  TITM def{};
  cv_cmpl(&def.cnv, &s, nullptr);
  def.cnv.int_addr = reinterpret_cast<uint8_t*>(value);
  def.cnv.int_indirect = 0;
  def.cnv.addr_mode = 0;
  def.tl_row = row;
  def.tl_col = col;
  def.edited = 1;
  return def;
}

TWND* window(TSRF* s, int row, int col, int rows, int cols, uint8_t scroll = 0) {
  WND_BLK b;
  INIT_WND(&b, row, col, rows, cols, 0);
  if (scroll) b.scroll_type = scroll, b.reg_rows = 1, b.reg_cols = cols;
  return WM_ATTACH(&b, s, com.sys_scope);
}

void text(TWND* w, const std::string& t, int rows) {
  std::string all = t;
  all.resize(size_t(rows * w->blk.cols), ' ');
  w->txt_size = {rows, w->blk.cols};
  w->reg_no = w->REG_CNT;
  wm_write_reg(w, reinterpret_cast<const uint8_t*>(all.data()), {}, {});
}

int show(TSRF* main, uint8_t flags, ARB* msgs, TWND* cursor_wnd = nullptr) {
  SHOW_BLK b{};
  b.show_flags = flags;
  memcpy(b.keymap_name, "DATA ENTRY", 10);
  b.main_srf = main->id;
  if (cursor_wnd) b.curs_type = CURS_REL, b.curs_reg = cursor_wnd->id, b.rel_row = 1, b.rel_col = kFieldCol;
  return wm_show(&b, msgs);
}

// ---- the remote server's side: a client process answers every show; the
// first show that reads input gets the typed character at the cursor ----

bool g_remote = false;
uint64_t g_last_sent = 0;

uint32_t client_show(tmnet_show* sd, void*) {
  static bool typed = false;
  sd->key = NO_KEY, sd->status = KEY_STATUS_NONE;
  uint8_t* ch;
  const uint8_t* painted;
  const uint32_t* at;
  if ((sd->flags & SHOW_INPUT) && !typed && tmnet_cli_row(sd->row, &ch, &painted, &at) >= sd->col) {
    ch[sd->col - 1] = kTyped;
    typed = true;
    sd->key = LK_ENTER, sd->status = KEY_STATUS_KEY;
  }
  return 1;
}

// The client in a process of its own on one end of a socket pair; the
// server keeps the other end.
void start_client() {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) exit(1);
  if (fork() == 0) {
    close(sv[0]);
    com.rmt_sock = uint16_t(sv[1]);
    tmnet_role = TMNET_ROLE_CLIENT;
    tmnet_remote_version = kTmnetVersion;
    tmnet_cli_term = {nullptr, [](int) {},  nullptr, [](const char*, const int16_t*) -> void* { return &g_remote; },
                      nullptr, client_show, nullptr, nullptr};
    uint8_t reply[2];  // the engine's REPLY, read at login by a real client
    if (!tmnet_recv_msg(com.rmt_sock, 0, sizeof reply, reply)) _exit(1);
    while (tmnet_cli_command()) {}
    _exit(0);
  }
  close(sv[1]);
  com.rmt_sock = uint16_t(sv[0]);
  remote_term_register();
}

// A marker; a remote server adds what it sent since the last one and what
// a full repaint of the screen now shown would send.
void step(const char* kind, const char* name) {
  char extra[48] = "";
  if (g_remote) {
    snprintf(extra, sizeof extra, "|%llu|%zu", static_cast<unsigned long long>(tmnet_bytes_sent - g_last_sent),
             tmnet_srv_full_repaint_bytes());
    g_last_sent = tmnet_bytes_sent;
  }
  mark(kind, name, extra);
}

int kivo_child(char** argv) {
  kivo_test::data_dir dir;  // the keymaps and messages, removed at the end
  setenv("KIVOPATH", dir.path.c_str(), 1);
  setenv("KIVO_0SA_PATH", dir.path.c_str(), 1);
  setenv("KIVO_TST_DIR", dir.path.c_str(), 1);  // no clock; the key snapshots land here
  fm_register_hooks();
  screen_register_hooks();
  if (!os_init(1, argv) || !cv_init()) return 1;
  kivo_test::hook_overrides opt_names;
  kivo_test::install_opt_group(opt_names);  // the snapshot of an ending key names it
  const char* term = getenv("TERM");
  if (!kivo_test::write_messages() || !kivo_test::write_message(kMessageNo, kMessage) ||
      !kivo_test::write_keymap(true, term, "", "DATA ENTRY", kivo_test::default_keymap_rows()))
    return 1;
  if (!la_init() || !la_slct("00 ", com.sys_scope)) return 1;
  memset(com.keymap_id, ' ', sizeof com.keymap_id);
  memcpy(com.keymap_id, term, std::min<size_t>(strlen(term), 10));
  memcpy(com.cur_db, "DB1", 3), memcpy(com.cur_ap, "APP", 3), memcpy(com.cur_ver, "01", 2);
  memcpy(com.user_id, "ABC", 3);
  if (g_remote) start_client();
  uint32_t status;
  if (!wm_init(&status)) return 3;
  SRF_BLK sb{0, 0, 0};
  TSRF* main = WM_CREATE_SRF(&sb, com.sys_scope);
  static form_items f;
  memset(f.field, ' ', sizeof f.field);
  memcpy(f.count, kCountBefore, 5);
  f.form = window(main, kFormRow, kFormCol, kFormRows, kFormCols);
  std::string labels = std::string(kNameLabel) + std::string(size_t(kFormCols) - strlen(kNameLabel), ' ') + kCountLabel;
  text(f.form, labels, kFormRows);
  TITM field = alpha_item(1, kFieldCol, f.field, kFieldLen);
  wm_insert_itm(f.form, &field, CELL_EDIT | CELL_TAB, CELL_EDIT | CELL_TAB, 0);
  f.count_def = alpha_item(2, kFieldCol, f.count, 5);
  wm_insert_itm(f.form, &f.count_def, 0, 0, 0);
  TWND* list = window(main, kListRow, kListCol, kListRows, kListCols, 3);
  char row[16];
  for (int n = 1; n <= kListRows; ++n) list_row(row, n), text(list, row, 1);
  show(main, SHOW_REFRESH, nullptr, f.form);
  step("S", "start");

  step("K", "type a character");
  show(main, SHOW_REFRESH | SHOW_INPUT, nullptr, f.form);
  show(main, SHOW_REFRESH, nullptr);
  step("S", "after typing");

  memcpy(f.count, kCountAfter, 5);
  f.count_def.edited = 1;
  f.form->reg_no = 1;
  wm_upd_itm(f.form, &f.count_def, 0, 0, 0);
  show(main, SHOW_REFRESH, nullptr);
  step("M", "update an item");

  list_row(row, kListRows + 1);
  text(list, row, 1);
  show(main, SHOW_REFRESH, nullptr);
  step("M", "add a list row");

  TWND* pop = window(main, kPopRow, kPopCol, kPopRows, kPopCols);
  text(pop, kPopText, kPopRows);
  show(main, SHOW_REFRESH, nullptr);
  step("M", "open a pop-up");
  wm_detach(pop, 1);
  show(main, SHOW_REFRESH, nullptr);
  step("M", "close a pop-up");

  ARB* msgs = la_create_fi(uint16_t(com.scr_cols), com.sys_scope);
  wm_msg_add(msgs, kMessageNo);
  show(main, SHOW_REFRESH, msgs);
  step("M", "show a message");
  show(main, SHOW_REFRESH, nullptr);
  step("M", "clear a message");
  wm_finish();
  return 0;
}

// ---- the counting parent ----

// Reads what the terminal delivers until it stays quiet for `quiet_ms`.
size_t drain(int fd, int quiet_ms) {
  size_t n = 0;
  char buf[4096];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, quiet_ms) > 0 && (p.revents & POLLIN)) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r <= 0) break;
    n += size_t(r);
    if (getenv("WM_BYTES_DUMP"))
      for (ssize_t i = 0; i < r; ++i) fprintf(stderr, isprint(uint8_t(buf[i])) ? "%c" : "\\x%02x", uint8_t(buf[i]));
  }
  return n;
}

struct count {
  std::string first;          // the change
  size_t second;              // terminal bytes
  size_t sent = 0, full = 0;  // a remote server's bytes and a full repaint's
};
using count_list = std::vector<count>;

// The "|sent|full" a remote child put on its marker line, taken off it.
void take_remote(char* line, count* c) {
  char* bar = strchr(line, '|');
  if (!bar) return;
  *bar = 0;
  if (c) sscanf(bar + 1, "%zu|%zu", &c->sent, &c->full);
}

count_list run(const std::vector<std::string>& argv, bool enter_after_key) {
  int marker[2], ack[2];
  if (pipe(marker) != 0 || pipe(ack) != 0) return {};
  winsize ws{24, 80, 0, 0};
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
  if (pid == 0) {
    dup2(marker[1], kMarkerFd);
    dup2(ack[0], kAckFd);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(marker[1]);
  close(ack[0]);
  FILE* marks = fdopen(marker[0], "r");
  count_list out;
  char line[128];
  bool after_key = false;  // a settle after a key closes the key's remote count
  while (fgets(line, sizeof line, marks)) {
    line[strcspn(line, "\n")] = 0;
    count remote{"", 0};
    take_remote(line, &remote);
    size_t n = drain(master, 50);
    std::string name = line + 2;
    if (line[0] == 'M') out.push_back({name, n, remote.sent, remote.full});
    if (line[0] == 'S' && after_key) out.back().sent = remote.sent, out.back().full = remote.full;
    after_key = line[0] == 'K';
    if (getenv("WM_BYTES_DUMP")) fprintf(stderr, "  <- %s\n", line);
    if (write(ack[1], "k", 1) < 0) break;
    if (line[0] != 'K') continue;
    drain(master, 200);
    char c = kTyped;
    if (write(master, &c, 1) < 0) break;
    out.push_back({name, drain(master, 200)});
    if (enter_after_key && write(master, "\r", 1) < 0) break;
  }
  fclose(marks);
  close(ack[1]);
  drain(master, 50);
  waitpid(pid, nullptr, 0);
  close(master);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--kivo-child") == 0) return kivo_child(argv);
  if (argc > 1 && strcmp(argv[1], "--remote-child") == 0) return g_remote = true, kivo_child(argv);
  setenv("TERM", "xterm", 0);
  count_list k = run({argv[0], "--kivo-child"}, true);
  std::string twin = std::string(argv[0]);
  twin = twin.substr(0, twin.rfind('/') + 1) + "wm_bytes_ncurses";
  count_list c = run({twin}, false);
  count_list r = run({argv[0], "--remote-child"}, true);
  printf("%-20s %8s %8s %8s %8s %6s\n", "change", "kivo", "ncurses", "remote", "repaint", "share");
  for (size_t i = 0; i < std::max({k.size(), c.size(), r.size()}); ++i) {
    const count none{"", 0};
    const count &a = i < k.size() ? k[i] : none, &b = i < c.size() ? c[i] : none, &m = i < r.size() ? r[i] : none;
    printf("%-20s %8zu %8zu %8zu %8zu %5.1f%%\n",
           (i < k.size()   ? a
            : i < c.size() ? b
                           : m)
               .first.c_str(),
           a.second, b.second, m.sent, m.full, m.full ? 100.0 * double(m.sent) / double(m.full) : 0.0);
  }
  return 0;
}
