// Key compare and copy over SSB runs (see key_xfer.h).
#include "fm/key_xfer.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "foundation/sys_err.h"
#include "store/key_segment.h"

namespace kivo {

namespace {

// Where a segment lies in an area of either layout.
template <class T>
T* place(T* area, bool key_layout, int key_off, const SSB& s) {
  return area + (key_layout ? key_off : s.ssb_offset);
}

// The handle's current stream's PFB, or a system error naming `who`.
const PFB* current_pfb(const ARB* arb, const char* who) {
  const STRM* strm = arb->arb_sarb ? arb_strm(arb) : nullptr;
  if (!strm) {
    sys_err("FMREC", __LINE__, "%s() - missing current stream", who);
    return nullptr;
  }
  return strm_pfb(strm);
}

// A request over the handle's key path; false (a system error) without one.
bool handle_xfer(ARB* arb, const char* who, KEY_XFER* x, int* key_len) {
  const PFB* pfb = current_pfb(arb, who);
  if (!pfb) return false;
  const KDB* kdb = pfb_key(pfb, arb->arb_keyno);
  const PKB* pkb = pfb_runs(pfb, arb->arb_keyno);
  if (!kdb || !pkb) {
    sys_err("FMREC", __LINE__, "%s() - no key %u", who, arb->arb_keyno);
    return false;
  }
  *key_len = kdb->kdb_len;
  x->nsegs = static_cast<uint8_t>(pkb->pkb_nruns);
  x->segs = pkb->pkb_runs;
  // A partial length beyond the key would read past it: the whole key.
  int n = arb->arb_key_len;
  x->limit = (n == 0 || n >= *key_len) ? 0 : static_cast<uint8_t>(n);
  return true;
}

}  // namespace

int seg_cmp(int code, const uint8_t* a, const uint8_t* b, int length, uint8_t order) {
  int width = 0;
  key_seg seg;
  seg.kind = seg_kind_of_code(code, &width);
  seg.len = static_cast<uint16_t>(width ? width : length);
  seg.descending = order != '+';
  if (seg.kind == seg_kind::invalid || !seg_len_valid(seg.kind, seg.len)) {
    sys_err("FMREC", __LINE__, "fmrec, seg_cmp entered default in switch");
    return 0;
  }
  return seg_compare(seg, a, b);
}

int fm_cmp(const KEY_XFER& x) {
  int left = x.limit ? x.limit : INT_MAX;
  int key_off = 0;
  for (int i = 0; i < x.nsegs && left > 0; ++i) {
    const SSB& s = x.segs[i];
    int n = std::min<int>(s.ssb_len, left);
    const uint8_t* a = place(x.area1, x.key1, key_off, s);
    const uint8_t* b = place(x.area2, x.key2, key_off, s);
    int c;
    if (s.ssb_code == 8) {  // bytes: the common case, without the kind lookup
      c = memcmp(a, b, size_t(n));
      c = (c > 0) - (c < 0);
      if (s.ssb_order != '+') c = -c;
    } else {
      if (n < s.ssb_len) return 0;
      c = seg_cmp(s.ssb_code, a, b, n, s.ssb_order);
    }
    if (c) return c;
    left -= s.ssb_len;
    key_off += s.ssb_len;
  }
  return 0;
}

void fm_cpy(const KEY_XFER& x) {
  int left = x.limit ? x.limit : INT_MAX;
  if (x.key1 && x.key2) {
    int sum = 0;
    for (int i = 0; i < x.nsegs; ++i) sum += x.segs[i].ssb_len;
    memmove(x.area1, x.area2, std::min(sum, left));
    return;
  }
  int key_off = 0;
  for (int i = 0; i < x.nsegs && left > 0; ++i) {
    const SSB& s = x.segs[i];
    int n = std::min<int>(s.ssb_len, left);
    memmove(place(x.area1, x.key1, key_off, s), place(x.area2, x.key2, key_off, s), n);
    left -= s.ssb_len;
    key_off += s.ssb_len;
  }
}

int fm_lsb_to_len(const uint8_t* record, const uint8_t* last, int nruns, const SSB* runs) {
  long pos = last - record;
  int sum = 0;
  for (int i = 0; i < nruns; ++i) {
    const SSB& r = runs[i];
    if (pos >= r.ssb_offset && pos < r.ssb_offset + r.ssb_len) return sum + static_cast<int>(pos - r.ssb_offset) + 1;
    sum += r.ssb_len;
  }
  return sum;
}

int fm_key_cmp(ARB* arb) {
  KEY_XFER x{};
  int key_len;
  if (!handle_xfer(arb, "fm_key_cmp", &x, &key_len)) return 0;
  x.area1 = arb->arb_rec;
  x.area2 = arb->arb_key;
  x.key2 = 1;
  return fm_cmp(x);
}

int fm_cmprs(ARB* arb) {
  KEY_XFER x{};
  int key_len;
  if (!handle_xfer(arb, "fm_cmprs", &x, &key_len)) return 0;
  if (!arb->arb_key) {
    if (!arb->arb_key_end) return key_len;
    return fm_lsb_to_len(arb->arb_rec, arb->arb_key_end, x.nsegs, x.segs);
  }
  x.area1 = arb->arb_key;
  x.key1 = 1;
  x.area2 = arb->arb_rec;
  fm_cpy(x);
  return x.limit ? x.limit : key_len;
}

void fm_uncmprs(ARB* arb) {
  KEY_XFER x{};
  int key_len;
  if (!handle_xfer(arb, "fm_uncmprs", &x, &key_len)) return;
  x.area1 = arb->arb_rec;
  x.area2 = arb->arb_key;
  x.key2 = 1;
  fm_cpy(x);
}

int get_rec_len(ARB* arb) {
  const STRM* strm = arb->arb_sarb ? arb_strm(arb) : nullptr;
  if (!strm) return arb->arb_len;
  const PFB* pfb = strm_pfb(strm);
  return pfb->pfb_var ? arb->arb_var_len : pfb->pfb_rec_len;
}

}  // namespace kivo
