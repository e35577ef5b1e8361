// The record cache: one shared block per file and kind holding the record
// that the application's INITIAL design file defines for it (kind 1: the
// initial values processes load; kind 2: the null record the file manager
// trims and restores variable-length records with). The blocks live in the
// memory file "PROTO   ", written in locate mode: a reference is the
// address of the data, the 18-byte cache record lies right in front of it.
//
// Callers: the open (null record of a new physical file, released with the
// PFB), the process engine (initial records), the suspend of a session
// (fm_find_fis).
#pragma once

#include <cstddef>
#include <cstdint>

#include "fm/fm_objects.h"

namespace kivo {

// The cache record in front of the data.
enum : size_t {
  CACHE_AP = 0,     // 3
  CACHE_VER = 3,    // 2
  CACHE_NAME = 5,   // 8
  CACHE_KIND = 13,  // 1: initial record, 2: null record
  CACHE_LEN = 14,   // u16 data length
  CACHE_USES = 16,  // u16 use count
  kCacheHdrSize = 18,
  kCacheKeyLen = CACHE_LEN,
};
static_assert(CACHE_USES + 2 == kCacheHdrSize);
enum : uint8_t { CACHE_INITIAL = 1, CACHE_NULL = 2 };

// The cached record of the descriptor's file and `kind`, its use count
// raised; null with fdb_stat set on failure (FM_BAD_INIT when the INITIAL
// records do not make up a record of the file's length), or with fdb_stat 0
// when the descriptor asks for no structure check or belongs to the engine
// (an application id starting with a blank).
const uint8_t* fm_cache(FDB* fdb, uint8_t kind);
// Lowers the use count of a reference fm_cache gave; the last frees it. 1.
int fm_uncache(const uint8_t* ref);
// Forgets the INITIAL handle of an earlier session (fm_init).
void fm_cache_reset();

// Writes a descriptor record (stored form, fdb_store) of every open scoped
// data file to the caller's handle, replacing one already there, and starts
// the handle at its first record of key 0; the start's result.
int fm_find_fis(ARB* arb);

}  // namespace kivo
