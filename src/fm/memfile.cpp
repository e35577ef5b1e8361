// Memory files: the slots of the memory back-end (see memfile.h). The index
// itself is memfile_index.cpp.
//
// Record storage: fixed files store the record length; variable files the
// caller's length, or the record trimmed of trailing bytes equal to the
// template (or zeros) but never below the longest key end. A rewrite checks
// every changed key before it moves any entry, so a refused rewrite leaves
// the record and every index as they were.
#include <algorithm>
#include <cstring>
#include <new>

#include "fm/fm.h"
#include "fm/key_xfer.h"
#include "fm/memfile.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"

namespace kivo {

fms_fn mm_fms_fn;

namespace {

constexpr uint32_t kMaxPerMib = 500;
constexpr uint32_t kDefaultPerMib = 25;
constexpr uint16_t kNoSkipHeld = 0x2000;
ut_list g_files;  // every mfb, to find a file again by its record pool
uint32_t g_serial;

// The stream's memory path, and the memory file it reads.
mpb* mem_path(STRM* s) { return static_cast<mpb*>(s->strm_fms_path); }
mfb* mem_file(STRM* s) { return static_cast<mfb*>(strm_pfb(s)->pfb_fms_data); }

int fail(ARB* arb, uint32_t status) {
  arb->arb_stat = status;
  return 0;
}

MNDX* key_ndx(mfb* f, uint8_t keyno) {
  if (keyno >= f->keymap.size() || f->keymap[keyno] == kKeyUnused) return nullptr;
  return &f->ndx[f->keymap[keyno]];
}

// Moves a stream to a state; it is on its key's list while at an entry.
void set_pos(mfb* f, mpb* m, uint8_t keyno, uint8_t state, uint32_t pos) {
  if (f->nkeys) mpb_unlink(f, m);
  m->keyno = keyno;
  m->state = state;
  m->pos = pos;
  bool at_entry = state == POS_AT || state == POS_ON || state == POS_AT_REMOVED || state == POS_HOLD_FAILED;
  if (f->nkeys && at_entry) mpb_link(f, m);
}

void release_hold(mfb* f, mpb* m) {
  if (m->hold == HOLD_NONE) return;
  ut_remove_from_lst(m, &m->in_holds, &f->holds);
  m->hold = HOLD_NONE;
  m->held = nullptr;
  m->has_saved_rec = false;
  m->saved_rec.clear();
}

void release_holds_on(mfb* f, const FIX* e) {
  for (auto* h = static_cast<mpb*>(f->holds.head); h;) {
    auto* next = static_cast<mpb*>(h->in_holds.next);
    if (h->held == e) release_hold(f, h);
    h = next;
  }
}

FIX* fix_by_number(mfb* f, uint32_t n) { return &f->arrays[n / f->per_mib][n % f->per_mib]; }

FIX* take_fix(mfb* f) {
  FIX* e = f->free_fix;
  if (e) {
    f->free_fix = e->next_free;
    e->next_free = nullptr;
    return e;
  }
  if (f->fix_used == f->arrays.size() * f->per_mib) {
    auto* a = static_cast<FIX*>(MM_ALLOC(f->fix_pool, sizeof(FIX) * f->per_mib));
    memset(a, 0, sizeof(FIX) * f->per_mib);
    for (uint32_t i = 0; i < f->per_mib; ++i) a[i].no = f->fix_used + i;
    f->arrays.push_back(a);
  }
  return fix_by_number(f, f->fix_used++);
}

void free_bytes(FIX* e) {
  if (e->owned && e->rec) mm_free(e->rec);
  e->rec = nullptr;
  e->owned = 0;
  e->alloc = 0;
}

// The length a record is stored with; 0 when the caller's buffer cannot
// hold the shortest record of the file.
uint16_t stored_len(const mfb* f, const ARB* arb, const uint8_t* src) {
  if (f->fixed) return f->rec_len;
  int cap = arb->arb_len ? std::min<int>(arb->arb_len, f->rec_len) : f->rec_len;
  if (cap < f->min_len) return 0;
  int n = cap;
  if (arb->arb_var_len) {
    n = std::min<int>(arb->arb_var_len, cap);
  } else {
    while (n > f->min_len && src[n - 1] == (f->tmpl ? f->tmpl[n - 1] : 0)) --n;
  }
  return uint16_t(std::max<int>(std::max<int>(n, f->min_len), 1));
}

// Stores the handle's record in e: the caller's own block in locate mode,
// else a copy the file owns.
int store_rec(mfb* f, ARB* arb, FIX* e) {
  if (arb->arb_mod & ARB_LOCATE) {
    if (f->alt_image) {
      sys_err("MM", __LINE__, "put_rec() - trying to FAST put a compressed record");
      return fail(arb, FM_IO_ERR);
    }
    uint16_t len = f->fixed ? f->rec_len : arb->arb_var_len;
    if (len < f->min_len || len == 0 || len > f->rec_len) {
      sys_err("MM", __LINE__, "mm_write() - record too short");
      return fail(arb, FM_REC_LEN_DIFF);
    }
    free_bytes(e);
    e->rec = arb->arb_rec;
    e->len = len;
    return 1;
  }
  const uint8_t* src = f->alt_image ? f->alt_image : arb->arb_rec;
  uint16_t len = stored_len(f, arb, src);
  if (len == 0) return fail(arb, FM_REC_LEN_DIFF);
  if (!e->owned || e->alloc != len) {
    free_bytes(e);
    e->rec = static_cast<uint8_t*>(MM_ALLOC(f->rec_pool, len));
    e->owned = 1;
    e->alloc = len;
  }
  memcpy(e->rec, src, len);
  e->len = len;
  return 1;
}

void set_rec_id(ARB* arb, mpb* m, const FIX* e) {
  st_le32(m->rec_id, 0, e->id);
  st_le32(m->rec_id, 4, e->no);
  arb->arb_rec_id_area = m->rec_id;
  arb->arb_rec_id_len = sizeof m->rec_id;
}

// Takes the hold of e for m; 0 with FM_HELD_SELF when another stream holds
// it and the handle may not take it over.
int take_hold(mfb* f, mpb* m, ARB* arb, FIX* e) {
  release_hold(f, m);
  bool no_steal = arb->arb_mod & ARB_NO_STEAL;
  for (auto* h = static_cast<mpb*>(f->holds.head); h;) {
    auto* next = static_cast<mpb*>(h->in_holds.next);
    if (h->held == e && (h->hold == HOLD_UPDATE || h->hold == HOLD_PLAIN)) {
      if (no_steal) return fail(arb, FM_HELD_SELF);
      if (h->hold == HOLD_UPDATE) h->hold = HOLD_TAKEN;
      else release_hold(f, h);
    }
    h = next;
  }
  bool update = (arb->arb_mod & (ARB_HOLD | ARB_RECOVER)) == (ARB_HOLD | ARB_RECOVER);
  m->hold = update ? HOLD_UPDATE : HOLD_PLAIN;
  m->held = e;
  m->has_saved_rec = false;
  ut_add_to_lst(m, &m->in_holds, &f->holds);
  return 1;
}

// Hands the record of e to the handle.
int deliver(mfb* f, mpb* m, ARB* arb, FIX* e) {
  if (e->id == 0) {
    sys_err("MM", __LINE__, "get_rec() - index is messed up");
    return fail(arb, FM_IO_ERR);
  }
  set_rec_id(arb, m, e);
  int ok = 1;
  if ((arb->arb_mod & ARB_HOLD) && !take_hold(f, m, arb, e)) {
    m->state = POS_HOLD_FAILED;
    ok = 0;
  }
  if (arb->arb_mod & ARB_LOCATE) {
    arb->arb_rec = e->rec;
    arb->arb_len = e->len;
    if (!f->fixed) arb->arb_var_len = e->len;
    return ok;
  }
  uint16_t n = std::min(arb->arb_len, e->len);
  memcpy(arb->arb_rec, e->rec, n);
  if (!f->fixed) arb->arb_var_len = n;
  if (ok && e->len > arb->arb_len) return fail(arb, FM_REC_TOO_LONG);
  return ok;
}

bool stream_on_key(mfb* f, uint8_t keyno) {
  for (auto* s = static_cast<mpb*>(f->streams.head); s; s = static_cast<mpb*>(s->in_file.next))
    if (s->keyno == keyno && s->state != POS_NONE) return true;
  return false;
}

// Whether a write or delete leaves this key to be rebuilt at first use.
bool defer_key(mfb* f, MNDX& x, const ARB* arb) {
  if (x.flags & MNDX_DEFERRED) return true;
  if (!(arb->arb_mod & ARB_DEFER_KEYS) || f->alt_image || (x.flags & MNDX_CURRENT)) return false;
  if (stream_on_key(f, x.keyno)) return false;
  x.flags |= MNDX_DEFERRED;
  return true;
}

// Where a new key value goes: after its equals on a key with duplicates.
// FM_DUP_KEY when it would duplicate a unique key (`self` is not a duplicate).
uint32_t insertion_point(mfb* f, MNDX& x, const uint8_t* rec, const FIX* self, uint32_t* pos) {
  uint32_t st = ndx_search(f, x, rec, false, 0, false, true, pos);
  if (st == FM_EOF || st == FM_NOT_FOUND) return 0;
  if (!(x.flags & MNDX_DUP)) return ndx_at(f, x, *pos) == self ? 0u : uint32_t{FM_DUP_KEY};
  ndx_search(f, x, rec, false, 0, true, false, pos);
  return 0;
}

// The entry of e in the index: where the stream stands when it is on it,
// else found by its stored key; false when missing.
bool entry_of(mfb* f, MNDX& x, const FIX* e, uint32_t* pos, const mpb* m) {
  if (m->linked && m->keyno == x.keyno && m->pos < x.count && ndx_at(f, x, m->pos) == e) {
    *pos = m->pos;
    return true;
  }
  if (ndx_search(f, x, e->rec, false, 0, false, true, pos)) return false;
  for (; *pos < x.count; ++*pos) {
    FIX* at = ndx_at(f, x, *pos);
    if (at == e) return true;
    KEY_XFER k{at->rec, e->rec, 0, 0, 0, x.nruns, x.runs};
    if (fm_cmp(k) != 0) return false;
  }
  return false;
}

// A taken-over hold stays good while nobody changed the record meanwhile.
bool hold_still_good(mfb* f, mpb* m) {
  if (m->hold != HOLD_TAKEN || !m->has_saved_rec) return true;
  const FIX* e = m->held;
  bool same = m->saved_rec.size() == e->len && memcmp(m->saved_rec.data(), e->rec, e->len) == 0;
  if (!same) release_hold(f, m);
  return same;
}

bool key_changed(const MNDX& x, const FIX* e, const uint8_t* rec) {
  KEY_XFER k{e->rec, rec, 0, 0, 0, x.nruns, x.runs};
  return fm_cmp(k) != 0;
}

void destroy(mfb* f) {
  mm_destroy_pool(f->rec_pool);
  mm_destroy_pool(f->fix_pool);
  ut_remove_from_lst(f, &f->all, &g_files);
  f->~mfb();
  mm_free(f);
}

// A new memory file for the LFB's physical file.
mfb* build_mfb(LFB* lfb, const char* name, uint32_t scope) {
  PFB* pfb = lfb->lfb_pfb;
  void* mem = MM_ALLOC(mm_pool_id, sizeof(mfb));
  mfb* f = new (mem) mfb{};
  memcpy(f->name, name, kPoolNameLen);
  f->scope = scope;
  f->per_mib = lfb->lfb_cr_size ? std::min(lfb->lfb_cr_size, kMaxPerMib) : kDefaultPerMib;
  f->rec_len = pfb->pfb_rec_len;
  f->fixed = pfb->pfb_var ? 0 : 1;
  f->tmpl = pfb->pfb_null_rec;
  f->next_id = 1;
  f->serial = ++g_serial;
  if (pfb->ORG == ORG_INDEXED && pfb->pfb_pkb) {
    f->nkeys = uint8_t(pfb->pfb_nkeys);
    f->keymap.assign(pfb->pfb_keymap, pfb->pfb_keymap + pfb->pfb_keymap_len);
    f->ndx.resize(f->nkeys);
    for (int i = 0; i < f->nkeys; ++i) {
      const KDB& k = pfb->pfb_kdb[i];
      MNDX& x = f->ndx[i];
      x.keyno = k.kdb_keyno;
      x.keylen = k.kdb_len;
      x.flags = (k.kdb_flags & MNDX_CURRENT) ? uint8_t(k.kdb_flags & ~MNDX_DEFERRED) : k.kdb_flags;
      x.nruns = uint8_t(pfb->pfb_pkb[i].pkb_nruns);
      x.own.assign(pfb->pfb_pkb[i].pkb_runs, pfb->pfb_pkb[i].pkb_runs + x.nruns);
      x.runs = x.own.data();
      if (!f->fixed)
        for (int j = 0; j < k.kdb_nsegs; ++j)
          f->min_len = std::max<uint16_t>(f->min_len, uint16_t(k.kdb_sdb[j].sdb_offset + k.kdb_sdb[j].sdb_len));
    }
  }
  f->rec_pool = mm_create_pool(name, f->scope);
  f->fix_pool = mm_create_pool(nullptr, com.sys_scope);
  char id[40];
  snprintf(id, sizeof id, "fix_pool for %11.11s", name);
  mm_identify_pool(f->fix_pool, id);
  ut_add_to_lst(f, &f->all, &g_files);
  return f;
}

bool same_run(const SSB& a, const SSB& b) {
  return a.ssb_offset == b.ssb_offset && a.ssb_len == b.ssb_len && a.ssb_code == b.ssb_code &&
         a.ssb_order == b.ssb_order;
}

// A file opened again after its last close gets a new PFB from the opening
// descriptor; its records stay as they were stored and indexed, so the
// descriptor must give their length and keys. 0 or the status of the
// difference.
uint32_t layout_difference(const mfb* f, const PFB* pfb) {
  if (pfb->pfb_rec_len != f->rec_len) return FM_REC_LEN_DIFF;
  if ((pfb->pfb_var ? 0 : 1) != f->fixed) return FM_VAR_DIFF;
  const bool keyed = pfb->ORG == ORG_INDEXED && pfb->pfb_pkb;
  if ((keyed ? pfb->pfb_nkeys : 0) != f->nkeys) return FM_NKEYS_DIFF;
  if (!keyed) return 0;
  if (!std::equal(f->keymap.begin(), f->keymap.end(), pfb->pfb_keymap, pfb->pfb_keymap + pfb->pfb_keymap_len))
    return FM_KEY_MAP_DIFF;
  for (int i = 0; i < f->nkeys; ++i) {
    const MNDX& x = f->ndx[i];
    const PKB& k = pfb->pfb_pkb[i];
    if (k.pkb_nruns != x.nruns || !std::equal(x.own.begin(), x.own.end(), k.pkb_runs, same_run)) return FM_SEG_DIFF;
  }
  return 0;
}

// Every stream of every open (all) or of one open of the file.
template <class Fn>
void each_stream(PFB* pfb, LFB* only, Fn fn) {
  for (auto* l = static_cast<LFB*>(pfb->pfb_lfb.head); l; l = static_cast<LFB*>(l->lfb_in_pfb.next)) {
    if (only && l != only) continue;
    for (auto* s = static_cast<STRM*>(l->lfb_strm.head); s; s = static_cast<STRM*>(s->strm_in_lfb.next)) fn(s);
  }
}

}  // namespace

int mm_alloc_id(LFB* lfb, const cstr*, const cstr*, const uint8_t*, const uint8_t*) {
  const FDB_PATH& p = lfb->lfb_lfn->lfn_path;
  char name[kPoolNameLen];
  memcpy(name, memcmp(p.fdb_ap, "0AD", 3) == 0 ? p.fdb_src_ap : p.fdb_ap, 3);
  memcpy(name + 3, p.fdb_name, 8);
  // A scoped temporary file keeps its records until its owner scope ends.
  uint32_t scope = lfb->lfb_pfb->pfb_owner_scope ? lfb->lfb_pfb->pfb_owner_scope : lfb->lfb_scope;
  mfb* f = nullptr;
  if (POOL* pool = mm_find_pool(name, scope))
    for (auto* g = static_cast<mfb*>(g_files.head); g && !f; g = static_cast<mfb*>(g->all.next))
      if (g->rec_pool == pool) f = g;
  if (f) {
    if (uint32_t diff = layout_difference(f, lfb->lfb_pfb)) {
      lfb->lfb_stat = diff;
      return 0;
    }
  } else {
    f = build_mfb(lfb, name, scope);
  }
  lfb->lfb_pfb->pfb_fms_data = f;
  lfb->lfb_pfb->pfb_id16 = 80;
  lfb->lfb_pfb->pfb_id32 = f->serial;
  return 1;
}

// The null record is the PFB's, which may be younger than the mfb. An open
// of an outer level than the one holding the records (a file that is not a
// scoped temporary one goes with its opens) keeps them: they go to its
// level, else they would go with the first open's level under this one.
// Level 0 is a look-up's (fm_locate, a scratch), which keeps nothing.
int mm_alloc_fi(LFB* lfb, const uint8_t*, const uint8_t*) {
  auto* f = static_cast<mfb*>(lfb->lfb_pfb->pfb_fms_data);
  if (!lfb->lfb_pfb->pfb_owner_scope && lfb->lfb_scope && lfb->lfb_scope < f->scope) {
    if (!mm_move_pool(f->rec_pool, lfb->lfb_scope)) return lfb->lfb_stat = FM_IO_ERR, 0;
    f->scope = lfb->lfb_scope;
  }
  f->tmpl = lfb->lfb_pfb->pfb_null_rec;
  return 1;
}
int mm_free_fi(LFB*) { return 1; }

int mm_free_id(PFB* pfb) {
  auto* f = static_cast<mfb*>(pfb->pfb_fms_data);
  if (f && !f->exists) destroy(f);
  else if (f) f->tmpl = nullptr;  // the null record goes with the PFB
  pfb->pfb_fms_data = nullptr;
  pfb->pfb_id16 = 0;
  return 1;
}

int mm_attach(ARB* arb, STRM* strm) {
  mfb* f = mem_file(strm);
  mpb* m = new (MM_ALLOC(mm_pool_id, sizeof(mpb))) mpb{};
  m->mpb_mfb = f;
  m->arb = arb;
  m->state = POS_BEFORE_FIRST;
  ut_add_to_lst(m, &m->in_file, &f->streams);
  strm->strm_fms_path = m;
  strm->strm_fms_path_len = sizeof(mpb);
  arb->arb_rec_id_len = sizeof m->rec_id;
  arb->arb_rec_id_area = m->rec_id;
  auto* first = static_cast<STRM*>(strm->strm_lfb->lfb_strm.head);
  // An open file leaves a new stream with a start pending (position state 2).
  bool open = first && first != strm ? first->strm_active : strm_pfb(strm)->pfb_open;
  strm->strm_active = open ? kStrmStartPending : 0;
  return 1;
}

int mm_detach(ARB*, STRM* strm) {
  mpb* m = mem_path(strm);
  mfb* f = m->mpb_mfb;
  release_hold(f, m);
  if (f->nkeys) mpb_unlink(f, m);
  ut_remove_from_lst(m, &m->in_file, &f->streams);
  m->~mpb();
  mm_free(m);
  strm->strm_fms_path = nullptr;
  return 1;
}

int mm_create(ARB* arb, STRM* strm) {
  mfb* f = mem_file(strm);
  if (f->exists) arb->arb_stat = FM_EXISTS;
  else f->exists = 1;
  if (strm->strm_lfb->lfb_opt & LFB_OPEN_NEW) return mm_open(arb, strm);
  return 1;
}

int mm_open(ARB* arb, STRM* strm) {
  mfb* f = mem_file(strm);
  if (!f->exists) return fail(arb, FM_NO_FILE);
  strm_pfb(strm)->pfb_open = 1;
  ++f->opens;
  each_stream(strm_pfb(strm), strm->strm_lfb, [](STRM* s) {
    if (!s->strm_active) s->strm_active = kStrmStartPending;
  });
  return 1;
}

int mm_close(ARB* arb, STRM* strm) {
  mfb* f = mem_file(strm);
  PFB* pfb = strm_pfb(strm);
  auto close_stream = [f](STRM* s) {
    s->strm_active = 0;
    if (s->strm_fms_path) release_hold(f, mem_path(s));
  };
  if (arb->arb_mod & ARB_CLOSE_NOW) {
    each_stream(pfb, nullptr, close_stream);
    while (f->holds.head) release_hold(f, static_cast<mpb*>(f->holds.head));
    f->opens = 0;
  } else {
    if (f->opens) --f->opens;
    if (arb->arb_mod & ARB_STRM_ONLY) each_stream(pfb, strm->strm_lfb, close_stream);
  }
  if (f->opens == 0) pfb->pfb_open = 0;
  if ((arb->arb_mod & ARB_SCRATCH) && f->opens == 0) return mm_scratch(arb, strm);
  return 1;
}

int mm_locate(ARB* arb, STRM* strm) { return mem_file(strm)->exists ? 1 : fail(arb, FM_NO_FILE); }

int mm_nam(ARB* arb, STRM* copy) {
  mfb* f = mem_file(copy);
  if (!f->exists) return fail(arb, FM_NO_FILE);
  copy->strm_fms_path = f->name;
  copy->strm_fms_path_len = kPoolNameLen;
  return 1;
}

int mm_relocate(ARB*, STRM*) { return 1; }
int mm_rename(ARB*, STRM*) { return 1; }

int mm_release(ARB* arb, STRM* strm) {
  if (!arb || !strm) return 1;
  mpb* m = mem_path(strm);
  if (m->hold == HOLD_NONE) return fail(arb, FM_NOT_HELD);
  release_hold(m->mpb_mfb, m);
  return 1;
}

int mm_start(ARB* arb, STRM* strm) {
  mpb* m = mem_path(strm);
  mfb* f = m->mpb_mfb;
  if (f->nkeys && !key_ndx(f, arb->arb_keyno)) return fail(arb, FM_KEY_NO_DIFF);
  if (arb->arb_mod & ARB_FIRST) {
    set_pos(f, m, arb->arb_keyno, POS_BEFORE_FIRST, 0);
    return 1;
  }
  uint32_t pos;
  if (get_pos(arb, m, &pos)) {
    set_pos(f, m, arb->arb_keyno, POS_AT, pos);
    return 1;
  }
  bool must = arb->arb_mod & ARB_MUST_FIND;
  if (f->nkeys && !must && (arb->arb_stat == FM_NOT_FOUND || arb->arb_stat == FM_EOF)) {
    MNDX& x = *key_ndx(f, arb->arb_keyno);
    bool partial = arb->arb_mod & ARB_PARTIAL;
    int n = partial ? arb->arb_key_len : 0;
    if (!partial && arb->arb_key_end) n = fm_lsb_to_len(arb->arb_rec, arb->arb_key_end, x.nruns, x.runs);
    if (n <= 0 || n > x.keylen) n = x.keylen;
    m->saved_key.assign(size_t(n), 0);
    if (partial) {
      memcpy(m->saved_key.data(), arb->arb_key, size_t(n));
    } else {
      KEY_XFER k{m->saved_key.data(), arb->arb_rec, 1, 0, uint8_t(n == x.keylen ? 0 : n), x.nruns, x.runs};
      fm_cpy(k);
    }
    set_pos(f, m, arb->arb_keyno, (arb->arb_mod & ARB_AFTER) ? POS_AFTER_KEY : POS_FROM_KEY, 0);
    return 1;
  }
  set_pos(f, m, arb->arb_keyno, POS_NONE, 0);
  return must ? 0 : 1;
}

int mm_read(ARB* arb, STRM* strm) {
  mpb* m = mem_path(strm);
  mfb* f = m->mpb_mfb;
  if (arb->arb_mod & ARB_REC_ID) {
    const uint8_t* id = arb->arb_rec_id_area;
    if (!id || arb->arb_rec_id_len < 8) return fail(arb, FM_NOT_FOUND);
    uint32_t n = ld_le32(id, 4);
    if (n >= f->fix_used || fix_by_number(f, n)->id != ld_le32(id, 0) || ld_le32(id, 0) == 0)
      return fail(arb, FM_NOT_FOUND);
    return deliver(f, m, arb, fix_by_number(f, n));
  }
  if (arb->arb_mod & ARB_EQUAL) {
    uint32_t pos;
    if (!get_pos(arb, m, &pos)) {
      set_pos(f, m, arb->arb_keyno, POS_NONE, 0);
      release_hold(f, m);
      return 0;
    }
    set_pos(f, m, arb->arb_keyno, POS_ON, pos);
    FIX* e = f->nkeys ? ndx_at(f, *key_ndx(f, arb->arb_keyno), pos) : fix_by_number(f, pos);
    return deliver(f, m, arb, e);
  }
  if (!mm_start(arb, strm)) return 0;
  return mm_rdnxt(arb, strm);
}

int mm_rdnxt(ARB* arb, STRM* strm) {
  mpb* m = mem_path(strm);
  mfb* f = m->mpb_mfb;
  MNDX* x = f->nkeys ? key_ndx(f, m->keyno) : nullptr;
  if (x && (x->flags & MNDX_DEFERRED)) ndx_bld(f, *x);
  uint32_t pos = 0;
  switch (m->state) {
    case POS_NONE: return fail(arb, FM_NO_POS);
    case POS_BEFORE_FIRST: pos = 0; break;
    case POS_AT:
    case POS_AT_REMOVED: pos = m->pos; break;
    case POS_ON: pos = m->pos + 1; break;
    case POS_AFTER_KEY:
    case POS_FROM_KEY: {
      uint32_t st = ndx_search(f, *x, m->saved_key.data(), true, int(m->saved_key.size()), m->state == POS_AFTER_KEY,
                               false, &pos);
      m->saved_key.clear();
      if (st) pos = x->count;
      break;
    }
    case POS_HOLD_FAILED: {
      bool again = (arb->arb_mod & ARB_HOLD) && !(arb->arb_mod & kNoSkipHeld);
      pos = again ? m->pos : m->pos + 1;
      break;
    }
  }
  FIX* e = nullptr;
  if (x) {
    if (pos < x->count) e = ndx_at(f, *x, pos);
  } else {
    // A deleted record's holder is passed over, not taken for the end.
    while (pos < f->fix_used && fix_by_number(f, pos)->id == 0) ++pos;
    if (pos < f->fix_used) e = fix_by_number(f, pos);
  }
  if (!e) {
    set_pos(f, m, m->keyno, POS_NONE, 0);
    release_hold(f, m);
    return fail(arb, FM_EOF);
  }
  set_pos(f, m, m->keyno, POS_ON, pos);
  return deliver(f, m, arb, e);
}

int mm_write(ARB* arb, STRM* strm) {
  mpb* m = mem_path(strm);
  mfb* f = m->mpb_mfb;
  release_hold(f, m);
  const uint8_t* src = f->alt_image ? f->alt_image : arb->arb_rec;
  if (stored_len(f, arb, src) == 0) return fail(arb, FM_REC_LEN_DIFF);
  std::vector<uint32_t> ins(f->nkeys);
  std::vector<bool> kept(f->nkeys);
  for (int i = 0; i < f->nkeys; ++i) {
    MNDX& x = f->ndx[i];
    kept[i] = !defer_key(f, x, arb);
    if (!kept[i]) continue;
    if (insertion_point(f, x, src, nullptr, &ins[i])) {
      arb->arb_keyno = x.keyno;
      return fail(arb, FM_DUP_KEY);
    }
  }
  FIX* e = take_fix(f);
  if (!store_rec(f, arb, e)) {
    e->next_free = f->free_fix;
    f->free_fix = e;
    return 0;
  }
  e->id = f->next_id++;
  for (int i = 0; i < f->nkeys; ++i)
    if (kept[i]) ndx_insert(f, f->ndx[i], ins[i], e);
  ++f->nrecs;
  set_rec_id(arb, m, e);
  return 1;
}

int mm_rewrite(ARB* arb, STRM* strm) {
  mpb* m = mem_path(strm);
  mfb* f = m->mpb_mfb;
  if (m->hold == HOLD_NONE) return fail(arb, FM_NOT_HELD);
  FIX* e = m->held;
  if (e->id == 0) {
    sys_err("MM", __LINE__, "mm_rewrite() - index is messed up");
    return fail(arb, FM_IO_ERR);
  }
  if (!hold_still_good(f, m)) return fail(arb, FM_NOT_HELD);
  release_hold(f, m);
  const uint8_t* src = f->alt_image ? f->alt_image : arb->arb_rec;
  bool locate = arb->arb_mod & ARB_LOCATE;
  uint16_t len = locate ? (f->fixed ? f->rec_len : arb->arb_var_len) : stored_len(f, arb, src);
  if (len == 0 || len < f->min_len) return fail(arb, FM_REC_LEN_DIFF);
  set_rec_id(arb, m, e);
  if (len == e->len && memcmp(src, e->rec, len) == 0 && (!locate || src == e->rec)) return 1;
  for (auto* h = static_cast<mpb*>(f->holds.head); h; h = static_cast<mpb*>(h->in_holds.next))
    if (h->held == e && h->hold == HOLD_TAKEN && !h->has_saved_rec) {
      h->saved_rec.assign(e->rec, e->rec + e->len);
      h->has_saved_rec = true;
    }
  // Every changed key is checked before any entry moves.
  std::vector<bool> changed(f->nkeys);
  for (int i = 0; i < f->nkeys; ++i) {
    MNDX& x = f->ndx[i];
    if (x.flags & MNDX_DEFERRED) continue;
    changed[i] = key_changed(x, e, src);
    uint32_t pos;
    if (changed[i] && insertion_point(f, x, src, e, &pos)) {
      arb->arb_keyno = x.keyno;
      return fail(arb, FM_DUP_KEY);
    }
  }
  for (int i = 0; i < f->nkeys; ++i) {
    if (!changed[i]) continue;
    MNDX& x = f->ndx[i];
    uint32_t old_pos, new_pos;
    if (!entry_of(f, x, e, &old_pos, m)) {
      sys_err("MM", __LINE__, "mm_rewrite() - can't locate dup pos");
      return fail(arb, FM_IO_ERR);
    }
    insertion_point(f, x, src, e, &new_pos);
    ndx_rotate(f, x, new_pos, old_pos);
  }
  return store_rec(f, arb, e);
}

int mm_del(ARB* arb, STRM* strm) {
  mpb* m = mem_path(strm);
  mfb* f = m->mpb_mfb;
  if (m->hold == HOLD_NONE) return fail(arb, FM_NOT_HELD);
  FIX* e = m->held;
  if (!hold_still_good(f, m)) return fail(arb, FM_NOT_HELD);
  release_holds_on(f, e);
  for (int i = 0; i < f->nkeys; ++i) {
    MNDX& x = f->ndx[i];
    if (defer_key(f, x, arb)) continue;
    uint32_t pos;
    if (!entry_of(f, x, e, &pos, m)) {
      sys_err("MM", __LINE__, "mm_del() - can't locate dup pos");
      return fail(arb, FM_IO_ERR);
    }
    ndx_del(f, x, pos);
  }
  --f->nrecs;
  free_bytes(e);
  e->id = 0;
  e->len = 0;
  e->next_free = f->free_fix;
  f->free_fix = e;
  return 1;
}

int mm_scratch(ARB*, STRM* strm) {
  mfb* f = mem_file(strm);
  for (auto* s = static_cast<mpb*>(f->streams.head); s; s = static_cast<mpb*>(s->in_file.next)) {
    release_hold(f, s);
    set_pos(f, s, s->keyno, POS_NONE, 0);
  }
  for (MNDX& x : f->ndx) {
    x.dir.clear();
    x.start.clear();
    x.mibs = ut_list{};
    x.count = 0;
  }
  f->fix_used = uint32_t(f->arrays.size() * f->per_mib);
  f->free_fix = nullptr;
  for (uint32_t n = f->fix_used; n-- > 0;) {
    FIX* e = fix_by_number(f, n);
    e->id = 0;
    e->rec = nullptr;
    e->owned = 0;
    e->len = e->alloc = 0;
    e->next_free = f->free_fix;
    f->free_fix = e;
  }
  f->nrecs = 0;
  f->exists = 0;
  mm_destroy_pool(f->rec_pool);
  f->rec_pool = mm_create_pool(f->name, f->scope);
  return 1;
}

void mm_destroy_all() {
  while (auto* f = static_cast<mfb*>(g_files.head)) {
    while (auto* m = static_cast<mpb*>(f->streams.head)) {
      ut_remove_from_lst(m, &m->in_file, &f->streams);
      m->~mpb();
      mm_free(m);
    }
    destroy(f);
  }
}

void mm_drop_files(uint32_t level) {
  for (auto* f = static_cast<mfb*>(g_files.head); f;) {
    auto* next = static_cast<mfb*>(f->all.next);
    bool used = f->streams.head != nullptr;
    for (auto* p = static_cast<PFB*>(fm_pfb_list.head); p && !used; p = static_cast<PFB*>(p->pfb_all.next))
      used = p->pfb_fms_data == f;
    if (f->scope >= level && !used) destroy(f);
    f = next;
  }
}

void mm_fms_install() {
  fms_fn& t = mm_fms_fn;
  t = fms_fn{};
  fm_start_hooks();
  t.alloc_fi = mm_alloc_fi;
  t.alloc_id = mm_alloc_id;
  t.attach = mm_attach;
  t.create = mm_create;
  t.close = mm_close;
  t.del = mm_del;
  t.detach = mm_detach;
  t.free_fi = mm_free_fi;
  t.free_id = mm_free_id;
  t.locate = mm_locate;
  t.nam = mm_nam;
  t.open = mm_open;
  t.rdnxt = mm_rdnxt;
  t.read = mm_read;
  t.release = mm_release;
  t.relocate = mm_relocate;
  t.rename = mm_rename;
  t.rewrite = mm_rewrite;
  t.scratch = mm_scratch;
  t.start = mm_start;
  t.write = mm_write;
  fms_install(FMS_MEMORY, &mm_fms_fn);
}

}  // namespace kivo
