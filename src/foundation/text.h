// Fixed-width, blank-padded text: the helpers every layout of the engine uses.
//
// Texts travel with an explicit length and are never NUL-terminated unless a
// function says so; the length of a text is the position after its last
// non-blank character. Callers are everywhere above this layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kivo {

// Length of `p` without trailing blanks (0 when all `n` bytes are blank).
size_t ut_buflen(const char* p, size_t n);

// Copies `src` up to its first NUL within `n` bytes and blank-fills the rest
// of the `n` bytes of `dst`.
void ut_cpy_fill(char* dst, const char* src, size_t n);

// Copies min(dst_len, src_len) bytes: mode 'U' as they are, 'L' lower-cased,
// 'C' the first unchanged and the rest lower-cased. Returns the count; any
// other mode is a system error and copies nothing (0).
size_t ut_cpy_case(char mode, char* dst, size_t dst_len, const char* src, size_t src_len);

// Writes `src` without trailing blanks centred in `dst`, cut to `dst_len`;
// the rest of `dst` is left as it is.
void ut_center(char* dst, size_t dst_len, const char* src, size_t src_len);

// `text` shortened to `width` in its middle when it is longer: its head,
// " ... " and its tail, each cut at a blank where one lies near. The tail,
// where a message says why, keeps the larger share; a width too narrow for
// that takes the head alone.
std::string ut_fit_middle(std::string_view text, size_t width);

// Prints `text` (n bytes, or up to its NUL when n is 0) without trailing
// blanks, centred on a screen line of `com.scr_cols`, and a line end.
void center(const char* text, size_t n);

// All `n` bytes equal `ch`.
bool ut_is_all(const void* p, int ch, size_t n);

// First byte equal to `ch` within `n` bytes, or null.
const char* ut_memchr(const char* p, int ch, size_t n);
inline const char* ut_find_chr(int ch, const char* p, size_t n) { return ut_memchr(p, ch, n); }

// Writes `value` as `width` decimal digits with leading zeros (the low
// digits when it has more). Widths above 10 write nothing.
void ut_itoa(char* buf, int width, uint32_t value);

// The number a 4-character security code spells with its digits (other
// characters skipped); -1 for four blanks.
int32_t ut_xlate_secr(const char* code);

// `n` blanks.
inline void SET_BLANK(void* p, size_t n) { memset(p, ' ', n); }

}  // namespace kivo
