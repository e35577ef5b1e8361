// The work-buffer pool: 30 slots taken in slot order. A slot keeps its
// memory when freed, so the compressors reuse the same few buffers; memory
// is given back only when a larger request replaces it.
#include <cstdlib>

#include "net/tmnet_internal.h"

namespace kivo {

namespace {

struct buffer_slot {
  size_t size = 0;            // bytes of `memory`
  uint8_t* memory = nullptr;  // null until first taken
  bool in_use = false;
};

buffer_slot g_slots[kTmnetBufferSlots];

}  // namespace

void tmnet_pool_reset() {
  for (buffer_slot& s : g_slots) s.in_use = false;
}

uint8_t* tmnet_alloc_buffer(size_t size) {
  for (buffer_slot& s : g_slots) {
    if (s.in_use) continue;
    if (s.size < size || !s.memory) {
      free(s.memory);
      s.memory = static_cast<uint8_t*>(malloc(size ? size : 1));
      s.size = s.memory ? size : 0;
      if (!s.memory) {
        tmnet_dbg_log(TMNET_LOG_WARN, "alloc_buffer: no memory for %zu bytes", size);
        tmnet_end_process(kTmnetPoolExit);
        return nullptr;
      }
    }
    s.in_use = true;
    return s.memory;
  }
  tmnet_dbg_log(TMNET_LOG_WARN, "alloc_buffer: exceeded buffer limit of %d", kTmnetBufferSlots);
  tmnet_end_process(kTmnetPoolExit);
  return nullptr;
}

void tmnet_free_buffer(void* memory) {
  if (!memory) return;
  for (buffer_slot& s : g_slots) {
    if (s.memory == memory && s.in_use) {
      s.in_use = false;
      return;
    }
  }
  tmnet_dbg_log(TMNET_LOG_WARN, "free_buffer: can't find buffer to free");
  tmnet_end_process(kTmnetPoolExit);
}

}  // namespace kivo
