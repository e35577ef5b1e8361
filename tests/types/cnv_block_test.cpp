// The conversion block: alpha geometry, dates and numbers from their elements,
// the display compare, logic items, refused types, numeric masks and rebuilds.
#include <gtest/gtest.h>

#include <tuple>

#include "../fixtures/hook_override.h"
#include "cnv_test_util.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/scope.h"
#include "types/std_date.h"
#include "types/types.h"

namespace kivo {
namespace {

TEST(CnvBlock, AlphaGeometryByRowsColumnsAndArea) {
  // size, item rows, columns, column, area width (0: none), rows, columns (0: refused)
  const std::tuple<int, uint32_t, uint32_t, int32_t, int32_t, int, int> rows[] = {
      {100, 3, 0, 1, 0, 3, 34},       {100, 3, 32767, 60, 80, 3, 21}, {100, 0, 0, 1, 0, 1, 100},
      {100, 1, 32767, 31, 80, 1, 50}, {30, 0, 20, 70, 80, 1, 20},     {30, 4, 25, 1, 80, 4, 25},
      {30, 0, 0, 81, 80, 0, 0},       {30, 2, 0, 95, 80, 0, 0},
  };
  for (auto [size, rows_in, cols_in, col, width, ext_rows, ext_cols] : rows) {
    cnv_fix f;
    f.make(ELEM_ALP, static_cast<uint16_t>(size));
    cv_item it{col, col, rows_in, cols_in, {}, 0, 0, 0, 0, 0};
    f.area.width = width;
    f.compile(&it);
    EXPECT_EQ(f.c.cnv_status, ext_cols ? CV_OK : CV_NO_COLUMNS) << col;
    if (!ext_cols) continue;
    EXPECT_EQ(f.c.ext_rows * 1000 + f.c.ext_cols, ext_rows * 1000 + ext_cols) << col;
    EXPECT_EQ(f.c.ext_len * 1000 + f.c.ext_stride, ext_rows * ext_cols * 1000 + (width ? width : ext_cols));
  }
}

// A text date with no mask anywhere takes the last default, cut to its levels;
// a typed universal date giving every level is stored in the element's form.
TEST(CnvBlock, DateWithoutMaskShowsTheLastDefaultCutToItsLevels) {
  const char* rows[][2] = {{"03/15/2024", "12/31/1999"}, {"03/15/2024  1:30:15.25 pm", "12/31/1999 11:59:59.99 pm"}};
  for (const auto& r : rows) {
    cnv_fix f;
    f.make(ELEM_ALP_DATE_MD, 32, 8, strlen(r[0]) == 10 ? 5 : 1);
    cv_item entry{0, 0, 0, 0, {}, 0, 1, 0, 1, 0};
    f.compile(&entry);
    for (const char* shown : r) EXPECT_EQ(f.show(f.read(shown)), shown);
  }
}

// Typed universal dates. A text giving every level of the element is stored
// in its form; one giving fewer becomes, without the keep-type flag, a
// day-number binary date of the levels typed, and with it keeps the
// element's levels, its parts clamped (a pair that is no number nor "--" is
// refused either way).
TEST(CnvBlock, TypedUniversalDatesByLevelsAndKeepType) {
  const auto le32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  const uint32_t mar15 = 738956, mar1 = mar15 - 14;  // 2024-03-15 and -01 as stored (day number - 370)
  struct row {
    uint8_t type, hi, lo;  // the element: text date "06/05/8877" (4) or day-number binary (7)
    const char* text;
    int keep;
    std::string value;  // "" refused
    uint8_t type_after, hi_after, lo_after;
  } rows[] = {
      {4, 8, 5, "2024031512301500", 1, "03/15/2024", 4, 8, 5},
      {4, 8, 5, "2024031512301500", 0, "03/15/2024", 4, 8, 5},
      {4, 8, 5, "202403----------", 1, "03/01/2024", 4, 8, 5},  // day 0 clamped to 1
      {4, 8, 5, "20241315--------", 1, "12/15/2024", 4, 8, 5},  // month 13 to 12
      {4, 8, 5, "20230229--------", 1, "02/28/2023", 4, 8, 5},  // by month and year
      {4, 8, 5, "20240231--------", 1, "02/29/2024", 4, 8, 5},
      {4, 8, 5, "20230229--------", 0, "", 0, 0, 0},
      {4, 8, 5, "2024AB15--------", 1, "", 0, 0, 0},
      {4, 8, 5, "202403----------", 0, le32(mar1), 7, 8, 6},
      {7, 8, 1, "20240315--------", 0, le32(mar15), 7, 8, 5},
      {7, 8, 1, "20240315--------", 1, le32(mar15) + le32(0), 7, 8, 1},
      {7, 8, 1, "2024031525706100", 1, le32(mar15) + le32(((23 * 60 + 59) * 60 + 59) * 100), 7, 8, 1},
      {7, 8, 5, "2024031512301500", 0, le32(mar15), 7, 8, 5},
      {7, 8, 1, "----------------", 0, "", 0, 0, 0},
  };
  for (const row& r : rows) {
    cnv_fix f;
    f.make(r.type, r.type == 4 ? 10 : (r.lo <= 4 && r.hi >= 5 ? 8 : 4), r.hi, r.lo,
           r.type == 4 ? "06/05/8877" : nullptr);
    f.compile(nullptr);
    memcpy(f.dsp, r.text, 16);
    f.c.ext_len = 16;
    const std::string what = std::string(r.text) + (r.keep ? " kept" : "");
    ASSERT_EQ(cv_universal(&f.c, r.keep, nullptr, nullptr), r.value.empty() ? 0 : 1) << what;
    if (r.value.empty()) continue;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(f.c.int_addr), f.c.int_len), r.value) << what;
    EXPECT_EQ(f.c.cnv_type * 100 + f.c.ta.dat.elem_hi * 10 + f.c.ta.dat.elem_lo,
              r.type_after * 100 + r.hi_after * 10 + r.lo_after)
        << what;
    if (r.type == 4 && r.type_after == 7) {
      EXPECT_EQ(std::string(f.c.ta.dat.stor_mask, f.c.ta.dat.stor_len), "~8Z~7Z~6Z") << what;
    }
  }
}

TEST(CnvBlock, DisplayCompareAnswersUnchangedOrChanged) {
  cnv_fix f(8, 1);
  f.show("ABC");
  for (const auto& [value, answer, result] : {std::tuple{"ABC", 2u, 1}, {"ABD", 3u, 1}, {"", 3u, 0}}) {
    memcpy(f.val, value, strlen(value));
    f.c.dspl_cmp = 1;
    if (!*value) f.c.addr_mode = 7;  // no value: '?' and 0
    EXPECT_EQ(cv_itoe(&f.c), result);
    EXPECT_EQ(f.c.dspl_cmp, answer) << value;
  }
  EXPECT_EQ(f.shown(), "????????");
}

TEST(CnvBlock, LogicTable) {
  // stored, typed (0: show only), blank_ok, reference (0: none), result, stored after, shown after
  const std::tuple<char, char, uint8_t, char, int, char, char> rows[] = {
      {'X', 0, 1, 0, 0, 'X', ' '},   {'1', 0, 1, 0, 1, '1', 'Y'},   {'n', 0, 1, 0, 1, 'n', 'N'},
      {'0', 0, 1, '0', 1, '0', ' '}, {'1', 'n', 1, 0, 1, '0', 'N'}, {'0', 'y', 1, 0, 1, '1', 'Y'},
      {'1', 'q', 1, 0, 0, '1', 'q'}, {'1', ' ', 1, 0, 1, ' ', ' '}, {'1', ' ', 0, 0, 0, '1', ' '},
  };
  for (auto [stored, typed, blank_ok, ref, result, stored_after, shown_after] : rows) {
    cnv_fix f;
    f.make(ELEM_LOG, 1);
    f.compile(nullptr);
    f.c.blank_ok = blank_ok;
    uint8_t ref_byte = static_cast<uint8_t>(ref);
    if (ref) f.c.aux_addr = &ref_byte;
    f.val[0] = static_cast<uint8_t>(stored);
    f.dsp[0] = typed;
    EXPECT_EQ(typed ? cv_etoi(&f.c) : cv_itoe(&f.c), result) << stored << typed;
    EXPECT_EQ(std::string() + char(f.val[0]) + f.dsp[0], std::string() + stored_after + shown_after);
    EXPECT_EQ(f.c.cnv_status, result ? CV_OK : CV_BAD_LOGIC);
  }
}

// A broken design (a blank number mask, a date mask whose levels differ from
// the element's) ends the level with 3 even when the report returns.
TEST(CnvBlock, InconsistentDesignUnwindsWithThree) {
  for (const char* mask : {"", "~6Z/~5Z"}) {
    cnv_fix f;
    f.make(*mask ? 4 : 5, 4, *mask ? 8 : 5, *mask ? 5 : 0, mask);
    bool returned = false;
    EXPECT_EQ(MARK(MARK_SUBPROCESS, [&] { returned = cv_get_cnv(&f.c, f.elem); }), 3u);
    EXPECT_FALSE(returned);
  }
}

TEST(CnvBlock, BadNumberTypesAndLengthsAreRefused) {
  const std::tuple<int, int, uint32_t> rows[] = {{5, 3, CV_BAD_NUM_TYPE},
                                                 {5, 8, CV_BAD_NUM_TYPE},
                                                 {13, 4, CV_BAD_TYPE},
                                                 {0, 4, CV_BAD_TYPE},
                                                 {16, 4, CV_BAD_TYPE}};
  for (auto [type, size, status] : rows) {
    cnv_fix bad;
    bad.make(static_cast<uint8_t>(type), static_cast<uint16_t>(size), 5, 0, "-99999");
    bad.compile(nullptr);
    EXPECT_EQ(bad.c.cnv_status, status) << type;
  }
}

TEST(CnvBlock, NumbersConvertThroughTheBlock) {
  cnv_fix f;
  f.make(ELEM_BIN, 4, 5, 0, "$-9,999");
  f.compile(nullptr);
  ASSERT_EQ(f.c.ext_cols, 7 + static_cast<int>(com.currency_len) - 1);
  f.read("$-1,234");
  EXPECT_EQ(static_cast<int32_t>(ld_le32(f.val, 0)), -1234);
  st_le32(f.val, 0, 42);
  EXPECT_EQ(cv_itoe(&f.c), 1);
  EXPECT_EQ(f.shown(), "$ 42   ");
}

TEST(CnvBlock, MaskRebuildForExtraDigitsAndItemMasks) {
  // element mask, item mask ("": none), elem_hi, elem_lo, extra digits, the mask built
  const std::tuple<const char*, const char*, uint8_t, uint8_t, uint8_t, const char*> rows[] = {
      {"-9,999.99", "", 6, 2, 3, "-9,999,999.99"},  // extra digits, grouped
      {"$9**.99", "", 3, 2, 2, "$999**.99"},        // the first digit character repeats
      {"999", "", 3, 0, 0, "999"},                  // element mask only checked
      {"-9999", "999.9", 5, 2, 0, "99999.99"},      // item mask takes elem_hi and elem_lo
      {"-9999", "9,999.9-", 2, 1, 1, "999.9-"},     // fewer digits drop the leading ones
      {"-9999", "99", 2, 3, 0, "99.999"},           // a point when the target has decimals
  };
  for (auto [elem_mask, item_mask, hi, lo, extra, built] : rows) {
    cnv_fix f;
    f.make(ELEM_BIN, 4, hi, lo, elem_mask);
    cv_item it{0, 0, 0, 0, {}, extra, 0, 0, 1, 0};
    memcpy(it.mask, item_mask, strlen(item_mask));
    f.compile(&it);
    ASSERT_EQ(f.c.cnv_status, CV_OK) << built;
    EXPECT_EQ(std::string(f.c.ta.num.mask, f.c.ta.num.mask_len), built);
  }
}

int mask_ok(const std::string& m, num_cnv* n = nullptr) {
  num_cnv own{};
  if (!n) n = &own;
  com_fill(0, nullptr);
  memcpy(n->mask, m.data(), m.size());
  n->mask_len = static_cast<uint8_t>(m.size());
  return cv_num_msk(n);
}

TEST(NumMask, AcceptsEachGroupAfterAComma) {
  for (const char* g : {"999", "998", "99*", "990", "988", "98*", "980", "9**", "9*0", "900",
                        "888", "88*", "880", "8**", "8*0", "800", "***", "**0", "*00", "000"})
    EXPECT_EQ(mask_ok(std::string("9,") + g), 1) << g;
}

TEST(NumMask, RefusesMalformedMasks) {
  for (const char* m : {"9,99", "(999.99", "99 99", "(-999)", "-999cr", "9,9999", "$$999", "9,989"})
    EXPECT_EQ(mask_ok(m), 0) << m;
}

TEST(NumMask, AcceptsBracketsAndCountsThem) {
  num_cnv n{};
  ASSERT_EQ(mask_ok("(999.99)", &n) + mask_ok("$(9,999.99)", &n), 2);
  EXPECT_EQ(n.msk_int * 100 + n.msk_dec * 10 + n.msk_tot, 426);
  EXPECT_EQ(n.sign_kind * 10 + n.cur_kind + n.has_group + n.has_point, NUM_SIGN_BRACKETS * 10 + NUM_CUR_ONE + 2);
}

}  // namespace
}  // namespace kivo
