// Opening, attaching and closing files: the blocks of an open (fm_objects.h)
// built, shared and released, the file manager's control files, and the
// wrappers callers use.
//
// Invariants: one PFB per physical file, found again by its path (the LFN
// control file) or by the back-end's identity (the PFB control file); every
// block of an open is listed in its scope's entry until it is released, so
// that clearing the scope finds whatever a failure left behind; a failed
// open leaves the control files and the pools as they were.
//
// Callers: every subsystem through FM_OPEN, FM_CREATE, FM_CLOSE, FM_SCRATCH
// and FM_ATTACH; the record operations through fm_actv; scope clearing
// (fm_init.cpp) through fm__close, fm__scratch, fm_detach and free_pfb.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fm/fm_objects.h"
#include "fm/fm_switch.h"
#include "foundation/hook_list.h"
#include "foundation/invoc.h"

namespace kivo {

struct PCB;

// Attach request: the caller's scan chain (null = none) and, out, the new
// handle.
struct FAD {
  SCAN_REQ* fad_scan;
  ARB* fad_arb;
};

// ---- file-level operations; 1 success, 0 failure ----

// On failure fdb_stat/fdb_stat2 hold the codes; on success fdb_arb is the
// handle (for create only with LFB_OPEN_NEW).
int fm__open(FDB* fdb, uint32_t scope);
int fm__create(FDB* fdb, uint32_t scope);
// A further handle on the current file of `arb`, in its group; fad_arb is
// the new handle. Failure codes in arb_stat/arb_stat2.
int fm__attach(ARB* arb, FAD* fad, uint32_t scope);
// Closes the handle's current logical file (arb_mod: ARB_SCRATCH,
// ARB_CLOSE_NOW, ARB_STRM_ONLY). No current stream: arb_stat FM_NOT_OPEN, 1.
int fm__close(ARB* arb);
// Ends a handle made by attach; the handle an open made gives FM_NOT_ATTACHED.
int fm_detach(ARB* arb);
int fm__scratch(FDB* fdb);
// 1 when the file exists.
int fm_locate(FDB* fdb);
// The operating-system open of a stream, and the file process's start event.
int fm_actv(ARB* arb, STRM* strm);

// True when the descriptor's file is a memory file: by its type, or as a
// design file of source application "0DO" or "0DN" (the open makes it one).
bool fm_is_memory(const FDB* fdb);

// ---- blocks ----
LFB* alloc_lfb(FDB* fdb, uint32_t scope);
int create_strm(LFB* lfb, FAD* fad, uint32_t scope);
// Releases an open. 0 when a stream cannot be detached: the LFB then stays
// listed in its group and scope, so that the scope's clean-up finds it.
int free_lfb(LFB* lfb, int scratch);
void free_pfb(PFB* pfb);
// Whether the structure file must be checked.
bool chk_struct(const FDB* fdb, const LFB* lfb);
// A disk data file's structure file: same path, class 2, no keys, the
// file's stamp.
void struct_fdb(const FDB* fdb, FDB* s);
// Whether open, scratch and locate must look up the descriptor's structure
// stamp first (get_struct_date).
bool fm_needs_stamp(const FDB* fdb);
// True when the descriptor agrees with an open physical file; else fdb_stat.
bool verify_pfb(FDB* fdb, const PFB* pfb);

// ---- wrappers ----
int FM_OPEN(FDB* fdb, uint32_t level, uint32_t options, uint8_t access, uint8_t share);
int FM_CREATE(FDB* fdb, uint32_t level, uint32_t size, uint32_t options, uint8_t access, uint8_t share);
int FM_CLOSE(ARB* arb, uint16_t options);
int FM_SCRATCH(FDB* fdb, uint32_t options);
ARB* FM_ATTACH(ARB* arb, FAD* out, uint32_t level);

// ---- control files ----

// The file manager's recursion level: raised while a file-process event runs.
extern uint32_t fm_rlevel;
// The record-cache file "PROTO   " (null before fm_init).
extern ARB* fm_cache_arb;

void INIT_PFB_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_LFN_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_STRUCT_FDB(FDB* fdb, KDB* kdb, SDB* sdb);

// Creates the PFB, LFN and STRUCT control files and the record-cache file;
// 0 when one cannot be created. Part of fm_init.
int fm_ctl_init();
// Whether the control files are up (opens before that keep no records).
bool fm_ctl_ready();
// Control records: 1 done / found. Reads return the live block.
int ctl_write_pfb(PFB* pfb);
int ctl_del_pfb(const PFB* pfb);
PFB* ctl_find_pfb(uint16_t id16, uint32_t id32);
int ctl_write_lfn(LFN* lfn);
int ctl_del_lfn(const LFN* lfn);
LFN* ctl_find_lfn(const FDB_PATH& path);
// The first LFN record of a PFB number (key 1), or null.
LFN* ctl_lfn_of(uint32_t pfb_no);
// Every PFB or LFN control record in key order; the LFN records of one PFB
// (by its second key). Sequential reads through the second handles.
void ctl_each_pfb(void (*fn)(PFB* pfb, void* ctx), void* ctx);
void ctl_each_lfn(void (*fn)(LFN* lfn, void* ctx), void* ctx);
void ctl_each_lfn_of(uint32_t pfb_no, void (*fn)(LFN* lfn, void* ctx), void* ctx);
// The STRUCT cache by its 13-byte key (application, version, name): 1
// found / written.
int ctl_get_stamp(const uint8_t* key, uint32_t* stamp);
int ctl_put_stamp(const uint8_t* key, const uint32_t* stamp);
// Control records present now (tests compare before and after).
uint32_t ctl_count_pfb();
uint32_t ctl_count_lfn();

// ---- file-process events ----

// The block a process's event point runs with (the interpreter's
// ii_proc_exec): the result word lands in `result_area` as a u32 when given.
struct PROC_EXEC_BLK {
  PCB* pcb;
  uint8_t* result_area;
  uint8_t ep_no;
  uint8_t flag;
};
// The result word's stop request: the event point's statements asked to
// stop (ERROR). A read event point that sets it refuses the record.
constexpr uint32_t kEpResultStop = 0x10000;

// A file's own process as the file manager keeps it in the PFB: made by the
// process engine (fm_proc_hooks.load), which also keeps `rec` current in
// `prepare`; the file manager only copies records through `rec` and asks
// whether the update event points have code.
struct FM_PROC {
  PCB* pcb;           // the process's control block (the process engine's)
  uint8_t* rec;       // its record area of the file; null: none
  uint16_t rec_len;   // bytes of that area
  uint8_t has_pre;    // the module has code for the before-update event point
  uint8_t has_post;   // ... for the after-update event point
  uint32_t end_code;  // of the last event point run
};

// What an event point of the file's process is told before it runs.
struct FM_PROC_EVENT {
  const FDB_PATH* path;  // the file: its database, source application and version
  uint8_t op;            // FP_OP_* of a record event; 0 for the start and end events
  uint8_t mode;          // the mode derived from `op`; 0 with it
  char caller[4];        // "FILE" while another file event runs, else blanks
};

// What the file process needs of the layers above, filled when they start
// (the process engine: load ... restore_data; the debugger: dbg_cleanup;
// the sorted-query back-end: pb_attach). An empty load is a build without
// a process engine: no file has events.
struct fm_proc_hook_table {
  // The process of the file at `path` (type 12, named like the file) loaded,
  // its areas placed at `scope` (0: the session's) and its files opened;
  // null when the file has none, or it cannot start.
  FM_PROC* (*load)(const FDB_PATH& path, uint32_t scope);
  // Before each event point: the process bound to the process running now,
  // its design references set from the file's path and its identity area
  // told the operation, mode and caller; `rec` made current.
  void (*prepare)(FM_PROC* proc, const FM_PROC_EVENT& ev);
  // Runs event point `ep` (the file manager's MARK around it); the end code
  // of a normal return. The result word into `result` (4 bytes).
  uint32_t (*run)(FM_PROC* proc, uint8_t ep, uint8_t* result);
  // Releases the process (its files, data and module) and the block.
  void (*release)(FM_PROC* proc);
  // The process's data areas: their size, their copy into `area` and back.
  size_t (*data_size)(FM_PROC* proc);
  void (*store_data)(FM_PROC* proc, uint8_t* area, size_t size);
  void (*restore_data)(FM_PROC* proc, const uint8_t* area, size_t size);
  // The debugger's end of a process it may be debugging.
  void (*dbg_cleanup)(PCB* pcb);
  // The attach of a sorted scan: its stream reads an active query.
  int (*pb_attach)(ARB* arb, STRM* strm, FSCB* scan);
};
extern fm_proc_hook_table fm_proc_hooks;

// clang-format off
#define KIVO_FM_PROC_HOOKS(X)    \
  X(fm_proc_hooks, load)         \
  X(fm_proc_hooks, prepare)      \
  X(fm_proc_hooks, run)          \
  X(fm_proc_hooks, release)      \
  X(fm_proc_hooks, data_size)    \
  X(fm_proc_hooks, store_data)   \
  X(fm_proc_hooks, restore_data) \
  X(fm_proc_hooks, dbg_cleanup)  \
  X(fm_proc_hooks, pb_attach)
// clang-format on
KIVO_TABLE_LISTED(fm_proc_hooks, KIVO_FM_PROC_HOOKS);

enum : uint8_t { EP_FILE_OPEN = 1, EP_FILE_CLOSE = 6 };

// The start event at a file's first activation and the end event at its last
// close; the caller has raised the PFB's event depth and set com.hook_scope.
void start_proc(ARB* arb);
void end_proc(ARB* arb);
// Releases the process a PFB holds (after its end event, or with the PFB).
void fm_free_proc(PFB* pfb);
// Tells the PFB's process about the event point about to run (prepare).
void fm_prepare_proc(PFB* pfb, const FDB_PATH& path, uint8_t op, uint8_t mode);
// Runs event point `ep` of the PFB's process under a file-event level
// (fm_rlevel raised); the end code, also kept in the process block.
uint32_t run_file_ep(PFB* pfb, uint8_t ep, uint8_t* result);

// The operating-system name of the handle's current file; 0 (and *len 0)
// when it has no current stream or the back-end cannot name it.
int fm_nam(ARB* arb, uint16_t* len, const void** name);
// The path of the handle's current file, else of its group's first file, in
// a static buffer overwritten by the next call; null without a file.
const FDB_PATH* fm_path(ARB* arb);

// ---- shared by the open, close and event code ----

// A stream of `sarb` on `lfb`, listed in both; not yet attached.
STRM* new_strm(SARB* sarb, LFB* lfb);
// The back-end's detach of a stream; 1 when it has none.
int detach_strm(STRM* strm);
// Unlists and frees a stream; its SARB loses it as current stream.
void free_strm(STRM* strm);
// Detaches and frees a handle's streams, then the handle; 0 (arb_stat) when
// a detach fails, with the handle still listed.
int release_sarb(SARB* sarb);
// The group of an open.
MARB* lfb_marb(const LFB* lfb);
// Raises the PFB's event depth, points com.hook_scope at its owner scope
// and runs `event` (start_proc or end_proc).
void fm_run_event(ARB* arb, PFB* pfb, void (*event)(ARB*));
// An open counts as a user of its PFB once, unless an event of the file runs.
void count_user(LFB* lfb);

// Runs a record slot of the back-end on the handle's current stream with
// `mod` (ARB_*) and the record or key `rec`; the slot's result.
int fm_slot(ARB* arb, fms_slot fms_fn::*slot, uint16_t mod, void* rec);

// Reports an unexpected failure of the file manager's own bookkeeping.
void fm_checkstat(int ok, int line, const char* text);

}  // namespace kivo
