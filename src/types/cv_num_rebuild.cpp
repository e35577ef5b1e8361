// A numeric mask rebuilt for other digit counts: an item that shows more
// integer digits than its element's mask, or an item mask sized by the
// element's digits.
//
// The text before the digits and after them stays; the integer positions
// grow at the front (with the mask's first digit character, '9' for a mask
// that starts at its point) or lose their leading ones, regrouped by three
// when the mask groups; the decimals are cut or continued with the mask's
// last decimal character. The result is at most 60 characters.
#include <cstring>
#include <string>

#include "types/cnv.h"

namespace kivo {

namespace {

bool digit_char(char c) { return c == '9' || c == '8' || c == '*' || c == '0'; }

struct mask_parts {
  int start = -1;    // first digit position
  std::string ints;  // integer digit characters, commas removed
  bool grouped = false;
  bool point = false;
  std::string decs;
  int end = 0;  // first position after the digits
};

mask_parts split_mask(const char* m, int len) {
  mask_parts p;
  for (int i = 0; i < len && p.start < 0; ++i)
    if (digit_char(m[i]) || (m[i] == '.' && i + 1 < len && digit_char(m[i + 1]))) p.start = i;
  if (p.start < 0) return p;
  int i = p.start;
  for (; i < len && (digit_char(m[i]) || m[i] == ','); ++i) {
    if (m[i] == ',') p.grouped = true;
    else p.ints += m[i];
  }
  if (i < len && m[i] == '.') {
    p.point = true;
    for (++i; i < len && digit_char(m[i]); ++i) p.decs += m[i];
  }
  p.end = i;
  return p;
}

std::string integer_part(const mask_parts& p, int want) {
  std::string d = p.ints;
  const int have = static_cast<int>(d.size());
  if (want > have) d.insert(0, static_cast<size_t>(want - have), have ? d[0] : '9');
  else d.erase(0, static_cast<size_t>(have - want));
  if (!p.grouped) return d;
  std::string g;
  for (size_t k = 0; k < d.size(); ++k) {
    if (k && (d.size() - k) % 3 == 0) g += ',';
    g += d[k];
  }
  return g;
}

}  // namespace

int cv_rebuild_num_msk(const char* mask, int len, int int_digits, int decimals, char* out) {
  const mask_parts p = split_mask(mask, len);
  if (p.start < 0) return 0;
  std::string r(mask, static_cast<size_t>(p.start));
  r += integer_part(p, int_digits);
  if (p.point || decimals > 0) r += '.';
  for (int k = 0; k < decimals; ++k)
    r += k < static_cast<int>(p.decs.size()) ? p.decs[k] : (p.decs.empty() ? '9' : p.decs.back());
  r.append(mask + p.end, static_cast<size_t>(len - p.end));
  const int n = static_cast<int>(std::min<size_t>(r.size(), kCvMaskLen));
  memcpy(out, r.data(), static_cast<size_t>(n));
  return n;
}

}  // namespace kivo
