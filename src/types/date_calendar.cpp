// Day numbering, the weekday and the pivot year.
//
// The day number is the stored form of binary dates and must not change: it
// gives one value to 1799-12-31 / 1800-01-01, 1899-12-31 / 1900-01-01 and
// 2099-12-31 / 2100-01-01, and skips one value after 1800 and 1900. Weekdays
// are therefore taken from a true calendar, never from the day number.
#include <cstdlib>

#include "foundation/calendar.h"
#include "foundation/os.h"
#include "types/date_internal.h"
#include "types/std_date.h"

namespace kivo {

namespace {

constexpr int kNormalDays[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
constexpr int kLeapDays[13] = {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366};

struct pivot_state {
  bool loaded = false;
  int pivot = -1;
  int now = 2000;
};
pivot_state g_pivot;

// One to four decimal digits, blanks around allowed; -1 for anything else.
int parse_pivot(const char* s) {
  if (!s) return -1;
  while (*s == ' ') ++s;
  int v = 0, digits = 0;
  while (*s >= '0' && *s <= '9') {
    if (++digits > 4) return -1;
    v = v * 10 + (*s++ - '0');
  }
  while (*s == ' ') ++s;
  if (digits == 0 || *s != '\0') return -1;
  return v % 100;
}

void load_pivot() {
  if (!g_pivot.loaded) date_pivot_reload(0);
}

// Fills the century of one date that starts at the year; true when it did.
bool pivot_one(std_date* d, int pivot) {
  if (!d || d->first != LVL_YEAR || d->at(LVL_YEAR) < 0) return false;
  d->at(LVL_CENTURY) = static_cast<int8_t>(date_pivot_century(pivot, g_pivot.now, d->at(LVL_YEAR)));
  d->first = LVL_CENTURY;
  return true;
}

}  // namespace

bool date_is_leap(int year) { return cal_leap(year); }

int date_days_before(int year, int month) {
  if (month < 1) return 0;
  if (month > 13) month = 13;
  return date_is_leap(year) ? kLeapDays[month - 1] : kNormalDays[month - 1];
}

int date_days_in_month(int year, int month) {
  if (month < 1 || month > 12) return 31;
  return date_days_before(year, month + 1) - date_days_before(year, month);
}

int date_full_year(const std_date* d) {
  int year = d->first >= LVL_YEAR ? d->at(LVL_YEAR) : 0;
  if (year < 0) year = 0;
  if (d->first == LVL_CENTURY && d->at(LVL_CENTURY) >= 1) return d->at(LVL_CENTURY) * 100 + year;
  return 2000 + year;
}

bool date_part_held(const std_date* d, int level) { return level <= d->first && level >= d->last; }

int date_part_or_zero(const std_date* d, int level) {
  if (!date_part_held(d, level)) return 0;
  return d->at(level) < 0 ? 0 : d->at(level);
}

int32_t cv_get_days(const std_date* d, int doy_form) {
  bool empty = true;
  for (int lvl = LVL_CENTURY; lvl >= LVL_DAY; --lvl) {
    if (!date_part_held(d, lvl)) continue;
    if (d->at(lvl) < 0) return -1;
    if (d->at(lvl) != 0) empty = false;
  }
  if (empty) return 0;
  const int y = date_full_year(d);
  const int month = date_part_or_zero(d, LVL_MONTH);
  int day = date_part_or_zero(d, LVL_DAY);
  if (day < 1) day = 1;
  const int32_t doy = date_days_before(y, month) + day;
  if (doy_form) {
    if (d->first == LVL_CENTURY) return d->at(LVL_CENTURY) * 100000 + d->at(LVL_YEAR) * 1000 + doy;
    if (d->first == LVL_YEAR) return d->at(LVL_YEAR) * 1000 + doy;
    return doy;
  }
  int32_t n = 146097 * (y / 400) + 36524 * ((y % 400) / 100) + 1461 * ((y % 100) / 4) + doy;
  if (y % 4 != 0) n += 366 + 365 * (y % 4 - 1);
  return n;
}

bool date_from_day_number(int32_t v, int* year, int* doy) {
  switch (v) {
    case 730115:
      *year = 1999;
      *doy = 365;
      return true;
    case 657432:
      *year = 1801;
      *doy = 1;
      return true;
    case 693956:
      *year = 1901;
      *doy = 1;
      return true;
    case 766640:
      *year = 2099;
      *doy = 365;
      return true;
    default: break;
  }
  if (v < 1) return false;
  const int64_t n = static_cast<int64_t>(v) + 369;
  const int64_t r = n % 146097, s = r % 36524;
  int64_t y = 400 * (n / 146097) + 100 * (r / 36524) + 4 * (s / 1461);
  int64_t t = s % 1461;
  if (t > 365) {
    y += (t - 366) / 365 + 1;
    t = (t - 366) % 365;
  }
  if (y >= 10000 || t + 1 > date_days_before(static_cast<int>(y), 13)) return false;
  *year = static_cast<int>(y);
  *doy = static_cast<int>(t + 1);
  return true;
}

bool date_set_doy(int year, int doy, int8_t* month, int8_t* day) {
  if (doy < 1 || doy > date_days_before(year, 13)) return false;
  int m = 1;
  while (m < 12 && doy > date_days_before(year, m + 1)) ++m;
  *month = static_cast<int8_t>(m);
  *day = static_cast<int8_t>(doy - date_days_before(year, m));
  return true;
}

int date_weekday(const std_date* d) {
  if (cv_get_days(d, 0) <= 0) return 0;
  int month = date_part_or_zero(d, LVL_MONTH);
  int day = date_part_or_zero(d, LVL_DAY);
  const int y = date_full_year(d);
  const int64_t z = days_from_civil(y, 1, 1) + date_days_before(y, month) + (day < 1 ? 1 : day) - 1;
  return static_cast<int>(((z + 3) % 7 + 7) % 7) + 1;  // 1970-01-01 was a Thursday
}

void date_pivot_reload(int current_year) {
  g_pivot.loaded = true;
  g_pivot.pivot = parse_pivot(getenv("KIVO_PIVOT_ITEMS"));
  if (g_pivot.pivot < 0) g_pivot.pivot = parse_pivot(getenv("KIVO_PIVOT_YEAR"));
  if (current_year > 0) {
    g_pivot.now = current_year;
  } else {
    // The engine's clock, so that a fake time moves the pivot's year too.
    ss_clock now;
    os_kivo_time(&now);
    int month, day;
    ss_civil_date(now.day, &g_pivot.now, &month, &day);
  }
}

int date_pivot_value() {
  load_pivot();
  return g_pivot.pivot;
}

int date_current_year() {
  load_pivot();
  return g_pivot.now;
}

int date_pivot_century(int pivot, int now, int year) {
  const int cc = now / 100, yy = now % 100;
  if (pivot > yy) return year < pivot ? cc : cc - 1;
  return year >= pivot ? cc : cc + 1;
}

int date_century_for(int year) {
  const int p = date_pivot_value();
  if (p < 0) return date_current_year() / 100;
  return date_pivot_century(p, g_pivot.now, year);
}

int cv_date_pivot(void*, std_date* d, std_date* second) {
  const int p = date_pivot_value();
  if (p < 0) return 0;
  const bool first_filled = pivot_one(d, p);
  pivot_one(second, p);
  return first_filled ? 1 : 0;
}

bool date_check_parts(const std_date* d) {
  auto given = [&](int lvl) { return date_part_held(d, lvl) && d->at(lvl) >= 0; };
  auto bad = [&](int lvl) { return date_part_held(d, lvl) && d->at(lvl) < kPartNotGiven; };
  for (int lvl = LVL_CENTURY; lvl >= LVL_HSEC; --lvl)
    if (bad(lvl)) return false;
  const int month = given(LVL_MONTH) ? d->at(LVL_MONTH) : 0;
  if (given(LVL_MONTH) && (month < 1 || month > 12)) return false;
  if (given(LVL_DAY)) {
    // Without a known year February may have 29 days.
    const bool year_known = d->first >= LVL_YEAR && given(LVL_YEAR) && (d->first == LVL_YEAR || given(LVL_CENTURY));
    const int dim =
        year_known ? date_days_in_month(date_full_year(d), month) : (month == 2 ? 29 : date_days_in_month(2000, month));
    if (d->at(LVL_DAY) < 1 || d->at(LVL_DAY) > dim) return false;
  }
  if (given(LVL_HOUR) && d->at(LVL_HOUR) > 23) return false;
  if (given(LVL_MINUTE) && d->at(LVL_MINUTE) > 59) return false;
  if (given(LVL_SECOND) && d->at(LVL_SECOND) > 59) return false;
  if (given(LVL_HSEC) && d->at(LVL_HSEC) > 99) return false;
  if (given(LVL_YEAR) && d->at(LVL_YEAR) > 99) return false;
  if (given(LVL_CENTURY) && d->at(LVL_CENTURY) > 99) return false;
  return true;
}

void date_clear_unheld(std_date* d) {
  for (int lvl = LVL_CENTURY; lvl >= LVL_HSEC; --lvl)
    if (!date_part_held(d, lvl)) d->at(lvl) = 0;
}

int date_doy_of(const std_date* d) {
  const int month = d->at(LVL_MONTH), day = d->at(LVL_DAY);
  if (month == kPartUnknown || day == kPartUnknown) return kPartUnknown;
  if (month < 0 || day < 0) return kPartNotGiven;
  return date_days_before(date_full_year(d), month) + day;
}

}  // namespace kivo
