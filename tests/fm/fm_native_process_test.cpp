// Native files between real processes through the file manager: counters
// updated under holds, records another process holds, lost holds recovered,
// scratch and work-file names of files in use; and, in one process, the
// limits of a read's area and of key numbers.
#include <cstdlib>
#include <random>
#include <tuple>

#include "fm/fm_open.h"
#include "fm/whole_file.h"
#include "fm_native_util.h"
#include "foundation/os.h"
#include "store/analyser.h"

namespace kivo::test {
namespace {

constexpr int kCounters = 10;

int rounds() {
  const char* s = getenv("KIVO_STRESS_SCALE");
  int scale = s ? std::max(1, atoi(s)) : 1;
  return 5000 * scale;
}

class FmNativeProcesses : public NativeFm {
 protected:
  // The counter file with its records, closed again (children open it).
  void make_counters(test_file& t) {
    ARB* a = create(t);
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < kCounters; ++i) ASSERT_EQ(put(a, i, 0), 1) << a->arb_stat;
    ASSERT_EQ(FM_CLOSE(a, 0), 1);
  }
  // A child that opens the file and holds record `id` until told, then ends.
  pid_t holder(signal_pipe& ready, signal_pipe& go, uint16_t mod = ARB_HOLD, int id = 0) {
    return fork_engine([&, mod, id] {
      test_file t("COUNTER");
      ARB* a = open(t);
      if (!a || !get(a, id, mod)) return 1;
      ready.send();
      go.receive();
      return 0;
    });
  }
};

TEST_F(FmNativeProcesses, TwoProcessesCountEveryIncrementAndInsertTheirOwnRecords) {
  test_file t("COUNTER");
  make_counters(t);
  const int n = rounds();
  auto worker = [&](int seed) {
    return fork_engine([&, seed] {
      test_file w("COUNTER");
      ARB* a = open(w);
      if (!a) return 2;
      std::vector<int> order;
      for (int i = 0; i < kCounters; ++i) order.insert(order.end(), n, i);
      std::shuffle(order.begin(), order.end(), std::mt19937(seed));
      // The two workers' own records take alternate ids past the counters,
      // so no size of run makes them meet.
      int mine = kCounters + seed;
      for (size_t k = 0; k < order.size(); ++k) {
        if (!get(a, order[k], ARB_HOLD, 0xFFFFFFFF)) return 3;
        st_le32(buf_, 8, counter() + 1);
        a->arb_var_len = kTestRecLen;
        if (!fm_rewrite(a)) return 4;
        if (k % 100 == 0) {
          if (!put(a, mine, 7, "own")) return 5;
          mine += 2;
        }
      }
      return 0;
    });
  };
  pid_t a = worker(1), b = worker(2);
  EXPECT_EQ(wait_exit(a), 0);
  EXPECT_EQ(wait_exit(b), 0);
  ARB* r = open(t);
  ASSERT_NE(r, nullptr);
  for (int i = 0; i < kCounters; ++i) {
    ASSERT_EQ(get(r, i), 1);
    EXPECT_EQ(counter(), uint32_t(2 * n)) << i;
  }
  int own = 0;
  r->arb_mod = ARB_FIRST;
  ASSERT_EQ(fm_start(r), 1);
  r->arb_mod = 0;
  while (fm_rdnxt(r)) own += memcmp(buf_ + 12, "own", 3) == 0;
  EXPECT_EQ(r->arb_stat, FM_EOF);
  EXPECT_EQ(own, 2 * ((kCounters * n + 99) / 100));
  ASSERT_EQ(FM_CLOSE(r, 0), 1);
  EXPECT_EQ(brfanal(path("COUNTER").c_str(), 0, 0, nullptr), 1);
}

TEST_F(FmNativeProcesses, HeldRecordIsDeliveredLockedAndReadNextGoesOnAfterIt) {
  test_file t("COUNTER");
  make_counters(t);
  signal_pipe ready, go;
  pid_t h = holder(ready, go);
  ASSERT_EQ(ready.receive(), 'x');
  ARB* a = open(t);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(get(a, 0, ARB_HOLD, 0), 0);
  EXPECT_EQ(a->arb_stat, FM_LOCKED);
  EXPECT_EQ(ld_le32(buf_, 0), ld_le32(reinterpret_cast<const uint8_t*>("R0000000"), 0)) << "delivered anyway";
  a->arb_mod = ARB_HOLD;
  EXPECT_EQ(fm_rdnxt(a), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf_), 8), rec_id(1));
  // A read-next through a scan that asks to wait passes over the held record.
  SCAN_REQ scan{};
  scan.type = SCAN_KEY;
  FAD fad{&scan, nullptr};
  ARB* s = FM_ATTACH(a, &fad, com.sys_scope);
  ASSERT_NE(s, nullptr);
  s->arb_rec = buf_, s->arb_len = kTestRecLen, s->arb_mod = ARB_FIRST;
  ASSERT_EQ(fm_start(s), 1);
  s->arb_lock_wait = 0xFFFFFFFF;
  s->arb_mod = ARB_HOLD;
  EXPECT_EQ(fm_rdnxt(s), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf_), 8), rec_id(1)) << "record 0 passed over";
  fm_release(s);
  go.send();
  EXPECT_EQ(wait_exit(h), 0);
  FM_CLOSE(a, 0);
}

TEST_F(FmNativeProcesses, DeleteAllThatDoesNotWaitStopsAtARecordAnotherHolds) {
  test_file t("COUNTER");
  make_counters(t);
  signal_pipe ready, go;
  pid_t h = holder(ready, go, ARB_HOLD, 5);
  ASSERT_EQ(ready.receive(), 'x');
  ARB* a = open(t);
  a->arb_rec = buf_, a->arb_len = kTestRecLen, a->arb_mod = 0, a->arb_lock_wait = 0;
  EXPECT_EQ(fm_del_all(a), 0);
  EXPECT_EQ(a->arb_stat, FM_LOCKED);
  for (int i = 0; i < kCounters; ++i) EXPECT_EQ(get(a, i), i >= 5) << i;
  go.send();
  EXPECT_EQ(wait_exit(h), 0);
  a->arb_rec = buf_, a->arb_mod = 0;
  EXPECT_EQ(fm_del_all(a), 1);
  EXPECT_EQ(get(a, 5), 0);
  FM_CLOSE(a, 0);
}

TEST_F(FmNativeProcesses, LostHoldIsRecoveredWhenUnchangedAndRefusedWhenChanged) {
  test_file t("COUNTER");
  make_counters(t);
  ARB* a = open(t);
  ASSERT_NE(a, nullptr);
  for (bool changed : {false, true}) {
    ASSERT_EQ(get(a, 3, ARB_HOLD | ARB_RECOVER, 0xFFFFFFFF), 1);
    ASSERT_EQ(fm_release(nullptr), 1);  // every hold's lock given up
    if (changed) {
      pid_t c = fork_engine([&] {
        test_file w("COUNTER");
        ARB* b = open(w);
        if (!b || !get(b, 3, ARB_HOLD, 0xFFFFFFFF)) return 1;
        st_le32(buf_, 8, 99);
        return fm_rewrite(b) ? 0 : 2;
      });
      ASSERT_EQ(wait_exit(c), 0);
    }
    fill_rec(buf_, 3, 5);
    a->arb_var_len = kTestRecLen;
    EXPECT_EQ(fm_rewrite(a), changed ? 0 : 1);
    if (changed) {
      EXPECT_EQ(a->arb_stat, FM_HOLD_CHANGED);
    }
  }
  ASSERT_EQ(get(a, 3), 1);
  EXPECT_EQ(counter(), 99u);
  FM_CLOSE(a, 0);
}

TEST_F(FmNativeProcesses, ScratchOfAFileAnotherProcessHasOpenIsRefused) {
  test_file t("COUNTER");
  make_counters(t);
  signal_pipe ready, go;
  pid_t h = holder(ready, go, 0);
  ASSERT_EQ(ready.receive(), 'x');
  EXPECT_EQ(FM_SCRATCH(&t.fdb, kAnyFile), 0);
  EXPECT_EQ(t.fdb.fdb_stat, FM_FILE_OPEN);
  EXPECT_EQ(access((path("COUNTER") + ".dat").c_str(), F_OK), 0);
  EXPECT_EQ(access((path("COUNTER") + ".key").c_str(), F_OK), 0);
  go.send();
  EXPECT_EQ(wait_exit(h), 0);
  EXPECT_EQ(FM_SCRATCH(&t.fdb, kAnyFile), 1);
  EXPECT_NE(access((path("COUNTER") + ".dat").c_str(), F_OK), 0);
}

TEST_F(FmNativeProcesses, ScopedWorkFileWhoseShortNameIsInUseTakesTheNextName) {
  uio_short_tmp_names = true;
  char suffix[9];
  ASSERT_EQ(ss_tmp_suffix(suffix, 1, static_cast<uint32_t>(getpid())), 1);
  std::string long_name = data_ + "/TST/Tmpdata/WORK0000" + suffix, taken(long_name.size() + 1, '\0');
  ss_tmp_1st(taken.data(), long_name.c_str());
  taken.resize(strlen(taken.c_str()));
  ASSERT_TRUE(ss_make_path((taken + ".dat").c_str()));
  signal_pipe ready, go;
  pid_t c = fork_engine([&] {  // another process's live work file under that name
    int st = 0;
    BRF_FILE* f = brfopen(&st, taken.c_str(), BRF_CREATE, 0, false);
    if (!f) return 1;
    ready.send();
    go.receive();
    return 0;
  });
  ASSERT_EQ(ready.receive(), 'x');
  test_file w("WORK");
  w.fdb.path.fdb_tmp_id = 1;
  ASSERT_EQ(FM_CREATE(&w.fdb, 1, 0, LFB_SCOPED | LFB_OPEN_NEW | kAnyFile, 0x0f, 0x0f), 1) << w.fdb.fdb_stat;
  uint16_t len = 0;
  const void* name = nullptr;
  ASSERT_EQ(fm_nam(w.fdb.fdb_arb, &len, &name), 1);
  EXPECT_NE(std::string(static_cast<const char*>(name), len), taken);
  EXPECT_EQ(access((taken + ".dat").c_str(), F_OK), 0) << "the other's work file stays";
  go.send();
  EXPECT_EQ(wait_exit(c), 0);
  uio_short_tmp_names = false;
}

// A record longer than the caller's area is delivered cut to it and
// reported; key numbers the key-file table cannot hold are refused at
// create, leaving no file.
using FmNativeLimits = NativeFm;

TEST_F(FmNativeLimits, LongRecordsAreCutAndReportedAndKeyNumbersPast15Refused) {
  // key number, the reader's record length, status
  const std::tuple<uint8_t, uint16_t, uint32_t> rows[] = {{0, kTestRecLen, 0},
                                                          {0, 20, FM_REC_TOO_LONG},
                                                          {0, 1, FM_REC_TOO_LONG},
                                                          {16, kTestRecLen, FM_KEY_NO_DIFF},
                                                          {200, kTestRecLen, FM_KEY_NO_DIFF}};
  for (const auto& r : rows) {
    const auto& [keyno, len, want] = r;
    std::string name = "LIM" + std::to_string(&r - rows);
    test_file t(name.c_str());
    t.kdb[0].kdb_keyno = keyno;
    ARB* a = create(t);
    if (want == FM_KEY_NO_DIFF) {
      EXPECT_EQ(a ? 0 : t.fdb.fdb_stat, want) << int(keyno);
      EXPECT_NE(access(path((name + ".dat").c_str()).c_str(), F_OK), 0);
      continue;
    }
    ASSERT_EQ(put(a, 7, 0x41424344, "a tail of text beyond"), 1);
    uint8_t area[kTestRecLen + 1];
    memset(area, '#', sizeof area);
    memcpy(area, rec_id(7).c_str(), 8);
    a->arb_rec = area, a->arb_len = len, a->arb_keyno = 0, a->arb_mod = ARB_EQUAL;
    EXPECT_EQ(fm_read(a), want == 0) << len;
    EXPECT_EQ(a->arb_stat, want) << len;
    EXPECT_EQ(a->arb_var_len, len) << "what was delivered";
    EXPECT_TRUE(area[std::max<uint16_t>(len, 8)] == '#' && !memcmp(area, buf_, len)) << "only the area";
    FM_CLOSE(a, 0);
  }
}

}  // namespace
}  // namespace kivo::test
