// The remote key definition: an engine started in key-definition mode on a
// client's connection stores the keyboard that the client's user defines.
// The server sends the keymap's terminal type and user, the client runs the
// dialogue and sends back its table of keys; both halves of that exchange
// are here.
//
// Invariants:
//  - The stored keymaps change only once a complete, valid table arrived:
//    a client that aborts, drops or sends a table out of bounds leaves them
//    as they were.
//  - The table is bounded before use: at most kMaxRemoteKeys keys, a
//    compressed length within the worst case of their cells, an expansion
//    that fills exactly count x kKeystrokeCells cells.
//
// The KEYMAP file is reached through `tmnet_keymap_ops`, which the layer
// above fills (editors/remote_term.cpp) with the key-definition utility's
// record writer; tests and fuzz targets put in their own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fm/fm_objects.h"
#include "foundation/hook_list.h"

namespace kivo {

constexpr size_t kMaxRemoteKeys = 999;
constexpr size_t kKeystrokeCells = 25;  // one key's keystroke list

// The server process's end codes.
enum tmnet_keys_end : int {
  TMNET_KEYS_ABORTED = 0,  // the client's user ended the dialogue
  TMNET_KEYS_STORED = 1,
  TMNET_KEYS_FAILED = 2,  // the file could not be opened or written
};

struct tmnet_keymap_ops {
  // Opens (or creates) KEYMAP; null when neither works.
  ARB* (*open)();
  // Replaces the "MENU ENTRY" and "DATA ENTRY" keymaps of (term, user)
  // with `count` keys: codes[count] and keys[count x kKeystrokeCells].
  // Closes the file after success. 1, or the status of the first failure.
  uint32_t (*store)(ARB* file, const char term[10], const char user[3], const uint16_t* codes, const uint16_t* keys,
                    size_t count);
  void (*close)(ARB* file);  // closes it unchanged, when nothing is stored
};
extern tmnet_keymap_ops tmnet_keymap_file;

// clang-format off
#define KIVO_TMNET_KEYMAP_HOOKS(X) \
  X(tmnet_keymap_file, open)       \
  X(tmnet_keymap_file, store)      \
  X(tmnet_keymap_file, close)
// clang-format on
KIVO_TABLE_LISTED(tmnet_keymap_file, KIVO_TMNET_KEYMAP_HOOKS);

// Runs the server's half on com.rmt_sock and ends the process with a
// tmnet_keys_end code through tmnet_end_process; returns that code only
// when the process end returns (tests, fuzz targets).
int tmnet_srv_kivokeys();

// The client's half, on com.rmt_sock; each 1 done, 0 failed.
// The server's status: 1 when its KEYMAP is open.
int tmnet_cli_keys_status();
// The terminal type (10 bytes) and user (3) the keymaps are stored under.
int tmnet_cli_keys_target(char term[10], char user[3]);
// Sends `count` keys (codes[count], keys[count x kKeystrokeCells]).
int tmnet_cli_keys_send(const uint16_t* codes, const uint16_t* keys, size_t count);
// Tells the server that the user ended the dialogue.
int tmnet_cli_keys_abort();

}  // namespace kivo
