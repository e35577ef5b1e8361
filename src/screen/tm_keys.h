// Logical key codes, their names, the physical keys a terminal type is
// taught, the default keystroke combinations built from them, and the layout
// of the KEYMAP / DFLTMAP design record.
//
// The key reader (tm_input.cpp) delivers these codes; the key-definition
// utility and the window manager's keymap loading build keymaps from the
// tables here. Codes 0-99 are the OPTION keys.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

enum : uint16_t {
  LK_OPTION_LAST = 99,
  LK_SCAN = 257,
  LK_SELECT_KEY = 259,
  LK_NEXT_RECORD = 261,
  LK_SPLIT = 263,
  LK_END_PARAGRAPH = 264,
  LK_ADD_MODE = 265,
  LK_DELETE_MODE = 266,
  LK_INQUIRE_MODE = 267,
  LK_CHANGE_MODE = 268,
  LK_DIRECT_PROC1 = 272,  // also: input time-out or a pending message
  LK_END = 274,
  LK_CANCEL = 278,
  LK_ENTER = 304,
  LK_ACK_DEL = 305,
  LK_JOIN = 329,
  LK_PAN_FIRST = 10000,
  LK_PAN_LAST = 10012,
  LK_TAB = 20000,
  LK_BACK_TAB = 20001,
  LK_UP = 20002,
  LK_DOWN = 20003,
  LK_LEFT = 20004,
  LK_RIGHT = 20005,
  LK_INSERT = 20006,
  LK_BACKSPACE = 20007,
  LK_DEL_TO_BEG = 20008,
  LK_DEL_END_ITEM = 20009,
  LK_MOVE_TO_BEG = 20010,
  LK_MOVE_TO_END = 20011,
  LK_REDRAW = 20013,
  LK_DELETE_CHAR = 20014,
  LK_CUT = 20015,
  LK_PASTE = 20016,
  LK_MACRO = 20020,
  LK_HOME = 20025,
  LK_TAB_DOWN = 20026,
  NO_KEY = 65535,
};

// The physical keys, in the order the key-definition utility asks for them.
constexpr int kPhysKeys = 37;
enum : int {
  PK_BACKSPACE,
  PK_END,
  PK_RETURN,
  PK_TAB,
  PK_OPTION,
  PK_GO,
  PK_PAN,
  PK_SCROLL,
  PK_UP,
  PK_RIGHT,
  PK_DOWN,
  PK_LEFT,
  PK_INSERT,
  PK_DELETE,
  PK_SCAN,
  PK_SELECT,
  PK_HELP,
  PK_PREV_ACTIVITY,
  PK_NEXT_RECORD,
  PK_ADD_MODE,
  PK_DELETE_MODE,
  PK_INQUIRY_MODE,
  PK_CHANGE_MODE,
  PK_PREV_SCREEN,
  PK_NEXT_SCREEN,
  PK_DIGIT0,  // 25-34: "0 KEY" to "9 KEY"
  PK_HOME = 35,
  PK_TAB_DOWN = 36,
};
extern const char* const tm_phys_key_names[kPhysKeys];

// A keystroke list holds at most this many values; 65535 ends a shorter one.
constexpr int kKeystrokeMax = 25;
constexpr uint16_t kKeystrokeEnd = 65535;

// A part of a default combination: a physical key (kPartPhys + index), a
// literal index (1-10), or kKeystrokeEnd (absent).
constexpr uint16_t kPartPhys = 256;
constexpr int kLiterals = 10;

// The value of literal `index` (1-10).
uint16_t tm_literal(int index);

struct tm_combo {
  uint16_t code;
  const char* name;
  uint16_t parts[5];
};
constexpr size_t kDefaultCombos = 76;
extern const tm_combo tm_default_combos[kDefaultCombos];

// Builds the keystroke list of a combination from the recorded bytes of
// each physical key (`phys[i]`, ended by 65535). Returns the number of
// values, or -1 when they would not fit in kKeystrokeMax.
int tm_make_combo(const uint16_t phys[kPhysKeys][kKeystrokeMax], const uint16_t parts[5], uint16_t out[kKeystrokeMax]);

// The combinations of a keymap: the 76 defaults, then OPTION 0 to 99. The
// parts and code of combination `index` (below kAllCombos).
constexpr size_t kAllCombos = kDefaultCombos + 100;
uint16_t tm_combo_parts(size_t index, uint16_t parts[5]);

// The default keymap as rows for tm_keymap: 26 values each (code, then the
// keystrokes ended by 65535), the 76 defaults, then OPTION 0 to 99, then an
// end row. A combination that does not fit is left out. `rows` must hold
// kDefaultKeymapRows rows. Returns the rows written (without the end row).
constexpr int kKeymapRowWords = 26;
constexpr int kDefaultKeymapRows = kDefaultCombos + 100 + 1;
int tm_default_keymap(const uint16_t phys[kPhysKeys][kKeystrokeMax], int16_t rows[][kKeymapRowWords]);

// The name of a logical key (the OPT group's names): "OPTION n" for 0-99,
// the first name of the code in the default table, "JOIN"; null when unknown.
// `buf` holds the OPTION names (at least 12 bytes).
const char* tm_key_name(uint16_t code, char* buf);

// Every name of the OPT group with its code, in table order, then OPTION 0-99.
// Calls fn for each; the test fixtures fill the option lookup from it.
void tm_for_each_key_name(void (*fn)(void* ctx, const char* name, uint16_t code), void* ctx);

// KEYMAP and DFLTMAP record layout.
enum : size_t {
  KEYMAP_TERM_TYPE = 0,    // 10, blank-padded
  KEYMAP_USER = 10,        // 3, upper case; blanks = every user
  KEYMAP_NAME = 13,        // 10, "MENU ENTRY", "DATA ENTRY", ...
  KEYMAP_BLANK = 23,       // 1, a blank
  KEYMAP_SEQ = 24,         // u16, machine order, from 1
  KEYMAP_CODES = 26,       // 10 x u16; 65535 ends the list
  KEYMAP_KEYSTROKES = 46,  // 10 x 25 x u16; 65535 ends a list
  KEYMAP_UNUSED = 546,     // 2
  KEYMAP_RECORD_SIZE = 548,
};
constexpr int kKeymapSlots = 10;
static_assert(KEYMAP_KEYSTROKES + kKeymapSlots * kKeystrokeMax * 2 == KEYMAP_UNUSED);
static_assert(KEYMAP_CODES + kKeymapSlots * 2 == KEYMAP_KEYSTROKES);

// Attribute bits of characteristic MASK words.
enum : uint32_t {
  ATTR_BOLD = 0x40,
  ATTR_REVERSE = 0x80,
  ATTR_UNDERLINE = 0x100,
  ATTR_BLINK = 0x200,
  ATTR_BOX_RUN = 0x08000000,
};

}  // namespace kivo
