// Key definition: the combination builder, the checks, the order and the
// KEYMAP records on native files; the default installation's keymaps typed
// through tmux into the window-manager driver; and kivo -k in tmux.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "../fixtures/kivo_fixture.h"
#include "../fm/fm_native_util.h"
#include "foundation/os_calls.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "screen/keydef.h"
#include "tm_driver_util.h"

namespace kivo::test {
namespace {

// The test terminal's keys (fixture bytes), as kd_keys.
void test_keys(kd_keys& k, const std::vector<std::string>& bytes) {
  for (int i = 0; i < kPhysKeys; ++i)
    for (int j = 0; j < kKeystrokeMax; ++j) k[i][j] = j < int(bytes[i].size()) ? uint8_t(bytes[i][j]) : kKeystrokeEnd;
}

const std::vector<std::string> kPhys = {
    "\x7f",     "\x04",     "\r",       "\t",      "\x0f",    "\x07",   "\x10",   "\x0e",   "\x1b[A", "\x1b[C",
    "\x1b[B",   "\x1b[D",   "\x1b[2~",  "\x1b[3~", "\x0b",    "\x0c",   "\x1bOP", "\x1bOQ", "\x1bOR", "\x1bOS",
    "\x1b[15~", "\x1b[17~", "\x1b[18~", "\x1b[5~", "\x1b[6~", "0",      "1",      "2",      "3",      "4",
    "5",        "6",        "7",        "8",       "9",       "\x1b[H", "\x1b[Z"};

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
  test_keys(k, kPhys);
  std::vector<size_t> too_long;
  EXPECT_EQ(make_all_keys(k, &too_long).size(), kAllCombos);
  EXPECT_TRUE(too_long.empty());
  std::vector<std::string> longer = kPhys;
  longer[PK_OPTION] = std::string(13, '\x01');  // OPTION OPTION d d no longer fits
  test_keys(k, longer);
  std::vector<kd_combo> kept = make_all_keys(k, &too_long);
  EXPECT_EQ(too_long.size(), 90u);
  EXPECT_EQ(kept.size(), kAllCombos - 90);
  EXPECT_EQ(kept.back().code, 9);  // OPTION 9 is the last that fits
}

TEST_F(KeyDefinition, ChecksFindIdenticalKeysAndOverlappingCombinations) {
  kd_keys k;
  test_keys(k, kPhys);
  int a = -1, b = -1;
  EXPECT_FALSE(check_dupe_keys(k, &a, &b));
  std::vector<std::string> dup = kPhys;
  dup[PK_HOME] = dup[PK_UP];
  test_keys(k, dup);
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
  test_keys(k, kPhys);
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

// Ten combinations a record under both names; a count that is a multiple
// of ten gets one more record of empty slots. Writing again replaces.
TEST_F(KeyDefinition, WriterPutsTenToARecordUnderBothNames) {
  kd_keys k;
  test_keys(k, kPhys);
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
}

ssize_t failing_pwrite(int, const void*, size_t, off_t) { return errno = EIO, -1; }
ssize_t failing_pwritev(int, const struct iovec*, int, off_t) { return errno = EIO, -1; }
ssize_t failing_write(int, const void*, size_t) { return errno = EIO, -1; }

TEST_F(KeyDefinition, WriteFailureIsReported) {
  kd_keys k;
  test_keys(k, kPhys);
  ARB* a = keymap();
  ASSERT_NE(a, nullptr);
  sys_err_presenter old = set_sys_err_presenter([](const char*, int, const char*) {});
  os_sys.pwrite = failing_pwrite, os_sys.pwritev = failing_pwritev, os_sys.write = failing_write;
  uint32_t st = 1;
  MARK(MARK_PROCESS, [&] { st = kd_store(a, "tmux      ", "   ", make_all_keys(k, nullptr)); });
  os_sys = os_real_calls();
  set_sys_err_presenter(old);
  EXPECT_NE(st, 1u);
}

// ---- through tmux ----

std::string default_installation() {
  std::string kivo = KIVO_BINARY;
  return kivo.substr(0, kivo.rfind('/')) + "/data";
}

// The tmux key that stands for each physical key in the default keymaps.
const char* const kTmuxKeys[kPhysKeys] = {
    "BSpace", "S-F1", "Enter", "Tab", "F1", "F2", "F3",  "F4",  "Up",  "Right", "Down",  "Left",  "IC",
    "DC",     "F5",   "F6",    "F7",  "F8", "F9", "F10", "F11", "F12", "S-F2",  "PPage", "NPage", "0",
    "1",      "2",    "3",     "4",   "5",  "6",  "7",   "8",   "9",   "S-F3",  "BTab"};

void type_combo(kivo_test::tmux_pane& p, const uint16_t parts[5]) {
  for (int i = 0; i < 5 && parts[i] != kKeystrokeEnd; ++i) {
    if (parts[i] >= kPartPhys) {
      p.send_keys(kTmuxKeys[parts[i] - kPartPhys]);
      continue;
    }
    if (parts[i] == 3 || parts[i] == 4 || parts[i] == 5 || parts[i] == 8 || parts[i] == 9) p.send_keys("F2");
    p.send_hex(std::string(1, char(tm_literal(parts[i]))));
  }
}

// Every default combination but TAB 2 (270 is no byte) typed as its keys
// decodes to its code.
void decode_all(const std::string& term) {
  kivo_test::data_dir dir;
  ASSERT_EQ(system(("cp -r " + default_installation() + "/. " + dir.path).c_str()), 0);
  std::vector<uint16_t> codes;
  std::vector<size_t> index;
  uint16_t parts[5];
  for (size_t i = 0; i < kAllCombos; ++i) {
    const uint16_t code = tm_combo_parts(i, parts);
    bool literal270 = false;
    for (uint16_t p : parts) literal270 |= p >= 1 && p <= kLiterals && tm_literal(p) > 255;
    if (!literal270) codes.push_back(code), index.push_back(i);
  }
  std::ofstream(dir.file("cmds")) << "srf\nwnd 3 10 5 40\nregion READY\nkeys " << codes.size() << "\n";
  kivo_test::tmux_pane p(std::string(WM_DRIVER) + " cmds res", dir.path,
                         {{"TERM", term}, {"KIVO_TST_DIR", dir.path}, {"KIVOPATH", dir.path}});
  ASSERT_TRUE(p.wait_for("READY")) << p.capture();
  std::vector<std::string> wrong;
  for (size_t n = 0; n < codes.size(); ++n) {
    tm_combo_parts(index[n], parts);
    type_combo(p, parts);
    std::string got;
    kivo_test::wait_until(
        [&] {
          std::string all = kivo_test::slurp(dir.file("res"));
          size_t lines = size_t(std::count(all.begin(), all.end(), '\n'));
          if (lines <= n) return false;
          size_t at = 0;
          for (size_t i = 0; i < n; ++i) at = all.find('\n', at) + 1;
          got = all.substr(at, all.find('\n', at) - at);
          return true;
        },
        5);
    const std::string want = "key " + std::to_string(codes[n]) + " kind 1";
    if (got.compare(0, want.size(), want) != 0) {
      char b[12];
      wrong.push_back(std::string(tm_key_name(codes[n], b)) + ": " + got);
      if (got.empty()) break;  // the driver is stuck: the rest would only repeat it
    }
  }
  EXPECT_EQ(wrong, std::vector<std::string>{}) << term;
}

TEST(DefaultKeymaps, EveryCombinationDecodesOnTmux256color) { decode_all("tmux-256color"); }
TEST(DefaultKeymaps, EveryCombinationDecodesOnXterm256color) { decode_all("xterm-256color"); }

}  // namespace
}  // namespace kivo::test
