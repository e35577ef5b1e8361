// Keystroke scripts, macros, recording and snapshots. A playing script or
// macro supplies keys before the keyboard; macros live in 255 slots (macro
// number = the logical key that plays it) and in ".kivo_mac" between runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "screen/tm.h"

namespace kivo {

constexpr int kMacroSlots = 255;
constexpr int kScriptLineMax = 512;

enum : uint32_t {
  SC_END = 0,
  SC_KEY = 1,
  SC_TEXT = 2,  // value: index into the script's texts
  SC_CHAR = 4,
  SC_CMD = 6,  // value: SC_CMD_*; the next entry is its text
};
enum : uint32_t { SC_CMD_WAIT = 65534, SC_CMD_PAUSE = 65533, SC_CMD_BEEP = 65532, SC_CMD_OTHER = 278 };

struct sc_entry {
  uint32_t kind;
  uint32_t value;
};

// A compiled script or macro; entries end with SC_END.
struct tm_script {
  std::vector<sc_entry> ents;
  std::vector<std::string> texts;  // the characters of the SC_TEXT entries
};

// The characters an SC_TEXT entry types (empty for any other entry).
std::string entry_text(const tm_script* s, const sc_entry& e);

enum : int { STEP_OFF = 0, STEP_ON = 1, STEP_PAUSED = 2, STEP_RESUME = 3 };

// Compiles script text; lines naming an unknown option or command are told
// on `errors` (one line each, with the line number).
tm_script cmpl_script(const std::string& text, std::string* errors);

void init_script();
// The next key of the playing macro or script: 1 and the key, or 0.
int get_script(int* key, int* kind);
void record(int key, int kind);
void add_macro(int kind, int value);
void save_macros();
void cmpl_macros();
void snapshot(tm_term* t, int key, int row, int col);
int tm_login();

// Whether a keystroke script is playing: it gives the keys before the
// terminal does.
bool tm_script_playing();
// Player state the editor consults.
int tm_step_state();
void tm_set_step_state(int state);
int tm_macro_defining();  // NO_KEY when none
int tm_macro_playing();
bool tm_macro_defined(int number);
void tm_play_macro(int number);
void tm_set_macro_number(int number);
// Forgets every script, macro and recording (tests).
void tm_script_reset();

}  // namespace kivo
