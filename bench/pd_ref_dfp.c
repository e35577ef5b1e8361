/* Reference operations in GCC's decimal floating point (_Decimal64 holds 16
 * digits, _Decimal128 34), callable from the C++ benchmark. Each works on
 * values in memory so that the call shape matches the packed operations. */
#include <stdint.h>
#include <stdlib.h>

typedef _Decimal64 d64;
typedef _Decimal128 d128;

void dfp64_from_int(void* out, int64_t v) { *(d64*)out = (d64)v; }
void dfp128_from_parts(void* out, int64_t hi, int64_t lo) {
  /* hi x 10^16 + lo, exact in 34 digits */
  *(d128*)out = (d128)hi * 10000000000000000.DL + (d128)lo;
}

void dfp64_add(void* r, const void* a, const void* b) { *(d64*)r = *(const d64*)a + *(const d64*)b; }
void dfp64_sub(void* r, const void* a, const void* b) { *(d64*)r = *(const d64*)a - *(const d64*)b; }
void dfp64_mul(void* r, const void* a, const void* b) { *(d64*)r = *(const d64*)a * *(const d64*)b; }
void dfp64_div(void* r, const void* a, const void* b) { *(d64*)r = *(const d64*)a / *(const d64*)b; }
int dfp64_cmp(const void* a, const void* b) {
  d64 x = *(const d64*)a, y = *(const d64*)b;
  return (x > y) - (x < y);
}

void dfp128_add(void* r, const void* a, const void* b) { *(d128*)r = *(const d128*)a + *(const d128*)b; }
void dfp128_sub(void* r, const void* a, const void* b) { *(d128*)r = *(const d128*)a - *(const d128*)b; }
void dfp128_mul(void* r, const void* a, const void* b) { *(d128*)r = *(const d128*)a * *(const d128*)b; }
void dfp128_div(void* r, const void* a, const void* b) { *(d128*)r = *(const d128*)a / *(const d128*)b; }
int dfp128_cmp(const void* a, const void* b) {
  d128 x = *(const d128*)a, y = *(const d128*)b;
  return (x > y) - (x < y);
}
