// The remote data back-end's slots (net_fms_fn): connection ids from the
// data-server text, connections with their handshake, and every file and
// record operation sent as a request to the data server.
//
// Invariants: a send or receive that fails ends the operation with FM_IO_ERR,
// closes the socket and resets the connection (state 0, next generation),
// so that the next use connects again; a stream whose handle belongs to an
// earlier generation opens its file again on the new server. A change
// (write, rewrite, delete) sent whole whose answer did not come may have
// been made: it ends with FM_IO_UNSURE instead, and says so. Lengths the
// server returns are taken only within the file's record length and the
// record-id area.
//
// Between requests the client keeps each connection alive: while the engine
// waits for its user (or works without its server) it sends a PING every
// third of its keepalive bound, which it announces in the option word, so
// that the server can end the session of a client that vanished.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>

#include "fm/fm_open.h"
#include "foundation/bytes.h"
#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "foundation/sys_err.h"
#include "net/netio.h"
#include "net/tmnet.h"
#include "net/tmnet_deadline.h"
#include "net/tmnet_login.h"

namespace kivo {

fms_fn net_fms_fn;

namespace {

enum : uint8_t { CONN_NONE = 0, CONN_UP = 1, CONN_FAILED = 2 };
enum : uint8_t { STRM_ATTACHED = 0, STRM_OPENED = 1, STRM_CLOSED = 2 };
constexpr size_t kMaxRecIdLen = 256;
constexpr size_t kMaxPassword = 21;

using steady = std::chrono::steady_clock;

struct net_conn {
  uint32_t port = 0;
  std::string host;
  uint8_t state = CONN_NONE;
  int sock = -1;
  uint32_t gen = 1;                // raised at every reset: older handles are stale
  bool reported = false;           // its failure was shown; not again until it is up
  steady::time_point retry_after;  // a failed one is not tried again before
  std::string why;                 // what its last failure was, in words
  steady::time_point last_sent;    // of its last request or PING: the server's idle clock
  bool server_ended = false;       // the server ended the session the last reset ended
};

struct net_id {
  net_addr addr;
  std::string path;
  uint32_t number = 0;
  uint16_t rec_id_len = 0;
};

struct net_strm {
  uint32_t marker = kNetStrmMarker;
  net_conn* conn = nullptr;
  uint8_t state = STRM_ATTACHED;
  uint32_t handle = 0;  // 0: none on the server yet
  uint32_t gen = 0;
  std::vector<uint8_t> rec_id;
  std::vector<uint8_t> buf;  // records arrive here
};

std::list<std::unique_ptr<net_conn>> g_conns;
std::list<std::unique_ptr<net_id>> g_ids;
uint32_t g_next_id = 0;
char g_break[8];                              // KIVO_NETIO_BREAK: a file-name fragment
bool g_starting = false;                      // the engine's start: a connection that fails ends it
int g_in_exchange = 0;                        // nonzero while a request and its answer are under way
unsigned g_keepalive = kNetKeepaliveDefault;  // seconds, read at net_fm_init

// The message layer's data-link rule for the length of one exchange.
struct link_role {
  uint8_t saved = tmnet_role;
  link_role() { tmnet_role = TMNET_ROLE_DATA_LINK; }
  ~link_role() { tmnet_role = saved; }
};

// One request and its answer on a connection that is up: the data-link
// rule, and one bound for all its receives (KIVO_NET_REQUEST_TIMEOUT), so
// that a server that stopped answering fails the operation instead of
// holding the session.
struct exchange {
  link_role role;
  explicit exchange(const net_conn* c) {
    ++g_in_exchange;
    tmnet_request_begin(c->sock, tmnet_request_seconds());
  }
  ~exchange() {
    tmnet_request_end();
    --g_in_exchange;
  }
  exchange(const exchange&) = delete;
  exchange& operator=(const exchange&) = delete;
};

net_strm* NS(STRM* s) {
  auto* n = static_cast<net_strm*>(s->strm_fms_path);
  return n && n->marker == kNetStrmMarker ? n : nullptr;
}
net_id* ID(const PFB* pfb) { return pfb->pfb_id16 == kNetId16 ? static_cast<net_id*>(pfb->pfb_fms_data) : nullptr; }

int fail(ARB* arb, uint32_t st) {
  arb->arb_stat = st;
  return 0;
}

const char* file_name(STRM* s) {
  static char name[9];
  memcpy(name, s->strm_lfb->lfb_lfn->lfn_path.fdb_name, 8);
  return name;
}

// An empty function a debugger can stop in for the files KIVO_NETIO_BREAK names.
__attribute__((noinline)) void netio_break_hook() { asm volatile(""); }
void maybe_break(STRM* s) {
  if (g_break[0] && strstr(file_name(s), g_break)) netio_break_hook();
}

// `server_ended`: the server ended the session (closed or reset the
// connection), rather than falling silent or breaking the protocol.
void reset_conn(net_conn* c, bool server_ended = false) {
  if (c->sock > 0) close(c->sock);
  c->sock = -1;
  c->state = CONN_NONE;
  c->server_ended = server_ended;
  ++c->gen;
}

// What ended an exchange, in words that name the server and fit the
// message row.
std::string exchange_end(const net_conn* c) {
  const std::string peer = c->host + " port " + std::to_string(c->port);
  switch (tmnet_last_status()) {
    case TMNET_TIMEOUT: return "no answer from " + peer + " within " + std::to_string(tmnet_request_seconds()) + " s";
    case TMNET_LOST:
      if (!tmnet_last_error()) return peer + " closed the connection";
      return "the connection to " + peer + " broke (" + strerror(tmnet_last_error()) + ")";
    default: return peer + " broke the protocol";
  }
}

// A connection that failed in the engine's start ends the start: one line
// naming the server and the cause, and the status of a lost connection.
void end_start(const std::string& text) {
  if (!g_starting) return;
  ss_restore_tty();
  startup_err(text.c_str(), kTmnetLostExit);
}

// What a failed exchange means for the operation that asked for it.
enum class outcome : uint8_t {
  unknown,   // a read, or what the server did does not matter
  not_made,  // a change whose request never reached the server whole
  unsure,    // a change sent whole whose answer did not come: it may be done
};

// A broken exchange: the connection is reset and the operation fails with
// FM_IO_ERR (FM_IO_UNSURE for a change that may have been made), whose text
// (the recorded system error) names the connection and the cause. The next
// use connects again; after a server that did not answer, only once the
// bound has passed again, so that the requests of one operation wait for
// it once.
int lost(ARB* arb, net_conn* c, outcome o = outcome::unknown) {
  c->why = "KivoNet: " + exchange_end(c);
  std::string text = c->why;
  if (o == outcome::unsure) text += ": the change may have been made; look the record up again";
  if (o == outcome::not_made) text += ": the change was not made";
  if (o == outcome::unsure) la_sys_err_unsure(text.c_str());
  else la_sys_err(text.c_str(), 0);
  netio_log(NETLOG_ERROR, "%s\n", text.c_str());
  end_start(text);
  const auto st = tmnet_last_status();
  const bool silent = st == TMNET_TIMEOUT;
  reset_conn(c, st == TMNET_LOST);
  if (silent) {
    c->state = CONN_FAILED;
    c->retry_after = steady::now() + std::chrono::seconds(tmnet_request_seconds());
  }
  return fail(arb, o == outcome::unsure ? FM_IO_UNSURE : FM_IO_ERR);
}

// Whether the server has closed (or broken) a connection between requests,
// or sent what no request asked for: either way it is out of step.
bool peer_gone(int sock) {
  pollfd p{sock, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return true;
  char b;
  const ssize_t n = recv(sock, &b, 1, MSG_PEEK | MSG_DONTWAIT);
  return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// Whether a connection was found closed before a request went out; it is
// reset then, with the text recorded: nothing was sent.
bool closed_before(net_conn* c) {
  if (c->state != CONN_UP || !peer_gone(c->sock)) return false;
  c->why = "KivoNet: " + c->host + " port " + std::to_string(c->port) + " closed the connection";
  const std::string text = c->why + "; the request was not sent";
  la_sys_err(text.c_str(), 0);
  netio_log(NETLOG_ERROR, "%s\n", text.c_str());
  end_start(text);
  reset_conn(c, true);
  return true;
}

std::string g_conn_failure;

// Reports a failed connection once until it comes up again: the host, the
// port and the cause. Uses within the handshake's bound after it fail at
// once with the same report, so a start that opens many files waits once.
int conn_failed(net_conn* c, const char* fmt, const std::string& cause) {
  char text[400];
  int n = snprintf(text, sizeof text, fmt, c->host.c_str());
  if (n > 0 && static_cast<size_t>(n) < sizeof text)
    snprintf(text + n, sizeof text - n, " (port %u)%s%s", static_cast<unsigned>(c->port), cause.empty() ? "" : ": ",
             cause.c_str());
  if (!c->reported) la_sys_err(text, 0);
  c->reported = true;
  g_conn_failure = text;
  c->why = text;
  netio_log(NETLOG_ERROR, "%s\n", text);
  end_start(text);
  if (c->sock > 0) close(c->sock);
  c->sock = -1;
  c->state = CONN_FAILED;
  c->retry_after = steady::now() + std::chrono::seconds(tmnet_handshake_seconds());
  return 0;
}

// Why the last receive of the handshake failed, in words.
std::string recv_cause() {
  switch (tmnet_last_status()) {
    case TMNET_TIMEOUT: return "no answer within " + std::to_string(tmnet_handshake_seconds()) + " s";
    case TMNET_LOST: return "the server closed the connection";
    default: return "the server broke the protocol";
  }
}

std::string trimmed(std::string s, size_t max) {
  if (s.size() > max) s.resize(max);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

void login_user(const net_id* id, tmnet_login* l) {
  const char* uid = getenv("KIVO_UID");
  if (getenv("KIVO_DATA_SERVER") && uid) {
    std::string u = uid;
    size_t colon = u.find(':');
    l->user = u.substr(0, colon);
    l->password = colon == std::string::npos ? "" : u.substr(colon + 1);
  } else {
    l->user = !id->addr.user.empty() ? id->addr.user : trimmed(std::string(com.user_id, 3), 3);
    l->password = id->addr.password;
  }
  l->user = trimmed(l->user, kLoginUserSize - 1);
  l->password = trimmed(l->password, kMaxPassword);
}

uint32_t env_number(const char* name) {
  const char* v = getenv(name);
  return v ? static_cast<uint32_t>(strtoul(v, nullptr, 0)) : 0;
}

int handshake_steps(net_conn* c, const net_id* id);

// The handshake after the TCP connection: LOGIN, the two REPLYs, the probes,
// the pause and the options, each wait for the server bounded.
int handshake(net_conn* c, const net_id* id) {
  tmnet_handshake_begin(c->sock, false);  // conn_failed names a failure
  const int ok = handshake_steps(c, id);
  tmnet_handshake_end();
  return ok;
}

int handshake_steps(net_conn* c, const net_id* id) {
  tmnet_login l;
  login_user(id, &l);
  l.start = kLoginDataServer;
  l.version = kTmnetVersion;
  uint8_t block[kLoginSize];
  if (!login_build(l, block)) return conn_failed(c, "KivoNet connection to %s failed(2)", "the login does not fit");
  if (!tmnet_send_msg(c->sock, TMNET_LOGIN, sizeof block, block))
    return conn_failed(c, "KivoNet connection to %s failed(2)", "the server closed the connection");
  uint8_t reply[kReplySize];
  if (!tmnet_recv_msg(c->sock, TMNET_REPLY, sizeof reply, reply))
    return conn_failed(c, "KivoNet connection to %s failed(3)", recv_cause());
  if (reply[1] != 1) return conn_failed(c, "KivoNet connection to %s failed(4)", "the login was refused");
  if (!tmnet_recv_msg(c->sock, TMNET_REPLY, sizeof reply, reply))
    return conn_failed(c, "KivoNet connection to %s failed(5)", recv_cause());
  uint8_t probes[6], pause = static_cast<uint8_t>(env_number("KIVO_NET_PAUSE")), opts[8];
  st_le16(probes, 0, 1);
  st_le32(probes, 2, 0x00010203);
  st_le32(opts, 0, netio_log_mask);
  st_le32(opts, 4, (env_number("KIVO_NET_OPTIONS") & ~kNetOptKeepaliveMask) | g_keepalive << 16);
  if (!tmnet_send_msg(c->sock, NETIO_BYTE_ORDER, 2, probes) ||
      !tmnet_send_msg(c->sock, NETIO_BYTE_ORDER, 4, probes + 2) || !tmnet_send_msg(c->sock, NETIO_PAUSE, 1, &pause) ||
      !tmnet_send_msg(c->sock, NETIO_OPTIONS, 4, opts) || !tmnet_send_msg(c->sock, NETIO_OPTIONS, 4, opts + 4))
    return conn_failed(c, "KivoNet connection to %s failed(5)", "the server closed the connection");
  netio_options = ld_le32(opts, 4);
  if (reply[1] != 4)
    return conn_failed(c, "KivoNet connection to %s failed",
                       "protocol version " + std::to_string(reply[1]) + ", not 4");
  c->state = CONN_UP;
  c->reported = false;
  c->last_sent = steady::now();
  return 1;
}

// hcon_connect: the connection of a host and port, connected when needed.
int hcon_connect(net_conn* c, const net_id* id) {
  // An open needs no state of the connection before it: one found closed
  // is connected anew.
  if (c->state == CONN_UP && peer_gone(c->sock)) reset_conn(c, true);
  if (c->state == CONN_UP) return 1;
  if (c->state == CONN_FAILED && steady::now() < c->retry_after) {
    // Known lost: nothing goes out. The failure just recorded (the same
    // operation's) stays the text; after any other, the text says so.
    const char* last = la_sys_err_text();
    if (!last || last + 1 != c->why) la_sys_err_note((c->why + "; the request was not sent").c_str());
    return 0;
  }
  c->state = CONN_FAILED;
  netio_options &= ~kNetOptLenCheck;
  errno = 0;
  c->sock = tmnet_cli_conn_to_host(c->host.c_str(), std::to_string(c->port).c_str());
  if (c->sock <= 0) return conn_failed(c, "KivoNet connection to %s failed", errno ? strerror(errno) : "");
  link_role role;
  return handshake(c, id);
}

net_conn* find_conn(const net_addr& a) {
  for (auto& c : g_conns)
    if (c->port == a.port && c->host == a.host) return c.get();
  g_conns.push_back(std::make_unique<net_conn>());
  g_conns.back()->port = a.port;
  g_conns.back()->host = a.host;
  return g_conns.back().get();
}

// The open request: the FDB in its stored form, then each key and its segments.
std::vector<uint8_t> open_request(const LFB* lfb) {
  const PFB* pfb = lfb->lfb_pfb;
  FDB f{};
  f.path = lfb->lfb_lfn->lfn_path;
  if (const char* db = getenv("KIVO_REMOTE_DB"); db && *db) memcpy(f.path.fdb_db, db, std::min<size_t>(strlen(db), 3));
  f.fdb_nkeys = static_cast<uint8_t>(pfb->pfb_nkeys);
  f.fdb_cr_size = lfb->lfb_cr_size;
  f.fdb_rec_len = pfb->pfb_rec_len;
  f.fdb_var = pfb->pfb_var;
  f.fdb_fmt = pfb->pfb_fmt;
  f.fdb_fs_type = pfb->TYPE;
  f.fdb_org = pfb->ORG;
  f.fdb_acc = lfb->lfb_acc;
  f.fdb_shr = lfb->lfb_shr;
  f.fdb_opt = lfb->lfb_opt & ~(LFB_DEFER | LFB_STRUCT_CHK);
  f.fdb_struct_date[0] = pfb->pfb_stamp[0];
  f.fdb_struct_date[1] = pfb->pfb_stamp[1];
  std::vector<uint8_t> out(kFdbStoredSize);
  fdb_store(f, out.data());
  for (int i = 0; i < pfb->pfb_nkeys; ++i) {
    const KDB& k = pfb->pfb_kdb[i];
    size_t at = out.size();
    out.resize(at + kKdbStoredSize + k.kdb_nsegs * kSdbStoredSize);
    kdb_store(k, out.data() + at);
    for (int j = 0; j < k.kdb_nsegs; ++j)
      sdb_store(k.kdb_sdb[j], out.data() + at + kKdbStoredSize + j * kSdbStoredSize);
  }
  return out;
}

// Sends the open request one descriptor to a message, as the server reads
// it: in length-check mode each carries its own length.
int send_open_request(int sock, const LFB* lfb) {
  std::vector<uint8_t> req = open_request(lfb);
  const uint8_t* at = req.data();
  if (!netio_send(sock, at, kFdbStoredSize)) return 0;
  at += kFdbStoredSize;
  const PFB* pfb = lfb->lfb_pfb;
  for (int i = 0; i < pfb->pfb_nkeys; ++i) {
    if (!netio_send(sock, at, kKdbStoredSize)) return 0;
    at += kKdbStoredSize;
    for (int j = 0; j < pfb->pfb_kdb[i].kdb_nsegs; ++j, at += kSdbStoredSize)
      if (!netio_send(sock, at, kSdbStoredSize)) return 0;
  }
  return 1;
}

int send_cmd(net_conn* c, uint8_t code) {
  c->last_sent = steady::now();
  return tmnet_send_msg(c->sock, static_cast<uint16_t>(kTmnetHeaded | code), 0, nullptr);
}

// hcon_open: NETIO_OPEN for the stream; its handle, or 0 with arb_stat.
int hcon_open(ARB* arb, STRM* strm, net_strm* n) {
  net_id* id = ID(strm_pfb(strm));
  if (!hcon_connect(n->conn, id)) return fail(arb, FM_IO_ERR);
  net_conn* c = n->conn;
  exchange ex(c);
  uint8_t answer[4];
  if (!send_cmd(c, NETIO_OPEN) || !send_open_request(c->sock, strm->strm_lfb) || !netio_recv(c->sock, answer, 4))
    return lost(arb, c);
  uint32_t handle = ld_le32(answer, 0);
  if (handle == 0) {
    if (!netio_recv(c->sock, answer, 4)) return lost(arb, c);
    return fail(arb, ld_le32(answer, 0));
  }
  uint8_t idlen[2];
  if (!netio_recv(c->sock, idlen, 2)) return lost(arb, c);
  if (ld_le16(idlen, 0) > kMaxRecIdLen) return lost(arb, c);
  id->rec_id_len = ld_le16(idlen, 0);
  netio_log(NETLOG_CLIENT, "net_open() - netid_peer = 0x%08x\n", handle);
  n->handle = handle;
  n->gen = c->gen;
  n->state = STRM_OPENED;
  n->rec_id.assign(id->rec_id_len, 0);
  return 1;
}

net_strm* opener_of(STRM* strm) {
  for (auto* s = static_cast<STRM*>(strm->strm_lfb->lfb_strm.head); s; s = static_cast<STRM*>(s->strm_in_lfb.next)) {
    net_strm* n = NS(s);
    if (n && n->state == STRM_OPENED && n->handle && n->gen == n->conn->gen) return n;
  }
  return nullptr;
}

// hcon_attach: a further server stream on the file opener has open.
int hcon_attach(ARB* arb, net_strm* opener, net_strm* n) {
  net_conn* c = n->conn;
  exchange ex(c);
  uint8_t h[4], answer[4];
  st_le32(h, 0, opener->handle);
  if (!send_cmd(c, NETIO_ATTACH) || !netio_send(c->sock, h, 4) || !netio_recv(c->sock, answer, 4)) return lost(arb, c);
  if (ld_le32(answer, 0) == 0) {
    uint8_t st[kNetstatSize];
    if (!netio_recv(c->sock, st, sizeof st)) return lost(arb, c);
    return fail(arb, ld_le32(st, NETSTAT_CODE));
  }
  n->handle = ld_le32(answer, 0);
  n->gen = c->gen;
  n->state = STRM_ATTACHED;
  n->rec_id.assign(opener->rec_id.size(), 0);
  return 1;
}

// A handle on the server for the stream: attached to its file's open, or an
// open of its own (a deferred open, or the first use after a reconnect).
int ensure_handle(ARB* arb, STRM* strm, net_strm* n) {
  if (n->handle && n->gen == n->conn->gen && n->state != STRM_CLOSED) return 1;
  n->handle = 0;
  if (net_strm* o = opener_of(strm); o && o != n) return hcon_attach(arb, o, n);
  return hcon_open(arb, strm, n);
}

// ---- record operations ----

struct request {
  uint8_t code;
  uint8_t block[kNetarbSize] = {};
  const uint8_t* data = nullptr;
  uint32_t len = 0;
};

void fill_block(request* r, ARB* arb, STRM* strm, net_strm* n, uint32_t len, uint32_t key_off) {
  st_le32(r->block, NETARB_HANDLE, n->handle);
  st_le32(r->block, NETARB_KEYNO, arb->arb_keyno);
  st_le32(r->block, NETARB_LEN, len);
  st_le32(r->block, NETARB_KEY_OFF, key_off);
  st_le32(r->block, NETARB_REC_LEN, strm_pfb(strm)->pfb_rec_len);
  st_le16(r->block, NETARB_MOD, arb->arb_mod);
}

// Sends the request: header, block, data. 0 (connection reset) on failure;
// a change that did not go out whole was not made.
int send_request(ARB* arb, net_strm* n, const request& r, bool change = false) {
  net_conn* c = n->conn;
  if (!send_cmd(c, r.code) || !netio_send(c->sock, r.block, sizeof r.block) ||
      (r.data && r.len && !netio_send(c->sock, r.data, r.len)))
    return lost(arb, c, change ? outcome::not_made : outcome::unknown);
  return 1;
}

// The status block: 1 success, 0 failure (arb_stat set), -1 connection
// lost (`o`: what that means for the operation).
int recv_status(ARB* arb, net_strm* n, uint8_t* st, outcome o = outcome::unknown) {
  if (!netio_recv(n->conn->sock, st, kNetstatSize)) return lost(arb, n->conn, o), -1;
  arb->arb_stat = ld_le32(st, NETSTAT_CODE);
  if (st[NETSTAT_OK] == 1) return 1;
  netio_log(NETLOG_CLIENT, "   - failed %d\n", arb->arb_stat);
  return 0;
}

int recv_rec_id(ARB* arb, net_strm* n, outcome o = outcome::unknown) {
  if (!n->rec_id.empty() && !netio_recv(n->conn->sock, n->rec_id.data(), n->rec_id.size()))
    return lost(arb, n->conn, o);
  arb->arb_rec_id_area = n->rec_id.data();
  arb->arb_rec_id_len = static_cast<uint32_t>(n->rec_id.size());
  return 1;
}

// The record and record id after a successful read.
int recv_record(ARB* arb, STRM* strm, net_strm* n, const uint8_t* st) {
  const PFB* pfb = strm_pfb(strm);
  uint32_t len = pfb->pfb_var ? ld_le32(st, NETSTAT_VAR_LEN) : ld_le32(st, NETSTAT_LEN);
  if (len > pfb->pfb_rec_len) return lost(arb, n->conn);
  n->buf.resize(std::max<size_t>(pfb->pfb_rec_len, 1));
  if (len && !netio_recv(n->conn->sock, n->buf.data(), len)) return lost(arb, n->conn);
  if (!recv_rec_id(arb, n)) return 0;
  if (arb->arb_mod & ARB_LOCATE) {
    arb->arb_rec = n->buf.data();
    arb->arb_len = static_cast<uint16_t>(len);
  } else {
    memcpy(arb->arb_rec, n->buf.data(), std::min<uint32_t>(len, arb->arb_len));
    if (len > arb->arb_len) {
      if (pfb->pfb_var) arb->arb_var_len = arb->arb_len;
      return fail(arb, FM_REC_TOO_LONG);
    }
  }
  if (pfb->pfb_var) arb->arb_var_len = static_cast<uint16_t>(len);
  return 1;
}

// The data of a read or start, chosen by arb_mod.
void keyed_data(request* r, ARB* arb, STRM* strm, net_strm* n) {
  const PFB* pfb = strm_pfb(strm);
  uint32_t key_off = 0;
  if (arb->arb_mod & ARB_REC_ID) {
    r->data = arb->arb_rec_id_area;
    r->len =
        std::min<uint32_t>(arb->arb_rec_id_area ? arb->arb_rec_id_len : 0, static_cast<uint32_t>(n->rec_id.size()));
  } else if (arb->arb_mod & ARB_FIRST) {
    r->len = 0;
  } else if (arb->arb_mod & ARB_PARTIAL) {
    r->data = arb->arb_key;
    r->len = arb->arb_key ? arb->arb_key_len : 0;
  } else if (pfb->ORG != ORG_INDEXED && r->code == NETIO_READ) {
    static thread_local uint8_t relno[4];
    st_le32(relno, 0, arb->arb_relno);
    r->data = relno;
    r->len = 4;
  } else {
    r->data = arb->arb_rec;
    r->len = pfb->pfb_rec_len;
    const KDB* k = pfb_key(pfb, arb->arb_keyno);
    if (k && k->kdb_nsegs) key_off = k->kdb_sdb[0].sdb_offset;
  }
  fill_block(r, arb, strm, n, r->len, key_off);
}

// Common entry of a record slot: the stream ready with a handle. A
// connection the server closed since the last request fails the operation
// before anything goes out (the stream's position and holds went with
// it); the next connects anew.
net_strm* ready(ARB* arb, STRM* strm) {
  net_strm* n = NS(strm);
  if (!n) return fail(arb, FM_NOT_OPEN), nullptr;
  maybe_break(strm);
  if (closed_before(n->conn)) return fail(arb, FM_IO_ERR), nullptr;
  return ensure_handle(arb, strm, n) ? n : nullptr;
}

// READ and RDNXT: the status block, then the record and id.
int read_answer(ARB* arb, STRM* strm, net_strm* n) {
  uint8_t st[kNetstatSize];
  int r = recv_status(arb, n, st);
  return r == 1 ? recv_record(arb, strm, n, st) : 0;
}

int net_read(ARB* arb, STRM* strm) {
  net_strm* n = ready(arb, strm);
  if (!n) return 0;
  exchange ex(n->conn);
  netio_log(NETLOG_CLIENT, "%p - net_read( %s ) %08x\n", static_cast<void*>(n), file_name(strm), arb->arb_mod);
  request r{NETIO_READ};
  keyed_data(&r, arb, strm, n);
  return send_request(arb, n, r) && read_answer(arb, strm, n);
}

int net_start(ARB* arb, STRM* strm) {
  net_strm* n = ready(arb, strm);
  if (!n) return 0;
  exchange ex(n->conn);
  netio_log(NETLOG_CLIENT, "%p - net_start( %s ) %08x\n", static_cast<void*>(n), file_name(strm), arb->arb_mod);
  request r{NETIO_START};
  keyed_data(&r, arb, strm, n);
  if (!send_request(arb, n, r)) return 0;
  uint8_t done, st[4];
  if (!netio_recv(n->conn->sock, &done, 1)) return lost(arb, n->conn);
  if (done == 1) return 1;
  if (!netio_recv(n->conn->sock, st, 4)) return lost(arb, n->conn);
  return fail(arb, ld_le32(st, 0));
}

int net_rdnxt(ARB* arb, STRM* strm) {
  net_strm* n = ready(arb, strm);
  if (!n) return 0;
  exchange ex(n->conn);
  netio_log(NETLOG_CLIENT, "%p - net_rdnxt( %s ) %08x\n", static_cast<void*>(n), file_name(strm), arb->arb_mod);
  request r{NETIO_RDNXT};
  fill_block(&r, arb, strm, n, strm_pfb(strm)->pfb_rec_len, 0);
  return send_request(arb, n, r) && read_answer(arb, strm, n);
}

// Whether the stream's server handle belongs to a session that has ended
// since it was made: what it held went with that session.
bool stale_handle(STRM* strm) {
  const net_strm* n = NS(strm);
  return n && n->handle && n->gen != n->conn->gen;
}

// A change of a record whose hold went with a session that ended since it
// was taken, answered "not held" by the session the stream opened anew: the
// answer says what happened (the hold went with the session), as a system
// error's text.
int hold_lost(ARB* arb, net_strm* n, bool stale) {
  if (!stale || arb->arb_stat != FM_NOT_HELD) return 0;
  const net_conn* c = n->conn;
  const std::string peer = c->host + " port " + std::to_string(c->port);
  const std::string text =
      "KivoNet: " + (c->server_ended ? peer + " ended the session" : "the session with " + peer + " was lost") +
      "; the change was not made";
  la_sys_err(text.c_str(), 0);
  netio_log(NETLOG_ERROR, "%s\n", text.c_str());
  return fail(arb, FM_IO_ERR);
}

// WRITE and REWRITE: the record, then the status block and the record id.
int send_record(ARB* arb, STRM* strm, uint8_t code) {
  const bool stale = stale_handle(strm);
  net_strm* n = ready(arb, strm);
  if (!n) return 0;
  exchange ex(n->conn);
  netio_log(NETLOG_CLIENT, "%p - net_write( %s ) %08x\n", static_cast<void*>(n), file_name(strm), arb->arb_mod);
  const PFB* pfb = strm_pfb(strm);
  request r{code};
  r.data = arb->arb_rec;
  r.len = pfb->pfb_var ? arb->arb_var_len : pfb->pfb_rec_len;
  fill_block(&r, arb, strm, n, r.len, 0);
  if (!send_request(arb, n, r, true)) return 0;
  uint8_t st[kNetstatSize];
  int ok = recv_status(arb, n, st, outcome::unsure);
  if (ok < 0) return 0;
  if ((ok == 1 || code == NETIO_REWRITE) && !recv_rec_id(arb, n, outcome::unsure)) return 0;
  return ok ? ok : hold_lost(arb, n, stale);
}

int net_write(ARB* arb, STRM* strm) { return send_record(arb, strm, NETIO_WRITE); }
int net_rewrite(ARB* arb, STRM* strm) { return send_record(arb, strm, NETIO_REWRITE); }

// Requests answered by a status block alone; a delete is a change.
int status_only(ARB* arb, STRM* strm, net_strm* n, uint8_t code) {
  exchange ex(n->conn);
  request r{code};
  fill_block(&r, arb, strm, n, strm_pfb(strm)->pfb_rec_len, 0);
  const bool change = code == NETIO_DEL;
  if (!send_request(arb, n, r, change)) return 0;
  uint8_t st[kNetstatSize];
  return recv_status(arb, n, st, change ? outcome::unsure : outcome::unknown) == 1;
}

int net_del(ARB* arb, STRM* strm) {
  const bool stale = stale_handle(strm);
  net_strm* n = ready(arb, strm);
  if (!n) return 0;
  return status_only(arb, strm, n, NETIO_DEL) || hold_lost(arb, n, stale);
}

int net_release(ARB* arb, STRM* strm) {
  if (!arb || !strm) return 1;  // holds of other back-ends
  net_strm* n = NS(strm);
  if (!n || !n->handle || n->gen != n->conn->gen || n->state == STRM_CLOSED) return 1;
  return status_only(arb, strm, n, NETIO_RELEASE);
}

// ---- file level ----

int net_alloc_id(LFB* lfb, const cstr*, const cstr*, const uint8_t* sysdir, const uint8_t*) {
  const FDB_PATH& p = lfb->lfb_lfn->lfn_path;
  const char* text = sysdir ? reinterpret_cast<const char*>(sysdir + SYSDIR_DIR) : "";
  size_t text_len = sysdir ? kSysDirFieldLen : 0;
  std::string key(text, text_len);
  key.append(reinterpret_cast<const char*>(&p), sizeof p);
  net_id* id = nullptr;
  for (auto& e : g_ids)
    if (e->path == key) id = e.get();
  if (!id) {
    net_addr a;
    std::string why;
    if (!net_parse_server(text, text_len, &a, &why)) {
      sys_err("KivoNet", __LINE__, "file %.8s: data server \"%s\": %s", p.fdb_name,
              trimmed(std::string(text, strnlen(text, text_len)), text_len).c_str(), why.c_str());
      lfb->lfb_stat = FM_IO_ERR;
      return 0;
    }
    g_ids.push_back(std::make_unique<net_id>());
    id = g_ids.back().get();
    id->addr = a;
    id->path = key;
    id->number = ++g_next_id;
  }
  PFB* pfb = lfb->lfb_pfb;
  pfb->pfb_id16 = kNetId16;
  pfb->pfb_id32 = id->number;
  pfb->pfb_fms_data = id;
  return 1;
}

int net_free_id(PFB* pfb) {
  net_id* id = ID(pfb);
  g_ids.remove_if([id](auto& e) { return e.get() == id; });
  pfb->pfb_fms_data = nullptr;
  pfb->pfb_id16 = 0;
  return 1;
}

int net_alloc_fi(LFB*, const uint8_t*, const uint8_t*) { return 1; }
int net_free_fi(LFB*) { return 1; }
int net_locate(ARB*, STRM*) { return 1; }

// The stream's record-id area, of the length its file's server gave, shown
// in its ARB from the open on as a local file shows it: a sorted query sizes
// its pointers by it before the first read. (Not at a handle made again in
// the middle of an operation: a read by id brings its own area.)
int show_id_area(ARB* arb, net_strm* n) {
  if (n->rec_id.empty()) return 1;
  arb->arb_rec_id_area = n->rec_id.data();
  arb->arb_rec_id_len = static_cast<uint32_t>(n->rec_id.size());
  return 1;
}

int net_attach(ARB* arb, STRM* strm) {
  net_id* id = ID(strm_pfb(strm));
  if (!id) return fail(arb, FM_NOT_OPEN);
  auto* n = new net_strm;
  n->conn = find_conn(id->addr);
  strm->strm_fms_path = n;
  strm->strm_fms_path_len = sizeof(net_strm);
  // A further handle on a file open on the server gets its own server
  // stream now; the first stream waits for the open.
  if (net_strm* o = opener_of(strm); o && !hcon_attach(arb, o, n)) {
    strm->strm_fms_path = nullptr;
    delete n;
    return 0;
  }
  return show_id_area(arb, n);
}

int net_open(ARB* arb, STRM* strm) {
  net_strm* n = NS(strm);
  if (!n) return fail(arb, FM_NOT_OPEN);
  LFB* lfb = strm->strm_lfb;
  netio_log(NETLOG_CLIENT, "net_open( %s ) lfb_opt = %x\n", file_name(strm), lfb->lfb_opt);
  if ((lfb->lfb_opt & LFB_DEFER) || (n->handle && n->gen == n->conn->gen)) return 1;
  if (!ensure_handle(arb, strm, n)) return 0;
  strm_pfb(strm)->pfb_open = 1;
  strm->strm_active = kStrmStartPending;
  return show_id_area(arb, n);
}

int net_create(ARB* arb, STRM* strm) {
  net_strm* n = NS(strm);
  net_id* id = ID(strm_pfb(strm));
  if (!n || !id) return fail(arb, FM_NOT_OPEN);
  netio_log(NETLOG_CLIENT, "net_create( %s ) lfb_opt = %x\n", file_name(strm), strm->strm_lfb->lfb_opt);
  if (!hcon_connect(n->conn, id)) return fail(arb, FM_IO_ERR);
  {
    exchange ex(n->conn);
    uint8_t st[4];
    if (!send_cmd(n->conn, NETIO_CREATE) || !send_open_request(n->conn->sock, strm->strm_lfb) ||
        !netio_recv(n->conn->sock, st, 4))
      return lost(arb, n->conn);
    uint32_t code = ld_le32(st, 0);
    if (code != 1 && code != FM_EXISTS) return fail(arb, code);
    arb->arb_stat = code == 1 ? 0 : code;
  }
  if (!(strm->strm_lfb->lfb_opt & LFB_OPEN_NEW)) return 1;
  strm->strm_lfb->lfb_opt &= ~LFB_DEFER;
  return net_open(arb, strm);
}

// Close and detach: the opening stream closes the file on the server (the
// server lets go of every stream of it); an attached stream detaches.
int net_close(ARB* arb, STRM* strm) {
  net_strm* n = NS(strm);
  if (!n) return 1;
  bool live = n->handle && n->gen == n->conn->gen && n->state != STRM_CLOSED;
  if (!live) {
    n->state = STRM_CLOSED;
    return 1;
  }
  bool opener = n->state == STRM_OPENED;
  netio_log(NETLOG_CLIENT, "net_close( %s ) - closing peer 0x%08x mod = %x\n", file_name(strm), n->handle,
            arb->arb_mod);
  int ok = status_only(arb, strm, n, opener ? NETIO_CLOSE : NETIO_DETACH);
  n->state = STRM_CLOSED;
  if (opener)
    for (auto* s = static_cast<STRM*>(strm->strm_lfb->lfb_strm.head); s; s = static_cast<STRM*>(s->strm_in_lfb.next))
      if (net_strm* o = NS(s)) o->state = STRM_CLOSED;
  if (opener) strm_pfb(strm)->pfb_open = 0;
  return ok;
}

int net_detach(ARB* arb, STRM* strm) {
  net_strm* n = NS(strm);
  if (!n) return 1;
  netio_log(NETLOG_CLIENT, "net_detach( %s ) - detaching %p\n", file_name(strm), static_cast<void*>(n));
  net_close(arb, strm);  // nothing goes out for a stream already closed
  strm->strm_fms_path = nullptr;
  delete n;
  return 1;
}

int not_yet(ARB* arb, const char* text) {
  la_sys_err(text, 0);
  return fail(arb, FM_IO_ERR);
}
int net_not_yet(ARB* arb, STRM*) { return not_yet(arb, "This operation not currently supported for KivoNet"); }
int net_not_yet2(ARB* arb, STRM*) { return not_yet(arb, "RELOCATE not currently supported for KivoNet"); }
int net_not_yet3(ARB* arb, STRM*) { return not_yet(arb, "RENAME not currently supported for KivoNet"); }

}  // namespace

bool net_parse_server(const char* text, size_t len, net_addr* out, std::string* why) {
  std::string s(text, strnlen(text, len));
  s = s.substr(0, s.find(' '));
  *out = net_addr{};
  if (size_t at = s.find('@'); at != std::string::npos) {
    std::string who = s.substr(0, at);
    size_t colon = who.find(':');
    out->user = who.substr(0, colon);
    if (colon != std::string::npos) out->password = who.substr(colon + 1);
    s = s.substr(at + 1);
  }
  size_t colon = s.find(':');
  if (colon == std::string::npos || colon == 0) {
    *why = "no host and port (host:port)";
    return false;
  }
  std::string port = s.substr(colon + 1);
  port = port.substr(0, port.find(':'));
  char* end = nullptr;
  unsigned long p = port.empty() ? 0 : strtoul(port.c_str(), &end, 10);
  if (port.empty() || *end || p < 1 || p > 65535 || port[0] == '-' || port[0] == '+') {
    *why = "port \"" + port + "\" is not a number from 1 to 65535";
    return false;
  }
  out->host = s.substr(0, colon);
  out->port = static_cast<uint32_t>(p);
  return true;
}

unsigned netio_keepalive_seconds() {
  const char* v = getenv("KIVO_NET_KEEPALIVE_TIMEOUT");
  char* end = nullptr;
  const unsigned long s = v ? strtoul(v, &end, 10) : 0;
  return v && *v && !*end && s >= 1 && s <= kNetKeepaliveMax ? static_cast<unsigned>(s) : kNetKeepaliveDefault;
}

int netio_keepalive() {
  if (g_in_exchange) return -1;
  const auto every = std::chrono::milliseconds(g_keepalive * 1000 / 3);
  const steady::time_point now = steady::now();
  auto next = steady::time_point::max();
  for (auto& c : g_conns) {
    if (c->state != CONN_UP) continue;
    if (now - c->last_sent >= every) {
      link_role role;
      c->last_sent = now;
      // A PING that cannot go out finds the connection gone: the next
      // request connects anew.
      if (!tmnet_send_msg(c->sock, static_cast<uint16_t>(kTmnetHeaded | TMNET_PING), 0, nullptr)) {
        reset_conn(c.get(), true);
        continue;
      }
    }
    next = std::min(next, c->last_sent + every);
  }
  if (next == steady::time_point::max()) return -1;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::clamp<long long>(ms, 1, INT_MAX));
}

void netio_set_starting(bool on) { g_starting = on; }

int net_fm_init() {
  netio_log_open(getenv("KIVO_NETIO_LOG"));
  const char* mask = getenv("KIVO_NETIO_CODE");
  netio_log_mask = mask ? static_cast<uint32_t>(strtoul(mask, nullptr, 0)) : 0xFFFFFFFF;
  const char* brk = getenv("KIVO_NETIO_BREAK");
  snprintf(g_break, sizeof g_break, "%s", brk ? brk : "");
  g_keepalive = netio_keepalive_seconds();
  fms_fn& t = net_fms_fn;
  t = fms_fn{};
  t.alloc_fi = net_alloc_fi;
  t.alloc_id = net_alloc_id;
  t.attach = net_attach;
  t.create = net_create;
  t.close = net_close;
  t.del = net_del;
  t.detach = net_detach;
  t.free_fi = net_free_fi;
  t.free_id = net_free_id;
  t.locate = net_locate;
  t.nam = net_not_yet;
  t.scratch = net_not_yet;
  t.open = net_open;
  t.rdnxt = net_rdnxt;
  t.read = net_read;
  t.release = net_release;
  t.relocate = net_not_yet2;
  t.rename = net_not_yet3;
  t.rewrite = net_rewrite;
  t.start = net_start;
  t.write = net_write;
  fms_install(FMS_REMOTE, &t);
  return 1;
}

void net_fm_reset() {
  for (auto& c : g_conns)
    if (c->sock > 0) close(c->sock);
  g_conns.clear();
  g_ids.clear();
}

const std::string& netio_conn_failure() { return g_conn_failure; }

}  // namespace kivo
