// The logical key tables: physical key names, the default combinations and
// the OPTION rule, and the builder that turns recorded key bytes into
// keymap rows.
#include "screen/tm_keys.h"

#include <cstdio>

namespace kivo {

const char* const tm_phys_key_names[kPhysKeys] = {
    "BACKSPACE",   "END",      "RETURN/ENTER", "TAB",          "OPTION",      "GO",
    "PAN",         "SCROLL",   "CURSOR UP",    "CURSOR RIGHT", "CURSOR DOWN", "CURSOR LEFT",
    "INSERT",      "DELETE",   "SCAN",         "SELECT",       "HELP",        "PREVIOUS ACTIVITY",
    "NEXT RECORD", "ADD MODE", "DELETE MODE",  "INQUIRY MODE", "CHANGE MODE", "PREVIOUS SCREEN",
    "NEXT SCREEN", "0 KEY",    "1 KEY",        "2 KEY",        "3 KEY",       "4 KEY",
    "5 KEY",       "6 KEY",    "7 KEY",        "8 KEY",        "9 KEY",       "HOME",
    "TAB DOWN"};

namespace {

constexpr uint16_t E = kKeystrokeEnd;
constexpr uint16_t P(int key) { return static_cast<uint16_t>(kPartPhys + key); }

// Literal values by index 1-10, and whether the GO key's bytes come first.
constexpr uint16_t kLiteral[kLiterals + 1] = {0, 21, 5, 45, 43, 112, 18, 23, 77, 109, 270};
constexpr bool kLiteralGo[kLiterals + 1] = {false, false, false, true, true, true, false, false, true, true, false};

}  // namespace

const tm_combo tm_default_combos[kDefaultCombos] = {
    {257, "SCAN", {P(PK_SCAN), E, E, E, E}},
    {259, "SELECT KEY", {P(PK_SELECT), E, E, E, E}},
    {260, "PREV IMAGE", {P(PK_PREV_ACTIVITY), E, E, E, E}},
    {261, "NEXT RECORD", {P(PK_NEXT_RECORD), E, E, E, E}},
    {262, "REDISPLAY", {P(PK_GO), P(PK_BACKSPACE), E, E, E}},
    {263, "SPLIT", {P(PK_GO), P(PK_INSERT), E, E, E}},
    {264, "END PARAGRAPH", {P(PK_GO), P(PK_RETURN), E, E, E}},
    {265, "ADD MODE", {P(PK_ADD_MODE), E, E, E, E}},
    {266, "DELETE MODE", {P(PK_DELETE_MODE), E, E, E, E}},
    {267, "INQUIRE MODE", {P(PK_INQUIRY_MODE), E, E, E, E}},
    {268, "CHANGE MODE", {P(PK_CHANGE_MODE), E, E, E, E}},
    {271, "SET ATTRIBS", {P(PK_GO), P(PK_SELECT), E, E, E}},
    {272, "DIRECT PROC1", {P(PK_GO), P(PK_DIGIT0 + 1), E, E, E}},
    {273, "DIRECT PROC2", {P(PK_GO), P(PK_DIGIT0 + 2), E, E, E}},
    {274, "EMERGENCY END", {2, E, E, E, E}},
    {274, "END", {P(PK_END), E, E, E, E}},
    {276, "HELP ON ITEM", {P(PK_HELP), E, E, E, E}},
    {277, "PRINT SCRN-1", {5, E, E, E, E}},
    {278, "CANCEL", {P(PK_GO), P(PK_END), E, E, E}},
    {279, "SHOW MSG-1", {8, E, E, E, E}},
    {279, "SHOW MSG-2", {9, E, E, E, E}},
    {280, "HELP ON OPT", {P(PK_OPTION), P(PK_HELP), E, E, E}},
    {304, "ENTER", {P(PK_RETURN), E, E, E, E}},
    {305, "ACK DEL", {P(PK_GO), P(PK_DELETE_MODE), E, E, E}},
    {320, "SCROLL 1ST-1", {P(PK_SCROLL), P(PK_SCROLL), P(PK_SCROLL), P(PK_UP), E}},
    {320, "SCROLL 1ST-2", {P(PK_GO), P(PK_UP), E, E, E}},
    {321, "SCROLL LAST-1", {P(PK_SCROLL), P(PK_SCROLL), P(PK_SCROLL), P(PK_DOWN), E}},
    {321, "SCROLL LAST-2", {P(PK_GO), P(PK_DOWN), E, E, E}},
    {322, "SCROLL PREV-1", {P(PK_SCROLL), P(PK_SCROLL), P(PK_UP), E, E}},
    {322, "SCROLL PREV-2", {P(PK_PREV_SCREEN), E, E, E, E}},
    {323, "SCROLL NEXT-1", {P(PK_SCROLL), P(PK_SCROLL), P(PK_DOWN), E, E}},
    {323, "SCROLL NEXT-2", {P(PK_NEXT_SCREEN), E, E, E, E}},
    {324, "SCROLL UP", {P(PK_SCROLL), P(PK_UP), E, E, E}},
    {325, "SCROLL DOWN", {P(PK_SCROLL), P(PK_DOWN), E, E, E}},
    {10000, "PAN TOP", {P(PK_PAN), P(PK_PAN), P(PK_PAN), P(PK_UP), E}},
    {10001, "PAN BOTTOM", {P(PK_PAN), P(PK_PAN), P(PK_PAN), P(PK_DOWN), E}},
    {10002, "PAN LT MRGN", {P(PK_PAN), P(PK_PAN), P(PK_PAN), P(PK_LEFT), E}},
    {10002, "PAN LT MRGN", {P(PK_SCROLL), P(PK_SCROLL), P(PK_SCROLL), P(PK_LEFT), E}},
    {10003, "PAN RT MRGN", {P(PK_PAN), P(PK_PAN), P(PK_PAN), P(PK_RIGHT), E}},
    {10003, "PAN RT MRGN", {P(PK_SCROLL), P(PK_SCROLL), P(PK_SCROLL), P(PK_RIGHT), E}},
    {10004, "PAN UP ONE", {P(PK_PAN), P(PK_UP), E, E, E}},
    {10005, "PAN UP SCRN", {P(PK_PAN), P(PK_PAN), P(PK_UP), E, E}},
    {10006, "PAN DN ONE", {P(PK_PAN), P(PK_DOWN), E, E, E}},
    {10007, "PAN DN SCRN", {P(PK_PAN), P(PK_PAN), P(PK_DOWN), E, E}},
    {10008, "PAN LT ONE", {P(PK_PAN), P(PK_LEFT), E, E, E}},
    {10008, "PAN LT ONE", {P(PK_SCROLL), P(PK_LEFT), E, E, E}},
    {10009, "PAN LT SCRN", {P(PK_PAN), P(PK_PAN), P(PK_LEFT), E, E}},
    {10009, "PAN LT SCRN", {P(PK_SCROLL), P(PK_SCROLL), P(PK_LEFT), E, E}},
    {10010, "PAN RT ONE", {P(PK_PAN), P(PK_RIGHT), E, E, E}},
    {10010, "PAN RT ONE", {P(PK_SCROLL), P(PK_RIGHT), E, E, E}},
    {10011, "PAN RT SCRN", {P(PK_PAN), P(PK_PAN), P(PK_RIGHT), E, E}},
    {10011, "PAN RT SCRN", {P(PK_SCROLL), P(PK_SCROLL), P(PK_RIGHT), E, E}},
    {10012, "FIND PATTERN", {P(PK_GO), P(PK_SCAN), E, E, E}},
    {20000, "TAB", {P(PK_TAB), E, E, E, E}},
    {20000, "TAB 2", {10, E, E, E, E}},
    {20001, "BACK TAB", {P(PK_GO), P(PK_TAB), E, E, E}},
    {20002, "UP", {P(PK_UP), E, E, E, E}},
    {20003, "DOWN", {P(PK_DOWN), E, E, E, E}},
    {20004, "LEFT", {P(PK_LEFT), E, E, E, E}},
    {20005, "RIGHT", {P(PK_RIGHT), E, E, E, E}},
    {20006, "INSERT", {P(PK_INSERT), E, E, E, E}},
    {20007, "BACKSPACE", {P(PK_BACKSPACE), E, E, E, E}},
    {20008, "DEL TO BEG", {1, E, E, E, E}},
    {20009, "DEL END ITEM", {P(PK_GO), P(PK_DELETE), E, E, E}},
    {20010, "MOVE TO BEG", {P(PK_GO), P(PK_LEFT), E, E, E}},
    {20011, "MOVE TO END", {P(PK_GO), P(PK_RIGHT), E, E, E}},
    {20013, "REDRAW SCRN", {7, E, E, E, E}},
    {20014, "DELETE CHAR", {P(PK_DELETE), E, E, E, E}},
    {20015, "CUT", {3, E, E, E, E}},
    {20016, "PASTE", {4, E, E, E, E}},
    {20017, "GO-ADD", {P(PK_GO), P(PK_ADD_MODE), E, E, E}},
    {20018, "GO-INQUIRE", {P(PK_GO), P(PK_INQUIRY_MODE), E, E, E}},
    {20019, "GO-CHANGE", {P(PK_GO), P(PK_CHANGE_MODE), E, E, E}},
    {20020, "MACRO", {6, E, E, E, E}},
    {20025, "HOME", {P(PK_HOME), E, E, E, E}},
    {20026, "TAB DOWN", {P(PK_TAB_DOWN), E, E, E, E}},
};

namespace {

// Appends the values of `src` (ended by 65535 or by the limit) at out[*n].
bool append(uint16_t out[kKeystrokeMax], int* n, const uint16_t* src, int max) {
  for (int i = 0; i < max && src[i] != kKeystrokeEnd; ++i) {
    if (*n == kKeystrokeMax) return false;
    out[(*n)++] = src[i];
  }
  return true;
}

}  // namespace

int tm_make_combo(const uint16_t phys[kPhysKeys][kKeystrokeMax], const uint16_t parts[5], uint16_t out[kKeystrokeMax]) {
  int n = 0;
  for (int i = 0; i < kKeystrokeMax; ++i) out[i] = kKeystrokeEnd;
  for (int p = 0; p < 5 && parts[p] != kKeystrokeEnd; ++p) {
    uint16_t part = parts[p];
    bool ok = true;
    if (part >= kPartPhys) {
      ok = part - kPartPhys < kPhysKeys && append(out, &n, phys[part - kPartPhys], kKeystrokeMax);
    } else if (part >= 1 && part <= kLiterals) {
      if (kLiteralGo[part]) ok = append(out, &n, phys[PK_GO], kKeystrokeMax);
      ok = ok && append(out, &n, &kLiteral[part], 1);
    }
    if (!ok) return -1;
  }
  return n;
}

namespace {

bool put_row(int16_t row[kKeymapRowWords], uint16_t code, const uint16_t keys[kKeystrokeMax], int n) {
  if (n <= 0) return false;
  row[0] = static_cast<int16_t>(code);
  for (int i = 0; i < kKeystrokeMax; ++i) row[1 + i] = i < n ? static_cast<int16_t>(keys[i]) : -1;
  return true;
}

}  // namespace

uint16_t tm_literal(int index) { return index >= 1 && index <= kLiterals ? kLiteral[index] : 0; }

uint16_t tm_combo_parts(size_t index, uint16_t parts[5]) {
  if (index < kDefaultCombos) {
    for (int i = 0; i < 5; ++i) parts[i] = tm_default_combos[index].parts[i];
    return tm_default_combos[index].code;
  }
  const uint16_t opt = static_cast<uint16_t>(index - kDefaultCombos);
  const uint16_t digit = P(PK_DIGIT0);
  if (opt > 9) {
    const uint16_t tens[5] = {P(PK_OPTION), P(PK_OPTION), static_cast<uint16_t>(digit + opt / 10),
                              static_cast<uint16_t>(digit + opt % 10), E};
    for (int i = 0; i < 5; ++i) parts[i] = tens[i];
  } else {
    const uint16_t one[5] = {P(PK_OPTION), static_cast<uint16_t>(digit + opt), E, E, E};
    for (int i = 0; i < 5; ++i) parts[i] = one[i];
  }
  return opt;
}

int tm_default_keymap(const uint16_t phys[kPhysKeys][kKeystrokeMax], int16_t rows[][kKeymapRowWords]) {
  int count = 0;
  uint16_t keys[kKeystrokeMax], parts[5];
  for (size_t i = 0; i < kAllCombos; ++i) {
    const uint16_t code = tm_combo_parts(i, parts);
    if (put_row(rows[count], code, keys, tm_make_combo(phys, parts, keys))) ++count;
  }
  rows[count][0] = -1;
  return count;
}

const char* tm_key_name(uint16_t code, char* buf) {
  if (code <= LK_OPTION_LAST) {
    snprintf(buf, 12, "OPTION %u", code);
    return buf;
  }
  if (code == LK_JOIN) return "JOIN";
  for (const tm_combo& c : tm_default_combos)
    if (c.code == code) return c.name;
  return nullptr;
}

void tm_for_each_key_name(void (*fn)(void* ctx, const char* name, uint16_t code), void* ctx) {
  for (const tm_combo& c : tm_default_combos) fn(ctx, c.name, c.code);
  fn(ctx, "JOIN", LK_JOIN);
  char buf[12];
  for (uint16_t opt = 0; opt <= LK_OPTION_LAST; ++opt) fn(ctx, tm_key_name(opt, buf), opt);
}

}  // namespace kivo
