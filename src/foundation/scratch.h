// The session-level scratch pool and the growable buffers drawn from it.
//
// The pool lives at `com.sys_scope`, so what it holds outlasts every process
// of the session; it is found by name on each use, so a fresh memory manager
// (tests) simply gets a new one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

struct POOL;

// The pool " UT SCRATCH" of the session level.
POOL* ut_scratch_pool();

struct ut_buf {
  uint32_t size;  // bytes `ptr` holds; 0 with a null pointer
  void* ptr;      // null, or an allocation of the scratch pool
};

// Makes `buf` hold at least `n` bytes: a smaller one is replaced by a new
// allocation (its contents are not kept). Returns the pointer, null when
// memory fails (the buffer is then empty).
void* ut_chk_buf(ut_buf* buf, size_t n);

}  // namespace kivo
