// The executable module: the block `EM` (its first 1348 bytes are the stored
// header of the module file, then a native run-time part) and the memory
// sub-files that hold its code, constants and compiled records.
//
// Invariants: `EM` is trivially copyable and a zeroed one is an empty
// module; every stored field sits at the offset pinned below, so the stored
// block is the first kEmStoredSize bytes of the struct on this little-endian
// build (em_store / em_load copy exactly those). A module, its pool and its
// sub-files live at the session level and go together in em_destroy.
//
// Callers: the builder (bld.h), the loader and the compiler, the executive
// and the selection compiler above, the disassembler in interp.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "foundation/descriptors.h"
#include "foundation/hook_list.h"
#include "foundation/pool.h"

namespace kivo {

struct ARB;
struct PCB;
struct AREA_DESC;

constexpr size_t kEmStoredSize = 1348;
constexpr uint8_t kEmFormat = 1;
constexpr int kEmEntries = 31;          // event points 1..31 at word 305 + n
constexpr uint16_t kNoCode = 65535;     // block number of an entry without code
constexpr uint16_t kInstRecLen = 2024;  // an instruction block
constexpr uint32_t kMaxConstants = 64999;
constexpr uint16_t kMaxConstLen = 32767;

// An event-point entry or a code position: {block from 1, byte offset}.
struct em_entry {
  uint16_t blk;
  uint16_t off;
};

// A record-stamp field of the primary file (STAMP_DATE reads it).
struct em_stamp {
  int32_t off;  // -1 = none
  uint8_t type;
  uint8_t size;
  uint8_t first;  // date levels
  uint8_t last;
};

// Native key arrays of one compiled file, built from its KD and SD records.
struct em_cfi_keys {
  KDB* kdb;  // null: not built yet
  SDB* sdb;
  uint8_t nkeys;
  const uint8_t* dflt_rec;  // the file's initial record (fm_cache), taken at its first use; null not yet
  const uint8_t* cfi;       // the file's CFI record in the module's FI file
};

struct EM {
  // ---- stored block (module file header, the selection module's block) ----
  uint32_t em_stamp1;  // design stamp of the PROCESS record; 0 in a selection module
  uint32_t em_stamp2;
  char em_ap[3];
  char em_ver[2];
  uint8_t em_proc_type;
  char em_proc_nam[30];
  char em_lang[3];  // language of the compile
  uint8_t em_spare47;
  uint8_t em_cache_state;  // 0 idle, 1 in use (key 1 of the cache file)
  uint8_t em_dbg_flag;     // a debug file was written with the module
  uint8_t em_saved;        // a module file exists for this stamp
  uint8_t em_rcv_class;    // 0-2
  uint8_t em_format;       // kEmFormat
  uint8_t em_spare53[3];
  int32_t em_secr_class;  // -1 = none
  uint32_t em_pcf_id;     // the PCF's first file number; 0 = no PCF
  char em_pcf_ap[3];      // blank = no PCF
  uint8_t em_pcf_key;
  uint8_t em_pcf_hold;
  uint8_t em_qry_mode_dflt;
  uint8_t em_tag_mode;
  uint8_t em_alog_mode;
  uint8_t em_ap_err_cancel;
  uint8_t em_no_acc_secr;  // no access security for the PCF
  uint8_t em_area13[2];    // the bytes of system area 13
  uint8_t em_area3;        // the byte of system area 3
  uint8_t em_spare77[3];
  char em_alt_ap[3];  // alternate file and its key field; blank = none
  char em_alt_fi[8];
  char em_alt_key[22];
  uint8_t em_spare113[3];
  char em_ap_title[60];
  char em_rpt_ap[3];  // the report process (HAS_RPT_PROC); blank = none
  char em_rpt_nam[30];
  uint8_t em_spare209[3];
  int32_t em_add_user_off;  // -1 = none
  int32_t em_chg_user_off;
  em_stamp em_add_stamp;
  em_stamp em_chg_stamp;
  int32_t em_del_flag_off;  // -1 = none
  int32_t em_ref_cnt_off;   // -1 = none
  uint8_t em_ref_cnt_type;  // 5, 8 or 12
  uint8_t em_ref_cnt_len;
  uint8_t em_spare246[2];
  uint32_t em_cns_rec;  // area receiving constraint values; 0 = none
  uint32_t em_area_cnt;
  uint32_t em_frm_cnt;
  uint32_t em_img_cnt;
  uint32_t em_itm_cnt;
  uint32_t em_chld_cnt;
  uint32_t em_cnst_cnt;
  uint32_t em_inst_cnt;  // instruction blocks
  uint32_t em_toc_cnt;   // event-point rows (N)
  uint32_t em_trap_cnt;  // trap records (M)
  uint32_t em_lib_cnt;
  uint32_t em_cfi_cnt;
  uint32_t em_fld_cnt;
  uint32_t em_add_stamp_msk;  // constant of the compiled storage mask; 0 = none
  uint32_t em_chg_stamp_msk;
  uint8_t em_spare308[916];
  em_entry em_ep[kEmEntries];  // event point n at [n - 1]

  // ---- native run-time part: handles and tables into the module pool ----
  // Never stored: em_create and the loader (pl_get) fill it for the module
  // in memory. The handles are the module's memory sub-files (em_files), the
  // tables are made from them for the interpreter, and em_area_addr binds
  // the module to the areas of the PCB that runs it (em_bound_pcb).
  POOL* em_pool;
  ARB* em_inst_arb;
  ARB* em_cnst_arb;
  ARB* em_cnv_arb;
  ARB* em_cfi_arb;
  ARB* em_kdb_arb;
  ARB* em_sdb_arb;
  ARB* em_cfld_arb;
  ARB* em_cap_arb;
  ARB* em_dlf_arb;
  ARB* em_cfrm_arb;
  ARB* em_cimg_arb;
  ARB* em_citm_arb;
  ARB* em_cchr_arb;
  ARB* em_cchld_arb;
  ARB* em_toc_arb;
  ARB* em_trap_arb;
  ARB* em_clib_arb;
  ARB* em_qslct_arb;
  ARB* em_qsort_arb;
  ARB* em_pcf_key_arb;
  ARB* em_sum_ref_arb;
  ARB* em_ctoken_arb;
  ARB* em_cdlu_arb;
  ARB* em_recurse_arb;
  ARB* em_scan_arb;
  ARB* em_scan_bud_arb;
  AREA_DESC* em_area_tbl;  // loaded from LF in key order
  uint8_t** em_area_addr;  // em_area_cnt + 1 base addresses
  PCB* em_bound_pcb;       // the PCB em_area_addr points into
  uint32_t em_use_cnt;
  uint16_t em_cur_ep;          // set by the dispatch loop
  uint8_t em_discard;          // free at the last release
  uint8_t** em_blk;            // INST record address by block number
  uint8_t** em_cn;             // CN record address by constant number
  uint8_t** em_cv;             // CV record address by record number
  em_cfi_keys* em_cfi_native;  // by CFI index - 1; em_cfi_cnt entries
  void* em_cnstr;              // constraint arrays of the children
};

static_assert(std::is_trivially_copyable_v<EM>);
static_assert(std::endian::native == std::endian::little);
static_assert(offsetof(EM, em_proc_nam) == 14 && offsetof(EM, em_lang) == 44);
static_assert(offsetof(EM, em_cache_state) == 48 && offsetof(EM, em_format) == 52);
static_assert(offsetof(EM, em_secr_class) == 56 && offsetof(EM, em_pcf_ap) == 64);
static_assert(offsetof(EM, em_no_acc_secr) == 73 && offsetof(EM, em_area3) == 76);
static_assert(offsetof(EM, em_alt_ap) == 80 && offsetof(EM, em_alt_key) == 91);
static_assert(offsetof(EM, em_ap_title) == 116 && offsetof(EM, em_rpt_nam) == 179);
static_assert(offsetof(EM, em_add_user_off) == 212 && offsetof(EM, em_chg_stamp) == 228);
static_assert(offsetof(EM, em_ref_cnt_len) == 245 && offsetof(EM, em_cns_rec) == 248);
static_assert(offsetof(EM, em_area_cnt) == 252 && offsetof(EM, em_fld_cnt) == 296);
static_assert(offsetof(EM, em_chg_stamp_msk) == 304 && offsetof(EM, em_ep) == 1224);
static_assert(offsetof(EM, em_pool) >= kEmStoredSize);

// The stored block of a module, and back (the run-time part untouched).
void em_store(const EM& em, uint8_t* out);
void em_load(const uint8_t* in, EM* em);

// ---- sub-files ----
enum em_sub : uint8_t {
  EM_IN,
  EM_CN,
  EM_CV,
  EM_FI,
  EM_KD,
  EM_SD,
  EM_FL,
  EM_AP,
  EM_LF,
  EM_FR,
  EM_IM,
  EM_IT,
  EM_CR,
  EM_CL,
  EM_TO,
  EM_TP,
  EM_LI,
  EM_QL,
  EM_QO,
  EM_PK,
  EM_SR,
  EM_CT,
  EM_DL,
  EM_RC,
  EM_SC,
  EM_SB,
  EM_SUB_COUNT
};

// The handle field of a sub-file.
ARB*& em_sub_arb(EM* em, em_sub sub);
// The descriptor of a sub-file into the caller's arrays.
void em_sub_fdb(em_sub sub, FDB* fdb, KDB* kdb, SDB* sdb);

// How a module makes, fills and drops its memory sub-files: through the
// file manager's create, the back-end's write and a scratching close (tests
// put their own functions in to fail one). Records come back by number
// through MADDR, by key through em_read_key.
struct em_file_ops {
  ARB* (*create)(FDB* fdb, uint32_t scope);                        // created and open, or null
  uint32_t (*append)(ARB* arb, const uint8_t* rec, uint16_t len);  // record number, 0 = failed
  void (*close)(ARB* arb);
};
extern em_file_ops em_files;

// clang-format off
#define KIVO_EM_FILE_SEAMS(X) \
  X(em_files, create)         \
  X(em_files, append)         \
  X(em_files, close)
// clang-format on
KIVO_TABLE_LISTED(em_files, KIVO_EM_FILE_SEAMS);

// A zeroed module with its own pool and every sub-file at the session
// level; null (nothing left behind) when the pool or a sub-file fails.
EM* em_create();
// Closes every sub-file and destroys the pool and the block (and forgets
// its guard). Null is a no-op.
void em_destroy(EM* em);

// A module being built lives at the session level, so an unwind out of its
// builder, a long jump from a fatal signal included, would lose it: the
// guard destroys it when the level current at em_guard is cleared, unless
// em_unguard (its hand-over) came first. em_clr_scope is the clearing step
// (ut_clear_hooks.modules) for `level` and the deeper ones.
void em_guard(EM* em);
void em_unguard(EM* em);
void em_clr_scope(uint32_t level);

// Appends a record to a sub-file; its number, 0 when it failed (also for a
// length the sub-file does not take).
uint32_t em_append(EM* em, em_sub sub, const uint8_t* rec, uint16_t len);

// Puts the memory-file reader in MADDR (foundation_hooks.maddr).
void em_install_reader();
// Locate-mode read of the record whose key `keyno` equals that of the
// record image `key_rec`: the file's own record, or null.
uint8_t* em_read_key(ARB* arb, uint8_t keyno, uint8_t* key_rec);

}  // namespace kivo
