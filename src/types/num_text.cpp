// Numbers held as digit text, converted in place to and from their number
// kind. A text that does not read, or a number that no mask can show, is a
// failure with the area as it was: nothing is replaced by zero.
#include <algorithm>
#include <cstring>
#include <string>

#include "foundation/com.h"
#include "types/num_internal.h"

namespace kivo {

namespace {

constexpr int kMaxText = 256;
constexpr int kWorkDigits = 31;

num_cnv plain_cnv(int kind, int int_len, int decimals, const std::string& mask) {
  num_cnv c{};
  c.kind = static_cast<uint8_t>(kind);
  c.int_len = static_cast<uint16_t>(int_len);
  c.elem_lo = static_cast<uint8_t>(decimals);
  c.elem_hi = static_cast<uint8_t>(kWorkDigits - decimals);
  c.elem_signed = 1;
  c.mask_len = static_cast<uint8_t>(mask.size());
  memset(c.mask, ' ', sizeof c.mask);
  memcpy(c.mask, mask.data(), mask.size());
  return c;
}

// Blanks the zeros closing the decimals, and the separator when none stay.
void trim_decimals(char* t, int n) {
  const char* sep = static_cast<const char*>(memchr(t, com.dec_sep, static_cast<size_t>(n)));
  if (!sep) return;
  int end = n;
  while (end > 0 && t[end - 1] == ' ') --end;
  const int at = static_cast<int>(sep - t);
  while (end > at + 1 && t[end - 1] == '0') t[--end] = ' ';
  if (end == at + 1) t[at] = ' ';
}

}  // namespace

int dyn_aton(uint8_t* area, int len, int kind, int decimals) {
  const int width = numi::stored_width(kind, len);
  if (width == 0 || len > kMaxText || decimals < 0 || decimals > kWorkDigits) return 0;
  // Built by appends: GCC 12 warns falsely (-Wrestrict) on a literal + string at -O3.
  std::string mask = "-";
  mask.append(size_t(kWorkDigits - decimals), '9').append(1, '.').append(size_t(std::max(15, decimals)), '9');
  num_cnv c = plain_cnv(kind, width, decimals, mask);
  if (!cv_num_msk(&c)) return 0;
  char text[kMaxText];
  memcpy(text, area, static_cast<size_t>(len));
  uint8_t value[kPdMaxLen + 1];
  c.int_addr = value;
  c.ext_addr = text;
  c.ext_len = static_cast<uint16_t>(len);
  if (!num_etoi(&c)) return 0;
  memcpy(area, value, static_cast<size_t>(width));
  return 1;
}

int dyn_ntoa(uint8_t* area, int len, int text_len, int kind, int decimals) {
  const int width = numi::stored_width(kind, len);
  if (width == 0 || text_len < 1 || text_len > kMaxText || decimals < 0 || decimals > kWorkDigits) return 0;
  static const char* const kMasks[] = {"999999999999999.999999999999999", "-999999999999999", "999999999999999"};
  uint8_t value[kPdMaxLen + 1];
  memcpy(value, area, static_cast<size_t>(width));
  char text[kMaxText];
  for (const char* m : kMasks) {
    num_cnv c = plain_cnv(kind, width, decimals, m);
    if (!cv_num_msk(&c)) return 0;
    c.int_addr = value;
    c.ext_addr = text;
    c.ext_len = static_cast<uint16_t>(text_len);
    if (!num_itoe(&c)) continue;
    trim_decimals(text, text_len);
    memcpy(area, text, static_cast<size_t>(text_len));
    return 1;
  }
  return 0;
}

}  // namespace kivo
