// Scan restrictions of a handle (its FSCB chain): the prefix a segment list
// fixes, the check of a requested key before a start or keyed read, and the
// check of each record delivered. Keys are compared over the key's runs
// (key_xfer.h), bounds and prefixes in key layout.
#include <algorithm>
#include <cstring>

#include "fm/fm_record.h"
#include "fm/key_xfer.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

constexpr size_t kMaxKey = 256;

// A key path of the handle's file: its runs and full length.
struct key_path {
  const KDB* kdb = nullptr;
  const PKB* pkb = nullptr;
  int len = 0;
  bool dup() const { return kdb->kdb_flags & KDB_DUP; }
};

bool path_of(const STRM* s, uint8_t keyno, key_path* k) {
  const PFB* pfb = strm_pfb(s);
  k->kdb = pfb_key(pfb, keyno);
  k->pkb = pfb_runs(pfb, keyno);
  if (!k->kdb || !k->pkb) return false;
  k->len = k->kdb->kdb_len;
  return true;
}

// a against b over the shorter of their lengths (the whole key counts as
// no limit); either area in record (0) or key (1) layout.
int cmp_key(const key_path& k, const uint8_t* a, bool a_key, int a_len, const uint8_t* b, int b_len) {
  int n = std::min(a_len, b_len);
  KEY_XFER x{const_cast<uint8_t*>(a), b, uint8_t(a_key), 1, uint8_t(n >= k.len ? 0 : n), uint8_t(k.pkb->pkb_nruns),
             k.pkb->pkb_runs};
  return fm_cmp(x);
}

// The requested key of a read or start in key layout, in `buf`.
int requested_key(ARB* arb, const key_path& k, uint8_t* buf, const uint8_t** key) {
  if ((arb->arb_mod & ARB_PARTIAL) && arb->arb_key) {
    *key = arb->arb_key;
    return arb->arb_key_len && arb->arb_key_len < k.len ? arb->arb_key_len : k.len;
  }
  KEY_XFER x{buf, arb->arb_rec, 1, 0, 0, uint8_t(k.pkb->pkb_nruns), k.pkb->pkb_runs};
  fm_cpy(x);
  *key = buf;
  if (!arb->arb_key_end) return k.len;
  return fm_lsb_to_len(arb->arb_rec, arb->arb_key_end, k.pkb->pkb_nruns, k.pkb->pkb_runs);
}

int no_match(ARB* arb, STRM* s) {
  s->strm_active = kStrmNoPos;
  arb->arb_stat = (arb->arb_mod & ARB_EQUAL) ? FM_NOT_FOUND : FM_EOF;
  return 0;
}

const SDB* seg_by_no(const KDB& k, uint16_t no) {
  for (int i = 0; i < k.kdb_nsegs; ++i)
    if (k.kdb_sdb[i].sdb_segno == no) return &k.kdb_sdb[i];
  return nullptr;
}

// The record's listed segments against the list's values.
bool list_matches(const ARB* arb, const FSCB* f, const KDB& k) {
  for (int j = 0; j < f->fscb_nsegs; ++j) {
    const SDB* sd = seg_by_no(k, f->fscb_seg_no[j]);
    const SSB& e = f->fscb_segs[j];
    if (!sd || memcmp(arb->arb_rec + sd->sdb_offset, f->fscb_lo + e.ssb_offset, std::min(e.ssb_len, sd->sdb_len)))
      return false;
  }
  return true;
}

// Decides a delivered record by a segment list on the handle's key path.
int chk_list(ARB* arb, STRM* s, FSCB* f) {
  key_path k;
  if (!path_of(s, arb->arb_keyno, &k)) return 2;
  const uint8_t* pfx;
  int n = find_prefix(arb, f, &pfx, arb->arb_keyno);
  if (!n) return list_matches(arb, f, *k.kdb) ? 1 : 2;
  int c = cmp_key(k, arb->arb_rec, false, k.len, pfx, n);
  if (c == 0) {
    if (list_matches(arb, f, *k.kdb)) return 1;
    return k.dup() || n < k.len ? 2 : 0;
  }
  if (n < k.len || k.dup()) return c < 0 ? 2 : 0;
  return 0;
}

// A delivered record against a key range; updates *state.
int chk_range(ARB* arb, STRM* s, const FSCB* f, bool for_rdnxt, int state) {
  key_path k;
  if (!path_of(s, f->fscb_keyno, &k)) return state;
  bool equal = f->fscb_flags & SCAN_EQUAL;
  const uint8_t* hi = equal ? f->fscb_lo : f->fscb_hi;
  int hi_len = equal ? f->fscb_lo_len : f->fscb_hi_len;
  bool hi_excl = !equal && (f->fscb_flags2 & SCAN_EXCLUSIVE);
  if (hi) {
    int c = cmp_key(k, arb->arb_rec, false, k.len, hi, hi_len);
    if (c > 0 || (c == 0 && hi_excl)) {
      if (f->fscb_keyno == s->strm_keyno) return 0;
      state = 2;
    }
  }
  if (state == 1 && f->fscb_lo) {
    int c = cmp_key(k, arb->arb_rec, false, k.len, f->fscb_lo, f->fscb_lo_len);
    if (c < 0 || (c == 0 && (f->fscb_flags & SCAN_EXCLUSIVE))) state = 2;
  }
  if (state != 2 || for_rdnxt) return state;
  if (arb->arb_mod & ARB_REC_ID) return 0;
  if ((arb->arb_mod & ARB_EQUAL) && k.dup() && f->fscb_keyno != s->strm_keyno) return state;
  key_path req;
  bool whole = !path_of(s, arb->arb_keyno, &req) ||
               ((arb->arb_mod & ARB_PARTIAL) ? arb->arb_key_len == req.len : !arb->arb_key_end);
  return whole ? 0 : state;
}

}  // namespace

int find_prefix(ARB* arb, FSCB* list, const uint8_t** out, uint8_t keyno) {
  STRM* s = arb->arb_sarb ? arb_strm(arb) : nullptr;
  if (!s) {
    arb->arb_stat = FM_NOT_OPEN;
    return 0;
  }
  *out = list->fscb_hi;
  const KDB* kdb = pfb_key(strm_pfb(s), keyno);
  if (kdb && list->fscb_pfx_kdb == kdb) return list->fscb_pfx_len;
  int n = 0;
  for (int i = 0; kdb && i < kdb->kdb_nsegs; ++i) {
    const SDB& sd = kdb->kdb_sdb[i];
    int got = 0;
    for (int j = 0; j < list->fscb_nsegs; ++j) {
      if (list->fscb_seg_no[j] != sd.sdb_segno) continue;
      // Never more than the segment holds nor the buffer takes.
      int m = std::min({int(list->fscb_segs[j].ssb_len), sd.sdb_len - got, list->fscb_hi_len - n});
      if (m <= 0) break;
      memcpy(list->fscb_hi + n, list->fscb_lo + list->fscb_segs[j].ssb_offset, size_t(m));
      n += m;
      got += m;
    }
    if (got < sd.sdb_len) break;
  }
  list->fscb_pfx_kdb = n ? kdb : nullptr;
  list->fscb_pfx_len = uint16_t(n);
  return n;
}

int verify_pos_req(ARB* arb, FSCB* f) {
  STRM* s = arb_strm(arb);
  key_path k;
  if (!path_of(s, arb->arb_keyno, &k)) return 1;
  uint8_t buf[kMaxKey];
  const uint8_t* req;
  int req_len = requested_key(arb, k, buf, &req);
  if (f->fscb_type == FSCB_RANGE) {
    bool equal = f->fscb_flags & SCAN_EQUAL;
    const uint8_t* hi = equal ? f->fscb_lo : f->fscb_hi;
    int hi_len = equal ? f->fscb_lo_len : f->fscb_hi_len;
    if (hi) {
      int c = cmp_key(k, req, true, req_len, hi, hi_len);
      // A request shorter than an exclusive bound it starts with still has
      // records below the bound.
      bool at_hi = c == 0 && !equal && (f->fscb_flags2 & SCAN_EXCLUSIVE) && req_len >= hi_len;
      if (c > 0 || at_hi) return no_match(arb, s);
    }
    if (!f->fscb_lo) return 1;
    int c = cmp_key(k, req, true, req_len, f->fscb_lo, f->fscb_lo_len);
    if (c > 0 || (c == 0 && !(f->fscb_flags & SCAN_EXCLUSIVE))) return 1;
    if (c < 0 && equal) return no_match(arb, s);
    arb->arb_key = f->fscb_lo;
    arb->arb_key_len = f->fscb_lo_len;
    return 2;
  }
  if (f->fscb_type != FSCB_SEGS) {
    sys_err("FMREC", __LINE__, "fmrec.c, verify_pos_req entered default in switch");
    return 0;
  }
  const uint8_t* pfx;
  int n = find_prefix(arb, f, &pfx, arb->arb_keyno);
  if (!n) return 1;
  int c = cmp_key(k, req, true, req_len, pfx, n);
  if (c == 0) return 1;
  if (c > 0) {
    arb->arb_stat = FM_NOT_FOUND;
    return 0;
  }
  arb->arb_key = f->fscb_hi;
  arb->arb_key_len = uint16_t(n);
  return 2;
}

int chk_pos(ARB* arb, bool for_rdnxt) {
  STRM* s = arb->arb_sarb ? arb_strm(arb) : nullptr;
  if (!s) {
    sys_err("FMREC", __LINE__, "chk_pos() - missing current stream");
    return 0;
  }
  int state = 1;
  for (FSCB* f = arb->arb_sarb->sarb_fscb; f; f = f->fscb_next) {
    switch (f->fscb_type) {
      case FSCB_RANGE:
        state = chk_range(arb, s, f, for_rdnxt, state);
        if (state == 0) return 0;
        break;
      case FSCB_SORTED: break;
      case FSCB_SEGS: return state == 1 ? chk_list(arb, s, f) : state;
      default: sys_err("FMREC", __LINE__, "chk_pos() - invalid fscb_type"); return 0;
    }
  }
  return state;
}

}  // namespace kivo
