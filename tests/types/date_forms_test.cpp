// Stored forms of dates: every day through every form and back, the day
// numbering's fixed values, and refusal of values that name no date.
#include <array>
#include <chrono>

#include "date_test_util.h"
#include "foundation/bytes.h"
#include "types/date_internal.h"

namespace kivo::date_test {
namespace {

class DateForms : public DateTest {};

struct form {
  const char* name;
  const char* mask;
  int hi, lo;
  uint8_t type;
};

// Writes the parts through the form and reads them back.
std::string round_trip(const compiled& m, int len, const std_date& in, uint8_t* raw) {
  std_date w = over(m, raw, len);
  memcpy(w.part, in.part, sizeof w.part);
  if (!cv_ston_date(&w)) return "unwritable";
  std_date r = over(m, raw, len);
  if (!cv_ntos_date(&r)) return "invalid";
  return parts_of(r);
}

TEST_F(DateForms, EveryDayFrom1801To2099SurvivesEveryFormAndHasItsWeekday) {
  const form forms[] = {
      {"text", "0807060504030201", 8, 1, 4},
      {"text doy", "8877005", 8, 5, 1},
      {"binary date", "06/05/8877", 8, 5, 5},
      {"binary date time", "0807060504030201", 8, 1, 5},
      {"binary doy", "8877005", 8, 5, 5},
      {"packed", "06/05/8877", 8, 5, 8},
      {"packed date time", "0807060504030201", 8, 1, 8},
      {"packed doy", "8877005", 8, 5, 8},
      {"universal", "0807060504030201", 8, 1, 15},
  };
  for (const form& f : forms) {
    compiled m = compile(f.mask, f.hi, f.lo, f.type);
    ASSERT_GT(m.ret, 0) << f.name;
    int mismatches = 0;
    int i = 0;
    for (int y = 1801; y <= 2099; ++y) {
      for (int doy = 1; doy <= date_days_before(y, 13); ++doy, ++i) {
        std_date in{};
        in.first = static_cast<uint8_t>(f.hi);
        in.last = static_cast<uint8_t>(f.lo);
        int8_t mo, dd;
        ASSERT_TRUE(date_set_doy(y, doy, &mo, &dd));
        if (f.lo == 1) set_parts(&in, y / 100, y % 100, mo, dd, i % 24, i % 60, (i * 7) % 60, i % 100);
        else set_parts(&in, y / 100, y % 100, mo, dd);
        uint8_t raw[32];
        const std::string got = round_trip(m, m.ret, in, raw);
        const bool binary_day_number = m.blk.type == DT_BIN;
        if (binary_day_number && y == 1899 && mo == 12 && dd == 31) {
          // Its day word would be that of 1900-01-01: refused, never stored
          // as that other day.
          EXPECT_EQ(got, "unwritable") << f.name;
          continue;
        }
        if (&f == forms) {  // the weekday of each day, once
          const std::chrono::weekday wd{std::chrono::sys_days{std::chrono::year{y} / std::chrono::month{unsigned(mo)} /
                                                              std::chrono::day{unsigned(dd)}}};
          ASSERT_EQ(date_weekday(&in), static_cast<int>(wd.iso_encoding())) << y << "-" << int(mo) << "-" << int(dd);
        }
        if (got != parts_of(in) && ++mismatches < 5)
          ADD_FAILURE() << f.name << " " << y << " day " << doy << ": " << got << " want " << parts_of(in);
      }
    }
    EXPECT_EQ(mismatches, 0) << f.name;
  }
}

int32_t stored_word(int c, int y, int m, int d) {
  compiled mask = compile("06/05/8877", 8, 5, 5);
  uint8_t raw[4];
  std_date w = over(mask, raw, 4);
  set_parts(&w, c, y, m, d);
  EXPECT_EQ(cv_ston_date(&w), 1);
  return static_cast<int32_t>(ld_le32(raw, 0));
}

std::string read_word(int32_t v) {
  compiled mask = compile("06/05/8877", 8, 5, 5);
  uint8_t raw[4];
  st_le32(raw, 0, static_cast<uint32_t>(v));
  std_date r = over(mask, raw, 4);
  if (!cv_ntos_date(&r)) return "invalid";
  return parts_of(r);
}

TEST_F(DateForms, DayNumbersKeepTheirFixedValues) {
  std_date d{};
  d.first = 8, d.last = 5;
  set_parts(&d, 20, 0, 1, 1);
  EXPECT_EQ(cv_get_days(&d, 0), 730486);
  for (auto [c, y, m, dd, word] :
       {std::array{20, 0, 1, 1, 730116}, std::array{19, 99, 12, 31, 730115}, std::array{19, 0, 12, 31, 693955},
        std::array{19, 1, 1, 1, 693957}, std::array{20, 99, 12, 31, 766640}})
    EXPECT_EQ(stored_word(c, y, m, dd), word) << c << " " << y;
  EXPECT_EQ(read_word(730115), "19,99,12,31,0,0,0,0,");
  EXPECT_EQ(read_word(693956), "19,1,1,1,0,0,0,0,");
  EXPECT_EQ(read_word(766640), "20,99,12,31,0,0,0,0,");
  EXPECT_EQ(read_word(stored_word(18, 0, 1, 1)), "18,0,1,1,0,0,0,0,");
  EXPECT_EQ(read_word(657432), "18,1,1,1,0,0,0,0,");
  // Day-of-year form and the special values of cv_get_days.
  EXPECT_EQ(cv_get_days(&d, 1), 2000001);
  set_parts(&d, 0, 0, 0, 0);
  EXPECT_EQ(cv_get_days(&d, 0), 0);
  set_parts(&d, -1, -1, -1, -1);
  EXPECT_EQ(cv_get_days(&d, 0), -1);
  EXPECT_EQ(date_weekday(&d), 0);
  set_parts(&d, 0, 0, 0, 0);
  EXPECT_EQ(date_weekday(&d), 0);
}

TEST_F(DateForms, DateWhoseDayWordReadsAsAnotherIsRefused) {
  // 2100-01-01 and 1799-12-31 would share a word with their neighbour, and
  // 9999-12-31 would read as a year past 9999: refused, never stored as
  // another date; the raw value is left alone.
  compiled mask = compile("06/05/8877", 8, 5, 5);
  for (auto [c, y, m, d] : {std::array{21, 0, 1, 1}, std::array{17, 99, 12, 31}, std::array{99, 99, 12, 31}}) {
    uint8_t raw[4] = {0xAB, 0xAB, 0xAB, 0xAB};
    std_date w = over(mask, raw, 4);
    set_parts(&w, c, y, m, d);
    EXPECT_EQ(cv_ston_date(&w), 0) << c << y;
  }
  EXPECT_EQ(read_word(stored_word(21, 0, 1, 2)), "21,0,1,2,0,0,0,0,");
  EXPECT_EQ(read_word(stored_word(99, 99, 12, 30)), "99,99,12,30,0,0,0,0,");
}

TEST_F(DateForms, BinaryWordsAreLittleEndianDateThenTime) {
  compiled m = compile("0807060504030201", 8, 1, 5);
  ASSERT_EQ(m.ret, 8);
  uint8_t raw[8];
  std_date w = over(m, raw, 8);
  set_parts(&w, 20, 0, 1, 1, 12, 34, 56, 78);
  ASSERT_EQ(cv_ston_date(&w), 1);
  const uint8_t golden[8] = {0x04, 0x24, 0x0B, 0x00, 0x0E, 0x1E, 0x45, 0x00};  // 730116, 4529678
  EXPECT_EQ(memcmp(raw, golden, 8), 0);

  // Hour not given: a time word of -1 that reads back as not given.
  set_parts(&w, 20, 0, 1, 1, -1, -1, -1, -1);
  ASSERT_EQ(cv_ston_date(&w), 1);
  EXPECT_EQ(ld_le32(raw, 4), 0xFFFFFFFFu);
  std_date r = over(m, raw, 8);
  ASSERT_EQ(cv_ntos_date(&r), 1);
  EXPECT_EQ(parts_of(r), "20,0,1,1,-1,-1,-1,-1,");

  // Date 0 with a time: zero date parts and the time.
  st_le32(raw, 0, 0);
  st_le32(raw, 4, 4529678);
  r = over(m, raw, 8);
  ASSERT_EQ(cv_ntos_date(&r), 1);
  EXPECT_EQ(parts_of(r), "0,0,0,0,12,34,56,78,");
}

TEST_F(DateForms, UndefinedAndEmptyDatesInEveryForm) {
  const form forms[] = {{"text", "06/05/8877", 8, 5, 4},
                        {"binary", "06/05/8877", 8, 5, 5},
                        {"packed", "06/05/8877", 8, 5, 8},
                        {"universal", "0807060504030201", 8, 1, 15},
                        {"time", "04:03", 4, 3, 5}};
  for (const form& f : forms) {
    compiled m = compile(f.mask, f.hi, f.lo, f.type);
    for (int8_t v : {kPartNotGiven, int8_t{0}}) {
      uint8_t raw[32];
      std_date in{};
      in.first = static_cast<uint8_t>(f.hi);
      in.last = static_cast<uint8_t>(f.lo);
      set_parts(&in, v, v, v, v, v, v, v, v);
      EXPECT_EQ(round_trip(m, m.ret, in, raw), parts_of(in)) << f.name << " " << int(v);
    }
  }
}

TEST_F(DateForms, BinaryValuesThatNameNoDateAreInvalid) {
  EXPECT_EQ(read_word(-2), "invalid");
  EXPECT_EQ(read_word(-400), "invalid");
  EXPECT_EQ(read_word(3700000), "invalid");  // beyond year 9999
  compiled t = compile("04:03", 4, 3, 5);
  uint8_t raw[4];
  st_le32(raw, 0, 24 * 360000);  // 24:00 has no place in a day
  std_date r = over(t, raw, 4);
  EXPECT_EQ(cv_ntos_date(&r), 0);
  compiled doy = compile("8877005", 8, 5, 5);
  st_le32(raw, 0, 1999366);  // no day 366 in 1999
  r = over(doy, raw, 4);
  EXPECT_EQ(cv_ntos_date(&r), 0);
}

TEST_F(DateForms, PackedDigitsFollowTheMaskOrder) {
  compiled m = compile("06/05/8877", 8, 5, 8);
  uint8_t raw[5];
  std_date w = over(m, raw, 5);
  set_parts(&w, 19, 99, 12, 31);
  ASSERT_EQ(cv_ston_date(&w), 1);
  const uint8_t golden[5] = {0x01, 0x23, 0x11, 0x99, 0x9C};
  EXPECT_EQ(memcmp(raw, golden, 5), 0);

  // Digits beyond the mask, a bad nibble, a negative value, hour 24.
  const uint8_t too_many[5] = {0x11, 0x23, 0x11, 0x99, 0x9C};
  const uint8_t bad_nibble[5] = {0x01, 0x2A, 0x11, 0x99, 0x9C};
  const uint8_t negative[5] = {0x01, 0x23, 0x11, 0x99, 0x9D};
  for (const uint8_t* v : {too_many, bad_nibble, negative}) {
    memcpy(raw, v, 5);
    std_date r = over(m, raw, 5);
    EXPECT_EQ(cv_ntos_date(&r), 0);
  }
  compiled t = compile("0403", 4, 3, 8);
  ASSERT_EQ(t.ret, 3);
  const uint8_t h24[3] = {0x02, 0x40, 0x0C};
  memcpy(raw, h24, 3);
  std_date r = over(t, raw, 3);
  EXPECT_EQ(cv_ntos_date(&r), 0);
}

TEST_F(DateForms, UniversalTextReadsPartialValues) {
  compiled m = compile("0807060504030201", 8, 1, 15);
  std_date d;
  ASSERT_EQ(read_text(m, "20240315--------", &d, 0, 0), 1);
  EXPECT_EQ(d.first, 8);
  EXPECT_EQ(d.last, 5);
  EXPECT_EQ(parts_of(d), "20,24,3,15,0,0,0,0,");
  EXPECT_EQ(read_text(m, "2024031", &d, 0, 0), 0);
  ASSERT_EQ(read_text(m, "----0315hhnn----", &d, 0, 0), 1);
  EXPECT_EQ(d.first, 6);
  EXPECT_EQ(d.last, 5);
  ASSERT_EQ(read_text(m, "                ", &d, 0, 0), 1);
  EXPECT_EQ(parts_of(d), "-1,-1,-1,-1,-1,-1,-1,-1,");
  EXPECT_EQ(d.first, 8);
  EXPECT_EQ(d.last, 1);
  // Clamped or inexact values come back, but as invalid.
  EXPECT_EQ(read_text(m, "20241345--------", &d, 0, 0), 0);
  EXPECT_EQ(parts_of(d), "20,24,12,31,0,0,0,0,");
  EXPECT_EQ(read_text(m, "2024-3-15-------", &d, 0, 0), 0);
  EXPECT_EQ(read_text(m, "2023022910------", &d, 0, 0), 0);  // 1999 had no 29 February
  EXPECT_EQ(d.at(LVL_DAY), 28);

  uint8_t raw[16];
  std_date w = over(m, raw, 16);
  w.first = 6, w.last = 4;
  set_parts(&w, 0, 0, 3, 15, 9);
  ASSERT_EQ(cv_ston_date(&w), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), 16), "----031509------");
}

TEST_F(DateForms, BadStorageTypeAndRawLengthAreSystemErrors) {
  const unsigned before = sys_err_count();
  compiled m = compile("06/05/8877", 8, 5, 4);
  uint8_t raw[16] = {};
  std_date d = over(m, raw, 10);
  d.type = 5;
  EXPECT_EQ(cv_ntos_date(&d), 0);
  EXPECT_EQ(cv_ston_date(&d), 0);
  d = over(m, raw, 4);
  memcpy(raw, "12/3", 4);
  EXPECT_EQ(cv_ntos_date(&d), 0);  // the year has no characters left
  EXPECT_EQ(sys_err_count(), before + 3);
}

}  // namespace
}  // namespace kivo::date_test
