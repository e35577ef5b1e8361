// Reports and their buffer stacks: the session's report file, a report's
// creation and clean-up, pushing buffers (new or spare) and resetting or
// destroying them.
//
// A buffer joins a stack only when its three files exist, so a stack never
// holds a buffer that a write or print cannot use.
#include <algorithm>
#include <cstring>

#include "fm/fm_open.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "process/rm_internal.h"

namespace kivo {

namespace {

constexpr char kRmPoolName[] = " RM        ";

const rm_file_spec kReportFile = {
    "RF", uint16_t(sizeof(RPT_BLK)), 0, 0, 2, {{0, kRmNameLen, SDB_CHARS}, {kRmNameLen, 2, SDB_UBINARY}}};
static_assert(offsetof(RPT_BLK, number) == kRmNameLen);

POOL* manager_pool() { return mm_create_pool(kRmPoolName, com.sys_scope); }

// The buffer's files: characteristics, lines, windows.
bool make_files(RPT_BLK* rpt, RPT_BUF* b) {
  const rm_file_spec chr = {"BC", kRmChrLen, 0, 1, 1, {{BC_LINE, 4, SDB_UBINARY}}};
  const rm_file_spec line = {"BL", ln_len(b), 1, 0, 1, {{LN_NO, 4, SDB_UBINARY}}};
  const rm_file_spec wnd = {"SC", uint16_t(sizeof(RPT_WND)), 0, 0, 1, {{0, 2, SDB_UBINARY}}};
  b->chr_arb = rm_file_create(chr, rpt->file_scope);
  if (b->chr_arb) b->line_arb = rm_file_create(line, rpt->file_scope);
  if (b->line_arb) b->wnd_arb = rm_file_create(wnd, rpt->file_scope);
  if (b->wnd_arb) return true;
  rm_close(b->line_arb);
  rm_close(b->chr_arb);
  return false;
}

// A new, unlinked buffer of the report's sizes with its files; null with
// RM_NO_FILE when a file could not be created (nothing of it left).
RPT_BUF* new_buffer(RPT_BLK* rpt) {
  auto* b = static_cast<RPT_BUF*>(MM_ALLOC(rpt->pool, rm_buf_size(rpt->width)));
  if (!b) return nullptr;
  memset(static_cast<void*>(b), 0, rm_buf_size(rpt->width));
  b->width = b->alloc_width = rpt->width;
  b->next_wnd = 1;
  b->work = static_cast<uint8_t*>(MM_ALLOC(rpt->pool, ln_len(b)));
  if (b->work && make_files(rpt, b)) return b;
  if (b->work) mm_free(b->work);
  mm_free(b);
  rpt->status = RM_NO_FILE;
  return nullptr;
}

void init_pm_blk(PM_BLK* pm, const char* id8) {
  memset(static_cast<void*>(pm), ' ', sizeof *pm);
  memcpy(pm->name, id8, kPmNameLen);
  pm->file = nullptr;
  pm->line = pm->page = pm->status = 0;
  pm->blank_lines = pm->marker_len = pm->notify = pm->banner = pm->print = 0;
  pm->mode = PM_MODE_HOLD;
  pm->disposition = PM_DISP_SCRATCH;
  pm->copies = 1;
  pm->request_time = {kPmNoTime, 0};
}

ARB* report_file(uint8_t* key, const RPT_BLK* rpt) {
  memcpy(key, rpt->name, kRmNameLen);
  st_le16(key, kRmNameLen, rpt->number);
  return com.rpt_arb;
}

void close_report_files(RPT_BLK* rpt) {
  const struct {
    ARB* arb;
    const char* text;
  } files[] = {{rpt->itm_arb, "can't close itm_arb"},
               {rpt->chr_arb, "can't close chr_arb"},
               {rpt->img_arb, "can't close img_arb"}};
  for (const auto& f : files)
    if (f.arb && !FM_CLOSE(f.arb, ARB_SCRATCH)) sys_err(kRmMod, __LINE__, "%s", f.text);
  rpt->itm_arb = rpt->chr_arb = rpt->img_arb = nullptr;
}

// Everything of a report but its print: buffers, files, pools, the block.
void drop_report(RPT_BLK* rpt) {
  for (RPT_BUF* base : {rpt->rpt_main, rpt->rpt_page})
    for (RPT_BUF* b = base; b; b = b->spare) rm_destroy_buf(b);
  close_report_files(rpt);
  mm_destroy_pool(rpt->pool);
  mm_free(rpt);
}

bool make_report_files(RPT_BLK* rpt) {
  const rm_file_spec img = {"IL", uint16_t(rm_img_len(kRmMaxRows, kRmMaxCols)), 1, 0, 1, {{IMG_ID, 2, SDB_UBINARY}}};
  rpt->itm_arb = rm_work_file(RM_FILE_ITEMS, rpt->file_scope);
  if (!rpt->itm_arb) return sys_err(kRmMod, __LINE__, "create - create of report item file failed"), false;
  rpt->chr_arb = rm_work_file(RM_FILE_CHRS, rpt->file_scope);
  if (!rpt->chr_arb) return sys_err(kRmMod, __LINE__, "create - create of report char file failed"), false;
  rpt->img_arb = rm_file_create(img, rpt->file_scope);
  if (!rpt->img_arb) return sys_err(kRmMod, __LINE__, "create - create of image line file failed"), false;
  return true;
}

bool yes(char flag) { return flag == '1'; }

}  // namespace

const rm_sink rm_pm_sink = {pm_bld, pm_write, pm_cleanup};

void rm_init() {
  com.rpt_arb = rm_file_create(kReportFile, com.sys_scope, 10);
  if (!com.rpt_arb) sys_err(kRmMod, __LINE__, "init - Failed to create report file");
  manager_pool();
}

namespace {

// A new report block with the report's defaults; null when there is no memory.
RPT_BLK* new_report(const char* name, const char* id8, uint16_t width, const rm_sink* sink) {
  auto* rpt = static_cast<RPT_BLK*>(MM_ALLOC(manager_pool(), sizeof(RPT_BLK)));
  if (!rpt) return nullptr;
  memset(static_cast<void*>(rpt), 0, sizeof *rpt);
  memcpy(rpt->name, name, kRmNameLen);
  rpt->number = ++com.rpt_cnt;
  rpt->sink = sink ? *sink : rm_pm_sink;
  rpt->pool = mm_create_pool(nullptr, com.sys_scope);
  rpt->file_scope = com.proc_scope;
  rpt->width = width;
  rpt->hold = 1;
  rpt->status = 1;
  rpt->set.print_date = {kPmNoTime, 0};
  SET_BLANK(rpt->set.format, sizeof rpt->set.format);
  SET_BLANK(rpt->set.priority, sizeof rpt->set.priority);
  SET_BLANK(rpt->set.options, sizeof rpt->set.options);
  rpt->pm = static_cast<PM_BLK*>(MM_ALLOC(rpt->pool, sizeof(PM_BLK)));
  init_pm_blk(rpt->pm, id8);
  return rpt;
}

// Starts a buffer level; a report that cannot start ends the mark.
void start_or_leave(RPT_BLK* rpt) {
  if (rm_start(rpt)) return;
  const uint32_t st = rpt->status;
  drop_report(rpt);
  mark_leave(st ? st : 1);
}

}  // namespace

RPT_BLK* rm_create(const char* name, const char* id8, uint16_t width, char* path_out, const rm_sink* sink) {
  if (width == 0 || width > kRmMaxWidth) {
    sys_err(kRmMod, __LINE__, "create - report width %u outside 1-%u", width, kRmMaxWidth);
    return nullptr;
  }
  RPT_BLK* rpt = new_report(name, id8, width, sink);
  if (!rpt) return nullptr;
  if (!make_report_files(rpt)) {
    drop_report(rpt);
    return nullptr;
  }
  // The page level, then the main level on it.
  start_or_leave(rpt);
  rpt->rpt_page = rpt->rpt_top;
  rpt->rpt_top = nullptr;
  start_or_leave(rpt);
  rpt->rpt_main = rpt->rpt_top;
  if (!com.rpt_arb || !rm_put(com.rpt_arb, reinterpret_cast<const uint8_t*>(rpt), sizeof *rpt)) {
    sys_err(kRmMod, __LINE__, "create - write to report record failed");
    drop_report(rpt);
    return nullptr;
  }
  char path[kPmPathLen];
  rpt->status = rpt->sink.bld(rpt->pm, path_out ? path_out : path) ? 1 : RM_NO_FILE;
  return rpt;
}

int rm_start(RPT_BLK* rpt) {
  RPT_BUF* base = rpt->rpt_top;
  RPT_BUF* top = base ? base->below : nullptr;
  if (top && top->spare) {
    RPT_BUF* s = top->spare;
    top->above = s;
    base->below = s;
    s->above = base;
    return 1;
  }
  RPT_BUF* b = new_buffer(rpt);
  if (!b) return 0;
  if (!base) {
    b->below = b->above = b;
    rpt->rpt_top = b;
    return 1;
  }
  b->id = uint16_t(top->id + 1);
  b->below = top;
  b->above = base;
  top->spare = b;
  top->above = b;
  base->below = b;
  return 1;
}

RPT_BUF* rm_find_buf(RPT_BLK* rpt, uint16_t id) {
  RPT_BUF* base = rpt->rpt_top;
  if (!base) return nullptr;
  for (RPT_BUF* b = base->below;; b = b->below) {
    if (b->id == id) return b;
    if (b == base) return nullptr;
  }
}

RPT_BUF* rm_new_region(RPT_BLK* rpt, uint16_t width) {
  RPT_BUF* saved = rpt->rpt_top;
  rpt->rpt_top = nullptr;
  const int ok = rm_start(rpt);
  RPT_BUF* b = rpt->rpt_top;
  rpt->rpt_top = saved;
  if (!ok) return nullptr;
  b->width = width;
  return b;
}

void rm_free_block(RPT_BUF* b) { mm_free(b); }

namespace {

// Deletes every record of a file; false when one cannot be deleted.
bool delete_all(ARB* arb) {
  while (rm_from(arb, nullptr, true))
    if (!rm_del(arb)) return false;
  return true;
}

// The region buffers a type-1 window still holds, and its region file.
void drop_regions(RPT_WND* w) {
  if (!w->reg_arb) return;
  while (const uint8_t* rec = rm_from(w->reg_arb, nullptr, true)) {
    auto* r = static_cast<RPT_BUF*>(MM_ALLOC(mm_pool_id, w->reg_arb->arb_len));
    memcpy(static_cast<void*>(r), rec, w->reg_arb->arb_len);
    rm_destroy_buf(r);
    mm_free(r);
    if (!rm_del(w->reg_arb)) break;
  }
  rm_close(w->reg_arb);
  w->reg_arb = nullptr;
}

bool delete_windows(RPT_BUF* b) {
  RPT_WND w;
  while (const uint8_t* rec = rm_from(b->wnd_arb, nullptr, true)) {
    memcpy(static_cast<void*>(&w), rec, sizeof w);
    if (!rm_del(b->wnd_arb)) return false;
    drop_regions(&w);
  }
  return true;
}

}  // namespace

int rm_reset_buf(RPT_BUF* b, int del_lines, int del_windows) {
  if (del_windows && !del_lines) {
    sys_err(kRmBufMod, __LINE__, "rm_reset_buf - invalid parameters");
    return 0;
  }
  int ok = 1;
  if (del_lines && !delete_all(b->line_arb)) {
    sys_err(kRmBufMod, __LINE__, "reset_buf - can't delete all lines");
    ok = 0;
  }
  if (del_lines && !delete_all(b->chr_arb)) {
    sys_err(kRmBufMod, __LINE__, "reset_buf - can't delete all chrs");
    ok = 0;
  }
  if (del_windows) {
    if (!delete_windows(b)) {
      sys_err(kRmBufMod, __LINE__, "reset_buf - can't delete all windows");
      ok = 0;
    }
    b->next_wnd = 1;
  }
  b->last_line = 0;
  b->pending = 0;
  memset(b->heights(), 0, 4u * (b->alloc_width + 1u));
  return ok;
}

void rm_destroy_buf(RPT_BUF* b) {
  if (b->wnd_arb) delete_windows(b);  // their region files go with them
  rm_close(b->chr_arb);
  rm_close(b->line_arb);
  rm_close(b->wnd_arb);
  b->chr_arb = b->line_arb = b->wnd_arb = nullptr;
  if (b->work) mm_free(b->work);
  b->work = nullptr;
}

int rm_cleanup(RPT_BLK* rpt) {
  PM_BLK* pm = rpt->pm;
  const rm_settings& s = rpt->set;
  pm->mode = s.mode;
  pm->disposition = s.disposition;
  pm->copies = uint8_t(std::min<uint16_t>(s.copies, 255));
  pm->notify = yes(s.notify);
  pm->banner = yes(s.banner);
  pm->print = yes(s.print);
  pm->request_time = s.print_date;
  memcpy(pm->format, s.format, sizeof pm->format);
  memcpy(pm->priority, s.priority, sizeof pm->priority);
  memcpy(pm->rpt_options, s.options, sizeof pm->rpt_options);
  const int done = rpt->sink.cleanup(pm);
  if (!done) rm_print_failed(rpt, __LINE__, "rm_cleanup - pm cleanup failed", true);
  uint8_t key[sizeof(RPT_BLK)] = {};
  ARB* rf = report_file(key, rpt);
  if (!rf || !rm_find(rf, key, true)) sys_err(kRmMod, __LINE__, "rm_cleanup - read report record failed");
  else if (!rm_del(rf)) sys_err(kRmMod, __LINE__, "rm_cleanup - delete report record failed");
  drop_report(rpt);
  return done;
}

}  // namespace kivo
