// The true/false word of nested tests: two bits per nesting level, binary 11
// marking a level as unset. The interpreter's test statements set a level's
// code and mark every deeper level unset.
#pragma once

#include <cstdint>

namespace kivo {

constexpr uint32_t kTfUnset = 3;

// Sets the 2-bit `code` at bits position-2 and position-1 of `*word`, keeps
// the bits from `position` up and sets the lower bits (at most the low
// eight) to 1. Position 0, an odd one or one past 32 changes nothing.
inline void SET_TF(uint32_t code, uint32_t position, uint32_t* word) {
  if (position < 2 || position > 32 || position % 2 != 0) return;
  uint32_t keep = position == 32 ? 0 : (*word >> position) << position;
  uint32_t lower = ((uint32_t{1} << (position - 2)) - 1) & 0xFF;
  *word = keep | ((code & kTfUnset) << (position - 2)) | lower;
}

}  // namespace kivo
