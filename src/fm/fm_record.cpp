// Record operations (see fm_record.h): the prologue every operation shares,
// the steering of starts and reads by the handle's scan restrictions, the
// read-next loop that passes over records outside them, and the update
// operations with their event points.
#include "fm/fm_record.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "fm/fm_open.h"
#include "fm/fm_switch.h"
#include "fm/fm_xlate.h"
#include "fm/key_xfer.h"
#include "fm/unix_fm.h"
#include "foundation/bytes.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

constexpr uint16_t kKeepMod = 0x01C0;  // ARB_HOLD, 0x0080 and ARB_LOCATE survive steering
constexpr uint32_t kWaitForLock = 0xFFFFFFFF;
constexpr size_t kMaxRecId = 64;

int fail(ARB* arb, uint32_t status) {
  arb->arb_stat = status;
  return 0;
}

bool delivered(int r, const ARB* arb) { return r || arb->arb_stat == FM_HELD_SELF || arb->arb_stat == FM_LOCKED; }

int call(ARB* arb, STRM* s, fms_slot slot) { return slot ? slot(arb, s) : fail(arb, FM_NO_FMS); }

int code_read(ARB* arb, STRM* s) {
  int r = call(arb, s, s->strm_fms->read);
  if (delivered(r, arb)) decode_rec(arb);
  return r;
}
int code_rdnxt(ARB* arb, STRM* s) {
  int r = call(arb, s, s->strm_fms->rdnxt);
  if (delivered(r, arb)) decode_rec(arb);
  return r;
}

// No current stream: FM_NOT_OPEN. A stream not yet opened by its back-end is
// activated first.
STRM* prologue(ARB* arb) {
  STRM* s = arb_strm_or_null(arb);
  if (!s) {
    fail(arb, FM_NOT_OPEN);
    return nullptr;
  }
  if (s->strm_active == kStrmInactive) {
    if (!fm_actv(arb, s)) return nullptr;
    if (s->strm_active == kStrmInactive) s->strm_active = kStrmStartPending;
  }
  return s;
}

// The caller's request fields, put back when the operation returns.
struct caller {
  ARB* arb;
  uint16_t mod;
  uint8_t* key;
  uint16_t key_len;
  uint8_t keyno;
  uint32_t lock_wait;
  explicit caller(ARB* a)
      : arb(a),
        mod(a->arb_mod),
        key(a->arb_key),
        key_len(a->arb_key_len),
        keyno(a->arb_keyno),
        lock_wait(a->arb_lock_wait) {}
  void restore() const {
    arb->arb_mod = mod;
    arb->arb_key = key;
    arb->arb_key_len = key_len;
    arb->arb_keyno = keyno;
    arb->arb_lock_wait = lock_wait;
  }
  ~caller() { restore(); }
  caller(const caller&) = delete;
  caller& operator=(const caller&) = delete;
};

// The record id of the caller's ARB_MATCH_ID request.
struct rec_id {
  uint8_t b[kMaxRecId];
  uint32_t len = 0;
  void keep(const ARB* arb) {
    len = std::min<uint32_t>(arb->arb_rec_id_len, kMaxRecId);
    if (arb->arb_rec_id_area) memcpy(b, arb->arb_rec_id_area, len);
  }
  bool differs(const ARB* arb) const { return !arb->arb_rec_id_area || memcmp(b, arb->arb_rec_id_area, len) != 0; }
  void put_back(ARB* arb) const {
    if (arb->arb_rec_id_area) memcpy(arb->arb_rec_id_area, b, len);
  }
};

uint16_t range_bits(const FSCB* f) { return f->fscb_flags & (SCAN_EQUAL | SCAN_EXCLUSIVE); }

// True when the first restriction steers requests on the handle's key.
bool steers(const FSCB* f, uint8_t keyno) {
  return f && (f->fscb_type == FSCB_SEGS || (f->fscb_type == FSCB_RANGE && f->fscb_keyno == keyno));
}

// Points the request at the restriction's own start for an ARB_FIRST
// request; false when the request stays as asked.
bool steer_first(ARB* arb, FSCB* f, uint16_t seg_bits) {
  uint16_t keep = arb->arb_mod & kKeepMod;
  if (f->fscb_type == FSCB_RANGE) {
    if (!f->fscb_lo) return false;
    arb->arb_key = f->fscb_lo;
    arb->arb_key_len = f->fscb_lo_len;
    arb->arb_mod = keep | range_bits(f) | ARB_PARTIAL | (seg_bits & ARB_MUST_FIND);
    return true;
  }
  const uint8_t* pfx;
  int n = find_prefix(arb, f, &pfx, arb->arb_keyno);
  if (!n) return false;
  arb->arb_key = const_cast<uint8_t*>(pfx);
  arb->arb_key_len = uint16_t(n);
  arb->arb_mod = keep | ARB_PARTIAL | seg_bits;
  return true;
}

// The request after verify_pos_req replaced its key.
void steer_verified(ARB* arb, const FSCB* f, uint16_t keep) {
  arb->arb_mod = keep | ARB_PARTIAL | (f->fscb_type == FSCB_RANGE ? range_bits(f) : uint16_t(ARB_EQUAL));
}

int plain_start(ARB* arb, STRM* s) {
  int r = call(arb, s, s->strm_fms->start);
  s->strm_active = r ? kStrmOnRecord : kStrmNoPos;
  return r;
}

int release_if_held(ARB* arb, STRM* s, int r, uint16_t mod) {
  if (r && (mod & ARB_HOLD) && s->strm_fms->release) {
    uint32_t st = arb->arb_stat;
    s->strm_fms->release(arb, s);
    arb->arb_stat = st;
  }
  return 0;
}

int plain_read(ARB* arb, STRM* s) {
  arb->arb_var_len = 0;
  int r = code_read(arb, s);
  if (r) {
    s->strm_active = kStrmOnRecord;
    restore_null(arb);
    return has_events(arb) ? post_read(arb) : 1;
  }
  if (arb->arb_mod & ARB_REC_ID) s->strm_active = kStrmOnRecord;
  if (!delivered(r, arb)) return 0;
  uint32_t st = arb->arb_stat;
  restore_null(arb);
  s->strm_active = kStrmOnRecord;
  if (has_events(arb)) post_read(arb);
  return fail(arb, st);
}

// A scanned read whose record does not qualify goes on by read-next.
int continue_read(ARB* arb, STRM* s, const caller& c, const rec_id& id) {
  uint8_t tmp[256];
  if ((c.mod & ARB_EQUAL) && !(c.mod & ARB_PARTIAL)) {
    arb->arb_keyno = c.keyno;
    arb->arb_key = tmp;
    arb->arb_key_len = 0;
    arb->arb_key_len = uint16_t(fm_cmprs(arb));
  }
  if (c.mod & ARB_MATCH_ID) id.put_back(arb);
  arb->arb_mod = c.mod;
  arb->arb_lock_wait = c.lock_wait;
  int r = fm_rdnxt(arb);
  if (r) return 1;
  if ((c.mod & ARB_EQUAL) && arb->arb_key) fm_uncmprs(arb);
  if (arb->arb_stat != FM_HELD_SELF && arb->arb_stat != FM_LOCKED) s->strm_active = kStrmNoPos;
  if (arb->arb_stat == FM_EOF) arb->arb_stat = FM_NOT_FOUND;
  return 0;
}

// Steers a keyed read the scan restricts: to its first record, or past a
// position the scan does not allow. False when no record can be had.
bool steer_scan(ARB* arb, FSCB* f, uint16_t mod) {
  if (mod & ARB_FIRST) {
    steer_first(arb, f, ARB_EQUAL);
    return true;
  }
  const int v = verify_pos_req(arb, f);
  if (v == 0) return false;
  if (v == 2) steer_verified(arb, f, mod & kKeepMod);
  else if (v != 1) sys_err("FMREC", __LINE__, "fm_read() - bad position verification");
  return true;
}

// The caller's request, armed again for each try of the read.
struct read_request {
  uint16_t mod;
  uint8_t* key;
  uint16_t key_len;
  explicit read_request(const ARB* arb) : mod(arb->arb_mod), key(arb->arb_key), key_len(arb->arb_key_len) {}
  void arm(ARB* arb, uint16_t with_mod) const {
    arb->arb_mod = with_mod;
    arb->arb_key = key;
    arb->arb_key_len = key_len;
    arb->arb_lock_wait = 0;
    arb->arb_var_len = 0;
  }
};

int scanned_read(ARB* arb, STRM* s, FSCB* f) {
  caller c(arb);
  rec_id id;
  if (c.mod & ARB_MATCH_ID) id.keep(arb);
  bool by_id = c.mod & ARB_REC_ID;
  if (f && !by_id) s->strm_keyno = arb->arb_keyno;
  if (f && !by_id && steers(f, arb->arb_keyno) && !steer_scan(arb, f, c.mod)) return fail(arb, FM_NOT_FOUND);
  // The scan decides about records held elsewhere: the slot never takes a
  // hold over nor waits on a lock.
  const read_request req(arb);
  req.arm(arb, req.mod | ARB_NO_STEAL);
  int r = code_read(arb, s);
  for (;;) {
    c.restore();
    if (delivered(r, arb)) {
      if (!by_id) s->strm_active = kStrmOnRecord;
      restore_null(arb);
      int p = chk_pos(arb, false);
      if (p == 0) {
        release_if_held(arb, s, r, c.mod);
        s->strm_active = kStrmNoPos;  // a failed read leaves no position
        return fail(arb, FM_NOT_FOUND);
      }
      if (p == 2 || ((c.mod & ARB_MATCH_ID) && id.differs(arb))) return continue_read(arb, s, c, id);
      if (p != 1) sys_err("FMREC", __LINE__, "fm_read() - invalid chk_pos status");
    }
    if (r) {
      s->strm_active = kStrmOnRecord;
      return has_events(arb) ? post_read(arb) : 1;
    }
    if (arb->arb_stat != FM_HELD_SELF || (c.mod & ARB_NO_STEAL)) return 0;
    // Another stream of this session holds it: take the hold over.
    req.arm(arb, req.mod & ~ARB_NO_STEAL);
    r = code_read(arb, s);
  }
}

// A read-next with a start pending positions first: at the restriction's
// own start, else at the first record of the stream's key path.
int initial_position(ARB* arb, STRM* s, FSCB* f, const caller& c) {
  // A segment list scans the handle's own key path.
  if (!f || f->fscb_type != FSCB_SEGS) arb->arb_keyno = s->strm_keyno;
  arb->arb_mod = ARB_FIRST;
  if (f && (f->fscb_type == FSCB_RANGE || f->fscb_type == FSCB_SEGS)) {
    if (f->fscb_type == FSCB_RANGE) arb->arb_keyno = f->fscb_keyno;
    arb->arb_mod = 0;
    if (!steer_first(arb, f, ARB_MUST_FIND)) arb->arb_mod = ARB_FIRST;
    else arb->arb_mod |= ARB_MUST_FIND;
  }
  bool keyed = !(arb->arb_mod & ARB_FIRST);
  int r = call(arb, s, s->strm_fms->start);
  c.restore();
  if (r) return 1;
  if (!keyed) sys_err("FMREC", __LINE__, "initial positioning failed");
  if (arb->arb_stat == FM_NOT_FOUND) arb->arb_stat = FM_EOF;
  return 0;
}

int end_rdnxt(ARB* arb, STRM* s, int r, uint16_t mod, uint32_t status) {
  release_if_held(arb, s, r, mod);
  s->strm_active = kStrmNoPos;
  return fail(arb, status);
}

int update(ARB* arb, bool write) {
  STRM* s = prologue(arb);
  if (!s) return 0;
  if (write) s->strm_active = kStrmNoPos;
  const uint8_t op = write ? FP_OP_WRITE : FP_OP_UPDATE;
  bool events = has_events(arb);
  if (events) pre_upd(arb, op);
  // The record as the caller gave it comes back after the write; what is
  // stored of a translated field is its text in the file's own language.
  uint8_t* const rec = arb->arb_rec;
  const uint16_t var_len = arb->arb_var_len;
  std::vector<uint8_t> base;
  const bool encoded = strm_pfb(s)->pfb_xlate && encode_rec(arb, &base);
  bool trim = strm_pfb(s)->pfb_var && arb->arb_var_len == 0;
  if (trim) arb->arb_var_len = trimmed_len(arb);
  int r = call(arb, s, write ? s->strm_fms->write : s->strm_fms->rewrite);
  if (encoded) arb->arb_rec = rec;
  if (trim || encoded) arb->arb_var_len = var_len;
  if (r && events) post_upd(arb, op);
  if (events) end_upd(arb);
  return r;
}

}  // namespace

int fm_start(ARB* arb) {
  STRM* s = prologue(arb);
  if (!s) return 0;
  caller c(arb);
  FSCB* f = arb->arb_sarb->sarb_fscb;
  if (f) s->strm_keyno = arb->arb_keyno;
  if (!steers(f, arb->arb_keyno)) return plain_start(arb, s);
  bool must = c.mod & ARB_MUST_FIND;
  if (c.mod & ARB_FIRST) {
    steer_first(arb, f, ARB_MUST_FIND);
    int r = call(arb, s, s->strm_fms->start);
    c.restore();
    if (r) {
      s->strm_active = kStrmOnRecord;
      return 1;
    }
    if (f->fscb_type == FSCB_SEGS && arb->arb_stat != FM_NOT_FOUND && arb->arb_stat != FM_EOF) {
      s->strm_active = kStrmNoPos;
      return 0;
    }
    s->strm_active = kStrmStartPending;
    return must ? 0 : 1;
  }
  int v = verify_pos_req(arb, f);
  if (v == 0) return must ? 0 : 1;
  if (v == 1) return plain_start(arb, s);
  steer_verified(arb, f, c.mod & kKeepMod);
  return plain_start(arb, s);
}

int fm_read(ARB* arb) {
  STRM* s = prologue(arb);
  if (!s) return 0;
  s->strm_active = kStrmNoPos;
  FSCB* f = arb->arb_sarb->sarb_fscb;
  if (!f && !(arb->arb_mod & ARB_MATCH_ID)) return plain_read(arb, s);
  return scanned_read(arb, s, f);
}

void fm_prefetch_id(const ARB* arb, const uint8_t* id, uint32_t id_len) {
  const STRM* s = arb_strm_or_null(arb);
  if (s && id && id_len == 4) uio_prefetch(s, ld_le32(id, 0));
}

namespace {

// Where the record read next stands: 0 past the end of the key or the
// scan, 2 to be skipped, 1 taken.
int next_position(ARB* arb, FSCB* f, uint16_t mod) {
  if ((mod & ARB_EQUAL) && arb->arb_key && fm_key_cmp(arb) != 0) return 0;
  const int p = f ? chk_pos(arb, true) : 1;
  if (p != 0 && p != 1 && p != 2) sys_err("FMREC", __LINE__, "fm_rdnxt() - bad chk_pos status");
  return p;
}

}  // namespace

int fm_rdnxt(ARB* arb) {
  STRM* s = prologue(arb);
  if (!s) return 0;
  if (s->strm_active == kStrmNoPos) return fail(arb, FM_NO_POS);
  caller c(arb);
  FSCB* f = arb->arb_sarb->sarb_fscb;
  if (s->strm_active == kStrmStartPending && !initial_position(arb, s, f, c)) return 0;
  rec_id id;
  if (c.mod & ARB_MATCH_ID) id.keep(arb);
  s->strm_active = kStrmNoPos;
  // A scan or a keyed run decides about held records itself: the slot
  // neither takes a hold over nor waits.
  const bool own_holds = f ? f->fscb_type != FSCB_SORTED : (c.mod & ARB_EQUAL);
  uint16_t mod = own_holds ? uint16_t(c.mod | ARB_NO_STEAL) : c.mod;
  uint32_t wait = own_holds ? 0 : c.lock_wait;
  for (;;) {
    arb->arb_mod = mod;
    arb->arb_lock_wait = wait;
    arb->arb_var_len = 0;
    int r = code_rdnxt(arb, s);
    uint32_t st = arb->arb_stat;
    if (!delivered(r, arb)) return 0;
    restore_null(arb);
    const int p = next_position(arb, f, c.mod);
    if (p == 0) return end_rdnxt(arb, s, r, c.mod, FM_EOF);
    if (p == 2 || ((c.mod & ARB_MATCH_ID) && id.differs(arb))) {
      mod |= ARB_NO_STEAL | (r ? 0 : ARB_SKIPPED);
      continue;
    }
    if (has_events(arb) && !post_read(arb)) {
      if (r) continue;
      return 0;
    }
    c.restore();
    if (r) {
      s->strm_active = kStrmOnRecord;
      return 1;
    }
    if (st == FM_LOCKED && c.lock_wait == kWaitForLock) continue;
    if (st == FM_LOCKED || (c.mod & ARB_NO_STEAL)) {
      s->strm_active = kStrmOnRecord;
      return fail(arb, st);
    }
    // Held by another stream of this session: read it again, taking the hold over.
    mod &= ~ARB_NO_STEAL;
    wait = 0;
  }
}

int fm_write(ARB* arb) { return update(arb, true); }
int fm_rewrite(ARB* arb) { return update(arb, false); }

int fm_del(ARB* arb) {
  STRM* s = prologue(arb);
  if (!s) return 0;
  if (strm_pfb(s)->ORG != ORG_INDEXED) return fail(arb, FM_NOT_INDEXED);
  int r = call(arb, s, s->strm_fms->del);
  const bool events = has_events(arb);
  if (r && events) post_upd(arb, FP_OP_DELETE);
  if (events) end_upd(arb);
  return r;
}

int fm_release(ARB* arb) {
  if (!arb) return fms_release_all();
  STRM* s = arb_strm_or_null(arb);
  if (!s) return fail(arb, FM_NOT_OPEN);
  return call(arb, s, s->strm_fms->release);
}

uint8_t* fm_read_fast(ARB* arb, uint16_t mod) {
  arb->arb_mod = mod | ARB_LOCATE;
  return fm_read(arb) ? arb->arb_rec : nullptr;
}

uint8_t* fm_rdnxt_fast(ARB* arb, uint16_t mod) {
  arb->arb_mod = mod | ARB_LOCATE;
  return fm_rdnxt(arb) ? arb->arb_rec : nullptr;
}

}  // namespace kivo
