// The clock: local time at each reading, carrying of the fake-time offset,
// the day numbering and the 16-digit host form.
#include <gtest/gtest.h>
#include <utility>

#include <cstdlib>
#include <ctime>
#include <string>

#include "../fixtures/hook_override.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/os.h"
#include "foundation/sys_err.h"

using namespace kivo;

namespace {

// Sets TZ for one test and restores it.
struct tz_guard {
  std::string old;
  bool had;
  explicit tz_guard(const char* tz) {
    const char* o = getenv("TZ");
    had = o != nullptr;
    if (had) old = o;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~tz_guard() {
    if (had) setenv("TZ", old.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
};

std::string host(const ss_clock& c) {
  char out[16];
  ss_host_time(out, &c);
  return std::string(out, 16);
}

}  // namespace

TEST(Clock, DayNumberCountsFrom1970Plus719159) {
  EXPECT_EQ(ss_day_number(1970, 1, 1), 719159u);
  EXPECT_EQ(ss_day_number(2000, 3, 1) - ss_day_number(2000, 2, 28), 2u);
  EXPECT_EQ(ss_day_number(1900, 3, 1) - ss_day_number(1900, 2, 28), 1u);
  for (uint32_t d : {0u, 1u, 719159u, 738000u, 3652424u}) {
    int y, m, dd;
    ss_civil_date(d, &y, &m, &dd);
    EXPECT_EQ(ss_day_number(y, m, dd), d);
  }
  tz_guard tz("UTC0");  // half a second after midnight gives fifty
  ss_clock c = ss_clock_at(86400 * 10, 500000);
  EXPECT_EQ(c.day * 100 + c.hsec, 71916950u);
}

TEST(Clock, DaylightSavingIsTakenAtEachReading) {
  tz_guard tz("CET-1CEST,M3.5.0,M10.5.0/3");
  // 2024-01-15 12:00 UTC is 13:00 in winter; 2024-07-15 12:00 UTC is 14:00.
  const int64_t winter = (ss_day_number(2024, 1, 15) - kEpochDay) * 86400LL + 12 * 3600;
  const int64_t summer = (ss_day_number(2024, 7, 15) - kEpochDay) * 86400LL + 12 * 3600;
  EXPECT_EQ(ss_clock_at(winter, 0).hsec, 13u * 360000);
  EXPECT_EQ(ss_clock_at(summer, 0).hsec, 14u * 360000);
  // Late evening UTC is already the next local day.
  EXPECT_EQ(ss_clock_at(summer + 11 * 3600, 0).day, ss_day_number(2024, 7, 16));
}

TEST(Clock, OffsetCarriesIntoDaysBothWaysAndStopsAtDayZero) {
  const struct {
    ss_clock from;
    int64_t add;
    ss_clock want;
  } cases[] = {{{1000, kDayHsec - 10}, 25, {1001, 15}},
               {{1000, 5}, -10, {999, kDayHsec - 5}},
               {{1000, 0}, 3LL * kDayHsec + 7, {1003, 7}},
               {{0, 3}, -100, {0, 0}}};
  for (const auto& c : cases) {
    ss_clock r = ss_clock_add(c.from, c.add);
    EXPECT_EQ(r.day, c.want.day) << c.from.day << " + " << c.add;
    EXPECT_EQ(r.hsec, c.want.hsec) << c.from.day << " + " << c.add;
  }
}

TEST(Clock, FakeTimeMovesTheEngineClock) {
  ASSERT_EQ(os_set_fake_time("2001020304050607"), 1);
  ss_clock c;
  os_kivo_time(&c);
  os_clear_fake_time();
  EXPECT_EQ(c.day, ss_day_number(2001, 2, 3));
  const int64_t want = ((4 * 60 + 5) * 60 + 6) * 100 + 7;
  EXPECT_LT(static_cast<int64_t>(c.hsec) - want, 500);  // the test's own running time
  EXPECT_GE(static_cast<int64_t>(c.hsec), want);
  EXPECT_LT(c.hsec, kDayHsec);

  // The text is a universal date; pairs of "--" are zero.
  ASSERT_EQ(os_set_fake_time("20240315--------"), 1);
  os_kivo_time(&c);
  os_clear_fake_time();
  EXPECT_EQ(c.day, ss_day_number(2024, 3, 15));
  EXPECT_LT(c.hsec, 500u);
  for (const char* bad :
       {"2024031", "20240230--------", "2024131500000000", "2024031524000000", "20240315xx000000", "2024-03-15 10:00"})
    EXPECT_EQ(os_set_fake_time(bad), 0) << bad;
}

// The host form has sixteen digits; the stored form is the day, then the
// hundredths, little-endian.
TEST(Clock, HostAndStoredForms) {
  ss_clock c{ss_day_number(1999, 12, 31), ((23 * 60 + 59) * 60 + 58) * 100 + 99};
  EXPECT_EQ(host(c), "1999123123595899");
  ss_clock bad{ss_day_number(2000, 1, 1), kDayHsec};
  {
    kivo_test::scoped_hook quiet(foundation_seams.err_presenter, [](const char*, int, const char*) {});
    unsigned before = sys_err_count();
    EXPECT_EQ(host(bad), "0000000000000000");
    EXPECT_EQ(sys_err_count(), before + 1);
  }
  uint8_t b[8];
  ss_clock_store(b, ss_clock{0x01020304, 0x0A0B0C0D});
  const uint8_t want[8] = {0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A};
  EXPECT_EQ(memcmp(b, want, 8), 0);
}
