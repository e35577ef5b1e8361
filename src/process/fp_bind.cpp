// The screen half of a frame: the image's window on the process's surface,
// its text and characteristics, its items bound to the running PCB, and the
// show that reads a key.
//
// Invariant: an item's conversion reads and writes the PCB's own area
// (pcb_areas at bind time), so a second PCB of the same process running in
// between never shows through. Callers: fp_exec.cpp.
#include <algorithm>
#include <cstring>
#include <string>

#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/em_chr.h"
#include "compiler/em_image.h"
#include "compiler/em_item.h"
#include "compiler/em_records.h"
#include "compiler/pc_cmpl.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/maddr.h"
#include "foundation/sys_err.h"
#include "process/fp.h"
#include "process/pi.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

constexpr char kModule[] = "FP";
enum : uint8_t { IMG_POPUP = 2 };

// The image's text, rows x columns, blank where the constant is missing or short.
std::string image_text(EM* em, cimg_view im, uint32_t rows, uint32_t cols) {
  std::string text(size_t(rows) * cols, ' ');
  const uint32_t no = im.text_const();
  ARB* a = em->em_cnst_arb;
  // Read by number, so that the record's length is known: a module file's
  // constant may be shorter than the image says.
  const uint8_t* c = no && a && no < 65000 ? MADDR(a, no) : nullptr;
  const size_t len = c ? (a->arb_var_len ? a->arb_var_len : a->arb_len) : 0;
  if (c) memcpy(text.data(), c, std::min(text.size(), len));
  return text;
}

// The item's definition with its conversion bound to `p`'s area; false when
// the area does not hold it (a module that does not match the PCB).
bool bind_item(PCB* p, const CITM& c, TITM* out) {
  EM* em = p->pcb_em;
  if (c.citm_area == 0 || c.citm_area > em->em_area_cnt || !p->pcb_areas || !p->pcb_areas[c.citm_area]) return false;
  *out = TITM{};
  out->tl_row = c.citm_row, out->tl_col = c.citm_col;
  out->br_row = c.citm_bot, out->br_col = c.citm_right;
  out->cnv = c.citm_cnv;
  out->cnv.int_addr = p->pcb_areas[c.citm_area] + c.citm_off;
  out->cnv.int_indirect = 0;
  out->cnv.addr_mode = 0;
  out->edited = 1;
  return true;
}

// An input item is an editable tab stop of its own.
CHR_BLK entry_run(const TITM& it) {
  CHR_BLK b{};
  b.row = b.item_row = it.tl_row;
  b.col = b.item_col = it.tl_col;
  b.rows = it.br_row - it.tl_row + 1;
  b.cols = it.br_col - it.tl_col + 1;
  b.value = CELL_EDIT | CELL_TAB;
  return b;
}

CHR_BLK chr_of(const uint8_t* cr) {
  CHR_BLK b{};
  const cchr_view c(cr);
  b.row = int32_t(c.row()), b.col = int32_t(c.col());
  b.rows = int32_t(c.rows()), b.cols = int32_t(c.cols());
  b.value = c.attr(), b.chr = c.chr();
  b.item_row = int32_t(c.item_row()), b.item_col = int32_t(c.item_col());
  return b;
}

void bind_items(PCB* p, fp_frame* f, std::vector<CHR_BLK>* runs) {
  EM* em = p->pcb_em;
  const cimg_view im(f->img);
  const uint32_t first = im.first_itm(), cnt = im.itm_cnt();
  auto* t = reinterpret_cast<pcb_itm_ent*>(p->pcb_items);
  for (uint32_t n = first; t && n && n < first + cnt && n <= em->em_itm_cnt; ++n) {
    if (!t[n].rec) continue;
    CITM c;
    memcpy(static_cast<void*>(&c), t[n].rec, sizeof c);
    TITM it;
    if (!bind_item(p, c, &it)) {
      sys_err(kModule, __LINE__, "fp_exec() - item %.22s outside its area", c.citm_fld);
      continue;
    }
    f->items.push_back(it);
    if (!c.citm_entry) continue;
    runs->push_back(entry_run(it));
    if (!f->entry_row) f->entry_row = it.tl_row, f->entry_col = it.tl_col;
  }
}

// The characteristics of the image, by their key (image, row, column).
void image_chrs(EM* em, cimg_view im, std::vector<CHR_BLK>* runs) {
  if (!im.chr_cnt()) return;
  uint8_t key[CCHR_LEN] = {};
  st_le32(key, CCHR_IMG, im.index());
  pc_each(em->em_cchr_arb, key, 4, CCHR_LEN, [&](const uint8_t* cr) {
    runs->push_back(chr_of(cr));
    return true;
  });
}

}  // namespace

int fp_open(PCB* p, fp_frame* f) {
  EM* em = p->pcb_em;
  const cimg_view im(f->img);
  auto* srf = static_cast<TSRF*>(im.kind() == IMG_POPUP ? p->pcb_pop_srf : p->pcb_main_srf);
  if (!srf) return sys_err(kModule, __LINE__, "fp_exec() - the process has no surface"), 0;
  const uint32_t rows = im.rows(), cols = im.cols();
  WND_BLK b;
  INIT_WND(&b, int32_t(im.win_row()), int32_t(im.win_col()), int32_t(rows), int32_t(cols), 0);
  f->wnd = WM_ATTACH(&b, srf, com.mark_scope);
  if (!f->wnd) return sys_err(kModule, __LINE__, "fp_exec() - window of %u x %u refused (%u)", rows, cols, b.status), 0;
  std::vector<CHR_BLK> runs;
  f->items.clear();
  bind_items(p, f, &runs);
  image_chrs(em, im, &runs);
  const std::string text = image_text(em, im, rows, cols);
  if (!wm_write_reg(f->wnd, reinterpret_cast<const uint8_t*>(text.data()), f->items, runs))
    sys_err(kModule, __LINE__, "fp_exec() - image region (status %u)", f->wnd->status);
  for (TITM& it : f->items) it.edited = 0;
  return 1;
}

void fp_refresh(PCB*, fp_frame* f) {
  for (TITM& it : f->items) it.edited = 1;
  if (!f->items.empty() && !wm_upd_reg(f->wnd, f->items, {}))
    sys_err(kModule, __LINE__, "fp_exec() - items (status %u)", f->wnd->status);
  for (TITM& it : f->items) it.edited = 0;
}

void fp_show(PCB* p, fp_frame* f) {
  SHOW_BLK b{};
  b.show_flags = uint8_t(SHOW_REFRESH | SHOW_INPUT | (f->beep ? uint32_t(SHOW_BEEP) : 0u));
  f->beep = false;
  memcpy(b.keymap_name, p->invoc.proc_type() == PT_MENU ? "MENU ENTRY" : "DATA ENTRY", 10);
  b.main_srf = p->pcb_main_srf ? static_cast<TSRF*>(p->pcb_main_srf)->id : 0;
  b.pop_srf = p->pcb_pop_srf ? static_cast<TSRF*>(p->pcb_pop_srf)->id : 0;
  b.curs_type = CURS_REL;
  b.curs_reg = f->wnd->id;
  b.rel_row = f->row, b.rel_col = f->col;
  wm_show(&b, p->pcb_err_fi);
  if (p->pcb_err_fi) wm_msg_clear(p->pcb_err_fi);
  // A show that delivers no key (no terminal, its input ended) cancels the
  // frame rather than showing it for ever.
  f->key = b.input_stat == KEY_STATUS_KEY ? b.key_code : uint32_t(LK_CANCEL);
  if (b.curs_reg == f->wnd->id) f->row = b.rel_row, f->col = b.rel_col;
}

void fp_close(fp_frame* f) {
  if (f->wnd) wm_detach(f->wnd, 1);
  f->wnd = nullptr;
  f->items.clear();
}

}  // namespace kivo
