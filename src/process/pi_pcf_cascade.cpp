// The child processes a rewrite or a delete of the PCF record runs: on a
// rewrite, each child whose linking fields changed, given the new values as
// its constraint; before a delete, every child marked for it.
//
// Invariants: a child's linking fields are read through its constraint
// arrays, which point into the module's area addresses, so they follow this
// PCB; the record area holds the new image whenever a cascade returns, also
// after a child ended fatally (the file holds the new record then).
// Callers: pi_rewrite and pi_del (pi_pcf.cpp).
#include <cstring>
#include <vector>

#include "compiler/em.h"
#include "compiler/em_child.h"
#include "compiler/em_records.h"
#include "compiler/pl.h"
#include "fm/fm_objects.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/pool.h"
#include "interp/interp.h"
#include "interp/trace_kivo.h"
#include "process/pi.h"
#include "process/pi_exec.h"
#include "process/pi_hooks.h"
#include "process/pi_pcf.h"
#include "process/process.h"

namespace kivo {

namespace {

enum : uint32_t { TR_DEL_CASCADE = 603200, TR_CHG_CASCADE = 603300, TR_CHG_PASS1 = 603400, TR_CHG_PASS2 = 603500 };
enum : uint8_t { CASCADE_CHANGE = 3, AUTO_CHANGE = 1, AUTO_DELETE = 2 };

struct child {
  uint32_t no;
  uint8_t* rec;  // compiled child record
  pcb_chld_ent* ent;
  const pl_cnstr* cn;
};

std::vector<child> children(PCB* p, bool on_delete) {
  std::vector<child> out;
  EM* em = p->pcb_em;
  auto* t = reinterpret_cast<pcb_chld_ent*>(p->pcb_children);
  for (uint32_t n = 1; t && n <= em->em_chld_cnt; ++n) {
    uint8_t* r = t[n].rec;
    if (!r) continue;
    if (on_delete ? cchld_view(r).on_delete() : cchld_view(r).on_change() == CASCADE_CHANGE)
      out.push_back({n, r, &t[n], pl_child_cnstr(em, n)});
  }
  return out;
}

const uint8_t* value_of(const pl_cnstr_fld& f) {
  const uint8_t* base = f.indirect ? (f.addr ? *f.addr : nullptr) : reinterpret_cast<const uint8_t*>(f.addr);
  return base ? base + f.add_off : nullptr;
}

uint32_t values_len(const pl_cnstr* cn) {
  uint32_t n = 0;
  for (uint32_t i = 0; cn && i < cn->cnt; ++i) n = std::max<uint32_t>(n, cn->flds[i].val_off + cn->flds[i].len);
  return n;
}

// Pass 1: the current (new) values of the child's linking fields, kept in
// its cascade buffer.
void save_new(PCB* p, child& c) {
  const uint32_t len = values_len(c.cn);
  if (!len) return;
  if (!c.ent->cascade) c.ent->cascade = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, len));
  for (uint32_t i = 0; c.ent->cascade && i < c.cn->cnt; ++i)
    if (const uint8_t* v = value_of(c.cn->flds[i]))
      memcpy(c.ent->cascade + c.cn->flds[i].val_off, v, c.cn->flds[i].len);
}

// Pass 2: a flagged linking field now (the before image in the record
// area) differs from its new value.
bool link_changed(const child& c) {
  for (uint32_t i = 0; c.ent->cascade && i < c.cn->cnt; ++i) {
    const pl_cnstr_fld& f = c.cn->flds[i];
    const uint8_t* v = value_of(f);
    if (f.flag && v && memcmp(v, c.ent->cascade + f.val_off, f.len) != 0) return true;
  }
  return false;
}

// The child run by the executive with its constraint; its end code.
uint32_t invoke(PCB* p, const child& c, uint8_t auto_run, uint8_t* vals) {
  INVOC v = cchld_view(c.rec).invoc();
  v.set_auto_run(auto_run);
  v.set_parent_pcb(p->pcb_handle);
  v.set_end_code(0);
  uint32_t h[3] = {};
  if (c.cn && c.cn->cnt) {
    h[0] = ih_put(HK_CNSTR_SEGS, c.cn->segs);
    h[1] = ih_put(HK_CNSTR_FLDS, c.cn->flds);
    if (vals) h[2] = ih_put(HK_CNSTR_VALS, vals);
    if (!v.cnstr_cnt()) v.set_cnstr_cnt(c.cn->cnt);
    if (!v.cnstr_len()) v.set_cnstr_len(values_len(c.cn));
  }
  v.set_cnstr_segs(h[0]), v.set_cnstr_flds(h[1]), v.set_cnstr_vals(h[2]);
  pi_exec(&v);
  for (uint32_t x : h)
    if (x) ih_drop(x);
  return v.end_code();
}

int child_fatal(PCB* p) {
  pi_outcome(p, PCF_FILE_FAILED);
  p->pcb_pcf_arb->arb_stat = PCF_CHILD_FATAL;
  ss_reset_sig_handler();
  return 0;
}

// The frame and image the child is placed on, while it runs.
void place(PCB* p, const child& c) {
  const uint32_t f = cchld_view(c.rec).frame(), i = cchld_view(c.rec).image();
  const EM* em = p->pcb_em;
  if (p->pcb_frames && f <= em->em_frm_cnt) p->pcb_cur_frm = reinterpret_cast<pcb_frm_ent*>(p->pcb_frames)[f].rec;
  if (i && p->pcb_images && i <= em->em_img_cnt) p->pcb_cur_img = reinterpret_cast<pcb_img_ent*>(p->pcb_images)[i].rec;
}

struct keep_place {
  PCB* p;
  uint8_t *frm, *img;
  explicit keep_place(PCB* q) : p(q), frm(q->pcb_cur_frm), img(q->pcb_cur_img) {}
  ~keep_place() { p->pcb_cur_frm = frm, p->pcb_cur_img = img; }
};

}  // namespace

int pi_cascade_change(PCB* p) {
  std::vector<child> ch = children(p, false);
  if (ch.empty()) return 1;
  TRACE_KIVO("F", 0, TR_CHG_CASCADE, p, "cascade");
  TRACE_KIVO("F", 0, TR_CHG_PASS1, p, "pass 1");
  for (child& c : ch) {
    p->pcb_cur_chld = c.rec;
    pi_ep_stop(p, EP_PRE_INVOC);
    save_new(p, c);
  }
  TRACE_KIVO("F", 0, TR_CHG_PASS2, p, "pass 2");
  uint8_t* rec = pi_pcf_rec(p);
  const uint16_t len = pi_pcf_len(p);
  memcpy(rec, p->pcb_pcf_buf1, len);
  pi_ep_stop(p, EP_PCF_EXT);
  keep_place kp(p);
  for (child& c : ch) {
    p->pcb_cur_chld = c.rec;
    place(p, c);
    pi_ep_stop(p, EP_PRE_INVOC);
    if (!link_changed(c)) continue;
    if (invoke(p, c, AUTO_CHANGE, c.ent->cascade) == PI_END_FATAL) {
      // The file holds the new record: so do the record area and the before image.
      memcpy(rec, p->pcb_pcf_buf2, len);
      memcpy(p->pcb_pcf_buf1, rec, len);
      return child_fatal(p);
    }
    pi_ep_stop(p, EP_POST_INVOC);
  }
  return 1;
}

int pi_cascade_delete(PCB* p) {
  std::vector<child> ch = children(p, true);
  if (ch.empty()) return 1;
  TRACE_KIVO("F", 0, TR_DEL_CASCADE, p, "delete cascade");
  keep_place kp(p);
  for (child& c : ch) {
    p->pcb_cur_chld = c.rec;
    place(p, c);
    pi_ep_stop(p, EP_PRE_INVOC);
    if (invoke(p, c, AUTO_DELETE, nullptr) == PI_END_FATAL) return child_fatal(p);
    pi_ep_stop(p, EP_POST_INVOC);
    pi_read(p, ARB_REC_ID);
  }
  return 1;
}

}  // namespace kivo
