// Shared set-up of the date tests: a fresh common block, silent system
// errors, and a compiled mask in a std_date.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "../fixtures/hook_override.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"
#include "types/date_mask.h"
#include "types/std_date.h"

namespace kivo::date_test {

inline void quiet_sys_err(const char*, int, const char*) {}

class DateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, quiet_sys_err);
    unsetenv("KIVO_PIVOT_YEAR");
    unsetenv("KIVO_PIVOT_ITEMS");
    date_pivot_reload(2026);
  }
  kivo_test::hook_overrides hooks_;
};

struct compiled {
  char mask[kDateMaskLen];
  date_msk_blk blk;
  int ret;
  std::string text() const { return std::string(mask, blk.len); }
};

inline compiled compile(const char* src, int hi, int lo, uint8_t type, uint8_t ampm_ok = 1) {
  compiled c{};
  memset(c.mask, ' ', sizeof c.mask);
  memcpy(c.mask, src, strlen(src));
  c.blk.len = kDateMaskLen;
  c.blk.mask = c.mask;
  c.blk.first = static_cast<uint8_t>(hi);
  c.blk.last = static_cast<uint8_t>(lo);
  c.blk.type = type;
  c.blk.h24 = ampm_ok;
  c.ret = cv_cmpl_date_msk(&c.blk);
  return c;
}

// A std_date over `raw` using the compiled mask (which must outlive it).
inline std_date over(const compiled& m, uint8_t* raw, int raw_len, int display = 0, int entry = 0) {
  std_date d{};
  d.raw = raw;
  d.raw_len = static_cast<uint16_t>(raw_len);
  d.mask = m.mask;
  d.mask_len = m.blk.len;
  d.first = m.blk.first;
  d.last = m.blk.last;
  d.type = m.blk.type;
  d.doy = m.blk.doy;
  d.h24 = m.blk.h24;
  d.display = static_cast<uint8_t>(display);
  d.entry = static_cast<uint8_t>(entry);
  return d;
}

inline void set_parts(std_date* d, int c, int y, int mo, int dd, int h = 0, int mi = 0, int s = 0, int t = 0) {
  const int v[8] = {c, y, mo, dd, h, mi, s, t};
  for (int i = 0; i < 8; ++i) d->part[i] = static_cast<int8_t>(v[i]);
}

inline std::string parts_of(const std_date& d) {
  std::string s;
  for (int8_t p : d.part) s += std::to_string(p) + ",";
  return s;
}

// Reads display or stored text through a compiled mask.
inline int read_text(const compiled& m, const std::string& text, std_date* out, int display = 1, int entry = 1) {
  static uint8_t buf[128];
  memcpy(buf, text.data(), text.size());
  *out = over(m, buf, static_cast<int>(text.size()), display, entry);
  return cv_ntos_date(out);
}

}  // namespace kivo::date_test
