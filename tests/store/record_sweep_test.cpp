// Kill points swept through the system-call table: for each kind of change a
// writer runs a few operations on a fresh copy of one pair and is killed
// before its 1st, 2nd, ... write call (pwrite, pwritev or write), or inside
// one (at each page boundary it crosses and, for pwritev, inside each of its
// buffers), until it gets through; on a shared and on an exclusive open, and
// on a data file without keys. After each kill the verifier may call the
// pair good only when an independent check finds it needs no repair; then
// the second session of crash_test_util.h (or, without keys, kivo -r) must
// leave it sound, with every acknowledged write and nothing else: every live
// record one that some writer wrote, whole. Also the
// administrator's repair, on damaged pairs and files and on sound ones.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>

#include "../fixtures/hook_override.h"
#include "crash_test_util.h"
#include "foundation/foundation.h"
#include "foundation/os_calls.h"
#include "store/analyser.h"

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

// The same on a data file without keys: appends (one pwritev each), puts
// into freed places, rewrites in place and moving, deletes.
const sweep_kind kPlainKinds[] = {
    {"appends", 20, 40, kPut, 1000, 4, 7, 300},
    {"puts into a freed place across a page", 20, 165, kPut, 1000, 1, 7, 165, 3, 18},
    {"rewrites in place and moving", 30, 300, kRewrite, 10, 4, 2, 97},
    {"deletes", 46, 40, kDelete, 0, 3, 0, 0},
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

// Makes the record of `id` current: by key 0, or (no keys) by a scan in
// record-number order. False when it is not there.
bool position_on(BRF_RCB* r, uint32_t id, bool keys, std::vector<uint8_t>& buf) {
  std::vector<uint8_t> key = record_of(id, 1, 0);
  uint32_t len = 0;
  if (keys) return brfseek(r, kSeekEqual, key.data(), kWholeRecord, buf.data(), buf.size(), &len) == BRF_OK;
  for (int st = brffirst(r, buf.data(), buf.size(), &len); st == BRF_OK; st = brfnext(r, buf.data(), buf.size(), &len))
    if (len >= kIdLen && memcmp(buf.data(), key.data(), kIdLen) == 0) return true;
  return false;
}

// The pair (or data file alone) opened as a writer uses it: keys in use,
// key 0 current, or the header taken from the file.
struct opened {
  BRF_FILE* f = nullptr;
  BRF_RCB* r = nullptr;
  opened(const std::string& base, bool keys) {
    int st;
    f = brfopen(&st, base.c_str(), keys ? 0 : BRF_NO_KEYS, 0, false);
    r = f ? brfaccess(&st, f, 0, false) : nullptr;
    if (r && (keys ? use_three_keys(r) != BRF_OK : !brf_header_from_file(f))) {
      brfdeaccess(r);
      r = nullptr;
    }
  }
  ~opened() {
    if (r) brfdeaccess(r);
    if (f) brfclose(f);
  }
};

void delete_ids(const std::string& base, std::initializer_list<int> ids, record_model* model, bool keys) {
  opened o(base, keys);
  ASSERT_NE(o.r, nullptr);
  std::vector<uint8_t> buf(70000);
  for (int id : ids) {
    ASSERT_TRUE(position_on(o.r, static_cast<uint32_t>(id), keys, buf)) << id;
    ASSERT_EQ(brfdelete(o.r), BRF_OK);
    model->erase(id_text(static_cast<uint32_t>(id)));
  }
}

// A data file without keys holding ids 0..n-1, and the model of it.
void make_plain(const std::string& base, uint32_t n, uint16_t body, record_model* model) {
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE | BRF_NO_KEYS, 0, false);
  ASSERT_NE(f, nullptr);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  ASSERT_EQ(brf_upd_ver(f), BRF_OK);
  for (uint32_t id = 0; id < n; ++id) {
    std::vector<uint8_t> rec = record_of(id, id * 1000 + 500, body);
    ASSERT_EQ(brfput(r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
    (*model)[id_text(id)] = rec;
  }
  brfdeaccess(r);
  brfclose(f);
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

// The writer's crash points, counted call by call over every write call of
// the system-call table (pwrite, pwritev, write). Before: each call is one
// point, killed before any of its bytes reach the file. Cut: each call has a
// point at every page boundary inside it and, for pwritev, inside each of
// its buffers; the bytes up to the point are written, then the kill.
long g_points = 0;
long g_kill_at = 0;
bool g_cut = false;

std::vector<size_t> cuts_of(const iovec* v, int n, off_t off, bool vector_call) {
  size_t total = 0;
  std::vector<size_t> cuts;
  for (int i = 0; i < n; ++i) {
    if (vector_call && v[i].iov_len >= 2) cuts.push_back(total + v[i].iov_len / 2);
    total += v[i].iov_len;
  }
  for (size_t at = kAtomicSpan - static_cast<size_t>(off) % kAtomicSpan; at < total; at += kAtomicSpan)
    cuts.push_back(at);
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  return cuts;
}

// The first `bytes` of the call's buffers written at `off`, then the kill.
[[noreturn]] void write_part_and_die(int fd, const iovec* v, int n, off_t off, size_t bytes) {
  for (int i = 0; i < n && bytes > 0; ++i) {
    size_t part = std::min(bytes, v[i].iov_len);
    if (fd >= 0 && ::pwrite(fd, v[i].iov_base, part, off) != static_cast<ssize_t>(part)) _exit(6);
    off += static_cast<off_t>(part);
    bytes -= part;
  }
  raise(SIGKILL);
  _exit(6);
}

// Counts the call's points; the one to die at ends the process.
void crash_point(int fd, const iovec* v, int n, off_t off, bool vector_call) {
  if (!g_cut) {
    if (++g_points == g_kill_at) write_part_and_die(fd, v, n, off, 0);
    return;
  }
  std::vector<size_t> cuts = cuts_of(v, n, off, vector_call);
  if (g_kill_at > g_points && g_kill_at <= g_points + static_cast<long>(cuts.size()))
    write_part_and_die(fd, v, n, off, cuts[static_cast<size_t>(g_kill_at - g_points - 1)]);
  g_points += static_cast<long>(cuts.size());
}

os_call_table dying_calls() {
  os_call_table t = os_real_calls();
  t.pwrite = [](int fd, const void* buf, size_t n, off_t off) {
    iovec v{const_cast<void*>(buf), n};
    crash_point(fd, &v, 1, off, false);
    return ::pwrite(fd, buf, n, off);
  };
  t.pwritev = [](int fd, const iovec* v, int n, off_t off) {
    crash_point(fd, v, n, off, true);
    return ::pwritev(fd, v, n, off);
  };
  t.write = [](int fd, const void* buf, size_t n) {
    iovec v{const_cast<void*>(buf), n};
    off_t at = lseek(fd, 0, SEEK_CUR);
    crash_point(at < 0 ? -1 : fd, &v, 1, at < 0 ? 0 : at, true);
    return ::write(fd, buf, n);
  };
  return t;
}

// How a sweep runs: kills before write calls or cut inside them, the pair
// opened shared or exclusively, and with keys or (a data file alone)
// without.
struct sweep_mode {
  bool cut = false;
  bool exclusive = false;
  bool keys = true;
  std::string name() const {
    return std::string(cut ? " (cut" : " (before") + (exclusive ? ", exclusive)" : ", shared)");
  }
};

[[noreturn]] void run_steps(const std::string& base, const std::vector<step>& steps, const sweep_mode& mode, int fd) {
  fd_cache_after_fork();
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), mode.keys ? 0 : BRF_NO_KEYS, 0, mode.exclusive);
  BRF_RCB* r = f ? brfaccess(&st, f, 0, false) : nullptr;
  if (!r || (mode.keys ? use_three_keys(r) != BRF_OK : !brf_header_from_file(f))) _exit(5);
  kivo_test::scoped_hook dying(os_sys, dying_calls());
  std::vector<uint8_t> buf(70000);
  for (const step& s : steps) {
    if (s.op != kPut && !position_on(r, s.id, mode.keys, buf)) _exit(7);
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

kill_result run_to_point(const std::string& base, const std::vector<step>& steps, long point, const sweep_mode& mode,
                         record_model* model) {
  kill_result k;
  int p[2];
  if (pipe(p) != 0) {
    k.err = "no pipe";
    return k;
  }
  g_points = 0;
  g_kill_at = point;
  g_cut = mode.cut;
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    run_steps(base, steps, mode, p[1]);
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
  int points = 0, repairs = 0, unrecoverable = 0, verifier_alarms = 0;
};

// The verifier at a kill point, before anything repairs the pair: it may
// call the pair good only when an independent look finds no repair needed
// (mark clear, data and every index agreeing). "" when it holds; a good
// answer for a pair that needs no repair is counted as a false alarm.
std::string verifier_holds(const std::string& base, bool keys, sweep_totals* t) {
  int32_t count = 0;
  bool good = analyze(base.c_str(), 0, &count) == 1;
  std::string need;
  if (keys) {
    if (read_file(base + ".key")[kHdrInUse]) need = "the in-use mark is set";
    else need = check_pair(base, nullptr);
  } else {
    std::vector<data_record> recs;
    need = walk_data(read_file(base + ".dat"), &recs);
  }
  if (good && !need.empty()) return "the verifier calls good a pair that needs repair: " + need;
  t->verifier_alarms += !good && need.empty();
  return "";
}

// The check of a data file without keys after a kill: the administrator's
// repair (kivo -r) leaves it good, sound and holding the model (the write in
// flight old or new), and a record can be put and deleted in it.
std::string check_plain_after_kill(const std::string& base, record_model* model, bool pending, const wire_msg& intent,
                                   sweep_totals* t) {
  testing::internal::CaptureStdout();
  int good = brfrepair((base + ".dat").c_str());
  std::string said = testing::internal::GetCapturedStdout();
  t->repairs += said.rfind("repaired ", 0) == 0;
  if (good != 1) return "kivo -r left it bad: " + said;
  std::vector<data_record> recs;
  std::string err = walk_data(read_file(base + ".dat"), &recs);
  if (!err.empty()) return err;
  record_model active;
  for (const data_record& r : recs)
    if (!(r.flags & (kRecDeleted | kRecNotUser))) active[std::string(r.body.begin(), r.body.begin() + kIdLen)] = r.body;
  std::string victim = pending ? id_text(intent.id) : std::string();
  for (const auto& [id, bytes] : *model)
    if (id != victim && active[id] != bytes) return "lost or changed " + id;
  for (const auto& [id, bytes] : active) {
    if (id == victim) {
      bool old_state = model->count(id) && (*model)[id] == bytes;
      if (!old_state && !(intent.op != kDelete && bytes == record_of(intent.id, intent.num, intent.body)))
        return "neither old nor new " + id;
      (*model)[id] = bytes;
    } else if (!model->count(id)) {
      return "never written " + id;
    }
  }
  if (pending && !active.count(victim)) model->erase(victim);
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_NO_KEYS, 0, false);
  BRF_RCB* r = f ? brfaccess(&st, f, 0, false) : nullptr;
  std::vector<uint8_t> probe = record_of(99999, 1, 40);
  if (!r || !brf_header_from_file(f)) err = "not opened";
  else if ((st = brfput(r, probe.data(), static_cast<uint32_t>(probe.size()))) != BRF_OK || (st = brfdelete(r)))
    err = "a put and delete after the repair gave " + std::to_string(st);
  if (r) brfdeaccess(r);
  brfclose(f);
  return err;
}

// Sweeps one kind in one mode until the writer gets through; failures are
// collected, not stopped at. A session opened before the writer (shared
// opens with keys) must read the pair as it is after the kill too.
void sweep(const sweep_kind& kind, const sweep_mode& mode, sweep_totals* t, std::vector<std::string>* failures) {
  scratch_dir dir;
  std::string base = dir.file("sweep");
  record_model pristine;
  if (mode.keys) make_pair(base, kind.prefill, kind.prefill_body, &pristine, kind.varied);
  else make_plain(base, kind.prefill, kind.prefill_body, &pristine);
  if (kind.freed_last >= 0) delete_ids(base, {kind.freed_first, kind.freed_last}, &pristine, mode.keys);
  for (int id = 0; kind.varied && id < static_cast<int>(kind.first); ++id) delete_ids(base, {id}, &pristine, mode.keys);
  std::vector<uint8_t> dat = read_file(base + ".dat"), key = read_file(base + ".key");
  if (mode.keys) key[kHdrInUse] = kind.marked;
  // After every recovery each live record must be one of these, whole.
  written_set written;
  for (const auto& [id, bytes] : pristine) written.insert(bytes);
  for (const step& st : steps_of(kind))
    if (st.op != kDelete) written.insert(record_of(st.id, st.num, st.body));
  const bool with_early = mode.keys && !mode.exclusive;
  for (long point = 1; point < 5000; ++point) {
    write_file(base + ".dat", dat);
    if (mode.keys) write_file(base + ".key", key);
    record_model model = pristine;
    std::unique_ptr<session> early(with_early ? new session(base) : nullptr);
    std::set<std::string> ids = {pristine.begin()->first};
    if (early && !kind.marked) read_all(*early, ids);  // a read would repair the pair here
    kill_result k = run_to_point(base, steps_of(kind), point, mode, &model);
    if (k.got_through && k.err.empty()) return;
    int before = repairs_seen();
    if (k.err.empty()) k.err = verifier_holds(base, mode.keys, t);
    for (const auto& m : {pristine, model})
      for (const auto& e : m) ids.insert(e.first);
    if (k.pending) ids.insert(id_text(k.intent.id));
    record_model seen;
    if (early) seen = read_all(*early, ids);
    if (k.err.empty()) {
      k.err = mode.keys ? check_after_kill(base, &model, k.pending, k.intent, &written)
                        : check_plain_after_kill(base, &model, k.pending, k.intent, t);
      // Without keys nothing tells a moved record's copy from a new one: a
      // kill between the copy and the free leaves the old one beside it.
      if (k.err.empty() && !mode.keys) k.err = only_written(base, written, false);
    }
    if (k.err.empty() && early && seen != model) k.err = "a session opened before the kill reads otherwise";
    int32_t count = 0;
    if (k.err.empty() && analyze(base.c_str(), 0, &count) != 1) k.err = "the verifier calls the repaired pair bad";
    ++t->points;
    t->repairs += repairs_seen() - before;
    if (!k.err.empty()) {
      ++t->unrecoverable;
      failures->push_back(std::string(kind.name) + mode.name() + " point " + std::to_string(point) + ": " + k.err);
      if (k.got_through) return;
    }
  }
  failures->push_back(std::string(kind.name) + mode.name() + ": the writer never got through");
}

void report(const char* what, const sweep_totals& t, const std::vector<std::string>& failures) {
  printf("%s: %d kill points, %d repairs, %d unrecoverable, %d verifier alarms on sound files\n", what, t.points,
         t.repairs, t.unrecoverable, t.verifier_alarms);
  for (size_t i = 0; i < failures.size() && i < 20; ++i) ADD_FAILURE() << failures[i];
  EXPECT_EQ(t.unrecoverable, 0);
}

TEST(RecordSweep, EveryKillPointLeavesASoundOrRepairedPair) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, count_repairs);
  brfinit();
  sweep_totals t;
  std::vector<std::string> failures;
  for (const sweep_kind& kind : kKinds)
    for (bool exclusive : {false, true})
      for (bool cut : {false, true}) sweep(kind, {cut, exclusive, true}, &t, &failures);
  report("with keys", t, failures);
  EXPECT_GT(t.points, 800);  // the repairs write their trees whole: fewer points than inserts made
}

TEST(RecordSweep, EveryKillPointLeavesAFileWithoutKeysThatTheRepairMakesSound) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  brfinit();
  sweep_totals t;
  std::vector<std::string> failures;
  for (const sweep_kind& kind : kPlainKinds)
    for (bool exclusive : {false, true})
      for (bool cut : {false, true}) sweep(kind, {cut, exclusive, false}, &t, &failures);
  report("without keys", t, failures);
  EXPECT_GT(t.points, 100);
}

// A record that no key holds (every key null) moved by a rewrite, the writer
// killed at each write in turn: the pair, once reopened, holds the record
// once, old or new, beside the others as they were.
[[noreturn]] void move_unkeyed(const std::string& base, uint32_t seek, const std::vector<uint8_t>& rec) {
  fd_cache_after_fork();
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  opened o(base, true);
  std::vector<uint8_t> buf(512);
  uint32_t len = 0;
  if (!o.r || brfgetat(o.r, seek, buf.data(), buf.size(), &len) != BRF_OK) _exit(7);
  kivo_test::scoped_hook dying(os_sys, dying_calls());
  _exit(brfrewrite(o.r, rec.data(), static_cast<uint32_t>(rec.size())) == BRF_OK ? 0 : 8);
}

TEST(RecordSweep, MoveOfARecordNoKeyHoldsLeavesItOnceAfterEveryKill) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  brfinit();
  scratch_dir dir;
  std::string base = dir.file("unkeyed");
  record_model model;
  make_pair(base, 20, 40, &model);
  // Id, code and number all null: in no index.
  std::vector<uint8_t> old_rec = make_rec(0, "", 0, 40, 0x11), new_rec = make_rec(0, "", 0, 97, 0x22);
  memset(old_rec.data(), 0, kIdLen);
  memset(new_rec.data(), 0, kIdLen);
  {
    opened o(base, true);
    ASSERT_NE(o.r, nullptr);
    ASSERT_EQ(brfput(o.r, old_rec.data(), static_cast<uint32_t>(old_rec.size())), BRF_OK);
  }
  std::vector<uint8_t> dat = read_file(base + ".dat"), key = read_file(base + ".key");
  std::vector<data_record> before;
  ASSERT_EQ(walk_data(dat, &before), "");
  ASSERT_EQ(before.back().body, old_rec);
  int kills = 0;
  for (long point = 1; point < 200; ++point) {
    SCOPED_TRACE("kill point " + std::to_string(point));
    write_file(base + ".dat", dat);
    write_file(base + ".key", key);
    g_points = 0;
    g_kill_at = point;
    g_cut = false;
    pid_t pid = fork();
    if (pid == 0) move_unkeyed(base, before.back().seek, new_rec);
    int wst = 0;
    waitpid(pid, &wst, 0);
    {
      session reader(base);  // its first read repairs a pair left marked
      std::vector<uint8_t> buf(512);
      uint32_t len = 0;
      ASSERT_EQ(brffirst(reader.r, buf.data(), buf.size(), &len), BRF_OK);
    }
    tree_report rep;
    ASSERT_EQ(check_key_file(base + ".key", &rep), "");
    EXPECT_EQ(rep.entries[0].size(), 20u);
    std::vector<data_record> recs;
    ASSERT_EQ(walk_data(read_file(base + ".dat"), &recs), "");
    int unkeyed = 0;
    for (const data_record& r : recs) {
      if (r.flags & (kRecDeleted | kRecNotUser)) continue;
      if (r.body == old_rec || r.body == new_rec) ++unkeyed;
      else EXPECT_EQ(model[std::string(r.body.begin(), r.body.begin() + kIdLen)], r.body);
    }
    EXPECT_EQ(unkeyed, 1) << "copies of the moved record left live";
    if (WIFEXITED(wst)) {
      EXPECT_EQ(WEXITSTATUS(wst), 0);
      break;
    }
    ++kills;
  }
  EXPECT_GT(kills, 3);
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
    run_to_point(base, steps_of(kKinds[0]), point, sweep_mode{}, &left);
    if (read_file(base + ".key")[kHdrInUse]) return;
  }
  FAIL() << "no kill point left the pair marked";
}

TEST(RecordRepair, OptionRepairsAKilledPairAndLeavesASoundOneAsItIs) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
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
    // The verifier (kivo -v) calls a pair left marked bad, in its own words.
    testing::internal::CaptureStderr();
    EXPECT_EQ(analyze(base.c_str(), 0, nullptr), c.damage ? 0 : 1) << c.name;
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(told.find("marked in use by a change that never ended: needs repair") != std::string::npos, c.damage)
        << told;
    testing::internal::CaptureStdout();
    EXPECT_EQ(brfrepair((base + ".dat").c_str()), 1) << c.name;
    std::string said = testing::internal::GetCapturedStdout();
    record_model active;
    EXPECT_EQ(check_pair(base, &active), "") << c.name;
    int32_t count = 0;
    EXPECT_EQ(analyze(base.c_str(), 0, &count), 1) << c.name;
    for (const auto& [id, bytes] : model) EXPECT_EQ(active[id], bytes) << c.name << " " << id;
    if (c.damage) {
      // Key 1 leaves out the 42 records of a null code, key 2 every record
      // (each number is null): the line says what each key holds.
      EXPECT_EQ(said, "repaired " + base + ": 3 keys rebuilt, 126 records indexed, key 1 holds 84, key 2 holds 0\n");
    } else {
      EXPECT_EQ(said, base + ": sound, nothing repaired\n");
      EXPECT_EQ(read_file(base + ".dat"), dat);
      EXPECT_EQ(read_file(base + ".key"), key);
    }
  }
}

// A writer killed after freeing a moved record's old place, before the copy
// was finished: the pair of 20 records with id 10 moving. Returns the
// copy's place, 0 when no kill point left it so.
// With `old_freed` false: the first kill point that leaves the copy written
// while the old record still lives.
uint32_t killed_before_a_move_is_finished(const std::string& base, record_model* model, bool old_freed = true) {
  make_pair(base, 20, 40, model);
  std::vector<uint8_t> dat = read_file(base + ".dat"), key = read_file(base + ".key");
  std::vector<step> move = {{kRewrite, 10, 10002, 97}};
  // The last kill point that leaves the copy unfinished: the old place is
  // on its free chain by then.
  auto kill_at = [&](long point) -> uint32_t {
    write_file(base + ".dat", dat);
    write_file(base + ".key", key);
    record_model left = *model;
    run_to_point(base, move, point, sweep_mode{}, &left);
    std::vector<data_record> recs;
    std::string err = walk_data(read_file(base + ".dat"), &recs);
    if (err.rfind("unsettled copy at ", 0) != 0 || ((recs[10].flags & kRecDeleted) != 0) != old_freed) return 0;
    return static_cast<uint32_t>(std::stoul(err.substr(18)));
  };
  if (!old_freed) {
    for (long point = 1; point < 100; ++point)
      if (uint32_t copy = kill_at(point)) return copy;
    return 0;
  }
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
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
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
}

// The copy's completion cut by the kill at a page boundary: its flags say
// user record, its link still names the freed old place. The repair
// finishes it; the moved record is not dropped.
TEST(RecordRepair, MoveCompletionCutAfterItsFlagsIsFinished) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
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
}

// A copy a killed move left unsettled, the key file then lost: the key file
// built again from the data file settles it as the repair does. A copy whose
// old record still lives is dropped (else a later repair, once that record
// is deleted, would take the copy for live and bring back a version nobody
// wrote last); one whose old record was freed is finished (else the record
// would be lost).
TEST(RecordRepair, KeyFileBuiltAgainSettlesTheCopyOfAKilledMove) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  brfinit();
  for (bool old_freed : {false, true}) {
    SCOPED_TRACE(old_freed ? "old record freed" : "old record live");
    scratch_dir dir;
    std::string base = dir.file("lost");
    record_model model;
    ASSERT_NE(killed_before_a_move_is_finished(base, &model, old_freed), 0u);
    ASSERT_EQ(unlink((base + ".key").c_str()), 0);
    {
      int st;
      BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, 0, false);
      ASSERT_NE(f, nullptr);
      BRF_RCB* r = brfaccess(&st, f, 0, false);
      EXPECT_EQ(set_three_keys(r), BRF_OK);
      brfdeaccess(r);
      brfclose(f);
    }
    if (old_freed) model[id_text(10)] = record_of(10, 10002, 97);
    record_model active;
    ASSERT_EQ(check_pair(base, &active), "");
    EXPECT_TRUE(active == model);
    // Id 10 deleted, then a writer killed inside a change: the repair.
    delete_ids(base, {10}, &model, true);
    std::vector<uint8_t> key = read_file(base + ".key");
    key[kHdrInUse] = 1;
    write_file(base + ".key", key);
    active.clear();
    ASSERT_EQ(reopen_and_check(base, &active), "");
    EXPECT_TRUE(active == model);
  }
}

// A moved record's copy names its old record in its link while the move
// runs; a link word that crossed a page could be cut into a mix of two seeks
// naming some other record. The copy that would land so (79 records of 149
// bytes end at 12283, whose link lies at 12287-12290) goes past it instead.
TEST(RecordRepair, MovedCopyNeverNamesItsOldRecordAcrossAPage) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  brfinit();
  scratch_dir dir;
  std::string base = dir.file("straddle");
  record_model model;
  make_pair(base, 79, 115, &model);
  ASSERT_EQ(read_file(base + ".dat").size(), 12283u);
  {
    session s(base);
    std::vector<uint8_t> buf(512);
    ASSERT_TRUE(position_on(s.r, 10, true, buf));
    std::vector<uint8_t> rec = record_of(10, 10002, 97);
    ASSERT_EQ(brfrewrite(s.r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
    model[id_text(10)] = rec;
  }
  std::vector<data_record> recs;
  ASSERT_EQ(walk_data(read_file(base + ".dat"), &recs), "");
  for (const data_record& r : recs) {
    if (r.body.size() < kIdLen || id_text(10) != std::string(r.body.begin(), r.body.begin() + kIdLen)) continue;
    if (r.flags & (kRecDeleted | kRecNotUser)) continue;
    EXPECT_NE(r.seek, 12283u);
    EXPECT_EQ((r.seek + 4) / 4096, (r.seek + 7) / 4096) << r.seek;
  }
  record_model active;
  ASSERT_EQ(check_pair(base, &active), "");
  EXPECT_TRUE(active == model);
}

// A data file without keys whose free list is damaged in one of several
// ways, or sound: the option repairs the first and leaves the second as it
// is, and no record is touched either way.
TEST(RecordRepair, OptionRepairsTheFreeListOfAFileWithoutKeys) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  brfinit();
  // Each case damages the file image `d`, whose live record `live` is at
  // the given seek.
  struct damage {
    const char* name;
    void (*apply)(std::vector<uint8_t>& d, uint32_t live);
  } cases[] = {
      {"sound", [](std::vector<uint8_t>&, uint32_t) {}},
      {"list head naming a live record",
       [](std::vector<uint8_t>& d, uint32_t live) { st_le32(d.data(), kHdrFreelistOff, live); }},
      {"chain naming a live record",
       [](std::vector<uint8_t>& d, uint32_t live) {
         uint32_t block = ld_le32(d.data(), kHdrFreelistOff);
         st_le32(d.data(), block + kRecHdrSize + kFbSeekOff, live);
       }},
      {"block linking past the end of file",
       [](std::vector<uint8_t>& d, uint32_t) {
         uint32_t block = ld_le32(d.data(), kHdrFreelistOff);
         st_le32(d.data(), block + kRecHdrSize + kFbNextOff, static_cast<uint32_t>(d.size()) + 4096);
       }},
  };
  for (const damage& c : cases) {
    SCOPED_TRACE(c.name);
    scratch_dir dir;
    std::string base = dir.file("plain");
    record_model model;
    make_plain(base, 46, 40, &model);
    delete_ids(base, {1, 5, 9}, &model, false);
    std::vector<uint8_t> d = read_file(base + ".dat");
    std::vector<data_record> before;
    ASSERT_EQ(walk_data(d, &before, true), "");
    c.apply(d, before[20].seek);
    write_file(base + ".dat", d);
    bool sound = std::string(c.name) == "sound";
    int32_t count = 0;
    EXPECT_EQ(analyze(base.c_str(), 0, &count), sound ? 1 : 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(brfrepair((base + ".dat").c_str()), 1);
    std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(said,
              sound ? base + ": sound, nothing repaired\n" : "repaired " + base + ": no keys, free list rebuilt\n");
    std::vector<data_record> after;
    std::vector<uint8_t> repaired = read_file(base + ".dat");
    EXPECT_EQ(walk_data(repaired, &after, true), "");
    if (sound) {
      EXPECT_EQ(repaired, d);
    }
    record_model active;
    for (const data_record& r : after)
      if (!(r.flags & (kRecDeleted | kRecNotUser)))
        active[std::string(r.body.begin(), r.body.begin() + kIdLen)] = r.body;
    EXPECT_EQ(active, model);
  }
}

}  // namespace
}  // namespace kivo
