// The native back-end's record slots (see unix_fm.h): requests turned into
// storage-engine reads and writes, holds kept and recovered, a record that
// another stream of this session holds taken over.
//
// Records are read into the stream's own buffer, as long as any record can
// be, and copied out from there: the caller gets at most arb_len bytes, and
// a longer record is reported as cut short, never overrun. The record id is
// the record's seek (4 bytes).
#include <algorithm>
#include <cstring>

#include "fm/fm_open.h"
#include "fm/key_xfer.h"
#include "fm/unix_fm.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

constexpr uint32_t kWaitForLock = 0xFFFFFFFF;
constexpr uint16_t kHoldBits = ARB_HOLD | ARB_RECOVER;

// The file block a native stream reads.
const PFB* uio_pfb(const UIO_STRM* u) { return strm_pfb(u->strm); }

int fail(ARB* arb, uint32_t st) {
  arb->arb_stat = st;
  return 0;
}

int fail_code(ARB* arb, UIO_STRM* u, int code) { return fail(arb, convert_btree_error(code, u->file->path)); }

size_t capacity(const UIO_STRM* u) {
  return uio_pfb(u)->pfb_var ? kMaxRecordLength : std::max<size_t>(uio_pfb(u)->pfb_rec_len, 1);
}

// The request's key in key layout into `out`; its length in bytes.
int get_stream_key(ARB* arb, UIO_STRM* u, uint8_t* out) {
  if (arb->arb_mod & ARB_PARTIAL) {
    memcpy(out, arb->arb_key, std::min<size_t>(arb->arb_key_len, 256));
    return std::min<int>(arb->arb_key_len, 256);
  }
  const PKB* k = pfb_runs(uio_pfb(u), arb->arb_keyno);
  const KDB* d = pfb_key(uio_pfb(u), arb->arb_keyno);
  if (!k || !d) return 0;
  int keylen = 0;
  for (int i = 0; i < k->pkb_nruns; ++i) keylen += k->pkb_runs[i].ssb_len;
  int n = arb->arb_key_end ? fm_lsb_to_len(arb->arb_rec, arb->arb_key_end, k->pkb_nruns, k->pkb_runs) : keylen;
  if (n <= 0 || n > keylen) n = keylen;
  KEY_XFER x{
      out,        arb->arb_rec, 1, 0, static_cast<uint8_t>(n == keylen ? 0 : n), static_cast<uint8_t>(k->pkb_nruns),
      k->pkb_runs};
  fm_cpy(x);
  return n;
}

// Readies the control block for an operation: buffer, record area, key path
// and lock wishes. 0 (arb_stat) for a key the file does not have.
int set_stream_info(ARB* arb, UIO_STRM* u, bool reading) {
  if (u->buf.size() < capacity(u)) u->buf.resize(capacity(u));
  BRF_RCB* r = u->rcb;
  if (arb->arb_mod & ARB_LOCATE) {
    u->rec = u->buf.data();
    u->rec_len = static_cast<uint32_t>(u->buf.size());
  } else {
    u->rec = arb->arb_rec;
    u->rec_len = reading ? arb->arb_len : arb->arb_var_len;
  }
  if (!reading) {
    arb->arb_rec_id_area = u->rec_id;
    arb->arb_rec_id_len = 4;
  }
  if (r->cursor && !(arb->arb_mod & ARB_REC_ID)) {
    int h = arb->arb_keyno < kMaxKeys ? u->file->key_handle[arb->arb_keyno] : -1;
    if (h < 0) return fail(arb, FM_KEY_NO_DIFF);
    brfsetkeyN(r, h);
  }
  r->lock.flags &= static_cast<uint8_t>(~(RCB_LOCK_WANTED | RCB_LOCK_WAIT));
  if (arb->arb_mod & ARB_HOLD) brf_want_lock(r, arb->arb_lock_wait == kWaitForLock);
  return 1;
}

// Hands the record read into the stream's buffer to the caller; false when
// it had to be cut to arb_len.
bool retrieve_rec(ARB* arb, UIO_STRM* u, uint32_t len) {
  bool var = uio_pfb(u)->pfb_var;
  BRF_RCB* r = u->rcb;
  st_le32(u->rec_id, 0, static_cast<uint32_t>(r->last_seek));
  arb->arb_rec_id_area = u->rec_id;
  arb->arb_rec_id_len = 4;
  arb->arb_relno = static_cast<uint32_t>(r->last_rec + 1);
  if (arb->arb_mod & ARB_LOCATE) {
    arb->arb_rec = u->buf.data();
    arb->arb_len = static_cast<uint16_t>(len);
    if (var) arb->arb_var_len = static_cast<uint16_t>(len);
    return true;
  }
  uint32_t n = std::min<uint32_t>(len, arb->arb_len);
  if (arb->arb_rec != u->buf.data()) memcpy(arb->arb_rec, u->buf.data(), n);
  if (var) arb->arb_var_len = static_cast<uint16_t>(n);
  return len <= arb->arb_len;
}

// Delivers, then reports a record cut short.
int deliver(ARB* arb, UIO_STRM* u, uint32_t len) { return retrieve_rec(arb, u, len) ? 1 : fail(arb, FM_REC_TOO_LONG); }

void save_hold(ARB* arb, UIO_STRM* u, uint32_t len) {
  uint16_t bits = arb->arb_mod & kHoldBits;
  if (bits == ARB_RECOVER) sys_err("UNIXIO", __LINE__, "save_hold() - invalid hold type");
  u->hold = bits == kHoldBits ? UIO_HELD_RECOVER : bits == ARB_HOLD ? UIO_HELD : UIO_NO_HOLD;
  u->saved_seek = u->rcb->last_seek;
  u->saved.assign(u->buf.begin(), u->buf.begin() + len);
}

// The record just read against a saved image, over the shorter length.
bool cmp_saved_rec(const UIO_STRM* u, const std::vector<uint8_t>& image) {
  size_t n = std::min<size_t>(u->rec_len, image.size());
  return memcmp(u->buf.data(), image.data(), n) == 0;
}

bool lock_held(const BRF_RCB* r) { return r && (r->lock.flags & RCB_LOCK_HELD); }

// The engine read of a request into the stream's buffer.
int engine_read(ARB* arb, UIO_STRM* u, uint32_t* len) {
  BRF_RCB* r = u->rcb;
  uint8_t* buf = u->buf.data();
  size_t cap = u->buf.size();
  if (arb->arb_mod & ARB_REC_ID) {
    if (arb->arb_rec_id_len != 4 || !arb->arb_rec_id_area) {
      sys_err("UNIXIO", __LINE__, "set_stream_info() - invalid record length");
      return BRF_NO_RECORD;
    }
    return brfgetat(r, ld_le32(arb->arb_rec_id_area, 0), buf, cap, len);
  }
  if (arb->arb_mod & ARB_FIRST) {
    if (!r->cursor) arb->arb_relno = 1;
    return brffirst(r, buf, cap, len);
  }
  if (r->cursor) {
    uint8_t key[256];
    int n = get_stream_key(arb, u, key);
    int mode = (arb->arb_mod & ARB_EQUAL)   ? kSeekEqual
               : (arb->arb_mod & ARB_AFTER) ? kSeekGreater
                                            : kSeekEqual | kSeekGreater;
    r->key_form = kKeyFormKey;
    return brfseek(r, mode, key, n, buf, cap, len);
  }
  // A file without keys by relative record number (1-based).
  r->cur_rec = static_cast<int64_t>(arb->arb_relno) - 1;
  if (arb->arb_mod & ARB_AFTER) ++r->cur_rec, ++arb->arb_relno;
  return brfget(r, buf, cap, len);
}

// The cursor's place, kept across a read by id or an update.
struct cursor_place {
  brf_pos pos;
  int positioned = -1;
  int64_t cur = -1, last = -1, seek = -1;
  void save(const BRF_RCB* r) {
    if (r->cursor) brf_save_pos(r->cursor, &pos);
    positioned = r->positioned_key;
    cur = r->cur_rec, last = r->last_rec, seek = r->last_seek;
  }
  void restore(BRF_RCB* r) const {
    if (r->cursor) brf_restore_pos(r->cursor, &pos);
    r->positioned_key = positioned;
    r->cur_rec = cur, r->last_rec = last, r->last_seek = seek;
  }
};

int retry_locked_read(ARB* arb, UIO_STRM* u);

// A read's outcome: delivered and held, or the locked record's retry.
int finish_read(ARB* arb, UIO_STRM* u, int st, uint32_t len, bool by_id) {
  u->rec_len = len;
  if (st == BRF_OK) {
    if (arb->arb_mod & ARB_HOLD) save_hold(arb, u, len);
    if (!by_id || (arb->arb_mod & ARB_KEEP_POS)) u->pos = UIO_ON_REC;
    return deliver(arb, u, len);
  }
  if (st == BRF_LOCK_REFUSED) {
    retrieve_rec(arb, u, len);
    if (retry_locked_read(arb, u)) return 1;
    bool still = arb->arb_stat == FM_HELD_SELF || arb->arb_stat == FM_LOCKED;
    u->pos = still ? UIO_ON_REC : UIO_NO_POS;
    return 0;
  }
  uint32_t s = convert_btree_error(st, u->file->path);
  if (s == FM_EOF) s = FM_NOT_FOUND;
  if (!by_id) u->pos = UIO_NO_POS;
  return fail(arb, s);
}

int read_request(ARB* arb, UIO_STRM* u) {
  if (!set_stream_info(arb, u, true)) return 0;
  bool by_id = arb->arb_mod & ARB_REC_ID;
  cursor_place place;
  if (by_id) place.save(u->rcb);
  uint32_t len = 0;
  int st = engine_read(arb, u, &len);
  // The record read by id is the one delivered, held and named by the
  // stream's record id; only then does the cursor go back to its place.
  const int r = finish_read(arb, u, st, len, by_id);
  if (by_id && !(arb->arb_mod & ARB_KEEP_POS)) place.restore(u->rcb);
  return r;
}

// Reads the record at `seek` by id with the caller's hold bits.
int read_by_id(ARB* arb, UIO_STRM* u, uint32_t seek, uint16_t extra) {
  uint16_t mod = arb->arb_mod;
  uint8_t* area = arb->arb_rec_id_area;
  uint32_t id_len = arb->arb_rec_id_len;
  uint8_t id[4];
  st_le32(id, 0, seek);
  arb->arb_rec_id_area = id;
  arb->arb_rec_id_len = 4;
  arb->arb_mod = static_cast<uint16_t>((mod & (kHoldBits | ARB_LOCATE | ARB_NO_STEAL)) | ARB_REC_ID | extra);
  int r = read_request(arb, u);
  arb->arb_mod = mod;
  if (arb->arb_rec_id_area == id) {
    arb->arb_rec_id_area = area;
    arb->arb_rec_id_len = id_len;
  }
  return r;
}

// A record another stream of this session holds: taken over unless the
// request forbids it.
int retry_locked_read(ARB* arb, UIO_STRM* u) {
  int64_t seek = u->rcb->last_seek;
  UIO_STRM* holder = nullptr;
  for (UIO_STRM* v : u->file->streams)
    if (v != u && lock_held(v->rcb) && v->rcb->lock.seek == seek) holder = v;
  if (!holder) return fail(arb, FM_LOCKED);
  if (arb->arb_mod & ARB_NO_STEAL) return fail(arb, FM_HELD_SELF);
  uio_drop_hold(holder);
  return read_by_id(arb, u, static_cast<uint32_t>(seek), ARB_KEEP_POS);
}

// Takes a hold whose lock a release of all holds gave up again; the record
// must be as it was when it was first held.
int recover_hold(ARB* arb, UIO_STRM* u) {
  if (u->hold != UIO_RCVR) {
    sys_err("UNIXIO", __LINE__, "asked to recover_hold() without UIO_RCVR");
    return fail(arb, FM_NOT_HELD);
  }
  uint16_t mod = arb->arb_mod;
  uint8_t* rec = arb->arb_rec;
  uint16_t len = arb->arb_len, var = arb->arb_var_len;
  arb->arb_mod = static_cast<uint16_t>((mod & ~(kHoldBits | ARB_LOCATE)) | ARB_HOLD | ARB_LOCATE);
  std::vector<uint8_t> saved = u->saved;
  int64_t seek = u->saved_seek;
  int ok = seek >= 0 && read_by_id(arb, u, static_cast<uint32_t>(seek), 0);
  uint32_t got = arb->arb_len;
  arb->arb_mod = mod, arb->arb_rec = rec, arb->arb_len = len, arb->arb_var_len = var;
  if (!ok) {
    if (seek < 0 || arb->arb_stat == FM_NOT_FOUND) arb->arb_stat = FM_HOLD_CHANGED;
    return 0;
  }
  if (got != saved.size() || memcmp(u->buf.data(), saved.data(), got) != 0) {
    uio_drop_hold(u);
    u->hold = UIO_NO_HOLD;
    return fail(arb, FM_HOLD_CHANGED);
  }
  u->saved = std::move(saved);
  u->hold = UIO_HELD;
  return 1;
}

// ---- read-next ----

enum { kNext = -1 };

// Read-next of a pending stream: the pending record again, when unchanged.
int reread_pending(ARB* arb, UIO_STRM* u) {
  if (u->saved_seek < 0) {
    u->pos = UIO_NO_POS;
    return fail(arb, FM_EOF);
  }
  std::vector<uint8_t> image = u->saved;
  int ok = read_by_id(arb, u, static_cast<uint32_t>(u->saved_seek), ARB_KEEP_POS);
  uint32_t st = arb->arb_stat;
  bool got = ok || st == FM_HELD_SELF || st == FM_LOCKED || st == FM_REC_TOO_LONG;
  if (got && cmp_saved_rec(u, image)) {
    // Held in this session: read again next time (the hold may be taken
    // over); held by another process: the next read-next goes on after it,
    // so a scan that passes over held records cannot spin on this one.
    if (st == FM_HELD_SELF) u->pos = UIO_PENDING;
    return ok;
  }
  if (got || st == FM_NOT_FOUND) {
    if (lock_held(u->rcb)) uio_drop_hold(u);
    u->hold = UIO_NO_HOLD;
    return kNext;
  }
  u->pos = UIO_NO_POS;
  return 0;
}

int read_next(ARB* arb, UIO_STRM* u) {
  for (;;) {
    u->pos = UIO_ON_REC;
    uint32_t len = 0;
    int st = brfnext(u->rcb, u->buf.data(), u->buf.size(), &len);
    if (st == BRF_OK) {
      if (arb->arb_mod & ARB_HOLD) save_hold(arb, u, len);
      return deliver(arb, u, len);
    }
    if (st != BRF_LOCK_REFUSED) {
      u->pos = UIO_NO_POS;
      return fail_code(arb, u, st);
    }
    retrieve_rec(arb, u, len);
    int64_t seek = u->rcb->last_seek;
    std::vector<uint8_t> image(u->buf.begin(), u->buf.begin() + len);
    if (retry_locked_read(arb, u)) return 1;
    if (arb->arb_stat == FM_NOT_FOUND) continue;
    if (arb->arb_stat == FM_LOCKED) return 0;
    if (arb->arb_stat == FM_HELD_SELF) {
      u->pos = UIO_PENDING;
      u->saved_seek = seek;
      u->saved = std::move(image);
      return 0;
    }
    u->pos = UIO_NO_POS;
    return 0;
  }
}

int give_up_lock(UIO_STRM* u) {
  if (lock_held(u->rcb)) uio_drop_hold(u);
  if (u->hold != UIO_RCVR) u->hold = UIO_NO_HOLD;
  return 1;
}

}  // namespace

void uio_prefetch(const STRM* strm, uint32_t seek) {
  if (!strm->strm_lfb || !strm->strm_lfb->lfb_pfb || strm_pfb(strm)->pfb_fms != &unix_fms_fn) return;
  const UIO_STRM* u = static_cast<const UIO_STRM*>(strm->strm_fms_path);
  if (u && u->rcb) brfprefetch(u->rcb, seek);
}

void uio_drop_hold(UIO_STRM* u) {
  if (u->rcb) brf_release(u->rcb);
  if (u->hold == UIO_HELD) u->hold = UIO_NO_HOLD;
  if (u->hold == UIO_HELD_RECOVER) u->hold = UIO_RCVR;
}

int u_read(ARB* arb, STRM* strm) {
  UIO_STRM* u = uio_strm(strm);
  upd_stats(u->file, ST_READ, true);
  give_up_lock(u);
  int r = read_request(arb, u);
  upd_stats(u->file, ST_READ, false);
  return r;
}

int u_start(ARB* arb, STRM* strm) {
  UIO_STRM* u = uio_strm(strm);
  upd_stats(u->file, ST_START, true);
  uint16_t mod = arb->arb_mod;
  arb->arb_mod = static_cast<uint16_t>((mod & ~kHoldBits) | ARB_LOCATE);
  uint8_t* rec = arb->arb_rec;
  uint16_t len16 = arb->arb_len, var = arb->arb_var_len;
  int ok = set_stream_info(arb, u, true);
  uint32_t len = 0;
  int st = ok ? engine_read(arb, u, &len) : BRF_NO_KEY;
  arb->arb_mod = mod, arb->arb_rec = rec, arb->arb_len = len16, arb->arb_var_len = var;
  if (!ok) return 0;
  bool found = st == BRF_OK || st == BRF_LOCK_REFUSED;
  u->saved_seek = found ? u->rcb->last_seek : -1;
  u->saved.assign(u->buf.begin(), u->buf.begin() + (found ? len : 0));
  upd_stats(u->file, ST_START, false);
  // A start that need not find its key goes on from there; one whose read
  // failed (an I/O error, a damaged pair) fails whatever it asked.
  const uint32_t s = found ? 0 : convert_btree_error(st, u->file->path);
  if (!found && ((mod & ARB_MUST_FIND) || (s != FM_EOF && s != FM_NOT_FOUND))) {
    u->pos = UIO_NO_POS;
    return fail(arb, s == FM_EOF ? uint32_t{FM_NOT_FOUND} : s);
  }
  u->pos = UIO_PENDING;
  return 1;
}

int u_rdnxt(ARB* arb, STRM* strm) {
  UIO_STRM* u = uio_strm(strm);
  upd_stats(u->file, ST_RDNXT, true);
  give_up_lock(u);
  if (u->pos == UIO_NO_POS) return fail(arb, FM_NO_POS);
  if (!set_stream_info(arb, u, true)) return 0;
  int r = kNext;
  if (u->pos == UIO_PENDING) r = reread_pending(arb, u);
  if (r == kNext) {
    set_stream_info(arb, u, true);
    r = read_next(arb, u);
  }
  upd_stats(u->file, ST_RDNXT, false);
  return r;
}

int u_write(ARB* arb, STRM* strm) {
  UIO_STRM* u = uio_strm(strm);
  upd_stats(u->file, ST_WRITE, true);
  uio_drop_hold(u);
  u->hold = UIO_NO_HOLD;
  if (!set_stream_info(arb, u, false)) return 0;
  BRF_RCB* r = u->rcb;
  uint32_t len = uio_pfb(u)->pfb_var ? arb->arb_var_len : arb->arb_len;
  int st = brfput(r, arb->arb_rec, len);
  if (st == BRF_OK) st_le32(u->rec_id, 0, static_cast<uint32_t>(r->last_seek));
  upd_stats(u->file, ST_WRITE, false);
  return st == BRF_OK ? 1 : fail_code(arb, u, st);
}

namespace {

// Rewrite and delete: on the held record, recovered first when its lock was
// given up; the cursor stays where it was.
template <class Op>
int update_held(ARB* arb, UIO_STRM* u, Op op, bool removes = false) {
  if (u->hold == UIO_NO_HOLD) return fail(arb, FM_NOT_HELD);
  if (u->hold == UIO_RCVR && !recover_hold(arb, u)) return 0;
  // A cursor left to find its place again from the last record read must
  // find it before that record goes: afterwards its key cannot be read.
  BRF_RCB* r = u->rcb;
  if (removes && r->cursor && r->cursor->key >= 0 && r->positioned_key != r->cursor->key) brfsetcur(r);
  cursor_place place;
  place.save(u->rcb);
  int st = op(u->rcb);
  place.restore(u->rcb);
  u->hold = UIO_NO_HOLD;
  return st == BRF_OK ? 1 : fail_code(arb, u, st);
}

}  // namespace

int u_rewrite(ARB* arb, STRM* strm) {
  UIO_STRM* u = uio_strm(strm);
  upd_stats(u->file, ST_REWRITE, true);
  uint32_t len = uio_pfb(u)->pfb_var ? arb->arb_var_len : arb->arb_len;
  int r = update_held(arb, u, [&](BRF_RCB* rcb) { return brfrewrite(rcb, arb->arb_rec, len); });
  upd_stats(u->file, ST_REWRITE, false);
  return r;
}

int u_del(ARB* arb, STRM* strm) {
  UIO_STRM* u = uio_strm(strm);
  return update_held(
      arb, u, [](BRF_RCB* rcb) { return brfdelete(rcb); }, true);
}

int u_release(ARB* arb, STRM* strm) {
  if (arb && strm) {
    UIO_STRM* u = uio_strm(strm);
    if (u && lock_held(u->rcb)) {
      uio_drop_hold(u);
      u->hold = UIO_NO_HOLD;
      fm_commit(2);
    }
    return 1;
  }
  uio_for_each_stream([](UIO_STRM* u) {
    if (lock_held(u->rcb)) uio_drop_hold(u);
  });
  return 1;
}

int u_transact(int kind, int value, int) {
  if (kind != 1) return 0;
  if (value == 1) return 1;
  if (value != 0) return 0;
  static bool any;
  any = false;
  uio_for_each_stream([](UIO_STRM* u) { any = any || lock_held(u->rcb); });
  return !any;
}

}  // namespace kivo
