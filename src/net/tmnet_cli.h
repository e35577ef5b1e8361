// The character-mode remote client: the same program started with "-c"
// logs in through a listener and runs the server's commands on the local
// terminal, keeping its own copy of the remote screen and sending back
// what the user typed.
//
// Invariants:
//  - Every count and length the server sends is bounded before use (by the
//    screen, the keymap limit, the receiving buffer); a failed or malformed
//    receive ends the command loop with a log line.
//  - A keymap handle in a show block is one this client gave out, or the
//    loop ends.
//
// The terminal itself is reached through `tmnet_cli_term`, which the layer
// above fills (editors/remote_term.cpp) with the terminal manager.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/tmnet_srv.h"

namespace kivo {

struct tmnet_cli_term_ops {
  // The login step (the environment into tmnet_cli_setargs); 0 = none.
  int (*login)();
  void (*init)(int flag);
  // The local screen's (rows, columns) pairs; 0 when there is no terminal.
  int (*attach)(int rows[3], int cols[3]);
  // Compiles a keymap; its local handle, null when refused.
  void* (*keymap)(const char name[10], const int16_t* table);
  // Repaints row `row` (1-based) from column 1 with its attribute runs.
  void (*update)(int row, const uint8_t* text, int len, const tmnet_run* runs, int nruns);
  // The local show and input with the given keymap; its one-byte result.
  uint32_t (*show)(tmnet_show* sd, void* keymap);
  void (*finish)();
  // The key-definition utility against the server (tmnet_keys.h); returns
  // when the user goes on, else ends the process.
  void (*kivokeys)();
};
extern tmnet_cli_term_ops tmnet_cli_term;

// clang-format off
#define KIVO_TMNET_CLI_HOOKS(X) \
  X(tmnet_cli_term, login)      \
  X(tmnet_cli_term, init)       \
  X(tmnet_cli_term, attach)     \
  X(tmnet_cli_term, keymap)     \
  X(tmnet_cli_term, update)     \
  X(tmnet_cli_term, show)       \
  X(tmnet_cli_term, finish)     \
  X(tmnet_cli_term, kivokeys)
// clang-format on
KIVO_TABLE_LISTED(tmnet_cli_term, KIVO_TMNET_CLI_HOOKS);

// The session block's fields.
constexpr size_t kCliHostLen = 30;
constexpr size_t kCliUserLen = 20;
constexpr size_t kCliPswdLen = 26;
constexpr size_t kCliMaxKeys = 999;
constexpr size_t kCliMaxPid = 256;

// 1 normal end (FINISH, or a loop ended by a bad receive), 0 when it could
// not connect or log in (the reason is on standard error).
int tmnet_cli_main(int argc, char** argv);
// 1 taken; 0 when a value does not fit its field (said on standard error).
int tmnet_cli_setargs(const char* user, const char* pswd, const char* host, const char* port, int remap);
// With a name: the option number the server gives it. Without (len 0):
// the name of option `code` into `name` (31 bytes); its length.
int32_t tmnet_cli_get_opt(char* name, size_t len, int32_t code);
// The client's copy of the screen for the field editor: the row's
// characters, the same as the server painted them for the show under way,
// and its attributes (1-based row); the columns, 0 off the screen.
int tmnet_cli_row(int row, uint8_t** chars, const uint8_t** painted, const uint32_t** attrs);
// The server's process id as it came (length and text).
const char* tmnet_cli_get_server_pid(uint16_t* len);

// One command of the loop (the socket is com.rmt_sock): 1 go on, 0 end of
// the loop (FINISH or a failed receive). For tests and fuzz targets.
int tmnet_cli_command();
// The show handler on its own (after the SHOW header).
int tmnet_cli_show();
// Forgets the screen, keymaps and state of an earlier session (tests).
void tmnet_cli_reset();

}  // namespace kivo
