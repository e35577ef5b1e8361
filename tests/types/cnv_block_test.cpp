// The conversion block: alpha geometry, dates and numbers compiled from
// their elements, the display compare, logic items, refused types, the
// numeric mask grammar and its rebuild for other digit counts.
#include <gtest/gtest.h>

#include "cnv_test_util.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "types/std_date.h"

namespace kivo {
namespace {

class CnvBlock : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    set_sys_err_presenter([](const char*, int, const char*) {});
  }
};

TEST_F(CnvBlock, AlphaGeometryByRowsColumnsAndArea) {
  struct row {
    int size;
    uint32_t rows, cols;
    int32_t col, width;  // width 0: no screen area
    int ok, ext_rows, ext_cols;
  } rows[] = {
      {100, 3, 0, 1, 0, 1, 3, 34},        // rows only: 100 / 3 rounded up
      {100, 3, 32767, 60, 80, 1, 3, 21},  // rows only past the area: cut to it
      {100, 0, 0, 1, 0, 1, 1, 100},       // neither
      {100, 1, 32767, 31, 80, 1, 1, 50},  // neither, within an area
      {30, 0, 20, 70, 80, 1, 1, 20},      // columns only
      {30, 4, 25, 1, 80, 1, 4, 25},       // both
      {30, 0, 0, 81, 80, 0, 0, 0},        // beyond its area: no column left
      {30, 2, 0, 95, 80, 0, 0, 0},        // rows only, beyond its area
  };
  for (const row& r : rows) {
    cnv_fix f;
    INIT_ALP_DELEM(f.elem, static_cast<uint16_t>(r.size));
    cv_item it{};
    it.col = r.col;
    it.rows = r.rows;
    it.cols = r.cols;
    sitm s;
    cv_bld_sitm(&s, f.elem, &it);
    cv_area area{24, r.width};
    const int ok = cv_cmpl(&f.c, &s, r.width ? &area : nullptr);
    ASSERT_EQ(ok, r.ok) << r.col;
    if (!ok) {
      EXPECT_EQ(f.c.cnv_status, CV_NO_COLUMNS);
      continue;
    }
    EXPECT_EQ(f.c.ext_rows, r.ext_rows) << r.col;
    EXPECT_EQ(f.c.ext_cols, r.ext_cols) << r.col;
    EXPECT_EQ(f.c.ext_len, r.ext_rows * r.ext_cols);
    EXPECT_EQ(f.c.ext_stride, static_cast<uint32_t>(r.width ? r.width : r.ext_cols));
  }
}

// A text date with no mask anywhere takes the last default, cut to its levels.
TEST_F(CnvBlock, DateWithoutMaskShowsTheLastDefaultCutToItsLevels) {
  struct row {
    uint8_t hi, lo;
    const char* shown;
    const char* typed;
  } rows[] = {
      {8, 5, "03/15/2024", "12/31/1999"},
      {8, 1, "03/15/2024  1:30:15.25 pm", "12/31/1999 11:59:59.99 pm"},
  };
  for (const row& r : rows) {
    cnv_fix f;
    INIT_ALP_DELEM(f.elem, 32);
    f.elem[ELEM_TYPE] = ELEM_ALP_DATE_MD;
    f.elem[ELEM_HI] = r.hi;
    f.elem[ELEM_LO] = r.lo;
    cv_item entry{};
    entry.entry = 1;
    f.compile(&entry);
    ASSERT_EQ(f.c.cnv_status, CV_OK);
    ASSERT_EQ(f.c.ext_cols, static_cast<int>(strlen(r.shown))) << r.shown;
    f.type(r.shown);
    ASSERT_EQ(cv_etoi(&f.c), 1) << r.shown;
    memset(f.dsp, ' ', f.c.ext_len);
    EXPECT_EQ(cv_itoe(&f.c), 1);
    EXPECT_EQ(f.shown(), r.shown);
    const std::string before = f.stored();
    f.type(std::string(f.c.ext_cols, 'x'));
    EXPECT_EQ(cv_etoi(&f.c), 0);
    EXPECT_EQ(f.c.cnv_status, CV_BAD_DATE);
    EXPECT_EQ(f.stored(), before);
    f.type(r.typed);
    EXPECT_EQ(cv_etoi(&f.c), 1);
    cv_itoe(&f.c);
    EXPECT_EQ(f.shown(), r.typed);
  }
}

// A typed universal date is stored in the element's own form when it gives
// every level of the element.
TEST_F(CnvBlock, TypedDatesTakeTheElementsForm) {
  set_typed_date_hook(cv_typed_date);
  struct row {
    const char* typed;
    int ok;
    const char* stored;
  } rows[] = {{"20240315--------", 1, "03/15/2024"},
              {"2024031512301500", 1, "03/15/2024"},
              {"202403----------", 0, ""},
              {"20241315--------", 0, ""}};
  for (const row& r : rows) {
    cnv_fix f;
    INIT_ALP_DELEM(f.elem, 32);
    f.elem[ELEM_TYPE] = ELEM_ALP_DATE_MD;
    memcpy(f.elem + ELEM_MASK, "06/05/8877", 10);
    f.elem[ELEM_HI] = 8;
    f.elem[ELEM_LO] = 5;
    f.compile(nullptr);
    memcpy(f.dsp, r.typed, 16);
    f.c.ext_len = 16;
    ASSERT_EQ(cv_universal(&f.c, 1, nullptr, nullptr), r.ok) << r.typed;
    const std::string got = r.ok ? std::string(reinterpret_cast<char*>(f.c.int_addr), f.c.int_len) : "";
    EXPECT_EQ(got, r.stored);
  }
}

TEST_F(CnvBlock, DisplayCompareAnswersUnchangedOrChanged) {
  cnv_fix f(8, 1);
  f.show("ABC");
  f.c.dspl_cmp = 1;
  EXPECT_EQ(cv_itoe(&f.c), 1);
  EXPECT_EQ(f.c.dspl_cmp, 2u);
  f.store("ABD");
  f.c.dspl_cmp = 1;
  cv_itoe(&f.c);
  EXPECT_EQ(f.c.dspl_cmp, 3u);
  EXPECT_EQ(f.shown(), "ABD     ");
  f.c.addr_mode = 7;  // no value: '?' and 0
  EXPECT_EQ(cv_itoe(&f.c), 0);
  EXPECT_EQ(f.shown(), "????????");
}

TEST_F(CnvBlock, LogicTable) {
  struct row {
    char stored;
    char typed;  // 0: show only
    uint8_t blank_ok;
    char ref;  // reference byte, 0 = none
    int result;
    char stored_after, shown_after;
    uint32_t status;
  } rows[] = {
      {'X', 0, 1, 0, 0, 'X', ' ', CV_BAD_LOGIC},   {'1', 0, 1, 0, 1, '1', 'Y', CV_OK},
      {'n', 0, 1, 0, 1, 'n', 'N', CV_OK},          {'0', 0, 1, '0', 1, '0', ' ', CV_OK},
      {'1', 'n', 1, 0, 1, '0', 'N', CV_OK},        {'0', 'y', 1, 0, 1, '1', 'Y', CV_OK},
      {'1', 'q', 1, 0, 0, '1', 'q', CV_BAD_LOGIC}, {'1', ' ', 1, 0, 1, ' ', ' ', CV_OK},
      {'1', ' ', 0, 0, 0, '1', ' ', CV_BAD_LOGIC},
  };
  for (const row& r : rows) {
    cnv_fix f;
    INIT_ALP_DELEM(f.elem, 1);
    f.elem[ELEM_TYPE] = ELEM_LOG;
    f.compile(nullptr);
    f.c.blank_ok = r.blank_ok;
    uint8_t ref = static_cast<uint8_t>(r.ref);
    if (r.ref) f.c.aux_addr = &ref;
    f.val[0] = static_cast<uint8_t>(r.stored);
    f.dsp[0] = r.typed;
    const int got = r.typed ? cv_etoi(&f.c) : cv_itoe(&f.c);
    EXPECT_EQ(got, r.result) << r.stored << r.typed;
    EXPECT_EQ(f.val[0], r.stored_after) << r.stored << r.typed;
    EXPECT_EQ(f.dsp[0], r.shown_after) << r.stored << r.typed;
    EXPECT_EQ(f.c.cnv_status, r.status);
  }
}

TEST_F(CnvBlock, TypesThatCannotConvertAreRefused) {
  struct row {
    uint8_t type;
    uint16_t size;
    uint32_t status;
  } rows[] = {{5, 3, CV_BAD_NUM_TYPE},
              {5, 8, CV_BAD_NUM_TYPE},
              {13, 4, CV_BAD_TYPE},
              {0, 4, CV_BAD_TYPE},
              {16, 4, CV_BAD_TYPE}};
  for (const row& r : rows) {
    cnv_fix f;
    INIT_NUM_DELEM(f.elem, r.size, 5);
    f.elem[ELEM_TYPE] = r.type;
    sitm s;
    cv_bld_sitm(&s, f.elem, nullptr);
    EXPECT_EQ(cv_cmpl(&f.c, &s, nullptr), 0);
    EXPECT_EQ(f.c.cnv_status, r.status) << int(r.type);
    f.c.cnv_type = r.type;
    EXPECT_EQ(cv_etoi(&f.c), 0);
    EXPECT_EQ(f.c.cnv_status, r.type == 5 ? CV_NO_INT_ADDR : CV_BAD_CNV_TYPE);
  }
}

// A broken design (a blank number mask, a date mask whose levels differ from
// the element's) ends the level with 3 even when the report returns.
TEST_F(CnvBlock, InconsistentDesignUnwindsWithThree) {
  for (int k = 0; k < 2; ++k) {
    cnv_fix f;
    INIT_NUM_DELEM(f.elem, 4, 5);
    if (k == 0) memset(f.elem + ELEM_MASK, ' ', kMaskLen);
    if (k == 1) {
      f.elem[ELEM_TYPE] = ELEM_ALP_DATE_MD;
      memcpy(f.elem + ELEM_MASK, "~6Z/~5Z", 7);
      f.elem[ELEM_HI] = 8;
      f.elem[ELEM_LO] = 5;
    }
    bool returned = false;
    EXPECT_EQ(MARK(MARK_SUBPROCESS,
                   [&] {
                     cv_get_cnv(&f.c, f.elem);
                     returned = true;
                   }),
              3u);
    EXPECT_FALSE(returned);
  }
}

TEST_F(CnvBlock, NumbersConvertThroughTheBlock) {
  cnv_fix f;
  INIT_NUM_DELEM(f.elem, 4, 5);
  memset(f.elem + ELEM_MASK, ' ', kMaskLen);
  memcpy(f.elem + ELEM_MASK, "$-9,999", 7);
  f.compile(nullptr);
  ASSERT_EQ(f.c.cnv_status, CV_OK);
  EXPECT_EQ(f.c.ext_cols, 7 + static_cast<int>(com.currency_len) - 1);
  f.type("$-1,234" + std::string(8, ' '));
  ASSERT_EQ(cv_etoi(&f.c), 1);
  EXPECT_EQ(static_cast<int32_t>(ld_le32(f.val, 0)), -1234);
  st_le32(f.val, 0, 42);
  EXPECT_EQ(cv_itoe(&f.c), 1);
  EXPECT_EQ(f.shown(), "$ 42   ");
  f.type("abc" + std::string(8, ' '));
  EXPECT_EQ(cv_etoi(&f.c), 0);
  EXPECT_EQ(ld_le32(f.val, 0), 42u);
}

TEST_F(CnvBlock, MaskRebuildForExtraDigitsAndItemMasks) {
  struct row {
    const char* elem_mask;
    const char* item_mask;  // null: none
    uint8_t hi, lo, extra;
    const char* built;
  } rows[] = {
      {"-9,999.99", nullptr, 6, 2, 3, "-9,999,999.99"},  // extra digits, grouped
      {"$9**.99", nullptr, 3, 2, 2, "$999**.99"},        // the first digit character repeats
      {"999", nullptr, 3, 0, 0, "999"},                  // element mask only checked
      {"-9999", "999.9", 5, 2, 0, "99999.99"},           // item mask takes elem_hi and elem_lo
      {"-9999", "9,999.9-", 2, 1, 1, "999.9-"},          // fewer digits drop the leading ones
      {"-9999", "99", 2, 3, 0, "99.999"},                // a point when the target has decimals
  };
  for (const row& r : rows) {
    cnv_fix f;
    INIT_NUM_DELEM(f.elem, 4, r.hi);
    f.elem[ELEM_LO] = r.lo;
    memset(f.elem + ELEM_MASK, ' ', kMaskLen);
    memcpy(f.elem + ELEM_MASK, r.elem_mask, strlen(r.elem_mask));
    cv_item it{};
    it.extra_int = r.extra;
    if (r.item_mask) memcpy(it.mask, r.item_mask, strlen(r.item_mask));
    else memset(it.mask, ' ', kCvMaskLen);
    f.compile(&it);
    ASSERT_EQ(f.c.cnv_status, CV_OK) << r.built;
    EXPECT_EQ(std::string(f.c.ta.num.mask, f.c.ta.num.mask_len), r.built);
  }
}

TEST(NumMask, AcceptsEachGroupAfterAComma) {
  const char* groups[] = {"999", "998", "99*", "990", "988", "98*", "980", "9**", "9*0", "900",
                          "888", "88*", "880", "8**", "8*0", "800", "***", "**0", "*00", "000"};
  for (const char* g : groups) {
    num_cnv n{};
    const std::string m = std::string("9,") + g;
    memcpy(n.mask, m.data(), m.size());
    n.mask_len = static_cast<uint8_t>(m.size());
    EXPECT_EQ(cv_num_msk(&n), 1) << m;
  }
}

TEST(NumMask, AcceptsOrRefusesWholeMasks) {
  struct row {
    const char* mask;
    int ok;
  } rows[] = {{"(999.99)", 1}, {"<9,999>", 1}, {"9,99", 0},   {"(999.99", 0}, {"99 99", 0},
              {"(-999)", 0},   {"-999cr", 0},  {"9,9999", 0}, {"$999$", 1},   {"$$999", 0}};
  for (const row& r : rows) {
    num_cnv n{};
    memcpy(n.mask, r.mask, strlen(r.mask));
    n.mask_len = static_cast<uint8_t>(strlen(r.mask));
    EXPECT_EQ(cv_num_msk(&n), r.ok) << r.mask;
  }
}

TEST(NumMask, AnalysisCountsTheMask) {
  num_cnv n{};
  memcpy(n.mask, "$(9,999.99)", 11);
  n.mask_len = 11;
  ASSERT_EQ(cv_num_msk(&n), 1);
  EXPECT_EQ(n.msk_int, 4);
  EXPECT_EQ(n.msk_dec, 2);
  EXPECT_EQ(n.msk_tot, 6);
  EXPECT_EQ(n.sign_kind, NUM_SIGN_BRACKETS);
  EXPECT_EQ(n.cur_kind, NUM_CUR_ONE);
  EXPECT_TRUE(n.has_group && n.has_point);
}

}  // namespace
}  // namespace kivo
