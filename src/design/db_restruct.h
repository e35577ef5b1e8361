// The restructure of a data file whose dictionary description changed: the
// old layout (the file's STRUCT file, loaded into the "0DO" memory design
// files) against the new one (the dictionary), and the statuses that say
// what must happen to the stored data.
//
// Invariants: a run lives in the caller's process scope; every handle of
// `restruct_ctx` is opened at its start and closed at its end, the memory
// files scratched. The comparison reads and never writes the data file.
//
// Callers: the routine "DB_RESTRUCT" and the verify (db_vfy.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/paths.h"

namespace kivo {

struct ARB;
struct FDB;
struct KDB;
struct SDB;

// Result statuses of a restructure (message numbers).
enum : uint32_t {
  RS_NO_BITMAP = 104000,
  RS_NO_ELEMENT = 104050,
  RS_NO_FILE = 104070,
  RS_NO_INITIAL = 104100,
  RS_NO_STRUCT = 104200,
  RS_OLD_OPEN = 104210,    // the generated process could not open the old file
  RS_NEW_CREATE = 104220,  // nor create the new one
  RS_SAME = 104230,        // nothing changed: the structure file is written anew
  RS_COMPATIBLE = 104240,  // the data is kept, the structure file written anew
  RS_CANCELLED = 104250,
  RS_CONVERTED = 104260,
  RS_NOT_COMPILED = 200300,
  RS_CONVERT = 200630,  // the layout changed: the data must be converted
  RS_FAILED = 200860,   // a fatal end of the generated process, or no FILE record
  RS_WRITE = 300490,    // the generated process could not write a record
};

// The handles of one run, in this order.
enum : int {
  RC_ELEM,
  RC_FILE,
  RC_INIT,
  RC_STRUCT,
  RC_BITMAP,
  RC_OLD_ELEM,
  RC_OLD_FILE,
  RC_OLD_INIT,
  RC_OLD_TOKEN,
  RC_NEW_ELEM,
  RC_NEW_FILE,
  RC_NEW_INIT,
  RC_NEW_TOKEN,
  kRestructFiles
};
struct restruct_ctx {
  ARB* arb[kRestructFiles];
  char ap[3], ver[2];  // the describing dictionary
};

// A memory design file `init` of pseudo-application `ap` "00", created at
// the process scope; null after the system error `what`.
using db_design_init = void (*)(FDB*, KDB*, SDB*, const char*, const char*);
ARB* db_create_memory(db_design_init init, const char* ap, const char* what);
// Writes `rec` (`len` the record length, `var_len` a variable length or 0).
int db_put_rec(ARB* a, const uint8_t* rec, size_t len, size_t var_len);

// The keyless 1016-byte descriptor of a structure file; the caller copies
// the data file's path into it and sets the class to 2.
void INIT_DSTRUCT_FDB(FDB* fdb);

// The application and version whose dictionary describes the file at
// `path`: 0AD "00" for a design file, 0SA "00" for a file of 0SA, else its own.
void db_dict_of(const FDB_PATH& path, char* ap, char* ver);

// Opens the dictionary's FILE, ELEMENT and INITIAL design files, the file's
// STRUCT file and the BITMAP, in this order; 0 on success, else the status
// of the first that failed (104070, 104050, 104100, 104200, 104000), its
// file-manager status in *fm_stat.
uint32_t db_open_files(const FDB_PATH& path, restruct_ctx* ctx, uint32_t* fm_stat);
// Closes every handle, scratching the memory files.
void db_close_files(restruct_ctx* ctx);

// The old layout against the new: 104230, 104240, 200630, 200300 or 200860.
// Loads the STRUCT file into the 0DO memory files on the way.
uint32_t comp_struct_fi(const FDB_PATH& path, restruct_ctx* ctx);
// Creates the 0DO FILE, ELEMENT and INITIAL memory files and loads them
// from the STRUCT file; 1, or 0 after a system error.
int bld_old_src_fi(const FDB_PATH& path, restruct_ctx* ctx);
// The length of INITIAL chunk `i` (from 0) of `count` chunks of a record of
// `len` bytes, as the STRUCT file stores them.
size_t struct_chunk_len(uint32_t i, uint32_t count, size_t len);

// Writes the file's structure file anew from the dictionary: beside the
// old one, which it then replaces, so the data file never lacks one. 1, or
// 0 with the old structure file kept.
int db_renew_struct(const FDB_PATH& path, restruct_ctx* ctx);

// ---- the run ----
struct PCB;
// "DB_RESTRUCT": the result status; messages filed in msg1 and msg2.
uint32_t db_restruct(PCB* caller, const FDB_PATH& path, ARB* msg1, ARB* msg2);
// Every structure-carrying file of 0SA; returns 1.
int db_restruct_0sa();
// The APPL record of a pseudo-application; 1 when written.
int add_dap(const char* ap, const char* ver);
// The next free number of the dictionary's data area 0 into *number.
int bit_search(restruct_ctx* ctx, uint32_t* number);
// The new layout into the 0DN memory files.
int bld_new_src_fi(const FDB_PATH& path, restruct_ctx* ctx);
// The generated process written, run and its files swapped; 0 when its
// module could not be had after the run (cleaned up all the same).
int bld_proc(const FDB_PATH& path, restruct_ctx* ctx, PCB* caller);
int restruct_fi(const FDB_PATH& path, restruct_ctx* ctx, PCB* caller);
// The statements of the generated process (Start of Process, Post PCF
// Read from the 0DN and 0DO elements, End of Process) into the STMT handle.
int bld_restruct_stmts(const FDB_PATH& path, restruct_ctx* ctx, ARB* a);

// Runs 0DN "RESTRUCTURE" of version `ver` under a recovery point: the end
// code (37 after a fatal signal, whose recovery is armed again).
uint32_t db_run_generated(PCB* caller, const char* ver);
// ENTRY RESTRUCT STAT1 set from an end code other than 2 (4: 104250, any
// other 200860); STAT1 (`which` 1) or STAT2 (2) read.
void db_status_of_end(uint32_t code);
uint32_t db_entry_stat(int which);

}  // namespace kivo
