// The field editor: every editing key on full, empty and pseudo-filled
// fields, typing across fields, and refusals.
#include <gtest/gtest.h>

#include "../fixtures/hook_override.h"
#include "tm_test_util.h"

namespace kivo {
namespace {

using kivo_test::byte_keymap;
using kivo_test::feed;
using kivo_test::field_screen;

// Field A: row 2, columns 5-9; field B: row 2, columns 15-17; field C: row 4,
// columns 1-4. Input: values below 256 are typed, others are logical keys.
struct edit_case {
  const char* name;
  std::string a;
  uint16_t a_extra;
  int row, col;
  std::vector<int> input;
  std::string want_a, want_b;
  int want_row, want_col;
  unsigned beeps;
};

std::vector<int> typed(const char* s, std::vector<int> then = {}) {
  std::vector<int> v(s, s + strlen(s));
  v.insert(v.end(), then.begin(), then.end());
  return v;
}

const edit_case kCases[] = {
    {"InsertLosesLast", "abcde", 0, 2, 6, {LK_INSERT}, "a bcd", "xyz", 2, 6, 0},
    {"InsertOnEmpty", "", 0, 2, 5, {LK_INSERT}, "     ", "xyz", 2, 5, 0},
    {"InsertOutsideFieldBeeps", "abcde", 0, 1, 1, {LK_INSERT}, "abcde", "xyz", 1, 1, 1},
    {"BackspaceMid", "abcde", 0, 2, 8, {LK_BACKSPACE}, "abde ", "xyz", 2, 7, 0},
    {"BackspaceAtStartLeavesThePreviousField", "abcde", 0, 2, 15, {LK_BACKSPACE}, "abcde", "xyz", 2, 15, 1},
    {"BackspaceJustPastAFieldDeletesItsLast", "abcde", 0, 2, 10, {LK_BACKSPACE}, "abcd ", "xyz", 2, 9, 0},
    {"BackspaceAtTheScreensStartBeeps", "abcde", 0, 1, 1, {LK_BACKSPACE}, "abcde", "xyz", 1, 1, 1},
    {"DeleteChar", "abcde", 0, 2, 6, {LK_DELETE_CHAR}, "acde ", "xyz", 2, 6, 0},
    {"DeleteCharOnEmpty", "", 0, 2, 5, {LK_DELETE_CHAR}, "     ", "xyz", 2, 5, 0},
    {"DelToBeg", "abcde", 0, 2, 8, {LK_DEL_TO_BEG}, "de   ", "xyz", 2, 5, 0},
    {"DelToBegAtStartBeeps", "abcde", 0, 2, 5, {LK_DEL_TO_BEG}, "abcde", "xyz", 2, 5, 1},
    {"DelEndItem", "abcde", 0, 2, 7, {LK_DEL_END_ITEM}, "ab   ", "xyz", 2, 7, 0},
    {"CutPasteStopsAtFieldEnd", "abcde", 0, 2, 6, {LK_CUT, LK_TAB, LK_PASTE}, "abcde", "bcd", 2, 15, 0},
    {"PasteOutsideFieldBeeps", "abcde", 0, 1, 1, {LK_PASTE}, "abcde", "xyz", 1, 1, 1},
    {"MoveToEndPartial", "ab", 0, 2, 5, {LK_MOVE_TO_END}, "ab   ", "xyz", 2, 7, 0},
    {"MoveToEndFull", "abcde", 0, 2, 5, {LK_MOVE_TO_END}, "abcde", "xyz", 2, 9, 0},
    {"MoveToEndEmpty", "", 0, 2, 7, {LK_MOVE_TO_END}, "     ", "xyz", 2, 5, 0},
    {"MoveToBegBeeps", "abcde", 0, 2, 7, {LK_MOVE_TO_BEG}, "abcde", "xyz", 2, 7, 1},
    {"TabToNextField", "abcde", 0, 2, 6, {LK_TAB}, "abcde", "xyz", 2, 15, 0},
    {"TabFromLastFieldWraps", "abcde", 0, 4, 2, {LK_TAB}, "abcde", "xyz", 2, 5, 0},
    {"BackTabInsideField", "abcde", 0, 2, 16, {LK_BACK_TAB}, "abcde", "xyz", 2, 15, 0},
    {"BackTabAtStartToPrevious", "abcde", 0, 2, 15, {LK_BACK_TAB}, "abcde", "xyz", 2, 5, 0},
    {"Home", "abcde", 0, 4, 2, {LK_HOME}, "abcde", "xyz", 2, 5, 0},
    {"TabDown", "abcde", 0, 2, 6, {LK_TAB_DOWN}, "abcde", "xyz", 4, 1, 0},
    {"LeftWrapsAroundScreen", "abcde", 0, 1, 1, {LK_LEFT}, "abcde", "xyz", 24, 80, 0},
    {"UpWrapsAroundScreen", "abcde", 0, 1, 3, {LK_UP}, "abcde", "xyz", 24, 3, 0},
    // Text is typed over in place, wherever the cursor came from.
    {"TypingInLastColumnMovesToNextField", "abcd", 0, 2, 9, typed("xy"), "abcdx", "yyz", 2, 16, 0},
    {"TypedWhereInputBeginsOverwritesInPlace", "abcde", 0, 2, 5, typed("xy"), "xycde", "xyz", 2, 7, 0},
    {"TypedAfterTabOverwritesInPlace", "abcde", 0, 2, 6, {LK_TAB, 'q'}, "abcde", "qyz", 2, 16, 0},
    {"TypedAfterArrowsOverwritesInPlace", "abcde", 0, 2, 5, {LK_RIGHT, LK_LEFT, 'x'}, "xbcde", "xyz", 2, 6, 0},
    {"UpperCaseField", "", CELL_UPPER, 2, 5, typed("ab1"), "AB1  ", "xyz", 2, 8, 0},
    {"TypingOutsideFieldGoesToNextField", "", 0, 1, 1, typed("q"), "q    ", "xyz", 2, 6, 0},
    {"ControlCharactersIgnored", "", 0, 2, 5, typed("\x01"), "     ", "xyz", 2, 5, 0},
    {"UnknownEditingKeyBeeps", "abcde", 0, 2, 5, {20021, 20027}, "abcde", "xyz", 2, 5, 2},
};

class TmEdit : public kivo_test::TmFresh, public ::testing::WithParamInterface<edit_case> {};

const std::vector<uint16_t> kEditKeys = {
    LK_TAB,        LK_BACK_TAB,     LK_UP,          LK_DOWN,        LK_LEFT,        LK_RIGHT, LK_INSERT, LK_BACKSPACE,
    LK_DEL_TO_BEG, LK_DEL_END_ITEM, LK_MOVE_TO_BEG, LK_MOVE_TO_END, LK_DELETE_CHAR, LK_CUT,   LK_PASTE,  LK_MACRO,
    LK_HOME,       LK_TAB_DOWN,     LK_ENTER,       LK_SCAN,        20021,          20027};

// Reads `input` from (row, col) on the screen; the input's end and the beeps it cost.
SHOW_DATA edit(field_screen& s, const byte_keymap& keys, const std::string& input, int row, int col,
               unsigned* beeps = nullptr) {
  feed(input);
  const unsigned before = tm_beep_count();
  SHOW_DATA sd{};
  sd.term = s.t, sd.keymap = keys.km, sd.row = row, sd.col = col, sd.key = NO_KEY, sd.status = KEY_STATUS_NONE;
  do_input(s.t, &sd, false);
  if (beeps) *beeps = tm_beep_count() - before;
  return sd;
}

TEST_P(TmEdit, Key) {
  const edit_case& c = GetParam();
  field_screen s;
  s.field(2, 5, 5, c.a, c.a_extra);
  s.field(2, 15, 3, "xyz");
  s.field(4, 1, 4, "");
  byte_keymap keys(kEditKeys);
  std::string input;
  for (int v : c.input) input += v < 256 ? std::string(1, static_cast<char>(v)) : keys.key(static_cast<uint16_t>(v));
  unsigned beeps;
  SHOW_DATA sd = edit(s, keys, input + keys.key(LK_ENTER), c.row, c.col, &beeps);
  EXPECT_EQ(LK_ENTER, sd.key);
  EXPECT_EQ(KEY_STATUS_KEY, sd.status);
  EXPECT_EQ(c.want_a, s.text(2, 5, 5));
  EXPECT_EQ(c.want_b, s.text(2, 15, 3));
  EXPECT_EQ(c.want_row, sd.row);
  EXPECT_EQ(c.want_col, sd.col);
  EXPECT_EQ(c.beeps, beeps);
  // The cells hold what the region holds.
  EXPECT_EQ(c.want_a, s.cells(2, 5, 5));
}

INSTANTIATE_TEST_SUITE_P(Keys, TmEdit, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A number and a date as the window manager hands them to the editor: the
// first character typed at the start of either, once the cursor came
// there, replaces the value; digits pass over the date's slashes; moved to
// with the arrows, or typed inside, it is typed over in place.
class TmFormatted : public kivo_test::TmFresh {};

TEST_F(TmFormatted, TypedValuesReplaceNumbersAndSkipDateLiterals) {
  const struct {
    const char* name;
    int row, col;  // where input begins
    std::vector<int> input;
    const char* number;  // the number field (2, 5) after, 6 columns
    const char* date;    // the date field (2, 15) after, 10 columns
    int end_col;
  } rows[] = {
      {"NumberReplacedWhereInputBegins", 2, 5, typed("80.00"), "80.00 ", "MM/DD/CCYY", 10},
      {"NumberReplacedAfterTab", 4, 1, {LK_TAB, '7'}, "7     ", "MM/DD/CCYY", 6},
      {"NumberTypedOverAfterArrows", 2, 5, {LK_RIGHT, LK_LEFT, '8'}, "875.25", "MM/DD/CCYY", 6},
      {"NumberTypedOverInside", 2, 7, typed("9"), " 79.25", "MM/DD/CCYY", 8},
      {"DateDigitsPassOverSlashes", 2, 15, typed("12252024"), " 75.25", "12/25/2024", 1},
      {"DateFromALiteralGoesOn", 2, 17, typed("3"), " 75.25", "MM/3D/CCYY", 19},
      {"DateAfterArrowsKeepsItsSlashes", 2, 15, {LK_RIGHT, LK_LEFT, '0', '1', '0'}, " 75.25", "01/0D/CCYY", 19},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    field_screen s;
    s.field(2, 5, 6, " 75.25");
    s.field(2, 15, 10, "MM/DD/CCYY");
    s.field(4, 1, 4, "");
    s.formatted = {{2, 5, 6, 0}, {2, 15, 10, (1u << 2) | (1u << 5)}};
    byte_keymap keys(kEditKeys);
    std::string input;
    for (int v : row.input)
      input += v < 256 ? std::string(1, static_cast<char>(v)) : keys.key(static_cast<uint16_t>(v));
    SHOW_DATA sd = edit(s, keys, input + keys.key(LK_ENTER), row.row, row.col);
    EXPECT_EQ(s.text(2, 5, 6), row.number);
    EXPECT_EQ(s.text(2, 15, 10), row.date);
    EXPECT_EQ(sd.col, row.end_col);
  }
}

class TmEditRefusal : public kivo_test::TmFresh {};

TEST_F(TmEditRefusal, PseudoFilledFieldKeepsFillCharactersInCellsAndBlanksInText) {
  field_screen s;
  s.field(2, 5, 5, "ab", CELL_PSEUDO);
  byte_keymap keys({LK_INSERT, LK_ENTER});
  edit(s, keys, keys.key(LK_INSERT) + "z" + keys.key(LK_ENTER), 2, 5);
  EXPECT_EQ(std::string("zab\1\1"), s.cells(2, 5, 5));
  EXPECT_EQ("zab  ", s.text(2, 5, 5));
  EXPECT_EQ(1, s.changed);
}

TEST_F(TmEditRefusal, RefusedEditBeepsAndChangesNothing) {
  field_screen s;
  s.field(2, 5, 5, "abc");
  kivo_test::scoped_hook refused(tm_hooks.get_ed, nullptr);  // no window manager to take the text
  byte_keymap keys({LK_DELETE_CHAR, LK_ENTER});
  unsigned beeps;
  edit(s, keys, "q" + keys.key(LK_DELETE_CHAR) + keys.key(LK_ENTER), 2, 5, &beeps);
  EXPECT_EQ("abc  ", s.cells(2, 5, 5));
  EXPECT_EQ(2u, beeps);
}

TEST_F(TmEditRefusal, MacroKeyOutsideTheSlotsBeepsAndDefinesNothing) {
  field_screen s;
  s.field(2, 5, 5, "");
  byte_keymap keys({LK_MACRO, LK_SCAN, LK_ENTER});
  unsigned beeps;
  edit(s, keys, keys.key(LK_MACRO) + keys.key(LK_SCAN) + "ab" + keys.key(LK_ENTER), 2, 5, &beeps);
  EXPECT_EQ(NO_KEY, tm_macro_defining());
  for (int n = 0; n < kMacroSlots; ++n) EXPECT_FALSE(tm_macro_defined(n)) << n;
  EXPECT_EQ(2u, beeps);  // the prompt, then the refusal
  EXPECT_EQ("ab   ", s.text(2, 5, 5));
}

}  // namespace
}  // namespace kivo
