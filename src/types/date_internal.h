// Helpers shared by the date forms; not for use outside the date modules.
#pragma once

#include <cstdint>

#include "types/std_date.h"

namespace kivo {

// The full year the day numbering uses: century x 100 + year for an element
// starting at the century (century at least 1), else 2000 + year.
int date_full_year(const std_date* d);
bool date_part_held(const std_date* d, int level);
// The part when held and given, else 0.
int date_part_or_zero(const std_date* d, int level);

// Inverse of the day numbering (the stored day number plus 370); false when
// the value names no date.
bool date_from_day_number(int32_t v, int* year, int* doy);
// Month and day of a day of year; false when the year has no such day.
bool date_set_doy(int year, int doy, int8_t* month, int8_t* day);
// Century for a two-digit year: the pivot, else the current century.
int date_century_for(int year);

inline void date_set_all(std_date* d, int8_t v) {
  for (auto& p : d->part) p = v;
}

// Every held part equals `v`.
inline bool date_all_held(const std_date* d, int8_t v) {
  for (int lvl = d->first; lvl >= d->last && lvl >= 1; --lvl)
    if (d->at(lvl) != v) return false;
  return d->first != 0;
}

// Range checks of the held parts that are given; the hour is 0..23.
bool date_check_parts(const std_date* d);

// Parts outside the held levels become 0.
void date_clear_unheld(std_date* d);

// Day of year from month and day (year by date_full_year); -1 when either is
// not given, -65 when unknown.
int date_doy_of(const std_date* d);

// The form converters behind cv_ntos_date / cv_ston_date.
int ntos_alp_date(std_date* d);
int ston_alp_date(std_date* d);
int ntos_bin_date(std_date* d);
int ston_bin_date(std_date* d);
int ntos_pd_date(std_date* d);
int ston_pd_date(std_date* d);
int ntos_uni_date(std_date* d);
int ston_uni_date(std_date* d);

}  // namespace kivo
