// Keymaps, the key reader and the field editor.
//
// A keymap is a trie of byte sequences per name. The key reader decides a
// sequence byte by byte: the first complete sequence wins, so a sequence
// that begins with another defined one is never recognised. The editor acts
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

// Forgets every keymap without freeing its trie (a fresh session whose
// pools were reset).
void tm_keymaps_forget();

// Where read_meta reads (standard input; tests put a pipe there).
extern int tm_input_fd;

// One byte from the terminal; -1 when a message is pending or the read fails.
int read_meta();

enum : int { KIND_CHAR = 0, KIND_KEY = 1 };
// One key: a character (kind 0) or a logical key (kind 1); -1 when nothing
// could be read (a pending message gives 272 instead).
int get_a_c(tm_term* t, tm_keymap_h* km, int* kind);

// The field editor. Returns when a non-editing key ends input (status 1)
// or a read fails (status stays 8).
void do_input(tm_term* t, SHOW_DATA* sd, bool position_only);

// Loads "<TERM>.kdef" of the current directory into t->kdef; a file of the
// wrong size or with an index outside it is ignored.
void tm_load_kdef(tm_term* t);

}  // namespace kivo
