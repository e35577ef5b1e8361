// The session-level scratch pool and growable buffers.
#include "foundation/scratch.h"

#include "foundation/com.h"
#include "foundation/pool.h"

namespace kivo {

POOL* ut_scratch_pool() {
  static const char kName[kPoolNameLen + 1] = " UT SCRATCH";
  return mm_create_pool(kName, com.sys_scope);
}

void* ut_chk_buf(ut_buf* buf, size_t n) {
  if (buf->size >= n && buf->ptr) return buf->ptr;
  if (buf->ptr) mm_free(buf->ptr);
  buf->ptr = n <= UINT32_MAX ? MM_ALLOC(ut_scratch_pool(), n) : nullptr;
  buf->size = buf->ptr ? static_cast<uint32_t>(n) : 0;
  return buf->ptr;
}

}  // namespace kivo
