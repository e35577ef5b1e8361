// Keys built over a file that already holds records: the values sorted and
// the trees written bottom up. For record counts around each page and level
// boundary the trees must be sound, hold every record with a value once,
// pass the verifier, and keep working under inserts, rewrites and deletes
// afterwards; a key whose values repeat is refused and leaves the pair as
// it was; the repair builds the same entries.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <random>

#include "../fixtures/hook_override.h"
#include "crash_test_util.h"
#include "foundation/foundation.h"
#include "store/analyser.h"
#include "store/lock.h"
#include "store/store.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using namespace test;

// Records of ids 0..n-1 in a shuffled order (a file in no key order), on a
// pair whose key file holds no key yet.
record_model unkeyed_pair(const std::string& base, uint32_t n) {
  record_model model;
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, 0, false);
  EXPECT_NE(f, nullptr);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  EXPECT_EQ(brf_upd_ver(f), BRF_OK);
  std::vector<uint32_t> ids(n);
  for (uint32_t i = 0; i < n; ++i) ids[i] = i;
  std::shuffle(ids.begin(), ids.end(), std::mt19937(n));
  for (uint32_t id : ids) {
    std::vector<uint8_t> rec = record_of(id, id * 1000 + 1 + id % 7, static_cast<uint16_t>(id % 50));
    EXPECT_EQ(brfput(r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
    model[id_text(id)] = rec;
  }
  brfdeaccess(r);
  brfclose(f);
  return model;
}

// The first id whose record differs, "" when none.
std::string first_difference(const record_model& a, const record_model& b) {
  for (const auto& [id, rec] : a)
    if (!b.count(id) || b.at(id) != rec) return id;
  for (const auto& [id, rec] : b)
    if (!a.count(id)) return id;
  return "";
}

// Random puts, rewrites (moving and not) and deletes through key 0.
void churn(const std::string& base, record_model* model, uint32_t n, int ops) {
  session s(base);
  ASSERT_NE(s.r, nullptr);
  std::mt19937 rng(ops + n);
  std::vector<uint8_t> buf(512);
  for (int i = 0; i < ops; ++i) {
    uint32_t id = rng() % (n + 50);
    std::vector<uint8_t> key = record_of(id, 1, 0), rec = record_of(id, id * 1000 + 8 + i % 900, rng() % 80);
    uint32_t len = 0;
    brfsetkeyN(s.r, 0);
    bool found = brfseek(s.r, kSeekEqual, key.data(), kWholeRecord, buf.data(), buf.size(), &len) == BRF_OK;
    ASSERT_EQ(found, model->count(id_text(id)) != 0) << id;
    if (!found) {
      ASSERT_EQ(brfput(s.r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
      (*model)[id_text(id)] = rec;
    } else if (rng() % 3 == 0) {
      ASSERT_EQ(brfdelete(s.r), BRF_OK);
      model->erase(id_text(id));
    } else {
      ASSERT_EQ(brfrewrite(s.r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
      (*model)[id_text(id)] = rec;
    }
  }
}

TEST(KeyBuild, KeysBuiltOverRecordsAreSoundAtEveryPageAndLevelBoundary) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  brfinit();
  // Key 0 (8 bytes) takes 119 entries a page in a bulk load: one leaf, two,
  // the most two levels hold (120 leaves under a full root), three levels.
  const uint32_t fill = 119;
  const uint32_t counts[] = {0, 1, fill, fill + 1, 2 * fill + 1, 120 * fill + 119, 120 * fill + 120, 30000};
  for (uint32_t n : counts) {
    SCOPED_TRACE(std::to_string(n) + " records");
    scratch_dir dir;
    std::string base = dir.file("build");
    record_model model = unkeyed_pair(base, n);
    {
      int st;
      BRF_FILE* f = brfopen(&st, base.c_str(), 0, 0, false);
      ASSERT_NE(f, nullptr);
      BRF_RCB* r = brfaccess(&st, f, 0, false);
      EXPECT_EQ(set_three_keys(r), BRF_OK);
      brfdeaccess(r);
      brfclose(f);
    }
    record_model active;
    ASSERT_EQ(check_pair(base, &active), "");
    EXPECT_EQ(first_difference(active, model), "");
    EXPECT_EQ(analyze(base.c_str(), 0, nullptr), 1);
    // In key order through the engine, each once.
    session s(base);
    std::vector<uint8_t> buf(512);
    uint32_t len = 0;
    std::string last;
    size_t seen = 0;
    int st = brffirst(s.r, buf.data(), buf.size(), &len);
    for (; st == BRF_OK; st = brfnext(s.r, buf.data(), buf.size(), &len), ++seen) {
      std::string id(reinterpret_cast<char*>(buf.data()), kIdLen);
      EXPECT_LT(last, id);
      last = id;
    }
    EXPECT_EQ(st, BRF_EOF);
    EXPECT_EQ(seen, model.size());
    churn(base, &model, n, 3000);
    active.clear();
    ASSERT_EQ(check_pair(base, &active), "");
    EXPECT_EQ(first_difference(active, model), "");
  }
}

TEST(KeyBuild, KeyWhoseValuesRepeatIsRefusedAndTheRepairLeavesThePairAsItIs) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  brfinit();
  scratch_dir dir;
  std::string base = dir.file("repeat");
  record_model model = unkeyed_pair(base, 500);
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), 0, 0, false);
  ASSERT_NE(f, nullptr);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  KEY_DESC id = id_key();
  ASSERT_EQ(brfsetkey(r, &id, true, false, nullptr), BRF_OK);
  // The first six digits of the id: five hundred records, five values.
  KEY_DESC prefix = key_desc({{kSegChars, 6, 0}});
  std::vector<uint8_t> key_before = read_file(base + ".key");
  EXPECT_EQ(brfsetkey(r, &prefix, true, false, nullptr), BRF_DUP_KEY);
  tree_report rep;
  ASSERT_EQ(check_key_file(base + ".key", &rep), "");
  EXPECT_EQ(rep.entries.size(), 1u);
  EXPECT_EQ(rep.entries[0].size(), 500u);
  brfdeaccess(r);
  brfclose(f);
  // A key file defining such a key does not fit the file: the repair says
  // so and leaves the pair as it is.
  std::vector<uint8_t> k = read_file(base + ".key");
  KEY_DESC d = prefix;
  d.keyno = 1;
  d.keylen = 6;
  d.root = static_cast<uint32_t>(k.size());
  key_desc_store(d, k.data() + kHdrKeys + kKeyDescSize);
  k[kHdrKeyCount] = 2;
  k[kHdrInUse] = 1;
  k.resize(k.size() + kPageSize, 0);
  st_le32(k.data(), kHdrEofseek, static_cast<uint32_t>(k.size()));
  std::ofstream(base + ".key", std::ios::binary).write(reinterpret_cast<const char*>(k.data()), k.size());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(brfrepair((base + ".dat").c_str()), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(err.find("the key file's definitions do not fit the file"), std::string::npos) << err;
  EXPECT_EQ(read_file(base + ".key"), k);
}

// The longest key a description may hold: sixteen segments of 255 bytes,
// all past the end of every record.
KEY_DESC sixteen_long_segments() {
  KEY_DESC d = key_desc({});
  while (d.nsegs < 16) d.seg[d.nsegs++] = {kSegChars, 255, 300};
  return d;
}

// The records that repeat a value of a key that is not the file's yet (a
// file's description names it), whatever its length: a key longer than
// an index takes is counted all the same, never built past a buffer.
TEST(KeyBuild, RepeatedValuesOfADescribedKeyAreCountedAtEveryLength) {
  const struct {
    const char* name;
    KEY_DESC key;
    uint32_t values, left_out;
  } cases[] = {
      {"the id alone", id_key(), 500, 0},
      {"the id and 292 bytes after it", key_desc({{kSegChars, kIdLen, 0}, {kSegChars, 255, 0}, {kSegChars, 37, 0}}),
       500, 0},
      {"six digits of the id and 255 bytes past every record", key_desc({{kSegChars, 6, 0}, {kSegChars, 255, 300}}),
       500, 495},
      {"sixteen segments of 255 bytes past every record", sixteen_long_segments(), 0, 0},
  };
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  brfinit();
  scratch_dir dir;
  const std::string base = dir.file("described");
  unkeyed_pair(base, 500);
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_NO_KEYS, 0, false);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(brfgethdr(f), BRF_OK);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    key_repeats rep;
    ASSERT_EQ(brf_key_repeats(f, c.key, nullptr, 3, &rep), BRF_OK);
    EXPECT_EQ(rep.values, c.values);
    EXPECT_EQ(rep.left_out, c.left_out);
    EXPECT_EQ(rep.first.size(), std::min<size_t>(c.left_out, 3));
  }
  brfclose(f);
}

// The keys a described file gives: the id.
int described_id_key(const char*, KEY_DESC* out) {
  out[0] = id_key();
  return 1;
}

// The holder's go, sent when the waiting build first asks whether the user
// broke off its wait; g_break_in is the answer.
test::signal_pipe* g_go = nullptr;
bool g_break_in = false;
bool break_requested() {
  if (!g_break_in) g_go->send();
  return g_break_in;
}

// Another process holds the update lock of a pair whose key file defines no
// key yet, and defines and builds the id key once it gets its go. A build
// from the file's description that waits for that lock never removes the
// holder's key file: neither when the user breaks off the wait, nor when it
// gets the lock after the keys were built meanwhile.
TEST(KeyBuild, DescribedBuildWaitingForAnotherBuilderLeavesItsKeyFile) {
  const struct {
    const char* name;
    bool break_in;
    int status;
  } cases[] = {
      {"the user breaks off the wait", true, BRF_LOCK_REFUSED},
      {"the holder builds the keys meanwhile", false, BRF_OK},
  };
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  kivo_test::scoped_hook described(store_hooks.described_keys, described_id_key);
  kivo_test::scoped_hook asked(store_hooks.lock_break_requested, break_requested);
  kivo_test::scoped_hook status_line(store_hooks.lock_status, [](const char*) {});
  brfinit();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scratch_dir dir;
    const std::string base = dir.file("waiting");
    const record_model model = unkeyed_pair(base, 300);
    test::signal_pipe ready, go;
    fd_cache_after_fork();
    const pid_t pid = fork();
    if (pid == 0) {
      fd_cache_after_fork();
      int st;
      BRF_FILE* f = brfopen(&st, base.c_str(), 0, 0, false);
      BRF_RCB* r = f ? brfaccess(&st, f, 0, false) : nullptr;
      if (!r || !bt_share_at(f->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE)) _exit(2);
      ready.send();
      if (go.receive() == 0) _exit(3);
      st = brf_change_begin(r);
      KEY_DESC d = id_key();
      if (st == BRF_OK && bsetkey(r->cursor, &d, true) != BRF_KEY_CREATED) st = BRF_BAD_DATA;
      brf_repair_counts counts;
      if (st == BRF_OK) brfnullkey(f, 0, false, nullptr), st = brf_build_keys(r, 1u, brf_build_opts{}, &counts);
      st = brf_change_end(r, st);
      bt_share_at(f->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE);
      brfdeaccess(r);
      brfclose(f);
      _exit(st == BRF_OK ? 0 : 4);
    }
    ASSERT_GT(pid, 0);
    ASSERT_EQ(ready.receive(), 'x');
    struct stat held {};
    ASSERT_EQ(stat((base + ".key").c_str(), &held), 0);
    g_go = &go;
    g_break_in = c.break_in;
    lock_wait_notice_ms = 20;
    brf_repair_counts n;
    bool built = true;
    const int st = brf_build_described_keys(base, base, false, nullptr, &n, &built);
    lock_wait_notice_ms = 10000;
    if (c.break_in) go.send();
    EXPECT_EQ(st, c.status);
    EXPECT_FALSE(built);
    EXPECT_EQ(wait_exit(pid), 0);
    struct stat now {};
    ASSERT_EQ(stat((base + ".key").c_str(), &now), 0) << "the holder's key file was removed";
    EXPECT_EQ(now.st_ino, held.st_ino);
    // The holder's build, whole: every record under the id.
    tree_report rep;
    ASSERT_EQ(check_key_file(base + ".key", &rep), "");
    ASSERT_EQ(rep.entries.size(), 1u);
    EXPECT_EQ(rep.entries[0].size(), model.size());
  }
}

}  // namespace
}  // namespace kivo
