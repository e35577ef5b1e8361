// Run-length coding: the documented examples byte for byte, cells and
// group writers in network order, random round trips in three widths against the
// capacity bound, and the expander's refusals of input that does not decode.
#include <cstring>
#include <random>
#include <string>

#include "net/tmnet_compress.h"
#include "net_test_util.h"

using namespace kivo;
using namespace kivo::test;

namespace {

using NetCompress = NetFixture;

bytes compressed(const std::string& text) {
  bytes b(text.begin(), text.end());
  b.resize(tmnet_compressed_cap(text.size()));
  b.resize(tmnet_compress_record(b.data(), text.size()));
  return b;
}

std::string distinct(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(i % 251);
  return s;
}

bytes literal(const std::string& s) {
  bytes b(s.size() + 1);
  b[0] = static_cast<uint8_t>(s.size() - 1);
  memcpy(b.data() + 1, s.data(), s.size());
  return b;
}

TEST_F(NetCompress, ByteExamplesGiveTheirGroups) {
  const std::string d130 = distinct(130);
  const struct {
    const char* name;
    std::string in;
    bytes out;
  } cases[] = {
      {"repeat then literal", "aaaab", {0x83, 'a', 0x00, 'b'}},
      {"three different", "abc", {0x02, 'a', 'b', 'c'}},
      {"300 equal", std::string(300, 'x'), {0xFF, 'x', 0xFF, 'x', 0xAB, 'x'}},
      {"129 different", distinct(129), cat(literal(distinct(128)), literal(distinct(129).substr(128)))},
      {"two equal are no repeat", "aab", {0x02, 'a', 'a', 'b'}},
      {"128 pending and two more", d130, cat(literal(d130.substr(0, 128)), literal(d130.substr(128)))},
      {"a run to the end leaves no literal", "abbbb", {0x00, 'a', 0x83, 'b'}},
      {"empty", "", {}},
      {"two items", "ab", {0x01, 'a', 'b'}},
  };
  for (const auto& c : cases) EXPECT_EQ(compressed(c.in), c.out) << c.name;
}

TEST_F(NetCompress, CellsAndGroupWritersUseNetworkOrder) {
  uint16_t c16[8] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x0102};
  ASSERT_EQ(tmnet_compress_u16_record(c16, 5), 8u);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(c16);
  EXPECT_EQ(bytes(b, b + 8), (bytes{0x00, 0x83, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x02}));
  uint8_t out[8];
  const uint32_t cell = 0xA1B2C3D4;
  EXPECT_EQ(no_compress_u32(out, &cell, 1), 2u);
  EXPECT_EQ(bytes(out, out + 8), (bytes{0, 0, 0, 0, 0xA1, 0xB2, 0xC3, 0xD4}));
  const uint8_t run[200] = {};
  EXPECT_EQ(compress(out, run, 200), 128u);  // at most 128
  EXPECT_EQ(compress(out, run, 5), 5u);      // at most what is left
  EXPECT_EQ(out[0], 132);
}

// Records of long runs and of noise from a small alphabet, so that runs of
// two (never a repeat) and three (always one) both occur by chance.
template <typename T>
std::vector<T> random_record(std::mt19937& rng, size_t n) {
  std::vector<T> r;
  std::uniform_int_distribution<int> coin(0, 3), run(1, 400), alpha(0, 3);
  while (r.size() < n) {
    if (coin(rng) == 0) {
      r.insert(r.end(), std::min<size_t>(run(rng), n - r.size()), static_cast<T>(rng()));
    } else {
      r.push_back(static_cast<T>(alpha(rng) * 0x01010101u));
    }
  }
  return r;
}

template <typename T, typename C, typename E>
void round_trips(C compress_fn, E expand_fn) {
  std::mt19937 rng(42);
  for (size_t n : {size_t{1}, size_t{2}, size_t{3}, size_t{127}, size_t{128}, size_t{129}, size_t{130}, size_t{1000},
                   size_t{20000}}) {
    for (int round = 0; round < 8; ++round) {
      const std::vector<T> rec = random_record<T>(rng, n);
      std::vector<T> buf(tmnet_compressed_cap(n));
      std::copy(rec.begin(), rec.end(), buf.begin());
      const size_t len = compress_fn(buf.data(), n);
      ASSERT_LE(len, tmnet_compressed_cap(n) * sizeof(T)) << n;
      ASSERT_EQ(len % sizeof(T), 0u);
      std::vector<T> back(n + 1);
      const uint8_t* in = reinterpret_cast<const uint8_t*>(buf.data());
      ASSERT_EQ(expand_fn(in, back.data(), len, n), static_cast<long>(n)) << n;
      back.resize(n);
      ASSERT_EQ(back, rec) << "width " << sizeof(T) << ", " << n << " items";
      EXPECT_EQ(expand_fn(in, back.data(), len, n - 1), kTmnetExpandBad) << "one cell short must overflow";
    }
  }
}

TEST_F(NetCompress, RandomRecordsRoundTripInBytes) { round_trips<uint8_t>(tmnet_compress_record, tmnet_expand_record); }

TEST_F(NetCompress, RandomRecordsRoundTripIn16BitCells) {
  round_trips<uint16_t>(tmnet_compress_u16_record, tmnet_expand_u16_record);
}

TEST_F(NetCompress, RandomRecordsRoundTripIn32BitCells) {
  round_trips<uint32_t>(tmnet_compress_u32_record, tmnet_expand_u32_record);
  EXPECT_TRUE(exits().empty()) << "every work buffer went back to the pool";
}

TEST_F(NetCompress, ExpanderRefusesWhatDoesNotDecode) {
  const struct {
    const char* name;
    bytes in;
    size_t cap;
    long want;
  } cases[] = {
      {"repeat control at the last byte", {0x00, 'a', 0x85}, 64, kTmnetExpandBad},
      {"literal past the end", {0x05, 'a', 'b'}, 64, kTmnetExpandBad},
      {"repeat past the capacity", {0xFF, 'x'}, 127, kTmnetExpandBad},
      {"literal past the capacity", {0x02, 'a', 'b', 'c'}, 2, kTmnetExpandBad},
      {"controls 128 and 129 repeat 1 and 2", {0x80, 'a', 0x81, 'b'}, 3, 3},
      {"exactly the capacity", {0xFF, 'x'}, 128, 128},
      {"empty", {}, 0, 0},
  };
  for (const auto& c : cases) {
    bytes out(c.cap + 8, 0xEE);
    EXPECT_EQ(tmnet_expand_record(c.in.data(), out.data(), c.in.size(), c.cap), c.want) << c.name;
    for (size_t i = c.cap; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << c.name << ": wrote past the capacity";
  }
  uint16_t c16[4];
  const bytes odd{0x00, 0x00, 0x00};
  EXPECT_EQ(tmnet_expand_u16_record(odd.data(), c16, odd.size(), 4), kTmnetExpandBad) << "half a cell";
  const bytes big{0x01, 0x00, 0x12, 0x34};  // control 256 repeats 129 copies
  EXPECT_EQ(tmnet_expand_u16_record(big.data(), c16, big.size(), 4), kTmnetExpandBad);
}

}  // namespace
