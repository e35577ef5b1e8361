// Numeric masks (cv_num_msk). Byte 0 flags (credit/debit, the layouts), the
// rest the mask. Properties: an accepted mask's counts agree with its parts,
// and showing values through it never writes outside the display.
#include <cstring>

#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"
#include "types/num_convert.h"

using namespace kivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    foundation_seams.err_presenter = fuzz::quiet_sys_err;
    memcpy(com.currency, "EUR", 3);
    com.currency_len = 3;
    return true;
  }();
  (void)init;
  if (size < 1) return 0;
  num_cnv c{};
  c.drcr = data[0] & 1;
  cv_200_behavior = (data[0] >> 1) & 1;
  cv_220_behavior = (data[0] >> 2) & 1;
  const size_t mlen = std::min<size_t>(size - 1, kNumMaskLen);
  memset(c.mask, ' ', sizeof c.mask);
  memcpy(c.mask, data + 1, mlen);
  c.mask_len = static_cast<uint8_t>(mlen);
  if (!cv_num_msk(&c)) return 0;

  FUZZ_CHECK(c.msk_tot == c.msk_int + c.msk_dec, "digits %d = %d + %d", c.msk_tot, c.msk_int, c.msk_dec);
  FUZZ_CHECK(c.msk_tot >= 1 && c.msk_tot <= kNumMaskLen, "digits %d", c.msk_tot);
  int total = 0;
  for (int part = NUM_PART_LEAD; part <= NUM_PART_TRAIL; ++part) {
    int start = 0, len = 0;
    FUZZ_CHECK(part_of(&c, part, &start, &len) == 1, "part %d", part);
    FUZZ_CHECK(start >= 0 && len >= 0 && start + len <= static_cast<int>(mlen), "part %d at %d+%d", part, start, len);
    total += len;
  }
  FUZZ_CHECK(total <= static_cast<int>(mlen), "parts cover %d of %zu", total, mlen);

  // A 16-byte packed value of a few shapes through the mask.
  static const uint8_t values[][16] = {
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C},
      {0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9D},
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0x5D},
  };
  char text[kNumMaskLen * 4 + 8];
  for (const auto& v : values) {
    uint8_t stored[16];
    memcpy(stored, v, 16);
    c.kind = NUM_PD_FIX;
    c.int_len = 16;
    c.elem_hi = 28;
    c.elem_lo = 3;
    c.int_addr = stored;
    c.ext_addr = text;
    c.ext_len = static_cast<uint16_t>(mlen);
    memset(text, 0x5A, sizeof text);
    num_itoe(&c);
    for (size_t i = mlen; i < sizeof text; ++i) FUZZ_CHECK(text[i] == 0x5A, "wrote past the display");
    FUZZ_CHECK(memcmp(stored, v, 16) == 0, "showing changed the value");
  }
  return 0;
}
