// The handle words of an invocation record.
#include <gtest/gtest.h>

#include "compiler/pcb.h"
#include "foundation/bytes.h"

namespace kivo {
namespace {

// Handle words resolve only while live and only as their kind (the
// stored key bytes are pinned by static_asserts at the type).
TEST(PcbHandles, HandleWordsResolveOnlyWhileLive) {
  PCB p{}, q{};
  uint32_t hp = ih_put(HK_PCB, &p), hs = ih_put(HK_SURFACE, &q);
  ASSERT_NE(hp, 0u);
  st_le32(q.invoc.b, INVOC_PARENT_PCB, hp);
  EXPECT_EQ(invoc_parent(q.invoc), &p);
  // clang-format off
  struct row { handle_kind kind; uint32_t h; void* want;
  } rows[] = {
      {HK_PCB, hp, &p}, {HK_SURFACE, hs, &q}, {HK_SURFACE, hp, nullptr}, /* another kind */
      {HK_PCB, 0, nullptr}, {HK_PCB, hp ^ 0x1000, nullptr}, /* forged generation */
      {HK_PCB, hp + 1, nullptr}, {HK_NONE, hp, nullptr}, {HK_PCB, 0xFFFFFFFF, nullptr},
  };
  // clang-format on
  for (const row& r : rows) EXPECT_EQ(ih_get(r.kind, r.h), r.want) << r.h;
  ih_drop(hp);
  EXPECT_EQ(invoc_parent(q.invoc), nullptr);  // a dropped PCB is no invoker
  uint32_t again = ih_put(HK_PCB, &q);
  EXPECT_NE(again, hp);
  EXPECT_EQ(ih_get(HK_PCB, hp), nullptr);
  ih_drop(again), ih_drop(hs);
  EXPECT_EQ(ih_put(HK_PCB, nullptr), 0u);
}

}  // namespace
}  // namespace kivo
