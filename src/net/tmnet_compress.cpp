// One compressor and one expander, written once over the item type; the
// three widths differ only in how an item is stored (network order).
//
// The compressor makes one pass: three equal items start a repeat (two
// never do), literals gather up to 128, and the last two items, which can
// start no repeat, close the final literal stretch.
#include "net/tmnet_compress.h"

#include <cassert>
#include <cstring>

#include "foundation/bytes.h"
#include "net/tmnet.h"

namespace kivo {

namespace {

constexpr size_t kMaxGroup = 128;
constexpr uint32_t kRepeatBase = 127;  // repeat control = count + 127

inline void put_item(uint8_t* out, size_t at, uint8_t v) { out[at] = v; }
inline void put_item(uint8_t* out, size_t at, uint16_t v) { st_be16(out, at * 2, v); }
inline void put_item(uint8_t* out, size_t at, uint32_t v) { st_be32(out, at * 4, v); }

template <typename T>
T get_item(const uint8_t* in, size_t at) {
  if constexpr (sizeof(T) == 1) return in[at];
  if constexpr (sizeof(T) == 2) return ld_be16(in, at * 2);
  if constexpr (sizeof(T) == 4) return ld_be32(in, at * 4);
}

template <typename T>
size_t literal_group(uint8_t* out, const T* items, size_t n) {
  assert(n >= 1 && n <= kMaxGroup);
  put_item(out, 0, static_cast<T>(n - 1));
  for (size_t k = 0; k < n; ++k) put_item(out, k + 1, items[k]);
  return n + 1;
}

template <typename T>
size_t repeat_group(uint8_t* out, const T* items, size_t left) {
  size_t count = 1;
  while (count < kMaxGroup && count < left && items[count] == items[0]) ++count;
  put_item(out, 0, static_cast<T>(count + kRepeatBase));
  put_item(out, 1, items[0]);
  return count;
}

// Literal stretches of at most 128 items over `n` items; items written.
template <typename T>
size_t literals(uint8_t* out, const T* items, size_t n) {
  size_t written = 0;
  for (size_t done = 0; done < n; done += kMaxGroup) {
    const size_t k = n - done < kMaxGroup ? n - done : kMaxGroup;
    written += literal_group(out + written * sizeof(T), items + done, k);
  }
  return written;
}

template <typename T>
size_t compress_items(T* cells, size_t n) {
  if (n == 0) return 0;
  uint8_t* work = tmnet_alloc_buffer(tmnet_compressed_cap(n) * sizeof(T));
  if (!work) return 0;
  size_t out = 0;
  size_t pending = 0;
  size_t i = 0;
  while (i + 2 < n) {
    if (cells[i] == cells[i + 1] && cells[i + 1] == cells[i + 2]) {
      out += literals(work + out * sizeof(T), cells + i - pending, pending);
      pending = 0;
      i += repeat_group(work + out * sizeof(T), cells + i, n - i);
      out += 2;
    } else if (pending == kMaxGroup) {
      out += literals(work + out * sizeof(T), cells + i - pending, pending);
      pending = 0;
    } else {
      ++pending;
      ++i;
    }
  }
  out += literals(work + out * sizeof(T), cells + i - pending, pending + (n - i));
  assert(out <= tmnet_compressed_cap(n));
  memcpy(cells, work, out * sizeof(T));
  tmnet_free_buffer(work);
  return out * sizeof(T);
}

template <typename T>
long expand_items(const uint8_t* in, T* out, size_t length, size_t cap) {
  if (length % sizeof(T)) return kTmnetExpandBad;
  const size_t items = length / sizeof(T);
  size_t p = 0;
  size_t o = 0;
  while (p < items) {
    const uint64_t c = get_item<T>(in, p);
    if (c <= kRepeatBase) {
      const size_t n = static_cast<size_t>(c) + 1;
      if (n > items - p - 1 || n > cap - o) return kTmnetExpandBad;
      for (size_t k = 0; k < n; ++k) out[o + k] = get_item<T>(in, p + 1 + k);
      p += n + 1;
      o += n;
    } else {
      const uint64_t n = c - kRepeatBase;
      if (items - p < 2 || n > cap - o) return kTmnetExpandBad;
      const T v = get_item<T>(in, p + 1);
      for (size_t k = 0; k < n; ++k) out[o + k] = v;
      p += 2;
      o += static_cast<size_t>(n);
    }
  }
  return static_cast<long>(o);
}

}  // namespace

size_t no_compress(uint8_t* out, const uint8_t* items, size_t n) { return literal_group(out, items, n); }
size_t compress(uint8_t* out, const uint8_t* items, size_t left) { return repeat_group(out, items, left); }
size_t no_compress_u16(uint8_t* out, const uint16_t* items, size_t n) { return literal_group(out, items, n); }
size_t compress_u16(uint8_t* out, const uint16_t* items, size_t left) { return repeat_group(out, items, left); }
size_t no_compress_u32(uint8_t* out, const uint32_t* items, size_t n) { return literal_group(out, items, n); }
size_t compress_u32(uint8_t* out, const uint32_t* items, size_t left) { return repeat_group(out, items, left); }

size_t tmnet_compress_record(uint8_t* record, size_t count) { return compress_items(record, count); }
size_t tmnet_compress_u16_record(uint16_t* cells, size_t count) { return compress_items(cells, count); }
size_t tmnet_compress_u32_record(uint32_t* cells, size_t count) { return compress_items(cells, count); }

long tmnet_expand_record(const uint8_t* input, uint8_t* output, size_t length, size_t cap) {
  return expand_items(input, output, length, cap);
}
long tmnet_expand_u16_record(const uint8_t* input, uint16_t* output, size_t length, size_t cap) {
  return expand_items(input, output, length, cap);
}
long tmnet_expand_u32_record(const uint8_t* input, uint32_t* output, size_t length, size_t cap) {
  return expand_items(input, output, length, cap);
}

}  // namespace kivo
