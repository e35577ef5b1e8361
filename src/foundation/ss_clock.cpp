// The clock: local date and time as {day number, hundredths}, the fake-time
// offset of test runs, and the 16-digit host form.
//
// Local time is taken at every reading, so a change of daylight saving
// during a run shows at once. The fake-time offset is a signed count of
// hundredths; adding it carries into days, so the hundredths word always
// stays below 8,640,000.
#include <sys/time.h>

#include <cctype>
#include <cstring>
#include <ctime>

#include "foundation/bytes.h"
#include "foundation/calendar.h"
#include "foundation/os.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

int64_t g_fake_offset;  // hundredths

int month_days(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && cal_leap(y) ? 29 : kDays[m - 1];
}

// Two characters of a universal date: digits give their value, "--" a part
// that is not given (0). Anything else is not a date for the fake clock.
// This reader covers only what the fake clock needs; the dates module
// holds the full universal form.
bool pair_value(const char* p, int* v) {
  if (p[0] == '-' && p[1] == '-') {
    *v = 0;
    return true;
  }
  if (!isdigit(static_cast<unsigned char>(p[0])) || !isdigit(static_cast<unsigned char>(p[1]))) return false;
  *v = (p[0] - '0') * 10 + (p[1] - '0');
  return true;
}

}  // namespace

uint32_t ss_day_number(int year, int month, int day) {
  return static_cast<uint32_t>(days_from_civil(year, month, day) + kEpochDay);
}

void ss_civil_date(uint32_t day_number, int* year, int* month, int* day) {
  // Inverse of days_from_civil; arithmetic only, so the signal handler may use it.
  int64_t z = static_cast<int64_t>(day_number) - kEpochDay + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yoe + era * 400 + (m <= 2));
  *month = m;
  *day = d;
}

ss_clock ss_clock_at(int64_t epoch_sec, int64_t usec) {
  time_t t = static_cast<time_t>(epoch_sec);
  struct tm tm;
  long off = localtime_r(&t, &tm) ? tm.tm_gmtoff : 0;
  int64_t local = epoch_sec + off;
  int64_t days = local / 86400, secs = local % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  ss_clock c;
  c.day = static_cast<uint32_t>(days + kEpochDay);
  c.hsec = static_cast<uint32_t>(secs * 100 + usec / 10000);
  return c;
}

void ss_time(ss_clock* clock) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  *clock = ss_clock_at(tv.tv_sec, tv.tv_usec);
}

ss_clock ss_clock_add(ss_clock c, int64_t hsec) {
  int64_t total = static_cast<int64_t>(c.day) * kDayHsec + c.hsec + hsec;
  if (total < 0) total = 0;
  const int64_t max = static_cast<int64_t>(UINT32_MAX) * kDayHsec + (kDayHsec - 1);
  if (total > max) total = max;
  return ss_clock{static_cast<uint32_t>(total / kDayHsec), static_cast<uint32_t>(total % kDayHsec)};
}

void os_kivo_time(ss_clock* clock) {
  ss_time(clock);
  if (g_fake_offset) *clock = ss_clock_add(*clock, g_fake_offset);
}

int os_set_fake_time(const char* text) {
  if (!text || strlen(text) != 16) return 0;
  int part[8];
  for (int i = 0; i < 8; ++i)
    if (!pair_value(text + 2 * i, &part[i])) return 0;
  const int year = part[0] * 100 + part[1];
  const int month = part[2] ? part[2] : 1, day = part[3] ? part[3] : 1;
  if (month > 12 || day > month_days(year, month) || part[4] > 23 || part[5] > 59 || part[6] > 59) return 0;
  ss_clock fake{ss_day_number(year, month, day),
                static_cast<uint32_t>(((part[4] * 60 + part[5]) * 60 + part[6]) * 100 + part[7])};
  ss_clock now;
  ss_time(&now);
  g_fake_offset = (static_cast<int64_t>(fake.day) - now.day) * kDayHsec + (static_cast<int64_t>(fake.hsec) - now.hsec);
  return 1;
}

void os_clear_fake_time() { g_fake_offset = 0; }

void ss_host_time(char* out, const ss_clock* clock) {
  int y, m, d;
  ss_civil_date(clock->day, &y, &m, &d);
  if (clock->hsec >= kDayHsec || y < 0 || y > 9999) {
    memset(out, '0', 16);
    sys_err("SSUNIX", __LINE__, "ss_host_time - bad date");
    return;
  }
  const uint32_t h = clock->hsec;
  const int parts[8] = {y / 100,
                        y % 100,
                        m,
                        d,
                        static_cast<int>(h / 360000),
                        static_cast<int>(h / 6000 % 60),
                        static_cast<int>(h / 100 % 60),
                        static_cast<int>(h % 100)};
  for (int i = 0; i < 8; ++i) {
    out[2 * i] = static_cast<char>('0' + parts[i] / 10);
    out[2 * i + 1] = static_cast<char>('0' + parts[i] % 10);
  }
}

void ss_clock_store(uint8_t* out, const ss_clock& c) {
  st_le32(out, 0, c.day);
  st_le32(out, 4, c.hsec);
}

}  // namespace kivo
