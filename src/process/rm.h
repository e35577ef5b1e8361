// Report manager: the pages of a report are composed in stacks of buffers of
// numbered lines (memory files), into which images are written, merged down
// and printed line by line through a sink (the print manager, or a caller's
// functions that show pages on the screen).
//
// Invariants:
//  - A stack is circular: the base's `below` is the top, the top's `above`
//    is the base; every buffer's `spare` is the buffer made after it, kept
//    for reuse once popped. A buffer is linked only once its three files
//    exist.
//  - Every characteristic record of a buffer lies inside its width, and a
//    line's characteristic count is the number of its records.
//  - The buffer, window and region records hold handles and buffer blocks:
//    they are in-memory records sized from the native types and never reach
//    a disk.
//
// Files: rm_report.cpp (init, create, stacks, clean-up), rm_buffer.cpp
// (windows, empty, merge, regions), rm_print.cpp, rm_image.cpp (compile,
// execute, updates), rm_write.cpp (writing an image into a buffer).
// Callers: the output and inquiry processes, the display and print
// statements.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fm/fm_objects.h"
#include "fm/print_file.h"
#include "foundation/os.h"
#include "types/cnv.h"

namespace kivo {

// Refusals: 0 with the report's status set.
constexpr uint32_t RM_NOT_EXECUTED = 200790;  // item update before the image was executed
constexpr uint32_t RM_NO_LEVEL = 200800;      // no buffer of that level
constexpr uint32_t RM_NO_ITEM = 200810;       // image or item unknown to the report
constexpr uint32_t RM_NOT_READY = 200820;     // held buffer not ready to print
constexpr uint32_t RM_NO_FIT = 200830;        // does not fit on the page or in the window
constexpr uint32_t RM_NO_FILE = 300580;       // a file or print file could not be created

constexpr uint16_t kRmMaxWidth = 255;
constexpr uint32_t kRmMaxRows = 21;
constexpr uint32_t kRmMaxCols = 255;
constexpr size_t kRmNameLen = 30;

// Attribute bits kept for reports, and the two that keep a row in compression.
constexpr uint32_t kRmAttrMask = 0xC170;
constexpr uint32_t kRmAttrInvisible = 0x0010;
constexpr uint32_t kRmAttrKeepRow = 0x0100 | 0x8000;

// ---- records of the buffer files ----

// Line record (`RPT_LINE`): width + 11 bytes, its offsets.
enum RPT_LINE : size_t { LN_NO = 0, LN_NCHR = 4, LN_PLACEHOLDER = 8, LN_BLOCK = 9, LN_TEXT = 10 };
constexpr size_t kRmLineExtra = 11;

// Characteristic record of a buffer.
enum : size_t { BC_LINE = 0, BC_ATTR = 4, BC_COL = 8, BC_LEN = 10, BC_COLOUR = 12 };
constexpr uint16_t kRmChrLen = 16;
static_assert(BC_COLOUR + 4 == kRmChrLen);

// Pending message of a write: the caller's key before byte 6.
enum : size_t { RMSG_LEN = 6, RMSG_TEXT = 8 };
constexpr size_t kRmMsgTextLen = 200;
constexpr uint16_t kRmMsgRecLen = RMSG_TEXT + kRmMsgTextLen;

// ---- image records ----

// Image block (`RPT_IMG`): a header, rows x columns of text, two bytes; its
// offsets. The executed image is named by its index (from 1) into the
// report's executed images, where the block once held its address.
enum RPT_IMG : size_t {
  IMG_ID = 0,         // u16
  IMG_COL = 2,        // u16 start column in the buffer
  IMG_ROWS = 4,       // u32, at most 21
  IMG_COLS = 8,       // u32, at most 255
  IMG_CMPRS = 12,     // 0 none, 1 move rows up, 2 drop trailing blank rows, 3 both
  IMG_SEP = 13,       // separator character, blank = none
  IMG_BEFORE = 14,    // blank lines before
  IMG_AFTER = 15,     // blank lines after
  IMG_RESERVED = 16,  // placeholder lines after the image
  IMG_XIMG = 20,      // u32 index of the executed image
  IMG_EXEC = 24,      // 1 once executed
  IMG_TEXT = 29,
};
constexpr size_t kRmImgExtra = 31;
static_assert(IMG_TEXT + 2 == kRmImgExtra);
inline size_t rm_img_len(uint32_t rows, uint32_t cols) { return size_t(rows) * cols + kRmImgExtra; }

// Report characteristic record (compiled and per report).
enum : size_t { RC_IMG = 0, RC_ROW = 4, RC_COL = 8, RC_ROWS = 12, RC_LEN = 16, RC_ATTR = 20, RC_COLOUR = 24 };
constexpr uint16_t kRmRcLen = 40;
static_assert(RC_COLOUR < kRmRcLen);

// Report item record, in memory only (its conversion block holds
// addresses): sizeof the type, the text address an offset. Image, row and
// column lead, as the item file's key (image, column, row) needs. The
// stored item's `cnv.int_addr`, `cnv.int_len` and the first byte of
// `cnv.ta` (the number kind, the alpha alignment flag) are the three
// conversion fields an update keeps; the item's rows and length are
// `cnv.ext_rows` and `cnv.ext_cols`.
struct RPT_ITM {
  uint32_t img_id;
  uint32_t row;
  uint32_t col;
  CNV cnv;
  uint32_t text_off;  // the item's place in the executed text, set on execution
  uint8_t has_value;  // the value is converted into the image
  uint8_t flt;        // 255 fixed; else blanks kept between the item and the text to its left
};
static_assert(offsetof(RPT_ITM, row) == 4 && offsetof(RPT_ITM, col) == 8);
constexpr uint8_t kRmFixed = 255;

// Executed image, in the report's pool.
struct RPT_XIMG {
  char* text;                // rows x columns
  uint8_t* cells;            // rows x columns of 8 bytes: u32 attribute, u8 colour, three bytes
  uint8_t kept[kRmMaxRows];  // 1: the row is kept by compression
};
constexpr size_t kRmCellSize = 8;

// ---- windows ----

struct RPT_WND {
  uint16_t id;
  uint8_t type;  // 1 regions filled one buffer each, 2 side by side, 3 flowing columns
  uint32_t rows, cols, reg_rows, reg_cols;
  uint32_t across, down, regions;
  uint16_t cur_region;  // 0 = none
  uint32_t first_line, first_col, cur_line, cur_col;
  ARB* reg_arb;  // type 1: the region file ("RM"/"SR"), else null
};

// ---- buffers ----

// Buffer block: the column heights follow the block (u32 for columns
// 0..report width, element 0 unused), so a region record is the block and
// its heights.
struct RPT_BUF {
  uint16_t id;  // level in its stack, 0 for a base
  ARB* line_arb;
  ARB* chr_arb;
  ARB* wnd_arb;
  uint16_t next_wnd;
  uint16_t width;
  uint32_t last_line;  // 0 = empty
  uint8_t pending;     // blank lines to put before its lines
  uint8_t* work;       // work line, report width + 11 bytes
  RPT_BUF* below;
  RPT_BUF* above;
  RPT_BUF* spare;
  uint16_t alloc_width;  // the report's width: the size of the heights and of the line records
  uint32_t* heights() { return reinterpret_cast<uint32_t*>(this + 1); }
};
inline size_t rm_buf_size(uint16_t width) { return sizeof(RPT_BUF) + 4u * (width + 1u); }

// Where finished lines go: the print manager or the caller's own functions.
struct rm_sink {
  int (*bld)(PM_BLK* blk, char* path_out);
  int (*write)(PM_BLK* blk, const PM_LINE* line);
  int (*cleanup)(PM_BLK* blk);
};
extern const rm_sink rm_pm_sink;

// Print settings the output process sets; rm_cleanup hands them over.
struct rm_settings {
  ss_clock print_date;
  uint16_t copies;
  char notify;  // '1' = yes
  char format[10];
  uint8_t mode;
  char priority[10];
  uint8_t disposition;
  char print;   // '1' = the finished file goes to the print script
  char banner;  // '1' = yes
  char options[256];
};

// Report block, in the manager's pool. In memory only (pointers); the report
// record is this block, sizeof it.
struct RPT_BLK {
  char name[kRmNameLen];
  uint16_t number;
  RPT_BUF* rpt_top;   // base of the current stack
  RPT_BUF* rpt_main;  // base of the main stack
  RPT_BUF* rpt_page;  // base of the page stack (exempt from the page fit)
  ARB* img_arb;       // "RM"/"IL"
  ARB* itm_arb;       // "RM"/"RI"
  ARB* chr_arb;       // "RM"/"RC"
  PM_BLK* pm;
  POOL* pool;
  uint32_t file_scope;
  uint16_t img_count;
  rm_settings set;
  uint16_t page_len;   // 0 = no paging
  uint16_t width;      // 1-255
  int32_t lines_left;  // down from the page length when paging, else up
  uint8_t hold;        // 1 after creation
  uint8_t* cur_img;    // the report's current image block (id 1), or null
  uint8_t* work_img;   // copy of the image being written
  uint32_t work_img_size;
  RPT_XIMG** ximg;  // executed images by index
  uint32_t ximg_count;
  rm_sink sink;
  uint32_t status;     // 1, or the last refusal
  uint8_t fit_waived;  // 1: the next block start goes out whatever its extent; cleared as it does
  // 1: the page holds only its heading (the caller sets it after a new
  // page's heading): blank lines before the first line of the main stack
  // are not printed, since they parted it from a block of the page before;
  // cleared as that line goes out.
  uint8_t page_top;
  // The print's failure status already shown (its repeats go to the log
  // alone), 0: none; cleared at the report's last failure.
  uint32_t failure_shown;
};

// ---- report and buffers (rm_report.cpp) ----

void rm_init();
// A new report, or null after a system error. The sink's build decides the
// status: 1, or RM_NO_FILE when no print file could be made. `path_out`
// (kPmPathLen) takes the print file's path, null: none wanted. A null sink
// is the print manager.
RPT_BLK* rm_create(const char* name, const char* id8, uint16_t width, char* path_out, const rm_sink* sink);
int rm_start(RPT_BLK* rpt);
int rm_reset_buf(RPT_BUF* buf, int del_lines, int del_windows);
void rm_destroy_buf(RPT_BUF* buf);
// 0 when the sink could not finish the print (the rest is done all the same).
int rm_cleanup(RPT_BLK* rpt);
// The buffer of `id` in the current stack, or null.
RPT_BUF* rm_find_buf(RPT_BLK* rpt, uint16_t id);

// How rm_start creates a buffer's files: the file manager's create, null on
// failure (process_seams.rm_create, which tests replace to fail one).
ARB* rm_make_file(FDB* fdb, uint32_t scope, uint32_t size, uint32_t options);

// ---- windows, empty, merge (rm_buffer.cpp) ----

int rm_attach(RPT_BLK* rpt, uint16_t buf_id, RPT_WND* req);
int wnd_fill(RPT_BLK* rpt, RPT_BUF* buf, RPT_WND* req);
int rm_detach(RPT_BLK* rpt, uint16_t buf_id, uint16_t wnd_id);
int rm_empty(RPT_BLK* rpt, uint16_t level, int flush, int detach);
int merge_buf(RPT_BUF* src, RPT_BUF* dst, uint32_t start_col, uint32_t start_line, uint8_t* work, int del_windows);
bool rm_flush_reg(RPT_BUF* buf, RPT_WND* wnd, uint8_t* work);

// ---- printing (rm_print.cpp) ----

// `flag`: pop the upper buffers; `pos`: -1 new page, 0 advance, else the
// line of the page to start at.
int rm_print(RPT_BLK* rpt, int flag, int32_t pos);

// ---- images (rm_image.cpp, rm_write.cpp) ----

struct rm_chr_upd {
  uint32_t img_id, row, col, rows, cols;
};

// The stored image block (valid until that image's record changes), or null.
uint8_t* rm_cmpl_img(RPT_BLK* rpt, uint8_t* img, ARB* itm_file, ARB* chr_file);
int rm_exec_img(RPT_BLK* rpt, uint16_t img_id);
int rm_write_img(RPT_BLK* rpt, uint16_t img_id, ARB* msg_file, uint16_t buf_id, RPT_WND* wnd);
int rm_upd_chr(RPT_BLK* rpt, const rm_chr_upd* upd, uint32_t value, uint32_t mask);
int rm_upd_itm(RPT_BLK* rpt, const RPT_ITM* item, uint32_t value, uint32_t mask);

// Inner steps, open to the tests.
void invis_chr(const uint8_t* img, RPT_XIMG* x);
void float_item(RPT_BLK* rpt, const uint8_t* img, RPT_XIMG* x);
void cmprs_img(uint8_t* img, RPT_XIMG* x);
uint32_t msg_line_cnt(ARB* msg_file, uint32_t width);

// The report's memory files by kind, for the compiled files the output
// process hands to rm_cmpl_img and the message files of a write.
enum rm_file_kind { RM_FILE_ITEMS, RM_FILE_CHRS, RM_FILE_MSGS };
ARB* rm_work_file(rm_file_kind kind, uint32_t scope);
// Writes one record; 1 or 0.
int rm_put(ARB* arb, const uint8_t* rec, uint16_t len);
// Closes and scratches a memory file of the manager.
void rm_close(ARB* arb);

}  // namespace kivo
