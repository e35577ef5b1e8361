// The window manager's debug dumps: its model printed to standard output
// under fixed headings and column titles, each title line followed by a
// dashed rule as wide as it. Objects print by id ("%08X"), pairs as
// "(%4d,%4d)".
#include <cstdio>
#include <cstring>

#include "screen/wm.h"
#include "screen/wm_rect.h"
#include "screen/wm_region.h"
#include "screen/wm_repaint.h"

namespace kivo {

namespace {

const char* const kSrfCols = "TSRF      TWND_CNT   SRF_SIZE     POSITION     ORIGIN      SCOPE";
const char* const kWndCols = "    TWND       TOP-LEFT     BOT-RIGHT  REG_CNT  CUR_REG  LST_STAT";
const char* const kTwndCols = "TWND      TSRF          SIZE     REG_CNT  CUR_REG  LST_STAT";
const char* const kRegCols = "    TREG         SIZE       ROW  ACROSS   VIS";
const char* const kItmCols = "    TITM      TREG       TOP-LEFT     BOT-RIGHT";
const char* const kChrCols = "    TCHR      TREG       TOP-LEFT    LENGTH  MASK";
const char* const kLimboCols = "    TWND          SIZE     REG_CNT  CUR_REG  LST_STAT";
const char* const kRectCols = "    OWN        TOP-LEFT         BOTTOM-RIGHT        OBS       NEW_VIS";
const char* const kTrectCols = "POS TYPE  OWN WND    TOP-LEFT     BOT-RIGHT   NEW_VIS";

void title(const char* cols) {
  size_t n = strlen(cols);
  printf("%s\n", cols);
  size_t lead = strspn(cols, " ");
  printf("%*s", int(lead), "");
  for (size_t i = lead; i < n; ++i) putchar('-');
  putchar('\n');
}

uint32_t srf_id(const TSRF* s) { return s ? s->id : 0; }

void srf_line(const TSRF* s) {
  title(kSrfCols);
  printf("%08X  %8u  (%4d,%4d)  (%4d,%4d)  (%4d,%4d)  %5u\n", s->id, s->TWND_CNT, s->SRF_SIZE.row, s->SRF_SIZE.col,
         s->POSITION.row, s->POSITION.col, s->ORIGIN.row, s->ORIGIN.col, s->SCOPE);
}

void wnd_tail(const TWND* w) { printf("  %7u  %7u  %8u\n", w->REG_CNT, w->CUR_REG, w->LST_STAT); }

}  // namespace

void dbg_wm() {
  printf("Surfaces and Their Windows:\n");
  for (TSRF* s = xwm.first_srf; s; s = s->next) {
    srf_line(s);
    title(kWndCols);
    for (TWND* w = s->first_wnd; w; w = w->srf_next) {
      printf("    %08X  (%4d,%4d)  (%4d,%4d)", w->id, w->blk.row, w->blk.col, w->BOT_RIGHT.row, w->BOT_RIGHT.col);
      wnd_tail(w);
    }
  }
}

void dbg_twnd(TWND* w) {
  printf("Regions, Items and Characteristics for a Window:\n\n");
  if (!w) return;
  title(kTwndCols);
  printf("%08X  %08X  (%4d,%4d)", w->id, srf_id(w->srf), w->blk.rows, w->blk.cols);
  wnd_tail(w);
  title(kRegCols);
  for (TREG* r = w->first_reg; r; r = r->next)
    printf("    %08X  (%4d,%4d)  %4u  %6u  %4u\n", r->id, r->SIZE.row, r->SIZE.col, r->ROW, r->ACROSS, r->VIS);
  if (!w->tables) {
    title(kItmCols);
    title(kChrCols);
    return;
  }
  title(kItmCols);
  for (auto& [k, it] : w->tables->items)
    printf("    %08X  %08X  (%4d,%4d)  (%4d,%4d)\n", it.spare, it.reg, it.tl_row, it.tl_col, it.br_row, it.br_col);
  title(kChrCols);
  for (auto& [k, c] : w->tables->chrs)
    printf("    %08X  %08X  (%4d,%4d)  %6d  %08X\n", c.item, std::get<0>(k), c.row, c.col, c.len(), c.mask);
}

void dbg_limbo() {
  printf("Windows In Limbo:\n\n");
  title(kLimboCols);
  for (TWND* w = xwm.first_wnd; w; w = w->next) {
    if (w->srf) continue;
    printf("    %08X  (%4d,%4d)", w->id, w->blk.rows, w->blk.cols);
    wnd_tail(w);
  }
}

void dbg_tsrf() {
  printf("Surfaces and Rectangles:\n\n");
  for (TSRF* s = xwm.first_srf; s; s = s->next) {
    srf_line(s);
    title(kRectCols);
    for (const wm_rect& r : rect_load(s))
      printf("    %08X  (%4d,%4d)  (%10d,%10d)  %08X  %7u\n", r.own, r.r.tl.row, r.r.tl.col, r.r.br.row, r.r.br.col,
             r.obs, r.new_vis);
  }
}

void dbg_trect() {
  printf("Merged Rectangles:\n\n");
  title(kTrectCols);
  for (const wm_trect& t : wm_trects())
    printf("%8u  %08X  (%4d,%4d)  (%4d,%4d)  %7u\n", t.pos_type, t.own, t.phys.tl.row, t.phys.tl.col, t.phys.br.row,
           t.phys.br.col, t.new_vis);
}

void dbg_scope() {
  for (TWND* w = xwm.first_wnd; w; w = w->next) printf("twnd: 0x%08X - scope: %04d\n", w->id, int(w->SCOPE));
}

}  // namespace kivo
