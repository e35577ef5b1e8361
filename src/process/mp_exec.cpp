// The MENU process: its steps in the executive's table, the frame loop and
// the menu's own keys (see mp.h for the layout rules).
#include "compiler/em_frame.h"
#include "process/mp.h"

#include "compiler/em_records.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"
#include "foundation/scope.h"
#include "process/fp.h"
#include "process/pi_exec.h"
#include "screen/tm_keys.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

constexpr uint32_t kMenuFrame = 1;

// On the first child's line; a menu without children keeps the frame's
// start (its first input item).
void menu_start(PCB* p, fp_frame* f) {
  if (!fp_children(p, cfrm_view(f->frm).number()).empty()) f->row = 1, f->col = 1;
}

uint32_t menu_key(PCB* p, fp_frame* f, uint32_t key) {
  const std::vector<uint8_t*> ch = fp_children(p, cfrm_view(f->frm).number());
  if (key != LK_ENTER || f->row < 1 || size_t(f->row) > ch.size()) {
    f->beep = true;
    return 0;
  }
  return invoc_chld(p, ch[size_t(f->row) - 1]) == PI_END_MENU ? uint32_t(PI_END_MENU) : 0u;
}

void menu_exec(PCB* p, uint8_t* work) { mp_exec(p, work); }

}  // namespace

void mp_init() {
  pi_type_rows[PT_MENU] = {mp_setup, menu_exec, nullptr, mp_cleanup, mp_upd_stat};
  fp_types[PT_MENU] = {menu_start, menu_key};
}

void mp_setup(PCB* p, uint8_t*) { pi_upd_stat(p); }

void mp_upd_stat(PCB*) { wm_set_mode("MENU ENTRY"); }

void mp_exec(PCB* p, uint8_t*) {
  const uint32_t r = fp_loop(p, kMenuFrame);
  // END: back to the invoker's frame, which starts again; at the top a
  // normal end.
  mark_leave(r == PI_END_PROCESS && invoc_parent(p->invoc) ? uint32_t(PI_END_MENU) : r);
}

uint32_t mp_cleanup(PCB*, uint8_t*) { return 0; }

}  // namespace kivo
