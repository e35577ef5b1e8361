// A frame's children: invoc_chld runs one child under its event points 61
// and 62 with the constraint its linking fields give, and pi_exec_child
// hands a child the invoker and its surfaces (the invocation verbs use it
// too).
//
// Invariant: the handles an INVOC carries for the call (surfaces,
// constraint arrays) are dropped when the call returns or unwinds.
// Callers: fp_exec's key loop and the MENU process; the invocation verbs
// (pi_exec_named).
#include <cstring>
#include <vector>

#include "compiler/em.h"
#include "compiler/em_child.h"
#include "compiler/em_frame.h"
#include "compiler/em_records.h"
#include "compiler/pl.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"
#include "process/ap.h"
#include "process/fp.h"
#include "process/pi.h"
#include "process/process.h"

namespace kivo {

namespace {

enum : uint16_t { EP_CHLD_PRE = 61, EP_CHLD_POST = 62 };
// INVOC bytes 104-131: constraint count, arrays, length, values, application
// and the stamp of the file it was built for.
constexpr size_t kCnstrWords = 104, kCnstrWordsLen = 28;

// Registry handles that live as long as the call.
struct call_handles {
  std::vector<uint32_t> h;
  uint32_t put(handle_kind kind, void* p) { return h.emplace_back(ih_put(kind, p)); }
  ~call_handles() {
    for (uint32_t x : h) ih_drop(x);
  }
};

// The child's constraint: its segment entries as the loader built them, and
// field entries in the invocation's form that read the values through the
// module's area table, so they follow the PCB bound to it.
void constraint(PCB* p, const uint8_t* child, INVOC* v, std::vector<cnstr_fld>* flds, call_handles* hs) {
  const pl_cnstr* c = pl_child_cnstr(p->pcb_em, cchld_view(child).number());
  if (!c || !c->cnt || !c->segs || !c->flds) return;
  flds->resize(c->cnt);
  for (uint32_t i = 0; i < c->cnt; ++i) {
    const pl_cnstr_fld& s = c->flds[i];
    cnstr_fld& d = (*flds)[i];
    d = cnstr_fld{};
    d.val_off = s.val_off, d.add_off = s.add_off;
    d.addr = reinterpret_cast<uint8_t*>(s.addr);
    d.indirect = s.indirect, d.len = s.len, d.given = s.flag;
  }
  v->set_cnstr_segs(hs->put(HK_CNSTR_SEGS, c->segs));
  v->set_cnstr_flds(hs->put(HK_CNSTR_FLDS, flds->data()));
}

// The child of the running frame that `v` names; null none.
const uint8_t* named_child(PCB* p, const INVOC& v) {
  if (!p->pcb_cur_frm) return nullptr;
  for (const uint8_t* ch : fp_children(p, cfrm_view(p->pcb_cur_frm).number())) {
    const INVOC c = cchld_view(ch).invoc();
    if (!memcmp(c.ap_id(), v.ap_id(), 3) && !memcmp(c.proc_nam(), v.proc_nam(), 30) && c.proc_type() == v.proc_type())
      return ch;
  }
  return nullptr;
}

}  // namespace

uint32_t pi_exec_named(PCB* p, INVOC* v) {
  call_handles hs;
  std::vector<cnstr_fld> flds;
  if (const uint8_t* ch = named_child(p, *v)) {
    // The constraint words as the child's invocation carries them (count,
    // lengths, the file they were built for); the arrays follow.
    memcpy(v->b + kCnstrWords, ch + CCHLD_INVOC + kCnstrWords, kCnstrWordsLen);
    constraint(p, ch, v, &flds, &hs);
  }
  const uint32_t code = pi_exec_child(p, v);
  // A process the statement names that cannot run says why, as a menu
  // line's does; the statement still fails, for the design's own handling.
  // Told in the class of the process's own answers, it stays ahead of the
  // answer of an operation that goes on without it ("RECORD ADDED").
  constexpr uint16_t kAnswerClass = 4;
  if (const char* why = pi_child_failure(); *why) pi_post_failure(p, why, kAnswerClass);
  return code;
}

uint32_t pi_exec_child(PCB* p, INVOC* v) {
  call_handles hs;
  if (!p->pcb_handle) p->pcb_handle = ih_put(HK_PCB, p);
  v->set_parent_pcb(p->pcb_handle);
  v->set_parent_srf(0, hs.put(HK_SURFACE, p->pcb_main_srf));
  v->set_parent_srf(1, hs.put(HK_SURFACE, p->pcb_pop_srf));
  pi_exec(v);
  return v->end_code();
}

uint32_t invoc_chld(PCB* p, uint8_t* child) {
  p->pcb_cur_chld = child;
  if (fp_ep(p, EP_CHLD_PRE, child) & kEpStop) return PI_END_NORMAL;
  INVOC v = cchld_view(child).invoc();
  call_handles hs;
  std::vector<cnstr_fld> flds;
  constraint(p, child, &v, &flds, &hs);
  const uint32_t code = pi_exec_child(p, &v);
  // A menu line or child whose process cannot run says so here.
  if (const char* why = pi_child_failure(); *why) pi_post_failure(p, why);
  ap_post_invoc(p);
  p->pcb_cur_chld = child;
  fp_ep(p, EP_CHLD_POST, child);
  pi_upd_stat(p);
  return code;
}

}  // namespace kivo
