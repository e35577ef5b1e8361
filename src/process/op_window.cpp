// Report images that ask for a window (compiled scroll type 1-3): labels
// placed region by region down and across (1), images side by side (2) and
// columns of flowing text (3). A report has at most one window open, in
// buffer 0 of its main stack, for the image that writes through it; the
// window's lines wait there until it is full, or another image, a PRINT or
// the report's end comes, and then go out.
//
// Geometry, from the compiled image: a region holds one image (its blank
// lines before and its rows; type 1 also the columns before its start
// column, since its regions are placed from column 1). The window's rows
// and columns are the image's window row and column words when set; else
// one row of regions (type 3 on a paged report: the lines left on the
// page) across the report from the image's start column.
//
// Callers: the report glue (op_report.cpp), outside the page heading.
#include <algorithm>
#include <cstring>

#include "compiler/em_image.h"
#include "process/op.h"

namespace kivo {

namespace {

enum : uint8_t { SCROLL_REGIONS = 1, SCROLL_SIDE = 2, SCROLL_FLOW = 3 };

uint32_t start_col(cimg_view im) { return std::max<uint32_t>(im.start_col(), 1); }

// Lines an image takes below its own rows: blank lines after, a separator.
uint32_t lines_after(cimg_view im) {
  const uint8_t sep = im.separator();
  return uint32_t(im.blank_after()) + (sep && sep != ' ' ? 1 : 0);
}

uint32_t default_rows(const RPT_BLK* rpt, cimg_view im, uint32_t reg_rows) {
  switch (im.scroll()) {
    case SCROLL_REGIONS: return reg_rows;
    case SCROLL_FLOW:
      // The lines left on the page, but room for one image at least.
      if (rpt->page_len) return std::max<uint32_t>(uint32_t(std::max(rpt->lines_left, 0)), reg_rows + lines_after(im));
      [[fallthrough]];
    default: return reg_rows + lines_after(im);
  }
}

// The request for image `im`'s window, attached to buffer 0.
bool open(op_report* op, uint32_t img_index, cimg_view im) {
  RPT_BLK* rpt = op->rpt;
  RPT_WND& w = op->wnd;
  memset(static_cast<void*>(&w), 0, sizeof w);
  w.type = im.scroll();
  const uint32_t start = start_col(im);
  w.reg_rows = std::max<uint32_t>(im.rows() + im.blank_before(), 1);
  w.reg_cols = im.cols() + (w.type == SCROLL_REGIONS ? start - 1 : 0);
  // A flowing window on a page too full for one image starts the next page,
  // unless the page holds only its heading: the next one would hold no more.
  if (w.type == SCROLL_FLOW && rpt->page_len && !rpt->page_top &&
      rpt->lines_left < int32_t(w.reg_rows + lines_after(im)))
    op_new_page(op->pcb);
  const uint32_t rows = im.win_row(), cols = im.win_col();
  const uint32_t room = w.type == SCROLL_REGIONS ? rpt->width : rpt->width - std::min<uint32_t>(start - 1, rpt->width);
  w.rows = std::max(rows ? rows : default_rows(rpt, im, w.reg_rows), w.reg_rows);
  w.cols = std::max(cols ? cols : room, w.reg_cols);
  if (!rm_attach(rpt, 0, &w)) return false;
  op->wnd_img = img_index;
  return true;
}

}  // namespace

bool op_wnd_image(const uint8_t* im) {
  if (!im) return false;
  const uint8_t scroll = cimg_view(im).scroll();
  return scroll >= SCROLL_REGIONS && scroll <= SCROLL_FLOW;
}

uint32_t op_wnd_width(const uint8_t* rec) {
  if (!op_wnd_image(rec)) return 0;
  const cimg_view im(rec);
  const uint32_t cols = im.win_col();
  if (im.scroll() == SCROLL_REGIONS) return cols ? cols : start_col(im) - 1 + im.cols();
  return start_col(im) - 1 + (cols ? cols : im.cols());
}

int op_wnd_close(op_report* op) {
  if (!op->wnd_img) return 1;
  op->wnd_img = 0;
  // A type-1 window places its regions left over as it is detached.
  if (!rm_detach(op->rpt, 0, op->wnd.id)) return 0;
  return op_prt_buf(op->pcb);
}

int op_wnd_write(op_report* op, uint32_t img_index, const uint8_t* im, uint16_t id) {
  RPT_BLK* rpt = op->rpt;
  if (op->wnd_img != img_index && (!op_wnd_close(op) || !open(op, img_index, cimg_view(im)))) return 0;
  if (!rm_write_img(rpt, id, nullptr, 0, &op->wnd)) {
    if (rpt->status != RM_NO_FIT) return 0;
    // The window is full: its lines go out, and the image begins it anew.
    rpt->status = 1;
    if (!op_wnd_close(op) || !open(op, img_index, cimg_view(im)) || !rm_write_img(rpt, id, nullptr, 0, &op->wnd))
      return 0;
  }
  // Labels go out as soon as every region of theirs is placed.
  if (op->wnd.type == SCROLL_REGIONS && op->wnd.cur_region == 0) return op_prt_buf(op->pcb);
  return 1;
}

}  // namespace kivo
