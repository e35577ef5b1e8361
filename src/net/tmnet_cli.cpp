// The character-mode remote client: session block, connect and login, the
// command loop with one handler per command, the show round trip and the
// option look-up the keystroke scripts use.
//
// The screen copy is sized at ATTACH and never grows; before it exists the
// commands that need it end the loop.
#include "net/tmnet_cli.h"
#include "net/tmnet_deadline.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "net/tmnet.h"
#include "net/tmnet_compress.h"
#include "net/tmnet_login.h"

namespace kivo {

tmnet_cli_term_ops tmnet_cli_term;

namespace {

constexpr uint32_t kCliFeatures = 0x6;
constexpr int kKeymapCells = 26;
constexpr uint32_t kMaxFrames = 4096;
constexpr size_t kOptBlock = 132;
constexpr size_t kOptNameArea = 124;
constexpr uint32_t kUnchanged = 0xFFFFFFFFu;
constexpr uint32_t kNeedsKeymap = 0x09;  // cursor or input: the show reads keys

struct session {
  std::string host, user, pswd, port;
  bool remap = false;
  bool set = false;
};

struct client {
  session s;
  int rows = 0, cols = 0;
  std::vector<uint8_t> ch, old_ch, work_ch;
  std::vector<uint32_t> at, old_at, work_at;
  std::vector<uint8_t> wire;
  std::vector<void*> keymaps;  // handle n is keymaps[n - 1]
  uint8_t pid[kCliMaxPid] = {};
  uint16_t pid_len = 0;
  uint8_t opt[kOptBlock] = {};
  size_t cells() const { return size_t(rows) * cols; }
};
client g;

int sock() { return com.rmt_sock; }

// Ends the loop: the server broke the exchange.
int bad(const char* what) {
  tmnet_dbg_log(TMNET_LOG_WARN, "cli: %s: ending the session", what);
  return 0;
}

// A command's data messages carry its code: with headers on every message
// each comes with a header of that code and its exact length.
uint8_t g_cmd;

bool recv_bare(void* b, size_t n) { return tmnet_recv_msg(sock(), g_cmd, n, b) == 1; }

// The payload that travels inside the command's header, of exactly `n`.
bool recv_payload(void* b, size_t n) { return tmnet_last_length() == n && tmnet_recv_msg(sock(), 0, n, b) == 1; }

// Reads and forgets the `n` bytes of the command header's own payload.
bool drain(size_t n) {
  uint8_t junk[512];
  for (size_t k; n; n -= k)
    if (!recv_payload(junk, k = std::min(n, sizeof junk))) return false;
  return true;
}

// One data message of `n` (at most 65535) bytes, of which the first `cap`
// are kept in `keep`.
bool recv_text(size_t n, uint8_t* keep, size_t cap) {
  std::vector<uint8_t> text(n);
  if (!recv_bare(text.data(), n)) return false;
  if (cap) memcpy(keep, text.data(), std::min(n, cap));
  return true;
}

size_t worst(size_t cells, size_t width) { return tmnet_compressed_cap(cells) * width; }

// The compressed data of an update: its length from the header's payload,
// bounded by the screen's worst case at `width` bytes a cell.
bool recv_update(size_t width, size_t* n) {
  uint8_t h[2];
  if (!g.rows || !recv_payload(h, 2)) return false;
  *n = ld_be16(h, 0);
  return *n <= worst(g.cells(), width) && recv_bare(g.wire.data(), *n);
}

int cmd_init() {
  uint8_t flag;
  if (!recv_bare(&flag, 1)) return bad("INIT");
  // The local terminal puts in its own signal handlers: the set-up's bound
  // goes on over them, and they come back when it ends.
  tmnet_handshake_end();
  if (tmnet_cli_term.init) tmnet_cli_term.init(flag);
  tmnet_handshake_begin(sock());
  const uint8_t reply[2] = {0, kTmnetVersion};
  return tmnet_send_msg(sock(), kTmnetHeaded | TMNET_REPLY, 2, reply);
}

// The screen this client reports: the terminal's, cut to what the
// protocol's messages can carry.
int cmd_attach() {
  int rows[3] = {24, 24, 24}, cols[3] = {80, 80, 80};
  if (tmnet_cli_term.attach && !tmnet_cli_term.attach(rows, cols)) return bad("ATTACH without a terminal");
  for (int i = 0; i < 3; ++i) {
    rows[i] = std::clamp(rows[i], 1, kSrvMaxDim), cols[i] = std::clamp(cols[i], 1, kSrvMaxDim);
    while (rows[i] > 1 && worst(size_t(rows[i]) * cols[i], 4) > kSrvMaxWire) --rows[i];
  }
  for (int i = 0; i < 3; ++i) {
    const tmnet_rc rc{uint32_t(rows[i]), uint32_t(cols[i])};
    if (!tmnet_send_rc(sock(), &rc)) return 0;
  }
  g.rows = rows[2], g.cols = cols[2];
  g.ch.assign(g.cells(), ' ');
  g.old_ch = g.work_ch = g.ch;
  g.at.assign(g.cells(), 0);
  g.old_at = g.work_at = g.at;
  g.wire.assign(worst(g.cells(), 4), 0);
  return 1;
}

int cmd_keymap() {
  char name[10];
  uint8_t n2[2];
  if (!recv_bare(name, sizeof name) || !recv_bare(n2, 2)) return bad("KEYMAP");
  const size_t count = ld_be16(n2, 0);
  if (count > kCliMaxKeys) return bad("KEYMAP count");
  // Room for the end cell after the entries.
  std::vector<int16_t> table(count * kKeymapCells + kKeymapCells, -1);
  if (count) {
    const size_t bytes = count * kKeymapCells * 2;
    if (!recv_bare(n2, 2)) return bad("KEYMAP");
    const size_t len = ld_be16(n2, 0);
    std::vector<uint8_t> in(len), out(bytes);
    if (len > tmnet_compressed_cap(bytes) || !recv_bare(in.data(), len)) return bad("KEYMAP data");
    if (tmnet_expand_record(in.data(), out.data(), len, bytes) != long(bytes)) return bad("KEYMAP data");
    for (size_t i = 0; i < count * kKeymapCells; ++i) table[i] = int16_t(ld_be16(out.data(), i * 2));
  }
  void* h = tmnet_cli_term.keymap ? tmnet_cli_term.keymap(name, table.data()) : nullptr;
  uint32_t handle = 0;
  if (h) {
    g.keymaps.push_back(h);
    handle = uint32_t(g.keymaps.size());
  }
  uint8_t b[4];
  st_le32(b, 0, handle);  // the client's own order: it comes back as sent
  return tmnet_send_msg(sock(), TMNET_KEYMAP, 4, b);
}

int cmd_upd_screen() {
  size_t n;
  if (!recv_update(1, &n)) return bad("UPDATE SCREEN");
  if (tmnet_expand_record(g.wire.data(), g.work_ch.data(), n, g.cells()) != long(g.cells()))
    return bad("UPDATE SCREEN data");
  for (size_t i = 0; i < g.cells(); ++i)
    if (g.work_ch[i]) g.ch[i] = g.work_ch[i];
  return 1;
}

// Attributes: 32-bit cells from a server of version 3 or more, else 16-bit
// cells widened, an unchanged 16-bit cell staying unchanged.
int cmd_upd_attr(bool keep) {
  size_t n;
  const bool wide = tmnet_remote_version >= 3 || !keep;
  if (!recv_update(wide ? 4 : 2, &n)) return bad("UPDATE ATTRIBUTE");
  if (wide) {
    if (tmnet_expand_u32_record(g.wire.data(), g.work_at.data(), n, g.cells()) != long(g.cells()))
      return bad("UPDATE ATTRIBUTE data");
  } else {
    std::vector<uint16_t> narrow(g.cells());
    if (tmnet_expand_u16_record(g.wire.data(), narrow.data(), n, g.cells()) != long(g.cells()))
      return bad("UPDATE ATTRIBUTE data");
    for (size_t i = 0; i < g.cells(); ++i) g.work_at[i] = narrow[i] == 0xFFFF ? kUnchanged : narrow[i];
  }
  if (!keep) return 1;  // extended attributes: this client shows none
  for (size_t i = 0; i < g.cells(); ++i)
    if (g.work_at[i] != kUnchanged) g.at[i] = g.work_at[i];
  return 1;
}

int connect_and_log_in();
bool g_relogin_failed = false;

// The key definition returns when the user wants to run the session; its
// server has ended, so the session runs on a new connection whose LOGIN
// asks for no key definition.
int cmd_remap() {
  if (!tmnet_cli_term.kivokeys) return bad("REMAP without the key-definition utility");
  tmnet_cli_term.kivokeys();
  close(sock());
  com.rmt_sock = 0;
  g.s.remap = false;
  tmnet_role = TMNET_ROLE_DATA_LINK;  // until logged in, a failure is reported, not fatal
  const int ok = connect_and_log_in();
  tmnet_role = TMNET_ROLE_CLIENT;
  g_relogin_failed = !ok;
  return ok;
}

int cmd_ping() {
  const uint8_t r[2] = {0, 0};
  return tmnet_send_msg(sock(), TMNET_REPLY, 2, r);
}

int cmd_load_url() {
  uint8_t h[2];
  if (!recv_bare(h, 2) || !recv_text(ld_be16(h, 0), nullptr, 0)) return bad("LOAD_URL");
  return 1;
}

int cmd_feature_exch() {
  uint8_t m[4];
  if (!recv_payload(m, 4)) return bad("FEATURE EXCHANGE");
  srv_feature_mask = ld_be32(m, 0);
  cli_feature_mask = kCliFeatures;
  com_feature_mask = srv_feature_mask & cli_feature_mask;
  st_be32(m, 0, kCliFeatures);
  return tmnet_send_msg(sock(), TMNET_FEATURE_EXCH, 4, m);
}

int cmd_process_id() {
  uint8_t h[2];
  if (!recv_payload(h, 2)) return bad("PROCESS_ID");
  const size_t n = ld_be16(h, 0), kept = std::min(n, sizeof g.pid);
  if (!recv_text(n, g.pid, kept)) return bad("PROCESS_ID");
  g.pid_len = uint16_t(kept);
  return 1;
}

// The session proper: no bound on the waits for the server, but SIGINT
// and SIGTERM end them, and an end without FINISH is named. The local
// terminal's signal handlers are in place by now; they come back at the end.
void begin_session() {
  tmnet_handshake_end();
  if (g.s.set && !tmnet_client_on())
    tmnet_client_begin(sock(), g.s.host.c_str(), g.s.port.c_str(), tmnet_cli_term.finish);
}

const char* command_name(uint8_t code) {
  switch (code) {
    case TMNET_INIT: return "INIT";
    case TMNET_SHOW: return "SHOW";
    case TMNET_FINISH: return "FINISH";
    case TMNET_ATTACH: return "ATTACH";
    case TMNET_KEYMAP: return "KEYMAP";
    case TMNET_UPD_SCREEN: return "UPDATE SCREEN";
    case TMNET_UPD_ATTR: return "UPDATE ATTRIBUTE";
    case TMNET_REMAP: return "REMAP";
    case TMNET_PING: return "PING";
    case TMNET_LOAD_URL: return "LOAD_URL";
    case TMNET_UPD_XATTR: return "UPDATE X ATTRIBUTE";
    case TMNET_FEATURE_EXCH: return "FEATURE EXCHANGE";
    case TMNET_PROCESS_ID: return "PROCESS_ID";
    default: return nullptr;
  }
}

// Hands the rows that changed since the last show to the local screen,
// each whole, split into runs of equal attribute.
void paint_changes() {
  std::vector<tmnet_run> runs;
  for (int r = 0; r < g.rows; ++r) {
    const size_t b = size_t(r) * g.cols;
    if (std::equal(&g.ch[b], &g.ch[b] + g.cols, &g.old_ch[b]) && std::equal(&g.at[b], &g.at[b] + g.cols, &g.old_at[b]))
      continue;
    runs.clear();
    for (int c = 0; c < g.cols; ++c) {
      if (runs.empty() || g.at[b + c] != runs.back().attr) runs.push_back({c + 1, 0, g.at[b + c], 0});
      ++runs.back().len;
    }
    if (tmnet_cli_term.update) tmnet_cli_term.update(r + 1, &g.ch[b], g.cols, runs.data(), int(runs.size()));
  }
  g.old_ch = g.ch;
  g.old_at = g.at;
}

void put_block(const tmnet_show& sd, uint8_t* b, const uint8_t* as_sent) {
  memcpy(b, as_sent, kShowBlockSize);
  st_be32(b, 12, uint32_t(sd.row));
  st_be32(b, 16, uint32_t(sd.col));
  st_be32(b, 20, sd.timeout);
  st_be32(b, 28, sd.key);
  st_be32(b, 32, sd.status);
  st_be32(b, 36, sd.nframes);
}

// What the user typed, as changed characters, then the block and result.
int answer_show(const tmnet_show& sd, const uint8_t* block, uint8_t result) {
  for (size_t i = 0; i < g.cells(); ++i) {
    g.work_ch[i] = g.ch[i] != g.old_ch[i] ? g.ch[i] : 0;
    if (g.work_ch[i]) g.old_ch[i] = g.ch[i];
  }
  std::copy(g.work_ch.begin(), g.work_ch.end(), g.wire.begin());
  const size_t n = tmnet_compress_record(g.wire.data(), g.cells());
  uint8_t h[2], b[kShowBlockSize];
  st_be16(h, 0, uint16_t(n));
  put_block(sd, b, block);
  return tmnet_send_msg(sock(), kTmnetHeaded | TMNET_SHOW, 2, h) &&
         tmnet_send_msg(sock(), TMNET_SHOW, n, g.wire.data()) &&
         tmnet_send_msg(sock(), TMNET_SHOW, kShowBlockSize, b) && tmnet_send_msg(sock(), TMNET_SHOW, 1, &result);
}

}  // namespace

int tmnet_cli_show() {
  uint8_t b[kShowBlockSize];
  if (!g.rows || !recv_payload(b, sizeof b)) return bad("SHOW");
  tmnet_show sd;
  sd.flags = ld_le32(b, 4);
  sd.keymap = ld_le32(b, 8);
  sd.row = int32_t(ld_be32(b, 12));
  sd.col = int32_t(ld_be32(b, 16));
  sd.timeout = ld_be32(b, 20);
  sd.spare = ld_le32(b, 24);
  sd.key = ld_be32(b, 28);
  sd.status = ld_be32(b, 32);
  sd.nframes = ld_be32(b, 36);
  if (sd.nframes > kMaxFrames) return bad("SHOW frame count");
  void* km = nullptr;
  if (sd.keymap > g.keymaps.size() || (!sd.keymap && (sd.flags & kNeedsKeymap))) return bad("SHOW keymap handle");
  if (sd.keymap) km = g.keymaps[sd.keymap - 1];
  std::vector<uint32_t> frames(size_t(sd.nframes) * 5);
  for (uint32_t f = 0; f < sd.nframes; ++f) {
    uint8_t e[kFrameEntrySize];
    if (!recv_bare(e, sizeof e)) return bad("SHOW frames");
    for (int w = 0; w < 5; ++w) frames[f * 5 + w] = ld_be32(e, size_t(w) * 4);
  }
  sd.frames = frames.data();
  paint_changes();
  const uint8_t result = uint8_t(tmnet_cli_term.show ? tmnet_cli_term.show(&sd, km) : 0);
  tmnet_bytes_sent = tmnet_bytes_recv = 0;
  return answer_show(sd, b, result);
}

int tmnet_cli_command() {
  uint8_t code = 0;
  if (!tmnet_recv_msg(sock(), kTmnetHeaded | kTmnetAnyCommand, 0, &code)) return bad("command");
  tmnet_dbg_log(TMNET_LOG_TRACE, "cli_main: Received Command from Host.");
  const char* name = command_name(code);
  if (!name) {
    // A code this client does not know: its header's own payload is passed over.
    tmnet_dbg_log(TMNET_LOG_TRACE, "cli_main: Command %d ignored", code);
    return tmnet_last_length() <= kSrvMaxWire && drain(tmnet_last_length()) ? 1 : bad("unknown command");
  }
  g_cmd = code;
  tmnet_dbg_log(TMNET_LOG_TRACE, "cli_main: Command = %s", name);
  // The set-up ends at the first command of the session proper: from
  // there the server may take its time (a long report, a user's pause),
  // and the user may end the wait.
  if (code != TMNET_INIT && code != TMNET_FEATURE_EXCH && code != TMNET_PROCESS_ID) begin_session();
  switch (code) {
    case TMNET_INIT: return cmd_init();
    case TMNET_SHOW: return tmnet_cli_show();
    case TMNET_FINISH: return 0;
    case TMNET_ATTACH: return cmd_attach();
    case TMNET_KEYMAP: return cmd_keymap();
    case TMNET_UPD_SCREEN: return cmd_upd_screen();
    case TMNET_UPD_ATTR: return cmd_upd_attr(true);
    case TMNET_REMAP: return cmd_remap();
    case TMNET_PING: return cmd_ping();
    case TMNET_LOAD_URL: return cmd_load_url();
    case TMNET_UPD_XATTR: return cmd_upd_attr(false);
    case TMNET_FEATURE_EXCH: return cmd_feature_exch();
    case TMNET_PROCESS_ID: return cmd_process_id();
  }
  return 1;
}

int tmnet_cli_setargs(const char* user, const char* pswd, const char* host, const char* port, int remap) {
  const struct {
    const char* what;
    const char* v;
    size_t max;
  } fields[] = {{"KIVO_HOST", host, kCliHostLen}, {"KIVO_USER", user, kCliUserLen}, {"KIVO_PSWD", pswd, kCliPswdLen}};
  for (const auto& f : fields) {
    if (strlen(f.v) > f.max) {
      fprintf(stderr, "kivo: %s is longer than %zu characters\n", f.what, f.max);
      g.s.set = false;
      return 0;
    }
  }
  g.s = session{host, user, pswd, port, remap != 0, true};
  return 1;
}

namespace {

// Why a step of the login failed: the text of the protocol log and the
// words the user reads, the peer named.
struct login_failure {
  const char* log = nullptr;
  std::string said;
};

// The end of the connection during the login, in words.
std::string login_end(const std::string& peer, const char* when) {
  return peer + (tmnet_last_status() == TMNET_PROTOCOL ? " broke the protocol " : " closed the connection ") + when;
}

// The LOGIN sent, the listener's and the engine's REPLY taken; false with
// `f` filled. `r` keeps the engine's REPLY.
bool log_in(int s, uint8_t* r, login_failure* f) {
  const std::string peer = g.s.host + " port " + g.s.port;
  uint8_t block[kLoginSize];
  tmnet_login l{g.s.user, g.s.pswd, g.s.remap, "", kTmnetVersion};
  if (!login_build(l, block)) {
    *f = {"the user or password does not fit the login block", "the user or password does not fit the login block"};
  } else if (!tmnet_send_msg(s, TMNET_LOGIN, kLoginSize, block)) {
    *f = {"Failed to sent login to host.", login_end(peer, "before the login was sent")};
  } else if (!tmnet_recv_msg(s, TMNET_REPLY, kReplySize, r)) {
    *f = {"Failed to receive reply from host.", login_end(peer, "without answering the login")};
  } else if (r[1] != 1) {
    *f = {"Login Rejected by host.",
          "the listener at " + peer + " refused the login of user \"" + g.s.user + "\" (user, password or request)"};
  } else if (!g.s.remap && !tmnet_recv_msg(s, TMNET_REPLY, kReplySize, r)) {
    *f = {"Failed to receive reply from Application Server.",
          "the server at " + peer + " ended before the session began: " +
              (tmnet_last_status() == TMNET_PROTOCOL ? "it broke the protocol" : "it closed the connection")};
  } else if (!g.s.remap && !r[1]) {
    *f = {"Login Rejected by Application Server.", "the server at " + peer + " refused the session"};
  } else {
    return true;
  }
  return false;
}

// Connects to the session's host and logs in; 0 after the reason went to
// standard error.
int connect_and_log_in() {
  tmnet_dbg_log(TMNET_LOG_TRACE, "cli_main: Connecting to host");
  const int s = tmnet_cli_conn_to_host(g.s.host.c_str(), g.s.port.c_str());
  if (!s || s > UINT16_MAX) {
    tmnet_dbg_log(TMNET_LOG_WARN, "cli_main: Can't connect to host %s - connect error", g.s.host.c_str());
    fprintf(stderr, "kivo: can't connect to %s port %s\n", g.s.host.c_str(), g.s.port.c_str());
    return 0;
  }
  com.rmt_sock = uint16_t(s);
  tmnet_dbg_log(TMNET_LOG_TRACE, "cli_main: Connected to Host");
  tmnet_dbg_log(TMNET_LOG_TRACE, "Sending LOGIN block to host - uid=%s", g.s.user.c_str());
  uint8_t r[kReplySize];
  login_failure f;
  tmnet_handshake_begin(s);
  if (!log_in(s, r, &f)) {
    tmnet_handshake_end();
    tmnet_dbg_log(TMNET_LOG_WARN, "cli_main: %s", f.log);
    // A host that did not answer in time was named already.
    if (tmnet_last_status() != TMNET_TIMEOUT) fprintf(stderr, "kivo: %s\n", f.said.c_str());
    return 0;
  }
  if (!g.s.remap) tmnet_remote_version = r[1];
  tmnet_dbg_log(TMNET_LOG_WARN, "cli_main: Session Connected!  local_version=%d, remote_version=%d", kTmnetVersion,
                tmnet_remote_version);
  return 1;
}

// The session from the terminal's login, connected and logged in.
int login() {
  if (!tmnet_cli_term.login || !tmnet_cli_term.login() || !g.s.set) {
    if (!g.s.set) fprintf(stderr, "kivo: KIVO_HOST, KIVO_PORT, KIVO_USER and KIVO_PSWD name the remote session\n");
    return 0;
  }
  return connect_and_log_in();
}

}  // namespace

int tmnet_cli_main(int argc, char** argv) {
  // Until the login is through, a broken connection is reported, not fatal.
  tmnet_role = TMNET_ROLE_DATA_LINK;
  tmnet_init();
  tmnet_dbg_log(TMNET_LOG_TRACE, "cli_main: Initializing OS module");
  com_fill(argc, argv);
  ss_unix_init();
  tmnet_dbg_log(TMNET_LOG_TRACE, "cli_main: Invoking Login function");
  if (!login()) {
    if (com.rmt_sock) close(com.rmt_sock);
    com.rmt_sock = 0;
    return 0;
  }
  tmnet_role = TMNET_ROLE_CLIENT;
  g_relogin_failed = false;
  while (tmnet_cli_command()) {}
  // A set-up the server did not finish in time is a failed login.
  const bool set_up_failed = tmnet_last_status() == TMNET_TIMEOUT;
  tmnet_handshake_end();
  tmnet_client_end();
  if (tmnet_cli_term.finish) tmnet_cli_term.finish();
  if (com.rmt_sock) close(com.rmt_sock);
  com.rmt_sock = 0;
  if (g_relogin_failed || set_up_failed) return 0;
  tmnet_dbg_log(TMNET_LOG_TRACE, "cli_main: Normal Termination of Client.");
  return 1;
}

int32_t tmnet_cli_get_opt(char* name, size_t len, int32_t code) {
  len = std::min(len, kOptNameArea);
  if (name && len) {
    memset(g.opt + 8, 0, kOptNameArea);
    memcpy(g.opt + 8, name, len);
    st_be32(g.opt, 4, uint32_t(len));
    st_be32(g.opt, 0, 0);
  } else {
    memset(g.opt + 8, 0, 31);
    st_be32(g.opt, 4, 0);
    st_be32(g.opt, 0, uint32_t(code));
  }
  if (!tmnet_send_msg(sock(), kTmnetHeaded | TMNET_GET_OPT, kOptBlock, g.opt) ||
      tmnet_recv_msg(sock(), TMNET_OPT_REPLY, kOptBlock, g.opt) != 1)
    return -1;
  if (name && len) return int32_t(ld_be32(g.opt, 0));
  if (!name) return 0;
  const size_t n = strnlen(reinterpret_cast<const char*>(g.opt + 8), 30);
  memcpy(name, g.opt + 8, n);
  name[n] = 0;
  return int32_t(n);
}

int tmnet_cli_row(int row, uint8_t** chars, const uint8_t** painted, const uint32_t** attrs) {
  if (row < 1 || row > g.rows) return 0;
  *chars = &g.ch[size_t(row - 1) * g.cols];
  *painted = &g.old_ch[size_t(row - 1) * g.cols];
  *attrs = &g.at[size_t(row - 1) * g.cols];
  return g.cols;
}

const char* tmnet_cli_get_server_pid(uint16_t* len) {
  *len = g.pid_len;
  return reinterpret_cast<const char*>(g.pid);
}

void tmnet_cli_reset() {
  const tmnet_cli_term_ops ops = tmnet_cli_term;
  g = client{};
  tmnet_cli_term = ops;
}

}  // namespace kivo
