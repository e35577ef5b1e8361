// The key file of a dynamic key and the PCF operations that go through it:
// built on the first read of an input process that chose fields, filled by
// reading the whole PCF, read in its order, and kept up to date by writes,
// rewrites and deletes.
//
// Invariants: an entry is the chosen fields' values, then the PCF record
// id; key 0 orders entries by the fields and then the record id (so equal
// values keep record-id order), key 1 by the record id alone. While the
// file fills, the context is detached, so the fill's own reads go straight
// to the file manager. Every other process type passes straight through.
// Callers: pi_read, pi_rdnxt, pi_write, pi_rewrite, pi_del (pi_pcf.cpp).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/pool.h"
#include "process/pi.h"
#include "process/pi_exec.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"
#include "process/process.h"

namespace kivo {

namespace {

constexpr uint32_t kDynaCreateSize = 1000;
constexpr uint32_t kDynaOpts = LFB_SCOPED | LFB_OPEN_NEW | LFB_NO_STRUCT_CHK;
constexpr uint16_t kHoldBits = ARB_HOLD | ARB_RECOVER;
uint32_t key_file_no = 0;  // names the key files of this engine process

dyna_ctx* ctx(PCB* p) { return static_cast<dyna_ctx*>(p->pcb_dyna); }

// The dynamic key serves this read or update: an input process with fields.
dyna_ctx* in_use(PCB* p) {
  dyna_ctx* x = ctx(p);
  return x && x->segs && pi_is_input(p) ? x : nullptr;
}

// The key-segment type of a field's data type; types without one of their
// own compare as characters.
uint8_t seg_type(uint16_t type, uint16_t* len) {
  switch (type) {
    case 5: return SDB_BINARY;
    case 6:
    case 7: *len = 4; return SDB_BINARY;
    default: return SDB_CHARS;
  }
}

// The entry of the current field values and record id `rid`.
void make_entry(dyna_ctx* x, const uint8_t* rid) {
  uint16_t off = 0;
  for (const dyna_seg* s = x->segs; s; s = s->next) {
    memcpy(x->entry + off, s->addr, s->len);
    off = static_cast<uint16_t>(off + s->len);
  }
  if (rid) memcpy(x->entry + x->rid_off, rid, x->rid_len);
}

// Reads the PCF record of the entry just read from the key file `k`.
int read_pcf(dyna_ctx* x, ARB* a, ARB* k) {
  const uint16_t mod = a->arb_mod;
  memcpy(a->arb_rec_id_area, k->arb_rec + x->rid_off, x->rid_len);
  a->arb_mod = static_cast<uint16_t>((mod & ~ARB_FIRST) | ARB_REC_ID);
  a->arb_lock_wait = k->arb_lock_wait;
  const int ok = fm_read(a);
  a->arb_mod = mod;
  return ok;
}

int not_found(ARB* a, const ARB* k) {
  a->arb_stat = k->arb_stat ? k->arb_stat : FM_NOT_FOUND;
  a->arb_stat2 = k->arb_stat2;
  return 0;
}

// The key file's entry of record id `rid` on the second stream (with `mod`).
int entry_by_rid(dyna_ctx* x, const uint8_t* rid, uint16_t mod) {
  memset(x->entry, 0, x->entry_len);
  memcpy(x->entry + x->rid_off, rid, x->rid_len);
  ARB* r = x->rid_arb;
  PROTO_FULL(r, 1, x->entry);
  r->arb_len = x->entry_len, r->arb_mod = static_cast<uint16_t>(ARB_EQUAL | mod), r->arb_lock_wait = 0;
  return fm_read(r);
}

// Puts the key stream on the entry just found by record id, so that a
// read-next goes on from it.
void position(dyna_ctx* x) {
  ARB* k = x->key_arb;
  PROTO_FULL(k, 0, x->entry);
  k->arb_len = x->entry_len, k->arb_mod = ARB_EQUAL;
  fm_read(k);
  k->arb_mod = 0;
}

int write_entry(dyna_ctx* x, ARB* k) {
  k->arb_rec = x->entry, k->arb_var_len = x->entry_len, k->arb_mod = 0;
  return fm_write(k);
}

// Step 1 of the build: the key file in the pool's level, its two streams
// and the entry buffer. 0 when it cannot be made.
int make_file(PCB* p, ARB* a) {
  dyna_ctx* x = ctx(p);
  const uint16_t rid_len = static_cast<uint16_t>(a->arb_rec_id_len ? a->arb_rec_id_len : 8);
  size_t nsegs = 0, len = 0;
  for (const dyna_seg* s = x->segs; s; s = s->next) ++nsegs, len += s->len;
  if (len + rid_len > UINT16_MAX / 2) return 0;
  std::vector<SDB> sdb(nsegs + 2);
  KDB kdb[2];
  FDB fdb;
  const uint16_t entry_len = static_cast<uint16_t>(len + rid_len);
  INIT_FDB(&fdb, FS_MEMORY, entry_len, 0, kdb, 2);
  uint16_t off = 0, n = 0;
  for (const dyna_seg* s = x->segs; s; s = s->next, ++n) {
    uint16_t cmp_len = s->len;
    const uint8_t t = seg_type(s->type, &cmp_len);
    init_sdb_func(&sdb[n], static_cast<uint16_t>(n + 1), off, std::min(cmp_len, s->len), t,
                  static_cast<uint8_t>(s->order));
    off = static_cast<uint16_t>(off + s->len);
  }
  init_sdb_func(&sdb[n], static_cast<uint16_t>(n + 1), off, rid_len, SDB_CHARS, '+');
  INIT_KDB(&kdb[0], 0, '+', 0, sdb.data(), static_cast<uint8_t>(n + 1));
  init_sdb_func(&sdb[n + 1], 1, off, rid_len, SDB_CHARS, '+');
  INIT_KDB(&kdb[1], 1, '+', 0, &sdb[n + 1], 1);
  char name[9];
  snprintf(name, sizeof name, "%08X", ++key_file_no);
  INIT_DB_PATH(&fdb.path, "DYN", " PI", "00", name, PATH_DATA);
  const uint32_t level = p->pcb_pool ? p->pcb_pool->level : com.proc_scope;
  fdb.path.fdb_tmp_id = level;
  if (!FM_CREATE(&fdb, level, kDynaCreateSize, kDynaOpts, 15, 15)) return 0;
  x->key_arb = fdb.fdb_arb;
  x->entry_len = entry_len, x->rid_len = rid_len, x->rid_off = off;
  x->entry = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, entry_len));
  FAD fad{nullptr, nullptr};
  x->rid_arb = FM_ATTACH(x->key_arb, &fad, level);
  return x->entry && x->rid_arb;
}

// The fields' values of the moment, put back after the fill.
std::vector<std::string> key_values(dyna_ctx* x) {
  std::vector<std::string> v;
  for (const dyna_seg* s = x->segs; s; s = s->next) v.emplace_back(reinterpret_cast<char*>(s->addr), s->len);
  return v;
}
void put_back(dyna_ctx* x, const std::vector<std::string>& v) {
  size_t i = 0;
  for (dyna_seg* s = x->segs; s; s = s->next, ++i) memcpy(s->addr, v[i].data(), s->len);
}

}  // namespace

int dyna_populate(PCB* p, ARB* a) {
  dyna_ctx* x = ctx(p);
  const uint32_t limit = dyna_prompt_limit();
  p->pcb_dyna = nullptr;
  const std::vector<std::string> kept = key_values(x);
  uint8_t* im = pi_input_mode(p);
  const uint8_t mode_kept = im ? *im : 0;
  if (im) *im = IM_DYNA_BUILD;
  const uint16_t mod_kept = a->arb_mod;
  const uint8_t keyno_kept = a->arb_keyno;
  a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
  int result = fm_start(a) ? 1 : 0;
  const uint8_t* answer = pi_area(p, AREA_NEXT, kA7Answer + 1);
  for (uint32_t count = 0; result == 1;) {
    if (!pi_rdnxt(p, 0)) {
      if (a->arb_stat == FM_EOF) break;
      if (a->arb_stat != FM_LOCKED && a->arb_stat != FM_HELD_SELF) result = 0;
      if (!result) break;
    }
    if (++count == limit + 1 && cancel_dynakey(p)) {
      result = -1;
      break;
    }
    if (answer && answer[kA7Answer] == '0') continue;
    make_entry(x, a->arb_rec_id_area);
    dyna_dump("Write", x->entry, x->entry_len);
    if (!write_entry(x, x->key_arb)) result = 0;
  }
  // As at the normal end, also after a cancel: the fields, the stream and the mode.
  put_back(x, kept);
  a->arb_mod = mod_kept, a->arb_keyno = keyno_kept;
  p->pcb_dyna = x;
  if (im) *im = mode_kept;
  return result;
}

int dyna_create(PCB* p, ARB* a) {
  if (!make_file(p, a)) return 0;
  return dyna_populate(p, a);
}

bool cancel_dynakey(PCB* p) {
  INVOC v = pi_invoc;
  memcpy(v.ap_id(), "0LA", 3);
  memcpy(v.ver(), "00", 2);
  v.set_proc_type(PT_INPUT);
  memset(v.proc_nam(), ' ', kProcNameLen);
  memcpy(v.proc_nam(), "CANCEL DYNAKEY", 14);
  v.set_invoc_type(0);
  const uint32_t srf[2] = {ih_put(HK_SURFACE, p->pcb_main_srf), ih_put(HK_SURFACE, p->pcb_pop_srf)};
  v.set_parent_srf(0, srf[0]), v.set_parent_srf(1, srf[1]);
  v.set_parent_pcb(p->pcb_handle);
  pi_exec(&v);
  for (uint32_t h : srf)
    if (h) ih_drop(h);
  return v.end_code() == PI_END_CANCEL;
}

int dyna_read(PCB* p, ARB* a) {
  dyna_ctx* x = in_use(p);
  if (x && !x->key_arb) {
    const uint16_t mod = a->arb_mod;
    const int built = dyna_create(p, a);
    a->arb_mod = mod;
    if (built != 1) {
      pi_dyna_add(p, nullptr);
      // A cancel fails the read; a key that could not be built leaves it to the file.
      if (built < 0) return a->arb_stat = FM_NOT_FOUND, 0;
      x = nullptr;
    }
  }
  if (!x) return fm_read(a);
  const uint16_t mod = a->arb_mod;
  char label[32];
  snprintf(label, sizeof label, "Read (mod=%04x)", mod);
  ARB* k = x->key_arb;
  if (mod & ARB_REC_ID) {
    if (!entry_by_rid(x, a->arb_rec_id_area, 0)) return not_found(a, x->rid_arb);
    position(x);
    dyna_dump(label, x->entry, x->entry_len);
    return read_pcf(x, a, x->rid_arb);
  }
  k->arb_rec = x->entry, k->arb_len = x->entry_len, k->arb_keyno = 0;
  if (mod & ARB_FIRST) {
    k->arb_key = nullptr, k->arb_mod = ARB_FIRST;
  } else {
    make_entry(x, nullptr);
    k->arb_key = x->entry, k->arb_key_len = x->rid_off, k->arb_mod = ARB_PARTIAL;
  }
  int ok = fm_start(k);
  k->arb_key = nullptr, k->arb_mod = static_cast<uint16_t>(mod & ~(kHoldBits | ARB_FIRST | ARB_EQUAL | ARB_REC_ID));
  std::vector<uint8_t> want(x->entry, x->entry + x->rid_off);
  ok = ok && fm_rdnxt(k);
  if (ok && (mod & ARB_EQUAL) && !(mod & ARB_FIRST) && memcmp(k->arb_rec, want.data(), want.size()) != 0) {
    k->arb_stat = FM_NOT_FOUND;
    ok = 0;
  }
  k->arb_mod = 0;
  if (!ok) return not_found(a, k);
  dyna_dump(label, k->arb_rec, x->entry_len);
  return read_pcf(x, a, k);
}

int dyna_rdnxt(PCB* p, ARB* a) {
  dyna_ctx* x = in_use(p);
  if (!x || !x->key_arb) return fm_rdnxt(a);
  ARB* k = x->key_arb;
  k->arb_rec = x->entry, k->arb_len = x->entry_len, k->arb_mod = 0, k->arb_key = nullptr;
  if (!fm_rdnxt(k)) return not_found(a, k);
  dyna_dump("Readnext", k->arb_rec, x->entry_len);
  return read_pcf(x, a, k);
}

int dyna_write(PCB* p, ARB* a) {
  dyna_ctx* x = in_use(p);
  if (!fm_write(a)) return 0;
  if (!x || !x->key_arb) return 1;
  make_entry(x, a->arb_rec_id_area);
  dyna_dump("Write", x->entry, x->entry_len);
  write_entry(x, x->rid_arb);
  return 1;
}

int dyna_rewrite(PCB* p, ARB* a) {
  dyna_ctx* x = in_use(p);
  if (!x || !x->key_arb) return fm_rewrite(a);
  const bool held = entry_by_rid(x, a->arb_rec_id_area, ARB_HOLD);
  if (held) dyna_dump("Rewrite - before", x->entry, x->entry_len);
  if (!fm_rewrite(a)) {
    if (held) fm_release(x->rid_arb);
    return 0;
  }
  make_entry(x, a->arb_rec_id_area);
  dyna_dump("Rewrite - after", x->entry, x->entry_len);
  // A record the key left out (no entry) stays out.
  if (held) {
    ARB* r = x->rid_arb;
    r->arb_rec = x->entry, r->arb_var_len = x->entry_len, r->arb_mod = 0;
    fm_rewrite(r);
  }
  return 1;
}

int dyna_del(PCB* p, ARB* a) {
  dyna_ctx* x = in_use(p);
  if (!x || !x->key_arb) return fm_del(a);
  const bool held = entry_by_rid(x, a->arb_rec_id_area, ARB_HOLD);
  if (!fm_del(a)) {
    if (held) fm_release(x->rid_arb);
    return 0;
  }
  if (held) {
    dyna_dump("Delete", x->entry, x->entry_len);
    x->rid_arb->arb_mod = 0;
    fm_del(x->rid_arb);
  }
  return 1;
}

}  // namespace kivo
