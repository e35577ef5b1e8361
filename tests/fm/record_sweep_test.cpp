// Kill points swept through the system-call table: for each kind of change a
// writer runs a few operations on a fresh copy of one pair and is killed
// before its 1st, 2nd, ... write (or in the middle of a write that crosses a
// page, the first page written and the rest not), until it gets through.
// After each kill the second session of crash_test_util.h must find the pair
// sound or repaired, with every acknowledged write and nothing else. Also
// the administrator's repair, on a damaged pair and on a sound one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>

#include "crash_test_util.h"
#include "fm/analyser.h"
#include "foundation/os_calls.h"

namespace kivo {
namespace {

using namespace test;

// One kind of change: `count` operations `op` on ids from `first` of a
// pair holding ids 0..prefill-1. Rewrites write number id * 1000 + num (+2
// for every other id, which puts the code and number keys to null and back)
// with a body of `body` bytes: of the 300-byte prefill bodies the one of id
// 10 crosses a page of the file, so that rewrite moves.
struct sweep_kind {
  const char* name;
  uint32_t prefill;
  uint16_t prefill_body;
  uint8_t op;
  uint32_t first, count, num;
  uint16_t body;
  // Ids deleted from the prefill in this order, so that a put takes the
  // last one's place (whose header crosses a page) off a chain of two.
  int freed_first = -1, freed_last = -1;
  // The pair starts marked as a dead writer leaves it: the writer's first
  // read repairs it, and the kills cut that repair.
  bool marked = false;
  // Prefill bodies grow a byte an id, and the ids below `first` are deleted
  // before the sweep: a free-list block full of chains of one each.
  bool varied = false;
};

const sweep_kind kKinds[] = {
    {"puts splitting the root", 126, 40, kPut, 1000, 5, 7, 40},
    {"rewrites in place and across a page", 60, 300, kRewrite, 10, 5, 1, 300},
    {"rewrites moving", 60, 300, kRewrite, 10, 5, 2, 97},
    {"rewrites changing keys", 60, 300, kRewrite, 10, 5, 3, 300},
    {"deletes merging pages", 130, 40, kDelete, 0, 14, 0, 0},
    {"puts into a freed place across a page", 20, 165, kPut, 1000, 1, 7, 165, 3, 18},
    // 79 records of 149 bytes end at 12283: the moved copy's link straddles a page.
    {"a move whose copy's link crosses a page", 79, 115, kRewrite, 10, 1, 2, 97},
    // The first delete appends the free-list block at 3916 (46 records of 74
    // bytes): a page ends between its first chain's seek and length.
    {"a delete starting a chain in a block across a page", 46, 40, kDelete, 0, 2, 0, 0},
    // The block lands at 69614 (66 records of 1047): its first seek word
    // crosses a page.
    {"a delete whose first chain word would cross a page", 66, 1013, kDelete, 65, 1, 0, 0},
    {"a repair of a pair left marked", 20, 40, kDelete, 0, 1, 0, 0, -1, -1, true},
    // The full block lands at 86002: its link to the next crosses a page.
    {"a delete linking a block whose link crosses a page", 83, 955, kDelete, 82, 1, 0, 0, -1, -1, false, true},
};

// What a session opened before the writer, searching without the tree lock,
// finds of `ids` by key 0: it must notice a dead writer's mark.
record_model read_all(session& s, const std::set<std::string>& ids) {
  record_model out;
  std::vector<uint8_t> buf(70000), key(kFixedPart, 0);
  for (const std::string& id : ids) {
    memcpy(key.data(), id.data(), kIdLen);
    uint32_t len = 0;
    if (brfseek(s.r, kSeekEqual, key.data(), kWholeRecord, buf.data(), buf.size(), &len) == BRF_OK)
      out[id].assign(buf.begin(), buf.begin() + len);
  }
  return out;
}

void delete_ids(const std::string& base, std::initializer_list<int> ids, record_model* model) {
  session s(base);
  std::vector<uint8_t> buf(70000);
  for (int id : ids) {
    std::vector<uint8_t> key = record_of(static_cast<uint32_t>(id), 1, 0);
    uint32_t len = 0;
    ASSERT_EQ(brfseek(s.r, kSeekEqual, key.data(), kWholeRecord, buf.data(), buf.size(), &len), BRF_OK);
    ASSERT_EQ(brfdelete(s.r), BRF_OK);
    model->erase(id_text(static_cast<uint32_t>(id)));
  }
}

struct step {
  uint8_t op;
  uint32_t id, num;
  uint16_t body;
};

// KIVO_STRESS_SCALE lengthens each kind's run of operations (within its
// prefill for rewrites and deletes).
std::vector<step> steps_of(const sweep_kind& k) {
  std::vector<step> s;
  uint32_t count = k.count * static_cast<uint32_t>(stress_scale());
  if (k.op != kPut) count = std::min(count, k.prefill - k.first);
  for (uint32_t id = k.first; id < k.first + count; ++id)
    s.push_back({k.op, id, id * 1000 + k.num + id % 2 * 2, k.body});
  return s;
}

// The writer's crash point: the kill_at-th write (counting only writes that
// cross a page when cut) kills the process, after writing the bytes up to
// the page's end when cut.
long g_writes = 0;
long g_kill_at = 0;
bool g_cut = false;

bool crosses_page(size_t n, off_t off) { return n > 0 && off / 4096 != (off + static_cast<off_t>(n) - 1) / 4096; }

ssize_t pwrite_dying(int fd, const void* buf, size_t n, off_t off) {
  if (g_cut && !crosses_page(n, off)) return pwrite(fd, buf, n, off);
  if (++g_writes == g_kill_at) {
    if (g_cut) {
      size_t part = static_cast<size_t>(4096 - off % 4096);
      if (pwrite(fd, buf, part, off) != static_cast<ssize_t>(part)) _exit(6);
    }
    raise(SIGKILL);
  }
  return pwrite(fd, buf, n, off);
}

[[noreturn]] void run_steps(const std::string& base, const std::vector<step>& steps, int fd) {
  fd_cache_after_fork();
  set_sys_err_presenter(quiet);
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), 0, 0, false);
  BRF_RCB* r = f ? brfaccess(&st, f, 0, false) : nullptr;
  if (!r || use_three_keys(r) != BRF_OK) _exit(5);
  os_sys.pwrite = pwrite_dying;
  std::vector<uint8_t> buf(70000);
  for (const step& s : steps) {
    uint32_t len = 0;
    std::vector<uint8_t> key = record_of(s.id, 1, 0);
    if (s.op != kPut && brfseek(r, kSeekEqual, key.data(), kWholeRecord, buf.data(), buf.size(), &len)) _exit(7);
    std::vector<uint8_t> rec = record_of(s.id, s.num, s.body);
    send(fd, {kIntent, s.op, s.body, s.id, s.num, 0});
    if (s.op == kPut) st = brfput(r, rec.data(), static_cast<uint32_t>(rec.size()));
    else if (s.op == kRewrite) st = brfrewrite(r, rec.data(), static_cast<uint32_t>(rec.size()));
    else st = brfdelete(r);
    send(fd, {kDone, s.op, s.body, s.id, s.num, static_cast<uint32_t>(st)});
  }
  _exit(0);
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// What a writer killed at one point left: its acknowledged writes applied
// to the model, the write in flight, and whether it got through unkilled.
struct kill_result {
  bool got_through = false;
  bool pending = false;
  wire_msg intent{};
  long acked = 0;
  std::string err;
};

kill_result run_to_point(const std::string& base, const std::vector<step>& steps, long point, bool cut,
                         record_model* model) {
  kill_result k;
  int p[2];
  if (pipe(p) != 0) {
    k.err = "no pipe";
    return k;
  }
  g_writes = 0;
  g_kill_at = point;
  g_cut = cut;
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    run_steps(base, steps, p[1]);
  }
  close(p[1]);
  int wst = 0;
  waitpid(pid, &wst, 0);
  k.err = read_messages(p[0], model, &k.pending, &k.intent, &k.acked);
  close(p[0]);
  k.got_through = WIFEXITED(wst);
  if (k.got_through && (WEXITSTATUS(wst) != 0 || k.acked != static_cast<long>(steps.size())))
    k.err = "writer ended with " + std::to_string(WEXITSTATUS(wst));
  return k;
}

struct sweep_totals {
  int points = 0, repairs = 0, unrecoverable = 0;
};

// Sweeps one kind in one mode until the writer gets through; failures are
// collected, not stopped at.
void sweep(const sweep_kind& kind, bool cut, sweep_totals* t, std::vector<std::string>* failures) {
  scratch_dir dir;
  std::string base = dir.file("sweep");
  record_model pristine;
  make_pair(base, kind.prefill, kind.prefill_body, &pristine, kind.varied);
  if (kind.freed_last >= 0) delete_ids(base, {kind.freed_first, kind.freed_last}, &pristine);
  for (int id = 0; kind.varied && id < static_cast<int>(kind.first); ++id) delete_ids(base, {id}, &pristine);
  std::vector<uint8_t> dat = read_file(base + ".dat"), key = read_file(base + ".key");
  key[kHdrInUse] = kind.marked;
  for (long point = 1; point < 5000; ++point) {
    write_file(base + ".dat", dat);
    write_file(base + ".key", key);
    record_model model = pristine;
    session early(base);
    std::set<std::string> ids = {pristine.begin()->first};
    if (!kind.marked) read_all(early, ids);  // a read would repair the pair here
    kill_result k = run_to_point(base, steps_of(kind), point, cut, &model);
    if (k.got_through && k.err.empty()) return;
    int before = repairs_seen();
    for (const auto& m : {pristine, model})
      for (const auto& e : m) ids.insert(e.first);
    if (k.pending) ids.insert(id_text(k.intent.id));
    record_model seen = read_all(early, ids);
    if (k.err.empty()) k.err = check_after_kill(base, &model, k.pending, k.intent);
    if (k.err.empty() && seen != model) k.err = "a session opened before the kill reads otherwise";
    ++t->points;
    t->repairs += repairs_seen() - before;
    if (!k.err.empty()) {
      ++t->unrecoverable;
      failures->push_back(std::string(kind.name) + (cut ? " (cut)" : "") + " point " + std::to_string(point) + ": " +
                          k.err);
      if (k.got_through) return;
    }
  }
  failures->push_back(std::string(kind.name) + ": the writer never got through");
}

TEST(RecordSweep, EveryKillPointLeavesASoundOrRepairedPair) {
  com_fill(0, nullptr);
  set_sys_err_presenter(count_repairs);
  brfinit();
  sweep_totals t;
  std::vector<std::string> failures;
  for (const sweep_kind& kind : kKinds)
    for (bool cut : {false, true}) sweep(kind, cut, &t, &failures);
  printf("%d kill points, %d repairs, %d unrecoverable\n", t.points, t.repairs, t.unrecoverable);
  for (size_t i = 0; i < failures.size() && i < 20; ++i) ADD_FAILURE() << failures[i];
  EXPECT_EQ(t.unrecoverable, 0);
  EXPECT_GT(t.points, 200);
  set_sys_err_presenter(nullptr);
}

// --- the administrator's repair ----------------------------------------------

// A pair whose writer was killed in the middle of a split, after its first
// key-file write: marked.
void killed_in_a_split(const std::string& base, record_model* model) {
  make_pair(base, 126, 40, model);
  std::vector<uint8_t> dat = read_file(base + ".dat"), key = read_file(base + ".key");
  for (long point = 1; point < 100; ++point) {
    write_file(base + ".dat", dat);
    write_file(base + ".key", key);
    record_model left = *model;
    run_to_point(base, steps_of(kKinds[0]), point, false, &left);
    if (read_file(base + ".key")[kHdrInUse]) return;
  }
  FAIL() << "no kill point left the pair marked";
}

TEST(RecordRepair, OptionRepairsAKilledPairAndLeavesASoundOneAsItIs) {
  com_fill(0, nullptr);
  set_sys_err_presenter(quiet);
  brfinit();
  struct {
    const char* name;
    bool damage;
  } cases[] = {{"sound pair", false}, {"pair killed in a split", true}};
  for (const auto& c : cases) {
    scratch_dir dir;
    std::string base = dir.file("adm");
    record_model model;
    if (c.damage) killed_in_a_split(base, &model);
    else make_pair(base, 126, 40, &model);
    std::vector<uint8_t> dat = read_file(base + ".dat"), key = read_file(base + ".key");
    ASSERT_EQ(key[kHdrInUse] != 0, c.damage) << c.name;
    testing::internal::CaptureStdout();
    EXPECT_EQ(brfrepair((base + ".dat").c_str()), 1) << c.name;
    std::string said = testing::internal::GetCapturedStdout();
    record_model active;
    EXPECT_EQ(check_pair(base, &active), "") << c.name;
    int32_t count = 0;
    EXPECT_EQ(analyze(base.c_str(), 0, &count), 1) << c.name;
    for (const auto& [id, bytes] : model) EXPECT_EQ(active[id], bytes) << c.name << " " << id;
    if (c.damage) {
      EXPECT_EQ(said, "repaired " + base + ": 3 keys rebuilt, 126 records indexed\n");
    } else {
      EXPECT_EQ(said, base + ": sound, nothing repaired\n");
      EXPECT_EQ(read_file(base + ".dat"), dat);
      EXPECT_EQ(read_file(base + ".key"), key);
    }
  }
  set_sys_err_presenter(nullptr);
}

// A writer killed after freeing a moved record's old place, before the copy
// was finished: the pair of 20 records with id 10 moving. Returns the
// copy's place, 0 when no kill point left it so.
uint32_t killed_before_a_move_is_finished(const std::string& base, record_model* model) {
  make_pair(base, 20, 40, model);
  std::vector<uint8_t> dat = read_file(base + ".dat"), key = read_file(base + ".key");
  std::vector<step> move = {{kRewrite, 10, 10002, 97}};
  // The last kill point that leaves the copy unfinished: the old place is
  // on its free chain by then.
  auto kill_at = [&](long point) -> uint32_t {
    write_file(base + ".dat", dat);
    write_file(base + ".key", key);
    record_model left = *model;
    run_to_point(base, move, point, false, &left);
    std::vector<data_record> recs;
    std::string err = walk_data(read_file(base + ".dat"), &recs);
    if (err.rfind("unsettled copy at ", 0) != 0 || !(recs[10].flags & kRecDeleted)) return 0;
    return static_cast<uint32_t>(std::stoul(err.substr(18)));
  };
  long last = 0;
  for (long point = 1; point < 100; ++point)
    if (kill_at(point)) last = point;
    else if (last) break;
  return last ? kill_at(last) : 0;
}

// Then a record that no key holds (every key null) is put in a space of the
// old place's length. It must not take that place before the pair is
// repaired, or the repair would take the old place for live and drop the
// moved record.
TEST(RecordRepair, RecordOutsideEveryKeyWaitsForTheRepairOfAMove) {
  com_fill(0, nullptr);
  set_sys_err_presenter(quiet);
  brfinit();
  scratch_dir dir;
  std::string base = dir.file("null");
  record_model model;
  ASSERT_NE(killed_before_a_move_is_finished(base, &model), 0u);
  session s(base);
  std::vector<uint8_t> nothing(kFixedPart + 40, 0);
  ASSERT_EQ(brfput(s.r, nothing.data(), static_cast<uint32_t>(nothing.size())), BRF_OK);
  std::vector<uint8_t> want = record_of(10, 10002, 97), got(200);
  uint32_t len = 0;
  ASSERT_EQ(brfseek(s.r, kSeekEqual, want.data(), kWholeRecord, got.data(), got.size(), &len), BRF_OK);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + len), want);
  int32_t count = 0;
  EXPECT_EQ(analyze(base.c_str(), 0, &count), 1);
  EXPECT_EQ(count, 21);
  set_sys_err_presenter(nullptr);
}

// The copy's completion cut by the kill at a page boundary: its flags say
// user record, its link still names the freed old place. The repair
// finishes it; the moved record is not dropped.
TEST(RecordRepair, MoveCompletionCutAfterItsFlagsIsFinished) {
  com_fill(0, nullptr);
  set_sys_err_presenter(quiet);
  brfinit();
  scratch_dir dir;
  std::string base = dir.file("cut");
  record_model model;
  uint32_t copy = killed_before_a_move_is_finished(base, &model);
  ASSERT_NE(copy, 0u);
  std::vector<uint8_t> dat = read_file(base + ".dat");
  dat[copy + kRhFlagsOff] = 0;
  write_file(base + ".dat", dat);
  record_model active;
  ASSERT_EQ(reopen_and_check(base, &active), "");
  model[id_text(10)] = record_of(10, 10002, 97);
  EXPECT_EQ(active, model);
  set_sys_err_presenter(nullptr);
}

}  // namespace
}  // namespace kivo
