// One field between its native bytes and its portable text, by the kind of
// its map entry, and the computed portable lengths.
//
// Invariant: a conversion touches only the entry's native bytes and its
// portable characters (and the blank after them); a value that the target
// cannot hold is a system error, never a silently changed value.
#include <cstdlib>
#include <cstring>

#include "compiler/stmt_layout.h"
#include "design/mu_port.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "types/std_date.h"

namespace kivo {

ARB* mu_msk_arb = nullptr;

namespace {

constexpr uint16_t kNoVerb = 65535;
constexpr int kPackedMax = 32;      // bytes of a packed field, its decimal byte included
constexpr size_t kDateRawMax = 64;  // a stored date: at most a mask's 60 display characters

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool all_blank(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

// `digits` (most significant first, `n` of them) right-aligned and
// zero-filled into `width` positions; false when a non-zero digit would be
// lost.
bool put_digits(const char* digits, int n, char* out, int width) {
  int skip = n > width ? n - width : 0;
  for (int i = 0; i < skip; ++i)
    if (digits[i] != '0') return false;
  const int pad = width - (n - skip);
  memset(out, '0', static_cast<size_t>(pad));
  memcpy(out + pad, digits + skip, static_cast<size_t>(n - skip));
  return true;
}

// A signed decimal: magnitude digits then the sign in the last position.
bool put_number(int64_t v, char* out, int len) {
  if (len < 1) return false;
  char d[24];
  uint64_t m = v < 0 ? static_cast<uint64_t>(-v) : static_cast<uint64_t>(v);
  int n = 0;
  char rev[24];
  do rev[n++] = static_cast<char>('0' + m % 10), m /= 10;
  while (m);
  for (int i = 0; i < n; ++i) d[i] = rev[n - 1 - i];
  out[len - 1] = v < 0 ? '-' : '+';
  return put_digits(d, n, out, len - 1);
}

// The value of a signed decimal field: "-" last makes it negative, digits
// read leftwards from the second-last character until a non-digit. False
// when it passes 2^32.
bool get_number(const char* p, int len, int64_t* v) {
  if (len < 1) return *v = 0, true;
  const bool neg = p[len - 1] == '-';
  int64_t value = 0, scale = 1;
  for (int i = len - 2; i >= 0 && is_digit(p[i]); --i) {
    if (scale > 10000000000LL) {
      if (p[i] != '0') return false;
      continue;
    }
    value += (p[i] - '0') * scale;
    scale *= 10;
    if (value > 0xFFFFFFFFLL) return false;
  }
  *v = neg ? -value : value;
  return true;
}

int64_t load_bin(const uint8_t* p, uint16_t len, bool is_signed) {
  if (len == 1) return is_signed ? static_cast<int8_t>(p[0]) : p[0];
  if (len == 2) return is_signed ? static_cast<int16_t>(ld_le16(p, 0)) : ld_le16(p, 0);
  // Each arm widened on its own: a common type of the two would be unsigned.
  return is_signed ? int64_t{static_cast<int32_t>(ld_le32(p, 0))} : int64_t{ld_le32(p, 0)};
}

bool store_bin(uint8_t* p, uint16_t len, int64_t v) {
  if (len == 1) {
    if (v < -128 || v > 255) return false;
    p[0] = static_cast<uint8_t>(v);
  } else if (len == 2) {
    if (v < -32768 || v > 65535) return false;
    st_le16(p, 0, static_cast<uint16_t>(v));
  } else {
    if (v < INT32_MIN || v > UINT32_MAX) return false;
    st_le32(p, 0, static_cast<uint32_t>(v));
  }
  return true;
}

// ---- packed decimal ----

// Digits of the packed field's halves from `first` up to the sign half.
bool packed_text(const uint8_t* p, int halves, int first, char* out) {
  for (int h = first; h < halves; ++h) {
    const uint8_t d = (h & 1) ? (p[h / 2] & 0x0F) : (p[h / 2] >> 4);
    if (d > 9) return false;
    out[h - first] = static_cast<char>('0' + d);
  }
  return true;
}

// Packs the digits of `text` (a "." passed over, the digits after it
// counted into *decimals) right-aligned into the `halves` digit halves of
// `p`, which was cleared, and the sign the character after the digits
// gives into the last byte's low half. A text with more digits than the
// field keeps packing only while the field lasts.
void pack_text(const char* text, int len, uint8_t* p, int halves, int* decimals) {
  int count = 0, end = 0;
  for (; end < len && (is_digit(text[end]) || text[end] == '.'); ++end) count += is_digit(text[end]);
  int h = count < halves ? halves - count : 0;
  bool after_point = false;
  *decimals = 0;
  for (int i = 0; i < end && h < halves; ++i) {
    if (text[i] == '.') {
      after_point = true;
      continue;
    }
    const uint8_t d = static_cast<uint8_t>(text[i] - '0');
    p[h / 2] |= (h & 1) ? d : static_cast<uint8_t>(d << 4);
    ++h;
    if (after_point) ++*decimals;
  }
  const bool neg = end < len && text[end] == '-';
  const int last = (halves + 1) / 2 - 1;
  p[last] = static_cast<uint8_t>((p[last] & 0xF0) | (neg ? pd_neg_sign() : pd_pos_sign()));
}

// ---- dates ----

// The initial-value map repeats the data fields chunk by chunk at native
// offsets of each INITIAL record: its masks are found by portable offset.
bool msk_get(const tme& t, uint8_t* msk) {
  const uint16_t key = t.msk_bank ? static_cast<uint16_t>(kMskInitBank | t.port_off) : t.nat_off;
  return msk_read(key, msk) && ld_le16(msk, MSK_LEN) == t.nat_len;
}

std_date stored_of(const uint8_t* msk, uint8_t* raw) {
  std_date s{};
  s.raw_len = ld_le16(msk, MSK_LEN);
  s.raw = raw;
  s.mask_len = ld_le16(msk, MSK_MASK_LEN);
  s.mask = reinterpret_cast<const char*>(msk + MSK_MASK);
  s.type = msk[MSK_TYPE];
  s.first = msk[MSK_FIRST];
  s.last = msk[MSK_LAST];
  s.doy = msk[MSK_DOY];
  s.h24 = msk[MSK_H24];
  return s;
}

bool valid_levels(const tme& t) { return t.digits >= t.decimals && t.digits <= 8 && t.decimals >= 1; }

int date_to_port(const tme& t, const uint8_t* native, char* port) {
  uint8_t msk[kMskSize];
  uint8_t raw[kDateRawMax];
  if (!valid_levels(t) || t.nat_len > sizeof raw || !msk_get(t, msk))
    return sys_err("MU", __LINE__, "native_to_port() - bad internal date at %u", t.nat_off), 0;
  memcpy(raw, native + t.nat_off, t.nat_len);
  std_date s = stored_of(msk, raw);
  if (!cv_ntos_date(&s)) return sys_err("MU", __LINE__, "native_to_port() - bad internal date at %u", t.nat_off), 0;
  char uni[kUniversalLen];
  const size_t n = static_cast<size_t>(t.digits - t.decimals) * 2 + 2;
  const size_t len = n < t.port_len ? n : t.port_len;
  // An empty date is "0+": the reader takes it for all sixteen zeros.
  bool empty = true;
  for (int8_t part : s.part) empty &= part == 0;
  if (empty) {
    memset(port + t.port_off, '0', len);
    if (len > 1) port[t.port_off + 1] = '+';
    return 1;
  }
  std_date u{};
  u.raw_len = kUniversalLen;
  u.raw = reinterpret_cast<uint8_t*>(uni);
  u.type = DT_UNIVERSAL;
  u.first = 8, u.last = 1;
  memcpy(u.part, s.part, sizeof u.part);
  if (!cv_ston_date(&u)) return sys_err("MU", __LINE__, "native_to_port() - bad internal date at %u", t.nat_off), 0;
  memcpy(port + t.port_off, uni + (8 - t.digits) * 2, len);
  return 1;
}

int date_to_native(const tme& t, uint8_t* native, const char* port) {
  uint8_t msk[kMskSize];
  if (!valid_levels(t) || t.nat_len > kDateRawMax || !msk_get(t, msk))
    return sys_err("MU", __LINE__, "port_to_native() - bad portable date"), 0;
  const char* p = port + t.port_off;
  const size_t n = static_cast<size_t>(t.digits - t.decimals) * 2 + 2;
  const size_t len = n < t.port_len ? n : t.port_len;
  char uni[kUniversalLen];
  if (len >= 2 && p[0] == '0' && p[1] == '+') memset(uni, '0', sizeof uni);
  else if (all_blank(p, len)) memset(uni, ' ', sizeof uni);
  else memset(uni, '-', sizeof uni), memcpy(uni + (8 - t.digits) * 2, p, len);
  std_date u{};
  u.raw_len = kUniversalLen;
  u.raw = reinterpret_cast<uint8_t*>(uni);
  u.type = DT_UNIVERSAL;
  u.first = 8, u.last = 1;
  uint8_t raw[kDateRawMax] = {};
  std_date s = stored_of(msk, raw);
  bool ok = cv_ntos_date(&u);
  if (ok) {
    memcpy(s.part, u.part, sizeof s.part);
    ok = cv_ston_date(&s);
  }
  if (!ok) {
    if (!getenv("KIVO_PORTABLE_DATE")) return sys_err("MU", __LINE__, "port_to_native() - bad portable date"), 0;
    // The blank date of the field's form, not what the failed conversion left.
    memset(raw, 0, sizeof raw);
    s = stored_of(msk, raw);
    for (int8_t& part : s.part) part = kPartNotGiven;
    if (!cv_ston_date(&s)) return 0;
  }
  memcpy(native + t.nat_off, raw, t.nat_len);
  return 1;
}

// ---- one kind each ----

int verb_to_port(const tme& t, const uint8_t* native, char* port) {
  const uint16_t verb = ld_le16(native, t.nat_off);
  char* out = port + t.port_off;
  memset(out, ' ', t.port_len);
  if (verb < kVerbCount) {
    memcpy(out, verb_spell_tbl[verb], t.port_len < kVerbLen ? t.port_len : kVerbLen);
  } else if (verb < 255) {
    // A number between the last verb and 255 has no word: blanks, as 255.
    sys_err("MU", __LINE__, "native_to_port() - verb number %u has no word", verb);
  }
  return 1;
}

int verb_to_native(const tme& t, uint8_t* native, const char* port) {
  const char* p = port + t.port_off;
  if (all_blank(p, t.port_len)) return st_le16(native, t.nat_off, kNoVerb), 1;
  char word[kVerbLen];
  memset(word, ' ', sizeof word);
  memcpy(word, p, t.port_len < kVerbLen ? t.port_len : kVerbLen);
  if (t.port_len <= kVerbLen || all_blank(p + kVerbLen, t.port_len - kVerbLen))
    for (uint16_t v = 0; v < kVerbCount; ++v)
      if (memcmp(word, verb_spell_tbl[v], kVerbLen) == 0) return st_le16(native, t.nat_off, v), 1;
  st_le16(native, t.nat_off, 0);
  return sys_err("MU", __LINE__, "port_to_native() - bad statement opcode"), 0;
}

int bin_to_port(const tme& t, const uint8_t* native, char* port) {
  if (t.nat_len == 3 || t.nat_len == 0) return sys_err("MU", __LINE__, "native_to_port() - bad data type"), 0;
  int64_t v = load_bin(native + t.nat_off, t.nat_len, t.kind == PK_SIGNED);
  if (!put_number(v, port + t.port_off, t.port_len))
    return sys_err("MU", __LINE__, "native_to_port() - value %lld of the field at %u does not fit %u characters",
                   static_cast<long long>(v), t.nat_off, t.port_len),
           0;
  if (t.kind == PK_UNSIGNED) port[t.port_off + t.port_len - 1] = '+';
  return 1;
}

int bin_to_native(const tme& t, uint8_t* native, const char* port) {
  if (t.nat_len == 3 || t.nat_len == 0) return sys_err("MU", __LINE__, "port_to_native() - bad data type"), 0;
  int64_t v = 0;
  if (!get_number(port + t.port_off, t.port_len, &v) || !store_bin(native + t.nat_off, t.nat_len, v))
    return sys_err("MU", __LINE__, "port_to_native() - value of the field at %u does not fit %u bytes", t.nat_off,
                   t.nat_len),
           0;
  return 1;
}

int packed_to_port(const tme& t, const uint8_t* native, char* port) {
  const uint8_t* p = native + t.nat_off;
  const int halves = 2 * t.nat_len - 1;
  const bool varpt = t.kind == PK_VARPT;
  const int digit_halves = varpt ? halves - 2 : halves;
  if (t.nat_len < (varpt ? 2 : 1) || t.nat_len > kPackedMax)
    return sys_err("MU", __LINE__, "native_to_port() - bad data type"), 0;
  char digits[2 * kPackedMax];
  if (!packed_text(p, digit_halves, 0, digits))
    return sys_err("MU", __LINE__, "native_to_port() - bad packed field at %u", t.nat_off), 0;
  const uint8_t sign_byte = p[(digit_halves + 1) / 2 - 1] & 0x0F;
  const char sign = sign_byte == pd_neg_sign() ? '-' : '+';
  char* out = port + t.port_off;
  if (!varpt) {
    if (t.port_len < 1 || !put_digits(digits, digit_halves, out, t.port_len - 1))
      return sys_err("MU", __LINE__, "native_to_port() - value of the field at %u does not fit %u characters",
                     t.nat_off, t.port_len),
             0;
    out[t.port_len - 1] = sign;
    return 1;
  }
  // Digits, ".", the decimal digits, the sign: what the reader packs back.
  const int places = p[t.nat_len - 1];
  if (places > digit_halves || digit_halves + 2 > t.port_len)
    return sys_err("MU", __LINE__, "native_to_port() - bad packed field at %u", t.nat_off), 0;
  memset(out, ' ', t.port_len);
  memcpy(out, digits, static_cast<size_t>(digit_halves - places));
  out[digit_halves - places] = '.';
  memcpy(out + digit_halves - places + 1, digits + digit_halves - places, static_cast<size_t>(places));
  out[digit_halves + 1] = sign;
  return 1;
}

int packed_to_native(const tme& t, uint8_t* native, const char* port) {
  uint8_t* p = native + t.nat_off;
  const bool varpt = t.kind == PK_VARPT;
  if (t.nat_len < (varpt ? 2 : 1) || t.nat_len > kPackedMax)
    return sys_err("MU", __LINE__, "port_to_native() - bad data type"), 0;
  memset(p, 0, t.nat_len);
  const int bytes = varpt ? t.nat_len - 1 : t.nat_len;
  int places = 0;
  pack_text(port + t.port_off, t.port_len, p, 2 * bytes - 1, &places);
  if (varpt) p[t.nat_len - 1] = static_cast<uint8_t>(places);
  return 1;
}

int occ_to_port(const tme& t, const uint8_t* native, char* port) {
  if (t.nat_len < 4) return sys_err("MU", __LINE__, "native_to_port() - bad data type"), 0;
  const uint8_t* p = native + t.nat_off;
  char* out = port + t.port_off;
  memset(out, ' ', t.port_len);
  switch (ld_le16(p, 2)) {
    case 3: memcpy(out, "ALL", t.port_len < 3 ? t.port_len : 3); return 1;
    case 1: memcpy(out, p, t.port_len < 2 ? t.port_len : 2); return 1;
    case 2: return 1;
    case 0:
      if (put_number(static_cast<int16_t>(ld_le16(p, 0)), out, t.port_len)) return 1;
      return sys_err("MU", __LINE__, "native_to_port() - occurrence of the field at %u does not fit", t.nat_off), 0;
    default: return sys_err("MU", __LINE__, "native_to_port() - bad occurrence kind"), 0;
  }
}

int occ_to_native(const tme& t, uint8_t* native, const char* port) {
  if (t.nat_len < 4) return sys_err("MU", __LINE__, "port_to_native() - bad data type"), 0;
  uint8_t* p = native + t.nat_off;
  const char* in = port + t.port_off;
  const bool letter = t.port_len && ((in[0] >= 'A' && in[0] <= 'Z') || (in[0] >= 'a' && in[0] <= 'z'));
  if (all_blank(in, t.port_len)) return st_le16(p, 0, 0), st_le16(p, 2, 2), 1;
  if (t.port_len >= 3 && memcmp(in, "ALL", 3) == 0 && all_blank(in + 3, t.port_len - 3u))
    return st_le16(p, 0, 0), st_le16(p, 2, 3), 1;
  if (letter) {
    p[0] = static_cast<uint8_t>(in[0]);
    p[1] = static_cast<uint8_t>(t.port_len > 1 ? in[1] : ' ');
    return st_le16(p, 2, 1), 1;
  }
  int64_t v = 0;
  if (!get_number(in, t.port_len, &v) || v < -32768 || v > 32767)
    return sys_err("MU", __LINE__, "port_to_native() - bad occurrence of the field at %u", t.nat_off), 0;
  st_le16(p, 0, static_cast<uint16_t>(v));
  st_le16(p, 2, 0);
  return 1;
}

}  // namespace

int msk_read(uint16_t key, uint8_t* msk) {
  memset(msk, 0, kMskSize);
  st_le16(msk, MSK_KEY, key);
  if (!mu_msk_arb) return checkstat(0, "Bad MSK file read ", "MU", __LINE__), 0;
  PROTO_FULL(mu_msk_arb, 0, msk);
  mu_msk_arb->arb_len = kMskSize;
  mu_msk_arb->arb_mod = ARB_EQUAL;
  const int found = fm_read(mu_msk_arb);
  mu_msk_arb->arb_mod = 0;
  if (!found) checkstat(mu_msk_arb->arb_stat, "Bad MSK file read ", "MU", __LINE__);
  return found;
}

void tme_store(const tme& t, uint8_t* out) {
  st_le16(out, TME_NAT_OFF, t.nat_off);
  st_le16(out, TME_PORT_OFF, t.port_off);
  st_le16(out, TME_NAT_LEN, t.nat_len);
  st_le16(out, TME_PORT_LEN, t.port_len);
  out[TME_KIND] = t.kind;
  out[TME_DIGITS] = t.digits;
  out[TME_DECIMALS] = t.decimals;
  out[TME_MSK_BANK] = t.msk_bank;
}

tme tme_load(const uint8_t* in) {
  return {ld_le16(in, TME_NAT_OFF),
          ld_le16(in, TME_PORT_OFF),
          ld_le16(in, TME_NAT_LEN),
          ld_le16(in, TME_PORT_LEN),
          in[TME_KIND],
          in[TME_DIGITS],
          in[TME_DECIMALS],
          in[TME_MSK_BANK]};
}

uint8_t date_kind_of(uint8_t type) {
  switch (type) {
    case 3: return 9;
    case 4: return 10;
    case 6: return 11;
    case 7: return 12;
    case 9: return 13;
    case 10: return 14;
    default: return 0;
  }
}

uint8_t date_type_of(uint8_t kind) {
  static const uint8_t types[] = {3, 4, 6, 7, 9, 10};
  return kind >= PK_DATE_FIRST && kind <= PK_DATE_LAST ? types[kind - PK_DATE_FIRST] : 0;
}

int bin_width_digits(uint16_t width) { return width == 1 ? 3 : width == 2 ? 5 : 10; }

int update_tme_blk(tme* t, int pos, int digits, int decimals) {
  if (!t->port_len) {
    switch (t->kind) {
      case PK_VERB: t->port_len = kVerbLen; break;
      case PK_BYTES: t->port_len = t->nat_len; break;
      // A binary's text holds every value of its width, whatever its digits.
      case PK_SIGNED:
      case PK_UNSIGNED: t->port_len = static_cast<uint16_t>(bin_width_digits(t->nat_len) + 1); break;
      case PK_LOGIC: t->port_len = 1; break;
      case PK_PACKED:
      case PK_VARPT: t->port_len = static_cast<uint16_t>(digits + decimals + 1); break;
      case PK_OCC: t->port_len = 6; break;
      case PK_FILLER: t->kind = PK_BYTES; break;
      default:
        if (t->kind >= PK_DATE_FIRST && t->kind <= PK_DATE_LAST) {
          t->port_len = static_cast<uint16_t>((digits - decimals) * 2 + 2);
          break;
        }
        sys_err("MU", __LINE__, "update_tme_blk() - bad data type %d", t->kind);
        t->port_len = 0;
        return -1;
    }
  }
  t->port_off = static_cast<uint16_t>(pos);
  return t->port_len ? pos + t->port_len + 1 : pos;
}

int native_to_port(const tme& t, const uint8_t* native, char* port) {
  int ok = 1;
  switch (t.kind) {
    case PK_VERB: ok = verb_to_port(t, native, port); break;
    case PK_BYTES:
    case PK_FILLER:
      memcpy(port + t.port_off, native + t.nat_off, t.port_len < t.nat_len ? t.port_len : t.nat_len);
      if (t.port_len > t.nat_len) memset(port + t.port_off + t.nat_len, ' ', t.port_len - t.nat_len);
      break;
    case PK_SIGNED:
    case PK_UNSIGNED: ok = bin_to_port(t, native, port); break;
    case PK_LOGIC: {
      const uint8_t c = native[t.nat_off];
      if (t.port_len) port[t.port_off] = c == '1' ? 'Y' : c == '0' ? 'N' : ' ';
      break;
    }
    case PK_PACKED:
    case PK_VARPT: ok = packed_to_port(t, native, port); break;
    case PK_OCC: ok = occ_to_port(t, native, port); break;
    default:
      if (t.kind >= PK_DATE_FIRST && t.kind <= PK_DATE_LAST) {
        ok = date_to_port(t, native, port);
        break;
      }
      return sys_err("MU", __LINE__, "native_to_port() - bad data type"), 0;
  }
  if (ok && t.port_len) port[t.port_off + t.port_len] = ' ';
  return ok;
}

int port_to_native(const tme& t, uint8_t* native, const char* port) {
  switch (t.kind) {
    case PK_VERB: return verb_to_native(t, native, port);
    case PK_BYTES:
    case PK_FILLER:
      memcpy(native + t.nat_off, port + t.port_off, t.port_len < t.nat_len ? t.port_len : t.nat_len);
      return 1;
    case PK_SIGNED:
    case PK_UNSIGNED: return bin_to_native(t, native, port);
    case PK_LOGIC: {
      const char c = t.port_len ? port[t.port_off] : ' ';
      native[t.nat_off] = c == 'Y' ? '1' : c == 'N' ? '0' : ' ';
      return 1;
    }
    case PK_PACKED:
    case PK_VARPT: return packed_to_native(t, native, port);
    case PK_OCC: return occ_to_native(t, native, port);
    default:
      if (t.kind >= PK_DATE_FIRST && t.kind <= PK_DATE_LAST) return date_to_native(t, native, port);
      return sys_err("MU", __LINE__, "port_to_native() - bad data type"), 0;
  }
}

}  // namespace kivo
