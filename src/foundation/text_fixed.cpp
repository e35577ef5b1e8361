// Fixed-width text helpers: lengths, copies, centring, digits and codes.
#include "foundation/text.h"

#include <cctype>
#include <cstdio>

#include "foundation/com.h"
#include "foundation/sys_err.h"

namespace kivo {

size_t ut_buflen(const char* p, size_t n) {
  while (n > 0 && p[n - 1] == ' ') --n;
  return n;
}

void ut_cpy_fill(char* dst, const char* src, size_t n) {
  size_t len = strnlen(src, n);
  memmove(dst, src, len);
  memset(dst + len, ' ', n - len);
}

size_t ut_cpy_case(char mode, char* dst, size_t dst_len, const char* src, size_t src_len) {
  if (mode != 'U' && mode != 'L' && mode != 'C') {
    sys_err("UT", __LINE__, "cpy_case() - bad cnv type");
    return 0;
  }
  size_t n = dst_len < src_len ? dst_len : src_len;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(src[i]);
    bool keep = mode == 'U' || (mode == 'C' && i == 0);
    dst[i] = static_cast<char>(keep ? c : tolower(c));
  }
  return n;
}

void ut_center(char* dst, size_t dst_len, const char* src, size_t src_len) {
  size_t len = ut_buflen(src, src_len);
  if (len > dst_len) len = dst_len;  // a longer text would land before dst
  memmove(dst + (dst_len - len) / 2, src, len);
}

std::string ut_fit_middle(std::string_view text, size_t width) {
  constexpr size_t kNarrowest = 20;
  constexpr std::string_view gap = " ... ";
  if (text.size() <= width) return std::string(text);
  if (width < kNarrowest) return std::string(text.substr(0, width));
  const size_t room = width - gap.size();
  // The tail first, three fifths of the room, from the start of its first
  // word when that lies near; the head takes what is left, up to a blank
  // when one lies near.
  size_t tail = text.size() - (room - room * 2 / 5);
  if (text[tail - 1] != ' ') {
    const size_t b = text.rfind(' ', tail - 1);
    if (b != std::string_view::npos && b + 1 + (text.size() - tail) / 3 >= tail) tail = b + 1;
  }
  size_t head = room - (text.size() - tail);
  if (text[head] != ' ') {
    const size_t b = text.rfind(' ', head);
    if (b != std::string_view::npos && b >= head * 2 / 3) head = b;
  }
  while (head && text[head - 1] == ' ') --head;
  std::string out(text.substr(0, head));
  out += gap;
  out += text.substr(tail);
  return out;
}

void center(const char* text, size_t n) {
  size_t len = ut_buflen(text, n ? n : strlen(text));
  size_t pad = len < com.scr_cols ? (com.scr_cols - len) / 2 : 0;
  printf("%*s%.*s\n", static_cast<int>(pad), "", static_cast<int>(len), text);
}

bool ut_is_all(const void* p, int ch, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i] != static_cast<unsigned char>(ch)) return false;
  return true;
}

const char* ut_memchr(const char* p, int ch, size_t n) { return static_cast<const char*>(memchr(p, ch, n)); }

void ut_itoa(char* buf, int width, uint32_t value) {
  if (width > 10) return;
  for (int i = width - 1; i >= 0; --i, value /= 10) buf[i] = static_cast<char>('0' + value % 10);
}

int32_t ut_xlate_secr(const char* code) {
  if (ut_is_all(code, ' ', 4)) return -1;
  int32_t v = 0;
  for (int i = 0; i < 4; ++i)
    if (isdigit(static_cast<unsigned char>(code[i]))) v = v * 10 + (code[i] - '0');
  return v;
}

}  // namespace kivo
