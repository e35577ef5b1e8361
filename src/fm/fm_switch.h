// The back-end switch: one table of operations per back-end (native disk
// files, memory files, the remote data server; two further disk types that
// this system never provides), and the choice of a physical file's back-end
// from its path and the system administration records SYSDIR and SYSDFLT.
//
// Back-ends install their tables at start-up (fms_install); a back-end that
// is not there leaves its table null, and a file routed to it fails with
// FM_NO_FMS. The selection reads its records only through fms_select_hooks,
// which the native back-end and the process engine fill at their start.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fm/fm_objects.h"
#include "foundation/com.h"
#include "foundation/hook_list.h"

namespace kivo {

enum : uint16_t { FMS_NATIVE = 1, FMS_MEMORY = 2, FMS_DISK4 = 4, FMS_DISK5 = 5, FMS_REMOTE = 7 };

// Record and file-level slots take the handle and a stream.
using fms_slot = int (*)(ARB* arb, STRM* strm);

// The switch table: 26 words in this order; a slot a back-end lacks is null.
struct fms_fn {
  uint32_t pfb_fms_fn_type;  // type code, written each time the table is chosen
  int (*alloc_fi)(LFB* lfb, const uint8_t* sysdir, const uint8_t* sysdflt);
  int (*alloc_id)(LFB* lfb, const cstr* root, const cstr* data_dir, const uint8_t* sysdir, const uint8_t* sysdflt);
  fms_slot attach;
  fms_slot create;
  fms_slot close;
  void* unused6;
  fms_slot del;
  fms_slot detach;  // with the handle of the stream's SARB
  void* unused9;
  int (*free_fi)(LFB* lfb);
  int (*free_id)(PFB* pfb);
  fms_slot locate;
  fms_slot nam;  // with a copy of the stream
  fms_slot open;
  fms_slot rdnxt;
  fms_slot read;
  fms_slot release;  // a stream's hold; with no handle and stream, every hold
  fms_slot relocate;
  fms_slot rename;
  fms_slot rewrite;
  fms_slot scratch;
  fms_slot start;
  fms_slot write;
  fms_slot ctl_arb;  // not used by this system
  int (*transact)(int one, int phase, int zero);
};

// The table of a type code (null when that back-end is absent).
fms_fn* fms_table(uint16_t type);
void fms_install(uint16_t type, fms_fn* table);

// fms_init starts the memory back-end, then the native one (unix_fm_init),
// then the back-ends above the file manager: the remote one here and the
// sorted-query one (fm_hooks.pb_init of fm.h), which installs itself per
// stream at attach.
struct fms_backend_hooks {
  // The remote back-end's start (net_register_hooks: net_fm_init). Empty: no
  // remote back-end in this build, which is no failure.
  int (*remote)() = nullptr;
};
extern fms_backend_hooks fms_backends;

// clang-format off
#define KIVO_FMS_BACKEND_HOOKS(X) \
  X(fms_backends, remote)
// clang-format on
KIVO_TABLE_LISTED(fms_backends, KIVO_FMS_BACKEND_HOOKS);

// Starts the memory manager (once per process: a second start would destroy
// every pool) and then each back-end. 0 as soon as one fails.
int fms_init();

// ---- records the selection reads ----

constexpr size_t kSysdirLen = 576;
constexpr size_t kSysdfltLen = 572;
// SYSDIR fields besides paths.h's SYSDIR_DB and SYSDIR_DIR (the directory,
// or the remote back-end's server address).
enum : size_t {
  SYSDIR_AP = 3,
  SYSDIR_VER = 6,
  SYSDIR_NAME = 8,
  SYSDIR_REDIRECT = 16,  // u32, 0 lets the alternate database redirect
  SYSDIR_FS_TYPE = 20,   // u16
  SYSDIR_CLASS = 22,     // 30
  SYSDIR_ALT_DB = 564,   // 3
  SYSDIR_CHECK = 567,    // '1' always check, ' ' the class default decides
  SYSDIR_STAMP = 568,    // u32 x 2, first word kStampUnknown = unknown
};
// SYSDFLT: key class (30) and u16 file-system type; check flag.
enum : size_t { SYSDFLT_CLASS = 0, SYSDFLT_FS_TYPE = 30, SYSDFLT_CHECK = 32 };
// Default classes of the APPL and DATABASE records (30 characters), and the
// DATABASE record's two-byte code that a redirection must keep.
enum : size_t { DAP_CLASS = 52, DDB_CLASS = 128, DDB_CODE = 6 };
constexpr size_t kClassLen = 30;

// Where the selection reads its records. Null means "not available": no
// SYSDIR or SYSDFLT entry is found, and a null get_ddb means the DATABASE
// file is not open.
struct fms_select_hooks {
  // Exact reads by key: SYSDIR by the 16-byte key (database, application,
  // version, name), SYSDFLT by the 32-byte key (class, u16 type). 1 = found.
  int (*read_sysdir)(const uint8_t* key, uint8_t* rec) = nullptr;
  int (*read_sysdflt)(const uint8_t* key, uint8_t* rec) = nullptr;
  const uint8_t* (*get_dap)(const char* ap, const char* ver) = nullptr;
  const uint8_t* (*get_ddb)(const char* db) = nullptr;
};
extern fms_select_hooks fms_select;

// clang-format off
#define KIVO_FMS_SELECT_SEAMS(X) \
  X(fms_select, read_sysdir)     \
  X(fms_select, read_sysdflt)    \
  X(fms_select, get_dap)         \
  X(fms_select, get_ddb)
// clang-format on
KIVO_TABLE_LISTED(fms_select, KIVO_FMS_SELECT_SEAMS);

// The SYSDIR entry of a file: with a database (even blank) the version is
// blank, without one the database is blank and the version given. 1 = found.
int get_dsysdir(uint8_t* rec, const char* ap, const char* ver, const char* db, const char* name);
// The SYSDFLT entry of a 30-character class and a type. 1 = found.
int get_dsysdflt(uint8_t* rec, uint16_t type, const char* cls);

// True when two 3-character application ids are equal.
bool is_ap(const char* a, const char* b);

// KIVO_DATA_SERVER: every structure, design, administration and data file
// goes to the remote back-end with this server address. A value longer than
// the 256-character address is refused with a message (0); null or empty
// clears the entry.
int fms_set_data_server(const char* value);
// The entry built from KIVO_DATA_SERVER, or null when it is not set.
const uint8_t* fms_data_server_entry();

// Chooses the table of the LFB's PFB by type code into pfb_fms. 0 (lfb_stat
// FM_NO_FMS) for a PFB of TYPE 0 or a back-end that is absent.
int fms_slct(LFB* lfb, uint16_t type);

// The records that the selection hands to the back-end.
struct fms_records {
  uint8_t sysdir[kSysdirLen];
  uint8_t sysdflt[kSysdfltLen];
  bool has_sysdir = false;
  bool has_sysdflt = false;
};

// Selects the back-end of the LFB's physical file and the records it builds
// the operating-system path from; may set LFB_STRUCT_CHK in lfb_opt.
// 0 with lfb_stat FM_REFUSED_AP, FM_NO_DB, FM_BAD_ALT_DB, FM_NO_FMS or
// FM_NOT_IN_SYSDIR.
int slct_fms(LFB* lfb, fms_records* out);

// The transact slot (1, phase, 0) of each present disk back-end: true only
// when every one succeeds.
int fms_commit(int phase);
// The release slot (no handle, no stream) of each present disk back-end;
// the native result.
int fms_release_all();

}  // namespace kivo
