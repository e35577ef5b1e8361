// Failed system calls under record writes. For a put, a rewrite in place, a
// moving rewrite, a delete and the creation of a key on a pair with three
// keys, call N = 1, 2, ... fails with EIO, ENOSPC and a torn write in turn,
// until the operation runs through untouched. After each failure the pair
// verifies good and the records are all as before or all as after: either a
// status is returned (and the same operation retried succeeds), or the
// operation got past the failed call (a lock retried, a change count written
// later, a mark that could not be cleared and is repaired by the next
// process) and reports success with the records as after. Each runs on a pair
// opened shared and on one held exclusively.
// KIVO_STRESS_SCALE adds files with more records (deeper trees).
#include <gtest/gtest.h>

#include "../fixtures/hook_override.h"
#include "analyser_test_util.h"
#include "crash_test_util.h"
#include "fault_util.h"
#include "foundation/foundation.h"
#include "record_test_util.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using records = std::map<std::string, std::vector<uint8_t>>;

enum class op { put, rewrite_in_place, rewrite_moving, del, setkey };

const char* op_name(op o) {
  static const char* names[] = {"brfput", "brfrewrite in place", "brfrewrite moving", "brfdelete", "brfsetkey"};
  return names[static_cast<int>(o)];
}

constexpr uint32_t kTarget = 5;    // the record rewritten or deleted
constexpr uint32_t kNewId = 9000;  // the record put

uint32_t body_len(uint32_t id) { return 10 + id % 7; }

std::vector<uint8_t> original(uint32_t id) {
  char code[8];
  snprintf(code, sizeof code, "C%05u", id);
  return test::make_rec(id, id % 4 == 0 ? "" : code, id % 5 == 0 ? 0 : id * 7, body_len(id), static_cast<uint8_t>(id));
}

std::vector<uint8_t> changed(op o) {
  if (o == op::put) return test::make_rec(kNewId, "NEW", 123456, 25, 'n');
  size_t body = body_len(kTarget) + (o == op::rewrite_moving ? 100 : 0);
  return test::make_rec(kTarget, "REWR", 654321, body, 'r');
}

std::string id_of(const std::vector<uint8_t>& r) { return std::string(r.begin(), r.begin() + test::kIdLen); }

// The fourth key: the last four digits of the id (unique among the
// records), then 200 bytes of body, so that nine entries fill a page and
// the small file's index build splits pages and frees unused reserved ones.
KEY_DESC fourth_key() { return test::key_desc({{kSegChars, 4, 4}, {kSegChars, 200, test::kFixedPart}}); }

records expected_after(op o, records before) {
  std::vector<uint8_t> rec = changed(o);
  if (o == op::del) before.erase(id_of(original(kTarget)));
  else if (o != op::setkey) before[id_of(rec)] = rec;
  return before;
}

class RecordFault : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, test::quiet);
    brfinit();
  }
  void TearDown() override { test::fault_disarm(); }

  // The pair every round starts from: `count` records under three keys.
  void build_gold(uint32_t count) {
    std::string gold = dir_.file("gold" + std::to_string(count));
    BRF_FILE* f;
    BRF_RCB* r = test::create_three_keys(gold, &f);
    ASSERT_NE(r, nullptr);
    for (uint32_t id = 1; id <= count; ++id) {
      std::vector<uint8_t> rec = original(id);
      ASSERT_EQ(brfput(r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
    }
    brfdeaccess(r);
    brfclose(f);
    gold_dat_ = test::read_file(gold + ".dat");
    gold_key_ = test::read_file(gold + ".key");
    ASSERT_EQ(test::check_pair(gold, &gold_records_), "");
  }

  // Fresh files (new inodes) under the work name, opened with the keys set.
  bool open_work() {
    unlink((base_ + ".dat").c_str());
    unlink((base_ + ".key").c_str());
    test::spill(base_ + ".dat", gold_dat_);
    test::spill(base_ + ".key", gold_key_);
    int st;
    f_ = brfopen(&st, base_.c_str(), 0, 0, exclusive_);
    r_ = f_ ? brfaccess(&st, f_, 0, false) : nullptr;
    return r_ && test::set_three_keys(r_) == BRF_OK;
  }
  void close_work() {
    brfdeaccess(r_);
    brfclose(f_);
  }

  // Positions on the record to change, then runs the operation.
  int run(op o) { return position(o) ? start(o) : -1; }
  bool position(op o) {
    std::vector<uint8_t> buf(70000);
    uint32_t len = 0;
    brfsetkeyN(r_, 0);
    if (o == op::put || o == op::setkey) return true;
    std::vector<uint8_t> key = original(kTarget);
    return brfseek(r_, kSeekEqual, key.data(), kWholeRecord, buf.data(), buf.size(), &len) == BRF_OK;
  }
  int start(op o) {
    std::vector<uint8_t> rec = changed(o);
    KEY_DESC k = fourth_key();
    switch (o) {
      case op::put: return brfput(r_, rec.data(), static_cast<uint32_t>(rec.size()));
      case op::rewrite_in_place:
      case op::rewrite_moving: return brfrewrite(r_, rec.data(), static_cast<uint32_t>(rec.size()));
      case op::del: return brfdelete(r_);
      case op::setkey: return brfsetkey(r_, &k, true, false, nullptr);
    }
    return -1;
  }

  // The pair as it stands on disk: "" when sound and holding `want` (with
  // `keys` keys), else what is wrong.
  std::string state_is(const records& want, size_t keys) {
    // A mark left set (a change whose clear failed) promises only a repair
    // by the next process that meets it: the pair is judged after that.
    if (test::read_file(base_ + ".key")[kHdrInUse]) {
      test::session s(base_);
      std::vector<uint8_t> buf(70000);
      uint32_t len = 0;
      int st = s.r ? brffirst(s.r, buf.data(), buf.size(), &len) : -1;
      if (st != BRF_OK && st != BRF_EOF) return "a marked pair not repaired: " + std::to_string(st);
    }
    test::tree_report rep;
    std::string err = test::check_key_file(base_ + ".key", &rep);
    if (!err.empty()) return err;
    if (rep.entries.size() != keys) return "key count " + std::to_string(rep.entries.size());
    if (keys == 3) {
      records got;
      if (!(err = test::check_pair(base_, &got)).empty()) return err;
      if (got != want) return "records differ";
    } else if (rep.entries[3].size() != want.size()) {
      return "new key holds " + std::to_string(rep.entries[3].size()) + " entries";
    }
    int32_t n = 0;
    return brfanal((base_ + ".dat").c_str(), 0, 0, &n) == 1 ? "" : "analyser finds the pair bad";
  }

  // Every call of the operation failing in turn; the number of calls it made.
  long sweep(op o, test::fault_kind kind) {
    records after = expected_after(o, gold_records_);
    size_t keys_after = o == op::setkey ? 4 : 3;
    for (long n = 1;; ++n) {
      std::string where = std::string(op_name(o)) + ", call " + std::to_string(n) + ", " + test::fault_name(kind);
      if (!open_work()) {
        ADD_FAILURE() << where << ": the work pair does not open";
        return n;
      }
      int st = start_armed(o, kind, n);
      bool fired = test::fault_disarm();
      where += std::string(" (") + test::g_fault.failed + ")";
      if (!fired) {
        EXPECT_EQ(st, BRF_OK) << where;
        close_work();
        EXPECT_EQ(state_is(after, keys_after), "") << where;
        return n - 1;
      }
      std::string before_err = state_is(gold_records_, 3);
      std::string after_err = before_err.empty() ? "" : state_is(after, keys_after);
      EXPECT_TRUE(before_err.empty() || after_err.empty())
          << where << " (status " << st << "): not as before (" << before_err << ") nor as after (" << after_err << ")";
      if (st == BRF_OK) {
        EXPECT_EQ(state_is(after, keys_after), "") << where << ": success reported";
      } else {
        EXPECT_EQ(run(o), BRF_OK) << where << ": the retry";
      }
      close_work();
      EXPECT_EQ(state_is(after, keys_after), "") << where << ": after the retry";
      if (::testing::Test::HasFailure()) return n;
    }
  }
  int start_armed(op o, test::fault_kind kind, long n) {
    if (!position(o)) return -1;
    test::fault_arm(kind, n);
    return start(o);
  }

  test::scratch_dir dir_;
  std::string base_ = dir_.file("work");
  std::vector<uint8_t> gold_dat_, gold_key_;
  records gold_records_;
  BRF_FILE* f_ = nullptr;
  BRF_RCB* r_ = nullptr;
  bool exclusive_ = false;  // the work pair held alone: no lock calls, the change count kept in memory
  kivo_test::hook_overrides hooks_;
};

TEST_F(RecordFault, EveryFailedCallLeavesTheRecordsAsBeforeOrAsAfter) {
  // 126 records fill key 0's root: the put splits it.
  std::vector<uint32_t> sizes = {20, static_cast<uint32_t>(bt_max_entries(test::kIdLen) - 1)};
  for (long s = 2; s <= test::stress_scale(); ++s) sizes.push_back(static_cast<uint32_t>(300 * s));
  const op ops[] = {op::put, op::rewrite_in_place, op::rewrite_moving, op::del, op::setkey};
  const test::fault_kind kinds[] = {test::fault_kind::eio, test::fault_kind::enospc, test::fault_kind::short_write};
  for (uint32_t count : sizes) {
    build_gold(count);
    for (int pass = 0; pass < 2; ++pass)
      for (op o : ops) {
        exclusive_ = pass == 1;
        // An index build's calls grow with the square of the file: the second
        // file under stress only, the larger ones never.
        if (o == op::setkey && count != sizes[0] && (count != sizes[1] || test::stress_scale() == 1)) continue;
        for (test::fault_kind k : kinds) {
          long calls = sweep(o, k);
          ASSERT_FALSE(HasFailure()) << count << " records" << (exclusive_ ? ", exclusive" : "");
          EXPECT_GT(calls, 0) << op_name(o) << " " << test::fault_name(k);
        }
      }
  }
}

}  // namespace
}  // namespace kivo
