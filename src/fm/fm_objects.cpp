// File-manager objects: the session state, scope entries, the PFB with its
// key copy and key-run map, and scan-control chains (see fm_objects.h).
//
// create_pfb checks a descriptor whole before it allocates, so a refused
// key leaves the pool as it was; every compare later runs over the runs
// built here and trusts their offsets and lengths.
#include "fm/fm_objects.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "fm/key_xfer.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "store/key_segment.h"

namespace kivo {

ut_list fm_pfb_list;
ut_list fm_marb_list;
ut_list fm_scope_list;

namespace {

POOL* g_fm_pool = nullptr;
constexpr int kMaxKeySegs = 16;
constexpr int kMaxKeyLen = 255;
constexpr uint8_t kBlank = ' ';

// Cleared bytes from the session pool. Running out of heap leaves the scope
// level; a null here (no pool) is a start-up bug.
void* fm_alloc(size_t size) {
  void* p = MM_ALLOC(fm_pool(), size);
  if (!p) abort();
  memset(p, 0, size);
  return p;
}

size_t round8(size_t n) { return (n + 7) & ~size_t{7}; }

// Why a key cannot be ordered; 0 when it can. *sum gets its length.
uint32_t check_key(const FDB& fdb, const KDB& kdb, int* sum) {
  *sum = 0;
  if (kdb.kdb_nsegs > kMaxKeySegs) return FM_BAD_KEY_LEN;
  for (int j = 0; j < kdb.kdb_nsegs; ++j) {
    const SDB& s = kdb.kdb_sdb[j];
    if (!seg_len_valid(seg_kind_of_sdb(s.sdb_type), s.sdb_len)) return FM_BAD_KEY_LEN;
    if (s.sdb_offset + s.sdb_len > fdb.fdb_rec_len) return FM_BAD_KEY_LEN;
    *sum += s.sdb_len;
  }
  if (*sum > kMaxKeyLen) return FM_BAD_KEY_LEN;
  if (kdb.kdb_len != 0 && kdb.kdb_len != *sum) return FM_BAD_KEY_LEN;
  return 0;
}

// Checks every key; fills the total segment count and the map length.
uint32_t check_keys(const FDB& fdb, int* nsegs, int* map_len) {
  *nsegs = 0;
  *map_len = 0;
  bool used[256] = {};
  for (int i = 0; i < fdb.fdb_nkeys; ++i) {
    const KDB& k = fdb.fdb_kdb[i];
    int sum;
    if (uint32_t st = check_key(fdb, k, &sum)) return st;
    if (used[k.kdb_keyno]) return FM_BAD_KEY_LEN;
    used[k.kdb_keyno] = true;
    *nsegs += k.kdb_nsegs;
    *map_len = std::max(*map_len, k.kdb_keyno + 1);
  }
  return 0;
}

// The PFB's own copy of the keys: lengths summed, blank orders resolved.
void copy_keys(PFB* pfb, const FDB& fdb, KDB* kdbs, SDB* sdbs) {
  uint16_t min_len = 1;
  for (int i = 0; i < fdb.fdb_nkeys; ++i) {
    const KDB& src = fdb.fdb_kdb[i];
    KDB& k = kdbs[i];
    k = src;
    k.kdb_sdb = sdbs;
    int sum = 0;
    for (int j = 0; j < src.kdb_nsegs; ++j) {
      SDB& s = sdbs[j];
      s = src.kdb_sdb[j];
      if (s.sdb_order == kBlank) s.sdb_order = k.kdb_order;
      sum += s.sdb_len;
      min_len = std::max<uint16_t>(min_len, static_cast<uint16_t>(s.sdb_offset + s.sdb_len));
    }
    k.kdb_len = static_cast<uint8_t>(sum);
    sdbs += src.kdb_nsegs;
  }
  pfb->pfb_kdb = kdbs;
  pfb->pfb_min_len = min_len;
}

void build_keymap(PFB* pfb, uint8_t* map, int map_len) {
  memset(map, kKeyUnused, map_len);
  for (int i = 0; i < pfb->pfb_nkeys; ++i) map[pfb->pfb_kdb[i].kdb_keyno] = static_cast<uint8_t>(i);
  pfb->pfb_keymap = map;
  pfb->pfb_keymap_len = static_cast<uint16_t>(map_len);
}

// Whether run `b` continues run `a` as one run of bytes.
bool mergeable(const SSB& a, const SSB& b) {
  return a.ssb_code == 8 && b.ssb_code == 8 && a.ssb_offset + a.ssb_len == b.ssb_offset && a.ssb_order == b.ssb_order;
}

// The runs of one key into `out`; returns their count.
int key_runs(const KDB& k, SSB* out) {
  int n = 0;
  for (int j = 0; j < k.kdb_nsegs; ++j) {
    SSB s{};
    sdb_to_ssb(&k, &k.kdb_sdb[j], &s);
    if (n > 0 && mergeable(out[n - 1], s)) {
      out[n - 1].ssb_len = static_cast<uint16_t>(out[n - 1].ssb_len + s.ssb_len);
    } else {
      out[n++] = s;
    }
  }
  return n;
}

// A range bound in record layout converted to the key's contiguous form.
uint8_t* record_bound(const uint8_t* rec, const uint8_t* last, const KDB& k, const PKB& runs, uint16_t* len) {
  int n = last ? fm_lsb_to_len(rec, last, runs.pkb_nruns, runs.pkb_runs) : k.kdb_len;
  auto* out = static_cast<uint8_t*>(fm_alloc(std::max(n, 1)));
  KEY_XFER x{};
  x.area1 = out;
  x.key1 = 1;
  x.area2 = rec;
  x.limit = static_cast<uint8_t>(n);
  x.nsegs = static_cast<uint8_t>(runs.pkb_nruns);
  x.segs = runs.pkb_runs;
  if (n > 0) fm_cpy(x);
  *len = static_cast<uint16_t>(n);
  return out;
}

uint8_t* copy_bytes(const void* src, size_t n) {
  auto* out = static_cast<uint8_t*>(fm_alloc(std::max<size_t>(n, 1)));
  if (n) memcpy(out, src, n);
  return out;
}

// Scan element kinds: a key range (request types 1 and 2).
FSCB* range_fscb(const SCAN_REQ& r, const PFB* pfb, uint32_t* stat) {
  const KDB* k = pfb_key(pfb, r.keyno);
  const PKB* runs = pfb_runs(pfb, r.keyno);
  if (!k || !runs) {
    *stat = FM_KEY_NO_DIFF;
    return nullptr;
  }
  bool equal = r.flags & SCAN_EQUAL;
  const uint8_t* hi = equal ? nullptr : r.hi;
  if (r.type == SCAN_KEY && ((r.lo && r.lo_len > k->kdb_len) || (hi && r.hi_len > k->kdb_len))) {
    *stat = FM_BAD_KEY_LEN;
    return nullptr;
  }
  auto* f = static_cast<FSCB*>(fm_alloc(sizeof(FSCB)));
  f->fscb_type = FSCB_RANGE;
  f->fscb_keyno = r.keyno;
  f->fscb_flags = r.flags & (SCAN_EQUAL | SCAN_EXCLUSIVE);
  f->fscb_flags2 = hi ? (r.flags2 & SCAN_EXCLUSIVE) : 0;
  if (r.type == SCAN_KEY) {
    if (r.lo) f->fscb_lo = copy_bytes(r.lo, r.lo_len), f->fscb_lo_len = r.lo_len;
    if (hi) f->fscb_hi = copy_bytes(hi, r.hi_len), f->fscb_hi_len = r.hi_len;
  } else {
    if (r.lo) f->fscb_lo = record_bound(r.lo, r.lo_last, *k, *runs, &f->fscb_lo_len);
    if (hi) f->fscb_hi = record_bound(hi, r.hi_last, *k, *runs, &f->fscb_hi_len);
  }
  return f;
}

FSCB* sorted_fscb(const SCAN_REQ& r) {
  auto* f = static_cast<FSCB*>(fm_alloc(sizeof(FSCB)));
  f->fscb_type = FSCB_SORTED;
  f->fscb_sq_len = r.sq_len;
  f->fscb_sq = copy_bytes(r.sq_parms, r.sq_len);
  return f;
}

FSCB* segs_fscb(const SCAN_REQ& r, uint32_t* stat) {
  for (int i = 0; i < r.nsegs; ++i) {
    const SCAN_SEG& e = r.segs[i];
    if (e.len == 0 || e.offset + e.len > r.kbuf_len) {
      *stat = FM_BAD_KEY_LEN;
      return nullptr;
    }
  }
  auto* f = static_cast<FSCB*>(fm_alloc(sizeof(FSCB)));
  f->fscb_type = FSCB_SEGS;
  f->fscb_lo_len = f->fscb_hi_len = r.kbuf_len;
  f->fscb_lo = copy_bytes(r.kbuf, r.kbuf_len);
  f->fscb_hi = static_cast<uint8_t*>(fm_alloc(std::max<size_t>(r.kbuf_len, 1)));
  f->fscb_nsegs = r.nsegs;
  f->fscb_segs = static_cast<SSB*>(fm_alloc(sizeof(SSB) * std::max<size_t>(r.nsegs, 1)));
  f->fscb_seg_no = static_cast<uint16_t*>(fm_alloc(sizeof(uint16_t) * std::max<size_t>(r.nsegs, 1)));
  for (int i = 0; i < r.nsegs; ++i) {
    f->fscb_segs[i] = SSB{r.segs[i].offset, r.segs[i].len, 8, '+'};
    f->fscb_seg_no[i] = r.segs[i].seg_no;
  }
  return f;
}

}  // namespace

POOL* fm_pool() { return g_fm_pool; }

void* fm_zalloc(size_t size) { return fm_alloc(size); }

void fm_set_templates() {
  FDB f{};
  memset(&f.path, ' ', sizeof f.path);
  f.path.fdb_tmp_id = 0;
  memcpy(f.path.fdb_ver, "00", 2);
  memcpy(f.path.fdb_src_ver, "00", 2);
  f.path.fdb_class = PATH_DATA;
  f.fdb_nkeys = 1;
  f.fdb_fs_type = FS_DISK;
  f.fdb_org = ORG_INDEXED;
  f.fdb_acc = 0x0f;
  f.fdb_shr = 0x0f;
  f.fdb_struct_date[0] = f.fdb_struct_date[1] = kStampUnknown;
  fm_fdb = f;
  fm_kdb = KDB{};
  fm_kdb.kdb_order = '+';
  fm_kdb.kdb_nsegs = 1;
  fm_sdb = SDB{};
  fm_sdb.sdb_type = SDB_CHARS;
  fm_sdb.sdb_order = kBlank;
}

void fm_objects_init() {
  g_fm_pool = mm_create_pool(" FM        ", com.sys_scope);
  fm_pfb_list = ut_list{};
  fm_marb_list = ut_list{};
  fm_scope_list = ut_list{};
  fm_set_templates();
}

FM_SCOPE* get_clean(uint32_t scope) {
  for (auto* e = static_cast<FM_SCOPE*>(fm_scope_list.head); e; e = static_cast<FM_SCOPE*>(e->in_list.next))
    if (e->scope == scope) return e;
  auto* e = static_cast<FM_SCOPE*>(fm_alloc(sizeof(FM_SCOPE)));
  e->scope = scope;
  ut_add_to_lst(e, &e->in_list, &fm_scope_list);
  return e;
}

int sdb_to_ssb(const KDB* kdb, const SDB* sdb, SSB* ssb) {
  key_seg seg = key_seg_of_sdb(sdb->sdb_type, sdb->sdb_len, sdb->sdb_offset, kdb->kdb_order, sdb->sdb_order);
  if (!seg_len_valid(seg.kind, seg.len)) return 0;
  ssb->ssb_offset = sdb->sdb_offset;
  ssb->ssb_len = sdb->sdb_len;
  ssb->ssb_code = static_cast<uint8_t>(seg_code_of(seg.kind, seg.len));
  ssb->ssb_order = seg.descending ? '-' : '+';
  return 1;
}

void create_pkb(PFB* pfb) {
  pfb->pfb_pkb = nullptr;
  int nsegs = 0;
  for (int i = 0; i < pfb->pfb_nkeys; ++i) nsegs += pfb->pfb_kdb[i].kdb_nsegs;
  if (nsegs == 0) return;
  size_t head = round8(sizeof(PKB) * pfb->pfb_nkeys);
  auto* block = static_cast<uint8_t*>(fm_alloc(head + sizeof(SSB) * nsegs));
  auto* pkb = reinterpret_cast<PKB*>(block);
  auto* runs = reinterpret_cast<SSB*>(block + head);
  for (int i = 0; i < pfb->pfb_nkeys; ++i) {
    pkb[i].pkb_runs = runs;
    pkb[i].pkb_nruns = static_cast<uint16_t>(key_runs(pfb->pfb_kdb[i], runs));
    runs += pkb[i].pkb_nruns;
  }
  pfb->pfb_pkb = pkb;
}

PFB* create_pfb(FDB* fdb) {
  int nsegs, map_len;
  if (uint32_t st = check_keys(*fdb, &nsegs, &map_len)) {
    fdb->fdb_stat = st;
    return nullptr;
  }
  size_t kdb_off = round8(sizeof(PFB));
  size_t sdb_off = kdb_off + round8(sizeof(KDB) * fdb->fdb_nkeys);
  size_t map_off = sdb_off + sizeof(SDB) * nsegs;
  auto* block = static_cast<uint8_t*>(fm_alloc(map_off + std::max(map_len, 1)));
  auto* pfb = reinterpret_cast<PFB*>(block);
  pfb->pfb_nkeys = fdb->fdb_nkeys;
  pfb->pfb_rec_len = fdb->fdb_rec_len;
  pfb->pfb_var = fdb->fdb_var;
  pfb->pfb_fmt = fdb->fdb_fmt;
  pfb->TYPE = fdb->fdb_fs_type;
  pfb->ORG = fdb->fdb_org;
  pfb->pfb_stamp[0] = fdb->fdb_struct_date[0];
  pfb->pfb_stamp[1] = fdb->fdb_struct_date[1];
  pfb->pfb_owner_scope = (fdb->fdb_opt & LFB_SCOPED) ? fdb->path.fdb_tmp_id : 0;
  copy_keys(pfb, *fdb, reinterpret_cast<KDB*>(block + kdb_off), reinterpret_cast<SDB*>(block + sdb_off));
  if (map_len) build_keymap(pfb, block + map_off, map_len);
  create_pkb(pfb);
  return pfb;
}

void free_pfb_block(PFB* pfb) {
  if (!pfb) return;
  if (pfb->pfb_pkb) mm_free(pfb->pfb_pkb);
  mm_free(pfb);
}

const KDB* pfb_key(const PFB* pfb, uint8_t keyno) {
  if (keyno >= pfb->pfb_keymap_len || pfb->pfb_keymap[keyno] == kKeyUnused) return nullptr;
  return &pfb->pfb_kdb[pfb->pfb_keymap[keyno]];
}

const PKB* pfb_runs(const PFB* pfb, uint8_t keyno) {
  if (!pfb->pfb_pkb || keyno >= pfb->pfb_keymap_len || pfb->pfb_keymap[keyno] == kKeyUnused) return nullptr;
  return &pfb->pfb_pkb[pfb->pfb_keymap[keyno]];
}

FSCB* create_fscb(const SCAN_REQ* scan, const PFB* pfb, uint32_t* stat) {
  FSCB* head = nullptr;
  FSCB** tail = &head;
  for (const SCAN_REQ* r = scan; r; r = r->next) {
    FSCB* f = nullptr;
    switch (r->type) {
      case SCAN_KEY:
      case SCAN_RECORD: f = range_fscb(*r, pfb, stat); break;
      case SCAN_SORTED: f = sorted_fscb(*r); break;
      case SCAN_SEGS: f = segs_fscb(*r, stat); break;
      default: sys_err("FMOBJ", __LINE__, "create_fscb() - invalid SCB type");
    }
    if (!f) {
      free_fscb(head);
      return nullptr;
    }
    *tail = f;
    tail = &f->fscb_next;
  }
  return head;
}

void free_fscb(FSCB* chain) {
  while (chain) {
    FSCB* next = chain->fscb_next;
    for (void* p :
         {static_cast<void*>(chain->fscb_lo), static_cast<void*>(chain->fscb_hi), static_cast<void*>(chain->fscb_sq),
          static_cast<void*>(chain->fscb_segs), static_cast<void*>(chain->fscb_seg_no)})
      if (p) mm_free(p);
    mm_free(chain);
    chain = next;
  }
}

SARB* alloc_sarb() {
  auto* both = static_cast<SARB_ARB*>(fm_alloc(sizeof(SARB_ARB)));
  both->sarb.sarb_arb = &both->arb;
  both->arb.arb_sarb = &both->sarb;
  return &both->sarb;
}

}  // namespace kivo
