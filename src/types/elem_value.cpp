// Stored values of an element from text: a typed constant, and the initial
// and null value of one occurrence. The design build writes its INITIAL
// records with them and the compiler its field and constant records, so a
// text gives the same bytes wherever it is stored.
#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/com.h"
#include "foundation/sys_err.h"

#include "foundation/bytes.h"
#include "foundation/text.h"
#include "types/date_mask.h"
#include "types/element.h"
#include "types/num_range.h"
#include "types/std_date.h"
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

namespace {

std::string text_of(const uint8_t* elem, size_t off, size_t width) {
  std::string t(reinterpret_cast<const char*>(elem + off), width);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
  return t;
}

bool blank_text(const std::string& t) { return t.find_first_not_of(' ') == std::string::npos; }

// Digit text as a packed value of `len` bytes with `decimals` decimals.
bool packed_of(const std::string& text, uint8_t* out, int len, int decimals) {
  uint8_t v[kPdMaxLen];
  pd_field f{v, kPdMaxLen, 0, 0};
  const size_t from = text.find_first_not_of(' ');
  if (!pd_cva(text.data() + from, static_cast<int>(text.size() - from), '.', &f)) return false;
  return pd_shft(v, kPdMaxLen, decimals - f.decimals) && pd_set(out, len, v, kPdMaxLen);
}

// A variable-point number: eight packed bytes of the digits, then their
// number of decimals.
bool var_packed_of(const std::string& text, uint8_t* out) {
  uint8_t v[kPdMaxLen];
  pd_field f{v, kPdMaxLen, 0, 0};
  const std::string t = blank_text(text) ? "0" : text.substr(text.find_first_not_of(' '));
  if (!pd_cva(t.data(), static_cast<int>(t.size()), '.', &f) || !pd_set(out, kPdFastLen, v, kPdMaxLen)) return false;
  out[kPdFastLen] = static_cast<uint8_t>(f.decimals);
  return true;
}

bool coded(const uint8_t* elem) { return ld_le16(elem, ELEM_CODE_LEN) != 0; }

// An alpha initial text: as it stands under a mask, placed by the
// justification in the fill character, or flowed as words.
void alpha_init(const uint8_t* elem, const std::string& text, uint8_t* out, uint16_t size) {
  const std::string mask = text_of(elem, ELEM_MASK, kMaskLen);
  if (!mask.empty()) {
    SET_BLANK(out, size);
    const size_t n = std::min<size_t>({mask.size(), size, text.size()});
    memcpy(out, text.data(), n);
    return;
  }
  const size_t first = text.find_first_not_of(' ');
  if (elem[ELEM_WORD_FLOW] == '0') {
    memset(out, elem[ELEM_FILL], size);
    const std::string t = text.substr(first);
    size_t at = 0;
    if (t.size() < size) {
      const size_t spare = size - t.size();
      switch (elem[ELEM_JUSTIFY]) {
        case 0: at = std::min(first, spare); break;
        case 2:
        case 3: at = spare; break;
        case 4: at = spare / 2; break;
        default: at = 0;
      }
    }
    // A text longer than the element keeps its first characters.
    memcpy(out + at, t.data(), std::min<size_t>(t.size(), size - at));
    return;
  }
  SET_BLANK(out, size);
  const uint8_t parag = com.parag_char;
  std::string flow;
  for (size_t i = first; i < text.size() && i < first + 60; ++i) {
    const char c = text[i];
    if (c == ' ' && (flow.empty() || flow.back() == ' ' || static_cast<uint8_t>(flow.back()) == parag)) continue;
    if (static_cast<uint8_t>(c) == parag && !flow.empty() && flow.back() == ' ') flow.pop_back();
    flow += c;
  }
  memcpy(out, flow.data(), std::min<size_t>(flow.size(), size));
}

// The element's date mask compiled into b (mask the blank-filled copy it
// points at); false, reported, when it does not fit the element.
bool compile_elem_mask(const uint8_t* elem, uint16_t size, char* mask, date_msk_blk& b) {
  memset(mask, ' ', kDateMaskLen);
  memcpy(mask, elem + ELEM_MASK, std::min<size_t>(kMaskLen, kDateMaskLen));
  b.len = kDateMaskLen;
  b.mask = mask;
  b.first = elem[ELEM_HI];
  b.last = elem[ELEM_LO];
  b.type = elem[ELEM_TYPE];
  b.h24 = 1;
  const int len = cv_cmpl_date_msk(&b);
  if (len != size) return sys_err("DDCMPL", __LINE__, "init_etoi() - bad element length"), false;
  if (elem[ELEM_HI] > b.first || elem[ELEM_LO] < b.last)
    return sys_err("DDCMPL", __LINE__, "init_etoi() - bad element mask"), false;
  return true;
}

// A universal date text in the element's stored form, through its mask.
int date_init(const uint8_t* elem, const std::string& text, uint8_t* out, uint16_t size, bool* converts) {
  *converts = false;
  char mask[kDateMaskLen];
  date_msk_blk b{};
  if (!compile_elem_mask(elem, size, mask, b)) return 0;
  if (text.size() < static_cast<size_t>(kUniversalLen)) return 1;
  std_date typed{};
  typed.raw_len = kUniversalLen;
  typed.raw = reinterpret_cast<uint8_t*>(const_cast<char*>(text.data()));
  typed.type = DT_UNIVERSAL;
  typed.first = 8;
  typed.last = 1;
  if (!cv_ntos_date(&typed) || typed.first < elem[ELEM_HI] || typed.last > elem[ELEM_LO]) return 1;
  std::vector<uint8_t> value(size, ' ');
  std_date s{};
  s.raw_len = size;
  s.raw = value.data();
  s.mask_len = b.len;
  s.mask = mask;
  s.first = elem[ELEM_HI];
  s.last = elem[ELEM_LO];
  s.type = elem[ELEM_TYPE];
  s.doy = b.doy;
  s.h24 = b.h24;
  memcpy(s.part, typed.part, sizeof s.part);
  if (!cv_ston_date(&s)) return 1;
  memcpy(out, value.data(), size);
  *converts = true;
  return 1;
}

}  // namespace

int elem_null_image(const uint8_t* elem, uint32_t align, uint8_t* out, uint32_t* status) {
  const uint8_t type = elem[ELEM_TYPE];
  const uint16_t size = ld_le16(elem, ELEM_SIZE);
  const std::string text = text_of(elem, ELEM_NULL_TEXT, 33);
  *status = 0;
  switch (type) {
    case 5: {
      if (coded(elem)) return memset(out, 0xFF, size), 1;
      int64_t v = 0;
      if (blank_text(text)) return memset(out, 0, size), 1;
      return bin_etoi(text.data(), &v, out, elem[ELEM_LO], text.size(), size, elem[ELEM_SIGNED] == '1', status);
    }
    case 6:
    case 7:
      memset(out, 0, size);
      st_le32(out, 0, 0xFFFFFFFF);
      if (align == 2 && size >= 8) st_le32(out, 4, 0xFFFFFFFF);
      return 1;
    case 8:
      if (packed_of(blank_text(text) ? "0" : text, out, size, elem[ELEM_LO])) return 1;
      return *status = DD_NULL_BAD, 0;
    case 9:
    case 10: return pd_cvp(out, size, -1) ? 1 : (*status = DD_NULL_BAD, 0);
    case 12:
      if (size < kPdFastLen + 1) return *status = DD_NULL_BAD, 0;
      memset(out, 0, size);
      return var_packed_of(text, out) ? 1 : (*status = DD_NULL_BAD, 0);
    default: return SET_BLANK(out, size), 1;
  }
}

namespace {

// A binary's initial value: a coded field's code from its text (all bits
// set when there is none), else the number.
int binary_init(const uint8_t* elem, const std::string& text, elem_code_fn code, void* arg, uint8_t* out,
                uint32_t* status) {
  const uint16_t size = ld_le16(elem, ELEM_SIZE);
  if (coded(elem)) {
    int32_t c = 0;
    if (!code || !code(arg, elem, text, &c)) return memset(out, 0xFF, size), 1;
    for (uint16_t b = 0; b < size && b < 4; ++b) out[b] = static_cast<uint8_t>(static_cast<uint32_t>(c) >> (8 * b));
    return 1;
  }
  int64_t v = 0;
  return bin_etoi(text.data(), &v, out, elem[ELEM_LO], text.size(), size, elem[ELEM_SIGNED] == '1', status);
}

// A logical's initial value: 1 or Y, 0 or N; false for any other text.
bool logical_init(const std::string& text, uint8_t* out) {
  const std::string t = text.substr(text.find_first_not_of(' '));
  if (t == "1" || t == "Y") return out[0] = '1', true;
  if (t == "0" || t == "N") return out[0] = '0', true;
  return false;
}

}  // namespace

int elem_init_image(const uint8_t* elem, uint32_t align, elem_code_fn code, void* arg, uint8_t* out, uint32_t* status) {
  const std::string text = text_of(elem, ELEM_INIT_TEXT, 60);
  if (blank_text(text)) return elem_null_image(elem, align, out, status);
  const uint8_t type = elem[ELEM_TYPE];
  const uint16_t size = ld_le16(elem, ELEM_SIZE);
  *status = 0;
  // What does not convert but lets the field compile keeps the null value.
  auto unconverted = [&]() {
    uint32_t ignored = 0;
    if (!elem_null_image(elem, align, out, &ignored)) SET_BLANK(out, size);
    *status = DD_INIT_BAD;
    return 1;
  };
  switch (type) {
    case 1: return alpha_init(elem, text, out, size), 1;
    case 3:
    case 4:
    case 6:
    case 7:
    case 9:
    case 10:
    case 15: {
      bool converts = false;
      if (!date_init(elem, text, out, size, &converts)) return 0;
      return converts ? 1 : unconverted();
    }
    case 5: return binary_init(elem, text, code, arg, out, status);
    case 8: return packed_of(text, out, size, elem[ELEM_LO]) ? 1 : unconverted();
    case 11: return logical_init(text, out) ? 1 : unconverted();
    case 12:
      if (size >= kPdFastLen + 1) memset(out, 0, size);
      if (size >= kPdFastLen + 1 && var_packed_of(text, out)) return 1;
      return *status = DD_INIT_BAD, 0;
    default: return SET_BLANK(out, size), 1;
  }
}

namespace {

// A coded number's text through the conversions' token tables.
bool typed_code(void*, const uint8_t* elem, const std::string& text, int32_t* code) {
  uint8_t v[4] = {};
  if (ld_le16(elem, ELEM_SIZE) > 4 || !elem_typed_value(elem, text, v)) return false;
  *code = static_cast<int32_t>(ld_le32(v, 0));
  return true;
}

uint32_t align_of(const uint8_t* elem) {
  return elem_align_class(elem[ELEM_TYPE], ld_le16(elem, ELEM_SIZE), elem[ELEM_LO]);
}

}  // namespace

int elem_null_value(const uint8_t* elem, uint8_t* out, std::string* why) {
  uint32_t st = 0;
  if (elem_null_image(elem, align_of(elem), out, &st)) return 1;
  *why = "null value does not convert (" + std::to_string(st) + ")";
  return 0;
}

int elem_init_value(const uint8_t* elem, uint8_t* out, std::string* why) {
  uint32_t st = 0;
  if (elem_init_image(elem, align_of(elem), typed_code, nullptr, out, &st) && st == 0) return 1;
  *why = "initial value \"" + text_of(elem, ELEM_INIT_TEXT, 60) + "\" does not convert (" + std::to_string(st) + ")";
  return 0;
}

}  // namespace kivo
