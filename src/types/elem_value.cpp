// Stored values of an element from text: a typed constant, and the initial
// and null value of one occurrence. The design build writes its INITIAL
// records with them and the compiler its field and constant records, so a
// text gives the same bytes wherever it is stored.
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/text.h"
#include "types/element.h"
#include "types/num_range.h"
#include "types/typed_value.h"

namespace kivo {

namespace {

// A conversion block of `elem` over the typed `text`.
uni_cnv elem_cnv(const uint8_t* elem, const std::string& text) {
  const uint8_t type = elem[ELEM_TYPE];
  uni_cnv c{};
  c.cnv_type = type;
  c.int_len = ld_le16(elem, ELEM_SIZE);
  c.ext_addr = text.data();
  c.ext_len = static_cast<uint16_t>(text.size());
  c.elem_hi = elem[ELEM_HI];
  c.elem_lo = elem[ELEM_LO];
  c.elem_signed = elem[ELEM_SIGNED] == '1';
  if (type == 5 || type == 8) {
    c.kind = num_kind_of(type, c.int_len, c.elem_signed);
    c.tot_digits = static_cast<uint8_t>(type == 8 ? 2 * c.int_len - 1 : c.elem_hi + c.elem_lo);
  }
  c.align_mode = 1;
  c.fill_char = ' ';
  return c;
}

}  // namespace

int elem_typed_value(const uint8_t* elem, const std::string& text, uint8_t* out) {
  uni_cnv c = elem_cnv(elem, text);
  const uint16_t size = ld_le16(elem, ELEM_SIZE);
  uint8_t shared = 0;
  if (!cv_get_universal(&c, 1, &shared, nullptr)) return 0;
  if (elem[ELEM_TYPE] != ELEM_PD_VAR) return memcpy(out, c.int_addr, size), 1;
  // A variable-point value comes as packed of the digits typed: its stored
  // form is those digits in all but the last byte, its decimals there.
  uint8_t v[kPdMaxLen];
  if (size < 2 || size - 1 > kPdMaxLen || !pd_set(v, size - 1, c.int_addr, c.int_len)) return 0;
  memcpy(out, v, size - 1u);
  out[size - 1] = c.elem_lo;
  return 1;
}

int elem_typed_number(const uint8_t* elem, const std::string& text, elem_number* out) {
  uni_cnv c = elem_cnv(elem, text);
  uint8_t shared = 0;
  if (!cv_get_universal(&c, 0, &shared, nullptr) || c.int_len > sizeof out->bytes) return 0;
  if (c.cnv_type != ELEM_BIN && c.cnv_type != ELEM_PD_FIX) return 0;
  out->type = c.cnv_type;
  out->decimals = c.elem_lo;
  out->is_signed = c.elem_signed != 0;
  out->len = c.int_len;
  memcpy(out->bytes, c.int_addr, c.int_len);
  return 1;
}

int elem_null_value(const uint8_t* elem, uint8_t* out, std::string* why) {
  const uint8_t type = elem[ELEM_TYPE];
  const uint16_t size = ld_le16(elem, ELEM_SIZE);
  std::string text(reinterpret_cast<const char*>(elem + ELEM_NULL_TEXT), 33);
  const bool blank = text.find_first_not_of(' ') == std::string::npos;
  switch (type) {
    case 5:
    case 8: return elem_typed_value(elem, blank ? "0" : text, out) || (*why = "null value does not convert", false);
    case 6:
    case 7: return memset(out, 0xFF, size), 1;
    case 9:
    case 10: return elem_typed_value(elem, "-1", out) || (*why = "packed date null", false);
    case 12: return memset(out, 0, size), out[7] = 0x0C, 1;
    default: return SET_BLANK(out, size), 1;
  }
}

int elem_init_value(const uint8_t* elem, uint8_t* out, std::string* why) {
  std::string text(reinterpret_cast<const char*>(elem + ELEM_INIT_TEXT), 60);
  if (text.find_first_not_of(' ') == std::string::npos) return elem_null_value(elem, out, why);
  const uint8_t type = elem[ELEM_TYPE];
  if (IS_ELEM_DATE(type) || type == 12)
    return *why = "initial values of dates and variable-point numbers are not supported", 0;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (!elem_typed_value(elem, text, out)) return *why = "initial value \"" + text + "\" does not convert", 0;
  return 1;
}

}  // namespace kivo
