// Hex dumps of a byte buffer for logs and debugging.
//
// A header line of column numbers, then a line per 16 bytes: the offset in
// hex, the bytes in hex and the same bytes as characters (32-126 as they are,
// others '.'); the last line is padded so its character column lines up.
#pragma once

#include <cstddef>
#include <cstdio>

namespace kivo {

// Writes the dump of `n` bytes of `buf` to `stream` (standard output when
// null).
void ut_hex_dump(FILE* stream, const void* buf, size_t n);

}  // namespace kivo
