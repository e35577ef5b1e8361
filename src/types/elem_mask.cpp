// The data types and stored sizes of elements: number and date masks read
// into digits and levels, the sizes of binary, packed and date forms, and
// text to binary. The dictionary compiler and the design builder both size
// their elements here, so one field gets one size whoever builds it.
#include <cstring>

#include "types/element.h"

namespace kivo {

num_mask_scan elem_scan_num_mask(const char* mask, size_t len) {
  num_mask_scan r{};
  while (len && (mask[len - 1] == ' ' || mask[len - 1] == '\0')) --len;
  r.empty = len == 0;
  bool after_point = false;
  for (size_t i = 0; i < len; ++i) {
    const char c = mask[i];
    if (strchr("()-<>", c)) r.sign = true;
    else if (c == '.') after_point = true;
    else if (strchr("*089", c)) ++(after_point ? r.decimals : r.digits);
  }
  return r;
}

date_mask_scan elem_scan_date_mask(const char* mask, size_t len) {
  date_mask_scan r{0, 9, false, 0};
  while (len && (mask[len - 1] == ' ' || mask[len - 1] == '\0')) --len;  // the slot's padding
  auto level = [&](int n, uint16_t width) {
    r.hi = static_cast<uint8_t>(n > r.hi ? n : r.hi);
    r.lo = static_cast<uint8_t>(n < r.lo ? n : r.lo);
    r.positions = static_cast<uint16_t>(r.positions + width);
  };
  auto lvl = [](char c) { return c >= '1' && c <= '8' ? c - '0' : 0; };
  for (size_t i = 0; i < len;) {
    const char c = mask[i];
    if (c == '"') {
      // Quoted text takes no position; an unclosed quote ends the mask.
      for (++i; i < len && mask[i] != '"'; ++i)
        if (mask[i] == '\\') ++i;
      ++i;
    } else if (c == '\\') {
      ++r.positions;
      i += 2;
    } else if (i + 2 < len && memcmp(mask + i, "005", 3) == 0) {
      r.doy = true;
      level(5, 3);
      i += 3;
    } else if (i + 1 < len && (c == '0' || lvl(c)) && lvl(mask[i + 1]) && (c == '0' || c == mask[i + 1])) {
      level(lvl(mask[i + 1]), 2);
      i += 2;
    } else {
      ++r.positions;
      ++i;
    }
  }
  return r;
}

uint8_t elem_date_type(uint8_t sub_kind, bool doy) {
  switch (sub_kind) {
    case 1: return doy ? 6 : 7;
    case 2: return doy ? 9 : 10;
    case 3: return doy ? 3 : 4;
    default: return 0;
  }
}

uint16_t elem_date_size(uint8_t type, uint8_t hi, uint8_t lo, uint16_t positions) {
  if (hi < 1 || hi > 8 || lo < 1 || lo > hi) return 0;
  switch (type) {
    case 6:
    case 7: return lo < 5 && hi >= 5 ? 8 : 4;
    case 9: return static_cast<uint16_t>(10 - lo);
    case 10: return static_cast<uint16_t>(hi - lo + 2);
    case 3:
    case 4: return positions;
    case 15: return 16;
    default: return 0;
  }
}

uint16_t elem_pd_size(int digits, int decimals) { return static_cast<uint16_t>((digits + decimals + 2) / 2); }

void elem_digit_range(int d, bool is_signed, int64_t* lo, int64_t* hi) {
  if (d > 9) {
    *lo = is_signed ? INT32_MIN : 0;
    *hi = is_signed ? INT32_MAX : UINT32_MAX;
    return;
  }
  int64_t top = 1;
  for (int i = 0; i < d; ++i) top *= 10;
  *hi = top - 1;
  *lo = is_signed ? -*hi : 0;
}

uint16_t elem_bin_size(int64_t lo, int64_t hi, bool is_signed) {
  if (is_signed) return lo >= -128 && hi <= 127 ? 1 : lo >= -32768 && hi <= 32767 ? 2 : 4;
  return hi <= 255 ? 1 : hi <= 65535 ? 2 : 4;
}

uint32_t elem_align_class(uint8_t type, uint16_t size, uint8_t lo) {
  if (type == 12 || (type == 9 && lo <= 4) || ((type == 6 || type == 7) && size == 8)) return 2;
  return 1;
}

int bin_etoi(const char* text, int64_t* value, uint8_t* out, int decimals, size_t len, int width, bool is_signed,
             uint32_t* status) {
  size_t i = 0;
  while (i < len && text[i] == ' ') ++i;
  while (len > i && (text[len - 1] == ' ' || text[len - 1] == '\0')) --len;
  int64_t v = 0;
  bool neg = false, point = false;
  int dec = 0;
  for (; i < len; ++i) {
    const char c = text[i];
    if (c == '-') neg = true;
    else if (c == '.' && !point) point = true;
    else if (c >= '0' && c <= '9') {
      // Past 32 bits the value would wrap into a wrong bound.
      v = v * 10 + (c - '0');
      if (v > UINT32_MAX) return *status = DD_BIN_BAD, 0;
      if (point) ++dec;
    } else {
      return *status = DD_BIN_BAD, 0;
    }
  }
  if (dec > decimals) return *status = DD_BIN_DECIMALS, 0;
  for (; dec < decimals; ++dec)
    if ((v *= 10) > UINT32_MAX) return *status = DD_BIN_BAD, 0;
  if (neg) v = -v;
  if (neg && v && !is_signed) return *status = DD_BIN_UNSIGNED, 0;
  const int w = width == 1 || width == 2 ? width : 4;
  const int64_t top = is_signed ? (int64_t{1} << (8 * w - 1)) - 1 : (int64_t{1} << (8 * w)) - 1;
  const int64_t bottom = is_signed ? -top - 1 : 0;
  if (v > top || v < bottom) return *status = DD_BIN_BAD, 0;
  if (out)
    for (int b = 0; b < w; ++b) out[b] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * b));
  *value = v;
  *status = 0;
  return 1;
}

}  // namespace kivo
