// Key definition: the combination builder, the checks, the order and the
// KEYMAP records on native files, a write failure among them.
#include <gtest/gtest.h>
#include <utility>

#include <algorithm>
#include <cerrno>

#include "../fixtures/hook_override.h"
#include "../fixtures/kivo_fixture.h"
#include "../fm/fm_native_util.h"
#include "foundation/foundation.h"
#include "foundation/os_calls.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "screen/keydef.h"

namespace kivo::test {
namespace {

// The test terminal's keys, one of them replaced when `key` is given.
void test_keys(kd_keys& k, int key = -1, const std::string& bytes = "") {
  for (int i = 0; i < kPhysKeys; ++i) {
    const std::string b = i == key ? bytes : kivo_test::test_phys_bytes(i);
    for (int j = 0; j < kKeystrokeMax; ++j) k[i][j] = j < int(b.size()) ? uint8_t(b[j]) : kKeystrokeEnd;
  }
}

kd_combo combo(std::initializer_list<uint16_t> v) {
  kd_combo c{0, {}};
  std::fill(std::begin(c.keys), std::end(c.keys), kKeystrokeEnd);
  std::copy(v.begin(), v.end(), c.keys);
  return c;
}

class KeyDefinition : public NativeFm {
 protected:
  ARB* keymap() {
    INIT_DKEYMAP_FDB(&f_, k_, s_);
    return FM_CREATE(&f_, com.sys_scope, 10, kAnyFile | LFB_OPEN_NEW, 15, 15) ? f_.fdb_arb : nullptr;
  }
  // The records of (term, name) in key order.
  std::vector<std::vector<uint8_t>> records(ARB* a, const char* name) {
    std::vector<std::vector<uint8_t>> out;
    uint8_t key[23], rec[KEYMAP_RECORD_SIZE];
    memcpy(key, "tmux      ", 10), memcpy(key + 10, "   ", 3), memcpy(key + 13, name, 10);
    a->arb_keyno = 0, a->arb_key = key, a->arb_key_len = 23, a->arb_rec = rec, a->arb_len = sizeof rec;
    a->arb_mod = ARB_PARTIAL;
    if (fm_start(a)) {
      for (a->arb_mod = ARB_EQUAL | ARB_PARTIAL; fm_rdnxt(a);) out.emplace_back(rec, rec + sizeof rec);
    }
    a->arb_key = nullptr, a->arb_mod = 0;
    return out;
  }
  FDB f_;
  KDB k_[kInitMaxKeys];
  SDB s_[kInitMaxSegs];
};

TEST_F(KeyDefinition, BuilderKeepsEveryCombinationThatFits) {
  kd_keys k;
  test_keys(k);
  std::vector<size_t> too_long;
  EXPECT_EQ(make_all_keys(k, &too_long).size(), kAllCombos);
  EXPECT_TRUE(too_long.empty());
  test_keys(k, PK_OPTION, std::string(13, '\x01'));  // OPTION OPTION d d no longer fits
  std::vector<kd_combo> kept = make_all_keys(k, &too_long);
  EXPECT_EQ(too_long.size(), 90u);
  EXPECT_EQ(kept.size(), kAllCombos - 90);
  EXPECT_EQ(kept.back().code, 9);  // OPTION 9 is the last that fits
}

TEST_F(KeyDefinition, ChecksFindIdenticalKeysAndOverlappingCombinations) {
  kd_keys k;
  test_keys(k);
  int a = -1, b = -1;
  EXPECT_FALSE(check_dupe_keys(k, &a, &b));
  test_keys(k, PK_HOME, kivo_test::test_phys_bytes(PK_UP));
  EXPECT_TRUE(check_dupe_keys(k, &a, &b));
  EXPECT_EQ(a, PK_UP);
  EXPECT_EQ(b, PK_HOME);
  const struct {
    std::vector<kd_combo> combos;
    size_t conflicts;
    bool identical;
  } rows[] = {
      {{combo({1, 2}), combo({1, 3})}, 0, false},
      {{combo({1, 2}), combo({1, 2})}, 1, true},
      {{combo({1, 2, 3}), combo({1, 2})}, 1, false},
      {{combo({1}), combo({1, 2}), combo({1, 3})}, 2, false},
  };
  for (const auto& r : rows) {
    auto got = check_dupe_combos(r.combos);
    ASSERT_EQ(got.size(), r.conflicts);
    if (!got.empty()) {
      EXPECT_EQ(got[0].identical, r.identical);
    }
  }
  test_keys(k);
  std::vector<kd_combo> all;
  EXPECT_EQ(keymap_faults(k, &all), std::vector<std::string>{});  // the test terminal's keymap is clean
}

TEST_F(KeyDefinition, SortPutsAnEndedListBeforeItsExtensions) {
  std::vector<kd_combo> c = {combo({2}), combo({1, 5}), combo({1}), combo({0x1b, 0x4f}), combo({1, 0x105})};
  for (size_t i = 0; i < c.size(); ++i) c[i].code = uint16_t(i);
  sort_all_keys(c);
  std::vector<uint16_t> order;
  for (auto& x : c) order.push_back(x.code);
  EXPECT_EQ(order, (std::vector<uint16_t>{2, 1, 4, 0, 3}));
}

ssize_t failing_pwrite(int, const void*, size_t, off_t) { return errno = EIO, -1; }
ssize_t failing_pwritev(int, const struct iovec*, int, off_t) { return errno = EIO, -1; }
ssize_t failing_write(int, const void*, size_t) { return errno = EIO, -1; }

// Ten combinations a record under both names; a count that is a multiple
// of ten gets one more record of empty slots. Writing again replaces.
TEST_F(KeyDefinition, WriterPutsTenToARecordUnderBothNames) {
  kd_keys k;
  test_keys(k);
  std::vector<kd_combo> all = make_all_keys(k, nullptr);
  ARB* a = keymap();
  ASSERT_NE(a, nullptr);
  for (size_t n : {all.size(), size_t(180), size_t(7)}) {
    std::vector<kd_combo> c(all.begin(), all.begin() + std::min(n, all.size()));
    while (c.size() < n) c.push_back(c.back());
    ASSERT_EQ(kd_store(a, "tmux      ", "   ", c), 1u);
    for (const char* name : {"MENU ENTRY", "DATA ENTRY"}) {
      auto recs = records(a, name);
      ASSERT_EQ(recs.size(), n / 10 + 1) << n;
      const uint8_t* r = recs.back().data();
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(r), 24), std::string("tmux         ") + name + " ");
      EXPECT_EQ(ld_le16(r, KEYMAP_SEQ), n / 10 + 1);
      EXPECT_EQ(ld_le16(r, KEYMAP_CODES + 2 * (n % 10)), kKeystrokeEnd);  // the first empty slot
      EXPECT_EQ(ld_le16(recs[0].data(), KEYMAP_CODES), c[0].code);
      EXPECT_EQ(ld_le16(recs[0].data(), KEYMAP_KEYSTROKES), c[0].keys[0]);
    }
  }
  // An injected write failure is reported, not taken for success.
  uint32_t st = 1;
  {
    kivo_test::hook_overrides failing;
    failing.set(foundation_seams.err_presenter, [](const char*, int, const char*) {});
    failing.set(os_sys.pwrite, failing_pwrite);
    failing.set(os_sys.pwritev, failing_pwritev);
    failing.set(os_sys.write, failing_write);
    MARK(MARK_PROCESS, [&] { st = kd_store(a, "tmux      ", "   ", all); });
  }
  EXPECT_NE(st, 1u);
}

}  // namespace
}  // namespace kivo::test
