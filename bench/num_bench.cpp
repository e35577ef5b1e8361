// Numbers shown and read back through the mask "-999,999,999.99", from
// 8-byte packed and 4-byte binary fields with two decimals: one value an
// item. The COBOL twin (num_edit.cob) does the same moves between a COMP-3
// or COMP-5 field and PIC -ZZZ,ZZZ,ZZ9.99; run_num_bench.sh runs both.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/com.h"
#include "types/num_convert.h"
#include "types/pd.h"

namespace {

using namespace kivo;

constexpr int kValues = 1000000;
constexpr char kMask[] = "-999,999,999.99";
constexpr int kMaskLen = sizeof kMask - 1;

num_cnv field_of(int kind, int len, uint8_t* stored, char* text) {
  num_cnv c{};
  c.kind = static_cast<uint8_t>(kind);
  c.int_len = static_cast<uint16_t>(len);
  c.elem_hi = kind == NUM_PD_FIX ? 13 : 8;
  c.elem_lo = 2;
  c.elem_signed = 1;
  memset(c.mask, ' ', sizeof c.mask);
  memcpy(c.mask, kMask, kMaskLen);
  c.mask_len = kMaskLen;
  cv_num_msk(&c);
  c.int_addr = stored;
  c.ext_addr = text;
  c.ext_len = kMaskLen;
  return c;
}

// Values in cents: packed up to 999,999,999.99, binary within 32 bits.
struct corpus {
  std::vector<uint8_t> packed;          // 8 bytes a value
  std::vector<uint8_t> binary;          // 4 bytes a value
  std::vector<char> pd_text, bin_text;  // kMaskLen a value
};

const corpus& values() {
  static corpus c = [] {
    com_fill(0, nullptr);
    corpus k;
    std::mt19937_64 rng(42);
    k.packed.resize(8u * kValues);
    k.binary.resize(4u * kValues);
    k.pd_text.resize(static_cast<size_t>(kMaskLen) * kValues);
    k.bin_text.resize(static_cast<size_t>(kMaskLen) * kValues);
    for (int i = 0; i < kValues; ++i) {
      const int64_t cents = static_cast<int64_t>(rng() % 100000000000ULL) - 50000000000LL;
      pd_field f{&k.packed[8u * i], 8, 2, 0};
      pd_from_float(&f, static_cast<double>(cents) / 100.0);
      const int32_t b = static_cast<int32_t>(cents % 2000000000);
      memcpy(&k.binary[4u * i], &b, 4);
      num_cnv p = field_of(NUM_PD_FIX, 8, &k.packed[8u * i], &k.pd_text[static_cast<size_t>(kMaskLen) * i]);
      num_itoe(&p);
      num_cnv q = field_of(NUM_BIN4, 4, &k.binary[4u * i], &k.bin_text[static_cast<size_t>(kMaskLen) * i]);
      num_itoe(&q);
    }
    return k;
  }();
  return c;
}

void format(benchmark::State& state, int kind, int len, const std::vector<uint8_t>& src) {
  char text[kMaskLen];
  num_cnv c = field_of(kind, len, nullptr, text);
  size_t i = 0;
  for (auto _ : state) {
    c.int_addr = const_cast<uint8_t*>(&src[static_cast<size_t>(len) * i]);
    benchmark::DoNotOptimize(num_itoe(&c));
    benchmark::DoNotOptimize(text);
    if (++i == kValues) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void read(benchmark::State& state, int kind, int len, const std::vector<char>& src) {
  uint8_t stored[8];
  num_cnv c = field_of(kind, len, stored, nullptr);
  size_t i = 0;
  for (auto _ : state) {
    c.ext_addr = const_cast<char*>(&src[static_cast<size_t>(kMaskLen) * i]);
    benchmark::DoNotOptimize(num_etoi(&c));
    benchmark::DoNotOptimize(stored);
    if (++i == kValues) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FormatPacked8(benchmark::State& s) { format(s, NUM_PD_FIX, 8, values().packed); }
void BM_ReadPacked8(benchmark::State& s) { read(s, NUM_PD_FIX, 8, values().pd_text); }
void BM_FormatBinary4(benchmark::State& s) { format(s, NUM_BIN4, 4, values().binary); }
void BM_ReadBinary4(benchmark::State& s) { read(s, NUM_BIN4, 4, values().bin_text); }

BENCHMARK(BM_FormatPacked8);
BENCHMARK(BM_ReadPacked8);
BENCHMARK(BM_FormatBinary4);
BENCHMARK(BM_ReadBinary4);

}  // namespace

BENCHMARK_MAIN();
