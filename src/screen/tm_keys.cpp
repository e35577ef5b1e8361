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

// A combination's unused keystrokes, and a physical key as a keystroke.
constexpr uint16_t kEnd = kKeystrokeEnd;
constexpr uint16_t phys(int key) { return static_cast<uint16_t>(kPartPhys + key); }

// Literal values by index 1-10, and whether the GO key's bytes come first.
constexpr uint16_t kLiteral[kLiterals + 1] = {0, 21, 5, 45, 43, 112, 18, 23, 77, 109, 270};
constexpr bool kLiteralGo[kLiterals + 1] = {false, false, false, true, true, true, false, false, true, true, false};

}  // namespace

const tm_combo tm_default_combos[kDefaultCombos] = {
    {257, "SCAN", {phys(PK_SCAN), kEnd, kEnd, kEnd, kEnd}},
    {259, "SELECT KEY", {phys(PK_SELECT), kEnd, kEnd, kEnd, kEnd}},
    {260, "PREV IMAGE", {phys(PK_PREV_ACTIVITY), kEnd, kEnd, kEnd, kEnd}},
    {261, "NEXT RECORD", {phys(PK_NEXT_RECORD), kEnd, kEnd, kEnd, kEnd}},
    {262, "REDISPLAY", {phys(PK_GO), phys(PK_BACKSPACE), kEnd, kEnd, kEnd}},
    {263, "SPLIT", {phys(PK_GO), phys(PK_INSERT), kEnd, kEnd, kEnd}},
    {264, "END PARAGRAPH", {phys(PK_GO), phys(PK_RETURN), kEnd, kEnd, kEnd}},
    {265, "ADD MODE", {phys(PK_ADD_MODE), kEnd, kEnd, kEnd, kEnd}},
    {266, "DELETE MODE", {phys(PK_DELETE_MODE), kEnd, kEnd, kEnd, kEnd}},
    {267, "INQUIRE MODE", {phys(PK_INQUIRY_MODE), kEnd, kEnd, kEnd, kEnd}},
    {268, "CHANGE MODE", {phys(PK_CHANGE_MODE), kEnd, kEnd, kEnd, kEnd}},
    {271, "SET ATTRIBS", {phys(PK_GO), phys(PK_SELECT), kEnd, kEnd, kEnd}},
    {272, "DIRECT PROC1", {phys(PK_GO), phys(PK_DIGIT0 + 1), kEnd, kEnd, kEnd}},
    {273, "DIRECT PROC2", {phys(PK_GO), phys(PK_DIGIT0 + 2), kEnd, kEnd, kEnd}},
    {274, "EMERGENCY END", {2, kEnd, kEnd, kEnd, kEnd}},
    {274, "END", {phys(PK_END), kEnd, kEnd, kEnd, kEnd}},
    {276, "HELP ON ITEM", {phys(PK_HELP), kEnd, kEnd, kEnd, kEnd}},
    {277, "PRINT SCRN-1", {5, kEnd, kEnd, kEnd, kEnd}},
    {278, "CANCEL", {phys(PK_GO), phys(PK_END), kEnd, kEnd, kEnd}},
    {279, "SHOW MSG-1", {8, kEnd, kEnd, kEnd, kEnd}},
    {279, "SHOW MSG-2", {9, kEnd, kEnd, kEnd, kEnd}},
    {280, "HELP ON OPT", {phys(PK_OPTION), phys(PK_HELP), kEnd, kEnd, kEnd}},
    {304, "ENTER", {phys(PK_RETURN), kEnd, kEnd, kEnd, kEnd}},
    {305, "ACK DEL", {phys(PK_GO), phys(PK_DELETE_MODE), kEnd, kEnd, kEnd}},
    {320, "SCROLL 1ST-1", {phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_UP), kEnd}},
    {320, "SCROLL 1ST-2", {phys(PK_GO), phys(PK_UP), kEnd, kEnd, kEnd}},
    {321, "SCROLL LAST-1", {phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_DOWN), kEnd}},
    {321, "SCROLL LAST-2", {phys(PK_GO), phys(PK_DOWN), kEnd, kEnd, kEnd}},
    {322, "SCROLL PREV-1", {phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_UP), kEnd, kEnd}},
    {322, "SCROLL PREV-2", {phys(PK_PREV_SCREEN), kEnd, kEnd, kEnd, kEnd}},
    {323, "SCROLL NEXT-1", {phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_DOWN), kEnd, kEnd}},
    {323, "SCROLL NEXT-2", {phys(PK_NEXT_SCREEN), kEnd, kEnd, kEnd, kEnd}},
    {324, "SCROLL UP", {phys(PK_SCROLL), phys(PK_UP), kEnd, kEnd, kEnd}},
    {325, "SCROLL DOWN", {phys(PK_SCROLL), phys(PK_DOWN), kEnd, kEnd, kEnd}},
    {10000, "PAN TOP", {phys(PK_PAN), phys(PK_PAN), phys(PK_PAN), phys(PK_UP), kEnd}},
    {10001, "PAN BOTTOM", {phys(PK_PAN), phys(PK_PAN), phys(PK_PAN), phys(PK_DOWN), kEnd}},
    {10002, "PAN LT MRGN", {phys(PK_PAN), phys(PK_PAN), phys(PK_PAN), phys(PK_LEFT), kEnd}},
    {10002, "PAN LT MRGN", {phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_LEFT), kEnd}},
    {10003, "PAN RT MRGN", {phys(PK_PAN), phys(PK_PAN), phys(PK_PAN), phys(PK_RIGHT), kEnd}},
    {10003, "PAN RT MRGN", {phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_RIGHT), kEnd}},
    {10004, "PAN UP ONE", {phys(PK_PAN), phys(PK_UP), kEnd, kEnd, kEnd}},
    {10005, "PAN UP SCRN", {phys(PK_PAN), phys(PK_PAN), phys(PK_UP), kEnd, kEnd}},
    {10006, "PAN DN ONE", {phys(PK_PAN), phys(PK_DOWN), kEnd, kEnd, kEnd}},
    {10007, "PAN DN SCRN", {phys(PK_PAN), phys(PK_PAN), phys(PK_DOWN), kEnd, kEnd}},
    {10008, "PAN LT ONE", {phys(PK_PAN), phys(PK_LEFT), kEnd, kEnd, kEnd}},
    {10008, "PAN LT ONE", {phys(PK_SCROLL), phys(PK_LEFT), kEnd, kEnd, kEnd}},
    {10009, "PAN LT SCRN", {phys(PK_PAN), phys(PK_PAN), phys(PK_LEFT), kEnd, kEnd}},
    {10009, "PAN LT SCRN", {phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_LEFT), kEnd, kEnd}},
    {10010, "PAN RT ONE", {phys(PK_PAN), phys(PK_RIGHT), kEnd, kEnd, kEnd}},
    {10010, "PAN RT ONE", {phys(PK_SCROLL), phys(PK_RIGHT), kEnd, kEnd, kEnd}},
    {10011, "PAN RT SCRN", {phys(PK_PAN), phys(PK_PAN), phys(PK_RIGHT), kEnd, kEnd}},
    {10011, "PAN RT SCRN", {phys(PK_SCROLL), phys(PK_SCROLL), phys(PK_RIGHT), kEnd, kEnd}},
    {10012, "FIND PATTERN", {phys(PK_GO), phys(PK_SCAN), kEnd, kEnd, kEnd}},
    {20000, "TAB", {phys(PK_TAB), kEnd, kEnd, kEnd, kEnd}},
    {20000, "TAB 2", {10, kEnd, kEnd, kEnd, kEnd}},
    {20001, "BACK TAB", {phys(PK_GO), phys(PK_TAB), kEnd, kEnd, kEnd}},
    {20002, "UP", {phys(PK_UP), kEnd, kEnd, kEnd, kEnd}},
    {20003, "DOWN", {phys(PK_DOWN), kEnd, kEnd, kEnd, kEnd}},
    {20004, "LEFT", {phys(PK_LEFT), kEnd, kEnd, kEnd, kEnd}},
    {20005, "RIGHT", {phys(PK_RIGHT), kEnd, kEnd, kEnd, kEnd}},
    {20006, "INSERT", {phys(PK_INSERT), kEnd, kEnd, kEnd, kEnd}},
    {20007, "BACKSPACE", {phys(PK_BACKSPACE), kEnd, kEnd, kEnd, kEnd}},
    {20008, "DEL TO BEG", {1, kEnd, kEnd, kEnd, kEnd}},
    {20009, "DEL END ITEM", {phys(PK_GO), phys(PK_DELETE), kEnd, kEnd, kEnd}},
    {20010, "MOVE TO BEG", {phys(PK_GO), phys(PK_LEFT), kEnd, kEnd, kEnd}},
    {20011, "MOVE TO END", {phys(PK_GO), phys(PK_RIGHT), kEnd, kEnd, kEnd}},
    {20013, "REDRAW SCRN", {7, kEnd, kEnd, kEnd, kEnd}},
    {20014, "DELETE CHAR", {phys(PK_DELETE), kEnd, kEnd, kEnd, kEnd}},
    {20015, "CUT", {3, kEnd, kEnd, kEnd, kEnd}},
    {20016, "PASTE", {4, kEnd, kEnd, kEnd, kEnd}},
    {20017, "GO-ADD", {phys(PK_GO), phys(PK_ADD_MODE), kEnd, kEnd, kEnd}},
    {20018, "GO-INQUIRE", {phys(PK_GO), phys(PK_INQUIRY_MODE), kEnd, kEnd, kEnd}},
    {20019, "GO-CHANGE", {phys(PK_GO), phys(PK_CHANGE_MODE), kEnd, kEnd, kEnd}},
    {20020, "MACRO", {6, kEnd, kEnd, kEnd, kEnd}},
    {20025, "HOME", {phys(PK_HOME), kEnd, kEnd, kEnd, kEnd}},
    {20026, "TAB DOWN", {phys(PK_TAB_DOWN), kEnd, kEnd, kEnd, kEnd}},
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
  const uint16_t digit = phys(PK_DIGIT0);
  if (opt > 9) {
    const uint16_t tens[5] = {phys(PK_OPTION), phys(PK_OPTION), static_cast<uint16_t>(digit + opt / 10),
                              static_cast<uint16_t>(digit + opt % 10), kEnd};
    for (int i = 0; i < 5; ++i) parts[i] = tens[i];
  } else {
    const uint16_t one[5] = {phys(PK_OPTION), static_cast<uint16_t>(digit + opt), kEnd, kEnd, kEnd};
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
