// Numeric masks between the user's spelling (the separators, currency symbol
// and credit/debit words of `com`) and the stored spelling ('.', ',', '$',
// "cr", "dr"). The area is the 60-character mask and a u32 status word.
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "types/num_convert.h"

namespace kivo {

namespace {

constexpr int kStatusOff = kNumMaskLen;

int trimmed(const uint8_t* m) {
  int n = kNumMaskLen;
  while (n > 0 && m[n - 1] == ' ') --n;
  return n;
}

bool at(const uint8_t* m, int i, int n, const char* s, int len) {
  return len > 0 && i + len <= n && memcmp(m + i, s, static_cast<size_t>(len)) == 0;
}

void finish(uint8_t* area, const char* out, int n) {
  memset(area, ' ', kNumMaskLen);
  memcpy(area, out, static_cast<size_t>(n));
  st_le32(area, kStatusOff, 1);
}

}  // namespace

int cv_xlate_num_msk(void*, uint8_t* area) {
  const int n = trimmed(area);
  const int cur_len = com.currency_len > 3 ? 3 : com.currency_len;
  char out[kNumMaskLen];
  int k = 0;
  for (int i = 0; i < n && k < kNumMaskLen;) {
    const uint8_t ch = area[i];
    if (at(area, i, n, com.currency, cur_len)) {
      out[k++] = '$';
      i += cur_len;
    } else if (at(area, i, n, com.drcr + 2, 2) || at(area, i, n, com.drcr, 2)) {
      const bool credit = at(area, i, n, com.drcr + 2, 2);
      if (k + 2 > kNumMaskLen) break;
      out[k++] = credit ? 'c' : 'd';
      out[k++] = 'r';
      i += 2;
    } else {
      out[k++] = ch == com.dec_sep ? '.' : ch == com.thou_sep ? ',' : static_cast<char>(ch);
      ++i;
    }
  }
  finish(area, out, k);
  return 1;
}

int cv_unxlate_num_msk(void*, uint8_t* area) {
  const int n = trimmed(area);
  char out[kNumMaskLen];
  int k = 0;
  for (int i = 0; i < n && k < kNumMaskLen; ++i) {
    const char ch = static_cast<char>(area[i]);
    if ((ch == 'c' || ch == 'd') && i + 1 < n && area[i + 1] == 'r') {
      if (k + 2 > kNumMaskLen) break;
      memcpy(out + k, com.drcr + (ch == 'c' ? 2 : 0), 2);
      k += 2;
      ++i;
    } else if (ch == '$') {
      out[k++] = com.currency[0];
    } else {
      out[k++] = ch == '.' ? static_cast<char>(com.dec_sep) : ch == ',' ? static_cast<char>(com.thou_sep) : ch;
    }
  }
  finish(area, out, k);
  return 1;
}

}  // namespace kivo
