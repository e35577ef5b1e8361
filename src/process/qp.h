// The QUERY process: criteria kept in the "0LA" work files QPARM, QSLCT,
// QSORT and QTAG, edited by "QSLCT EDIT" and "QSORT EDIT" (or tagged by
// "SCAN"), and frozen at the process's end in a suspend file that a sorted
// query over the process reads back (pb.h, load_suspend).
//
// Invariants: every pending record names a suspend file of its scope level
// and lives until that level ends or a query consumes the file; a suspend
// file is written whole before its pending record is added, and every
// record of it has the length its header or area gives (the reader refuses
// any other).
//
// Callers: the executive through the QUERY row of pi_type_rows (qp_init);
// the suspend and resume of a background run (qp_save_pend, qp_load_pend);
// the shared-data set-up of a background child (qp_copy_pend); the scope
// clearing of the sorted-query file type (qp_clr_scope).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/descriptors.h"
#include "foundation/paths.h"

namespace kivo {

struct ARB;
struct EM;
struct PCB;

// ---- the suspend file of a query process ----

constexpr uint16_t kQpSuspRecMax = 32767;
// Header record.
enum : size_t {
  QH_AP = 0,
  QH_PROC = 3,  // 30
  QH_PROC_TYPE = 33,
  QH_WORD1 = 36,  // u32, module header words
  QH_WORD2 = 40,
  QH_RNG_AP = 44,     // 3
  QH_RNG_NAM = 47,    // 30
  QH_INVOC99 = 77,    // the invocation's bytes 99 and 100
  QH_INVOC100 = 78,   //
  QH_CNSTR_CNT = 80,  // u32
  QH_CNSTR_LEN = 84,  // u32, total length of the constraint values
  QH_TAG_MODE = 88,
  QH_PROFILE = 89,  // 30
  kQpHdrLen = 120,
};
constexpr size_t kQpCnstrSegLen = 8;  // one constraint segment entry of a query suspend file
constexpr size_t kPathLen = 28;       // a stored file path

// The header's invocation bytes.

// The suspend file's descriptor of a module (suspend directory of its
// application and version, named from its stamp) owned by `scope`.
void qp_susp_fdb(FDB* fdb, const EM* em, uint32_t scope);

// What a suspend file holds besides the areas, as load_suspend hands it on.
struct QP_SUSP {
  uint8_t hdr[kQpHdrLen];
  std::vector<uint8_t> cnstr_vals;  // header's length
  std::vector<uint8_t> cnstr_segs;  // count x 8
};

// Reads and checks every record of a suspend file against the module's
// area table: the header, the constraint records, one record per area of
// type 0, 2, 3 (its size) and 1 (a path). 1 with `out` and the area
// records (one per area descriptor, empty when the area has none); 0 when a
// record is missing, of another length, or follows the last one.
int qp_read_susp(ARB* a, const EM* em, QP_SUSP* out, std::vector<std::vector<uint8_t>>* areas);

// ---- the pending file and the open file ----

constexpr size_t kPendLen = 28;
// OPEN record: an ELEMENT design file a query process holds open, by the
// process and the file's application; OPEN_ARB holds 0, the handle itself is
// kept by pb_dds_keep.
enum : size_t { OPEN_PCB = 0, OPEN_AP = 4, OPEN_FLAG = 7, OPEN_ARB = 8 };
constexpr size_t kOpenLen = 12;
static_assert(OPEN_ARB + 4 == kOpenLen);
extern ARB* qp_pend_arb;   // add and read
extern ARB* qp_pend_walk;  // walk a scope's records
extern ARB* qp_open_arb;

// 1 when the pending record of `path` was added (a duplicate counts); 0
// reported as a system error with `text`.
int qp_add_pend(const FDB_PATH& path, const char* text);
// Deletes the pending record of `path` when there is one.
void qp_del_pend(const FDB_PATH& path);
// The paths pending at `scope`, in key order.
std::vector<FDB_PATH> qp_pend_of(uint32_t scope);

// ---- the steps ----

// While a sorted query runs its query process automatically: the level it
// reads the criteria and the suspend file at, which that run writes them at
// whoever owns its query areas (0: no such run).
extern uint32_t qp_auto_scope;

void qp_init();
uint32_t qp_setup(PCB* p);
void qp_exec(PCB* p);
void qp_auto(PCB* p);
void qp_cleanup(PCB* p);
int qp_save_pend(ARB* susp, uint32_t scope);
int qp_load_pend(ARB* susp, uint32_t scope);
void qp_copy_pend(uint32_t new_scope, uint32_t old_scope);
void qp_clr_scope(uint32_t scope);

// ---- inner steps, for the sorted-query build and tests ----

// The QPARM record of a module (1644 bytes).
void bld_qparm(PCB* p, uint8_t* rec);
// The module's compiled frame of `kind` (after `prev` when given); null none.
const uint8_t* find_cfrm(EM* em, uint8_t kind, const uint8_t* prev);
// The process's stream of a work file ("QPARM   " ...), null none.
ARB* get_qfi_arb(PCB* p, const char* name);
// Deletes the records of (ap, proc); 0 when the stream cannot be made or a
// read or delete failed before the last of them.
int purge_qfi_recs(ARB* a, const char* ap, const char* proc);
// Copies every record of `src` into `dst`: 1, 0 on a duplicate key.
int copy_qfi(ARB* dst, ARB* src);
// Copies a suspend file from `old_scope` to `new_scope`; 1 or 0.
int copy_susp_fi(uint32_t new_scope, uint32_t old_scope, const FDB_PATH& path);
// The 120-byte header of the process's suspend file.
void qp_susp_hdr(PCB* p, uint8_t* h);
// Writes the suspend file of the process (header, constraints, areas).
int create_suspend(PCB* p, ARB** out);
int suspend(PCB* p);
void open_dds(PCB* p);
// Closes the process's open files and deletes their records; false (the
// failure reported) when a record could not be read or deleted.
bool close_dds(PCB* p);
// Runs a system process of "0LA" as the query's child; its end code. With
// `qfi` ("QSLCT   ", "QSORT   "), an editor of that work file kept to the
// query's own records.
uint32_t qp_run_editor(PCB* p, const char* name, uint8_t type, uint8_t one_shot, const char* qfi = nullptr);
uint32_t scan(PCB* p);
// Adds the routines of "SCAN" (QP_SCAN_NAMES, QP_SCAN_TAG) to the routine
// table; once, from the QUERY row's start.
void qp_scan_register();
// Adds the selection editor's check (QP_VALID_SLCT) to the routine table;
// once, from the QUERY row's start.
void qp_check_register();
// The query mode of the process, settled and stored back (1 in automatic runs).
uint8_t qp_mode(PCB* p);

}  // namespace kivo
