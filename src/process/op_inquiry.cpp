// INQUIRY's screen sink: a page of the report's lines is gathered in the
// PCB's pool and shown when it is full, at a new-page control and at the
// end. NEXT RECORD, ENTER and SCROLL DOWN go on; END ends the run with 2,
// CANCEL with 4.
//
// A choice made in the middle of the report unwinds at once; one made at
// the last page (inside the report's clean-up) is kept and taken by the
// process when the clean-up is over, so the report is always ended whole.
#include "process/op_inquiry.h"

#include <algorithm>
#include <cstring>

#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "process/op.h"
#include "process/process.h"
#include "screen/la_show.h"
#include "screen/screen.h"
#include "screen/tm_keys.h"
#include "screen/wm.h"

namespace kivo {

namespace {

constexpr uint32_t LK_NEXT_RECORD = 261, LK_SCROLL_DOWN = 325;
constexpr uint32_t kGoOn = 1;

struct inq_state {
  PCB* pcb;
  PM_BLK* pm;
  TWND* wnd;
  uint16_t rows, cols;
  char* page;     // rows x cols
  uint32_t line;  // the page's current line, 0 before the first
  bool any;       // the page holds something
  bool closing;   // the report's clean-up is showing the last page
  uint32_t end;   // the user's end code, 0 none
  inq_state* next;
};

inq_state* g_states;  // the live inquiries, newest first
inq_state* g_creating;

inq_state* state_of(PM_BLK* pm) {
  for (inq_state* s = g_states; s; s = s->next)
    if (s->pm == pm) return s;
  return nullptr;
}

inq_state* state_of(PCB* p) {
  for (inq_state* s = g_states; s; s = s->next)
    if (s->pcb == p) return s;
  return nullptr;
}

void unlink(inq_state* st) {
  for (inq_state** s = &g_states; *s; s = &(*s)->next)
    if (*s == st) {
      *s = st->next;
      return;
    }
}

uint32_t show_default(PCB* p, const char* page, uint16_t rows, uint16_t cols) {
  inq_state* st = state_of(p);
  if (!st || !st->wnd || !wm_seam_write_reg(st->wnd, page)) return kGoOn;  // nowhere to show it
  SHOW_BLK show;
  memset(&show, 0, sizeof show);
  show.show_flags = SHOW_DISPLAY | SHOW_INPUT;
  memcpy(show.keymap_name, "DATA ENTRY", sizeof show.keymap_name);
  show.main_srf = wm_obj_id(p->pcb_main_srf);
  show.pop_srf = p->pcb_pop_srf ? wm_obj_id(p->pcb_pop_srf) : 0;
  (void)rows, (void)cols;
  for (;;) {
    if (!wm_seam_show(&show, p->pcb_err_fi)) return kGoOn;
    switch (show.key_code) {
      case LK_NEXT_RECORD:
      case LK_ENTER:
      case LK_SCROLL_DOWN: return kGoOn;
      case LK_END: return PI_END_PROCESS;
      case LK_CANCEL: return PI_END_CANCEL;
      default: show.show_flags |= SHOW_BEEP;
    }
  }
}

// Shows the page and waits; the page is empty again afterwards.
void show_page(inq_state* st) {
  if (!st->any) return;
  const uint32_t r = process_seams.inq_show_page(st->pcb, st->page, st->rows, st->cols);
  memset(st->page, ' ', size_t(st->rows) * st->cols);
  st->line = 0;
  st->any = false;
  if (r == kGoOn) return;
  st->end = r;
  if (!st->closing) mark_leave(r);
}

void put_line(inq_state* st, uint32_t advance, const PM_LINE* l) {
  for (st->line += advance; st->line > st->rows; st->line -= st->rows) show_page(st);
  if (!l->text || st->line == 0) return;
  memcpy(st->page + size_t(st->line - 1) * st->cols, l->text, std::min<size_t>(l->len, st->cols));
  st->any = true;
}

int sink_bld(PM_BLK* pm, char*) {
  inq_state* st = g_creating;
  if (!st) return 0;
  g_creating = nullptr;
  st->pm = pm;
  pm->line = pm->page = 0;
  return 1;
}

int sink_write(PM_BLK* pm, const PM_LINE* l) {
  inq_state* st = state_of(pm);
  if (!st) return 0;
  switch (l->kind) {
    case PM_NEW_PAGE: show_page(st); break;
    case PM_ADVANCE: put_line(st, l->count, l); break;
    case PM_TO_LINE:
      if (l->count < st->line) show_page(st);
      put_line(st, l->count - st->line, l);
      break;
    default: return 0;
  }
  pm->line = st->line;
  return 1;
}

int sink_cleanup(PM_BLK* pm) {
  inq_state* st = state_of(pm);
  if (!st) return 0;
  st->closing = true;
  if (!st->end) show_page(st);
  return 1;
}

const rm_sink kScreenSink = {sink_bld, sink_write, sink_cleanup};

TWND* page_window(PCB* p, uint16_t* rows, uint16_t* cols) {
  auto* srf = static_cast<TSRF*>(p->pcb_main_srf);
  if (!srf) return nullptr;
  *rows = uint16_t(std::max(srf->SRF_SIZE.row, 1));
  *cols = uint16_t(std::max(srf->SRF_SIZE.col, 1));
  WND_BLK b;
  INIT_WND(&b, 1, 1, *rows, *cols, 0);
  // At the process's level: a choice that unwinds the run leaves it to inq_end.
  return wm_attach(&b, srf, com.proc_scope) ? static_cast<TWND*>(wm_obj(b.handle)) : nullptr;
}

}  // namespace

uint32_t inq_show_page_own(PCB* p, const char* page, uint16_t rows, uint16_t cols) {
  return show_default(p, page, rows, cols);
}

const rm_sink* inq_sink(PCB* p) {
  auto* st = static_cast<inq_state*>(MM_ALLOC(p->pcb_pool, sizeof(inq_state)));
  memset(static_cast<void*>(st), 0, sizeof *st);
  st->pcb = p;
  st->rows = uint16_t(com.scr_rows > 3 ? com.scr_rows - 3 : 21);
  st->cols = uint16_t(com.scr_cols ? com.scr_cols : 80);
  st->wnd = page_window(p, &st->rows, &st->cols);
  st->page = static_cast<char*>(MM_ALLOC(p->pcb_pool, size_t(st->rows) * st->cols));
  memset(st->page, ' ', size_t(st->rows) * st->cols);
  st->next = g_states;
  g_states = st;
  g_creating = st;
  return &kScreenSink;
}

uint16_t inq_page_len(PCB* p) {
  inq_state* st = state_of(p);
  return st ? st->rows : 0;
}

uint32_t inq_end(PCB* p) {
  inq_state* st = state_of(p);
  if (!st) return 0;
  unlink(st);
  if (g_creating == st) g_creating = nullptr;
  if (st->wnd) wm_detach(st->wnd, 1);
  const uint32_t e = st->end;
  mm_free(st->page);
  mm_free(st);
  return e;
}

}  // namespace kivo
