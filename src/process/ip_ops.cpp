// The INPUT process's operations: what each mode key and ENTER do to the
// PCF through the record operations, the mode word, the initial record and
// key fields, the holds, and the message each operation leaves.
//
// Invariants: a failure posts one class-3 message (or leaves the events'
// own), a success one class-4 message; a hold is taken only by the re-read
// of CHANGE MODE and DELETE MODE and given up when the mode is left.
// Callers: the key handler (ip_exec.cpp) and the set-up.
#include <cstring>
#include <span>
#include <unordered_map>

#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/em_field.h"
#include "compiler/em_file.h"
#include "compiler/em_image.h"
#include "compiler/em_item.h"
#include "compiler/em_records.h"
#include "fm/fm_objects.h"
#include "fm/fm_record.h"
#include "fm/fm_record_cache.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "process/fp.h"
#include "process/ip.h"
#include "process/ip_internal.h"
#include "process/pi.h"
#include "process/pi_exec.h"
#include "process/pi_pcf.h"

namespace kivo {

namespace {

// The record operations' holds, and the outcome of a missing stream.
constexpr uint16_t kHoldBits = ARB_HOLD | ARB_RECOVER;

std::unordered_map<const PCB*, ip_state> g_states;

pi_file_blk* pcf_blk(const PCB* p) { return static_cast<pi_file_blk*>(p->pcb_pcf_blk); }
uint32_t outcome(const PCB* p) { return p->invoc.end_code(); }

void post_text(PCB* p, const char* text) {
  if (p->pcb_err_fi) la_add_text(p->pcb_err_fi, 4, 0, text, strlen(text));
}

void post_number(PCB* p, uint32_t no) {
  if (p->pcb_err_fi) la_add_msg(p->pcb_err_fi, &no, 0, std::span<const cstr>{});
}

// The result of an operation: its message, and whether a record is shown.
int done(PCB* p, int ok, const char* what) {
  if (ok) post_text(p, what);
  else ip_post_failure(p);
  return ok;
}

// The descriptor of the PCF as the module compiled it; false without one.
bool pcf_desc(PCB* p, FDB* fdb) {
  const uint8_t* c = pi_pcf_cfi(p);
  return c && em_cfi_desc(p->pcb_em, c, fdb);
}

// A read that starts the browse from the first record (in the dynamic
// order when one is chosen and not yet built).
bool browse_from_start(PCB* p) {
  const auto* x = static_cast<const dyna_ctx*>(p->pcb_dyna);
  return ip_st(p).restart || (x && x->segs && !x->key_arb);
}

}  // namespace

ip_state& ip_st(PCB* p) { return g_states[p]; }
void ip_forget(PCB* p) { g_states.erase(p); }

uint8_t ip_mode(const PCB* p) {
  const uint8_t* m = pi_input_mode(p);
  return m ? *m : 0;
}

void ip_set_mode(PCB* p, uint8_t m) {
  if (uint8_t* im = pi_input_mode(p)) *im = m;
  pi_upd_stat(p);
}

void ip_initial(PCB* p) {
  uint8_t* rec = pi_pcf_rec(p);
  const uint16_t len = pi_pcf_len(p);
  if (!rec || !len) return;
  FDB fdb;
  const uint8_t* init = pcf_desc(p, &fdb) ? fm_cache(&fdb, CACHE_INITIAL) : nullptr;
  if (init) {
    memcpy(rec, init, len);
    fm_uncache(init);
    return;
  }
  // A file without INITIAL records: the values set-up found in the area.
  const std::vector<uint8_t>& keep = ip_st(p).initial;
  if (keep.size() == len) memcpy(rec, keep.data(), len);
  else memset(rec, ' ', len);
}

std::vector<uint8_t> ip_fresh_rec(PCB* p) {
  const uint8_t* rec = pi_pcf_rec(p);
  const uint16_t len = pi_pcf_len(p);
  const uint8_t* c = pi_pcf_cfi(p);
  const EM* em = p->pcb_em;
  const uint32_t n = c ? cfi_view(c).rec_area() : 0;
  for (uint32_t i = 0; n && em && i < em->em_area_cnt; ++i) {
    const AREA_DESC& ad = em->em_area_tbl[i];
    if (ad.area_no != n || ad.rel_off || ad.size < len) continue;
    std::vector<uint8_t> v(ad.size);
    init_area(v.data(), p, &ad);
    v.resize(len);
    return v;
  }
  return rec ? std::vector<uint8_t>(rec, rec + len) : std::vector<uint8_t>{};
}

namespace {

// Marks the bytes of the key fields: those of the stream's key path and,
// while one is chosen, the dynamic key's, which a read by key goes by.
void mark_keys(PCB* p, const FDB& fdb, const uint8_t* rec, std::vector<uint8_t>& is_key) {
  const size_t len = is_key.size();
  if (const auto* x = static_cast<const dyna_ctx*>(p->pcb_dyna))
    for (const dyna_seg* d = x->segs; d; d = d->next)
      if (d->addr >= rec && size_t(d->addr - rec) + d->len <= len) memset(is_key.data() + (d->addr - rec), 1, d->len);
  const uint8_t k = p->pcb_pcf_arb->arb_keyno;
  for (uint8_t i = 0; i < fdb.fdb_nkeys; ++i) {
    const KDB& kd = fdb.fdb_kdb[i];
    for (uint8_t n = 0; kd.kdb_keyno == k && n < kd.kdb_nsegs; ++n) {
      const SDB& sd = kd.kdb_sdb[n];
      if (size_t(sd.sdb_offset) + sd.sdb_len <= len) memset(is_key.data() + sd.sdb_offset, 1, sd.sdb_len);
    }
  }
}

// The record area := the initial record where `keys` says (the fields a
// read by key goes by, or all the others), the rest as it was.
void reset_fields(PCB* p, bool keys) {
  uint8_t* rec = pi_pcf_rec(p);
  const uint16_t len = pi_pcf_len(p);
  FDB fdb;
  if (!rec || !p->pcb_pcf_arb || !pcf_desc(p, &fdb)) return;
  std::vector<uint8_t> is_key(len, 0);
  mark_keys(p, fdb, rec, is_key);
  const std::vector<uint8_t> keep(rec, rec + len);
  ip_initial(p);
  for (uint16_t i = 0; i < len; ++i)
    if (bool(is_key[i]) != keys) rec[i] = keep[i];
}

}  // namespace

void ip_clear_keys(PCB* p) { reset_fields(p, true); }

void ip_release(PCB* p) {
  ARB* a = p->pcb_pcf_arb;
  if (!a) return;
  // The stream keeps the status of the operation the user sees.
  const uint32_t st = a->arb_stat, st2 = a->arb_stat2;
  pi_file_blk* fb = pcf_blk(p);
  if (fb && fb->cur_arb && fb->cur_arb != a) fm_release(fb->cur_arb);
  fm_release(a);
  if (fb) fb->cur_arb = nullptr;
  a->arb_stat = st, a->arb_stat2 = st2;
}

void ip_post_failure(PCB* p) {
  switch (const uint32_t o = outcome(p)) {
    case PCF_FILE_FAILED:
      if (p->pcb_pcf_arb) post_number(p, p->pcb_pcf_arb->arb_stat);
      break;
    case PCF_STOP_READ:
    case PCF_STOP_PRE:
    case PCF_STOP_POST:
    case PCF_STOP_EXT: break;  // the statements said why
    default: post_number(p, o); break;
  }
}

namespace {

// Keeps why a read delivered nothing when the file itself failed it (not
// a key without a record, the end of the file or another user's lock).
void note_lost_read(PCB* p, int ok) {
  const ARB* a = p->pcb_pcf_arb;
  const bool failed = !ok && outcome(p) == PCF_FILE_FAILED && a && a->arb_stat != FM_NOT_FOUND &&
                      a->arb_stat != FM_EOF && a->arb_stat != FM_LOCKED && a->arb_stat != FM_HELD_SELF;
  ip_st(p).lost_read = failed ? a->arb_stat : 0;
}

}  // namespace

int ip_read(PCB* p) {
  pi_outcome(p, 0);
  const int ok = pi_read(p, ARB_EQUAL);
  ip_state& s = ip_st(p);
  s.current = ok || (outcome(p) == PCF_FILE_FAILED && p->pcb_pcf_arb && p->pcb_pcf_arb->arb_stat == FM_LOCKED);
  s.restart = false;
  note_lost_read(p, ok);
  // Nothing under that key: the key stays, no other record's values show.
  if (!ok && p->pcb_pcf_arb && p->pcb_pcf_arb->arb_stat == FM_NOT_FOUND) reset_fields(p, false);
  return done(p, ok, "RECORD READ");
}

int ip_next(PCB* p) {
  pi_outcome(p, 0);
  ip_state& s = ip_st(p);
  uint8_t* rec = pi_pcf_rec(p);
  const std::vector<uint8_t> shown = rec ? std::vector<uint8_t>(rec, rec + pi_pcf_len(p)) : std::vector<uint8_t>{};
  int ok = browse_from_start(p) ? pi_read(p, ARB_FIRST) : pi_rdnxt(p, 0);
  ARB* a = p->pcb_pcf_arb;
  if (!ok && a && a->arb_stat == FM_NO_POS && !p->pcb_dyna) {
    // A keyed read that found nothing left no position: the browse goes on
    // from the key on the screen.
    a->arb_key = nullptr, a->arb_mod = 0;
    ok = fm_start(a) ? pi_rdnxt(p, 0) : 0;
    if (!ok && a->arb_stat == FM_NOT_FOUND) a->arb_stat = FM_EOF;
  }
  // After the last record the next NEXT RECORD starts again at the first.
  s.restart = !ok && a && a->arb_stat == FM_EOF;
  note_lost_read(p, ok);
  const bool locked = !ok && outcome(p) == PCF_FILE_FAILED && a && a->arb_stat == FM_LOCKED;
  if (ok || locked || outcome(p) != PCF_FILE_FAILED) {
    s.current = ok || locked;
  } else if (rec && !shown.empty()) {
    // Nothing was delivered (the end of the file, or only records the user
    // may not see): the record shown stays, and stays the one a change or
    // a delete acts on (its record id was not replaced).
    memcpy(rec, shown.data(), shown.size());
  }
  return done(p, ok, "RECORD READ");
}

int ip_hold(PCB* p, uint8_t mode) {
  ARB* a = p->pcb_pcf_arb;
  ip_state& s = ip_st(p);
  if (!a || !s.current || !p->pcb_rid || !p->pcb_rid_len) {
    // Nothing to change or delete: the key shows where to start, or why
    // the last read delivered nothing (the file could not be read), never
    // that a record which may well be there is not.
    post_number(p, !a ? uint32_t(PCF_NO_STREAM) : s.lost_read ? s.lost_read : uint32_t(FM_NOT_FOUND));
    return 0;
  }
  pi_outcome(p, 0);
  ip_set_mode(p, mode);
  // The user is told of a lock at once rather than left waiting for it.
  a->arb_lock_wait = 0;
  if (a->arb_rec_id_area && a->arb_rec_id_len == p->pcb_rid_len) memcpy(a->arb_rec_id_area, p->pcb_rid, p->pcb_rid_len);
  const int ok = pi_read(p, ARB_REC_ID | kHoldBits);
  if (!ok) {
    // A lock leaves the record shown; anything else leaves nothing current.
    s.current = outcome(p) == PCF_FILE_FAILED && a->arb_stat == FM_LOCKED;
    ip_release(p);
    ip_set_mode(p, IM_INQUIRE);
    return done(p, 0, "");
  }
  return done(p, ok, mode == IM_CHANGE ? "CHANGE MODE" : "DELETE MODE");
}

int ip_add(PCB* p) {
  pi_outcome(p, 0);
  ip_fresh_log(p);
  const int ok = pi_write(p);
  if (ok) {
    ip_initial(p);
    pi_set_cns(p, pi_pcf_rec(p));
    ip_st(p).current = false;
  }
  return done(p, ok, "RECORD ADDED");
}

int ip_change(PCB* p) {
  pi_outcome(p, 0);
  ip_fresh_log(p);
  const int ok = pi_rewrite(p);
  if (ok) {
    ip_release(p);
    ip_set_mode(p, IM_INQUIRE);
  }
  return done(p, ok, "RECORD CHANGED");
}

int ip_delete(PCB* p) {
  pi_outcome(p, 0);
  ip_fresh_log(p);
  const int ok = pi_del(p);
  ip_release(p);
  ip_set_mode(p, IM_INQUIRE);
  if (ok) {
    ip_initial(p);
    ip_st(p).current = false;
  }
  return done(p, ok, "RECORD DELETED");
}

// Each compiled item of the frame's image, in the module's order.
template <typename Fn>
void each_citm(PCB* p, const fp_frame* f, Fn fn) {
  const uint32_t first = cimg_view(f->img).first_itm(), cnt = cimg_view(f->img).itm_cnt();
  auto* t = reinterpret_cast<pcb_itm_ent*>(p->pcb_items);
  for (uint32_t n = first; t && n && n < first + cnt && n <= p->pcb_em->em_itm_cnt; ++n) {
    if (!t[n].rec) continue;
    CITM c;
    memcpy(static_cast<void*>(&c), t[n].rec, sizeof c);
    if (c.citm_area && c.citm_area <= p->pcb_em->em_area_cnt && p->pcb_areas[c.citm_area]) fn(c);
  }
}

void ip_first_entry(PCB* p, fp_frame* f) {
  int32_t row = 0, col = 0;
  each_citm(p, f, [&](const CITM& c) {
    if (c.citm_entry && (!row || c.citm_row < row || (c.citm_row == row && c.citm_col < col)))
      row = c.citm_row, col = c.citm_col;
  });
  if (row) f->entry_row = f->row = row, f->entry_col = f->col = col;
}

namespace {

// The compiled field of the PCF that starts at offset `off` of its record;
// null none.
const uint8_t* pcf_field_at(PCB* p, uint32_t off) {
  EM* em = p->pcb_em;
  ARB* a = em->em_cfld_arb;
  if (!a) return nullptr;
  uint8_t key[CFLD_LEN] = {};
  PROTO_FULL(a, 0, key);
  a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return nullptr;
  while (const uint8_t* rec = fm_rdnxt_fast(a, 0)) {
    const cfld_view fl(rec);
    if (!memcmp(fl.ap(), em->em_pcf_ap, 3) && fl.elem() == em->em_pcf_id && fl.offset() == off) return rec;
  }
  return nullptr;
}

}  // namespace

bool ip_select(PCB* p, const fp_frame* f) {
  uint8_t* rec = pi_pcf_rec(p);
  const uint16_t len = pi_pcf_len(p);
  const TITM* it = nullptr;
  for (const TITM& t : f->items)
    if (f->row >= t.tl_row && f->row <= t.br_row && f->col >= t.tl_col && f->col <= t.br_col) it = &t;
  if (!it || !rec || it->cnv.int_addr < rec || it->cnv.int_addr >= rec + len) return false;
  // The field as the PCF's record holds it: its whole stored length and
  // data type, and its name for the message.
  const uint8_t* at = pcf_field_at(p, uint32_t(it->cnv.int_addr - rec));
  if (!at) return false;
  const cfld_view fl(at);
  if (it->cnv.int_addr + fl.size() > rec + len) return false;
  dyna_seg d{};
  d.addr = it->cnv.int_addr, d.type = fl.type(), d.len = fl.size(), d.order = '+';
  memset(d.name, ' ', sizeof d.name);
  memcpy(d.name, fl.name(), 22);
  pi_dyna_add(p, &d);
  ip_st(p).restart = false;
  return true;
}

}  // namespace kivo
