// A conversion block compiled from a made-up element, with its stored value
// and a display whose rows lie `kStride` apart (the bytes between rows must
// never change).
#pragma once

#include <cstring>
#include <string>

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
  cv_area area{24, kStride};

  // An alpha item; `rule` is the element's alignment rule (1 left, 2
  // justified, 3 right, 4 centred, else as is).
  cnv_fix(int len, uint8_t rule, char fill = ' ', const char* mask = nullptr, uint32_t rows = 0, uint32_t cols = 0,
          bool wrap = false, bool entry = true) {
    INIT_ALP_DELEM(elem, static_cast<uint16_t>(len));
    elem[ELEM_JUSTIFY] = rule;
    elem[ELEM_FILL] = static_cast<uint8_t>(fill);
    elem[ELEM_WORD_FLOW] = wrap;
    if (mask) memcpy(elem + ELEM_MASK, mask, strlen(mask));
    cv_item it{};
    it.col = 1;
    it.rows = rows;
    it.cols = cols;
    it.entry = entry;
    it.blank_ok = 1;
    compile(&it);
  }
  cnv_fix() = default;
  void compile(const cv_item* it) {
    sitm s;
    cv_bld_sitm(&s, elem, it);
    cv_cmpl(&c, &s, &area);
    bind();
  }
  void bind() {
    memset(val, ' ', sizeof val);
    memset(dsp, '#', sizeof dsp);
    c.int_addr = reinterpret_cast<uint8_t*>(&vp);
    c.ext_addr = dsp;
  }
  void store(const std::string& v) { memcpy(val, v.data(), std::min<size_t>(v.size(), c.int_len)); }
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
      for (int k = c.ext_cols; k < kStride; ++k)
        if (dsp[r * kStride + k] != '#') return false;
    return true;
  }
  std::string show(const std::string& v) {
    store(v);
    cv_itoe(&c);
    return shown();
  }
};

}  // namespace kivo
