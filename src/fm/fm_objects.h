// File-manager objects: the blocks behind a handle, from the physical file up.
//
//   PFB   one per physical file open anywhere in the session, shared by its opens
//   LFB   one per open (FM_OPEN or FM_CREATE that left the file open)
//   STRM  one position of one handle on one logical file
//   SARB  the per-handle block, allocated in one piece with its ARB behind it
//   MARB  a handle group: its logical files and its handles; every SARB of a
//         MARB has exactly one stream on every LFB of the MARB
//   FM_SCOPE  per scope number: the LFBs, PFBs and SARBs created in it
//
// Every list is an intrusive ut_list (foundation/list.h), appended at the
// tail. All blocks are in-memory only (64-bit, larger than their 32-bit
// figures); they come from the file manager's session pool, fm_pool().
// A PFB is one allocation: the fixed part, then its copy of the key
// descriptors, their segment descriptors and the key-number map.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fm/fm_status.h"
#include "foundation/descriptors.h"
#include "foundation/list.h"
#include "foundation/pool.h"

namespace kivo {

struct fms_fn;
struct ARB;
struct SARB;
struct FSCB;
struct LFB;

// Compare segment: one run of a key, in record layout.
struct SSB {
  uint16_t ssb_offset;
  uint16_t ssb_len;
  uint8_t ssb_code;   // compare code 1..8 (seg_cmp)
  uint8_t ssb_order;  // '+' or '-'
};

// Key-run map entry of one key: its runs, merged where they can be compared
// as one run of bytes.
struct PKB {
  SSB* pkb_runs;
  uint16_t pkb_nruns;
};

struct PFB {
  uint16_t pfb_id16;  // identity words of the back-end (alloc_id)
  uint32_t pfb_id32;
  fms_fn* pfb_fms;     // back-end switch table; its word 0 is pfb_fms_fn_type
  void* pfb_fms_data;  // the back-end's block of the file (a memory file's mfb)
  KDB* pfb_kdb;        // copy of the descriptor's keys, blank orders resolved
  PKB* pfb_pkb;        // key-run map, one entry per key; null without keyed segments
  void* pfb_proc;      // the file's own process (FM_PROC, fm_open.h) while it runs
  uint16_t pfb_nkeys;
  uint16_t pfb_rec_len;
  uint16_t pfb_min_len;  // shortest record holding every key segment, at least 1
  uint8_t pfb_var;
  const uint8_t* pfb_null_rec;  // cache reference of the null record, or null
  uint8_t pfb_fmt;
  uint8_t TYPE;  // FS_DISK, FS_MEMORY
  uint8_t ORG;
  uint32_t pfb_stamp[2];     // structure stamp; kStampUnknown twice when unknown
  uint16_t pfb_keymap_len;   // highest key number + 1
  uint8_t* pfb_keymap;       // per key number: index in pfb_kdb, 255 unused
  uint32_t pfb_owner_scope;  // scope of an LFB_SCOPED open, else 0
  uint8_t pfb_open;          // set by the back-end while the OS file is open
  uint16_t pfb_users;        // counted logical files
  uint16_t pfb_event_depth;  // non-zero while a file-process event runs
  ut_list pfb_lfb;
  ut_link pfb_all;       // in fm_pfb_list
  ut_link pfb_in_scope;  // in its scope entry's PFB list
  void* pfb_xlate;       // field-translation map (xlate_map), built on demand
  uint32_t pfb_no;       // the session's number of this PFB: its LFN records' handle of it
};

constexpr uint8_t kKeyUnused = 255;

// The path record of an open, as the LFN control file holds it (locate
// mode: the record is this block). Its keys are the path and the PFB's
// number, never an address; the pointer behind them is the same PFB resolved.
struct LFN {
  uint32_t lfn_pfb_no;  // pfb_no of its PFB (key 1)
  FDB_PATH lfn_path;    // key 0
  PFB* lfn_pfb;
};
static_assert(offsetof(LFN, lfn_path) == 4 && sizeof(LFN) == 40);

// One open: a physical file (PFB) opened under a logical name (LFN) in one
// scope, with its access and sharing; its streams (lfb_strm) are the
// positions reading it, and scope clearing closes it by lfb_scope. Callers
// above the file manager never hold it: they reach it from their handle
// (arb_strm, then strm_lfb). The two words the design clears at creation
// carry no behaviour and are left out.
struct LFB {
  PFB* lfb_pfb;
  LFN* lfb_lfn;
  uint32_t lfb_scope;
  uint8_t lfb_acc;
  uint8_t lfb_shr;
  uint8_t lfb_counted;  // 1 once added to the PFB's user count
  uint32_t lfb_opt;     // LFB_* bits
  uint32_t lfb_cr_size;
  ARB* lfb_arb;
  uint32_t lfb_stat;  // status and secondary status of the last failed step
  uint32_t lfb_stat2;
  ut_list lfb_strm;
  ut_link lfb_in_marb;
  ut_link lfb_in_pfb;
  ut_link lfb_in_scope;
};

struct STRM {
  SARB* strm_sarb;
  LFB* strm_lfb;
  uint16_t strm_fms_path_len;  // the back-end's own area of this stream
  void* strm_fms_path;
  fms_fn* strm_fms;     // copied from pfb_fms
  void* strm_ext;       // further block, freed with the stream
  uint8_t strm_active;  // position state, kStrmInactive .. kStrmOnRecord
  uint8_t strm_keyno;   // scan key: key path of the last start or keyed read on a scanned handle
  ut_link strm_in_lfb;
  ut_link strm_in_sarb;
};

// Position states of a stream (strm_active).
enum : uint8_t {
  kStrmInactive = 0,      // the back-end has not opened it yet: activate first
  kStrmNoPos = 1,         // a read-next fails with FM_NO_POS
  kStrmStartPending = 2,  // the next read-next begins at the known position
  kStrmOnRecord = 3,      // on the record last delivered
};

struct MARB {
  uint32_t marb_scope;
  ut_list marb_lfb;
  ut_list marb_sarb;
  ut_link marb_all;
};

struct SARB {
  ARB* sarb_arb;  // directly behind this block, same allocation
  MARB* sarb_marb;
  STRM* sarb_cur_strm;
  FSCB* sarb_fscb;  // scan-control chain, null = none
  uint32_t sarb_scope;
  ut_list sarb_strm;
  ut_link sarb_in_marb;
  ut_link sarb_in_scope;
};

// The caller's handle, the one file-manager block every subsystem above
// holds: the compiler's module sub-files, the window manager's rectangle and
// item files, the process engine's files and PCFs. The record and key areas
// and the statuses are the caller's; the way to the stream and the file is
// arb_strm and arb_pfb below. The work word between arb_stat and arb_stat2
// carries no behaviour and is left out. The last two fields are the engine's own:
// the private record copy that a translated locate-mode read is delivered
// in, freed with the handle.
struct ARB {
  SARB* arb_sarb;
  uint32_t arb_rec_id_len;
  uint8_t* arb_rec_id_area;
  uint16_t arb_len;  // record length at attach, then the length just read
  uint8_t* arb_rec;
  uint16_t arb_var_len;
  uint32_t arb_relno;
  uint16_t arb_key_len;
  uint8_t* arb_key;  // separate partial key in key layout, or null
  uint8_t arb_keyno;
  uint8_t* arb_key_end;  // end of the key area inside arb_rec, or null
  uint16_t arb_mod;      // ARB_* bits
  uint32_t arb_lock_wait;
  uint32_t arb_stat;
  uint32_t arb_stat2;
  char arb_lang[3];   // base language: of the stored data
  char arb_xlate[3];  // derived language: what the caller sees
  uint8_t* arb_own_rec;
  uint16_t arb_own_len;
};

struct SARB_ARB {
  SARB sarb;
  ARB arb;
};

// The named steps of the object walk: a handle's current stream, a stream's
// physical file, and the two together. Each step assumes the one before
// exists; arb_strm_or_null is for a handle that may be null or unattached.
inline STRM* arb_strm(const ARB* arb) { return arb->arb_sarb->sarb_cur_strm; }
inline STRM* arb_strm_or_null(const ARB* arb) { return arb && arb->arb_sarb ? arb->arb_sarb->sarb_cur_strm : nullptr; }
inline PFB* strm_pfb(const STRM* strm) { return strm->strm_lfb->lfb_pfb; }
inline PFB* arb_pfb(const ARB* arb) { return strm_pfb(arb_strm(arb)); }

// Scope entry (get_clean).
struct FM_SCOPE {
  uint32_t scope;
  ut_list lfb;
  ut_list pfb;
  ut_list sarb;
  ut_link in_list;
};

// arb_mod bits.
enum : uint16_t {
  ARB_REC_ID = 0x0001,
  ARB_PARTIAL = 0x0002,
  ARB_FIRST = 0x0004,
  ARB_EQUAL = 0x0008,
  ARB_AFTER = 0x0010,
  ARB_MUST_FIND = 0x0020,
  ARB_HOLD = 0x0040,
  ARB_RECOVER = 0x0080,
  ARB_LOCATE = 0x0100,
  ARB_SCRATCH = 0x0200,
  ARB_CLOSE_NOW = 0x0400,  // on close
  ARB_MATCH_ID = 0x0400,   // on a read
  ARB_STRM_ONLY = 0x0800,
  ARB_NO_STEAL = 0x1000,
  ARB_SKIPPED = 0x2000,
  ARB_KEEP_POS = 0x8000,
};

// fdb_opt / lfb_opt bits.
enum : uint32_t {
  LFB_SCOPED = 0x00001,  // owner scope in fdb_tmp_id
  LFB_OPEN_NEW = 0x00002,
  LFB_STRUCT_CHK = 0x00040,  // set by the file manager
  LFB_NO_STRUCT_CHK = 0x00080,
  LFB_NOT_REQUIRED = 0x00100,
  LFB_JOIN = 0x00200,
  LFB_DEFER = 0x00400,
  LFB_ANY_DIR = 0x00800,
  LFB_NO_STRUCT_FILE = 0x01000,
  LFB_FORCE = 0x10000,
  LFB_FILE_PROC = 0x20000,
};

// ---- scan requests and scan-control blocks ----

enum : uint8_t {
  SCAN_KEY = 1,     // key range, bounds in key layout
  SCAN_RECORD = 2,  // key range, bounds in record layout
  SCAN_SORTED = 3,  // sorted query
  SCAN_SEGS = 4,    // segment list
};

enum : uint8_t {
  SCAN_EQUAL = 0x08,      // flags: the lower bound is also the upper bound
  SCAN_EXCLUSIVE = 0x10,  // flags: lower bound exclusive; flags2: upper bound exclusive
};

// A segment-list entry as callers build it: 8 bytes, of which the engine
// reads the three words; the segment number is the caller's own and the last
// word is reserved (0).
struct SCAN_SEG {
  uint16_t seg_no;
  uint16_t offset;  // in the key buffer
  uint16_t len;
  uint16_t reserved;
};
static_assert(sizeof(SCAN_SEG) == 8);

// One element of a caller's scan chain.
struct SCAN_REQ {
  uint8_t type;  // SCAN_KEY .. SCAN_SEGS
  SCAN_REQ* next;
  uint8_t keyno;
  uint8_t flags;
  uint8_t flags2;
  // SCAN_KEY: bounds of these lengths; SCAN_RECORD: bounds are records.
  uint16_t lo_len;
  const uint8_t* lo;  // null = no lower bound
  uint16_t hi_len;
  const uint8_t* hi;  // null = no upper bound
  // SCAN_RECORD length maps: the last significant byte of each bound's
  // record, null = the key's full length.
  const uint8_t* lo_last;
  const uint8_t* hi_last;
  // SCAN_SEGS
  uint16_t kbuf_len;
  const uint8_t* kbuf;
  uint16_t nsegs;
  const SCAN_SEG* segs;
  // SCAN_SORTED: the sorted query's parameters, passed on unread.
  uint16_t sq_len;
  const void* sq_parms;
};

enum : uint8_t { FSCB_RANGE = 1, FSCB_SORTED = 2, FSCB_SEGS = 3 };

// Scan-control block: one per request element, in the same order. Its values
// are copies owned by the block (free_fscb releases them).
struct FSCB {
  uint8_t fscb_type;
  FSCB* fscb_next;
  uint8_t fscb_keyno;
  uint8_t fscb_flags;
  uint8_t fscb_flags2;
  uint16_t fscb_lo_len;
  uint8_t* fscb_lo;  // null = absent
  uint16_t fscb_hi_len;
  uint8_t* fscb_hi;  // null = absent
  // FSCB_SORTED: the parameters; FSCB_SEGS: the key buffer (lo), a second
  // buffer of the same length (hi) and the compare segments.
  uint16_t fscb_sq_len;
  uint8_t* fscb_sq;
  uint16_t fscb_nsegs;
  SSB* fscb_segs;
  uint16_t* fscb_seg_no;  // FSCB_SEGS: the key segment number of each entry
  // FSCB_SEGS: the key last matched and its prefix length (in fscb_hi).
  const KDB* fscb_pfx_kdb;
  uint16_t fscb_pfx_len;
};

// ---- the file manager's own state ----

extern ut_list fm_pfb_list;
extern ut_list fm_marb_list;
extern ut_list fm_scope_list;

// The file manager's session pool " FM        " (null before fm_objects_init).
POOL* fm_pool();

// Start-up steps 3 and 4: the pool for the system scope, the PFB and MARB
// lists emptied, the descriptor templates set.
void fm_objects_init();
void fm_set_templates();

// The scope entry of `scope`, created and appended when missing.
FM_SCOPE* get_clean(uint32_t scope);

// One compare segment of an SDB in its key. 0 when the segment's type or
// length cannot be ordered (the SSB is then left as it was).
int sdb_to_ssb(const KDB* kdb, const SDB* sdb, SSB* ssb);

// Builds pfb_pkb for a file with keyed segments; leaves it null otherwise.
void create_pkb(PFB* pfb);

// A PFB from a descriptor, or null with fdb_stat FM_BAD_KEY_LEN when a key
// cannot be ordered: its stated length differs from the sum of its segment
// lengths, the sum is over 255, it has more than 16 segments, a segment lies
// outside the record or has a type or length no compare knows, or its key
// number is used twice. A refused descriptor leaves nothing allocated.
PFB* create_pfb(FDB* fdb);

// Frees a PFB made by create_pfb with its key-run map.
void free_pfb_block(PFB* pfb);

// The FSCB chain of a scan chain, or null with *stat set: FM_KEY_NO_DIFF for
// a key number the file lacks, FM_BAD_KEY_LEN for a bound longer than the
// key or a segment entry outside its key buffer. An unknown element type is
// a system error. The chain comes from fm_pool(); free it with free_fscb.
FSCB* create_fscb(const SCAN_REQ* scan, const PFB* pfb, uint32_t* stat);
void free_fscb(FSCB* chain);

// The key descriptor and run map of key number `keyno`, or null.
const KDB* pfb_key(const PFB* pfb, uint8_t keyno);
const PKB* pfb_runs(const PFB* pfb, uint8_t keyno);

// Cleared bytes from fm_pool().
void* fm_zalloc(size_t size);

// A SARB with its ARB behind it, from fm_pool(), cleared, arb_sarb set.
SARB* alloc_sarb();

}  // namespace kivo
