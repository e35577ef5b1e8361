// Random record operations on a file with three keys and variable lengths
// against a std::map model: inserts, rewrites in place and moving, deletes,
// null keys, duplicates refused. Ends with a structural check of every
// index against the data file. KIVO_STRESS_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <random>

#include "../fixtures/hook_override.h"
#include "foundation/foundation.h"
#include "record_test_util.h"

namespace kivo {
namespace {

struct model_rec {
  std::string code;
  uint32_t num;
  std::vector<uint8_t> bytes;
};

class RecordStress : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, test::quiet);
    brfinit();
    base_ = dir_.file("stress");
    int st;
    f_ = brfopen(&st, base_.c_str(), BRF_CREATE, 0, false);
    ASSERT_NE(f_, nullptr);
    r_ = brfaccess(&st, f_, 0, false);
    ASSERT_NE(r_, nullptr);
    ASSERT_EQ(brf_upd_ver(f_), BRF_OK);
    ASSERT_EQ(test::set_three_keys(r_), BRF_OK);
  }
  void TearDown() override {
    brfdeaccess(r_);
    brfclose(f_);
  }

  // Positions on `id` with key 0 and reads it.
  int find(uint32_t id, std::vector<uint8_t>* out) {
    brfsetkeyN(r_, 0);
    std::vector<uint8_t> k = test::make_rec(id, "", 0, 0, 0);
    out->assign(70000, 0);
    uint32_t len = 0;
    int st = brfseek(r_, kSeekEqual, k.data(), kWholeRecord, out->data(), out->size(), &len);
    out->resize(len);
    return st;
  }

  test::scratch_dir dir_;
  std::string base_;
  BRF_FILE* f_ = nullptr;
  BRF_RCB* r_ = nullptr;
  kivo_test::hook_overrides hooks_;
};

TEST_F(RecordStress, RandomOperationsMatchTheModelAndEveryIndexMatchesTheData) {
  const long ops = 300000 * test::stress_scale();
  std::mt19937 rng(20240611);
  std::map<uint32_t, model_rec> model;
  std::map<std::string, uint32_t> codes;
  std::map<uint32_t, uint32_t> nums;
  auto rnd = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  auto rand_code = [&]() -> std::string {
    if (rnd(5) == 0) return "";  // null key
    char c[8];
    snprintf(c, sizeof c, "C%05u", rnd(40000));
    return c;
  };
  auto rand_num = [&]() -> uint32_t { return rnd(5) == 0 ? 0 : 1 + rnd(60000); };
  auto clashes = [&](uint32_t id, const std::string& code, uint32_t num) {
    if (!code.empty()) {
      auto it = codes.find(code);
      if (it != codes.end() && it->second != id) return true;
    }
    if (num) {
      auto it = nums.find(num);
      if (it != nums.end() && it->second != id) return true;
    }
    return false;
  };
  auto enter = [&](uint32_t id, model_rec m) {
    if (!m.code.empty()) codes[m.code] = id;
    if (m.num) nums[m.num] = id;
    model[id] = std::move(m);
  };
  auto forget = [&](uint32_t id) {
    const model_rec& m = model[id];
    if (!m.code.empty()) codes.erase(m.code);
    if (m.num) nums.erase(m.num);
    model.erase(id);
  };
  long counts[6] = {};
  std::vector<uint8_t> got;
  for (long i = 0; i < ops; ++i) {
    uint32_t op = rnd(100);
    uint32_t id = rnd(6000);
    bool exists = model.count(id) != 0;
    if (op < 40) {  // insert
      model_rec m{rand_code(), rand_num(), {}};
      m.bytes = test::make_rec(id, m.code, m.num, rnd(120), static_cast<uint8_t>(i));
      int st = brfput(r_, m.bytes.data(), static_cast<uint32_t>(m.bytes.size()));
      if (exists || clashes(id, m.code, m.num)) {
        ASSERT_EQ(st, BRF_DUP_KEY) << "op " << i;
        ++counts[1];
      } else {
        ASSERT_EQ(st, BRF_OK) << "op " << i;
        enter(id, std::move(m));
        ++counts[0];
      }
    } else if (op < 70) {  // rewrite, in place or moving
      int st = find(id, &got);
      if (!exists) {
        ASSERT_EQ(st, BRF_NO_RECORD) << "op " << i;
        continue;
      }
      ASSERT_EQ(st, BRF_OK) << "op " << i;
      ASSERT_EQ(got, model[id].bytes) << "op " << i;
      model_rec m{rnd(2) ? model[id].code : rand_code(), rnd(2) ? model[id].num : rand_num(), {}};
      size_t body = rnd(3) == 0 ? model[id].bytes.size() - test::kFixedPart : rnd(120);
      m.bytes = test::make_rec(id, m.code, m.num, body, static_cast<uint8_t>(i));
      st = brfrewrite(r_, m.bytes.data(), static_cast<uint32_t>(m.bytes.size()));
      if (clashes(id, m.code, m.num)) {
        ASSERT_EQ(st, BRF_DUP_KEY) << "op " << i;
        ++counts[3];
      } else {
        ASSERT_EQ(st, BRF_OK) << "op " << i;
        forget(id);
        enter(id, std::move(m));
        ++counts[2];
      }
    } else if (op < 90) {  // delete
      int st = find(id, &got);
      if (!exists) {
        ASSERT_EQ(st, BRF_NO_RECORD) << "op " << i;
        continue;
      }
      ASSERT_EQ(st, BRF_OK);
      ASSERT_EQ(brfdelete(r_), BRF_OK) << "op " << i;
      forget(id);
      ++counts[4];
    } else {  // read by a secondary key
      if (!exists || model[id].code.empty()) continue;
      brfsetkeyN(r_, 1);
      std::vector<uint8_t> k = test::make_rec(0, model[id].code, 0, 0, 0);
      got.assign(70000, 0);
      uint32_t len = 0;
      ASSERT_EQ(brfseek(r_, kSeekEqual, k.data(), kWholeRecord, got.data(), got.size(), &len), BRF_OK);
      got.resize(len);
      ASSERT_EQ(got, model[id].bytes);
      ++counts[5];
    }
  }
  EXPECT_GT(counts[1], 1000);  // duplicates were refused often enough to count
  EXPECT_GT(counts[2], 1000);
  EXPECT_GT(counts[3], 100);

  // Key order of key 0 delivers exactly the model.
  brfsetkeyN(r_, 0);
  got.assign(70000, 0);
  uint32_t len = 0;
  auto it = model.begin();
  for (int st = brffirst(r_, got.data(), got.size(), &len); st == BRF_OK;
       st = brfnext(r_, got.data(), got.size(), &len), ++it) {
    ASSERT_NE(it, model.end());
    ASSERT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + len), it->second.bytes);
  }
  EXPECT_EQ(it, model.end());

  std::map<std::string, std::vector<uint8_t>> active;
  ASSERT_EQ(test::check_pair(base_, &active), "");
  EXPECT_EQ(active.size(), model.size());
}

}  // namespace
}  // namespace kivo
