// The glue between an OUTPUT or INQUIRY process and its report: the report
// made from the module's report images and the output defaults, images
// written with their items' values and printed (those with a scroll type
// through their window, op_window.cpp), the page heading at each new page,
// and the report's end.
//
// A block that does not fit the page is printed at the top of the next one;
// only a block longer than an empty page runs past the page's end. Any other
// failure posts its status and ends the run with 4.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "compiler/em.h"
#include "compiler/em_chr.h"
#include "compiler/em_image.h"
#include "compiler/em_item.h"
#include "compiler/em_records.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "process/fp.h"
#include "process/op.h"
#include "process/pi.h"
#include "process/pi_internal.h"
#include "process/rm_view.h"

namespace kivo {

namespace {

constexpr char kModule[] = "OP";
constexpr uint16_t kDefaultWidth = 80;  // a report without report images

// Output defaults (area 1), group 1.
enum : size_t {
  OD_COPIES = 16,  // u16
  OD_MODE = 18,    // '1'-'4'
  OD_FORM = 29,    // 10
  OD_HOLD = 61,    // '1': keep the file (disposition SAVE)
  OD_BANNER = 319,
  OD_PAGE_LEN = 320,  // u16, 0 = no paging
  OD_NOTIFY = 631,
  OD_PRIORITY = 640,  // 10
  OD_LEN = 660,
};
constexpr uint8_t kReportImage = 3;
enum : uint16_t { EP_IMG_START = 41, EP_IMG_PRE = 42 };  // the image's events before its display

pcb_img_ent* img_ent(PCB* p, uint32_t index) {
  EM* em = p->pcb_em;
  if (!p->pcb_images || index == 0 || index > em->em_img_cnt) return nullptr;
  return reinterpret_cast<pcb_img_ent*>(p->pcb_images) + index;
}

// The widest report image, or window of one.
uint16_t report_width(PCB* p) {
  uint32_t w = 0;
  for (uint32_t i = 1; p->pcb_em && i <= p->pcb_em->em_img_cnt; ++i) {
    const pcb_img_ent* e = img_ent(p, i);
    if (e && e->rec && cimg_view(e->rec).kind() == kReportImage)
      w = std::max({w, cimg_view(e->rec).cols(), op_wnd_width(e->rec)});
  }
  return w ? uint16_t(std::min<uint32_t>(w, kRmMaxWidth)) : kDefaultWidth;
}

// Print settings and page length from the output defaults.
void settings(PCB* p, RPT_BLK* rpt) {
  const uint8_t* a = pi_area(p, AREA_OUT_DFLT, OD_LEN);
  rm_settings& s = rpt->set;
  s.print = '1';
  s.copies = 1;
  s.mode = PM_MODE_HOLD;
  s.disposition = PM_DISP_SCRATCH;
  if (!a) return;
  s.copies = std::max<uint16_t>(ld_le16(a, OD_COPIES), 1);
  if (a[OD_MODE] >= '1' && a[OD_MODE] <= '4') s.mode = uint8_t(a[OD_MODE] - '0');
  memcpy(s.format, a + OD_FORM, sizeof s.format);
  memcpy(s.priority, a + OD_PRIORITY, sizeof s.priority);
  s.disposition = a[OD_HOLD] == '1' ? PM_DISP_SAVE : PM_DISP_SCRATCH;
  s.banner = a[OD_BANNER] == '1' ? '1' : '0';
  s.notify = a[OD_NOTIFY] == '1' ? '1' : '0';
  rpt->page_len = ld_le16(a, OD_PAGE_LEN);
}

// A blank image block of one row in `buf` (rm_img_len(1, width) bytes).
void line_image(uint8_t* buf, uint16_t width) {
  memset(buf, 0, rm_img_len(1, width));
  st_le16(buf, IMG_COL, 1);
  st_le32(buf, IMG_ROWS, 1), st_le32(buf, IMG_COLS, width);
  buf[IMG_SEP] = ' ';
  memset(buf + IMG_TEXT, ' ', width);
}

[[noreturn]] void fail(op_report* op, uint32_t status) {
  op->failed = 1;
  op->status = status;
  char why[64];
  snprintf(why, sizeof why, "its report could not be completed (status %u)", status);
  os_note_run_failure(why);
  PCB* p = op->pcb;
  op_post(p, status);
  mark_leave(PI_END_CANCEL);
}

// A refusal names itself; a failed print or a system error is a print
// file that could not be completed.
uint32_t failure_status(RPT_BLK* rpt) { return rpt->status != 1 ? rpt->status : RM_NO_FILE; }

// The page heading into the page stack, printed on a new page.
void new_page(op_report* op) {
  RPT_BLK* rpt = op->rpt;
  rpt->rpt_top = rpt->rpt_page;
  rpt->lines_left = rpt->page_len;
  const uint32_t ph = load_frm_no(op->pcb, FRM_PAGE_HEADING);
  op->in_heading = 1;
  if (ph) fp_exec(op->pcb, ph);
  op->in_heading = 0;
  const int ok = rm_print(rpt, 1, -1);
  rpt->rpt_top = rpt->rpt_main;
  if (!ok) fail(op, failure_status(rpt));
  op->new_page = 1;
  rpt->page_top = 1;
}

// Writes image `id` into buffer 0; a window too short gives a new page.
void write_image(op_report* op, uint16_t id) {
  RPT_BLK* rpt = op->rpt;
  if (rm_write_img(rpt, id, nullptr, 0, nullptr)) return;
  if (rpt->status != RM_NO_FIT) fail(op, failure_status(rpt));
  rpt->status = 1;
  op_prt_buf(op->pcb);
  new_page(op);
  if (!rm_write_img(rpt, id, nullptr, 0, nullptr)) fail(op, failure_status(rpt));
}

// The item record of a module item, its value read from this PCB's area.
bool report_item(PCB* p, uint32_t itemno, uint16_t img_id, RPT_ITM* out) {
  const auto* ents = reinterpret_cast<pcb_itm_ent*>(p->pcb_items);
  if (!ents || itemno == 0 || itemno > p->pcb_em->em_itm_cnt || !ents[itemno].rec) return false;
  CITM c;
  memcpy(static_cast<void*>(&c), ents[itemno].rec, sizeof c);
  memset(static_cast<void*>(out), 0, sizeof *out);
  out->img_id = img_id;
  out->row = uint32_t(c.citm_row), out->col = uint32_t(c.citm_col);
  out->cnv = c.citm_cnv;
  uint8_t* base = c.citm_area <= p->pcb_em->em_area_cnt ? p->pcb_areas[c.citm_area] : nullptr;
  out->cnv.int_addr = base ? base + c.citm_off : nullptr;
  out->cnv.int_indirect = 0, out->cnv.addr_mode = base ? 0 : 3;
  out->has_value = base != nullptr;
  out->flt = c.citm_float[0];
  return true;
}

// Blank lines before a block that an empty page cannot hold: the rest goes
// out with paging off, and the next print starts a new page.
int print_unpaged(op_report* op) {
  RPT_BLK* rpt = op->rpt;
  rpt->fit_waived = 0;
  const uint16_t len = rpt->page_len;
  rpt->page_len = 0;
  const int ok = rm_print(rpt, 1, 0);
  rpt->page_len = len;
  rpt->lines_left = 0, rpt->page_top = 0;
  if (!ok) fail(op, failure_status(rpt));
  return 1;
}

}  // namespace

void op_new_page(PCB* p) { new_page(op_rpt(p)); }

void op_post(PCB* p, uint32_t status) {
  if (p && p->pcb_err_fi) la_add_msg(p->pcb_err_fi, &status, 3, {});
}

op_report* op_rpt(PCB* p) { return p ? static_cast<op_report*>(p->pcb_rpt) : nullptr; }

void rpt_start(PCB* p, const rm_sink* sink) {
  auto* op = static_cast<op_report*>(MM_ALLOC(p->pcb_pool, sizeof(op_report)));
  if (!op) mark_leave(PI_END_CANCEL);
  memset(static_cast<void*>(op), 0, sizeof *op);
  op->pcb = p;
  op->item_count = p->pcb_em->em_itm_cnt;
  op->displayed = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, op->item_count + 1));
  memset(op->displayed, 0, op->item_count + 1);
  char id8[kPmNameLen];
  SET_BLANK(id8, sizeof id8);
  const uint16_t width = report_width(p);
  RPT_BLK* rpt = rm_create(p->invoc.proc_nam(), id8, width, nullptr, sink);
  if (!rpt) fail(op, RM_NO_FILE);
  op->rpt = rpt;
  p->pcb_rpt = op;
  if (rpt->status != 1) fail(op, rpt->status);
  settings(p, rpt);
  rpt->lines_left = rpt->page_len;
  op->line_copy = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, rm_img_len(1, width)));
  line_image(op->line_copy, width);
  op->line_img = rm_cmpl_img(rpt, op->line_copy, nullptr, nullptr);
  if (!op->line_img) fail(op, RM_NO_FILE);
  rpt->cur_img = op->line_img;
  for (uint32_t i = 1; i <= p->pcb_em->em_img_cnt; ++i) {
    pcb_img_ent* e = img_ent(p, i);
    if (e && e->rec && cimg_view(e->rec).kind() == kReportImage && !(e->word = cmpl_img(p, i))) fail(op, RM_NO_FILE);
  }
}

uint16_t cmpl_img(PCB* p, uint32_t img_index) {
  op_report* op = op_rpt(p);
  pcb_img_ent* e = img_ent(p, img_index);
  if (!op || !e || !e->rec) return 0;
  EM* em = p->pcb_em;
  const cimg_view im(e->rec);
  const uint32_t rows = im.rows(), cols = im.cols();
  if (rows > kRmMaxRows || cols > kRmMaxCols)
    return sys_err(kModule, __LINE__, "cmpl_img - image %u of %u x %u", img_index, rows, cols), 0;
  const size_t len = rm_img_len(rows, cols);
  auto* img = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, len));
  memset(img, 0, len);
  st_le16(img, IMG_COL, std::max<uint16_t>(im.start_col(), 1));
  st_le32(img, IMG_ROWS, rows), st_le32(img, IMG_COLS, cols);
  img[IMG_CMPRS] = im.compress();
  img[IMG_SEP] = im.separator() ? im.separator() : ' ';
  img[IMG_BEFORE] = im.blank_before(), img[IMG_AFTER] = im.blank_after();
  const uint32_t text = im.text_const();
  const uint8_t* t = text && text <= em->em_cnst_cnt && em->em_cn ? em->em_cn[text] : nullptr;
  if (t) memcpy(img + IMG_TEXT, t, size_t(rows) * cols);
  else memset(img + IMG_TEXT, ' ', size_t(rows) * cols);
  // The item and characteristic files of this image, for rm_cmpl_img.
  ARB* items = rm_work_file(RM_FILE_ITEMS, com.mark_scope);
  ARB* chrs = rm_work_file(RM_FILE_CHRS, com.mark_scope);
  uint16_t id = 0;
  if (items && chrs) {
    const uint32_t first = im.first_itm(), n = im.itm_cnt();
    RPT_ITM it;
    bool ok = true;
    for (uint32_t k = first; ok && k < first + n; ++k)
      if (report_item(p, k, 0, &it)) ok = rm_put(items, reinterpret_cast<const uint8_t*>(&it), sizeof it);
    // The image's characteristics: its index in their first word.
    if (ok && im.chr_cnt())
      pi_each_rec(em->em_cchr_arb, [&](const uint8_t* cr) {
        if (ok && cchr_view(cr).img() == img_index) ok = rm_put(chrs, cr, kRmRcLen);
      });
    const uint8_t* stored = ok ? rm_cmpl_img(op->rpt, img, items, chrs) : nullptr;
    id = stored ? rpt_img_view(stored).id() : 0;
  }
  rm_close(items);
  rm_close(chrs);
  mm_free(img);
  return id;
}

void op_sof(PCB* p) {
  op_report* op = op_rpt(p);
  RPT_BLK* rpt = op->rpt;
  // Held, the report heading waits in the main stack for the page heading.
  rpt->hold = 1;
  p->pcb_brk_lvl = 0;
  const uint32_t rh = load_rng_frm_no(p, 0, FRM_HEADING);
  if (rh) fp_exec(p, rh);
  rpt->hold = 0;
  new_page(op);
  op_prt_buf(p);
}

int op_img_exec(PCB* pcb, uint32_t img_index) {
  op_report* op = op_rpt(pcb);
  pcb_img_ent* e = img_ent(pcb, img_index);
  if (!op || !e || !e->word) return 1;  // not a report image
  RPT_BLK* rpt = op->rpt;
  const uint16_t id = uint16_t(e->word);
  const bool kept = op->prepared == id;
  if (!kept && !rm_exec_img(rpt, id)) fail(op, failure_status(rpt));
  const cimg_view im(e->rec);
  const uint32_t first = im.first_itm(), n = im.itm_cnt();
  RPT_ITM it;
  for (uint32_t k = first; k < first + n; ++k) {
    if (kept && k <= op->item_count && op->displayed[k]) continue;
    if (report_item(pcb, k, id, &it) && !rm_upd_itm(rpt, &it, 0, 0) && rpt->status != 1) fail(op, failure_status(rpt));
  }
  op->prepared = 0;
  memset(op->displayed, 0, op->item_count + 1);
  if (op->in_heading) return write_image(op, id), 1;
  if (op_wnd_image(e->rec)) {
    if (!op_wnd_write(op, img_index, e->rec, id)) fail(op, failure_status(rpt));
    return 1;
  }
  // The lines of a window come before the image's.
  if (!op_wnd_close(op)) fail(op, failure_status(rpt));
  write_image(op, id);
  return op_prt_buf(pcb);
}

int op_display(PCB* p, const uint8_t* addr) {
  op_report* op = op_rpt(p);
  pcb_img_ent* cur = p->pcb_cur_img ? img_ent(p, cimg_view(p->pcb_cur_img).index()) : nullptr;
  if (!op || !op->rpt || !cur || !cur->word) return 1;
  // Only before the image's display: afterwards its line is out, and a
  // value fixed now would stand in the next record's line.
  const uint16_t ep = p->pcb_em->em_cur_ep;
  if (ep != EP_IMG_START && ep != EP_IMG_PRE) return 1;
  RPT_BLK* rpt = op->rpt;
  const uint16_t id = uint16_t(cur->word);
  if (op->prepared != id) {
    if (!rm_exec_img(rpt, id)) return 0;
    op->prepared = id;
    memset(op->displayed, 0, op->item_count + 1);
  }
  const cimg_view im(cur->rec);
  const uint32_t first = im.first_itm(), n = im.itm_cnt();
  RPT_ITM it;
  for (uint32_t k = first; k < first + n; ++k) {
    if (!report_item(p, k, id, &it) || it.cnv.int_addr != addr) continue;
    if (!rm_upd_itm(rpt, &it, 0, 0)) return 0;
    if (k <= op->item_count) op->displayed[k] = 1;
  }
  return 1;
}

int op_prt_buf(PCB* p) {
  op_report* op = op_rpt(p);
  RPT_BLK* rpt = op->rpt;
  op->new_page = 0;
  // Block by block: a block refused below other lines starts a new page;
  // one refused on a page that holds only its heading (an empty page cannot
  // hold it) goes out there whole, and the next block starts a new page
  // again.
  for (;;) {
    if (rm_print(rpt, 1, 0)) return rpt->fit_waived = 0, 1;
    if (rpt->status == RM_NOT_READY) return rpt->status = 1, 1;  // held: printed later
    if (rpt->status != RM_NO_FIT) fail(op, failure_status(rpt));
    rpt->status = 1;
    if (!rpt->page_top) {
      rpt->fit_waived = 0;
      new_page(op);
    } else if (!rpt->fit_waived) {
      rpt->fit_waived = 1;
    } else {
      return print_unpaged(op);
    }
  }
}

int op_print(PCB* p, const char* text, uint16_t len, uint16_t at, uint16_t rows, uint16_t cols) {
  op_report* op = op_rpt(p);
  if (!op || !op->line_img) return 0;
  RPT_BLK* rpt = op->rpt;
  if (!op->in_heading && !op_wnd_close(op)) fail(op, failure_status(rpt));
  const uint16_t width = rpt->width;
  if (at == 0) at = 1;
  if (at > width) at = width;
  const uint16_t room = uint16_t(width - at + 1);
  const uint16_t n = std::min<uint16_t>(std::min<uint16_t>(len, cols ? cols : width), room);
  uint8_t* img = op->line_img;
  memset(img + IMG_TEXT, ' ', width);
  memcpy(img + IMG_TEXT + at - 1, text, n);
  img[IMG_BEFORE] = uint8_t(std::min<uint16_t>(rows ? rows - 1 : 0, 255));
  const bool ok = rm_exec_img(rpt, 1);
  if (ok) write_image(op, 1);
  memcpy(img + IMG_TEXT, op->line_copy + IMG_TEXT, width);
  img[IMG_BEFORE] = 0;
  if (!ok) fail(op, failure_status(rpt));
  return op->in_heading ? 1 : op_prt_buf(p);
}

void op_eof(PCB* p) {
  op_report* op = op_rpt(p);
  if (!op_wnd_close(op)) fail(op, failure_status(op->rpt));
  p->pcb_brk_lvl = 0;
  const uint32_t rt = load_rng_frm_no(p, 0, FRM_TOTAL);
  if (rt) {
    fp_exec(p, rt);
    op_sum_roll(p);
  }
  op_prt_buf(p);
}

int rpt_end(PCB* p) {
  op_report* op = op_rpt(p);
  if (!op || op->ended) return op ? !op->failed : 1;
  op->ended = 1;
  if (!op->rpt) return 0;
  if (op->failed) op->rpt->set.print = '0';  // an incomplete report never reaches the printer
  if (!rm_cleanup(op->rpt) && !op->failed) {
    op->failed = 1;
    op->status = RM_NO_FILE;
    op_post(p, op->status);
    os_note_run_failure("its print file could not be completed");
  }
  op->rpt = nullptr;
  return !op->failed;
}

}  // namespace kivo
