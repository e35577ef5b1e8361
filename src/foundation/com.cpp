// Filling of the common block at start-up.
#include "foundation/com.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/text.h"

namespace kivo {

com_area com;

namespace {

constexpr const char* kLabels[11] = {"USER:",         "APPLICATION:",    "DATABASE:", "MENU ENTRY", "DATA ENTRY",
                                     "AUTO-READNEXT", "EXACT KEY REQ'D", "MODE:",     "(MORE)",     "WARNING",
                                     "ERROR"};
constexpr const char* kDayAbbr[8] = {"DAY", "MON", "TUE", "WED", "THU", "FRI", "SAT", "SUN"};
constexpr const char* kDayNames[8] = {"WEEKDAY",  "MONDAY", "TUESDAY",  "WEDNESDAY",
                                      "THURSDAY", "FRIDAY", "SATURDAY", "SUNDAY"};
constexpr const char* kMonthAbbr[13] = {"MMM", "JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                        "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr const char* kMonthNames[13] = {"MONTH", "JANUARY", "FEBRUARY",  "MARCH",   "APRIL",    "MAY",     "JUNE",
                                         "JULY",  "AUGUST",  "SEPTEMBER", "OCTOBER", "NOVEMBER", "DECEMBER"};

// Blank-padded copy of a C string into a fixed-width field.
void put_field(char* dst, size_t width, const char* src) {
  size_t n = strnlen(src, width);
  memcpy(dst, src, n);
  memset(dst + n, ' ', width - n);
}

uint16_t trimmed_len(const char* p, size_t n) { return static_cast<uint16_t>(ut_buflen(p, n)); }

// An 8-byte packed constant: 15 digits and the sign nibble.
void pack_const(uint8_t* out, int64_t v) {
  uint8_t sign = v < 0 ? pd_neg_sign() : pd_pos_sign();
  uint64_t m = v < 0 ? static_cast<uint64_t>(-v) : static_cast<uint64_t>(v);
  out[7] = static_cast<uint8_t>(((m % 10) << 4) | sign);
  m /= 10;
  for (int i = 6; i >= 0; --i) {
    out[i] = static_cast<uint8_t>((((m / 10) % 10) << 4) | (m % 10));
    m /= 100;
  }
}

// The binary constant of width w stands at base + 4w.
void bin_const(uint8_t* base, int32_t v) {
  base[4] = static_cast<uint8_t>(v);
  st_le16(base, 8, static_cast<uint16_t>(v));
  st_le32(base, 16, static_cast<uint32_t>(v));
}

// Sign halves from KIVO_PD_SIGNS: two letters, positive then negative.
void sign_nibbles(uint8_t& pos, uint8_t& neg) {
  pos = 0xC;
  neg = 0xD;
  const char* s = getenv("KIVO_PD_SIGNS");
  if (!s || strlen(s) < 2) return;
  int p = toupper(static_cast<unsigned char>(s[0])) - 55;
  int n = toupper(static_cast<unsigned char>(s[1])) - 55;
  // Only the non-digit halves can mark a sign, and the two must differ.
  if (p < 0xA || p > 0xF || n < 0xA || n > 0xF || p == n) return;
  pos = static_cast<uint8_t>(p);
  neg = static_cast<uint8_t>(n);
}

// Numeric constants the arithmetic reads by address: packed, binary, powers of ten.
void fill_numeric_constants() {
  uint8_t pos, neg;
  sign_nibbles(pos, neg);
  // The sign accessors read these two bytes, so they come first.
  com.pd_one[7] = pos;
  com.pd_minus1[7] = neg;
  pack_const(com.pd_minus1, -1);
  pack_const(com.pd_zero, 0);
  pack_const(com.pd_one, 1);
  pack_const(com.pd_two, 2);
  pack_const(com.pd_ten, 10);
  pack_const(com.pd_day_hsec, 8640000);
  pack_const(com.pd_int_min, -2147483648LL);
  pack_const(com.pd_int_max, 2147483647LL);
  bin_const(com.bin_minus1, -1);
  bin_const(com.bin_zero, 0);
  bin_const(com.bin_one, 1);
  bin_const(com.bin_two, 2);
  bin_const(com.bin_ten, 10);
  com.log_true = '1';
  com.log_false = '0';
  memset(com.blanks, ' ', sizeof com.blanks);
  uint32_t p10 = 1;
  for (auto& p : com.pow10) {
    p = p10;
    p10 *= 10;
  }
}

void fill_session_defaults() {
  com.sys_scope = com.proc_scope = com.spare_scope = com.subproc_scope = com.mark_scope = 1;
  com.hook_scope = 1;
  com.trace_on = 0;
  memset(com.user_id, ' ', sizeof com.user_id);
  memset(com.cur_db, ' ', sizeof com.cur_db);
  memset(com.cur_ap, ' ', sizeof com.cur_ap);
  memset(com.cur_ver, ' ', sizeof com.cur_ver);
  com.parag_char = 0xB6;
  com.uscore_char = '_';
}

// Texts a language file may later replace: labels, operators, currency, calendar names.
void fill_language_texts() {
  for (int i = 0; i < 11; ++i) put_field(com.labels[i], 30, kLabels[i]);
  for (int i = 0; i < 3; ++i) com.label_lens[i] = trimmed_len(com.labels[8 + i], 30);
  put_field(com.dt_sample, 60, "0807-06-05 04:03:02.01");
  put_field(com.dt_mask, 60, "~MC 55~SL, 44:03 ~AL");
  memset(com.lang_id, ' ', sizeof com.lang_id);
  memcpy(com.yes_no, "yYnN", 4);
  memcpy(com.rel_ops, "EQGEGTLELTNEIN", 14);
  memcpy(com.andor, "ANDOR ", 6);
  memcpy(com.drcr, "DRCR", 4);
  // Until the application or the system parameters say otherwise.
  memcpy(com.currency, "$  ", 3);
  com.currency_len = 1;
  com.currency_flag = 0;
  com.dec_sep = '.';
  com.thou_sep = ',';
  memcpy(com.dt_letters, "CCYYMMDDhhmmssthDDD", 19);
  memcpy(com.ampm, "AMPM", 4);
  for (int i = 0; i < 8; ++i) {
    memcpy(com.day_abbr[i], kDayAbbr[i], 3);
    put_field(com.day_names[i], 10, kDayNames[i]);
    com.day_lens[i] = trimmed_len(com.day_names[i], 10);
  }
  for (int i = 0; i < 13; ++i) {
    memcpy(com.month_abbr[i], kMonthAbbr[i], 3);
    put_field(com.month_names[i], 10, kMonthNames[i]);
    com.month_lens[i] = trimmed_len(com.month_names[i], 10);
  }
}

// Reads the paragraph and underscore characters, so it runs after those are set.
void fill_char_class() {
  for (int c = 0; c < 256; ++c) {
    uint8_t cls = CC_OTHER;
    if (c == ' ') cls = CC_BLANK;
    else if (c >= '0' && c <= '9') cls = CC_DIGIT;
    else if ((c >= 33 && c <= 126) || (c >= 161 && c <= 254)) cls = CC_PRINT;
    if (c == com.uscore_char) cls = CC_USCORE;
    if (c == com.parag_char) cls = CC_PARAG;
    com.char_class[c] = cls;
  }
}

}  // namespace

void com_fill(int argc, char** argv) {
  memset(&com, 0, sizeof com);
  com.argc = static_cast<uint16_t>(argc);
  com.argv = argv;
  fill_numeric_constants();
  fill_session_defaults();
  fill_language_texts();
  fill_char_class();
}

}  // namespace kivo
