// Hex dumps: a header and a line per 16 bytes.
#include "foundation/hex_dump.h"

namespace kivo {

namespace {

constexpr size_t kBytesPerLine = 16;

void dump_line(FILE* out, const unsigned char* p, size_t offset, size_t n) {
  fprintf(out, "%6zX   ", offset);
  for (size_t i = 0; i < kBytesPerLine; ++i) {
    if (i < n) fprintf(out, "%02x ", p[i]);
    else fputs("   ", out);
  }
  for (size_t i = 0; i < kBytesPerLine; ++i) fputc(i >= n ? ' ' : (p[i] >= 32 && p[i] <= 126 ? p[i] : '.'), out);
  fputc('\n', out);
}

}  // namespace

void ut_hex_dump(FILE* stream, const void* buf, size_t n) {
  FILE* out = stream ? stream : stdout;
  fputs("          0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F\n", out);
  const unsigned char* p = static_cast<const unsigned char*>(buf);
  for (size_t off = 0; off < n; off += kBytesPerLine) {
    size_t left = n - off;
    dump_line(out, p + off, off, left < kBytesPerLine ? left : kBytesPerLine);
  }
}

}  // namespace kivo
