// Typed numbers (num_etoi over random masks and element shapes, and
// get_number over the same text). Byte 0 the
// kind, 1 the stored length, 2 and 3 the element's digits and decimals, 4
// flags (signed, credit/debit, text-held, 220 layout), 5 the mask length,
// then the mask and the text. Properties: nothing is written outside the
// stored length or the display; a refused entry leaves the stored bytes as
// they were; an accepted one shows again without a fault; get_number keeps
// within 31 digits and writes valid packed values.
#include <cstring>

#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"
#include "types/num_convert.h"
#include "types/pd.h"
#include "types/typed_value.h"

using namespace kivo;

namespace {
constexpr int kGuard = 32;
constexpr uint8_t kFill = 0xA5;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    foundation_seams.err_presenter = fuzz::quiet_sys_err;
    return true;
  }();
  (void)init;
  if (size < 6) return 0;
  num_cnv c{};
  c.kind = static_cast<uint8_t>(1 + data[0] % 8);
  c.int_len = static_cast<uint16_t>(data[1] % 40);
  c.elem_hi = data[2] % 40;
  c.elem_lo = data[3] % 40;
  c.elem_signed = data[4] & 1;
  c.drcr = (data[4] >> 1) & 1;
  c.text_held = (data[4] >> 2) & 1;
  cv_220_behavior = (data[4] >> 3) & 1;
  const size_t mlen = std::min<size_t>(data[5] % 61, size - 6);
  memset(c.mask, ' ', sizeof c.mask);
  memcpy(c.mask, data + 6, mlen);
  c.mask_len = static_cast<uint8_t>(mlen);
  if (!cv_num_msk(&c)) return 0;

  uint8_t stored[64 + kGuard];
  memset(stored, kFill, sizeof stored);
  char text[256 + kGuard];
  const size_t tlen = std::min<size_t>(size - 6 - mlen, 256);
  memcpy(text, data + 6 + mlen, tlen);
  memset(text + tlen, kFill, sizeof text - tlen);
  c.int_addr = stored;
  c.ext_addr = text;
  c.ext_len = static_cast<uint16_t>(tlen);

  typed_number t;
  if (get_number(text, static_cast<int>(tlen), c.elem_hi, c.elem_lo, c.elem_signed, 0, &t)) {
    FUZZ_CHECK(t.int_digits + t.dec_digits <= 31, "%d + %d digits", t.int_digits, t.dec_digits);
    uint8_t copy[16];
    FUZZ_CHECK(pd_set(copy, 16, t.typed, 16) == 1, "typed value is not packed decimal");
    FUZZ_CHECK(pd_set(copy, 16, t.value, 16) == 1, "value is not packed decimal");
  }

  const int ok = num_etoi(&c);
  for (size_t i = c.int_len; i < sizeof stored; ++i) FUZZ_CHECK(stored[i] == kFill, "wrote past the stored length");
  if (!ok) {
    for (size_t i = 0; i < c.int_len; ++i) FUZZ_CHECK(stored[i] == kFill, "refused entry changed the value");
    FUZZ_CHECK(c.cnv_status != 1, "failure with status 1");
    return 0;
  }
  num_itoe(&c);
  for (size_t i = tlen; i < sizeof text; ++i)
    FUZZ_CHECK(static_cast<uint8_t>(text[i]) == kFill, "wrote past the display");
  return 0;
}
