// Run-length coding of screen records, keymaps and attribute cells, in
// three widths of item: bytes, 16-bit cells and 32-bit cells (big-endian
// on the wire). A compressed record is a sequence of groups, each led by a
// control item c: 0-127 a literal stretch of the c + 1 items that follow,
// 128 and up a repeat of c - 127 copies of the one item that follows.
//
// Capacity: compression can lengthen a record of n items to
// n + ceil(n / 128) items, and works in place, so the record's buffer must
// hold that many items (tmnet_compressed_cap). Expansion is bounded by the
// output's capacity and refuses input that does not decode exactly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

// Items a record of n items may take once compressed.
constexpr size_t tmnet_compressed_cap(size_t n) { return n + (n + 127) / 128; }

// The expanders' answer to a truncated group or an output overflow.
constexpr long kTmnetExpandBad = -1;

// Replace `count` items by their compressed form, in network order; the
// compressed length in bytes. The buffer holds tmnet_compressed_cap(count).
size_t tmnet_compress_record(uint8_t* record, size_t count);
size_t tmnet_compress_u16_record(uint16_t* cells, size_t count);
size_t tmnet_compress_u32_record(uint32_t* cells, size_t count);

// Expand `length` bytes of compressed input into at most `cap` items
// (host order): the number of items written, or kTmnetExpandBad when a
// group is cut short, the length is not whole items or `cap` would be
// passed. Callers check the count against the cells they expect.
long tmnet_expand_record(const uint8_t* input, uint8_t* output, size_t length, size_t cap);
long tmnet_expand_u16_record(const uint8_t* input, uint16_t* output, size_t length, size_t cap);
long tmnet_expand_u32_record(const uint8_t* input, uint32_t* output, size_t length, size_t cap);

// Group writers. The literal emitter writes the control n - 1 (n of 1 to
// 128) and the n items, returning n + 1 items written; the repeat counter
// counts equal items from the first, at most 128 and at most `left`,
// writes the control count + 127 and the item, and returns the count.
size_t no_compress(uint8_t* out, const uint8_t* items, size_t n);
size_t compress(uint8_t* out, const uint8_t* items, size_t left);
size_t no_compress_u16(uint8_t* out, const uint16_t* items, size_t n);
size_t compress_u16(uint8_t* out, const uint16_t* items, size_t left);
size_t no_compress_u32(uint8_t* out, const uint32_t* items, size_t n);
size_t compress_u32(uint8_t* out, const uint32_t* items, size_t left);

}  // namespace kivo
