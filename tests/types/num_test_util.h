// A number field for the conversion tests: stored bytes, a display buffer
// with a guard behind it, and the num_cnv over both.
#pragma once

#include <cstring>
#include <string>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "pd_test_util.h"
#include "types/num_convert.h"

namespace kivo::numt {

using pdt::i128;

struct field {
  uint8_t stored[32];
  char display[128];
  num_cnv c{};

  // kind, stored length, element digits and decimals, mask.
  field(int kind, int len, int hi, int lo, const std::string& mask, bool is_signed = true, bool drcr = false) {
    memset(stored, 0, sizeof stored);
    memset(display, '#', sizeof display);
    c.kind = static_cast<uint8_t>(kind);
    c.int_len = static_cast<uint16_t>(len);
    c.elem_hi = static_cast<uint8_t>(hi);
    c.elem_lo = static_cast<uint8_t>(lo);
    c.elem_signed = is_signed;
    c.drcr = drcr;
    set_mask(mask);
    c.int_addr = stored;
    c.ext_addr = display;
    c.ext_len = static_cast<uint16_t>(mask.size() > 0 ? mask.size() : 1);
  }
  void set_mask(const std::string& mask) {
    memset(c.mask, ' ', sizeof c.mask);
    memcpy(c.mask, mask.data(), std::min<size_t>(mask.size(), sizeof c.mask));
    c.mask_len = static_cast<uint8_t>(std::min<size_t>(mask.size(), sizeof c.mask));
    mask_ok = cv_num_msk(&c);
  }
  bool mask_ok = false;

  // Puts v (the number times 10^decimals) into the stored bytes by kind;
  // kind 8 takes `decimals` into its last byte.
  void put(i128 v, int decimals = 0) {
    memset(stored, 0, sizeof stored);
    const uint32_t u = static_cast<uint32_t>(static_cast<int64_t>(v));
    if (c.kind <= NUM_UBIN4) {
      st_le32(stored, 0, u);  // the low bytes serve the 1- and 2-byte kinds
    } else if (c.kind == NUM_PD_FIX) {
      memcpy(stored, pdt::pack(v, c.int_len).b, c.int_len);
    } else {
      memcpy(stored, pdt::pack(v, c.int_len - 1).b, c.int_len - 1u);
      stored[c.int_len - 1] = static_cast<uint8_t>(decimals);
    }
  }

  // The stored value as a number and its decimals.
  i128 get(int* decimals = nullptr) const {
    if (decimals) *decimals = c.kind == NUM_PD_VAR ? stored[c.int_len - 1] : c.elem_lo;
    const uint32_t u = ld_le32(stored, 0);
    switch (c.kind) {
      case NUM_BIN1: return static_cast<int8_t>(u);
      case NUM_UBIN1: return static_cast<uint8_t>(u);
      case NUM_BIN2: return static_cast<int16_t>(u);
      case NUM_UBIN2: return static_cast<uint16_t>(u);
      case NUM_BIN4: return static_cast<int32_t>(u);
      case NUM_UBIN4: return u;
      default: {
        pdt::pk p;
        p.n = c.kind == NUM_PD_FIX ? c.int_len : c.int_len - 1;
        memcpy(p.b, stored, static_cast<size_t>(p.n));
        return pdt::value(p);
      }
    }
  }

  std::string shown() const { return std::string(display, c.ext_len); }
  bool guard_intact() const {
    for (size_t i = c.ext_len; i < sizeof display; ++i)
      if (display[i] != '#') return false;
    return true;
  }
  int show() { return num_itoe(&c); }
  int enter(const std::string& text) {
    memset(display, ' ', c.ext_len);
    memcpy(display, text.data(), std::min<size_t>(text.size(), c.ext_len));
    return num_etoi(&c);
  }
};

// Restores the separators, currency and layouts that a test changed.
struct com_guard {
  com_area saved;
  uint8_t l200 = cv_200_behavior, l220 = cv_220_behavior;
  com_guard() { memcpy(&saved, &com, sizeof com); }
  ~com_guard() {
    memcpy(&com, &saved, sizeof com);
    cv_200_behavior = l200;
    cv_220_behavior = l220;
  }
};

}  // namespace kivo::numt
