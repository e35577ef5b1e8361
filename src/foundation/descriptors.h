// File descriptors: the FDB a caller fills before a file is opened, its key
// descriptors (KDB) and segment descriptors (SDB), their 72/12/8-byte stored
// form, the templates they start from, and one initialiser per design file,
// engine work file and executable-module memory file.
//
// Invariants: the in-memory blocks keep the fields in their order but hold
// native pointers; only the stored form leaves the process, with every
// pointer field written as 0 and rebuilt by whoever reads it back. The
// templates are set by the file manager's start-up (fm_set_templates); an
// initialiser used before it starts from zeroes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/hook_list.h"
#include "foundation/paths.h"

namespace kivo {

struct ARB;
struct SDB;

// Key descriptor. In memory 16 bytes; stored as 12.
struct KDB {
  uint8_t kdb_keyno;  // 0 = primary
  uint8_t kdb_order;  // '+' ascending, '-' reverses every segment
  uint8_t kdb_len;    // 0 = the sum of the segment lengths
  uint8_t kdb_flags;  // KDB_DUP, KDB_UPKEEP, KDB_UPKEEP2
  uint8_t kdb_nsegs;  // at most 16
  SDB* kdb_sdb;
};

// Segment descriptor. Stored as 8 bytes, the same fields.
struct SDB {
  uint16_t sdb_segno;
  uint16_t sdb_offset;
  uint16_t sdb_len;
  uint8_t sdb_type;   // SDB_CHARS, SDB_BINARY, ...
  uint8_t sdb_order;  // '+', '-' or blank (the key's order)
};

// File descriptor. In memory larger than its 72 stored bytes (pointers).
struct FDB {
  FDB_PATH path;  // bytes 0-27 stored; the last two are not used
  KDB* fdb_kdb;
  uint8_t fdb_nkeys;
  uint32_t fdb_cr_size;  // create size hint
  uint16_t fdb_rec_len;  // the maximum for variable-length files
  uint8_t fdb_var;       // 1 = variable length
  uint8_t fdb_fmt;       // format byte; 0 from the template
  uint8_t fdb_fs_type;   // FS_DISK, FS_MEMORY
  uint8_t fdb_org;       // ORG_INDEXED, ORG_SEQUENTIAL, ORG_RELATIVE
  uint8_t fdb_acc;
  uint8_t fdb_shr;
  uint32_t fdb_opt;             // LFB_* option bits (fm/fm_objects.h)
  uint32_t fdb_struct_date[2];  // 0xFFFFFFFF twice = look it up
  ARB* fdb_arb;                 // out: the handle of the opened file
  uint32_t fdb_stat;            // out: status of a failed open or create
  uint32_t fdb_stat2;           // out: secondary status
};

// Segment types. The file manager and the native back-end order them by one
// mapping (fm/key_segment.h); any other value is refused there.
constexpr uint8_t SDB_CHARS = 1;
constexpr uint8_t SDB_TEXT = 2;  // compared as characters
constexpr uint8_t SDB_PACKED = 4;
constexpr uint8_t SDB_BINARY = 8;      // signed little-endian of 1, 2 or 4 bytes
constexpr uint8_t SDB_UBINARY = 0x48;  // the same, unsigned

constexpr uint8_t KDB_DUP = 0x01;      // duplicates allowed
constexpr uint8_t KDB_UPKEEP2 = 0x02;  // index upkeep bits
constexpr uint8_t KDB_UPKEEP = 0x08;

constexpr uint8_t FS_DISK = 1;
constexpr uint8_t FS_MEMORY = 2;

constexpr uint8_t ORG_RELATIVE = 1;
constexpr uint8_t ORG_SEQUENTIAL = 2;
constexpr uint8_t ORG_INDEXED = 3;

constexpr uint32_t kStampUnknown = 0xFFFFFFFF;
constexpr int kInitMaxKeys = 5;  // the arrays callers give the initialisers
constexpr int kInitMaxSegs = 16;

// ---- stored form ----
constexpr size_t kFdbStoredSize = 72;
constexpr size_t kKdbStoredSize = 12;
constexpr size_t kSdbStoredSize = 8;

// FDB offsets. The data server and the compiled file records read several
// of these in place, so they never move.
enum : size_t {
  FDB_TMP_ID = 0,  // u32
  FDB_AP = 4,
  FDB_VER = 7,
  FDB_NAME = 9,
  FDB_DB = 17,
  FDB_SRC_AP = 20,
  FDB_SRC_VER = 23,
  FDB_CLASS = 25,
  FDB_KDB = 28,      // pointer, 0
  FDB_NKEYS = 32,    // u8, 33-35 zero
  FDB_CR_SIZE = 36,  // u32
  FDB_REC_LEN = 40,  // u16
  FDB_VAR = 42,
  FDB_FMT = 43,
  FDB_FS_TYPE = 44,
  FDB_ORG = 45,
  FDB_ACC = 46,
  FDB_SHR = 47,
  FDB_OPT = 48,    // u32
  FDB_DATE = 52,   // u32 x 2
  FDB_ARB = 60,    // pointer, 0
  FDB_STAT = 64,   // u32
  FDB_STAT2 = 68,  // u32
};
static_assert(FDB_STAT2 + 4 == kFdbStoredSize);

enum : size_t {
  KDB_KEYNO = 0,
  KDB_ORDER = 1,
  KDB_LEN = 2,
  KDB_FLAGS = 3,
  KDB_NSEGS = 4,  // 5-7 zero
  KDB_SDB = 8,    // pointer, 0
};
static_assert(KDB_SDB + 4 == kKdbStoredSize);

enum : size_t { SDB_SEGNO = 0, SDB_OFFSET = 2, SDB_LEN = 4, SDB_TYPE = 6, SDB_ORDER = 7 };
static_assert(SDB_ORDER + 1 == kSdbStoredSize);

void fdb_path_store(const FDB_PATH& path, uint8_t* out);  // 28 bytes
void fdb_path_load(const uint8_t* in, FDB_PATH* path);
void fdb_store(const FDB& fdb, uint8_t* out);
// Reads a stored FDB; fdb_kdb and fdb_arb come back null.
void fdb_load(const uint8_t* in, FDB* fdb);
void kdb_store(const KDB& kdb, uint8_t* out);
void kdb_load(const uint8_t* in, KDB* kdb);  // kdb_sdb comes back null
void sdb_store(const SDB& sdb, uint8_t* out);
void sdb_load(const uint8_t* in, SDB* sdb);

// ---- templates and the generic initialisers ----
extern FDB fm_fdb;
extern KDB fm_kdb;
extern SDB fm_sdb;

// Copy of fm_fdb with the five values and the KDB array; organisation 2
// when there are no keys.
void INIT_FDB(FDB* fdb, uint8_t fs_type, uint16_t rec_len, uint8_t var, KDB* kdb, uint8_t nkeys);
void INIT_KDB(KDB* kdb, uint8_t keyno, uint8_t order, uint8_t flags, SDB* sdb, uint8_t nsegs);
void init_sdb_func(SDB* sdb, uint16_t segno, uint16_t offset, uint16_t length, uint8_t type, uint8_t order);

// The system applications, whose files the engine itself owns.
bool IS_BOB_AP(const char* ap);

// ---- design and system files ----
// Each fills the descriptor, at most 5 keys and 16 segments into the
// caller's arrays. The design sources take the source application and version.
void INIT_DAP_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DBITMAP_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DCHLD_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DCHR_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DDB_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DDBXAP_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DDFLTMAP_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DDOM_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DELEM_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DFI_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DFLD_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DFORM_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DFRM_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DINIT_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DITM_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DKEYMAP_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DPROC_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DPROF_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DPRTR_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DREC_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DROW_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DSLCT_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DSTMT_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DSYSDFLT_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DSYSDIR_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DSYSPARM_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DTOKEN_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DUSR_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
// The message file of a language (its version is the language).
void INIT_DMSG_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* lang);
// The design-build message files of "0AD" "00" (memory files): one record
// per file compiled or checked, and one per message about it.
void INIT_MSG1_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_MSG2_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DPARM_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
void INIT_DIMG_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
// EXCEPT: translation exceptions, keyed file, field, key value, language,
// column (2196 bytes).
void INIT_DXCEPT_FDB(FDB* fdb, KDB* kdb, SDB* sdb, const char* src_ap, const char* src_ver);
// A descriptor of type `fs_type` whose keys are written in the notation of
// the file tables ("0: 0:3 3:22 26:2b; 1: ..."); the path is the caller's.
void INIT_NOTED_FDB(FDB* fdb, KDB* kdb, SDB* sdb, uint8_t fs_type, uint16_t rec_len, uint8_t var, const char* keys);

// Key helpers: rewrite the keys of an already filled descriptor.
void INIT_DCHLD_KDB(KDB* kdb, SDB* sdb);
void INIT_DELEM_KDB(KDB* kdb, SDB* sdb);   // keys 0-3
void INIT_DELEM_KDB1(KDB* kdb, SDB* sdb);  // key 4 alone
void INIT_DFLD_KDB(KDB* kdb, SDB* sdb);
void INIT_DSLCT_KDB(KDB* kdb, SDB* sdb);
void INIT_DSTMT_KDB(KDB* kdb, SDB* sdb);  // key 0, segments 1-5
void INIT_STMT_SDB(SDB* sdb);             // segments 6-11 of key 0

// ---- engine work files (memory) ----
void INIT_ERR_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
// The "0LA" ENTRY memory file: 940-byte records by number, no key.
void INIT_ENTRY_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_IFNS_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_INST_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_TOC_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
// The query work files take the temporary number of their owner.
void INIT_QPARM_FDB(FDB* fdb, KDB* kdb, SDB* sdb, uint32_t tmp_id);
void INIT_QSLCT_FDB(FDB* fdb, KDB* kdb, SDB* sdb, uint32_t tmp_id);
void INIT_QSORT_FDB(FDB* fdb, KDB* kdb, SDB* sdb, uint32_t tmp_id);
void INIT_QTAG_FDB(FDB* fdb, KDB* kdb, SDB* sdb, uint32_t tmp_id);

// ---- the process executive's files ----
// HOOK of "0SA"; ATRIBUTE with the system-administration path (callers set
// another path for an application's or a database's file).
void INIT_DHOOK_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_DPROP_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
// Memory files. The PCB, SAA and property-cache records hold native blocks,
// so their lengths are the process engine's to give.
void INIT_MHOOK_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_PCB_FDB(FDB* fdb, KDB* kdb, SDB* sdb, uint16_t rec_len);
void INIT_SAA_FDB(FDB* fdb, KDB* kdb, SDB* sdb, uint8_t kind, uint16_t max_len);  // one file per area kind
// The action log of "0LA": STDALOG (380 bytes, key family id + sequence),
// ALOGFAM (72 bytes, key application + type + name), ALOGID (one 4-byte
// record by number).
void INIT_ALOG_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_ALOG_FAMILY_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_ALOG_ID_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
// The temporary files a suspend lists: stored descriptors keyed on their path.
void INIT_STF_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
void INIT_CDB_FDB(FDB* fdb, KDB* kdb, SDB* sdb);
// Key 1 (the requester's word) allows duplicates: nothing reads it back.
void INIT_PROP_CACHE_FDB(FDB* fdb, KDB* kdb, SDB* sdb, uint16_t rec_len);

// ---- executable-module memory files ----
// The IT and CV records hold a native conversion block, so their length and
// the IT key offsets belong to whoever defines those blocks: it sets them
// here at its start. Until then the figures of the 32-bit layout stand.
struct em_native_layout {
  uint16_t cnv_len = 204;       // sizeof the conversion block (CV record)
  uint16_t citm_len = 392;      // IT record
  uint16_t citm_ap_off = 253;   // keys 1 and 2: application (3)
  uint16_t citm_fld_off = 256;  // key 1: field name (22), occurrence (2b)
  uint16_t citm_occ_off = 278;
  uint16_t citm_elem_off = 280;    // key 2: element number (4b)
  uint16_t citm_itemno_off = 292;  // key 3: item number (2b)
};
extern em_native_layout em_layout;

// clang-format off
#define KIVO_EM_LAYOUT_HOOKS(X) \
  X(em_layout, cnv_len)         \
  X(em_layout, citm_len)        \
  X(em_layout, citm_ap_off)     \
  X(em_layout, citm_fld_off)    \
  X(em_layout, citm_occ_off)    \
  X(em_layout, citm_elem_off)   \
  X(em_layout, citm_itemno_off)
// clang-format on
KIVO_TABLE_LISTED(em_layout, KIVO_EM_LAYOUT_HOOKS);

void em_cache_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_cap_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_cchld_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_cchr_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_cdlu_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_cfi_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_cfld_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_cfrm_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_cimg_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_citm_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_clib_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_cnst_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_cnv_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_ctoken_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_dlf_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_em_qslct_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_em_qsort_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_kdb_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_pcf_key_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_recurse_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_scan_bud_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_scan_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_sdb_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_sum_ref_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
// Event-point rows and trap records of a module: 12 bytes, no key.
void em_toc_fdb(FDB* fdb, KDB* kdb, SDB* sdb);
void em_trap_fdb(FDB* fdb, KDB* kdb, SDB* sdb);

}  // namespace kivo
