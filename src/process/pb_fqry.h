// The active query of a sorted-query stream (pb_fqry.cpp): what it keeps
// and the steps of its build, first read and shutdown.
//
// Invariants: an ACTIVE_QRY is listed in the active-query file exactly while
// it is usable; its pool (created at the query block's scope level) holds
// its areas and copies, and goes with pb_shutdown or that level's end.
#pragma once

#include <cstdint>
#include <vector>

#include "compiler/pcb.h"
#include "fm/fm_objects.h"
#include "process/pb.h"
#include "process/pb_slct.h"
#include "process/pi.h"
#include "process/qs.h"

namespace kivo {

// A work file of the query process: the open and the stream constrained to
// the process's records.
struct QFI {
  ARB* file = nullptr;
  ARB* strm = nullptr;
  uint8_t key[33] = {};
  SCAN_REQ req{};
};

// A constraint entry: `len` bytes at `off` of the PCF record equal the
// values at `at` of the query's value buffer.
struct PB_CNSTR_SEG {
  uint16_t off, len;
  uint32_t at;
};

struct ACTIVE_QRY {
  POOL* pool = nullptr;
  uint32_t scope = 0;  // of the query's files and of the query block
  uint32_t wrk_no = 0;
  bool executed = false;
  char ap[3] = {}, ver[2] = {}, proc[30] = {};
  QRY_SLCT slct;
  QRY_SORT sort;
  QS_SLCT_CTX sctx;
  PCB slct_pcb{};              // the selection module's context
  std::vector<uint8_t*> addr;  // the selection module's area table
  PCB pcb{};                   // the query process's embedded block
  EM* em = nullptr;            // its module (one use of pl_get)
  ARB* pcf_arb = nullptr;      // the PCF stream the sort reads
  ARB* id_arb = nullptr;       // the file the pointers identify records of
  QFI qtag;
  std::vector<uint8_t> qparm;  // copies when built
  std::vector<std::vector<uint8_t>> qslct, qsort;
  bool tag_mode = false;
  PCF_SCB* chain = nullptr;            // the PCF's constraint chain, the query's own blocks
  std::vector<uint8_t> cns_vals;       // the values of the chain's constraint blocks
  std::vector<PB_CNSTR_SEG> cns_segs;  // the entries a record read must match
  std::vector<PB_ATTACH*> attaches;
  PB_PROGRESS prog;
};

// The generator of work-file numbers (from 1, by 20).
extern uint32_t pb_wrk_no;

ACTIVE_QRY* fq_find(const char* ap, const char* proc, uint32_t scope);
std::vector<ACTIVE_QRY*> fq_all();
uint32_t fq_count();

// The handles belong to level `held`, 0 the current one.
QFI open_qfi(uint32_t scope, const char* name, const char* ap, const char* proc, uint32_t held = 0);
void copy_specs(ACTIVE_QRY* q, ARB* parm, ARB* slct, ARB* sort);
int pb_compatible(ACTIVE_QRY* q);
const uint8_t* pb_get_dproc(const char* ap, const char* ver, uint8_t type, const char* name, uint32_t* status);
uint32_t invoke_setup(const uint8_t* qblk, PCB* parent);
int load_suspend(ACTIVE_QRY* q, const uint8_t* qblk, PCF_SCB** rng, PCF_SCB** cns);
int rloc_qry(ACTIVE_QRY* q);
int cns_pcf(ACTIVE_QRY* q, PCF_SCB* rng, PCF_SCB* cns, PCF_SCB* chain, ARB* alt);
// The active query, or null; then *status (when given) is the selection's
// status when the selection did not compile, else left as it was.
ACTIVE_QRY* pb_bld_fqry(const uint8_t* qblk, ARB* alt, uint32_t wrk_no, PCF_SCB* chain, uint32_t* status = nullptr);
// The sort on the first call, the attach's pointer stream: 1 or a status.
uint32_t pb_get_nxt_ptr(PB_ATTACH* b);
void pb_shutdown(ACTIVE_QRY* q);
// Frees what a query holds without its record (a build that failed).
void pb_release(ACTIVE_QRY* q);
// The active query behind a sorted stream built, 1 when built, and its
// release at the stream's close (process_seams.pb_build and pb_unbuild).
int pb_fqry_build(ARB* arb, STRM* strm, const uint8_t* qblk, PB_ATTACH* out);
void pb_fqry_unbuild(PB_ATTACH* b);
// A new start of the file manager: the query files of an earlier one are
// forgotten.
void pb_fqry_register();

}  // namespace kivo
