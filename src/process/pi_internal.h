// Helpers shared by the executive's set-up files (pi_*.cpp) and nothing else.
#pragma once

#include <cstdint>
#include <vector>

#include "fm/fm_record.h"
#include "process/pi.h"

namespace kivo {

// The compiled application record of `ap` in the module; null none.
const uint8_t* pi_cap(EM* em, const char* ap);

// SAA records written in locate mode and deleted (the block stays the caller's).
bool saa_write(uint8_t kind, SAA_REC* r);
bool saa_delete(uint8_t kind, SAA_REC* r);

// The kind's records move from the invoker's family to this PCB (a chain
// across families whose invoker heads its family).
bool pi_hand_over(const PCB* p, uint8_t kind);

// The area kind of the query areas: a query's criteria, work files and
// suspend file belong to the level of their owner's pool.
constexpr uint8_t kQryAreaKind = 7;
// The scope level of the pool of the owner of the process's areas of `kind`
// (its own pool's without one); for the query areas of an automatic QUERY
// run made for a sorted query, the level that query reads them at.
uint32_t pi_owner_level(const PCB* p, uint8_t kind);

// System area numbers of pcb_areas.
enum : uint32_t {
  AREA_OUT_DFLT = 1,
  AREA_PCF_FLAG = 3,
  AREA_DB_SEL = 5,
  AREA_NEXT = 7,
  AREA_DB = 9,
  AREA_PROC = 11,
  AREA_PCF = 13,
  AREA_DETACHED = 15,
  AREA_USER = 16,
  AREA_RANGE = 17,  // "RANGE CODE": the code of the query a run is ranged on
};
// Area 1's job group (submit mode, the background flag, notify, date,
// priority, queue): the flag "1" in a process's own area says it runs as a
// background job; in its invoker's, that what it invokes next does.
enum : uint32_t { A1_JOB_FIRST = 629, A1_BACKGROUND = 630, A1_JOB_END = 660 };
// The address of system area `n`, or null when the module has none there or
// it is shorter than `min_len`.
uint8_t* pi_area(const PCB* p, uint32_t n, uint32_t min_len);

bool is_blank(const void* p, size_t n);

// Closes and scratches the work file `a` holds, if any, and forgets it; a
// close that fails is a system error.
void pi_close_scratch(ARB*& a);

// Reads every record of a module sub-file in order (locate mode); false
// when the file cannot be started.
template <typename F>
bool pi_each_rec(ARB* a, F&& fn) {
  if (!a) return true;
  uint8_t dummy[4] = {};
  PROTO_FULL(a, 0, dummy);
  a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return false;
  while (uint8_t* r = fm_rdnxt_fast(a, 0)) fn(r);
  return true;
}

// A session named on the command line waits to be resumed (a name never
// set is all zero bytes).
bool session_pending();

// Forgets the language properties read (pi_reset_caches).
void pi_reset_lang();

// Open options of the system-administration and design files read here:
// wherever the path leads, no structure check.
constexpr uint32_t kSaOpts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;

}  // namespace kivo
