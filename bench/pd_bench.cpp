// Packed-decimal operations side by side with references on the same
// values: GCC decimal floating point (_Decimal64 / _Decimal128) and GMP
// integers, for 8-byte (15-digit) and 16-byte (31-digit) operands; and a
// business-shaped loop whose COBOL twin is pd_business.cob.
//
//   pd_bench [benchmark flags]      the Google Benchmark runs
//   pd_bench --business-totals      one loop of 1,000,000 rows, totals
//                                   printed as the COBOL program prints them
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef KIVO_HAVE_GMP
#include <gmp.h>
#endif

#include "foundation/com.h"
#include "types/pd.h"

extern "C" {
void dfp64_from_int(void* out, int64_t v);
void dfp128_from_parts(void* out, int64_t hi, int64_t lo);
void dfp64_add(void* r, const void* a, const void* b);
void dfp64_sub(void* r, const void* a, const void* b);
void dfp64_mul(void* r, const void* a, const void* b);
void dfp64_div(void* r, const void* a, const void* b);
int dfp64_cmp(const void* a, const void* b);
void dfp128_add(void* r, const void* a, const void* b);
void dfp128_sub(void* r, const void* a, const void* b);
void dfp128_mul(void* r, const void* a, const void* b);
void dfp128_div(void* r, const void* a, const void* b);
int dfp128_cmp(const void* a, const void* b);
}

namespace {

using namespace kivo;
using i128 = __int128;

constexpr int kCases = 1024;  // operand pairs cycled through by each run

enum op { ADD, SUB, MUL, DIV, CMP };

// Digits of a (and b) for each operation at 15 and 31 digits: products and
// quotients must fit the first operand's field.
int digits_a(op o, int t) { return o == MUL ? t / 2 : t - 1; }
int digits_b(op o, int t) { return o == MUL ? t / 2 : o == DIV ? t / 2 : t - 1; }

struct operands {
  std::vector<i128> a, b;
};

i128 random_of(std::mt19937_64& rng, int digits) {
  i128 v = 0;
  for (int i = 0; i < digits; ++i) v = v * 10 + static_cast<int>(rng() % 10);
  if (v == 0) v = 7;
  return (rng() & 3) == 0 ? -v : v;
}

operands make(op o, int t) {
  std::mt19937_64 rng(12345 + o * 7 + t);
  operands r;
  for (int i = 0; i < kCases; ++i) {
    r.a.push_back(random_of(rng, digits_a(o, t)));
    r.b.push_back(random_of(rng, digits_b(o, t)));
  }
  return r;
}

void pack(uint8_t* p, int n, i128 v) {
  bool neg = v < 0;
  if (neg) v = -v;
  memset(p, 0, n);
  p[n - 1] = static_cast<uint8_t>((static_cast<int>(v % 10) << 4) | (neg ? pd_neg_sign() : pd_pos_sign()));
  v /= 10;
  for (int i = n - 2; i >= 0; --i, v /= 100)
    p[i] = static_cast<uint8_t>((static_cast<int>(v / 10 % 10) << 4) | static_cast<int>(v % 10));
}

std::string text(i128 v) {
  char buf[48], *e = buf + sizeof buf, *p = e;
  bool neg = v < 0;
  if (neg) v = -v;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v);
  if (neg) *--p = '-';
  return std::string(p, e);
}

void setup_common() {
  static bool done = false;
  if (!done) com_fill(0, nullptr);
  done = true;
}

// --- packed ------------------------------------------------------------------

void BM_Pd(benchmark::State& st) {
  setup_common();
  op o = static_cast<op>(st.range(0));
  int len = static_cast<int>(st.range(1)), t = 2 * len - 1;
  operands v = make(o, t);
  std::vector<uint8_t> a(kCases * 16), b(kCases * 16);
  for (int i = 0; i < kCases; ++i) {
    pack(&a[i * 16], len, v.a[i]);
    pack(&b[i * 16], len, v.b[i]);
  }
  uint8_t r[16];
  int i = 0, sink = 0;
  for (auto _ : st) {
    const uint8_t* x = &a[i * 16];
    const uint8_t* y = &b[i * 16];
    if (o == CMP) {
      sink += pd_cmp(x, len, y, len);
    } else {
      memcpy(r, x, 16);
      switch (o) {
        case ADD: sink += pd_add(r, len, y, len); break;
        case SUB: sink += pd_sub(r, len, y, len); break;
        case MUL: sink += pd_mul(r, len, y, len); break;
        default: sink += pd_div(r, len, y, len, nullptr, 0); break;
      }
      benchmark::DoNotOptimize(r);
    }
    i = (i + 1) & (kCases - 1);
  }
  benchmark::DoNotOptimize(sink);
}

void BM_PdFast(benchmark::State& st) {
  setup_common();
  op o = static_cast<op>(st.range(0));
  operands v = make(o, 15);
  std::vector<uint8_t> a(kCases * 8), b(kCases * 8);
  for (int i = 0; i < kCases; ++i) {
    pack(&a[i * 8], 8, v.a[i]);
    pack(&b[i * 8], 8, v.b[i]);
  }
  uint8_t r[8];
  int i = 0, sink = 0;
  for (auto _ : st) {
    memcpy(r, &a[i * 8], 8);
    switch (o) {
      case ADD: sink += pd_fast_add(r, &b[i * 8]); break;
      case SUB: sink += pd_fast_sub(r, &b[i * 8]); break;
      default: sink += pd_fast_cmp(r, &b[i * 8]); break;
    }
    benchmark::DoNotOptimize(r);
    i = (i + 1) & (kCases - 1);
  }
  benchmark::DoNotOptimize(sink);
}

// Digit text with two decimals, read into a field of the given length.
void BM_PdParse(benchmark::State& st) {
  setup_common();
  int len = static_cast<int>(st.range(0));
  operands v = make(ADD, 2 * len - 1);
  std::vector<std::string> texts;
  for (i128 x : v.a) {
    std::string s = text(x);
    texts.push_back(s.substr(0, s.size() - 2) + "." + s.substr(s.size() - 2));
  }
  uint8_t r[16];
  pd_field f{r, len, 0, 0};
  int i = 0, sink = 0;
  for (auto _ : st) {
    const std::string& s = texts[i];
    sink += pd_cva(s.data(), static_cast<int>(s.size()), '.', &f);
    benchmark::DoNotOptimize(r);
    i = (i + 1) & (kCases - 1);
  }
  benchmark::DoNotOptimize(sink);
}

// --- decimal floating point -------------------------------------------------

void BM_Dfp(benchmark::State& st) {
  op o = static_cast<op>(st.range(0));
  int len = static_cast<int>(st.range(1)), t = 2 * len - 1;
  operands v = make(o, t);
  std::vector<uint8_t> a(kCases * 16), b(kCases * 16);
  auto put = [&](uint8_t* p, i128 x) {
    if (len <= 8) dfp64_from_int(p, static_cast<int64_t>(x));
    else
      dfp128_from_parts(p, static_cast<int64_t>(x / 10000000000000000LL),
                        static_cast<int64_t>(x % 10000000000000000LL));
  };
  for (int i = 0; i < kCases; ++i) {
    put(&a[i * 16], v.a[i]);
    put(&b[i * 16], v.b[i]);
  }
  alignas(16) uint8_t r[16];
  int i = 0, sink = 0;
  bool wide = len > 8;
  for (auto _ : st) {
    const uint8_t* x = &a[i * 16];
    const uint8_t* y = &b[i * 16];
    switch (o) {
      case ADD: wide ? dfp128_add(r, x, y) : dfp64_add(r, x, y); break;
      case SUB: wide ? dfp128_sub(r, x, y) : dfp64_sub(r, x, y); break;
      case MUL: wide ? dfp128_mul(r, x, y) : dfp64_mul(r, x, y); break;
      case DIV: wide ? dfp128_div(r, x, y) : dfp64_div(r, x, y); break;
      default: sink += wide ? dfp128_cmp(x, y) : dfp64_cmp(x, y); break;
    }
    benchmark::DoNotOptimize(r);
    i = (i + 1) & (kCases - 1);
  }
  benchmark::DoNotOptimize(sink);
}

// --- GMP --------------------------------------------------------------------

#ifdef KIVO_HAVE_GMP
void BM_Gmp(benchmark::State& st) {
  op o = static_cast<op>(st.range(0));
  int len = static_cast<int>(st.range(1)), t = 2 * len - 1;
  operands v = make(o, t);
  std::vector<mpz_t> a(kCases), b(kCases);
  for (int i = 0; i < kCases; ++i) {
    mpz_init_set_str(a[i], text(v.a[i]).c_str(), 10);
    mpz_init_set_str(b[i], text(v.b[i]).c_str(), 10);
  }
  mpz_t r;
  mpz_init2(r, 256);
  int i = 0, sink = 0;
  for (auto _ : st) {
    switch (o) {
      case ADD: mpz_add(r, a[i], b[i]); break;
      case SUB: mpz_sub(r, a[i], b[i]); break;
      case MUL: mpz_mul(r, a[i], b[i]); break;
      case DIV: mpz_tdiv_q(r, a[i], b[i]); break;
      default: sink += mpz_cmp(a[i], b[i]); break;
    }
    benchmark::DoNotOptimize(r);
    i = (i + 1) & (kCases - 1);
  }
  benchmark::DoNotOptimize(sink);
  for (int k = 0; k < kCases; ++k) {
    mpz_clear(a[k]);
    mpz_clear(b[k]);
  }
  mpz_clear(r);
}

void BM_GmpParse(benchmark::State& st) {
  int len = static_cast<int>(st.range(0));
  operands v = make(ADD, 2 * len - 1);
  std::vector<std::string> texts;
  for (i128 x : v.a) texts.push_back(text(x));  // integer digits: GMP has no point
  mpz_t r;
  mpz_init2(r, 256);
  int i = 0;
  for (auto _ : st) {
    mpz_set_str(r, texts[i].c_str(), 10);
    benchmark::DoNotOptimize(r);
    i = (i + 1) & (kCases - 1);
  }
  mpz_clear(r);
}
#endif

void ops_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"op", "len"});
  for (int len : {8, 16})
    for (int o : {ADD, SUB, MUL, DIV, CMP}) b->Args({o, len});
}

BENCHMARK(BM_Pd)->Apply(ops_args);
BENCHMARK(BM_PdFast)->ArgName("op")->Arg(ADD)->Arg(SUB)->Arg(CMP);
BENCHMARK(BM_PdParse)->ArgName("len")->Arg(8)->Arg(16);
BENCHMARK(BM_Dfp)->Apply(ops_args);
#ifdef KIVO_HAVE_GMP
BENCHMARK(BM_Gmp)->Apply(ops_args);
BENCHMARK(BM_GmpParse)->ArgName("len")->Arg(8)->Arg(16);
#endif

// --- business loop ----------------------------------------------------------

struct totals {
  uint8_t price[8], tax1[8], tax2[8], grand[8];
  int failures;
};

// Field sizes follow the COBOL program: rate S9(5)V9(4) and quantity
// S9(5)V9(3) in 5 bytes, price and taxes S9(9)V99 in 6, totals S9(13)V99
// in 8; products are formed in an 8-byte work value and rounded to cents.
totals business_loop(int rows) {
  uint8_t rate[5], qty[5], price[6], tax1[6], tax2[6], work[8];
  uint8_t rate_step[2], rate_cap[5], rate_back[5], qty_step[2], qty_cap[5], qty_back[5], t1[2], t2[2];
  pack(rate, 5, 10000);         // 1.0000
  pack(qty, 5, 1000);           // 1.000
  pack(rate_step, 2, 137);      // 0.0137
  pack(rate_cap, 5, 5000000);   // 500.0000
  pack(rate_back, 5, 4990000);  // 499.0000
  pack(qty_step, 2, 251);       // 0.251
  pack(qty_cap, 5, 90000);      // 90.000
  pack(qty_back, 5, 89000);     // 89.000
  pack(t1, 2, 825);             // 0.0825
  pack(t2, 2, 15);              // 0.015
  totals t{};
  pack(t.price, 8, 0);
  pack(t.tax1, 8, 0);
  pack(t.tax2, 8, 0);
  pack(t.grand, 8, 0);
  int ok = 1;
  for (int i = 0; i < rows; ++i) {
    ok &= pd_add(rate, 5, rate_step, 2);
    if (pd_cmp(rate, 5, rate_cap, 5) > 0) ok &= pd_sub(rate, 5, rate_back, 5);
    ok &= pd_add(qty, 5, qty_step, 2);
    if (pd_cmp(qty, 5, qty_cap, 5) > 0) ok &= pd_sub(qty, 5, qty_back, 5);

    ok &= pd_set(work, 8, rate, 5);  // 7 decimals after the product
    ok &= pd_mul(work, 8, qty, 5);
    ok &= pd_shft(work, 8, -5);
    ok &= pd_set(price, 6, work, 8);

    ok &= pd_set(work, 8, price, 6);  // 6 decimals
    ok &= pd_mul(work, 8, t1, 2);
    ok &= pd_shft(work, 8, -4);
    ok &= pd_set(tax1, 6, work, 8);

    ok &= pd_set(work, 8, price, 6);  // 5 decimals
    ok &= pd_add(work, 8, tax1, 6);
    ok &= pd_mul(work, 8, t2, 2);
    ok &= pd_shft(work, 8, -3);
    ok &= pd_set(tax2, 6, work, 8);

    ok &= pd_add(t.price, 8, price, 6);
    ok &= pd_add(t.tax1, 8, tax1, 6);
    ok &= pd_add(t.tax2, 8, tax2, 6);
    ok &= pd_add(t.grand, 8, price, 6);
    ok &= pd_add(t.grand, 8, tax1, 6);
    ok &= pd_add(t.grand, 8, tax2, 6);
  }
  t.failures = !ok;
  return t;
}

void BM_BusinessLoop(benchmark::State& st) {
  setup_common();
  for (auto _ : st) {
    totals t = business_loop(1000000);
    benchmark::DoNotOptimize(t);
  }
  st.SetItemsProcessed(st.iterations() * 1000000);
}
BENCHMARK(BM_BusinessLoop)->Unit(benchmark::kMillisecond);

// As COBOL shows PIC 9(13).99: digit i of the 15 sits in half byte i.
void print_total(const char* name, const uint8_t* p) {
  char digits[15];
  for (int i = 0; i < 15; ++i) digits[i] = static_cast<char>('0' + ((i % 2) ? (p[i / 2] & 0xF) : (p[i / 2] >> 4)));
  printf("%s %.13s.%.2s\n", name, digits, digits + 13);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--business-totals") == 0) {
    setup_common();
    totals t = business_loop(1000000);
    print_total("price", t.price);
    print_total("tax1", t.tax1);
    print_total("tax2", t.tax2);
    print_total("grand", t.grand);
    return t.failures;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
