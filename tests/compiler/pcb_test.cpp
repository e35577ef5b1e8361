// The PCB's stored bytes and the handle words of an invocation record.
#include <gtest/gtest.h>

#include <cstring>

#include "compiler/pcb.h"
#include "foundation/bytes.h"

namespace kivo {
namespace {

// The PCB file's key reads family, application .. name, instance and the
// alternate flag straight from the block's first 152 bytes.
TEST(PcbHandles, KeyBytesAndHandleWords) {
  PCB p{}, q{};
  p.family_no = 0x01020304, p.pcb_instance = 0x0506, p.pcb_alt = 1, p.pcb_pool_owner = 1;
  memcpy(p.invoc.b + INVOC_AP_ID, "PAY", 3);
  const auto* raw = reinterpret_cast<const uint8_t*>(&p);
  EXPECT_EQ(ld_le32(raw, 0), 0x01020304u);
  EXPECT_EQ(memcmp(raw + 4, "PAY", 3), 0);
  EXPECT_EQ(ld_le16(raw, 148), 0x0506);
  EXPECT_EQ(raw[150], 1);
  EXPECT_EQ(raw[151], 1);

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
