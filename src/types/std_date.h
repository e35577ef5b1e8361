// The standard date: the one intermediate record through which every date
// and time value passes, whatever its stored form, and the conversions of the
// stored forms (text, binary, packed, universal) to and from it.
//
// Levels run from 8 (century) down to 1 (hundredths); an element holds the
// contiguous levels `first` .. `last`. A part is -1 when not given, -65 when
// unknown (shown as '?'); an undefined date has all eight parts at -1 and an
// empty date all eight at 0.
#pragma once

#include <cstdint>

namespace kivo {

enum : int {
  LVL_CENTURY = 8,
  LVL_YEAR = 7,
  LVL_MONTH = 6,
  LVL_DAY = 5,
  LVL_HOUR = 4,
  LVL_MINUTE = 3,
  LVL_SECOND = 2,
  LVL_HSEC = 1,
};

constexpr int8_t kPartNotGiven = -1;
constexpr int8_t kPartUnknown = -65;

// Data-type codes of the date forms. A mask is compiled for one of the *_ANY
// storage types, or a refined one; compiling refines it by whether the mask
// holds a day of year.
enum : uint8_t {
  DT_TEXT_ANY = 1,
  DT_TEXT_DOY = 3,
  DT_TEXT = 4,
  DT_BIN_ANY = 5,
  DT_BIN_DOY = 6,
  DT_BIN = 7,
  DT_PD_ANY = 8,
  DT_PD_DOY = 9,
  DT_PD = 10,
  DT_UNIVERSAL = 15,
};

constexpr int kUniversalLen = 16;
constexpr uint32_t CV_BAD_DATE = 102540;  // date text or stored date invalid

struct std_date {
  uint16_t raw_len;   // length of the stored value or display text
  uint8_t* raw;       // the stored value, or the display text when `display`
  uint32_t mask_len;  // compiled mask for text and packed forms
  const char* mask;
  int8_t part[8];   // century, year, month, day, hour, minute, second, hundredths
  uint8_t first;    // highest level held
  uint8_t last;     // lowest level held
  uint8_t type;     // DT_* storage type
  uint8_t doy;      // the mask holds a day of year
  uint8_t h24;      // 0: hours are shown 1-12 with an am/pm marker
  uint8_t entry;    // entry field: digits keep their width, placeholders shown
  uint8_t display;  // 1: raw is display text; 0: raw is the stored value

  int8_t& at(int level) { return part[8 - level]; }
  int8_t at(int level) const { return part[8 - level]; }
};

// Stored or display form to parts. 1 = valid, 0 = invalid. A universal value
// also sets `first`/`last` from the levels it holds.
int cv_ntos_date(std_date* d);

// Parts to stored or display form. 1 = written, 0 = the parts cannot be
// stored in this form (the raw value is then unspecified).
int cv_ston_date(std_date* d);

// Day number of the date (day-of-year form when `doy_form`); 0 for an empty
// date, -1 when the date is undefined (its first part not given).
int32_t cv_get_days(const std_date* d, int doy_form);

// Weekday entry of the name tables, 1 = Monday .. 7 = Sunday, from a true
// calendar; 0 when the date has no weekday (empty, undefined, unknown).
int date_weekday(const std_date* d);

// Fills the century of a date that starts at the year from the pivot year.
// With a second date both are pivoted; the result says whether the first
// got a century. 0 when no pivot is configured.
int cv_date_pivot(void* context, std_date* d, std_date* second);

// The pivot (0..99), or -1 when none is configured. KIVO_PIVOT_ITEMS, else
// KIVO_PIVOT_YEAR: one to four decimal digits, taken mod 100; any other
// value is ignored. Read once with the current year.
int date_pivot_value();

// The current year (full, e.g. 2026) as read with the pivot.
int date_current_year();

// Reads the pivot variables again; `current_year` 0 takes the clock.
void date_pivot_reload(int current_year);

// Century for a two-digit year under pivot `pivot` in year `now`.
int date_pivot_century(int pivot, int now, int year);

// Calendar helpers shared by the forms.
bool date_is_leap(int year);
int date_days_in_month(int year, int month);
// Days before `month` (1..12; 13 gives the year's length).
int date_days_before(int year, int month);

}  // namespace kivo
