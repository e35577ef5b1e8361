// OUTPUT and INQUIRY processes: the steps of process types 3 and 9 in
// pi_type_rows, the glue between a process and its report (rpt_start,
// cmpl_img, op_sof, op_img_exec, op_prt_buf, op_eof, rpt_end, op_cleanup),
// level totals (op_bld_sum, op_sum_roll) and the PRINT and DISPLAY
// statements.
//
// Invariants:
//  - A PCB owns at most one report (`pcb_rpt`), made by rpt_start and ended
//    by rpt_end exactly once, also when the run is unwound: op_cleanup ends
//    whatever is left, and a second call finds nothing.
//  - Report image ids are kept in the PCB's image entries (`word`), by the
//    module's image index; 0 for screen images.
//  - An image that does not fit the page goes at the top of the next page,
//    never dropped; only a block longer than an empty page runs past the
//    page's end, and every other page holds at most its page length.
//
// Files: op_report.cpp (the report glue), op_window.cpp (images written
// through report windows), op_exec.cpp (the read loop and
// the type steps), op_sum.cpp (level totals), op_inquiry.cpp (the screen
// sink of INQUIRY), op_stmt.cpp (PRINT and DISPLAY), ap_frm.cpp (the
// frames of a kind and of a range level).
// Callers: the executive through pi_type_rows (op_init), the frame
// processor (op_img_exec), the interpreter through ii_hooks.
#pragma once

#include <cstdint>

#include "compiler/pcb.h"
#include "process/rm.h"

namespace kivo {

// ---- statuses the report glue reacts to ----
constexpr uint32_t OP_LEVEL_START = 200620;  // a range level begins
constexpr uint32_t OP_LEVEL_END = 200370;    // a range level ends
constexpr uint32_t OP_RECORD = 200350;       // a record of a sorted query
constexpr uint32_t OP_EOF = 200360;          // end of the primary file

// Frame kinds of compiled frames.
enum : uint8_t { FRM_DETAIL = 0, FRM_HEADING = 1, FRM_TOTAL = 2, FRM_PAGE_HEADING = 3 };

// What a PCB's report needs besides the report block: which process runs
// it, the one-row image PRINT writes through, the paging state of the last
// print, and the items DISPLAY fixed in the image being prepared.
struct op_report {
  RPT_BLK* rpt;
  PCB* pcb;
  uint8_t* line_img;   // the one-row image of the report's width (id 1)
  uint8_t* line_copy;  // its stored copy, restored after a PRINT
  uint8_t new_page;    // the last print began a new page
  uint8_t in_heading;  // the page heading is being written
  uint8_t failed;      // a print or a read failed: the run ends with 4
  uint8_t ended;       // rpt_end has run
  uint32_t status;     // the status posted when the run failed
  uint16_t prepared;   // report image id a DISPLAY executed, 0 none
  uint8_t* displayed;  // per module item number: fixed by DISPLAY
  uint32_t item_count;
  uint32_t wnd_img;  // module image whose window is open in buffer 0, 0 none
  RPT_WND wnd;       // that window
};

// The report of a PCB, or null.
op_report* op_rpt(PCB* p);

// Fills rows 3 and 9 of pi_type_rows and the interpreter's PRINT and
// DISPLAY hooks; at start-up, after rm_init.
void op_init();

// ---- type steps ----
void op_exec(PCB* p, uint8_t* work);
void op_auto(PCB* p, uint8_t* work);
void op_inquire(PCB* p, uint8_t* work);
// 4 when the print file could not be completed, else 0 (no override).
uint32_t op_cleanup(PCB* p, uint8_t* work);

// ---- level totals ----
// Every summary field of the module := 0.
void op_bld_sum(PCB* p);
// After the total frame of level `pcb_brk_lvl`: that level's summary
// fields := 0.
void op_sum_roll(PCB* p);

// ---- report glue ----

// Where the report's print blocks go: null the print manager.
void rpt_start(PCB* p, const rm_sink* sink);
// The report image of module image `img_index`: its id, 0 after a failure.
uint16_t cmpl_img(PCB* p, uint32_t img_index);
// Start of the report: page heading, report heading; clears the hold flag.
void op_sof(PCB* p);
// Writes image `img_index` with its items' current values and prints it.
int op_img_exec(PCB* pcb, uint32_t img_index);
// Prints buffer 0 at position 0; a page that is full gets the page heading.
// On a failure the status is posted and the run unwinds with 4.
int op_prt_buf(PCB* p);
// End of the report: the report total, then all that is left.
void op_eof(PCB* p);
// Ends the report (rm_cleanup) once; 1 when the print file is complete.
int rpt_end(PCB* p);

// A new page: the page heading printed at its top.
void op_new_page(PCB* p);

// ---- report windows (op_window.cpp) ----

// Whether compiled image `im` is written through a window (scroll type 1-3).
bool op_wnd_image(const uint8_t* im);
// The report columns its window needs from column 1; 0 for no window.
uint32_t op_wnd_width(const uint8_t* im);
// Writes image `id` (module image `img_index`) through its window, opening
// it (after the one open is closed) when needed; prints what is complete.
// 0 with the report's status on a failure.
int op_wnd_write(op_report* op, uint32_t img_index, const uint8_t* im, uint16_t id);
// Closes the open window and prints its lines; 1 when none is open.
int op_wnd_close(op_report* op);

// Posts `status` as a class-3 message of the process.
void op_post(PCB* p, uint32_t status);

// ---- statements ----
// PRINT: `text` as the current one-row image, from column `at` (0: 1), cut
// to `cols` columns (0: the width), after `rows` - 1 blank lines; printed.
int op_print(PCB* p, const char* text, uint16_t len, uint16_t at, uint16_t rows, uint16_t cols);
// DISPLAY: the items of the current image that show the field at `addr`
// take its value now. 1; nothing to do outside a report.
int op_display(PCB* p, const uint8_t* addr);

// ---- frames of a kind (Part of the action processes' loop) ----
// The first compiled frame of `kind`, 0 when none.
uint32_t load_frm_no(PCB* p, uint8_t kind);
// The frame of `kind` (1 heading, 2 total) of range level `index`; 0 none.
uint32_t load_rng_frm_no(PCB* p, uint32_t index, uint8_t kind);

// How the loop reads the primary file (process_seams.op_rdnxt, which tests
// replace to script level breaks as a sorted query delivers them): the
// stream's status after pi_rdnxt, 200350 a record (also for a plain read
// that succeeded), 200360 the end, anything else a failure; `level`
// receives the range level of 200620 and 200370. Where an OUTPUT run's print
// blocks go is process_seams.op_sink: null the print manager.
uint32_t op_pcf_rdnxt(PCB* p, uint32_t* level);

}  // namespace kivo
