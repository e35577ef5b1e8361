// Packed-decimal digit text (pd_cva). Byte 0 is the field length (0-17, so
// that refused lengths come too), byte 1 the caller's decimal separator,
// byte 2 the configured one; the rest is the text. Properties: an accepted
// value has digit halves 0-9, a sign half of the configured two and no
// negative zero; formatted back as plain digit text with its decimals, it
// parses again to the same bytes, decimals and sign.
#include <cstring>
#include <string>

#include "foundation/com.h"
#include "fuzz_util.h"
#include "types/pd.h"

using namespace kivo;

namespace {

// Plain text of a packed value: "-" when negative, the digits with a point
// before the last `decimals` of them (zeros in front when there are fewer),
// and no zero before the point when there are decimals.
std::string format(const uint8_t* p, int len, int decimals, bool neg) {
  std::string digits;
  for (int i = 0; i < 2 * len - 1; ++i) {
    const uint8_t b = p[i / 2];
    digits += static_cast<char>('0' + (i % 2 == 0 ? b >> 4 : b & 0x0F));
  }
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  if (static_cast<int>(digits.size()) < decimals) digits.insert(0, static_cast<size_t>(decimals) - digits.size(), '0');
  if (decimals > 0) {
    digits.insert(digits.size() - static_cast<size_t>(decimals), ".");
  } else if (digits.empty()) {
    digits = "0";
  }
  return (neg ? "-" : "") + digits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    return true;
  }();
  (void)init;
  if (size < 3) return 0;
  const int len = data[0] % 18;
  const char sep = static_cast<char>(data[1]);
  com.dec_sep = data[2];
  const char* text = reinterpret_cast<const char*>(data + 3);
  const int text_len = static_cast<int>(size - 3);

  uint8_t buf[kPdMaxLen + 8];
  memset(buf, 0xEE, sizeof buf);
  pd_field f{buf, len, -7, 2};
  const int ok = pd_cva(text, text_len, sep, &f);
  for (size_t i = static_cast<size_t>(len); i < sizeof buf; ++i) FUZZ_CHECK(buf[i] == 0xEE, "wrote past the field");
  if (!ok) return 0;

  FUZZ_CHECK(len >= 1 && len <= kPdMaxLen, "accepted length %d", len);
  FUZZ_CHECK(f.decimals >= 0 && f.decimals <= 2 * len - 1, "decimals %d", f.decimals);
  for (int i = 0; i < 2 * len - 1; ++i) {
    const uint8_t half = i % 2 == 0 ? buf[i / 2] >> 4 : buf[i / 2] & 0x0F;
    FUZZ_CHECK(half <= 9, "digit half %X", half);
  }
  const uint8_t sign = buf[len - 1] & 0x0F;
  FUZZ_CHECK(sign == (f.negative ? pd_neg_sign() : pd_pos_sign()), "sign half %X, negative %d", sign, f.negative);
  bool zero = true;
  for (int i = 0; i < 2 * len - 1; ++i) zero &= (i % 2 == 0 ? buf[i / 2] >> 4 : buf[i / 2] & 0x0F) == 0;
  FUZZ_CHECK(!(zero && f.negative), "negative zero");

  const std::string back = format(buf, len, f.decimals, f.negative);
  uint8_t again[kPdMaxLen];
  pd_field g{again, len, -7, 2};
  FUZZ_CHECK(pd_cva(back.data(), static_cast<int>(back.size()), '.', &g) == 1, "\"%s\" refused", back.c_str());
  FUZZ_CHECK(memcmp(buf, again, static_cast<size_t>(len)) == 0, "\"%s\" parses to other bytes", back.c_str());
  FUZZ_CHECK(g.decimals == f.decimals && g.negative == f.negative, "\"%s\": decimals %d/%d, negative %d/%d",
             back.c_str(), g.decimals, f.decimals, g.negative, f.negative);
  FUZZ_CHECK(pd_cmp(buf, len, again, len) == 0, "\"%s\" compares unequal", back.c_str());
  return 0;
}
