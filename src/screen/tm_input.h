// Keymaps, the key reader and the field editor.
//
// A keymap is a trie of byte sequences per name. The key reader decides a
// sequence byte by byte: the first complete sequence wins, so a sequence
// that begins with another defined one is never recognised. A terminal
// sends the bytes of one key together: inside an escape sequence a pause
// longer than the escape delay ends the key, so a lone Escape never takes
// the key pressed after it, and no byte of an escape sequence that matches
// nothing is ever typed as data. The editor acts
// on the cells of the image and on the caller's field text (the window
// manager's, or tm_hooks.get_ed on a remote client).
#pragma once

#include <cstdint>

#include "foundation/key_trie.h"
#include "screen/tm.h"

namespace kivo {

struct tm_keymap_h {
  tm_keymap_h* next;  // the process-wide list, newest first
  char name[10];
  trie_node root;  // its children are the first bytes
};

// Rows of 26 values: code (negative ends the table), then bytes ended by a
// negative value (at most 25). A sequence already in the trie is dropped.
// Null without a terminal.
tm_keymap_h* tm_keymap(const char* name, const int16_t* table);

// Forgets every keymap without freeing its trie, and any byte kept for the
// next key (a fresh session whose pools were reset).
void tm_keymaps_forget();

// Where read_meta reads (standard input; tests put a pipe there).
extern int tm_input_fd;

// The status of a session whose terminal gave no more input, as of one
// whose connection broke.
constexpr int kExitTerminalLost = 255;

// One byte from the terminal, waiting at most `wait_ms` milliseconds
// (kByteLate when none came); -1 when a message is pending. The end of the
// terminal's input, or a read that fails, ends the session: the terminal is
// put back, one line says why, and the process ends with kExitTerminalLost.
int read_meta(int wait_ms = kWaitForever);

// Milliseconds a key's escape sequence may pause before the key ends there:
// KIVO_ESC_DELAY when it holds 1 to kEscDelayMax, else kEscDelayDefault.
constexpr int kEscDelayDefault = 50;
constexpr int kEscDelayMax = 5000;
int tm_esc_delay();

enum : int { KIND_CHAR = 0, KIND_KEY = 1 };
// One key: a character (kind 0) or a logical key (kind 1); -1 when nothing
// could be read (a pending message gives 272 instead). A sequence the
// keymap does not hold, or one a pause cut short, beeps and gives 0.
int get_a_c(tm_term* t, tm_keymap_h* km, int* kind);

// The field editor. Returns when a non-editing key ends input (status 1)
// or a read fails (status stays 8).
void do_input(tm_term* t, SHOW_DATA* sd, bool position_only);

// Loads "<TERM>.kdef" of the current directory into t->kdef; a file of the
// wrong size or with an index outside it is ignored.
void tm_load_kdef(tm_term* t);

}  // namespace kivo
