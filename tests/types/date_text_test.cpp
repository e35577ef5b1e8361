// Display and stored text of dates: entry checks, 12-hour entry, names,
// placeholders, the pivot year, and the display/stored conversions.
#include <tuple>

#include "date_test_util.h"
#include "types/date_convert.h"

namespace kivo::date_test {
namespace {

class DateText : public DateTest {};

std::string write_text(const compiled& m, std_date in, int width, int display, int entry) {
  uint8_t buf[128];
  std_date w = over(m, buf, width, display, entry);
  memcpy(w.part, in.part, sizeof w.part);
  if (!cv_ston_date(&w)) return "unwritable";
  return std::string(reinterpret_cast<char*>(buf), width);
}

std_date parts(int c, int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int t = 0) {
  std_date p{};
  set_parts(&p, c, y, mo, d, h, mi, s, t);
  return p;
}

// Entry through a mask: calendar checks, what may be left over, blank,
// placeholder and zero entries, and hour 24 (refused as every form reads 0-23).
TEST_F(DateText, EntryTable) {
  const struct {
    const char* mask;
    int hi, lo;
    const char* text;
    int rc;
    const char* parts;  // the parts read, when given
  } cases[] = {
      {"06/05/8877", 8, 5, "12/31/1999", 1, "19,99,12,31,0,0,0,0,"},
      {"06/05/8877", 8, 5, "02/29/1900", 0, nullptr},
      {"06/05/8877", 8, 5, "02/29/2000", 1, nullptr},
      {"06/05/8877", 8, 5, "04/31/2000", 0, nullptr},
      {"06/05/8877", 8, 5, "13/01/2000", 0, nullptr},
      {"06/05/8877", 8, 5, "1x/01/2000", 0, nullptr},
      {"06/05/8877", 8, 5, "12-31-1999", 0, nullptr},
      {"06/05/8877", 8, 5, "12/31/1999 x", 0, nullptr},  // text left over
      {"06/05/8877", 8, 5, "12/31/1999  ", 1, nullptr},  // blanks left over
      {"06/05/8877", 8, 5, " 1/ 2/2000", 1, "20,0,1,2,0,0,0,0,"},
      {"06/05/8877", 8, 5, "          ", 1, "-1,-1,-1,-1,-1,-1,-1,-1,"},
      {"06/05/8877", 8, 5, "MM/DD/CCYY", 1, "-1,-1,-1,-1,-1,-1,-1,-1,"},
      {"06/05/8877", 8, 5, "00/00/0000", 1, "0,0,0,0,0,0,0,0,"},
      {"06/05/8877", 8, 5, "12/DD/1999", 1, "19,99,12,-1,0,0,0,0,"},  // a placeholder part is not given
      {"44:03", 4, 3, "24:00", 0, nullptr},
      {"44:03", 4, 3, "23:59", 1, "0,0,0,0,23,59,0,0,"},
      {"44:03", 4, 3, "23:60", 0, nullptr},
  };
  for (const auto& c : cases) {
    compiled m = compile(c.mask, c.hi, c.lo, 1);
    std_date d;
    EXPECT_EQ(read_text(m, c.text, &d), c.rc) << c.text;
    if (c.parts) {
      EXPECT_EQ(parts_of(d), c.parts) << c.text;
    }
  }
}

TEST_F(DateText, TwelveHourEntry) {
  compiled m = compile("44:03~AL", 4, 3, 1), spaced = compile("44:03 ~AL", 4, 3, 1);
  ASSERT_EQ(m.blk.h24, 0);
  // mask, text, result, hour and minute read; a level takes exactly two characters
  const std::tuple<const compiled*, const char*, int, int> rows[] = {
      {&m, " 9:05pm", 1, 2105}, {&m, "12:00AM", 1, 0}, {&m, "12:30pm", 1, 1230},       {&m, "9:05pm", 0, 0},
      {&m, "13:05pm", 0, 0},    {&m, " 9:05xm", 0, 0}, {&spaced, " 9:05 pm", 1, 2105},
  };
  for (auto [mask, text, rc, hhmm] : rows) {
    std_date d;
    ASSERT_EQ(read_text(*mask, text, &d), rc) << text;
    if (rc) {
      EXPECT_EQ(d.at(LVL_HOUR) * 100 + d.at(LVL_MINUTE), hhmm) << text;
    }
  }
  EXPECT_EQ(write_text(spaced, parts(0, 0, 0, 0, 21, 5), 8, 1, 1), " 9:05 pm");
  EXPECT_EQ(write_text(spaced, parts(0, 0, 0, 0, 0, 5), 8, 1, 1), "12:05 am");
}

TEST_F(DateText, PaddingOfLevelTokens) {
  compiled m = compile("66/55/8877", 8, 5, 1);
  const std_date d = parts(20, 24, 3, 5);
  EXPECT_EQ(write_text(m, d, 10, 1, 1), " 3/ 5/2024");  // entry fields keep widths
  EXPECT_EQ(write_text(m, d, 10, 0, 0), " 3/ 5/2024");  // so does stored text
  EXPECT_EQ(write_text(m, d, 10, 1, 0), "3/5/2024  ");  // other display drops the pad
  compiled z = compile("06/05/0807", 8, 5, 1);
  EXPECT_EQ(write_text(z, d, 10, 1, 0), "03/05/2024");
  // A year after its century is one number on the screen; stored text keeps
  // its blank.
  const std_date y2k5 = parts(20, 5, 3, 5);
  EXPECT_EQ(write_text(m, y2k5, 10, 1, 0), "3/5/2005  ");
  EXPECT_EQ(write_text(m, y2k5, 10, 1, 1), " 3/ 5/2005");
  EXPECT_EQ(write_text(m, y2k5, 10, 0, 0), " 3/ 5/20 5");
  std_date back;
  ASSERT_EQ(read_text(m, " 3/ 5/20 5", &back, 0, 0), 1);
  EXPECT_EQ(back.at(LVL_YEAR), 5);
}

TEST_F(DateText, NamesDayOfYearAndSuffixes) {
  compiled m = compile("~dC ~MC 55~SL, 8877", 8, 5, 1);
  EXPECT_EQ(write_text(m, parts(20, 0, 1, 1), m.ret, 1, 0).substr(0, 22), "Saturday Jan 1st, 2000");
  compiled short_names = compile("~DU ~mL 05~SU 8877", 8, 5, 1);
  EXPECT_EQ(write_text(short_names, parts(19, 0, 1, 1), 24, 1, 0), "MON january 01ST 1900   ");
  EXPECT_EQ(write_text(short_names, parts(20, 24, 2, 12), 24, 1, 0), "MON february 12TH 2024  ");
  EXPECT_EQ(write_text(short_names, parts(20, 24, 3, 22), 24, 1, 1), "FRI march      22ND 2024");

  compiled doy = compile("8877/005~SL", 8, 5, 1);
  ASSERT_EQ(doy.blk.type, DT_TEXT_DOY);
  EXPECT_EQ(write_text(doy, parts(20, 24, 12, 31), 10, 0, 0), "2024/366th");
  std_date d;
  ASSERT_EQ(read_text(doy, "2024/366th", &d, 0, 0), 1);
  EXPECT_EQ(parts_of(d), "20,24,12,31,0,0,0,0,");
  EXPECT_EQ(read_text(doy, "2023/366th", &d, 0, 0), 0);
  EXPECT_EQ(read_text(doy, "2023/000th", &d, 0, 0), 0);

  compiled month = compile("~mU 8877", 8, 6, 1);
  ASSERT_EQ(read_text(month, "march      2024", &d), 1);
  EXPECT_EQ(d.at(LVL_MONTH), 3);
  EXPECT_EQ(write_text(month, parts(20, 24, 3, 0), 15, 1, 1), "MARCH      2024");
}

TEST_F(DateText, UndefinedAndUnknownDisplays) {
  compiled m = compile("06/05/8877 ~MC", 8, 5, 1);
  std_date undefined = parts(-1, -1, -1, -1, -1, -1, -1, -1);
  EXPECT_EQ(write_text(m, undefined, 14, 1, 1), "MM/DD/CCYY Mmm");
  EXPECT_EQ(write_text(m, undefined, 14, 1, 0), "              ");
  std_date unknown = parts(-65, -65, -65, -65, -65, -65, -65, -65);
  EXPECT_EQ(write_text(m, unknown, 14, 1, 0),
            std::string(2, '?') + "/" + std::string(2, '?') + "/" + std::string(4, '?') + " " + std::string(3, '?'));
}

TEST_F(DateText, PivotFillsAMissingCentury) {
  compiled m = compile("06/05/77", 8, 5, 1);
  ASSERT_EQ(m.blk.first, 7);  // the mask itself starts at the year
  m.blk.first = 8;            // the element starts at the century
  std_date d;
  ASSERT_EQ(read_text(m, "01/01/49", &d), 1);
  EXPECT_EQ(d.at(LVL_CENTURY), 20);  // no pivot: the current century

  setenv("KIVO_PIVOT_YEAR", "50", 1);
  date_pivot_reload(2026);
  ASSERT_EQ(read_text(m, "01/01/49", &d), 1);
  EXPECT_EQ(d.at(LVL_CENTURY), 20);
  ASSERT_EQ(read_text(m, "01/01/50", &d), 1);
  EXPECT_EQ(d.at(LVL_CENTURY), 19);
  // Zeros without a century are not an empty date: they go on to the checks.
  EXPECT_EQ(read_text(m, "00/00/00", &d), 0);
}

TEST_F(DateText, PivotBoundaries) {
  // {pivot, year of two digits, century}, the current year 2026.
  const int cases[][3] = {{50, 49, 20}, {50, 50, 19}, {27, 26, 20}, {27, 27, 19}, {26, 26, 20},
                          {26, 25, 21}, {0, 0, 20},   {0, 99, 20},  {99, 98, 20}, {99, 99, 19}};
  for (const auto& c : cases) EXPECT_EQ(date_pivot_century(c[0], 2026, c[1]), c[2]) << c[0] << " " << c[1];
}

TEST_F(DateText, OnePivotRuleForEntryAndRoutines) {
  std_date a{}, b{};
  auto reset = [&] {
    a = parts(-1, 49, 1, 1);
    b = parts(-1, 51, 1, 1);
    a.first = b.first = 7;
    a.last = b.last = 5;
  };
  reset();
  EXPECT_EQ(cv_date_pivot(nullptr, &a, &b), 0);  // nothing configured
  EXPECT_EQ(a.first, 7);

  setenv("KIVO_PIVOT_YEAR", "2000", 1);  // a full year counts mod 100, not as "none"
  date_pivot_reload(2026);
  EXPECT_EQ(date_pivot_value(), 0);
  reset();
  EXPECT_EQ(cv_date_pivot(nullptr, &a, &b), 1);
  EXPECT_EQ(a.first, 8);
  EXPECT_EQ(a.at(LVL_CENTURY), 20);
  EXPECT_EQ(b.at(LVL_CENTURY), 20);

  setenv("KIVO_PIVOT_ITEMS", "50", 1);  // the items' pivot wins, for both users
  date_pivot_reload(2026);
  reset();
  EXPECT_EQ(cv_date_pivot(nullptr, &a, &b), 1);
  EXPECT_EQ(a.at(LVL_CENTURY), 20);
  EXPECT_EQ(b.at(LVL_CENTURY), 19);

  for (const char* bad : {"abc", "", "-5", "12345", "19x"}) {
    setenv("KIVO_PIVOT_ITEMS", bad, 1);
    setenv("KIVO_PIVOT_YEAR", bad, 1);
    date_pivot_reload(2026);
    EXPECT_EQ(date_pivot_value(), -1) << bad;
  }
  setenv("KIVO_PIVOT_ITEMS", "junk", 1);
  setenv("KIVO_PIVOT_YEAR", " 1930 ", 1);
  date_pivot_reload(2026);
  EXPECT_EQ(date_pivot_value(), 30);
}

// --- display <-> stored ---

struct date_item {
  compiled stor, dspl;
  uint8_t value[16];
  char text[40];
  date_cnv cnv{};

  date_item(const char* stor_mask, const char* dspl_mask, int hi, int lo, uint8_t type, int entry = 1)
      : stor(compile(stor_mask, hi, lo, type)), dspl(compile(dspl_mask, hi, lo, 1)) {
    memset(value, 0xAB, sizeof value);
    memset(text, ' ', sizeof text);
    cnv.int_addr = value;
    cnv.int_len = static_cast<uint16_t>(stor.ret);
    cnv.type = stor.blk.type;
    cnv.ext_addr = text;
    cnv.ext_len = static_cast<uint16_t>(dspl.ret);
    cnv.stor_mask = stor.mask;
    cnv.stor_mask_len = static_cast<uint8_t>(stor.blk.len);
    cnv.stor_doy = stor.blk.doy;
    cnv.stor_h24 = stor.blk.h24;
    cnv.dspl_mask = dspl.mask;
    cnv.dspl_mask_len = static_cast<uint8_t>(dspl.blk.len);
    cnv.dspl_doy = dspl.blk.doy;
    cnv.dspl_h24 = dspl.blk.h24;
    cnv.elem_hi = static_cast<uint8_t>(hi);
    cnv.elem_lo = static_cast<uint8_t>(lo);
    cnv.entry = static_cast<uint8_t>(entry);
  }
  void type_in(const std::string& s) {
    memset(text, ' ', sizeof text);
    memcpy(text, s.data(), s.size());
  }
  std::string shown() const { return std::string(text, cnv.ext_len); }
};

TEST_F(DateText, RefusedEntryLeavesTheStoredValue) {
  for (uint8_t type : {uint8_t{4}, uint8_t{5}, uint8_t{8}, uint8_t{15}}) {
    date_item it("0807060504", "06/05/8877 44", 8, 4, type);
    it.type_in("02/28/2001 10");
    ASSERT_EQ(dat_etoi(&it.cnv), 1u) << int(type);
    uint8_t before[16];
    memcpy(before, it.value, sizeof before);
    for (const char* bad : {"02/29/2001 10", "02/28/2001 24", "02/28/20x1 10", "2/28/2001 10"}) {
      it.type_in(bad);
      EXPECT_EQ(dat_etoi(&it.cnv), CV_BAD_DATE) << bad;
      EXPECT_EQ(memcmp(before, it.value, sizeof before), 0) << bad << " type " << int(type);
    }
  }
}

TEST_F(DateText, InvalidStoredValueShowsQuestionMarks) {
  date_item it("06/05/8877", "06/05/8877", 8, 5, 4);
  memcpy(it.value, "13/45/1999", 10);
  EXPECT_EQ(dat_itoe(&it.cnv), CV_BAD_DATE);
  EXPECT_EQ(it.shown(), std::string(2, '?') + "/" + std::string(2, '?') + "/" + std::string(4, '?'));

  it.cnv.int_undefined = 1;  // no value: an undefined date, placeholders in entry fields
  EXPECT_EQ(dat_itoe(&it.cnv), 1u);
  EXPECT_EQ(it.shown(), "MM/DD/CCYY");
}

}  // namespace
}  // namespace kivo::date_test
