// The repaint: the screen composed from the main, second and base surfaces
// into merged rectangles, then, rectangle by rectangle, moved regions
// scrolled, freed rows cleared and changed region rows sent with their
// attribute runs through the terminal switch (wm_term.h).
//
// Invariants: after a repaint every region is marked painted with its row
// flags clear, and its corners are the ones on the screen; a merged
// rectangle is newly visible exactly when the terminal does not yet show its
// owner's content there.
//
// Callers: show and read (next layer up) and the status messages.
#pragma once

#include <cstdint>
#include <vector>

#include "screen/wm.h"

namespace kivo {

// A merged rectangle (a TRECT record in memory), physical coordinates.
struct wm_trect {
  uint32_t own;  // window id, 0 = background
  ut_rect phys;
  uint8_t new_vis;
  uint8_t pos_type;  // POS_MAIN_SRF, POS_POP_SRF, POS_BASE_SRF
};

// Composes the screen unless nothing about the surfaces changed since the
// last composition. The base surface is com.base_srf.
void reset_srf(TSRF* main, TSRF* pop);
// The merged rectangles in key order (bottom row, bottom col).
const std::vector<wm_trect>& wm_trects();
// Sends what changed; 0 after a reported failure.
int upd_scr();
// Region corners from placement (window state bit WND_COMMIT set).
void reset_wnd(TWND* w);
// reset_srf then upd_scr.
int wm_repaint(TSRF* main, TSRF* pop);
// Forgets the last composition (a fresh session or a new terminal).
void wm_repaint_reset();

// Shows the screen for the status messages: once the window manager has
// started a repaint and a show without input (wm_show_status, wm_show.h),
// else a repaint of the current surfaces.
void wm_show_screen();

}  // namespace kivo
