// Alpha conversions: display rows to the stored text (`alp_etoi`) and back
// (`alp_itoe`), through the item's mask or alignment, fill, word wrap,
// translation and token table.
//
// Both directions first read their source into a plain text (`read_text`):
// mask literals skipped, fill and blanks trimmed by the mode. `alp_etoi`
// builds the new stored value aside and stores it only when it is accepted,
// so a refused entry leaves the field as it was.
#include <cstring>
#include <string>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/text.h"
#include "types/cnv.h"
#include "types/element.h"

namespace kivo {

namespace {

struct alp_text {
  std::string s;
  bool empty = false;
};

bool masked(const cnv_alp_area& a) { return !a.align_flag && !BLANK_MSK(a.mask); }
bool code_stored(const CNV* c) { return c->ta.alp.token_id && !c->ta.alp.token_check; }

size_t stride_of(const CNV* c) { return c->ext_stride ? c->ext_stride : static_cast<size_t>(c->ext_cols); }

// The display rows one after another. A wrapped row that ends in its last
// column holds a word that runs on into the next row.
std::string gather(const CNV* c) {
  std::string s;
  for (int r = 0; r < c->ext_rows; ++r) s.append(c->ext_addr + r * stride_of(c), static_cast<size_t>(c->ext_cols));
  return s;
}

void scatter(CNV* c, const std::string& s) {
  for (int r = 0; r < c->ext_rows; ++r)
    memcpy(c->ext_addr + r * stride_of(c), s.data() + static_cast<size_t>(r) * c->ext_cols,
           static_cast<size_t>(c->ext_cols));
}

// Aligned text without a mask: leading fill (where the text is not
// left-aligned) and leading blanks dropped, widened gaps read as one blank.
void read_aligned(const std::string& in, int mode, bool wrap, char fill, alp_text& t, bool& removed) {
  const char mark = static_cast<char>(com.parag_char);
  size_t i = 0;
  if (fill != ' ' && (mode == ALN_ASIS || mode == ALN_RIGHT || mode == ALN_CENTRE))
    while (i < in.size() && in[i] == fill) ++i, removed = true;
  while (i < in.size() && in[i] == ' ') ++i;
  for (; i < in.size(); ++i) {
    const char ch = in[i];
    // Gaps that word wrap or justification widened read back as one blank.
    if ((wrap || mode == ALN_JUST) && ch == ' ' && !t.s.empty() && t.s.back() == ' ') continue;
    if (wrap && ch == mark && !t.s.empty() && t.s.back() == ' ') t.s.pop_back();
    t.s += ch;
  }
}

// Masked text: the mask's data positions only, leading fill dropped (kept
// as blanks when the text is as is).
void read_masked(const cnv_alp_area& a, const std::string& in, int mode, char fill, alp_text& t, bool& removed) {
  bool leading = true;
  for (size_t i = 0; i < in.size(); ++i) {
    if (!alp_msk_data(alp_msk_char(a.mask, static_cast<int>(i)))) continue;
    const char ch = in[i];
    if (leading && fill != ' ' && ch == fill) {
      removed = true;
      if (mode == ALN_ASIS) t.s += ' ';
      continue;
    }
    leading = false;
    t.s += ch;
  }
}

// Steps common to both directions: the source text trimmed by mask and mode.
alp_text read_text(const CNV* c, const std::string& in) {
  const cnv_alp_area& a = c->ta.alp;
  const int mode = a.align_mode & ~ALN_WRAP;
  const bool wrap = a.align_mode & ALN_WRAP;
  const char fill = static_cast<char>(a.fill_char);
  alp_text t;
  bool removed = false;
  if (!masked(a) && mode == ALN_ASIS && !wrap) {
    // As is: the text keeps its columns; the fill stands for blanks.
    t.s = in;
    for (size_t i = 0; fill != ' ' && i < t.s.size() && t.s[i] == fill; ++i) t.s[i] = ' ', removed = true;
    if (fill == ' ') {
      t.empty = ut_is_all(in.data(), ' ', in.size());
      return t;
    }
  } else if (!masked(a)) {
    read_aligned(in, mode, wrap, fill, t, removed);
  } else {
    read_masked(a, in, mode, fill, t, removed);
  }
  if (fill != ' ' && (mode == ALN_ASIS || mode == ALN_LEFT || mode == ALN_CENTRE)) {
    size_t n = t.s.size();
    while (n && (t.s[n - 1] == fill || t.s[n - 1] == ' ')) {
      removed |= t.s[n - 1] == fill;
      --n;
    }
    t.s.resize(n);
  }
  if (ut_is_all(t.s.data(), ' ', t.s.size())) {
    t.empty = !removed;
    t.s = removed ? std::string(1, fill) : std::string();
  }
  return t;
}

int32_t load_code(const uint8_t* v, int len) {
  if (len == 1) return static_cast<int8_t>(v[0]);
  if (len == 2) return static_cast<int16_t>(ld_le16(v, 0));
  return static_cast<int32_t>(ld_le32(v, 0));
}

void store_code(uint8_t* v, int len, int32_t code) {
  if (len == 1) v[0] = static_cast<uint8_t>(code);
  else if (len == 2) st_le16(v, 0, static_cast<uint16_t>(code));
  else st_le32(v, 0, static_cast<uint32_t>(code));
}

std::string text30(const std::string& s) {
  std::string t = s.substr(0, kTokenTextLen);
  t.resize(kTokenTextLen, ' ');
  return t;
}

enum class src_kind { text, blank, unknown };

// The stored value as text: the token's text for a stored code.
src_kind stored_text(CNV* c, const uint8_t* v, std::string* out) {
  if (!code_stored(c)) {
    out->assign(reinterpret_cast<const char*>(v), c->int_len);
    return src_kind::text;
  }
  const uint32_t group = cv_load_token_of(c);
  const uint8_t* rec = nullptr;
  if (c->token_text) {
    const std::string t = text30(std::string(reinterpret_cast<const char*>(v), c->int_len));
    if (ut_is_all(t.data(), ' ', t.size())) return src_kind::blank;
    rec = cv_get_token(group, t.data(), 0, 1);
  } else {
    const int32_t code = load_code(v, c->int_len);
    if (code == -1) return src_kind::blank;
    rec = cv_get_token(group, nullptr, code, 0);
  }
  if (!rec) return src_kind::unknown;
  out->assign(reinterpret_cast<const char*>(rec + kTokenRecText), kTokenTextLen);
  return src_kind::text;
}

// '?' in every data position, the mask's literals in place.
void show_unknown(CNV* c) {
  std::string s(c->ext_len, '?');
  if (masked(c->ta.alp))
    for (size_t i = 0; i < s.size(); ++i)
      if (!alp_msk_data(alp_msk_char(c->ta.alp.mask, static_cast<int>(i))))
        s[i] = alp_msk_char(c->ta.alp.mask, static_cast<int>(i));
  scatter(c, s);
}

// The new stored value of a token field whose code (or text) is stored.
int token_value(CNV* c, const alp_text& t, std::string* w) {
  const uint32_t group = cv_load_token_of(c);
  const std::string key = text30(t.s);
  const uint8_t* rec = cv_get_token(group, key.data(), 0, 1);
  if (!rec) {
    c->cnv_status = CV_NOT_TOKEN;
    return 0;
  }
  if (c->token_text) {
    memcpy(w->data(), rec + kTokenRecText, std::min<size_t>(kTokenTextLen, w->size()));
  } else {
    store_code(reinterpret_cast<uint8_t*>(w->data()), c->int_len, static_cast<int32_t>(ld_le32(rec, kTokenRecCode)));
  }
  return 1;
}

}  // namespace

int alp_etoi(CNV* c) {
  const cnv_alp_area& a = c->ta.alp;
  uint8_t* v = get_int_addr_dspl(c);
  if (!v) return 0;
  const bool codes = code_stored(c) && !c->token_text;
  std::string w(c->int_len, codes ? '\xff' : ' ');
  alp_text t = read_text(c, gather(c));
  if (!t.empty) {
    if (a.xl_mode) cv_xlate_fld(c, "DTOB", t.s.data(), static_cast<int>(t.s.size()));
    const int len = static_cast<int>(t.s.size());
    if (code_stored(c)) {
      if (!token_value(c, t, &w)) return 0;
    } else if (!masked(a)) {
      const bool aligned = a.align_flag && !(a.align_mode & ALN_WRAP);
      align_txt(w.data(), c->int_len, t.s.data(), len, aligned ? a.align_mode : static_cast<uint8_t>(ALN_ASIS),
                aligned ? static_cast<char>(a.fill_char) : ' ');
    } else {
      apply_msk(w.data(), c->int_len, t.s.data(), len, a.mask, a.align_mode, static_cast<char>(a.fill_char));
    }
    if (a.token_check && a.token_id && !cv_get_token(cv_load_token_of(c), text30(w).data(), 0, 1)) {
      c->cnv_status = CV_NOT_TOKEN;
      return 0;
    }
  }
  memcpy(v, w.data(), c->int_len);
  return 1;
}

int alp_itoe(CNV* c) {
  const cnv_alp_area& a = c->ta.alp;
  std::string src;
  if (c->addr_mode == 2) {
    cv_fill_dspl(c, ' ');
    return 1;
  }
  const uint8_t* v = c->addr_mode == 3 ? nullptr : get_int_addr_dspl(c);
  const src_kind k = v ? stored_text(c, v, &src) : src_kind::unknown;
  if (k == src_kind::unknown) {
    show_unknown(c);
    return c->addr_mode == 3 ? 1 : 0;
  }
  std::string out(c->ext_len, ' ');
  if (k == src_kind::blank) {
    scatter(c, out);
    return 1;
  }
  alp_text t = read_text(c, src);
  if (a.xl_mode && !t.empty) cv_xlate_fld(c, "BTOD", t.s.data(), static_cast<int>(t.s.size()));
  const int len = static_cast<int>(t.s.size());
  // An empty value shows without fill, so that it reads back empty.
  const char fill = t.empty ? ' ' : static_cast<char>(a.fill_char);
  if (a.align_mode & ALN_WRAP) {
    wrap_itoe(c->ext_addr, c->ext_rows, c->ext_cols, static_cast<int>(stride_of(c)), t.s.data(), len, a.align_mode,
              fill, a.dspl_only);
    return 1;
  }
  if (masked(a)) apply_msk(out.data(), c->ext_len, t.s.data(), len, a.mask, a.align_mode, fill);
  else align_txt(out.data(), c->ext_len, t.s.data(), len, a.align_mode, fill);
  scatter(c, out);
  return 1;
}

}  // namespace kivo
