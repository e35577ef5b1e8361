// Record operations on a handle's current stream, whatever its back-end:
// reads by key or record id, starts and read-next under the handle's scan
// restrictions (its FSCB chain), writes, rewrites, deletes and releases,
// with the null tail of short variable-length records and the file's event
// points (read, before update, after update).
//
// Every operation returns 1 or 0 with the status in arb_stat. Invariant:
// the caller's arb_mod, arb_key, arb_key_len, arb_keyno and arb_lock_wait
// come back as they were on every path. A stream's position state is its
// strm_active (kStrmInactive .. kStrmOnRecord).
#pragma once

#include <cstddef>
#include <cstdint>

#include "fm/fm_objects.h"
#include "foundation/invoc.h"

namespace kivo {

int fm_read(ARB* arb);
int fm_start(ARB* arb);
int fm_rdnxt(ARB* arb);
int fm_write(ARB* arb);
int fm_rewrite(ARB* arb);
int fm_del(ARB* arb);
// Gives up the stream's hold; a null handle gives up every hold of every
// back-end. The slot's result.
int fm_release(ARB* arb);

// A hint that the record of `id` (a record id, `id_len` bytes) is read
// through `arb` soon: a native file asks the memory system for its bytes.
// Changes nothing the handle shows (status, position, holds); other
// back-ends, and ids of another length, ignore it.
void fm_prefetch_id(const ARB* arb, const uint8_t* id, uint32_t id_len);

// Locate-mode reads: arb_mod := mod | ARB_LOCATE; the record or null.
uint8_t* fm_read_fast(ARB* arb, uint16_t mod);
uint8_t* fm_rdnxt_fast(ARB* arb, uint16_t mod);

// Prepares a keyed operation whose key values come from `rec`.
inline void PROTO_FULL(ARB* arb, uint8_t keyno, uint8_t* rec) {
  arb->arb_keyno = keyno;
  arb->arb_rec = rec;
  arb->arb_key = nullptr;
}

// ---- scan restrictions (fm_scan.cpp) ----

// The key prefix a segment list fixes for key `keyno`: its length (0 =
// none), the bytes in *out. Cached per list.
int find_prefix(ARB* arb, FSCB* list, const uint8_t** out, uint8_t keyno);
// A requested key against the first restriction: 0 nothing can match (the
// status set), 1 read as asked, 2 arb_key/arb_key_len now hold the
// restriction's own start.
int verify_pos_req(ARB* arb, FSCB* first);
// A delivered record against every restriction: 1 it qualifies, 2 pass over
// it, 0 no later record on the key path can qualify.
int chk_pos(ARB* arb, bool for_rdnxt);

// ---- null tail and event points (fm_record_events.cpp) ----

// Fills the tail of a short variable-length record read outside locate mode
// from the null record, or with zeros when the file has none.
void restore_null(ARB* arb);
// The length a variable-length record is written with when the caller left
// arb_var_len at 0: its tail equal to the null record (zeros without one)
// cut off, never below the shortest record.
uint16_t trimmed_len(ARB* arb);

enum : uint8_t { EP_READ = 3, EP_PRE_UPD = 4, EP_POST_UPD = 5 };
enum : uint8_t { FP_OP_WRITE = 1, FP_OP_DELETE = 2, FP_OP_READ = 3, FP_OP_UPDATE = 4 };

// True when the handle's open runs its file's event points.
bool has_events(const ARB* arb);
// The read event point: 1 accepted; 0 refused (FM_NOT_FOUND, a hold taken
// released).
int post_read(ARB* arb);
// The before- and after-update event points with operation `op`.
void pre_upd(ARB* arb, uint8_t op);
void post_upd(ARB* arb, uint8_t op);
// After an update: the process data kept with the record updated are
// forgotten, so that a later update of another record starts from the
// data as they are then, not as they were at this one.
void end_upd(ARB* arb);

}  // namespace kivo
