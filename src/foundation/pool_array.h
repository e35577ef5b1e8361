// Allocation shorthands over the memory pools: arrays of 4-byte-aligned
// elements and counted buffers. Both pass the caller's file and line, so a
// pool dump names the caller, not this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/com.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"

namespace kivo {

// `count` elements of `size` bytes each rounded up to 4. A total that does
// not fit a block is reported and gives null.
inline void* mm_alloc_array(POOL* pool, size_t size, size_t count, const char* file, int line) {
  uint64_t each = (static_cast<uint64_t>(size) + 3) & ~uint64_t{3};
  if (count != 0 && each > UINT32_MAX / count) {
    sys_err("MM", line, "MM_ALLOC_ARRAY - %zu elements of %zu bytes too large", count, size);
    return nullptr;
  }
  return mm_dbg_alloc(pool, static_cast<size_t>(each * count), file, line);
}

// `n` bytes into the counted buffer `out` (pointer and length); null and an
// empty buffer when `n` exceeds what a counted string can say.
inline char* mm_alloc_str(POOL* pool, cstr* out, size_t n, const char* file, int line) {
  out->len = 0;
  out->ptr = nullptr;
  if (n > UINT16_MAX) {
    sys_err("MM", line, "MM_ALLOC_STR - length %zu over %u", n, unsigned{UINT16_MAX});
    return nullptr;
  }
  out->ptr = static_cast<char*>(mm_dbg_alloc(pool, n, file, line));
  if (out->ptr) out->len = static_cast<uint16_t>(n);
  return out->ptr;
}

}  // namespace kivo

#define MM_ALLOC_ARRAY(pool, size, count) ::kivo::mm_alloc_array((pool), (size), (count), __FILE__, __LINE__)
#define MM_ALLOC_STR(pool, counted, n) ::kivo::mm_alloc_str((pool), (counted), (n), __FILE__, __LINE__)
