// "IE_INIT": a new editor level for one image. The rows, items and
// characteristics of the image are copied from the design files into work
// files, the cursor positions of the IMAGE record into cursor records, and
// the display is derived; the control block then names the level.
//
// Invariants: at most kIeMaxLevel levels; a level exists exactly while its
// handle resolves (ie_state); ie_close undoes everything ie_init made.
#include <cstring>

#include "design/design_builder.h"
#include "editors/ie_internal.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/fm_xlate.h"
#include "fm/la.h"
#include "fm/struct_file.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/sys_err.h"
#include "process/pi_hooks.h"
#include "screen/wm_region.h"

namespace kivo {

int recurs_lvl = 0;
uint32_t last_ie = 0;
uint8_t ie_row = 0, ie_col = 0;

namespace {

constexpr const char* kModule = "IE2";
constexpr const char* kCursKeys = "0: 0:3 3:22 25:1 26:2b 28:2b";

constexpr uint32_t kDesignOpts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;

// The application and version of the editor's design files, terminated:
// a system application's are those of version "00".
struct design_names {
  char ap[4], ver[3];
  explicit design_names(const IE_STATE* st) : ap{st->ap[0], st->ap[1], st->ap[2], 0}, ver{st->ver[0], st->ver[1], 0} {
    if (IS_BOB_AP(ap)) memcpy(ver, "00", 3);
  }
};

// A design file of the control block's application and version, or null
// with *stat set (FM_NO_FILE: the design has no records of the kind). With
// `create` a missing one is made, with the structure file the design
// tools give every design file, and opened.
ARB* open_design(ie_dfdb_init init, const IE_STATE* st, bool create, uint32_t* stat) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  const design_names n(st);
  init(&f, k, s, n.ap, n.ver);
  if (FM_OPEN(&f, com.proc_scope, kDesignOpts, 0x0f, 0x0f)) return f.fdb_arb;
  if (create && f.fdb_stat == FM_NO_FILE && FM_CREATE(&f, com.proc_scope, 0, kDesignOpts | LFB_OPEN_NEW, 0x0f, 0x0f)) {
    if (fm_design_struct(&f, com.proc_scope)) return f.fdb_arb;
    FM_CLOSE(f.fdb_arb, 0);
  }
  *stat = f.fdb_stat;
  return nullptr;
}

// Opens a design file; a missing one is empty, one that does not open is
// reported with `text`.
bool need_design(ARB** out, ie_dfdb_init init, const IE_STATE* st, const char* text) {
  uint32_t stat = 0;
  *out = open_design(init, st, false, &stat);
  if (*out || stat == FM_NO_FILE) return true;
  checkstat(stat, text, kModule, __LINE__);
  return false;
}

// Copies the design records of the image into a work file; `pad` widens
// each record (the item work record's display size, 0 = derive).
bool copy_records(ARB* from, ARB* to, const uint8_t* img, uint16_t len, uint16_t out_len, const char* wtext) {
  if (!from) return true;
  std::vector<uint8_t> key(len, 0);
  memcpy(key.data(), img, kImageKeyLen);
  for (ie_rec r : ie_scan(from, 0, key.data(), len, kImageKeyLen)) {
    r.resize(out_len, 0);
    if (!ie_put(to, r.data(), out_len)) return ie_fail(to, wtext, kModule);
  }
  return true;
}

// Step 7: one cursor record per item that a cursor position names.
bool load_cursors(IE_STATE* st, uint8_t* img) {
  for (int i = 0; i < 10; ++i) {
    const size_t at = IM_CURSOR + 8 * size_t(i);
    const uint32_t row = ld_le32(img, at), col = ld_le32(img, at + 4);
    if (row == 0 || row == kIeUnset) continue;
    uint8_t it[kIeItemSize] = {};
    ie_cell_key(it, img, row, col);
    if (!ie_get(st->itms, 0, it, kIeItemSize)) {
      st_le32(img, at, kIeUnset), st_le32(img, at + 4, kIeUnset);
      continue;
    }
    uint8_t cu[kIeCursSize];
    memcpy(cu + CU_AP, it + IT_AP, 3), memcpy(cu + CU_FIELD, it + IT_FIELD, 22), cu[CU_BLANK] = ' ';
    memcpy(cu + CU_OCC, it + IT_OCC, 2), st_le16(cu, CU_INDEX, ie_field_index(st->itms, it));
    memset(cu + CU_FLAGS, ' ', 10);
    if (ie_get(st->curs, 0, cu, kIeCursSize, true) && !ie_del(st->curs, cu, kIeCursSize))
      return ie_fail(st->curs, "Bad curs del ", kModule);
    cu[CU_FLAGS + i] = '1';
    if (!ie_put(st->curs, cu, kIeCursSize)) return ie_fail(st->curs, "Bad curs write ", kModule);
  }
  return true;
}

void attach_windows(IE_STATE* st) {
  if (!st->main || !st->pop) return;  // no screen: the model alone
  WND_BLK w;
  INIT_WND(&w, 1, 1, com.scr_rows - 3, com.scr_cols, 0);
  st->backdrop = WM_ATTACH(&w, st->pop, com.proc_scope);
  INIT_WND(&w, 1, 1, int32_t(st->nrows), int32_t(st->ncols), 0);
  st->img_wnd = st->backdrop ? WM_ATTACH(&w, st->pop, com.proc_scope) : nullptr;
  if (!st->backdrop || !st->img_wnd) return sys_err(kModule, __LINE__, "Bad wm_attach ");
  std::vector<char> blanks(size_t(com.scr_rows) * com.scr_cols, ' ');
  wm_write_reg(st->backdrop, reinterpret_cast<const uint8_t*>(blanks.data()), {}, {});
  ie_redraw(st);
}

bool load(IE_STATE* st, uint8_t* img, uint8_t* ctl) {
  // Step 3: rows in the control block's language.
  if (!need_design(&st->drow, INIT_DROW_FDB, st, "Bad disk row file open ")) return false;
  if (st->drow && !blank(reinterpret_cast<char*>(ctl + IEC_LANG), 3)) {
    // The application's parameter record is read (and cached) first, as
    // the translation of its design records needs it.
    pi_get_dparm(std::string(st->ap, 3).c_str(), std::string(st->ver, 2).c_str());
    char lang[4] = {};
    memcpy(lang, ctl + IEC_LANG, 3);
    fm_set_lang(st->drow, "ENG", lang);
  }
  if (!copy_records(st->drow, st->rows, img, kRowRecSize, kRowRecSize, "Bad memory row file write ")) return false;
  // Steps 5-6.
  if (!need_design(&st->ditm, INIT_DITM_FDB, st, "Bad disk itm file open ") ||
      !copy_records(st->ditm, st->itms, img, kItemRecSize, kIeItemSize, "Bad memory itm file write "))
    return false;
  if (!need_design(&st->dchr, INIT_DCHR_FDB, st, "Bad disk chr file open ")) return false;
  st->chrs = ie_mem_file("CHR     ", kChrRecSize, 0, kChrKeys, com.proc_scope);
  st->echr = ie_mem_file("ECHR    ", kChrRecSize, 0, kChrKeys, com.proc_scope);
  if (!st->chrs || !st->echr) return ie_fail(nullptr, "Bad memory file create ", kModule);
  if (!copy_records(st->dchr, st->chrs, img, kChrRecSize, kChrRecSize, "Bad memory chr file write ")) return false;
  // Step 7.
  st->curs = ie_mem_file(" IE_CURS  ", kIeCursSize, 0, kCursKeys, com.proc_scope);
  if (!st->curs) return ie_fail(nullptr, "Bad memory file create ", kModule);
  if (!load_cursors(st, img)) return false;
  // Step 8.
  st->msgs = la_create_fi(80, com.proc_scope);
  if (!st->msgs) sys_err(kModule, __LINE__, "No msg file ");
  return need_design(&st->delem, INIT_DELEM_FDB, st, "Bad element open ");
}

IE_STATE* levels[kIeMaxLevel + 1];

}  // namespace

ARB* ie_make_design(ie_dfdb_init init, const IE_STATE* st, uint32_t* stat) { return open_design(init, st, true, stat); }

int ie_restamp(const IE_STATE* st, const uint8_t* img, uint32_t* stat) {
  const design_names n(st);
  return DesignBuilder::restamp_process(n.ap, n.ver, img, com.proc_scope, stat);
}

IE_STATE* ie_last() { return last_ie ? static_cast<IE_STATE*>(ih_get(HK_IE_STATE, last_ie)) : nullptr; }

IE_STATE* ie_state(const uint8_t* ctl) {
  return ctl ? static_cast<IE_STATE*>(ih_get(HK_IE_STATE, ld_le32(ctl, IEC_STATE))) : nullptr;
}

int ie_init(PCB* pcb, uint8_t* img, ARB* itms, uint8_t* ctl, ARB* rows, ARB* xcept) {
  if (recurs_lvl >= kIeMaxLevel || !itms || !rows) return 0;
  const uint32_t nrows = ld_le32(img, IM_ROWS), ncols = ld_le32(img, IM_COLS);
  if (nrows < 1 || ncols < 1 || uint64_t{nrows} * ncols > (1u << 24)) return 0;
  arb_keep keep_itm(itms), keep_row(rows);
  auto* st = new IE_STATE;
  st->handle = ih_put(HK_IE_STATE, st);
  if (!st->handle) {
    delete st;
    return 0;
  }
  st->level = ++recurs_lvl;
  levels[st->level] = st;
  memcpy(st->ap, ctl + IEC_AP, 3), memcpy(st->ver, ctl + IEC_VER, 2);
  st->nrows = nrows, st->ncols = ncols;
  st->line.assign(nrows + 1, std::string());
  st->main = pcb ? static_cast<TSRF*>(pcb->pcb_main_srf) : nullptr;
  st->pop = pcb ? static_cast<TSRF*>(pcb->pcb_pop_srf) : nullptr;
  st->itms = itms, st->rows = rows, st->xcept = xcept, st->img = img;
  st_le32(ctl, IEC_STATE, st->handle);
  if (!load(st, img, ctl)) {
    ie_close(st, ctl);
    return 0;
  }
  // Step 9: an image with something outside it opens view-only.
  populate_itm(st, img);
  if (!populate_chr(st, img, ctl[IEC_EDITABLE] == '1')) {
    ctl[IEC_EDITABLE] = '0';
    populate_chr(st, img, false);
  }
  st->ctl = ctl, st->editable = ctl[IEC_EDITABLE];
  attach_windows(st);
  st_le32(ctl, IEC_ROW, 1), st_le32(ctl, IEC_COL, 1);
  ctl[IEC_REQUEST] = IE_REQ_INIT;
  st->saved = 0;
  return 1;
}

void ie_close(IE_STATE* st, uint8_t* ctl) {
  ie_scratch(st->chrs), ie_scratch(st->echr), ie_scratch(st->curs);
  for (ARB** a : {&st->ditm, &st->drow, &st->dchr, &st->delem, &st->msgs})
    if (*a) FM_CLOSE(*a, 0), *a = nullptr;
  for (TWND* w : {st->transient, st->img_wnd, st->backdrop})
    if (w) wm_detach(w, 1);
  for (TWND* w : st->panel)
    if (w) wm_detach(w, 1);
  if (levels[st->level] == st) levels[st->level] = nullptr;
  // A level that ended is nobody's to name: its control block is the caller's.
  if (last_ie == st->handle) last_ie = st->level > 1 && levels[st->level - 1] ? levels[st->level - 1]->handle : 0;
  if (st->level == recurs_lvl) --recurs_lvl;
  ih_drop(st->handle);
  if (ctl) st_le32(ctl, IEC_STATE, 0);
  delete st;
}

void ie_redraw(IE_STATE* st) {
  if (!st->img_wnd) return;
  const std::string blanks(size_t{st->nrows} * st->ncols, ' ');
  wm_write_reg(st->img_wnd, reinterpret_cast<const uint8_t*>(blanks.data()), st->litm, st->lchr);
}

}  // namespace kivo
