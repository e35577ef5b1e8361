// The debugger: its block on a process, the trap table that maps
// statements to instructions, the stops (inst_trap, inst_step_break), the
// continue keys, and field watches.
//
// Map: dbg_trap and dbg_blk; loading the debug file's records
// (dbg_load_records, dbg_tables); the trap table's searches (find_trap,
// find_prev_trap, dbg_custom); the stops and dbg_stmt; dbg_init and
// dbg_cleanup (editors/editors.h); watches.
//
// Invariants: a trap entry keeps the code position {block, offset} of its
// statement's first instruction beside the relocated address, and the
// sorted array compares positions, so a stop inside a statement (also one
// begun in the previous block) finds it by position as a run-time error
// does. Every slot and index read from a debug file is checked before use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compiler/em.h"
#include "compiler/pl.h"
#include "interp/ii_run.h"
#include "types/element.h"

namespace kivo {

struct PCB;

struct dbg_trap {
  uint8_t* addr;  // the statement's first instruction; null: no code
  em_entry pos;   // its code position, {0, 0} with no code
  uint32_t stmt;  // STMT sequence number
  uint16_t ep;    // event-point number
  uint8_t slot;   // event-point slot
  uint8_t spare;  // carried unchanged
};

constexpr uint32_t kDbgUnknown = 0xFFFFFFFF;

// A watched field (the watch list of the engine).
struct dbg_watch {
  uint32_t len;
  uint8_t* live;
  std::vector<uint8_t> saved;
  PCB* owner;
  char ap[3];
  char name[22];
  uint32_t occ;
};

struct dbg_blk {
  std::vector<uint8_t> toc;              // N rows of TOC_LEN bytes, by slot
  std::vector<dbg_trap> traps;           // M entries in statement order
  std::vector<dbg_trap*> by_pos;         // entries with code, by position
  uint32_t first = kDbgUnknown;          // the current event point's first index
  uint32_t last = kDbgUnknown;           // and last
  uint16_t ep = 0;                       // event point the bounds belong to
  uint8_t rows = 0;                      // statement region rows
  void* scr = nullptr;                   // the statement screen, once shown
  void (*scr_free)(dbg_blk*) = nullptr;  // takes it down
};

// ---- the debug file (dbg_trap.cpp) ----

// Results of dbg_load_records: 0 loaded; otherwise why it was refused.
enum dbg_load_err : uint8_t {
  DBG_LOAD_OK = 0,
  DBG_LOAD_SHORT,  // no header, or fewer records than its counts
  DBG_LOAD_STAMP,  // stamp words of another compile
  DBG_LOAD_EMPTY,  // N or M is 0
  DBG_LOAD_SLOT,   // an event-point slot of N or more
  DBG_LOAD_INDEX,  // a trap index of 0 or above M, or a first above the last
  DBG_LOAD_CODE,   // an instruction reference that names no instruction
};
// Builds the event-point table and the trap table of `b` from the debug
// file's records: relocates each instruction reference, marks it a
// statement start (flag 0x1), sorts the entries with code by position.
dbg_load_err dbg_load_records(EM* em, const std::vector<pl_dbg_rec>& recs, dbg_blk* b);
// The debug file of the module: built from its TO and TP sub-files while
// its debug-file flag is clear, else read from disk; false when neither.
bool dbg_file_records(EM* em, std::vector<pl_dbg_rec>* out);

// Orders entries by code position.
int trap_cmp_addr(const dbg_trap* a, const dbg_trap* b);
// The entry whose statement begins at `at` (its index into `idx`); null none.
dbg_trap* find_trap(dbg_blk* b, em_entry at, uint32_t* idx = nullptr);
// The last entry at or before `at`: the statement a position lies in.
dbg_trap* find_prev_trap(dbg_blk* b, em_entry at, uint32_t* idx = nullptr);
// Refreshes the current event point's bounds and marks its last
// statement's instruction (flag 0x4); 1 done, 0 no statements.
int dbg_custom(PCB* pcb);

// ---- the statement screen (dbg_screen.cpp) ----

// The STMT key (kStmtKeyPrefix + 4 bytes) of a trap entry: the process,
// the owner bytes of a frame's or an image's event point, the event point
// and the statement number.
void bld_key(const EM* em, const dbg_blk* b, const dbg_trap& t, uint8_t* key);
// The text of the entry's statement, `cols` wide: "?" when the record cannot
// be read, blanks for no entry; the record into `rec_out` when given.
std::string get_trap_dstmt(dbg_blk* b, const EM* em, const dbg_trap* t, int cols, uint8_t* rec_out);

// ---- data lines (dbg_value.cpp) ----

constexpr size_t kLineValueLen = 80;
enum : uint8_t { kLineBinary = 0x1 };  // type 2: shown with "`", not editable
struct dbg_line {
  char ap[3] = {' ', ' ', ' '};  // "---" for "0LA"
  char name[22] = {};
  char occ[3] = {' ', ' ', ' '};
  std::string value = std::string(kLineValueLen, ' ');
  uint8_t flags = 0;
  bool used = false;
  uint32_t len = 0;
  uint8_t elem[kElementSize] = {};
};
// The address of a line's field (its element read); null when the field is
// unknown, has no address, or the occurrence is outside 1 to its count.
uint8_t* dbg_field_addr(PCB* pcb, dbg_line* l);
// Each level token of the 60-character date mask outside levels hi..lo
// becomes "-" characters ("--" for a level, "---" for a day of year).
void dbg_date_mask_levels(char* mask, uint8_t hi, uint8_t lo);
// Direction 1: the field's value into the line (80 "?" when it has none);
// 0: the line's value into the field. 1 done, 0 not.
int cnv_fld_val(PCB* pcb, dbg_line* l, int direction);
// Both lines from the operands of a STMT record; 1 when its verb has data
// lines.
int set_data_val(PCB* pcb, const uint8_t* rec, dbg_line lines[2]);

// ---- the stops (dbg_run.cpp) ----

// The statement screen's session for one stop (editors_seams.dbg_stmt_guts,
// which tests replace with a script). Returns the result code of dbg_stmt:
// 100 nothing shown, 101 show again, 278 cancel, else the key that continued
// the run.
using dbg_screen_fn = uint32_t (*)(dbg_blk* b, II_RUN* run);
uint32_t dbg_show_stop(dbg_blk* b, II_RUN* run);

uint32_t dbg_stmt(dbg_blk* b, II_RUN* run);
// The continue keys: OPTION 1-3, ENTER (step over); OPTION 0 and the rest
// change nothing.
void dbg_continue(II_RUN* run, uint32_t key);
void inst_trap(II_RUN* run, uint8_t* inst);
void inst_step_break(II_RUN* run, uint8_t* inst);
int dbg_init(PCB* pcb, int forced);
dbg_blk* dbg_block(PCB* pcb);
// The statement region's rows on a screen of `screen_rows`.
uint8_t dbg_stmt_rows(int screen_rows);

// ---- watches (dbg_watch.cpp) ----

constexpr size_t kWatchRecLen = 28;
enum : size_t { WL_AP = 0, WL_NAME = 3, WL_ZERO = 25, WL_OCC = 26 };
// Adds a watch on `len` live bytes of `owner`; always 1.
// A watch on field `name` of `ap` (occurrence 0 = 1): 1 added; 0 for an
// unknown field, an occurrence outside the element's count, or no address.
int add_watch(PCB* pcb, const char* ap, const char* name, uint32_t occ);
// Writes the watch list records into the open file `a`; 0 when a write failed.
int dbg_populate_watch(PCB* pcb, ARB* a);
// The built-ins DBG_WATCH, DBG_CLEANUP_WATCHES and DBG_POPULATE_WATCH.
void dbg_register_watch_fns();
int dbg_add_watch_at(PCB* owner, const char* ap, const char* name, uint32_t occ, uint8_t* live, uint32_t len);
int dbg_chk_watches(PCB* pcb);
void cleanup_watches(PCB* pcb);
// The watch list records, one per watch, in list order.
std::vector<std::vector<uint8_t>> dbg_watch_records(PCB* pcb);
size_t dbg_watch_count();
// Runs process `name` of "0LA" "00" (type 2) as a subprocess of `pcb` over
// the two surfaces. False when it did not run because "0LA" has no such
// process (the executive ends such a start without a word).
bool dbg_run_process(PCB* pcb, const char* name, void* srf_main, void* srf_pop);
// Runs the watch trigger for a fired watch: record 1 of ENTRY carries the
// fired field, then "WATCH TRIGGER" runs as a subprocess over the process's
// surfaces (editors_seams.dbg_watch_trigger, which tests replace).
void dbg_run_trigger(PCB* pcb, const dbg_watch& w);

}  // namespace kivo
