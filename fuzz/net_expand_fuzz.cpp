// The three expanders of run-length coded records. Byte 0 picks the width
// (bytes, 16-bit or 32-bit cells); the rest is the compressed input. The
// output has a fixed capacity, allocated to its exact size so that a write
// past it is a finding. Properties: the result is a refusal or a count
// within the capacity; what was accepted compresses again within the
// capacity bound and expands back to the same items.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_util.h"
#include "net/tmnet.h"
#include "net/tmnet_compress.h"

using namespace kivo;

namespace {

constexpr size_t kCap = 2000;  // items the output holds

template <typename T, typename E, typename C>
void check(const uint8_t* in, size_t len, E expand_fn, C compress_fn) {
  std::unique_ptr<T[]> out(new T[kCap]);
  const long n = expand_fn(in, out.get(), len, kCap);
  FUZZ_CHECK(n == kTmnetExpandBad || (n >= 0 && static_cast<size_t>(n) <= kCap), "returned %ld", n);
  if (n <= 0) return;
  const size_t items = static_cast<size_t>(n);
  std::vector<T> again(tmnet_compressed_cap(items));
  memcpy(again.data(), out.get(), items * sizeof(T));
  const size_t clen = compress_fn(again.data(), items);
  FUZZ_CHECK(clen <= tmnet_compressed_cap(items) * sizeof(T), "%zu items compressed to %zu bytes", items, clen);
  std::unique_ptr<T[]> back(new T[items]);
  const long m = expand_fn(reinterpret_cast<const uint8_t*>(again.data()), back.get(), clen, items);
  FUZZ_CHECK(m == n, "%ld items came back as %ld", n, m);
  FUZZ_CHECK(memcmp(back.get(), out.get(), items * sizeof(T)) == 0, "the round trip changed the items");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t* in = data + 1;
  const size_t len = size - 1;
  switch (data[0] % 3) {
    case 0: check<uint8_t>(in, len, tmnet_expand_record, tmnet_compress_record); break;
    case 1: check<uint16_t>(in, len, tmnet_expand_u16_record, tmnet_compress_u16_record); break;
    default: check<uint32_t>(in, len, tmnet_expand_u32_record, tmnet_compress_u32_record); break;
  }
  return 0;
}
