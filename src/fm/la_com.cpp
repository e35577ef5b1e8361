// The language-dependent words of the common block, the statement words of
// the code listing, and the currency and separators.
//
// A word whose message is missing keeps what it had (the built-in English
// of com_fill); a statement word whose message is missing is left empty.
#include <cctype>
#include <cstring>

#include "fm/la.h"
#include "foundation/app_date_mask.h"
#include "foundation/sysparm_record.h"
#include "foundation/text.h"

namespace kivo {

char opcode_tbl[kOpcodeEntries][kOpcodeWordLen];

namespace {

constexpr uint32_t kOpcodeFirstMsg = 105000;
constexpr uint32_t kOpcodeMsgStep = 10;
constexpr size_t kPtypeNameLen = 30;

// Where each language-dependent word goes: message, field, width, upper-cased.
struct com_word {
  uint32_t msg;
  char* dst;
  size_t width;
  bool upper;
};

char g_ptype[13][kPtypeNameLen];

// Built-in settings, the last of the three sources: 60 blanks, currency,
// currency flag, decimal point, thousands separator.
constexpr size_t kSepBlockLen = 66;
enum : size_t { SEP_CURRENCY = 60, SEP_CUR_FLAG = 63, SEP_DEC = 64, SEP_THOU = 65 };
constexpr size_t kApplSepOffset = 188;
constexpr size_t kSysparmSepOffset = SYSPARM_FORMATS;

const uint8_t* last_chance() {
  static uint8_t block[kSepBlockLen];
  memset(block, ' ', SEP_CURRENCY);
  memcpy(block + SEP_CURRENCY, "$  ", 3);
  block[SEP_CUR_FLAG] = 0;
  block[SEP_DEC] = '.';
  block[SEP_THOU] = ',';
  return block;
}

bool unset(uint8_t c) { return c == ' ' || c == '\0'; }

// Copies message `msg` blank-filled into `width` bytes; 0 when it is missing.
int load_word(uint32_t msg, char* dst, size_t width, bool upper) {
  char text[kMsgTextMax + 1];
  if (!la_get_str(text, sizeof text, msg)) return 0;
  size_t n = strlen(text);
  memset(dst, ' ', width);
  memcpy(dst, text, n < width ? n : width);
  if (upper) {
    cstr s{static_cast<uint16_t>(width), dst};
    str_upper(&s);
  }
  return 1;
}

void load_labels() {
  static const uint32_t kLabelMsgs[11] = {790, 780, 770, 920, 910, 800, 810, 820, 900, 880, 890};
  for (int i = 0; i < 11; ++i) load_word(kLabelMsgs[i], com.labels[i], sizeof com.labels[i], false);
  for (int i = 0; i < 3; ++i) com.label_lens[i] = static_cast<uint16_t>(ut_buflen(com.labels[8 + i], 30));
}

void load_ptype_names() {
  static const uint32_t kPtypeMsgs[13] = {0, 930, 940, 950, 960, 970, 980, 1310, 1320, 1330, 1340, 0, 1350};
  for (int t = 0; t < 13; ++t) {
    if (!kPtypeMsgs[t]) continue;
    if (!com.ptype_names[t].ptr) memset(g_ptype[t], ' ', kPtypeNameLen);
    com.ptype_names[t] = {kPtypeNameLen, g_ptype[t]};
    load_word(kPtypeMsgs[t], g_ptype[t], kPtypeNameLen, false);
  }
}

void load_dates() {
  const com_word words[] = {
      {690, com.dt_letters, 16, false},
      {700, com.dt_letters + 16, 3, false},
      {710, com.ampm, sizeof com.ampm, true},
      {720, &com.day_abbr[0][0], sizeof com.day_abbr, true},
      {730, &com.day_names[0][0], sizeof com.day_names, true},
      {740, &com.month_abbr[0][0], sizeof com.month_abbr, true},
      {750, &com.month_names[0][0], sizeof com.month_names, true},
  };
  for (const com_word& w : words) load_word(w.msg, w.dst, w.width, w.upper);
  for (int i = 0; i < 8; ++i) com.day_lens[i] = static_cast<uint16_t>(ut_buflen(com.day_names[i], 10));
  for (int i = 0; i < 13; ++i) com.month_lens[i] = static_cast<uint16_t>(ut_buflen(com.month_names[i], 10));
}

}  // namespace

void load_opcode_words(size_t count) {
  for (size_t i = 0; i < count && i < kOpcodeEntries; ++i) {
    if (!load_word(kOpcodeFirstMsg + kOpcodeMsgStep * static_cast<uint32_t>(i), opcode_tbl[i], kOpcodeWordLen, false))
      memset(opcode_tbl[i], 0, kOpcodeWordLen);
  }
}

void str_upper(cstr* s) {
  for (uint16_t i = 0; i < s->len; ++i) s->ptr[i] = static_cast<char>(toupper(static_cast<unsigned char>(s->ptr[i])));
}

void load_com() {
  load_labels();
  const com_word words[] = {
      {670, com.yes_no, sizeof com.yes_no, false},
      {680, com.rel_ops, sizeof com.rel_ops, false},
      {580, com.andor, 3, false},
      {590, com.andor + 3, 3, false},
      {630, com.drcr, 2, false},
      {640, com.drcr + 2, 2, false},
  };
  for (const com_word& w : words) load_word(w.msg, w.dst, w.width, w.upper);
  load_dates();
  load_ptype_names();
  load_opcode_words(kOpcodeWords);
  la_get_dec_sep_cur();
}

void la_get_dec_sep_cur() {
  const ut_design_recs& recs = ut_get_design_recs();
  const uint8_t* appl = recs.dap ? recs.dap(com.cur_ap, com.cur_ver) : nullptr;
  const uint8_t* sysparm = recs.dsysparm ? recs.dsysparm() : nullptr;
  const uint8_t* src[3] = {appl ? appl + kApplSepOffset : nullptr, sysparm ? sysparm + kSysparmSepOffset : nullptr,
                           last_chance()};
  bool cur_done = false, dec_done = false, thou_done = false, flag_done = false;
  for (const uint8_t* s : src) {
    if (!s) continue;
    if (!cur_done && !(unset(s[SEP_CURRENCY]) && unset(s[SEP_CURRENCY + 1]) && unset(s[SEP_CURRENCY + 2]))) {
      memcpy(com.currency, s + SEP_CURRENCY, 3);
      com.currency_len = static_cast<uint16_t>(ut_buflen(com.currency, 3));
      cur_done = true;
    }
    if (!dec_done && !unset(s[SEP_DEC])) com.dec_sep = s[SEP_DEC], dec_done = true;
    if (!thou_done && !unset(s[SEP_THOU])) com.thou_sep = s[SEP_THOU], thou_done = true;
    if (!flag_done && s[SEP_CUR_FLAG] != 0) com.currency_flag = s[SEP_CUR_FLAG], flag_done = true;
  }
}

}  // namespace kivo
