// Little- and big-endian loads and stores at an offset of a byte buffer.
// Every stored or wire format goes through these: no host struct is ever
// written to a file or a socket as it lies in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kivo {

inline uint8_t ld_u8(const uint8_t* p, size_t off) { return p[off]; }
inline void st_u8(uint8_t* p, size_t off, uint8_t v) { p[off] = v; }

inline uint16_t ld_le16(const uint8_t* p, size_t off) { return static_cast<uint16_t>(p[off] | (p[off + 1] << 8)); }
inline uint32_t ld_le32(const uint8_t* p, size_t off) {
  return static_cast<uint32_t>(p[off]) | (static_cast<uint32_t>(p[off + 1]) << 8) |
         (static_cast<uint32_t>(p[off + 2]) << 16) | (static_cast<uint32_t>(p[off + 3]) << 24);
}
inline void st_le16(uint8_t* p, size_t off, uint16_t v) {
  p[off] = static_cast<uint8_t>(v);
  p[off + 1] = static_cast<uint8_t>(v >> 8);
}
inline void st_le32(uint8_t* p, size_t off, uint32_t v) {
  p[off] = static_cast<uint8_t>(v);
  p[off + 1] = static_cast<uint8_t>(v >> 8);
  p[off + 2] = static_cast<uint8_t>(v >> 16);
  p[off + 3] = static_cast<uint8_t>(v >> 24);
}

inline uint16_t ld_be16(const uint8_t* p, size_t off) { return static_cast<uint16_t>((p[off] << 8) | p[off + 1]); }
inline uint32_t ld_be32(const uint8_t* p, size_t off) {
  return (static_cast<uint32_t>(p[off]) << 24) | (static_cast<uint32_t>(p[off + 1]) << 16) |
         (static_cast<uint32_t>(p[off + 2]) << 8) | static_cast<uint32_t>(p[off + 3]);
}
inline void st_be16(uint8_t* p, size_t off, uint16_t v) {
  p[off] = static_cast<uint8_t>(v >> 8);
  p[off + 1] = static_cast<uint8_t>(v);
}
inline void st_be32(uint8_t* p, size_t off, uint32_t v) {
  p[off] = static_cast<uint8_t>(v >> 24);
  p[off + 1] = static_cast<uint8_t>(v >> 16);
  p[off + 2] = static_cast<uint8_t>(v >> 8);
  p[off + 3] = static_cast<uint8_t>(v);
}

}  // namespace kivo
