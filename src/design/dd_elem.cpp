// Elements of the dictionary: built from a FIELD and its DOMAIN, sized by
// the mask, their ranges checked, their null and initial values stored;
// and the elements of group headers, fields without storage, substrings and
// synonyms.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "design/dd.h"
#include "design/dd_msg.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/token_cache.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "types/std_date.h"
#include "types/typed_value.h"

namespace kivo {

namespace {

bool is_blank(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ' && p[i] != 0) return false;
  return true;
}

// A blank text slot takes the default's bytes.
void take_if_blank(uint8_t* dst, const uint8_t* dflt, size_t n) {
  if (is_blank(dst, n)) memcpy(dst, dflt, n);
}

size_t used_len(const uint8_t* p, size_t n) {
  while (n && (p[n - 1] == ' ' || p[n - 1] == 0)) --n;
  return n;
}

void field_err(dd_ctx* ctx, uint32_t number, const uint8_t* elem) {
  dd_err(ctx, number, DD_KIND_FIELD, elem + ELEM_NAME);
}
void domain_err(dd_ctx* ctx, uint32_t number, const uint8_t* dom) {
  dd_err(ctx, number, DD_KIND_DOMAIN, dom + DOM_NAME);
}

// TOKEN records of type 0 of `group` (22): whether there are any, and the
// value of the last in key order. False when the run has no TOKEN file.
bool token_group(dd_ctx* ctx, const uint8_t* group, bool* any, int32_t* last) {
  ARB* a = ctx->arb[DD_TOKEN];
  *any = false;
  *last = 0;
  if (!a) return false;
  uint8_t key[kTokRecLen] = {}, rec[kTokRecLen];
  memcpy(key + TOK_GROUP, group, 22);
  memcpy(rec, key, sizeof rec);
  PROTO_FULL(a, 0, rec);
  a->arb_len = kTokRecLen;
  a->arb_mod = 0;
  if (!fm_start(a)) return true;
  while (fm_rdnxt(a) && memcmp(rec, key, TOK_GROUP + 22) == 0) {
    *any = true;
    *last = static_cast<int32_t>(ld_le32(rec, TOK_CODE));
  }
  return true;
}

// Sizes of a coded number by its largest code.
void coded_size(int32_t top, uint16_t* size, uint8_t* digits) {
  if (top < 128) *size = 1, *digits = top <= 9 ? 1 : top <= 99 ? 2 : 3;
  else if (top > 32767) *size = 4, *digits = top <= 99999 ? 5 : top <= 999999 ? 6 : 10;
  else *size = 2, *digits = top <= 999 ? 3 : top <= 9999 ? 4 : 5;
}

// The null text's sign and its digits before the point.
void scan_null_text(const uint8_t* nt, uint8_t* digits, bool* neg) {
  *digits = 0;
  *neg = false;
  for (size_t i = 0, point = 0; i < 33; ++i) {
    if (nt[i] == '-') *neg = true;
    if (nt[i] == '.') point = 1;
    if (!point && nt[i] >= '0' && nt[i] <= '9') ++*digits;
  }
}

// A binary's size: the range its digits hold, widened to its null value and
// the domain's ranges. 0 after an error already reported (the size is set).
int size_binary(dd_ctx* ctx, uint8_t* e, const uint8_t* dom, uint8_t decimals, bool is_signed) {
  const uint8_t* nt = e + ELEM_NULL_TEXT;
  int64_t lo = 0, hi = 0;
  elem_digit_range(e[ELEM_HI] + decimals, is_signed, &lo, &hi);
  int ok = 1;
  if (!is_blank(nt, 33)) {
    int64_t v = 0;
    uint32_t st = 0;
    if (!bin_etoi(reinterpret_cast<const char*>(nt), &v, nullptr, decimals, 33, 4, is_signed, &st))
      domain_err(ctx, st, dom), ok = 0;
    else lo = std::min(lo, v), hi = std::max(hi, v);
  }
  for (int r = 0; r < 2; ++r)
    if (!vfy_dom_rng(ctx, e, dom, r, &lo, &hi)) ok = 0;
  st_le16(e, ELEM_SIZE, elem_bin_size(lo, hi, is_signed));
  return ok;
}

int parse_number(dd_ctx* ctx, uint8_t* e, const uint8_t* dom) {
  const uint8_t sub = dom[DOM_SUB_KIND];
  if (sub == 3) {
    e[ELEM_TYPE] = 12;
    st_le16(e, ELEM_SIZE, 9);
    e[ELEM_HI] = e[ELEM_LO] = 15;
    e[ELEM_SIGNED] = '1';
    return 1;
  }
  if (sub != 1 && sub != 2) return 1;  // type 0, size 0
  const num_mask_scan m = elem_scan_num_mask(reinterpret_cast<const char*>(e + ELEM_MASK), kMaskLen);
  if (m.empty) return field_err(ctx, 100420, e), 0;
  uint8_t null_digits;
  bool neg;
  scan_null_text(e + ELEM_NULL_TEXT, &null_digits, &neg);
  e[MELEM_NULL_NEG] = neg;
  e[MELEM_MASK_SIGN] = m.sign;
  e[MELEM_NULL_DIGITS] = null_digits;
  e[MELEM_MASK_DIGITS] = m.digits;
  const uint8_t digits = std::max(m.digits, null_digits);
  const bool is_signed = m.sign || neg;
  e[ELEM_SIGNED] = is_signed ? '1' : '0';
  e[ELEM_HI] = digits;
  e[ELEM_LO] = m.decimals;
  if (digits + m.decimals >= 16) return field_err(ctx, 102150, e), 0;
  if (sub == 2) {
    e[ELEM_TYPE] = 8;
    st_le16(e, ELEM_SIZE, elem_pd_size(digits, m.decimals));
    return 1;
  }
  e[ELEM_TYPE] = 5;
  return size_binary(ctx, e, dom, m.decimals, is_signed);
}

int parse_date(dd_ctx* ctx, uint8_t* e, const uint8_t* dom) {
  const date_mask_scan m = elem_scan_date_mask(reinterpret_cast<const char*>(e + ELEM_MASK), kMaskLen);
  if (m.hi == 0) return field_err(ctx, 100420, e), 0;
  const uint8_t type = elem_date_type(dom[DOM_SUB_KIND], m.doy);
  if (!type) return domain_err(ctx, 100100, dom), 0;
  e[ELEM_TYPE] = type;
  e[ELEM_HI] = m.hi;
  e[ELEM_LO] = m.lo;
  st_le16(e, ELEM_SIZE, elem_date_size(type, m.hi, m.lo, m.positions));
  return 1;
}

int parse_text(dd_ctx* ctx, uint8_t* e, const uint8_t* dom) {
  e[ELEM_TYPE] = 1;
  st_le16(e, ELEM_SIZE, 0);
  st_le16(e, ELEM_CODE_LEN, 0);
  bool any = false;
  int32_t top = 0;
  const bool has_file = token_group(ctx, dom + DOM_NAME, &any, &top);
  const uint16_t dflt = ld_le16(dom, DOM_SIZE);
  uint16_t size = 0;
  switch (dom[DOM_ALP_FORM]) {
    case 1: size = 4, e[ELEM_FORM_BYTE] = 0, e[ELEM_JUSTIFY] = 2, e[ELEM_CHAR_FLAG] = '0', e[ELEM_FILL] = '0'; break;
    case 2: size = 3, e[ELEM_FORM_BYTE] = 1, e[ELEM_JUSTIFY] = 1, e[ELEM_CHAR_FLAG] = '0', e[ELEM_FILL] = ' '; break;
    case 3:
      size = dflt ? dflt : 256, e[ELEM_FORM_BYTE] = 1, e[ELEM_JUSTIFY] = 1, e[ELEM_CHAR_FLAG] = '1', e[ELEM_FILL] = ' ';
      break;
    case 0: {
      e[ELEM_FORM_BYTE] = dom[DOM_FORM_BYTE];
      e[ELEM_JUSTIFY] = dom[DOM_JUSTIFY];
      e[ELEM_CHAR_FLAG] = dom[DOM_CHAR_FLAG];
      e[ELEM_FILL] = dom[DOM_FILL];
      const size_t mask_len = used_len(e + ELEM_MASK, kMaskLen);
      const uint8_t sub = dom[DOM_SUB_KIND];
      if (sub == 1) {
        size = mask_len ? static_cast<uint16_t>(mask_len) : dflt;
        if (any) st_le16(e, ELEM_CODE_LEN, size);
      } else if (sub == 2 || sub == 3) {
        if (!has_file) return domain_err(ctx, 100780, dom), 0;
        uint16_t code_len = 0;
        for (size_t i = 0; i < mask_len; ++i) code_len = static_cast<uint16_t>(code_len + (e[ELEM_MASK + i] != '*'));
        st_le16(e, ELEM_CODE_LEN, mask_len ? code_len : dflt);
        uint8_t digits = 0;
        coded_size(top, &size, &digits);
        e[ELEM_TYPE] = 5;
        e[ELEM_SIGNED] = '1';
        e[ELEM_HI] = digits;
        e[ELEM_LO] = 0;
      } else {
        return domain_err(ctx, 100560, dom), 0;
      }
      break;
    }
    default: return field_err(ctx, 100360, e), 0;
  }
  st_le16(e, ELEM_SIZE, size);
  if (size == 0) return field_err(ctx, 102650, e), 0;
  return 1;
}

// A coded number's initial text through the domain's TOKEN group.
bool token_code(void* arg, const uint8_t* elem, const std::string& text, int32_t* code) {
  ARB* a = static_cast<dd_ctx*>(arg)->arb[DD_TOKEN];
  if (!a) return false;
  uint8_t rec[kTokRecLen] = {};
  memcpy(rec + TOK_GROUP, elem + ELEM_DOMAIN, 22);
  SET_BLANK(rec + TOK_TEXT, 30);
  memcpy(rec + TOK_TEXT, text.data(), std::min<size_t>(text.size(), 30));
  PROTO_FULL(a, 1, rec);
  a->arb_len = kTokRecLen;
  a->arb_mod = ARB_EQUAL;
  const int found = fm_read(a);
  a->arb_mod = 0;
  if (!found) return false;
  *code = static_cast<int32_t>(ld_le32(rec, TOK_CODE));
  return true;
}

}  // namespace

int parse_msk(dd_ctx* ctx, uint8_t* elem, const uint8_t* dom) {
  switch (dom[DOM_EFF_KIND]) {
    case 1: return parse_number(ctx, elem, dom);
    case 2: return parse_date(ctx, elem, dom);
    case 3: return elem[ELEM_TYPE] = 11, st_le16(elem, ELEM_SIZE, 1), 1;
    case 4: return parse_text(ctx, elem, dom);
    default: return domain_err(ctx, 100100, dom), 0;
  }
}

int vfy_dom_rng(dd_ctx* ctx, const uint8_t* elem, const uint8_t* dom, int which, int64_t* lo, int64_t* hi) {
  const uint8_t rel = dom[DOM_REL + which];
  if (rel == 255) return 1;
  if (rel < 1 || rel > 5) {
    sys_err("DDCMPL", __LINE__, "vfy_dom_rng() - bad relation code %u", rel);
    return 0;
  }
  const uint8_t* text = dom + (which ? DOM_RNG2 : DOM_RNG1);
  if (is_blank(text, 30)) return 1;
  int64_t v = 0;
  uint32_t st = 0;
  if (!bin_etoi(reinterpret_cast<const char*>(text), &v, nullptr, elem[ELEM_LO], 30, 4, elem[MELEM_MASK_SIGN] != 0,
                &st))
    return field_err(ctx, st, elem), 0;
  const bool is_signed = elem[ELEM_SIGNED] == '1';
  // A bound is only ever narrowed.
  switch (rel) {
    case 1: *lo = *hi = v; break;
    case 2:
      if (is_signed) *lo = std::max(*lo, v);
      break;
    case 3:
      if (is_signed) *lo = std::max(*lo, v + 1);
      break;
    case 4: *hi = std::min(*hi, v); break;
    case 5: *hi = std::min(*hi, v - 1); break;
  }
  return 1;
}

int vfy_no_rng(dd_ctx* ctx, const uint8_t* elem, const uint8_t* text) {
  const size_t len = used_len(text, 30);
  bool bad = false, minus = false, point = false;
  int digits = 0, decimals = 0;
  for (size_t i = 0; i < len; ++i) {
    const uint8_t c = text[i];
    if (c == '-') minus = true;
    else if (c == '.') point = true;
    else if (c >= '0' && c <= '9') ++(point ? decimals : digits);
    else bad = true, field_err(ctx, 100490, elem);  // one for each such character
  }
  if (bad) return 0;
  if (digits > elem[MELEM_MASK_DIGITS]) return field_err(ctx, 100520, elem), 0;
  if (decimals > elem[ELEM_LO]) return field_err(ctx, 100510, elem), 0;
  if (minus && !elem[MELEM_MASK_SIGN]) return field_err(ctx, 100530, elem), 0;
  if (elem[ELEM_TYPE] != 5) return 1;
  const bool is_signed = elem[ELEM_SIGNED] == '1';
  int64_t v = 0;
  uint32_t st = 0;
  if (!bin_etoi(reinterpret_cast<const char*>(text), &v, nullptr, elem[ELEM_LO], len, 4, is_signed, &st))
    return field_err(ctx, st, elem), 0;
  const uint16_t size = ld_le16(elem, ELEM_SIZE);
  const bool fits = size == 1   ? (is_signed ? v >= -128 && v <= 127 : v >= 0 && v <= 255)
                    : size == 2 ? (is_signed ? v >= -32768 && v <= 32767 : v >= 0 && v <= 65535)
                                : true;
  return fits ? 1 : (field_err(ctx, 100680, elem), 0);
}

int vfy_fld_rng(dd_ctx* ctx, const uint8_t* elem, const uint8_t* dom) {
  const bool has[2] = {elem[ELEM_RNG_ABSENT] != 0xFF, elem[ELEM_RNG_ABSENT + 1] != 0xFF};
  const uint8_t* val[2] = {elem + ELEM_RNG_LO, elem + ELEM_RNG_HI};
  switch (dom[DOM_EFF_KIND]) {
    case 1: {
      // The field fails when every value it gives is rejected.
      int given = 0, rejected = 0;
      for (int i = 0; i < 2; ++i)
        if (has[i]) ++given, rejected += !vfy_no_rng(ctx, elem, val[i]);
      return given == 0 || rejected < given;
    }
    case 2: {
      int ok = 1;
      for (int i = 0; i < 2; ++i) {
        if (!has[i] || is_blank(val[i], 30)) continue;
        std_date d{};
        uint8_t text[kUniversalLen];
        memcpy(text, val[i], sizeof text);
        d.raw_len = kUniversalLen;
        d.raw = text;
        d.type = DT_UNIVERSAL;
        d.first = 8;
        d.last = 1;
        if (!cv_ntos_date(&d)) field_err(ctx, 100320, elem), ok = 0;
      }
      return ok;
    }
    case 4: {
      if (is_blank(val[0], 30) && is_blank(val[1], 30)) return 1;
      if (dom[DOM_NO_RANGE]) return domain_err(ctx, 100620, dom), 0;
      const uint16_t size = ld_le16(elem, ELEM_SIZE);
      for (int i = 0; i < 2; ++i)
        if (used_len(val[i], 30) > size) return field_err(ctx, 100070, elem), 0;
      return 1;
    }
    default: return 1;
  }
}

namespace {

// The label and the lookup and codes the field leaves blank, from the domain;
// headings from the domain, else the label marked by the underscore right
// after its last character.
void take_domain_texts(const uint8_t* dom, uint8_t* e) {
  if (is_blank(e + ELEM_LABEL, 30)) {
    if (!is_blank(dom + DOM_LABEL, 30)) memcpy(e + ELEM_LABEL, dom + DOM_LABEL, 30);
    else SET_BLANK(e + ELEM_LABEL, 30), memcpy(e + ELEM_LABEL, e + ELEM_NAME, 22);
  }
  take_if_blank(e + ELEM_LKP_AP, dom + DOM_LKP_AP, 3);
  take_if_blank(e + ELEM_LKP_FILE, dom + DOM_LKP_FILE, 8);
  take_if_blank(e + ELEM_LKP_FIELD, dom + DOM_LKP_FIELD, 22);
  for (int i = 0; i < 3; ++i) take_if_blank(e + ELEM_CODES + 4 * i, dom + DOM_CODES + 4 * i, 4);
  if (!is_blank(e + ELEM_HEAD1, 30) || !is_blank(e + ELEM_HEAD2, 30)) return;
  memcpy(e + ELEM_HEAD1, dom + DOM_HEAD1, 30);
  memcpy(e + ELEM_HEAD2, dom + DOM_HEAD2, 30);
  if (!is_blank(e + ELEM_HEAD1, 30) || !is_blank(e + ELEM_HEAD2, 30)) return;
  SET_BLANK(e + ELEM_HEAD1, 60);
  const size_t n = std::min<size_t>(used_len(e + ELEM_LABEL, 30), 29);
  memcpy(e + ELEM_HEAD2, e + ELEM_LABEL, n);
  e[ELEM_HEAD2 + n] = com.uscore_char;
}

// The initial value, the domain's checks and forms, and the field's own bytes.
void take_domain_rules(const uint8_t* dom, const uint8_t* fld, uint8_t* e) {
  memcpy(e + ELEM_INIT_TEXT, is_blank(fld + FLD_INIT, 60) ? dom + DOM_INIT : fld + FLD_INIT, 60);
  memcpy(e + ELEM_ALT_MASK, dom + DOM_ALT_MASK, kMaskLen);
  e[ELEM_DOM_REL] = dom[DOM_REL];
  e[ELEM_DOM_REL + 1] = dom[DOM_REL + 1];
  memcpy(e + ELEM_DOM_RNG1, dom + DOM_RNG1, 30);
  memcpy(e + ELEM_DOM_RNG2, dom + DOM_RNG2, 30);
  e[ELEM_ALP_FORM] = dom[DOM_ALP_FORM];
  e[ELEM_WORD_FLOW] = dom[DOM_WORD_FLOW];
  e[ELEM_FIELD_BYTES] = fld[FLD_BYTE_529];
  e[ELEM_FIELD_BYTES + 1] = fld[FLD_BYTE_525];
  e[ELEM_FIELD_BYTES + 2] = fld[FLD_BYTE_531];
}

}  // namespace

int bld_elem(dd_ctx* ctx, const uint8_t* dom, const uint8_t* fld, uint8_t* e) {
  memset(e, 0, kMelemSize);
  memcpy(e, fld, 300);
  const uint16_t occ = ld_le16(fld, FLD_OCCURS);
  st_le16(e, ELEM_OCCURS, occ ? occ : 1);
  e[ELEM_SIGNED] = '0';
  e[ELEM_FILL] = ' ';
  SET_BLANK(e + ELEM_INIT_TEXT, ELEM_CODE_LEN - ELEM_INIT_TEXT);
  memcpy(e + ELEM_MASK, dom + DOM_MASK, kMaskLen);
  memcpy(e + ELEM_NULL_TEXT, dom + DOM_NULL, 33);
  int ok = parse_msk(ctx, e, dom);
  st_le16(e, ELEM_OFFSET, 0);
  if (e[ELEM_DSPL_CHAR] == ' ' || e[ELEM_DSPL_CHAR] == 0) e[ELEM_DSPL_CHAR] = dom[DOM_DSPL_CHAR];
  take_domain_texts(dom, e);
  take_domain_rules(dom, fld, e);
  st_le16(e, ELEM_SEGMENT, 0);
  // Segments of one occurrence: two for an 8-byte binary date of a date
  // domain of its own, as for the other two-word forms.
  const uint16_t size = ld_le16(e, ELEM_SIZE);
  uint32_t align = elem_align_class(e[ELEM_TYPE], size, e[ELEM_LO]);
  if ((e[ELEM_TYPE] == 6 || e[ELEM_TYPE] == 7) && size == 8 && !(dom[DOM_OWN_KIND] == 2 && dom[DOM_SUB_KIND] == 1))
    align = 1;
  st_le32(e, MELEM_ALIGN, align);
  if (fld[FLD_RNG_ABSENT] != 0xFF || fld[FLD_RNG_ABSENT + 1] != 0xFF)
    if (!vfy_fld_rng(ctx, e, dom)) ok = 0;
  return ok;
}

namespace {

// Lengths of the ELEMENT fields these copies take whole.
constexpr size_t kNameLen = ELEM_KIND - ELEM_NAME;
constexpr size_t kLabelLen = ELEM_HEAD1 - ELEM_LABEL;  // each heading too
constexpr size_t kHeadingsLen = ELEM_AREA_CLASS - ELEM_HEAD1;
constexpr size_t kTextsLen = ELEM_AREA_CLASS - ELEM_LABEL;  // label and headings
constexpr size_t kNameToRef = ELEM_OFFSET - ELEM_NAME;      // name, kind, domain or base name
constexpr size_t kDomRangesLen = ELEM_CODE_LEN - ELEM_DOM_RNG1;
constexpr size_t kInitTextLen = ELEM_NULL_TEXT - ELEM_INIT_TEXT;
constexpr size_t kDisplayLen = ELEM_LABEL - ELEM_DSPL_CHAR;  // display character, the FIELD's pair
static_assert(kNameLen == 22 && kLabelLen == 30 && kNameToRef == 45 && kTextsLen == 90 && kDomRangesLen == 60);

// The FIELD's label, else its name.
void label_or_name(const uint8_t* fld, uint8_t* e) {
  memcpy(e + ELEM_LABEL, fld + ELEM_LABEL, kLabelLen);
  if (!is_blank(e + ELEM_LABEL, kLabelLen)) return;
  SET_BLANK(e + ELEM_LABEL, kLabelLen);
  memcpy(e + ELEM_LABEL, fld + FLD_NAME, kNameLen);
}

// The FIELD's headings, else the label as the second.
void headings(const uint8_t* fld, uint8_t* e) {
  if (!is_blank(fld + ELEM_HEAD1, kLabelLen) || !is_blank(fld + ELEM_HEAD2, kLabelLen)) {
    memcpy(e + ELEM_HEAD1, fld + ELEM_HEAD1, kHeadingsLen);
    return;
  }
  SET_BLANK(e + ELEM_HEAD1, kLabelLen);
  memcpy(e + ELEM_HEAD2, e + ELEM_LABEL, kLabelLen);
}

// No domain behind the element: no domain ranges, no codes, a text form.
void without_domain(uint8_t* e) {
  e[ELEM_DOM_REL] = e[ELEM_DOM_REL + 1] = 255;
  SET_BLANK(e + ELEM_DOM_RNG1, kDomRangesLen);
  st_le16(e, ELEM_CODE_LEN, 0);
  e[ELEM_FORM_BYTE] = 2;
  e[ELEM_FILL] = ' ';
  e[ELEM_WORD_FLOW] = '0';
}

// A group header: the FIELD's leading part (laid out as the element's),
// sized later from its members.
void group_elem(const uint8_t* fld, uint8_t* e) {
  const uint16_t occ = ld_le16(fld, FLD_OCCURS);
  memset(e, 0, kMelemSize);
  memcpy(e, fld, ELEM_SEGMENT);
  st_le16(e, ELEM_OCCURS, occ ? occ : 1);
  label_or_name(fld, e);
  headings(fld, e);
  st_le16(e, ELEM_SIZE, 0);
  st_le16(e, ELEM_SEGMENT, 0);
  SET_BLANK(e + ELEM_INIT_TEXT, ELEM_DOM_REL - ELEM_INIT_TEXT);
  without_domain(e);
  e[ELEM_CHAR_FLAG] = '1';
  st_le32(e, MELEM_ALIGN, 0);
}

// A field without storage.
void no_storage_elem(const uint8_t* fld, uint8_t* e) {
  memset(e, 0, kMelemSize);
  e[ELEM_CLASS] = '0';
  memcpy(e + ELEM_NAME, fld + FLD_NAME, kNameLen);
  e[ELEM_KIND] = ELEM_KIND_NO_STORAGE;
  SET_BLANK(e + ELEM_DOMAIN, kNameLen);
  // The file name, sequence and binaries stay: the element is found by
  // its file, and two such fields never share key 4.
  memcpy(e + ELEM_FILE, fld + FLD_FILE, ELEM_STAMP - ELEM_FILE);
  st_le16(e, ELEM_OCCURS, 1);
  e[ELEM_DSPL_CHAR] = '0';
  SET_BLANK(e + ELEM_LABEL, kTextsLen);
  e[ELEM_KEY_ROLE] = 255;
  SET_BLANK(e + ELEM_RNG_LO, ELEM_SEGMENT - ELEM_RNG_LO);
  SET_BLANK(e + ELEM_INIT_TEXT, ELEM_DOM_REL - ELEM_INIT_TEXT);
  SET_BLANK(e + ELEM_DOM_RNG1, kDomRangesLen);
}

// A substring over `e`, which holds its base's element: the part from the
// FIELD's first position, as text.
void substring_elem(const uint8_t* fld, uint8_t* e) {
  const uint16_t occ = ld_le16(fld, FLD_OCCURS);
  const uint16_t base_off = ld_le16(e, ELEM_OFFSET);
  memcpy(e + ELEM_NAME, fld + FLD_NAME, kNameToRef);
  st_le16(e, ELEM_OFFSET, static_cast<uint16_t>(base_off + ld_le16(fld, FLD_SUB_FIRST) - 1));
  st_le16(e, ELEM_SIZE, ld_le16(fld, FLD_SUB_SIZE));
  st_le16(e, ELEM_OCCURS, occ ? occ : 1);
  memcpy(e + ELEM_SEQ, fld + FLD_SEQ, ELEM_STAMP - ELEM_SEQ);
  e[ELEM_DSPL_CHAR] = fld[ELEM_DSPL_CHAR];
  e[ELEM_FIELD_PAIR + 1] = fld[ELEM_FIELD_PAIR + 1];
  label_or_name(fld, e);
  headings(fld, e);
  e[ELEM_SPECIAL] = 0;
  e[ELEM_KEY_ROLE] = fld[FLD_KEY_ROLE];
  memcpy(e + ELEM_KEY_ORDER, fld + ELEM_KEY_ORDER, ELEM_CODES - ELEM_KEY_ORDER);
  SET_BLANK(e + ELEM_INIT_TEXT, kInitTextLen);
  SET_BLANK(e + ELEM_MASK, 2 * kMaskLen);
  without_domain(e);
  e[ELEM_ALP_FORM] = e[ELEM_JUSTIFY] = 0;
}

// A synonym over `e`, which holds the element it renames: the FIELD's name,
// texts, key role and look-up; the storage stays the base's.
void synonym_elem(const uint8_t* fld, uint8_t* e) {
  e[ELEM_CLASS] = fld[FLD_CLASS];
  memcpy(e + ELEM_NAME, fld + FLD_NAME, kNameToRef);
  memcpy(e + ELEM_SEQ, fld + FLD_SEQ, ELEM_STAMP - ELEM_SEQ);
  memcpy(e + ELEM_DSPL_CHAR, fld + ELEM_DSPL_CHAR, kDisplayLen);
  label_or_name(fld, e);
  headings(fld, e);
  e[ELEM_SPECIAL] = 0;
  e[ELEM_KEY_ROLE] = fld[FLD_KEY_ROLE];
  e[ELEM_KEY_ORDER] = fld[ELEM_KEY_ORDER];
  e[ELEM_KEY_FLAG] = fld[ELEM_KEY_FLAG];
  memcpy(e + ELEM_LKP_AP, fld + ELEM_LKP_AP, ELEM_CODES - ELEM_LKP_AP);
}

}  // namespace

void cpy_elem(const uint8_t* fld, uint8_t* e) {
  switch (fld[FLD_KIND]) {
    case ELEM_KIND_GROUP: return group_elem(fld, e);
    case ELEM_KIND_NO_STORAGE: return no_storage_elem(fld, e);
    case ELEM_KIND_SUBSTRING: return substring_elem(fld, e);
    case ELEM_KIND_SYNONYM: return synonym_elem(fld, e);
    default: return;
  }
}

int null_etoi(dd_ctx* ctx, const uint8_t* elem) {
  uint32_t st = 0;
  uint8_t* out = ctx->null_buf + ld_le16(elem, ELEM_OFFSET);
  if (elem_null_image(elem, ld_le32(elem, MELEM_ALIGN), out, &st)) return 1;
  if (st) field_err(ctx, st, elem);
  return 0;
}

int init_etoi(dd_ctx* ctx, const uint8_t* elem) {
  uint32_t st = 0;
  uint8_t* out = ctx->init_buf + ld_le16(elem, ELEM_OFFSET);
  const int ok = elem_init_image(elem, ld_le32(elem, MELEM_ALIGN), token_code, ctx, out, &st);
  if (st) field_err(ctx, st, elem);
  return ok;
}

void dd_list(const char* fmt, const uint8_t* name, int len) {
  if (dd.standalone) printf(fmt, len, reinterpret_cast<const char*>(name));
}

}  // namespace kivo
