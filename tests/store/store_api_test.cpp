// The storage API's refusals of a caller's mistakes: a record control block
// or a data file closed twice (or never opened) gives BRF_CLOSED and leaves
// every other block on the pair working.
#include <gtest/gtest.h>

#include "crash_test_util.h"

namespace kivo::test {
namespace {

struct StoreApi : ::testing::Test {
  void SetUp() override {
    com_fill(0, nullptr);
    brfinit();
    make_pair(base_, 4, 10, &m_);
  }
  scratch_dir dir_;
  std::string base_ = dir_.file("api");
  record_model m_;
};

// Records a block reads in key order, or -1 on a failure other than the end.
int count_records(BRF_RCB* r) {
  uint8_t buf[256];
  uint32_t len;
  int n = 0;
  int st = brffirst(r, buf, sizeof buf, &len);
  for (; st == BRF_OK; st = brfnext(r, buf, sizeof buf, &len)) ++n;
  return st == BRF_EOF ? n : -1;
}

TEST_F(StoreApi, SecondCloseOfAPairIsRefusedAndTheOtherStreamGoesOn) {
  int st;
  BRF_FILE* f = brfopen(&st, base_.c_str(), 0, 0, false);
  ASSERT_NE(f, nullptr);
  BRF_RCB* gone = brfaccess(&st, f, 0, false);
  BRF_RCB* kept = brfaccess(&st, f, 0, false);
  ASSERT_TRUE(gone && kept);
  ASSERT_EQ(use_three_keys(kept), BRF_OK);
  EXPECT_EQ(brfdeaccess(gone), BRF_OK);
  // Each refusal must leave the pair and the live block as they were.
  struct refusal {
    const char* what;
    int (*call)(BRF_RCB* gone, BRF_FILE* f);
  };
  for (const refusal& c :
       {refusal{"deaccess of a closed block", [](BRF_RCB*g, BRF_FILE*) { return brfdeaccess(g); }},
        refusal{"deaccess of a null block", [](BRF_RCB*, BRF_FILE*) { return brfdeaccess(nullptr); }},
        refusal{"close of a null file", [](BRF_RCB*, BRF_FILE*) { return brfclose(nullptr); }}}) {
    EXPECT_EQ(c.call(gone, f), BRF_CLOSED) << c.what;
    EXPECT_EQ(f->users, 1) << c.what;
    EXPECT_EQ(count_records(kept), 4) << c.what;
  }
  // A close while a block is attached keeps the file open for it.
  EXPECT_EQ(brfclose(f), BRF_OK);
  EXPECT_EQ(count_records(kept), 4);
  EXPECT_EQ(brfdeaccess(kept), BRF_OK);
  EXPECT_EQ(brfdeaccess(kept), BRF_CLOSED);
  EXPECT_EQ(brfclose(f), BRF_OK);
  EXPECT_EQ(brfclose(f), BRF_CLOSED);
  // The pair opens again as sound as before.
  session again(base_);
  ASSERT_NE(again.r, nullptr);
  EXPECT_EQ(count_records(again.r), 4);
  EXPECT_EQ(check_pair(base_, nullptr), "");
}

}  // namespace
}  // namespace kivo::test
