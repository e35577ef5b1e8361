// The image editor: one image (its row text, items, characteristics and the
// translation exceptions of its text) edited in work files and drawn on the
// terminal. A design application calls "IE_INIT" once and "IE_EDIT" until
// the request comes back negative; each return asks the application for
// something (an item's details, cursor flags) that the next entry finishes.
//
// Invariants: the control block lives in the caller's data, so it names its
// level's state only by a registry handle, checked at every entry; each
// level's line buffers hold exactly the image's columns for each of its
// rows; the caller's record buffers are as they were on every return.
//
// Callers: the routine rows "IE_INIT" and "IE_EDIT" (ie_register), tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "compiler/pcb.h"
#include "fm/fm_objects.h"
#include "screen/wm.h"
#include "screen/wm_files.h"

namespace kivo {

// IE_CTL, the caller's control block (26 bytes).
enum : size_t {
  IEC_AP = 0,         // 3
  IEC_VER = 3,        // 2
  IEC_LANG = 5,       // 3, blank: the base language
  IEC_ROW = 8,        // u32 cursor row on entry
  IEC_COL = 12,       // u32 cursor column
  IEC_REQUEST = 16,   // u8
  IEC_EDITABLE = 17,  // '1' editable, '0' view only
  IEC_MESSAGE = 18,   // u32, 0 none
  IEC_STATE = 22,     // u32 registry handle of the level's IE_STATE
};
constexpr size_t kIeCtlSize = 26;
static_assert(IEC_STATE + 4 == kIeCtlSize);

// Request codes.
enum : uint8_t {
  IE_REQ_ITEM = 1,
  IE_REQ_CHR = 2,
  IE_REQ_OPT15 = 3,
  IE_REQ_INQUIRE = 4,
  IE_REQ_HELP = 5,
  IE_REQ_CURSOR = 6,
  IE_REQ_NEW_ITEM = 7,
  IE_REQ_OPT0 = 8,
  IE_REQ_XCEPT = 9,
  IE_REQ_BOX = 10,
  IE_REQ_INIT = 'c',
  IE_END_SAVED = 255,
  IE_END = 254,
  IE_END_OPT11 = 253,
};

// Item work record: the ITEM record, then its display rows and columns.
constexpr size_t kIeItemSize = 212;
enum : size_t { IW_DROWS = 204, IW_DCOLS = 208 };
// Cursor-position work record.
constexpr size_t kIeCursSize = 40;
enum : size_t { CU_AP = 0, CU_FIELD = 3, CU_BLANK = 25, CU_OCC = 26, CU_INDEX = 28, CU_FLAGS = 30 };
static_assert(CU_FLAGS + 10 == kIeCursSize);

// EXCEPT record (the fields the editor touches).
constexpr size_t kXceptSize = 2196;
enum : size_t {
  XC_FILE = 0,     // 8
  XC_FIELD = 8,    // 22
  XC_KEYVAL = 32,  // 80: the ROW key of the row
  XC_LANG = 112,   // 3
  XC_COL = 116,    // u16
  XC_LEN = 142,    // u16
};
constexpr size_t kXceptKeyLen = 118;               // file name to column
constexpr size_t XC_ROW = size_t{XC_KEYVAL} + 40;  // u32: the row in the ROW key

constexpr int kIeMaxLevel = 9;  // levels 1-9; level 0 is nobody's
constexpr uint32_t kIeUnset = 32767;

// Cell map bits.
enum : uint32_t {
  CM_BASE_INPUT = 0x03,
  CM_BASE = 0x02,
  CM_FIRST = 0x0C,
  CM_BOLD = 0x40,
  CM_REVERSE = 0x80,
  CM_UNDERLINE = 0x100,
  CM_BLINK = 0x200,
  CM_ITEM = 0x3000,
  CM_FLAG = 0x4000,
  CM_BOX_FIRST = 0x08000000,
  CM_BOX = 0x88000000,
};

// The level's state between two calls of "IE_EDIT".
struct IE_STATE {
  uint32_t handle = 0;
  int level = 0;
  TSRF *main = nullptr, *pop = nullptr;
  uint8_t saved = 0;             // 1 after a save
  uint8_t xcept_view = 0;        // 1: exceptions replace characteristics on the display
  std::vector<TITM> litm;        // " IE_LITM ": one item per row of text
  std::vector<CHR_BLK> lchr;     // " IE_LCHR ": the attribute runs and boxes
  ARB* dchr = nullptr;           // CHR design file
  ARB* chrs = nullptr;           // characteristics work file ("0IE")
  ARB* echr = nullptr;           // exception characteristics
  ARB* xcept = nullptr;          // caller's exception work file
  ARB* ditm = nullptr;           // ITEM design file
  ARB* itms = nullptr;           // caller's item work file
  ARB* rows = nullptr;           // caller's row work file
  ARB* drow = nullptr;           // ROW design file
  ARB* delem = nullptr;          // ELEMENT design file
  ARB* curs = nullptr;           // " IE_CURS "
  ARB* msgs = nullptr;           // message work file
  std::vector<TITM> pitm[7];     // " IE_PITM ", by panel
  std::vector<CHR_BLK> pchr[7];  // " IE_PCHR ", by panel
  TWND* img_wnd = nullptr;
  TWND* backdrop = nullptr;
  TWND* panel[7] = {};
  TWND* transient = nullptr;
  uint8_t* img = nullptr;      // caller's IMAGE record, set on each entry
  uint8_t* cur_itm = nullptr;  // caller's item buffer
  char ap[3], ver[2];
  uint32_t nrows = 0, ncols = 0;
  std::vector<std::string> line;  // line buffers, [1..rows]
  bool panel_up = false;          // a transient panel was up before this key
  uint8_t* ctl = nullptr;         // caller's control block, set on each entry
  uint8_t editable = '0';         // the control block's editable flag at the last entry
};

extern int recurs_lvl;
// The registry handle of the level that last entered "IE_EDIT" (the graphical
// client's requests act on it); 0 none. A level that ends hands it to the
// level it returns to.
extern uint32_t last_ie;
extern uint8_t ie_row, ie_col;

// The level named by the control block, or null (a stale or made-up handle).
IE_STATE* ie_state(const uint8_t* ctl);

// "IE_INIT": 1, or 0 when nothing was opened (a tenth level, a bad image).
int ie_init(PCB* pcb, uint8_t* img, ARB* itms, uint8_t* ctl, ARB* rows, ARB* xcept);

// "IE_EDIT": 1, or 0 for a control block that names no level.
int ie_edit(PCB* pcb, uint8_t* img, uint8_t* itm_buf, uint8_t* curs_buf, ARB* itms, uint8_t* chr_buf, uint8_t* ctl,
            ARB* rows, ARB* xcept);

// ---- model (ie_display.cpp) ----
void populate_itm(IE_STATE* st, const uint8_t* img);
int populate_chr(IE_STATE* st, const uint8_t* img, bool input);
void populate_echr(IE_STATE* st, ARB* xcept);
int check_bounds(uint32_t lim_rows, uint32_t lim_cols, uint32_t row, uint32_t col, uint32_t rows, uint32_t cols);
int get_itm_dspl_size(IE_STATE* st, uint8_t* itm, const uint8_t* img);
int upd_row(IE_STATE* st, const uint8_t* img);
// The display rebuilt (with `rows`, the line buffers from the row work file
// first) and the image window redrawn when it is up.
void ie_rebuild(IE_STATE* st, bool input, bool rows = true);
void ie_redraw(IE_STATE* st);

// ---- rows and characters (ie_lines.cpp); 1 done, 0 refused ----
int scr_insert_line(IE_STATE* st, uint32_t row);
int scr_delete_line(IE_STATE* st, uint32_t row);
// Rows first..last moved so that they begin at `dest` of the image after the
// cut; 0 (beep) when they would not fit.
int ie_move_rows(IE_STATE* st, uint32_t first, uint32_t last, uint32_t dest);
int scr_mv_char(IE_STATE* st, uint32_t row, uint32_t col, int key);
int scr_img_rc(IE_STATE* st, uint32_t row, uint32_t col, uint8_t* curs);

// ---- items and exceptions (ie_items.cpp) ----
enum ie_itm_key { IE_ADD_MODE, IE_CHANGE_MODE, IE_KEY101 };
int scr_def_itm(IE_STATE* st, uint8_t* ctl, uint32_t row, uint32_t col, ie_itm_key key, uint8_t* itm);
int add_itm(IE_STATE* st, uint8_t* itm);
int del_itm(IE_STATE* st, uint8_t* itm, uint32_t row, uint32_t col);
// The place test of a move: 1 when the item may stand at (row, col).
int ie_move_ok(IE_STATE* st, const uint8_t* itm, uint32_t row, uint32_t col);
void prep_dxcept(uint8_t* rec, const uint8_t* img, const uint32_t* row, const uint16_t* col, const char* lang);
int move_except_row(IE_STATE* st, uint32_t row, const uint32_t* col, int32_t delta, uint32_t limit);
int delete_except_row(IE_STATE* st, uint32_t row);
ARB* create_tmp_xcept(uint32_t scope);

// ---- characteristics, boxes and centring (ie_chr.cpp) ----
// Merges the characteristic buffer into the characteristics work file (or
// stores a box); 1 done, 0 after a reported file failure.
int add_chr(IE_STATE* st, const uint8_t* chr);
// Centres the contents of row R; 1 moved, 0 nothing to move or a failure.
int scr_center(IE_STATE* st, uint32_t row);

// ---- save (ie_save.cpp) ----
// 1 when every write succeeded (the saved flag set); 0 after a reported
// failure, the model kept and the flag as it was.
int scr_save(IE_STATE* st, uint8_t* img);

// Closes the level: files, windows, buffers, the handle; `last_ie` passes
// to the level below when it named this one.
void ie_close(IE_STATE* st, uint8_t* ctl);
// The level `last_ie` names, or null.
IE_STATE* ie_last();

// The show and read of the key loop is editors_seams.ie_show (editors/editors.h).

// Adds the rows "IE_INIT" and "IE_EDIT" to the routine table.
void ie_register();

}  // namespace kivo
