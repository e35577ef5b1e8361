// Record layouts of the window manager's memory files other than RECT
// (wm_rect.h): the composed screen (TRECT), compiled keymaps (TKEYMAP), the
// items and attribute runs of a window (TITM, TCHR) and the status-line
// fields ("SI", "SC"). Object fields hold ids from the window manager's
// table (wm.h), never addresses.
//
// Callers: start, repaint and regions fill these files; the dumps read them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fm/fm_objects.h"
#include "types/cnv.h"

namespace kivo {

// The window manager's memory files by their two-letter names.
enum class wm_file { RECT, TRECT, TKEYMAP, TITM, TCHR, SI, SC };

// Creates a transient memory file of the kind at `scope` under a name of
// its own for the run. Null after a reported system error naming `what`.
ARB* wm_create_file(wm_file kind, uint32_t scope, const char* what);

// TRECT, one per process, 56 bytes; key 0 (physical bottom row, col) unique.
constexpr size_t TRECT_OBS = 0;
constexpr size_t TRECT_OWN = 4;
constexpr size_t TRECT_TL_ROW = 8;
constexpr size_t TRECT_TL_COL = 12;
constexpr size_t TRECT_BR_ROW = 16;
constexpr size_t TRECT_BR_COL = 20;
constexpr size_t TRECT_ROWS = 24;
constexpr size_t TRECT_COLS = 28;
constexpr size_t TRECT_NEW_VIS = 32;
constexpr size_t TRECT_POS_TYPE = 33;
constexpr size_t TRECT_PHY_TL_ROW = 36;
constexpr size_t TRECT_PHY_TL_COL = 40;
constexpr size_t TRECT_PHY_BR_ROW = 44;
constexpr size_t TRECT_PHY_BR_COL = 48;
constexpr size_t kTrectRecLen = 56;
static_assert(TRECT_PHY_BR_COL + 4 <= kTrectRecLen, "TRECT record is 56 bytes");

// POS TYPE of a composed rectangle.
enum : uint8_t { POS_MAIN_SRF = 4, POS_POP_SRF = 5, POS_BASE_SRF = 7 };

// TKEYMAP, one per process, 16 bytes; key 0 the name, unique.
constexpr size_t TKEYMAP_NAME = 0;
constexpr size_t kKeymapNameLen = 10;
constexpr size_t TKEYMAP_HANDLE = 12;
constexpr size_t kTkeymapRecLen = 16;
static_assert(TKEYMAP_HANDLE + 4 == kTkeymapRecLen, "TKEYMAP record is 16 bytes");

// TCHR, one per window, and "SC", 40 bytes; key 0 (TREG, row, col).
constexpr size_t TCHR_REG = 0;
constexpr size_t TCHR_TL_ROW = 4;
constexpr size_t TCHR_TL_COL = 8;
constexpr size_t TCHR_BR_ROW = 12;
constexpr size_t TCHR_END_COL = 16;
constexpr size_t TCHR_LENGTH = 20;
constexpr size_t TCHR_MASK = 24;
constexpr size_t TCHR_CHAR = 28;
constexpr size_t TCHR_ITEM = 32;  // owning TITM's id, 0 = none
constexpr size_t TCHR_CNV = 36;   // the item's conversion block id
constexpr size_t kTchrRecLen = 40;
static_assert(TCHR_CNV + 4 == kTchrRecLen, "TCHR record is 40 bytes");
constexpr uint32_t CHR_BOX_RUN = 0x08000000;

// TITM, one per window, and "SI". Kept in memory only: the pointer to the
// caller's status byte makes it wider than the 236 (228) bytes of the
// 32-bit layout; fields in the same order.
struct TITM {
  uint32_t reg;  // the region's id
  int32_t tl_row, tl_col;
  CNV cnv;          // the item's conversion block
  uint32_t edited;  // nonzero: changed on the screen, convert back
  uint8_t* stat;    // the caller's status byte, set to 2 once converted
  uint32_t spare;
  int32_t br_row, br_col;
};

}  // namespace kivo
