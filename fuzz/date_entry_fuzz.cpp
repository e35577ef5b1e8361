// Date entry text through the date conversions, over a few stored and
// display masks. Byte 0 picks the masks (its high bit: the rest is a stored
// value to show instead), byte 1 bit 0 marks an entry field; the rest is
// the display text, blank-padded or cut to the display width. Properties:
// a refused entry leaves the stored value as it was; an accepted one shows
// back, and in an entry field the text shown is accepted again with the
// same stored bytes.
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"
#include "types/date_convert.h"
#include "types/date_mask.h"
#include "types/std_date.h"

using namespace kivo;

namespace {

struct mask_pair {
  const char* stor;
  const char* dspl;
  int hi, lo;
  uint8_t type;
};

const mask_pair kPairs[] = {
    {"06/05/8877", "06/05/8877", 8, 5, 4},    {"0807060504030201", "06/05/8877 44:33", 8, 3, 5},
    {"0807060504", "06/05/8877 44", 8, 4, 8}, {"0807060504030201", "8877-06-05 44:03:02", 8, 2, 15},
    {"8877005", "8877/005", 8, 5, 5},         {"06/05/8877", "06/05/77", 8, 5, 5},
    {"0403", "44:03 ~AL", 4, 3, 8},           {"06/05/8877", "~dC ~MC 55~SL, 8877", 8, 5, 4},
    {"8877005", "8877555", 8, 5, 8},
};
constexpr size_t kPairCount = sizeof kPairs / sizeof kPairs[0];

struct compiled {
  char mask[kDateMaskLen];
  date_msk_blk blk{};
  int ret = 0;
};

compiled compile(const char* src, int hi, int lo, uint8_t type) {
  compiled c;
  memset(c.mask, ' ', sizeof c.mask);
  memcpy(c.mask, src, strlen(src));
  c.blk.len = kDateMaskLen;
  c.blk.mask = c.mask;
  c.blk.first = static_cast<uint8_t>(hi);
  c.blk.last = static_cast<uint8_t>(lo);
  c.blk.type = type;
  c.blk.h24 = 1;
  c.ret = cv_cmpl_date_msk(&c.blk);
  return c;
}

struct item {
  compiled stor, dspl;
};

item* items() {
  static item* all = [] {
    auto* v = new item[kPairCount];
    for (size_t i = 0; i < kPairCount; ++i) {
      const mask_pair& p = kPairs[i];
      v[i].stor = compile(p.stor, p.hi, p.lo, p.type);
      v[i].dspl = compile(p.dspl, p.hi, p.lo, 1);
      FUZZ_CHECK(v[i].stor.ret > 0 && v[i].dspl.ret > 0, "masks %zu do not compile", i);
    }
    return v;
  }();
  return all;
}

date_cnv make_cnv(const item& it, size_t pair, uint8_t* value, char* text, int entry) {
  date_cnv c{};
  c.int_addr = value;
  c.int_len = static_cast<uint16_t>(it.stor.ret);
  c.type = it.stor.blk.type;
  c.ext_addr = text;
  c.ext_len = static_cast<uint16_t>(it.dspl.ret);
  c.stor_mask = it.stor.mask;
  c.stor_mask_len = static_cast<uint8_t>(it.stor.blk.len);
  c.stor_doy = it.stor.blk.doy;
  c.stor_h24 = it.stor.blk.h24;
  c.dspl_mask = it.dspl.mask;
  c.dspl_mask_len = static_cast<uint8_t>(it.dspl.blk.len);
  c.dspl_doy = it.dspl.blk.doy;
  c.dspl_h24 = it.dspl.blk.h24;
  c.elem_hi = static_cast<uint8_t>(kPairs[pair].hi);
  c.elem_lo = static_cast<uint8_t>(kPairs[pair].lo);
  c.entry = static_cast<uint8_t>(entry);
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    foundation_seams.err_presenter = fuzz::quiet_sys_err;
    unsetenv("KIVO_PIVOT_ITEMS");
    setenv("KIVO_PIVOT_YEAR", "50", 1);
    date_pivot_reload(2026);
    items();
    return true;
  }();
  (void)init;
  if (size < 2) return 0;
  const size_t pair = (data[0] & 0x7F) % kPairCount;
  const bool show_stored = data[0] & 0x80;
  const int entry = data[1] & 1;
  const item& it = items()[pair];
  const size_t width = static_cast<size_t>(it.dspl.ret);
  const size_t stored_len = static_cast<size_t>(it.stor.ret);

  uint8_t value[64], first[64];
  char text[128];
  memset(value, 0xAB, sizeof value);
  memset(text, ' ', sizeof text);
  date_cnv c = make_cnv(it, pair, value, text, entry);

  if (show_stored) {
    memcpy(value, data + 2, std::min(size - 2, stored_len));
    const uint32_t r = dat_itoe(&c);
    FUZZ_CHECK(r == 1 || r == CV_BAD_DATE, "dat_itoe gave %u", r);
    for (size_t i = width; i < sizeof text; ++i) FUZZ_CHECK(text[i] == ' ', "text written past its width");
    return 0;
  }

  memcpy(text, data + 2, std::min(size - 2, width));
  const uint32_t r = dat_etoi(&c);
  if (r != 1) {
    FUZZ_CHECK(r == CV_BAD_DATE, "dat_etoi gave %u", r);
    for (uint8_t b : value) FUZZ_CHECK(b == 0xAB, "refused entry changed the stored value");
    return 0;
  }
  for (size_t i = stored_len; i < sizeof value; ++i) FUZZ_CHECK(value[i] == 0xAB, "stored past its length");
  memcpy(first, value, sizeof value);
  const std::string entered(text, width);

  memset(text, '#', sizeof text);
  FUZZ_CHECK(dat_itoe(&c) == 1, "the stored value of \"%s\" cannot be shown", entered.c_str());
  for (size_t i = width; i < sizeof text; ++i) FUZZ_CHECK(text[i] == '#', "text written past its width");
  const std::string shown(text, width);
  // Only an entry field shows digits in their full width, the form entry
  // reads; the display of any other field is for the eye alone.
  if (!entry) return 0;

  memset(value, 0xAB, sizeof value);
  FUZZ_CHECK(dat_etoi(&c) == 1, "\"%s\" was entered, but \"%s\" shown for it is refused", entered.c_str(),
             shown.c_str());
  FUZZ_CHECK(memcmp(first, value, sizeof value) == 0, "\"%s\" and its shown form \"%s\" store different bytes",
             entered.c_str(), shown.c_str());
  return 0;
}
