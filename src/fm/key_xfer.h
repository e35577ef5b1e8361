// Key compare and copy over compare segments (SSB runs): between two areas
// each in record layout (a segment at its own offset) or key layout (the
// segments one after another). The record operations, the scan bounds and
// the memory files all order and build keys through these.
//
// Nothing here allocates; a request lives on the caller's stack. A length
// limit never lets a compare or copy reach past it: a binary or packed
// segment cut by the limit is not compared (its bytes alone have no order),
// a character segment is compared over the bytes the limit leaves.
#pragma once

#include <cstdint>

#include "fm/fm_objects.h"

namespace kivo {

struct KEY_XFER {
  uint8_t* area1;        // for a copy, the destination
  const uint8_t* area2;  // for a copy, the source
  uint8_t key1;          // 1: area1 is in key layout, 0: record layout
  uint8_t key2;
  uint8_t limit;  // 0 = the whole key, else the number of key bytes
  uint8_t nsegs;
  const SSB* segs;
};

// -1, 0, 1: a against b by compare code over `length` bytes (the binary codes
// have their own width), reversed for any order but '+'. An unknown code is a
// system error and compares equal.
int seg_cmp(int code, const uint8_t* a, const uint8_t* b, int length, uint8_t order);

// The first area against the second, segment by segment.
int fm_cmp(const KEY_XFER& x);

// Copies the second area into the first.
void fm_cpy(const KEY_XFER& x);

// Key bytes up to and including `last` of the record: the runs before the
// one holding it plus its bytes there; the sum of all runs when none holds
// it; 0 without runs.
int fm_lsb_to_len(const uint8_t* record, const uint8_t* last, int nruns, const SSB* runs);

// The record in arb_rec against arb_key on key path arb_keyno, over
// arb_key_len (0 or the key length: the whole key).
int fm_key_cmp(ARB* arb);
// Copies the record's key into arb_key (when set) and returns its length;
// without arb_key, the key length up to arb_key_end when set, else the full
// key length.
int fm_cmprs(ARB* arb);
// Copies arb_key into the record's segment places.
void fm_uncmprs(ARB* arb);
// arb_var_len for a variable-length file, else the record length.
int get_rec_len(ARB* arb);

}  // namespace kivo
