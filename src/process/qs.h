// The sort of a sorted query: byte-comparable keys built from the query's
// sort fields, runs sorted in memory, a cascade merge over six work files
// and the pointer file that the sorted-query reader walks.
//
// Invariants: every key ends with the closing element (the selection number,
// most significant byte first), so keys are unique and equal sort fields keep
// the selection order; entries compare on their key bytes alone, unsigned.
// A query is marked executed only after a complete sort, so a failed or
// interrupted sort runs again at the next read.
//
// Callers: the sorted-query build (`pb_bld_fqry`) through `cmpl_sort`, the
// driver (`pb_get_nxt_ptr`) through `qs_sort`; tests fill the block
// directly. The block is embedded in the active query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kivo {

struct ARB;
struct AREA_DESC;
struct EM;
struct FDB;
struct QRY_SLCT;
struct PCB;

constexpr uint32_t QS_INTERRUPTED = 104250;  // the user's break ended the sort
constexpr uint32_t QS_FAILED = 3;            // a broken run or work file, reported as a system error

// Sort element record: level, order, then the compiled field as pc_fld gives it.
constexpr size_t kSortElemLen = 616;
enum : size_t { SE_LEVEL = 0, SE_ORDER = 1, SE_FLD = 2 };

// QSORT record: one sort line of the query; used in key order.
enum : size_t {
  QSORT_AP = 0,
  QSORT_PROC = 3,     // 30
  QSORT_SEQ = 36,     // u32, 0: an empty line
  QSORT_F_AP = 40,    // the sort field
  QSORT_F_NAME = 43,  // 22
  QSORT_OCC = 66,     // u16
  QSORT_ORDER = 68,   // '+' or '-'
  QSORT_OFF = 87,     // '0': switched off
  kQsortLen = 92,
};

// Run header, the first record of every run on a work file.
constexpr uint32_t kRunMagic = 0x01BADB0B;
enum : size_t { RH_COUNT = 0, RH_ORDINAL = 4, RH_MAGIC = 8, kRunHdrLen = 12 };

// Pointer record: level with the previous and with the next record, the
// identifier, two bytes not used.
enum : size_t { PT_PREV = 0, PT_NEXT = 2, PT_ID = 4, kPtrExtra = 6 };

constexpr int kWorkFiles = 6;
constexpr int kMergeInputs = kWorkFiles - 1;
constexpr uint32_t kRunMemDefault = 262143;
// The run budget in bytes; KIVO_RUN_MEM replaces it when a query allocates.
extern uint32_t run_mem;

constexpr uint8_t KEY_DATE = 7;  // key type of every date element

// One element of the key.
struct QS_DESC {
  uint8_t level;  // 0: the closing element
  const uint8_t* addr;
  uint32_t key_len;
  uint8_t key_type;
  uint8_t hi;  // integer digits, or first date level
  uint8_t lo;  // decimals, or last date level
  uint8_t sign;
  uint32_t key_off;
  uint8_t order;  // '+' or '-'
  uint16_t size;  // of the field
  // Dates: the compiled mask and the refined storage type.
  char mask[60];
  uint32_t mask_len;
  uint8_t date_type, doy, h24;
  bool has_null;
  std::vector<uint8_t> null_val;
};

// One work file during distribution and merge.
struct QS_FILE {
  ARB* arb;
  uint32_t real;    // real runs on the file
  uint32_t target;  // runs including dummy runs
  bool active;
};

// What a record's selection says.
enum : int { QS_REJECT = 0, QS_SELECT = 1 };

// The fields of the active query that the sort uses.
struct QRY_SORT {
  // The compiled key.
  std::vector<QS_DESC> desc;
  uint32_t key_len = 0;
  uint32_t id_len = 0;
  uint16_t levels = 0;             // used sort lines
  std::vector<uint8_t> level_tab;  // level of each key byte
  struct id_seg {
    const uint8_t* addr;
    uint16_t len;
  };
  std::vector<id_seg> ids;  // empty: the PCF record id is the identifier

  // The query's sort lines (QSORT records), read by cmpl_sort.
  ARB* qsort_arb = nullptr;
  // The selection module: its constants and files give the null values
  // when no `null_value` hook is set.
  EM* em = nullptr;

  // Input: the PCF read into rec_area; field addresses point into it unless
  // `field_addr` places them. `select` runs the event points and the
  // selection code (null: every record passes); `interrupt` says whether the
  // user's break is pending and the process allows it (null: never).
  ARB* pcf_arb = nullptr;
  uint8_t* rec_area = nullptr;
  uint16_t rec_len = 0;
  bool hold = false;
  const uint8_t* (*field_addr)(void* ctx, const uint8_t* celem) = nullptr;
  int (*null_value)(void* ctx, const uint8_t* celem, std::vector<uint8_t>* out) = nullptr;
  int (*select)(void* ctx) = nullptr;
  // Whether the record read is one the query may see at all (its
  // constraint); one that is not is passed over uncounted. Null: every one.
  bool (*in_view)(void* ctx) = nullptr;
  bool (*interrupt)(void* ctx) = nullptr;
  // Called after each record's selection (selected or not); null none.
  void (*progress)(void* ctx) = nullptr;
  void* ctx = nullptr;
  uint32_t selected = 0, rejected = 0;

  // Run memory: `capacity` entries and their slots, within run_mem
  // (qs_entry_cost). Neither is cleared, so a small sort under a large
  // budget touches only the pages its entries fill.
  uint32_t entry_len = 0;
  uint32_t capacity = 0;
  std::unique_ptr<uint8_t[]> buf;
  // The entries of the run, sorted once it is full. Each slot also holds
  // the key's first bytes, so the sort rarely reaches into the entries.
  struct slot {
    uint64_t prefix;
    uint8_t* entry;
  };
  std::unique_ptr<slot[]> run;
  int32_t last = -1;  // index of the run's last entry
  int32_t next = 0;   // the run's next entry to hand out
  uint8_t collate[256];

  // Files: names from the work-file number, owned by `scope`.
  uint32_t wrk_no = 0;
  uint32_t scope = 0;
  char ap[3] = {' ', ' ', ' '};
  QS_FILE f[kWorkFiles] = {};
  int out = 0;
  ARB* ptr_arb = nullptr;
  uint32_t passes = 0;  // merge passes, the final one included
  uint64_t wrk_io = 0;  // bytes written and read on the work files

  bool executed = false;
  uint32_t status = 0;  // of the last failure
};

// ---- compile (qs_cmpl.cpp) ----

// The sort element file: a memory file of 616-byte records without a key.
void INIT_SORT_ELEM_FDB(FDB* fdb);
// Compiles the query's sort lines and its record identifier into the
// selection module of `s`, whose compile it then finishes, and builds the
// key descriptors and identifier segments; field addresses come from
// q->field_addr. 1, or 0 on a failure (reported as a system error).
int cmpl_sort(QRY_SORT* q, QRY_SLCT* s);
// A null value from the module `q->em` (the element's null-value source);
// 1 with the bytes, 0 without.
int qs_module_null(QRY_SORT* q, const uint8_t* celem, std::vector<uint8_t>* out);
// Orders two data-area descriptors by kind, application, number, type and
// relative offset: -1, 0 or 1.
int comp_dlf(const AREA_DESC* a, const AREA_DESC* b);

// ---- keys (qs_key.cpp) ----

// Adds the element of a sort element record; false (with a system error)
// for a type that has no key or a date mask that does not compile.
bool qs_add_elem(QRY_SORT* q, const uint8_t* se);
// Adds the closing element and builds the level table; `levels` is the
// number of sort lines used.
void qs_close_key(QRY_SORT* q, uint16_t levels);
// Fills the descriptor's null value from the element.
void get_null_val(QRY_SORT* q, const uint8_t* celem, QS_DESC* d);
// Writes the key of the record in place into `entry`; false when a date
// cannot be converted.
bool qs_make_key(QRY_SORT* q, uint8_t* entry, uint32_t selno);
// The first difference of two keys: the level of its byte, or levels + 1
// when they differ only in the closing element.
uint16_t qs_level(const QRY_SORT* q, const uint8_t* a, const uint8_t* b);
// Difference of the first unequal bytes (unsigned) and its position; 0, 0.
int memcmp2(const uint8_t* a, const uint8_t* b, uint32_t n, uint32_t* pos);

// ---- runs (qs_run.cpp) ----

// Bytes of the run budget one entry takes: the entry and its slot.
uint32_t qs_entry_cost(const QRY_SORT* q);
// Bytes of anonymous memory a pointer record of a memory pointer file takes
// (holder, copy and index entry): a one-run sort keeps its pointer file in
// memory only while that fits in the budget beside the run.
uint32_t qs_ptr_mem_cost(const QRY_SORT* q);
// Allocates the run memory, the collating table and the merge state.
void alloc_exec(QRY_SORT* q);
// Gives the run memory back once the last run is out: the merge and the
// reader of the pointer file need none of it.
void free_run(QRY_SORT* q);
// The next selected record's entry at `entry`: 1, 0 at the end of the file,
// -1 on a failure (its status in q->status). Leaves with QS_INTERRUPTED.
int get_pcf_rec(uint8_t* entry, QRY_SORT* q);
// Fills the run memory and sorts it; the entry count, -1 on a failure.
int64_t make_run(QRY_SORT* q);
// Removes and returns the run's smallest entry; null when none is left.
uint8_t* get_rec_id(QRY_SORT* q);
// Writes the pointer file from the run as a memory file; 1 or a status.
uint32_t single_run(QRY_SORT* q);
// Pointer records written one behind: the previous entry waits for the
// level toward the next one.
struct QS_PTR_OUT {
  std::vector<uint8_t> prev;
  std::vector<uint8_t> rec;  // the record being written
  uint16_t prev_level = 0;
  bool have = false;
};
uint32_t qs_put_ptr(QRY_SORT* q, QS_PTR_OUT* o, const uint8_t* entry);
uint32_t qs_end_ptr(QRY_SORT* q, QS_PTR_OUT* o);
// A work file (0-5) or, with `ptr`, the pointer file: created afresh or
// reopened at the query's scope. Null with a system error.
ARB* open_wrk_fi(QRY_SORT* q, int index, bool ptr, uint8_t fs_type, bool create);

// What decides whether a record is selected: the query process's event
// points "Query Pre-select" (07) and "Query Post Select" (08), which answer
// in byte 57 of its system area 7, and the compiled selection run in the
// selection module's context. Set as QRY_SORT::select with this as ctx.
struct QS_SLCT_CTX {
  PCB* proc = nullptr;                        // the query's process
  PCB* slct = nullptr;                        // the selection module's context
  uint16_t entry_blk = 65535, entry_off = 0;  // the selection code; 65535 none
};
int qs_select(void* ctx);

// ---- merge (qs_merge.cpp) ----

void nxt_perfect(QRY_SORT* q);
// The whole sort from the PCF's current start: 1, or the failure's status.
// Leaves with QS_INTERRUPTED; the work files go with the query's scope.
uint32_t qs_sort(QRY_SORT* q);

}  // namespace kivo
