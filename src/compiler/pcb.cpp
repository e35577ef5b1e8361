// The handle registry behind an invocation record's pointer words.
//
// A fixed table of slots, each with a generation that moves on when the slot
// is dropped, so a stale or forged handle resolves to nothing.
#include "compiler/pcb.h"

#include "foundation/bytes.h"

namespace kivo {

namespace {

constexpr uint32_t kSlotBits = 12;
constexpr uint32_t kSlots = 1u << kSlotBits;
constexpr uint32_t kGenMask = (1u << (32 - kSlotBits)) - 1;

struct slot {
  void* p;
  uint32_t gen;  // 20 bits; 0 never names a live slot
  handle_kind kind;
};
slot g_slots[kSlots];
uint32_t g_next_free = 1;  // slot 0 stays unused so that handle 0 is none

uint32_t handle_of(uint32_t i) { return g_slots[i].gen << kSlotBits | i; }

}  // namespace

uint32_t ih_put(handle_kind kind, void* p) {
  if (!p || kind == HK_NONE) return 0;
  for (uint32_t n = 0; n < kSlots - 1; ++n) {
    uint32_t i = 1 + (g_next_free - 1 + n) % (kSlots - 1);
    slot& s = g_slots[i];
    if (s.kind != HK_NONE) continue;
    s.gen = (s.gen + 1) & kGenMask;
    if (s.gen == 0) s.gen = 1;
    s.p = p, s.kind = kind;
    g_next_free = i + 1 < kSlots ? i + 1 : 1;
    return handle_of(i);
  }
  return 0;
}

void* ih_get(handle_kind kind, uint32_t h) {
  uint32_t i = h & (kSlots - 1);
  if (i == 0 || kind == HK_NONE) return nullptr;
  const slot& s = g_slots[i];
  return s.kind == kind && s.gen == (h >> kSlotBits) ? s.p : nullptr;
}

void ih_drop(uint32_t h) {
  uint32_t i = h & (kSlots - 1);
  slot& s = g_slots[i];
  if (i == 0 || s.kind == HK_NONE || s.gen != (h >> kSlotBits)) return;
  s.p = nullptr, s.kind = HK_NONE;
}

PCB* invoc_parent(const INVOC& v) { return static_cast<PCB*>(ih_get(HK_PCB, v.parent_pcb())); }

}  // namespace kivo
