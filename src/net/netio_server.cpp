// The data server: netio_serve runs a data link's requests on this engine's
// own file manager for one connection, converting byte orders.
//
// Invariants: a stream handle is an index and a generation into this
// connection's table of streams; an unknown or stale one is answered
// FM_NOT_OPEN and touches nothing. Every length and count from the client is
// bounded before it is used: record lengths by the file's own, keys inside
// the data sent, key and segment counts by what the file manager can hold.
// When the connection ends, every file it opened is closed. A client that
// announced a keepalive bound and then sent nothing for that long, between
// requests or in the middle of one, is gone (a crashed host, a cut network):
// its session ends, and with the process every lock it held.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/unix_fm.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "net/net.h"
#include "net/netio.h"
#include "net/tmnet.h"
#include "net/tmnet_deadline.h"

namespace kivo {

unsigned netio_max_pause = 255;

namespace {

constexpr uint32_t kMaxDiscard = 0x10000;  // data of a refused request read past, at most
constexpr unsigned kLockWaitShare = 4;     // a lock wait lasts at most this part of the request bound
constexpr uint32_t kClientOpts = LFB_OPEN_NEW | LFB_NOT_REQUIRED | LFB_ANY_DIR | LFB_NO_STRUCT_FILE;

struct srv_open {
  FDB fdb{};
  KDB kdb[kNetMaxKeys]{};
  SDB sdb[kNetMaxKeys * kNetMaxSegs]{};
  open_conv conv;
  bool live = true;
};

struct srv_strm {
  uint16_t gen = 0;
  bool used = false;
  bool opener = false;
  ARB* arb = nullptr;
  std::shared_ptr<srv_open> open;
  uint32_t reads = 0;  // records read since the last start
  std::vector<uint8_t> buf;
};

std::vector<srv_strm> g_strms;
int g_sock = 0;

uint32_t handle_of(size_t index) { return (uint32_t{g_strms[index].gen} << 16) | static_cast<uint32_t>(index + 1); }

uint32_t add_strm(ARB* arb, std::shared_ptr<srv_open> open, bool opener) {
  size_t i = 0;
  while (i < g_strms.size() && g_strms[i].used) ++i;
  if (i == 0xFFFF) return 0;
  if (i == g_strms.size()) g_strms.emplace_back();
  srv_strm& s = g_strms[i];
  s.gen = static_cast<uint16_t>(s.gen == 0xFFFF ? 1 : s.gen + 1);
  s.used = true;
  s.opener = opener;
  s.arb = arb;
  s.open = std::move(open);
  s.reads = 0;
  // The file's own record length: an open shared with an earlier one keeps
  // that one's, whatever this descriptor said.
  STRM* cur = arb_strm(arb);
  size_t len = cur ? strm_pfb(cur)->pfb_rec_len : 0;
  s.buf.assign(std::max<size_t>({len, s.open->fdb.fdb_rec_len, 1}), 0);
  return handle_of(i);
}

srv_strm* find_strm(uint32_t h) {
  size_t i = (h & 0xFFFF);
  if (i == 0 || i > g_strms.size()) return nullptr;
  srv_strm& s = g_strms[i - 1];
  return s.used && s.gen == (h >> 16) && s.open->live ? &s : nullptr;
}

void drop_strm(srv_strm* s) {
  s->used = false;
  s->arb = nullptr;
  s->open.reset();
}

// The file's streams go when the file closes: the file manager let go of them.
void drop_open(const std::shared_ptr<srv_open>& o) {
  o->live = false;
  for (srv_strm& s : g_strms)
    if (s.used && s.open == o) drop_strm(&s);
}

// The keepalive bound the client announced, in seconds; 0: none.
int keepalive_bound() { return static_cast<int>((netio_options & kNetOptKeepaliveMask) >> 16); }

// One line: a client that keeps itself alive sent nothing within its bound.
void report_silent(int bound) {
  char peer[64];
  tmnet_peer_text(g_sock, peer, sizeof peer);
  netio_log(NETLOG_ERROR, "netio_serve() - nothing from the client within %d s\n", bound);
  fprintf(stderr, "%s: the data-server client at %s is gone: nothing within %d s\n", program_invocation_short_name,
          peer, bound);
  fflush(stderr);
}

// A request's data: a client that keeps itself alive sends it whole at once,
// so one that stops in the middle of it is gone as well.
int recv_bytes(void* p, size_t n) {
  const int bound = keepalive_bound();
  if (netio_recv(g_sock, p, n, bound ? bound : -1)) return 1;
  if (bound && tmnet_last_status() == TMNET_TIMEOUT) report_silent(bound);
  return 0;
}
int send_bytes(const void* p, size_t n) { return netio_send(g_sock, p, n); }

int send_u32(uint32_t v, bool convert) {
  uint8_t b[4];
  st_le32(b, 0, v);
  if (convert) swap4(b);
  return send_bytes(b, 4);
}

// Reads past data that a refused request announced; 0 when too much.
int discard(uint32_t n) {
  if (n > kMaxDiscard) return 0;
  std::vector<uint8_t> junk(n);
  return n == 0 || recv_bytes(junk.data(), n);
}

}  // namespace

void send_netstat(int sock, uint32_t code, uint32_t len, uint32_t var_len, bool ok) {
  uint8_t b[kNetstatSize] = {};
  st_le32(b, NETSTAT_CODE, code);
  st_le32(b, NETSTAT_LEN, len);
  st_le32(b, NETSTAT_VAR_LEN, var_len);
  b[NETSTAT_OK] = ok ? 1 : 0;
  fix_netstat(b);
  netio_send(sock, b, sizeof b);
}

namespace {
const PFB* pfb_of(const srv_strm* s) {
  STRM* cur = arb_strm(s->arb);
  return cur ? strm_pfb(cur) : nullptr;
}

// The status block of an operation: the ARB's status and lengths.
void status_of(srv_strm* s, int ok) {
  const PFB* pfb = pfb_of(s);
  send_netstat(g_sock, s->arb->arb_stat, pfb ? pfb->pfb_rec_len : 0, s->arb->arb_var_len, ok != 0);
}

int send_rec_id(srv_strm* s) {
  uint8_t id[4] = {};
  ARB* a = s->arb;
  if (a->arb_rec_id_area && a->arb_rec_id_len == 4) memcpy(id, a->arb_rec_id_area, 4);
  return send_bytes(id, 4);
}

// The record just read, converted, then its id.
int send_record(srv_strm* s, uint32_t recno) {
  const PFB* pfb = pfb_of(s);
  uint32_t len = pfb->pfb_var ? std::min<uint32_t>(s->arb->arb_var_len, pfb->pfb_rec_len) : pfb->pfb_rec_len;
  std::vector<uint8_t> out(s->buf.begin(), s->buf.begin() + len);
  fix_endian(out.data(), len, s->open->conv, recno);
  return (len == 0 || send_bytes(out.data(), len)) && send_rec_id(s);
}

void reset_arb(srv_strm* s, uint8_t* block) {
  ARB* a = s->arb;
  // The record buffer holds the file's record whatever the descriptors said.
  const PFB* pfb = pfb_of(s);
  if (pfb && s->buf.size() < pfb->pfb_rec_len) s->buf.resize(pfb->pfb_rec_len);
  a->arb_keyno = static_cast<uint8_t>(std::min<uint32_t>(ld_le32(block, NETARB_KEYNO), 255));
  a->arb_rec = s->buf.data();
  a->arb_len = static_cast<uint16_t>(pfb ? pfb->pfb_rec_len : s->buf.size());
  a->arb_var_len = a->arb_len;
  a->arb_key = nullptr;
  a->arb_key_end = nullptr;
  a->arb_lock_wait = 0;
}

// The key data of a READ or START into the ARB: 0 refused (data read past),
// -1 connection failed.
int take_key(srv_strm* s, uint8_t* block, std::vector<uint8_t>* data, uint8_t code) {
  const PFB* pfb = pfb_of(s);
  ARB* a = s->arb;
  uint32_t len = ld_le32(block, NETARB_LEN), off = ld_le32(block, NETARB_KEY_OFF);
  if (!pfb || len > pfb->pfb_rec_len) return discard(len) ? 0 : -1;
  data->assign(std::max<size_t>(pfb->pfb_rec_len, 1), 0);
  if (len && !recv_bytes(data->data(), len)) return -1;
  uint16_t mod = a->arb_mod;
  if (mod & ARB_REC_ID) {
    if (len != 4) return 0;
    a->arb_rec_id_area = data->data();
    a->arb_rec_id_len = 4;
  } else if (mod & ARB_FIRST) {
  } else if (mod & ARB_PARTIAL) {
    const KDB* k = pfb_key(pfb, a->arb_keyno);
    if (!k) return 0;
    fix_contig_key(data->data(), len, k, s->open->conv);
    a->arb_key = data->data();
    a->arb_key_len = static_cast<uint16_t>(len);
  } else if (pfb->ORG != ORG_INDEXED && code == NETIO_READ) {
    if (len != 4) return 0;
    swap4(data->data());
    a->arb_relno = ld_le32(data->data(), 0);
  } else {
    const KDB* k = pfb_key(pfb, a->arb_keyno);
    if (!k || off >= std::max<uint32_t>(len, 1)) return 0;
    for (int i = 0; i < k->kdb_nsegs; ++i)
      if (k->kdb_sdb[i].sdb_offset + k->kdb_sdb[i].sdb_len > len) return 0;
    fix_endian(data->data(), len, s->open->conv, 0);
    if (code == NETIO_READ) memcpy(s->buf.data(), data->data(), std::min(s->buf.size(), data->size()));
    else a->arb_rec = data->data();
  }
  return 1;
}

// A request whose handle names nothing: its data read past, 200480.
int unknown_handle(uint8_t code, uint8_t* block) {
  uint32_t len = ld_le32(block, NETARB_LEN);
  bool has_data = code == NETIO_START || code == NETIO_READ || code == NETIO_WRITE || code == NETIO_REWRITE;
  if (has_data && !discard(len)) return 0;
  if (code == NETIO_START) return send_bytes("\0", 1) && send_u32(FM_NOT_OPEN, true);
  send_netstat(g_sock, FM_NOT_OPEN, 0, 0, false);
  if (code == NETIO_REWRITE) return send_bytes("\0\0\0\0", 4);
  return 1;
}

// The request block, converted, and the stream it names with its ARB reset for
// the request; null when there is none, *rc then what the handler returns.
srv_strm* take_request(uint8_t code, uint8_t* block, int* rc) {
  *rc = 0;
  if (!recv_bytes(block, kNetarbSize)) return nullptr;
  netio_log(NETLOG_SERVER, "recv_netarb() - got netarb structure\n");
  fix_netarb(block);
  srv_strm* s = find_strm(ld_le32(block, NETARB_HANDLE));
  if (!s) return *rc = unknown_handle(code, block), nullptr;
  s->arb->arb_mod = static_cast<uint16_t>(ld_le16(block, NETARB_MOD) & ~ARB_LOCATE);
  reset_arb(s, block);
  return s;
}

int msg_start_read(uint8_t code) {
  uint8_t block[kNetarbSize];
  int rc;
  srv_strm* s = take_request(code, block, &rc);
  if (!s) return rc;
  std::vector<uint8_t> data;
  netio_log(NETLOG_SERVER, "msg_read(%p) - waiting for %d data bytes\n", static_cast<void*>(s),
            static_cast<int>(ld_le32(block, NETARB_LEN)));
  int k = take_key(s, block, &data, code);
  if (k < 0) return 0;
  int ok = 0;
  if (k == 0) s->arb->arb_stat = FM_BAD_KEY_LEN;
  else ok = code == NETIO_START ? fm_start(s->arb) : fm_read(s->arb);
  s->arb->arb_rec = s->buf.data();
  if (code == NETIO_START) {
    s->reads = 0;
    uint8_t done = ok ? 1 : 0;
    return send_bytes(&done, 1) && (ok || send_u32(s->arb->arb_stat, true));
  }
  netio_log(NETLOG_SERVER, "msg_read(%p) - fm_read() returned %d(%d)\n", static_cast<void*>(s), ok, s->arb->arb_stat);
  status_of(s, ok);
  return !ok || send_record(s, s->arb->arb_relno);
}

int msg_rdnxt() {
  uint8_t block[kNetarbSize];
  int rc;
  srv_strm* s = take_request(NETIO_RDNXT, block, &rc);
  if (!s) return rc;
  int ok = fm_rdnxt(s->arb);
  s->arb->arb_rec = s->buf.data();
  netio_log(NETLOG_SERVER, "msg_rdnxt(%p) - fm_rdnxt() returned %d(%d)\n", static_cast<void*>(s), ok, s->arb->arb_stat);
  status_of(s, ok);
  if (!ok) return 1;
  return send_record(s, ++s->reads);
}

// WRITE and REWRITE: the record must have the file's length (at most that,
// and at least 1 byte, for a variable-length file).
int msg_write(uint8_t code) {
  uint8_t block[kNetarbSize];
  int rc;
  srv_strm* s = take_request(code, block, &rc);
  if (!s) return rc;
  const PFB* pfb = pfb_of(s);
  uint32_t len = ld_le32(block, NETARB_LEN);
  bool fits = pfb && (pfb->pfb_var ? len >= 1 && len <= pfb->pfb_rec_len : len == pfb->pfb_rec_len);
  netio_log(NETLOG_SERVER, "msg_write(%p) - waiting for %d bytes of data\n", static_cast<void*>(s),
            static_cast<int>(len));
  int ok = 0;
  if (!fits) {
    if (!discard(len)) return 0;
    s->arb->arb_stat = FM_REC_LEN_DIFF;
  } else {
    if (!recv_bytes(s->buf.data(), len)) return 0;
    fix_endian(s->buf.data(), len, s->open->conv, 0);
    s->arb->arb_var_len = static_cast<uint16_t>(len);
    ok = code == NETIO_WRITE ? fm_write(s->arb) : fm_rewrite(s->arb);
  }
  netio_log(NETLOG_SERVER, "msg_write(%p) - fm_write() returned %d(%d)\n", static_cast<void*>(s), ok, s->arb->arb_stat);
  status_of(s, ok);
  return (!ok && code == NETIO_WRITE) || send_rec_id(s);
}

int msg_simple(uint8_t code) {
  uint8_t block[kNetarbSize];
  int rc;
  srv_strm* s = take_request(code, block, &rc);
  if (!s) return rc;
  ARB* a = s->arb;
  int ok = 0;
  switch (code) {
    case NETIO_DEL: ok = fm_del(a); break;
    case NETIO_RELEASE: ok = fm_release(a); break;
    case NETIO_CLOSE:
      if (s->opener) {
        a->arb_mod = 0;
        ok = fm__close(a);
        std::shared_ptr<srv_open> o = s->open;
        send_netstat(g_sock, a->arb_stat, 0, 0, ok);
        drop_open(o);
        return 1;
      }
      [[fallthrough]];
    case NETIO_DETACH:
      ok = fm_detach(a);
      send_netstat(g_sock, ok ? 0 : a->arb_stat, 0, 0, ok);
      if (ok) drop_strm(s);
      return 1;
  }
  netio_log(NETLOG_SERVER, "msg(%p) %d returned %d(%d)\n", static_cast<void*>(s), code, ok, a->arb_stat);
  status_of(s, ok);
  return 1;
}

// The open request: the FDB, then per key its KDB and SDBs, converted and
// bounded. 1 read (*refused set when a count is over the limits: the rest is
// not read), 0 connection failed.
int recv_open(srv_open* o, bool* refused) {
  uint8_t f[kFdbStoredSize];
  *refused = false;
  if (!recv_bytes(f, sizeof f)) return 0;
  for (size_t at : {size_t{FDB_CR_SIZE}, size_t{FDB_OPT}, size_t{FDB_DATE}, size_t{FDB_DATE + 4}}) swap4(f + at);
  swap2(f + FDB_REC_LEN);
  fdb_load(f, &o->fdb);
  netio_log(NETLOG_SERVER, "got fdb - %.8s\n", o->fdb.path.fdb_name);
  if (o->fdb.fdb_nkeys > kNetMaxKeys) return *refused = true, 1;
  int used = 0;
  for (int i = 0; i < o->fdb.fdb_nkeys; ++i) {
    uint8_t k[kKdbStoredSize];
    if (!recv_bytes(k, sizeof k)) return 0;
    kdb_load(k, &o->kdb[i]);
    if (o->kdb[i].kdb_nsegs > kNetMaxSegs) return *refused = true, 1;
    o->kdb[i].kdb_sdb = o->sdb + used;
    for (int j = 0; j < o->kdb[i].kdb_nsegs; ++j) {
      uint8_t sd[kSdbStoredSize];
      if (!recv_bytes(sd, sizeof sd)) return 0;
      for (size_t at : {SDB_SEGNO, SDB_OFFSET, SDB_LEN}) swap2(sd + at);
      sdb_load(sd, &o->sdb[used++]);
    }
  }
  o->fdb.fdb_kdb = o->fdb.fdb_nkeys ? o->kdb : nullptr;
  // Only the options that ask for nothing beyond this open pass: no scoped
  // work file, join, deferred open or file process of the client's choosing.
  o->fdb.fdb_opt = (o->fdb.fdb_opt & kClientOpts) | LFB_NO_STRUCT_CHK;
  return 1;
}

int msg_open() {
  auto o = std::make_shared<srv_open>();
  bool refused;
  netio_log(NETLOG_SERVER, "MSG_OPEN\n");
  if (!recv_open(o.get(), &refused)) return 0;
  uint32_t h = 0;
  if (!refused && fm__open(&o->fdb, com.sys_scope)) {
    ARB* a = o->fdb.fdb_arb;
    if (!netio_same_order()) bld_fld_map(&o->fdb, &o->conv);
    h = add_strm(a, o, true);
    if (!h) {
      a->arb_mod = 0;
      fm__close(a);
      o->fdb.fdb_stat = FM_IO_ERR;
    }
  } else if (refused) {
    o->fdb.fdb_stat = FM_BAD_KEY_LEN;
  }
  if (!h) {
    netio_log(NETLOG_SERVER, "fm__open() failed - %d\n", o->fdb.fdb_stat);
    return send_u32(0, false) && send_u32(o->fdb.fdb_stat, true);
  }
  netio_log(NETLOG_SERVER, "fm__open() returned success, sending %08x as peer\n", h);
  uint8_t idlen[2];
  st_le16(idlen, 0, 4);
  swap2(idlen);
  return send_u32(h, false) && send_bytes(idlen, 2);
}

int msg_create() {
  auto o = std::make_shared<srv_open>();
  bool refused;
  netio_log(NETLOG_SERVER, "MSG_CREATE\n");
  if (!recv_open(o.get(), &refused)) return 0;
  if (refused) return send_u32(FM_BAD_KEY_LEN, true);
  o->fdb.fdb_opt &= ~LFB_OPEN_NEW;
  FDB probe = o->fdb;
  bool existed = fm_locate(&probe);
  int ok = fm__create(&o->fdb, com.sys_scope);
  uint32_t st = ok ? (existed ? uint32_t{FM_EXISTS} : 1) : o->fdb.fdb_stat;
  netio_log(NETLOG_SERVER, ok ? "fm_create() returned success\n" : "fm_create() returned failure - %d\n", st);
  return send_u32(st, true);
}

int msg_attach() {
  uint8_t h[4];
  if (!recv_bytes(h, 4)) return 0;
  srv_strm* s = find_strm(ld_le32(h, 0));
  netio_log(NETLOG_SERVER, "msg_attach - got arb of %p\n", static_cast<void*>(s));
  if (!s) return send_u32(0, false) && (send_netstat(g_sock, FM_NOT_OPEN, 0, 0, false), 1);
  FAD fad{};
  uint32_t nh = 0;
  if (fm__attach(s->arb, &fad, com.sys_scope)) {
    nh = add_strm(fad.fad_arb, s->open, false);
    if (!nh) fm_detach(fad.fad_arb);
  }
  if (!nh) return send_u32(0, false) && (send_netstat(g_sock, s->arb->arb_stat, 0, 0, false), 1);
  return send_u32(nh, false);
}

int serve_one(uint8_t code) {
  netio_log(NETLOG_SERVER, "got function %d\n", code);
  switch (code) {
    case NETIO_ATTACH: return msg_attach();
    case NETIO_START:
    case NETIO_READ: return msg_start_read(code);
    case NETIO_OPEN: return msg_open();
    case NETIO_CREATE: return msg_create();
    case NETIO_RDNXT: return msg_rdnxt();
    case NETIO_WRITE:
    case NETIO_REWRITE: return msg_write(code);
    case NETIO_CLOSE:
    case NETIO_RELEASE:
    case NETIO_DETACH:
    case NETIO_DEL: return msg_simple(code);
    default: return 1;  // not a request: ignored
  }
}

// Steps 3 and 4: REPLY, then the probes, the pause and the options.
int start_link() {
  uint8_t reply[2] = {0, 4};
  uint8_t p2[2], p4[4], pause, opts[8];
  tmnet_handshake_begin(g_sock);
  const bool got = tmnet_send_msg(g_sock, TMNET_REPLY, 2, reply) && tmnet_recv_msg(g_sock, NETIO_BYTE_ORDER, 2, p2) &&
                   tmnet_recv_msg(g_sock, NETIO_BYTE_ORDER, 4, p4) && tmnet_recv_msg(g_sock, NETIO_PAUSE, 1, &pause) &&
                   tmnet_recv_msg(g_sock, NETIO_OPTIONS, 4, opts) && tmnet_recv_msg(g_sock, NETIO_OPTIONS, 4, opts + 4);
  tmnet_handshake_end();
  if (!got) return 0;
  netio_log(NETLOG_SERVER, "netio_serve() - endian_2 = %02x%02x, endian_4 = %02x%02x%02x%02x\n", p2[0], p2[1], p4[0],
            p4[1], p4[2], p4[3]);
  if (!netio_set_order(p2, p4)) {
    netio_log(NETLOG_ERROR, "netio_serve() - byte order probes not understood\n");
    return 0;
  }
  if (pause) sleep(std::min<unsigned>(pause, netio_max_pause));
  swap4(opts);
  swap4(opts + 4);
  netio_log_mask = ld_le32(opts, 0);
  netio_options = ld_le32(opts, 4);
  return 1;
}

// The next request; false when the connection ended, or when a client that
// keeps itself alive sent nothing within its bound (one line says so).
bool next_request(uint8_t* cmd) {
  const int bound = keepalive_bound();
  if (bound) tmnet_set_timeout(bound);
  if (tmnet_recv_msg(g_sock, kTmnetHeaded | kTmnetAnyCommand, 0, cmd)) return true;
  if (bound && tmnet_last_status() == TMNET_TIMEOUT) report_silent(bound);
  return false;
}

void close_all() {
  for (srv_strm& s : g_strms)
    if (s.used && s.opener && s.open->live) {
      s.arb->arb_mod = 0;
      fm__close(s.arb);
      drop_open(std::shared_ptr<srv_open>(s.open));
    }
  g_strms.clear();
}

void stay(int) {}  // a lost connection ends the loop, not the process

}  // namespace

int netio_serve() {
  tmnet_role = TMNET_ROLE_DATA_SERVER;
  netio_log_open(getenv("KIVO_NETIO_SERVER"));
  netio_log(NETLOG_SERVER, "netio_serve() called\n");
  g_sock = com.rmt_sock;
  g_strms.clear();
  netio_options = 0;
  int one = 1;
  int rc = setsockopt(g_sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  netio_log(NETLOG_SERVER, "setsockopt(TCP_NODELAY) returned %d(%d)\n", rc, rc ? errno : 0);
  // No lock wait outlasts the client's bound on its request: a hold of
  // another user is answered as such long before the client gives up.
  unix_fm_lock_wait_limit(static_cast<unsigned>(tmnet_request_seconds()) * 1000 / kLockWaitShare);
  tmnet_exit_fn old = set_tmnet_exit(stay);
  if (start_link()) {
    uint8_t cmd[2];
    while (next_request(cmd) && serve_one(cmd[0])) {}
  }
  close_all();
  netio_options = 0;
  netio_set_order(reinterpret_cast<const uint8_t*>("\1\0"), reinterpret_cast<const uint8_t*>("\3\2\1\0"));
  set_tmnet_exit(old);
  return 1;
}

}  // namespace kivo
