// Migration of one record file between its native form and a portable text
// file, optionally with the file's structure (its STRUCT file and initial
// values): the routines "MU_INIT" and "MU_XLATE", the native descriptor
// builder the file routines share, and the files of a run.
//
// Invariants: a run opens, uses and closes its own files and leaves the pool
// and the emptied MSK file to the next; a replace builds the new native file
// beside the old and puts it in place only at the end of a successful run,
// so a damaged portable file never costs the old data.
//
// Map: mu_init, mu_xlate and the record loops (mu_xlate.cpp); the files of
// a run and the descriptor (mu_files.cpp); the structure section and the
// map from a structure (mu_struct.cpp); conversions (mu_port.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "design/mu_port.h"
#include "foundation/paths.h"

namespace kivo {

struct ARB;
struct FDB;
struct KDB;
struct SDB;
struct POOL;

// The request of "MU_XLATE".
constexpr size_t kMuReqSize = 29;
enum : size_t {
  MU_PATH = 0,     // 26: the file's path in descriptor form
  MU_DIR = 26,     // 1 portable to native, else native to portable
  MU_MODE = 27,    // 2 replace, 1 add or rewrite, 0 add or stop
  MU_STRUCT = 28,  // "1": the portable file carries the structure
};
constexpr size_t kMuPathSize = 26;
enum : uint8_t { MU_TO_NATIVE = 1 };
enum : uint8_t { MU_ADD_STOP = 0, MU_ADD_REWRITE = 1, MU_REPLACE = 2 };

constexpr size_t kPortPiece = 900;        // a portable record's pieces
constexpr size_t kPortHdrSize = 18;       // the portable header
constexpr size_t kNativeBufSize = 32767;  // the native record buffer

// Statuses of the run.
constexpr uint32_t MU_NO_PORT = 200340;      // the portable file does not exist
constexpr uint32_t MU_NOT_DEFINED = 200430;  // the file is not in FILE
constexpr uint32_t MU_NO_STAMP = 200300;     // its structure stamp is the null one
constexpr uint32_t MU_NO_STRUCT = 200640;    // the STRUCT file does not open

// The pool " TRAN_POOL " and the MSK file; 1, or 0 after "Bad MSK file create ".
int mu_init();
// The pool of the runs (null before mu_init).
POOL* mu_pool();
// Forgets the work area once the scope that owned it is gone (tests).
void mu_forget();

// Migrates one file; 1 when done or when a failure was filed and the caller
// may go on with its next file, 0 when the run must stop. Adding to a native
// file (modes 0 and 1) reads the portable file twice: first every record is
// converted and, in mode 0 on a file with a unique primary key, looked up,
// so that a record that cannot be added (it does not convert, its key is an
// earlier record's, or a record of its key is there with other bytes) stops
// the run before anything is written; a record already there with the same
// bytes is passed over, so a run cut short is finished by the next.
int mu_xlate(void* context, uint8_t* request, ARB* msg1, ARB* msg2);

// What the last run from a portable file did, for a caller that names
// lines (kivo_design -l): the portable record it stopped at (the header is
// record 1; 0 when it did not stop at a record), why, and the records it
// added and found there already.
struct mu_load_report {
  uint32_t stop_rec = 0;
  std::string why;
  uint32_t added = 0;
  uint32_t present = 0;
};
const mu_load_report& mu_last_load();

// The native descriptor of the file at `path` (arrays for kFileMaxKeys keys
// and their segments): mode 1 from the application's FILE design file, 2
// from the file's STRUCT file. 1 when complete; 0 when a structure could not
// be read (its status in fdb_stat) or a key not built (filed).
constexpr int kMuMaxSegs = 64;
int mu_bld_native_fdb(FDB* fdb, KDB* kdb, SDB* sdb, const FDB_PATH& path, int mode, ARB* msg1, ARB* msg2);

}  // namespace kivo
