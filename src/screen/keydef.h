// The parts of key definition that hold no dialogue: the combinations built
// from a terminal's recorded keys, the checks for identical keys and
// conflicting combinations, their order, and the KEYMAP records written.
//
// Invariant: a combination's keystroke list ends at the first kKeystrokeEnd
// or after kKeystrokeMax values; an unrecorded key has kKeystrokeEnd first.
//
// Callers: the key-definition dialogue (kivokeys.cpp), the build-time
// writer of the default installation's DFLTMAP, and their tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fm/fm_objects.h"
#include "screen/tm_keys.h"

namespace kivo {

using kd_keys = uint16_t[kPhysKeys][kKeystrokeMax];

struct kd_combo {
  uint16_t code;
  uint16_t keys[kKeystrokeMax];
};

// Builds every combination of the default table, in its order. One that
// does not fit in kKeystrokeMax is left out and its index goes to
// *too_long (may be null).
std::vector<kd_combo> make_all_keys(const kd_keys& phys, std::vector<size_t>* too_long);

// The first pair of identical recorded keys: 1 with the earlier in *a and
// the later in *b, else 0.
int check_dupe_keys(const kd_keys& phys, int* a, int* b);

// A conflict between two combinations: identical lists, or one the start of
// the other (so one of them can never be typed).
struct kd_conflict {
  size_t first, later;
  bool identical;
};
std::vector<kd_conflict> check_dupe_combos(const std::vector<kd_combo>& combos);

// Orders the combinations by keystroke list; an ended list comes before its
// extensions.
void sort_all_keys(std::vector<kd_combo>& combos);

// Writes the combinations as records of ten under "MENU ENTRY" and "DATA
// ENTRY" of (terminal type, user) to an open KEYMAP or DFLTMAP handle. 1,
// or the status of the first failing write.
uint32_t write_keymaps(ARB* file, const char* term10, const char* user_id, const std::vector<kd_combo>& combos);

// Deletes the records of (terminal type, user, name). 1, or the status of a
// failing delete.
uint32_t delete_keymaps(ARB* file, const char* term10, const char* user_id, const char* name10);

// Replaces the two keymaps of (terminal type, user): 1, or the status of
// the first failing delete or write.
uint32_t kd_store(ARB* file, const char* term10, const char* user_id, const std::vector<kd_combo>& combos);

// Opens KEYMAP, or creates it; null with the file status in *status.
ARB* kd_open_keymap(uint32_t* status);

// kd_store, then the file closed; a failure the file manager raises as a
// system error is caught. 1, or the status of the first failure.
uint32_t kd_save(ARB* file, const char* term10, const char* user_id, const std::vector<kd_combo>& combos);

// A fault of the whole build of a keymap, as text lines; empty when the
// keys make a keymap without conflicts.
std::vector<std::string> keymap_faults(const kd_keys& phys, std::vector<kd_combo>* combos);

}  // namespace kivo
