// A surface's rectangle file (RECT): the whole plane divided into
// rectangles, each naming the window whose area it is (OWN, 0 = background)
// and the window that covers it (OBS, 0 = visible), and the algebra that keeps
// it right as windows come and go.
//
// Invariants after every operation: the visible rectangles tile the plane
// exactly once and form horizontal bands (all visible rectangles that start
// on one row have the same height); every window's rectangles tile its area;
// a covered rectangle names the window directly above its owner there.
//
// Callers: wm_surface.cpp (attach, detach, create) and the dumps.
#pragma once

#include <cstdint>
#include <vector>

#include "fm/fm_objects.h"
#include "foundation/rect.h"

namespace kivo {

struct TSRF;
struct TWND;

// Stored record, 36 bytes.
constexpr size_t RECT_OBS = 0;
constexpr size_t RECT_OWN = 4;
constexpr size_t RECT_TL_ROW = 8;
constexpr size_t RECT_TL_COL = 12;
constexpr size_t RECT_BR_ROW = 16;
constexpr size_t RECT_BR_COL = 20;
constexpr size_t RECT_ROWS = 24;
constexpr size_t RECT_COLS = 28;
constexpr size_t RECT_NEW_VIS = 32;
constexpr size_t kRectRecLen = 36;

// A rectangle record as the algebra works on it.
struct wm_rect {
  uint32_t obs;
  uint32_t own;
  ut_rect r;
  uint8_t new_vis;
};

void rect_pack(const wm_rect& w, uint8_t* rec);
wm_rect rect_unpack(const uint8_t* rec);

// Creates the RECT file of a surface at `scope` with its first rectangle and
// the stream of visible rectangles. 0 after a reported failure.
int rect_file_create(TSRF* srf, uint32_t scope);
// Closes the file with scratch.
void rect_file_close(TSRF* srf);
// Every rectangle of the surface in key 0 order (owner, row, col).
std::vector<wm_rect> rect_load(TSRF* srf);

// Replaces the surface's rectangles by `now`, writing only what changed
// (the repaint clears NEW_VIS this way). 0 after a reported failure.
int rect_save(TSRF* srf, const std::vector<wm_rect>& now);

// Covers the plane under window `w` (attach); 0 after a reported failure.
int make_rect(TSRF* srf, TWND* w);
// Removes window `w`'s rectangles, giving the cells below it the cover it
// had (detach), then normalises.
int uncover_rect(TSRF* srf, TWND* w);

// The normalisation steps over an in-memory set (exposed for the tests).
void merge_rect(std::vector<wm_rect>& rs);
void limit_rect(std::vector<wm_rect>& rs);

}  // namespace kivo
