// Shared helpers of the foundation: record addresses by number, the
// true/false word, array and counted allocations, the developer trace.
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "../fixtures/hook_override.h"
#include "foundation/foundation.h"
#include "foundation/maddr.h"
#include "foundation/pool_array.h"
#include "foundation/tf_word.h"
#include "foundation/trace.h"
#include "test_support.h"

namespace kivo {
namespace {

class SharedMacros : public test::Fresh {};

// A memory file of numbered 8-byte records, as the reader hook sees it.
struct FakeMemFile {
  uint32_t rec_no = 0;
  std::vector<std::array<uint8_t, 8>> recs;
};

uint8_t* fake_read(void* handle, uint32_t n) {
  auto* f = static_cast<FakeMemFile*>(handle);
  f->rec_no = n;
  return n >= 1 && n <= f->recs.size() ? f->recs[n - 1].data() : nullptr;
}

TEST_F(SharedMacros, MaddrGivesTheRecordOfThatNumber) {
  FakeMemFile f;
  f.recs.resize(3);
  kivo_test::scoped_hook reader(foundation_hooks.maddr, fake_read);
  struct {
    uint32_t n;
    uint8_t* want;
  } cases[] = {{1, f.recs[0].data()}, {3, f.recs[2].data()}, {2, f.recs[1].data()}, {4, nullptr}, {0, nullptr}};
  for (auto& c : cases) {
    EXPECT_EQ(c.want, MADDR(&f, c.n)) << c.n;
    EXPECT_EQ(c.n, f.rec_no);  // the handle is positioned on the record asked for
  }
  EXPECT_EQ(nullptr, MADDR(nullptr, 1));
  kivo_test::scoped_hook no_reader(foundation_hooks.maddr, nullptr);
  EXPECT_EQ(nullptr, MADDR(&f, 1));
  EXPECT_TRUE(reported("MADDR - no memory-file reader for record 1"));
}

TEST_F(SharedMacros, SetTfPutsTheCodeAndMarksDeeperLevelsUnset) {
  struct {
    uint32_t code, position, word, want;
  } cases[] = {
      {2, 4, 0, 0b1011},                     // code 10 at bits 2-3, 11 below
      {1, 2, 0, 0b01},                       // no deeper level
      {0, 6, 0xFFFFFFFF, 0xFFFFFFC0 | 0xF},  // higher levels kept, code 00 written
      {3, 12, 0, (3u << 10) | 0xFF},         // at most the low eight bits set
      {1, 32, 0xFFFFFFFF, (1u << 30) | 0xFF},
      {2, 0, 0x1234, 0x1234},  // no level: unchanged
      {2, 5, 0x1234, 0x1234},  // odd position: unchanged
      {2, 34, 0x1234, 0x1234},
  };
  for (auto& c : cases) {
    uint32_t w = c.word;
    SET_TF(c.code, c.position, &w);
    EXPECT_EQ(c.want, w) << c.code << "@" << c.position;
  }
}

TEST_F(SharedMacros, ArrayAndCountedAllocations) {
  const struct {
    size_t size, count;
    uint32_t want;
  } cases[] = {{1, 3, 12}, {4, 3, 12}, {5, 2, 16}};
  for (auto& c : cases) {
    void* p = MM_ALLOC_ARRAY(mm_pool_id, c.size, c.count);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(c.want, reinterpret_cast<MEMHDR*>(static_cast<char*>(p) - kMemHdrSize)->size) << c.size << "x" << c.count;
  }
  EXPECT_EQ(nullptr, MM_ALLOC_ARRAY(mm_pool_id, 0x40000000, 8));
  EXPECT_EQ(nullptr, MM_ALLOC_ARRAY(mm_pool_id, 0xFFFFFFFF, 1));
  EXPECT_TRUE(reported("MM_ALLOC_ARRAY - 8 elements of 1073741824 bytes too large"));
  cstr s{};
  ASSERT_NE(nullptr, MM_ALLOC_STR(mm_pool_id, &s, 300));
  EXPECT_EQ(300, s.len);
  EXPECT_EQ(nullptr, MM_ALLOC_STR(mm_pool_id, &s, 70000));
  EXPECT_EQ(0, s.len);
  EXPECT_EQ(nullptr, s.ptr);
}

TEST_F(SharedMacros, TraceWritesOnlyWhileOn) {
  snprintf(ut_dbg, kUtDbgSize, "step %d", 3);
  testing::internal::CaptureStderr();
  TRACE("PI");
  com.trace_on = 1;
  TRACE("PI");
  memset(ut_dbg, 'x', kUtDbgSize);  // no terminator: cut at the buffer's end
  TRACE("FM");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ("PI - step 3\nFM - " + std::string(kUtDbgSize, 'x') + "\n", err);
}

}  // namespace
}  // namespace kivo
