// Memory pools: look-up, release by scope, and the checks on blocks.
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/scope.h"
#include "test_support.h"

namespace kivo {
namespace {

class Pools : public test::Fresh {
 protected:
  void TearDown() override {
    unsetenv("KIVO_TRAILER_COUNT");
    unsetenv("KIVO_CHECK_MEM");
    unsetenv("KIVO_ZERO_MALLOC");
    mm_init();
    test::Fresh::TearDown();
  }
};

constexpr char kA[] = "ALPHA      ";
constexpr char kB[] = "BETA       ";

TEST_F(Pools, SameNameAndLevelIsOnePoolAndScopesClearDeeperLevels) {
  POOL* a2 = mm_create_pool(kA, 2);
  EXPECT_EQ(a2, mm_create_pool(kA, 2));
  POOL* a3 = mm_create_pool(kA, 3);
  EXPECT_NE(a2, a3);
  EXPECT_EQ(a3, mm_find_pool(kA, 3));
  EXPECT_EQ(nullptr, mm_find_pool(kB, 2));
  EXPECT_EQ(nullptr, mm_find_pool(nullptr, 2));
  EXPECT_NE(mm_create_pool(nullptr, 2), mm_create_pool(nullptr, 2));  // unnamed pools are always new
  // Clearing a scope takes that level and deeper; session pools stay.
  POOL* a1 = mm_create_pool(kA, 1);
  mm_create_pool(kB, 5);
  mm_clr_scope(2);
  EXPECT_EQ(a1, mm_find_pool(kA, 1));
  EXPECT_TRUE(!mm_find_pool(kA, 2) && !mm_find_pool(kA, 3) && !mm_find_pool(kB, 5));
}

// A pool given to another level keeps its blocks and name, is found there
// and goes with that level's clearing, not the old one's; a level holding a
// pool of its name already refuses it. Session and deeper levels both ways.
TEST_F(Pools, AMovedPoolKeepsItsBlocksAndGoesWithItsNewLevel) {
  const struct { uint32_t from, to; } moves[] = {{5, 3}, {3, 5}, {4, 1}};
  for (const auto& m : moves) {
    SCOPED_TRACE(std::to_string(m.from) + " to " + std::to_string(m.to));
    POOL* p = mm_create_pool(kA, m.from);
    POOL* other = mm_create_pool(kB, m.to);  // a neighbour of the new level stays whole
    auto* block = static_cast<char*>(MM_ALLOC(p, 16));
    strcpy(block, "kept");
    ASSERT_EQ(mm_move_pool(p, m.to), 1);
    EXPECT_EQ(mm_find_pool(kA, m.from), nullptr);
    EXPECT_EQ(mm_find_pool(kA, m.to), p);
    EXPECT_EQ(mm_find_pool(kB, m.to), other);
    mm_clr_scope(m.from > m.to ? m.from : m.to + 1);  // the old level ends, or the ones below the new
    ASSERT_EQ(mm_find_pool(kA, m.to), p);
    EXPECT_STREQ(block, "kept");
    EXPECT_EQ(mm_move_pool(mm_create_pool(kA, m.from), m.to), 0);  // its name is taken there
    EXPECT_NE(mm_find_pool(kA, m.from), nullptr);
    mm_clr_scope(m.to);
    if (m.to > com.sys_scope) {
      EXPECT_EQ(mm_find_pool(kA, m.to), nullptr);
    }
    for (POOL* left : {mm_find_pool(kA, m.to), mm_find_pool(kA, m.from), mm_find_pool(kB, m.to)}) mm_destroy_pool(left);
  }
  EXPECT_TRUE(test::captured_errors().empty());
}

TEST_F(Pools, FindWorksWhateverTheInsertionOrder) {
  // Many names and levels in one directory; every one must be found again.
  char name[12];
  for (int level = 1; level <= 6; ++level)
    for (int i = 0; i < 300; ++i) {
      snprintf(name, sizeof name, "P%09d ", i * 7919 % 1000);
      mm_create_pool(name, static_cast<uint32_t>(level));
    }
  for (int level = 1; level <= 6; ++level)
    for (int i = 0; i < 300; ++i) {
      snprintf(name, sizeof name, "P%09d ", i * 7919 % 1000);
      POOL* p = mm_find_pool(name, static_cast<uint32_t>(level));
      ASSERT_NE(nullptr, p) << name << " level " << level;
      EXPECT_EQ(0, memcmp(p->name, name, 11));
      EXPECT_EQ(level, p->level);
    }
}

TEST_F(Pools, TotalsAndAllocationInfoFollowAllocationsAndFrees) {
  uint32_t base_bytes = mm_total_bytes(), base_blocks = mm_total_blocks();
  POOL* p = mm_create_pool(kA, 2);
  void* a = MM_ALLOC(p, 10);
  MM_ALLOC(p, 33);
  EXPECT_EQ(base_blocks + 2, mm_total_blocks());
  EXPECT_EQ(base_bytes + 2 * kMemHdrSize + 10 + 34, mm_total_bytes());
  int32_t total = 0, blocks = 0;
  EXPECT_EQ(1, mm_alloc_info(nullptr, &total, &blocks, "0"));
  EXPECT_EQ(static_cast<int32_t>(mm_total_bytes()), total);
  EXPECT_EQ(static_cast<int32_t>(mm_total_blocks()), blocks);
  mm_free(a);
  EXPECT_EQ(base_blocks + 1, mm_total_blocks());
  mm_destroy_pool(p);
  EXPECT_EQ(base_bytes, mm_total_bytes());
}

TEST_F(Pools, DoubleFreeIsReportedAndHarmless) {
  POOL* p = mm_create_pool(kA, 2);
  void* a = MM_ALLOC(p, 16);
  void* keep = MM_ALLOC(p, 16);
  mm_free(a);
  mm_free(a);
  EXPECT_TRUE(reported("mm_free() - attempting to free freed memory"));
  EXPECT_EQ(1u, p->blocks);
  mm_free(keep);
  EXPECT_EQ(0u, p->blocks);
}

TEST_F(Pools, TrailerOverrunIsReportedAtTheFreeAndUnderTheCheckFlagAtTheNextAllocation) {
  setenv("KIVO_TRAILER_COUNT", "2", 1);
  setenv("KIVO_CHECK_MEM", "1", 1);
  mm_init();
  POOL* p = mm_create_pool(kA, 2);
  auto* odd = static_cast<char*>(MM_ALLOC(p, 5));
  memset(odd, 'x', 6);  // the even-rounded length is still the caller's
  mm_free(odd);
  EXPECT_FALSE(reported("corrupted trailer"));

  auto* c = static_cast<char*>(MM_ALLOC(p, 8));
  c[8] = 'x';  // one byte past the caller's bytes
  MM_ALLOC(p, 4);
  EXPECT_TRUE(reported("dbg_trailer() - corrupted trailer"));
  test::captured_errors().clear();
  mm_free(c);
  EXPECT_TRUE(reported("mm_free() - corrupted trailer"));
}

TEST_F(Pools, ZeroFillClearsNewBlocks) {
  setenv("KIVO_ZERO_MALLOC", "", 1);
  mm_init();
  POOL* p = mm_create_pool(kA, 2);
  for (int i = 0; i < 50; ++i) {
    auto* c = static_cast<unsigned char*>(MM_ALLOC(p, 200));
    for (int k = 0; k < 200; ++k) ASSERT_EQ(0, c[k]);
    memset(c, 0xEE, 200);
    mm_free(c);
  }
}

TEST_F(Pools, BadArgumentsAreReportedAndBlocksAlignedForAnyType) {
  EXPECT_EQ(nullptr, MM_ALLOC(nullptr, 4));
  EXPECT_TRUE(reported("mm_alloc() - no pool specified"));
  POOL* p = mm_create_pool(kA, 2);
  EXPECT_NE(nullptr, MM_ALLOC(p, 0));
  EXPECT_TRUE(reported("mm_alloc() - zero bytes requested"));
  for (size_t n = 1; n < 40; ++n) EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(MM_ALLOC(p, n)) % 16);
}

TEST_F(Pools, IdentityAppearsInTheDescription) {
  POOL* p = mm_create_pool(kA, 3);
  EXPECT_EQ(8, mm_identify_pool(p, "fix pool"));
  EXPECT_STREQ("ALPHA      (scope 3) ID --> fix pool", mm_pool_desc(p));
  char odd[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  EXPECT_STREQ("0102030405060708090A0B(scope2)", mm_pool_desc(mm_create_pool(odd, 2)));
}

TEST_F(Pools, OutOfMemoryEndsTheCurrentLevelWithExit) {
  bool after = false;
  uint32_t rc = MARK(MARK_RECOVERY, [&] {
    POOL* p = mm_create_pool(kA, com.mark_scope);
    MM_ALLOC(p, size_t{5} << 32);
    after = true;
  });
  EXPECT_EQ(3u, rc);
  EXPECT_FALSE(after);
  EXPECT_TRUE(reported("mm_alloc - panic out of memory"));
  EXPECT_EQ(nullptr, mm_find_pool(kA, 2));
}

}  // namespace
}  // namespace kivo
