// Helpers of the statement-layout tests: a statement line in its columns,
// and record bytes in hexadecimal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

namespace kivo::test {

using cols = std::initializer_list<std::pair<int, const char*>>;

// An 80-column line with `texts` at their columns (from 1).
inline std::string line_at(const char* verb, cols texts, const char* prefix = "") {
  std::string l(80, ' ');
  l.replace(0, strlen(prefix), prefix);
  l.replace(6, strlen(verb), verb);
  for (auto [c, t] : texts) l.replace(c - 1, strlen(t), t);
  return l;
}

// One definition for every test binary: two inline bodies of one name would
// let the linker pick either.
inline std::string hex(const uint8_t* p, size_t n, bool lower = false) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) snprintf(b, sizeof b, lower ? "%02x" : "%02X", p[i]), s += b;
  return s;
}

inline std::string hex_lower(const uint8_t* p, size_t n) { return hex(p, n, true); }

}  // namespace kivo::test
