// A conversion block compiled from a made-up element over a fresh `com`, with
// its stored value and display rows `kStride` apart (the gaps never change).
#pragma once

#include <cstring>
#include <string>

#include "foundation/com.h"
#include "foundation/text.h"
#include "types/cnv.h"
#include "types/element.h"

namespace kivo {

struct cnv_fix {
  static constexpr int kStride = 40;
  uint8_t elem[kElementSize];
  CNV c{};
  uint8_t val[64];
  uint8_t* vp = val;
  char dsp[8 * kStride];
  cv_area area{24, kStride};  // width 0: none

  // An alpha item; `rule`: 1 left, 2 justified, 3 right, 4 centred, else as is.
  cnv_fix(int len, uint8_t rule, char fill = ' ', const char* mask = nullptr, uint32_t rows = 0, uint32_t cols = 0,
          bool wrap = false, uint8_t entry = 1) {
    com_fill(0, nullptr);
    make(ELEM_ALP, static_cast<uint16_t>(len), 0, 0, mask);
    elem[ELEM_JUSTIFY] = rule;
    elem[ELEM_FILL] = static_cast<uint8_t>(fill);
    elem[ELEM_WORD_FLOW] = wrap;
    cv_item it{1, 1, rows, cols, {}, 0, entry, 0, 1, 0};
    compile(&it);
  }
  cnv_fix() { com_fill(0, nullptr); }
  // A made-up element of `type` with `mask` (blank without).
  void make(uint8_t type, uint16_t size, uint8_t hi = 0, uint8_t lo = 0, const char* mask = nullptr) {
    INIT_NUM_DELEM(elem, size, hi);
    elem[ELEM_TYPE] = type;
    elem[ELEM_LO] = lo;
    memset(elem + ELEM_MASK, ' ', kMaskLen);
    if (mask) memcpy(elem + ELEM_MASK, mask, strlen(mask));
  }
  void compile(const cv_item* it) {
    sitm s;
    cv_bld_sitm(&s, elem, it);
    cv_cmpl(&c, &s, area.width ? &area : nullptr);
    bind();
  }
  void bind() {
    memset(val, ' ', sizeof val);
    memset(dsp, '#', sizeof dsp);
    c.int_addr = reinterpret_cast<uint8_t*>(&vp);
    c.ext_addr = dsp;
  }
  std::string stored() const { return std::string(reinterpret_cast<const char*>(val), c.int_len); }
  void type(const std::string& d) {
    for (int r = 0; r < c.ext_rows; ++r) memcpy(dsp + r * kStride, d.data() + r * c.ext_cols, c.ext_cols);
  }
  std::string shown() const {
    std::string s;
    for (int r = 0; r < c.ext_rows; ++r) s.append(dsp + r * kStride, c.ext_cols);
    return s;
  }
  bool guards() const {
    for (int r = 0; r < c.ext_rows; ++r)
      if (!ut_is_all(dsp + r * kStride + c.ext_cols, '#', kStride - c.ext_cols)) return false;
    return true;
  }
  // The stored value after `d` is typed, or "refused".
  std::string read(const std::string& d) {
    type(d);
    return cv_etoi(&c) ? stored() : "refused";
  }
  std::string show(const std::string& v) {
    memcpy(val, v.data(), std::min<size_t>(v.size(), c.int_len));
    cv_itoe(&c);
    return shown();
  }
};

}  // namespace kivo
