// Printing the base buffer of the current stack (rm_print): upper buffers
// merged down, pending blanks, then every line that is not a placeholder
// through the sink, each marked as a placeholder once out, so that a call
// refused in the middle of a page goes on where it stopped. A block that the
// caller found longer than an empty page is let through once
// (`fit_waived`): it runs past the page's end, and the next block is refused.
// Every line counts against the page, blank ones too; blank lines that would
// open a page below its heading (`page_top`) are not printed on a paged
// report; a report without pages prints every blank line it is given.
//
// The sink's line count is one byte: longer advances go out as several of at
// most 255 lines, and a skip beyond line 255 as a skip to 255 and advances.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/sys_err.h"
#include "process/rm_internal.h"
#include "process/rm_view.h"

namespace kivo {

namespace {

constexpr uint32_t kMaxCount = 255;

int put(RPT_BLK* rpt, uint8_t kind, uint32_t count, const char* text, uint16_t len, const std::vector<PM_RUN>* runs) {
  PM_LINE l{};
  l.kind = kind;
  l.count = uint16_t(count);
  l.text = text;
  l.len = text ? len : 0;
  l.run_count = runs ? uint8_t(std::min<size_t>(runs->size(), 255)) : 0;
  l.runs = runs && !runs->empty() ? runs->data() : nullptr;
  if (rpt->sink.write(rpt->pm, &l)) return 1;
  rm_print_failed(rpt, __LINE__, "print - pm_write failed", false);
  return 0;
}

// `n` line feeds, then the text when given.
int advance(RPT_BLK* rpt, uint32_t n, const char* text = nullptr, uint16_t len = 0,
            const std::vector<PM_RUN>* runs = nullptr) {
  for (; n > kMaxCount; n -= kMaxCount)
    if (!put(rpt, PM_ADVANCE, kMaxCount, nullptr, 0, nullptr)) return 0;
  if (n == 0 && !text) return 1;
  return put(rpt, PM_ADVANCE, n, text, len, runs);
}

int skip_to(RPT_BLK* rpt, uint32_t line) {
  if (line <= kMaxCount) return put(rpt, PM_TO_LINE, line, nullptr, 0, nullptr);
  return put(rpt, PM_TO_LINE, kMaxCount, nullptr, 0, nullptr) && advance(rpt, line - kMaxCount);
}

void count_lines(RPT_BLK* rpt, bool paging, uint32_t n) {
  rpt->lines_left = paging ? rpt->lines_left - int32_t(n) : rpt->lines_left + int32_t(n);
}

// Step 1: where the lines start.
int position(RPT_BLK* rpt, int32_t pos, bool paging) {
  if (pos == -1) {
    if (paging) rpt->lines_left = rpt->page_len;  // a new page has all its lines
    return put(rpt, PM_NEW_PAGE, 0, nullptr, 0, nullptr);
  }
  if (pos < -1) {
    sys_err(kRmMod, __LINE__, "prt_buf - invalid line position");
    return 0;
  }
  if (pos == 0 || uint32_t(pos) <= rpt->pm->line) return 1;
  if (!skip_to(rpt, uint32_t(pos))) return 0;
  if (paging) rpt->lines_left = int32_t(rpt->page_len) - pos + 1;
  return 1;
}

bool holds_lines(RPT_BUF* b) {
  const uint8_t* l = rm_from(b->line_arb, nullptr, false);
  return b->pending || (l && rpt_line_view(l).no() <= b->last_line);
}

// Lines from the block start `no` to before the next block start, reading
// on; the block start is held again afterwards. 0 when it is lost.
uint32_t block_extent(RPT_BUF* b, uint32_t no) {
  uint32_t last = no;
  for (const uint8_t* l = rm_next(b->line_arb, false); l; l = rm_next(b->line_arb, false)) {
    const uint32_t n = rpt_line_view(l).no();
    if (n > b->last_line || rpt_line_view(l).block()) break;
    last = n;
  }
  if (!ln_read(b, no, b->work)) {
    sys_err(kRmMod, __LINE__, "rm_print() - bad line position");
    return 0;
  }
  return last - no + 1;
}

bool chr_list(RPT_BUF* b, uint32_t no, uint32_t count, std::vector<PM_RUN>* runs) {
  runs->clear();
  if (count == 0) return true;
  uint8_t key[kRmChrLen] = {};
  st_le32(key, BC_LINE, no);
  for (const uint8_t* c = rm_from(b->chr_arb, key, false); c && runs->size() < count; c = rm_next(b->chr_arb, false)) {
    const buf_chr_view chr(c);
    if (chr.line() != no) break;
    runs->push_back({chr.attr(), chr.col(), chr.len(), chr.colour()});
  }
  if (runs->size() == count) return true;
  sys_err(kRmMod, __LINE__, "print - not enough chr's");
  return false;
}

// Whether what prints next opens a page of a paged report right below its
// heading.
bool below_heading(const RPT_BLK* rpt, bool paging, bool page_stack) { return rpt->page_top && paging && !page_stack; }

// A blank line (a block's blank line before it) that would open the page
// right below its heading: left out, as the heading's own end the space.
bool opens_page(const RPT_BLK* rpt, RPT_BUF* b, const uint8_t* w, bool paging, bool page_stack) {
  if (!below_heading(rpt, paging, page_stack) || rpt_line_view(w).nchr()) return false;
  const uint8_t* text = w + LN_TEXT;
  return std::all_of(text, text + b->width, [](uint8_t c) { return c == ' '; });
}

// The line is out: a placeholder from now on, so that a call refused
// later on the page does not print it again.
int done(RPT_BUF* b, uint8_t* w) {
  w[LN_PLACEHOLDER] = 1;
  if (ln_write(b, w, true)) return 1;
  sys_err(kRmMod, __LINE__, "rm_print - line rewrite failed");
  return 0;
}

// Step 5: the lines. 1 done, 0 refused or failed.
int print_lines(RPT_BLK* rpt, RPT_BUF* b, bool paging, bool page_stack) {
  uint32_t prev = 0;
  std::vector<PM_RUN> runs;
  uint8_t* w = b->work;
  for (const uint8_t* l = rm_from(b->line_arb, nullptr, true); l; l = rm_next(b->line_arb, true)) {
    const uint32_t no = rpt_line_view(l).no();
    if (no > b->last_line) break;
    ln_blank(b, w, no);
    memcpy(w, l, std::min<size_t>(b->line_arb->arb_len, ln_len(b)));
    if (rpt_line_view(w).placeholder()) {
      prev = no;
      continue;
    }
    const bool fit_test = rpt_line_view(w).block() && paging && !page_stack;
    if (fit_test && rpt->fit_waived) {
      rpt->fit_waived = 0;
    } else if (fit_test) {
      const uint32_t extent = block_extent(b, no);
      if (extent == 0) return 0;
      if (int64_t(extent) > rpt->lines_left) {
        rm_unhold(b->line_arb);
        rpt->status = RM_NO_FIT;
        return 0;
      }
    }
    if (opens_page(rpt, b, w, paging, page_stack)) {
      prev = no;
      if (!done(b, w)) return 0;
      continue;
    }
    if (!chr_list(b, no, rpt_line_view(w).nchr(), &runs)) return 0;
    const uint32_t step = below_heading(rpt, paging, page_stack) ? 1 : no - prev;
    if (!page_stack) rpt->page_top = 0;
    count_lines(rpt, paging, step);
    if (!advance(rpt, step, reinterpret_cast<const char*>(w + LN_TEXT), b->width, &runs)) return 0;
    prev = no;
    if (!done(b, w)) return 0;
  }
  uint32_t trailing = b->last_line - std::min(prev, b->last_line);
  if (paging && int64_t(trailing) > rpt->lines_left) trailing = uint32_t(std::max(rpt->lines_left, 0));
  if (below_heading(rpt, paging, page_stack)) trailing = 0;
  count_lines(rpt, paging, trailing);
  return advance(rpt, trailing);
}

}  // namespace

void rm_print_failed(RPT_BLK* rpt, int line, const char* what, bool last) {
  const PM_BLK* pm = rpt->pm;
  const std::string words = pm_status_text(pm->status);
  char text[kUtDbgSize];
  snprintf(text, sizeof text, "%s(0x%x)%s%s", what, pm->status, words.empty() ? "" : ": ", words.c_str());
  const bool shown = rpt->failure_shown == pm->status;
  rpt->failure_shown = last ? 0 : pm->status;
  // A full folder or the size limit is the user's to put right: said in
  // words, not as a fault.
  if (const char* remedy = pm_status_remedy(pm->status); !shown && remedy)
    return sys_notice(kRmMod, line, "%s: %s", words.c_str(), remedy);
  if (!shown) return sys_err(kRmMod, line, "%s", text);
  char entry[kUtDbgSize + 16];
  snprintf(entry, sizeof entry, "%s.%d: %s", kRmMod, line, text);
  sys_err_log(entry);
}

int rm_print(RPT_BLK* rpt, int flag, int32_t pos) {
  const bool paging = rpt->page_len != 0;
  if (!position(rpt, pos, paging)) return 0;
  if (!rm_empty(rpt, rpt->rpt_top->id, 1, flag)) {
    sys_err(kRmMod, __LINE__, "print - Failed to end buffers");
    return 0;
  }
  RPT_BUF* base = rpt->rpt_top;
  const bool page_stack = base == rpt->rpt_page;
  if (rpt->hold && holds_lines(base)) {
    rpt->status = RM_NOT_READY;
    return 0;
  }
  if (base->pending && below_heading(rpt, paging, page_stack)) base->pending = 0;
  if (base->pending) {
    if (paging && !page_stack && rpt->lines_left <= base->pending) {
      rpt->status = RM_NO_FIT;
      return 0;
    }
    if (!advance(rpt, base->pending)) return 0;
    count_lines(rpt, paging, base->pending);
    base->pending = 0;
  }
  if (!print_lines(rpt, base, paging, page_stack)) return 0;
  return rm_reset_buf(base, 1, 0);
}

}  // namespace kivo
