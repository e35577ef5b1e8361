// The remote-terminal server: an engine whose screen lives on a remote
// client. It keeps three images of the client's screen (current, old = what
// the client shows, work = what goes on the wire), sends only what changed
// at each show, and answers the client's nested requests while it waits.
//
// Invariants:
//  - The geometry comes from the client at attach and is refused unless
//    every image fits the 16-bit lengths of the UPDATE messages; after that
//    every count and length from the client is bounded by it.
//  - A failed or malformed receive is a lost client: the process ends with
//    status 255 (tmnet_end_process), never goes on with stale buffers.
//
// The layer knows nothing of the window manager: the terminal switch's
// table is filled above (editors/remote_term.cpp), which also fills
// `tmnet_srv_hooks` with the window manager's and the editor's look-ups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "foundation/hook_list.h"

namespace kivo {

// The show block as the server exchanges it (the terminal layer's eleven
// words without its pointers; `keymap` is the client's handle).
struct tmnet_show {
  uint32_t flags = 0;   // 1
  uint32_t keymap = 0;  // 2: the client's handle, in the client's byte order
  int32_t row = 0;      // 3: cursor, 1-based
  int32_t col = 0;      // 4
  uint32_t timeout = 0;
  uint32_t spare = 0;
  uint32_t key = 0;  // 7: out
  uint32_t status = 0;
  uint32_t nframes = 0;
  const uint32_t* frames = nullptr;  // 10: nframes x 5 words
};
constexpr size_t kShowBlockSize = 44;
constexpr size_t kFrameEntrySize = 20;

// One attribute run of an update: first column (1-based), length, the
// attribute and the extended attribute of its cells.
struct tmnet_run {
  int col;
  int len;
  uint32_t attr;
  uint32_t xattr;
};

// An item under a position, for the item information of a graphical client.
struct tmnet_itm {
  int row, col, rows, cols;  // physical top left, size
  const char* text;
  uint16_t len;
  uint8_t type;
  uint8_t opt[4];
  uint32_t token_group;  // the element's token group id, 0 when none
};

// The editor's information request (kinds: 1 session, 3 next application,
// 4 next file, 5 next field, 9 paste an item).
struct tmnet_ie_req {
  uint32_t kind;
  char ap[3];
  char file[8];
  char name[22];  // application id, file name or field name as returned
  char desc[30];
  uint8_t info;
  uint8_t item[27];  // ADD_ITEM's block: application id (3), field name (22), 2 unused; all text
};

// What the server asks of the layers above; an empty entry is "nothing
// there" (no field, no item, no editor).
struct tmnet_srv_hook_table {
  // Stores `ch` into the field at (row, col) and marks it changed; 0 when
  // no field is there.
  int (*put_char)(int row, int col, uint8_t ch);
  int (*get_itm)(int row, int col, tmnet_itm* out);
  int (*ie_get_info)(tmnet_ie_req* req);
  int (*ie_gui_edit)(tmnet_ie_req* req);
};
extern tmnet_srv_hook_table tmnet_srv_hooks;

// clang-format off
#define KIVO_TMNET_SRV_HOOKS(X)   \
  X(tmnet_srv_hooks, put_char)    \
  X(tmnet_srv_hooks, get_itm)     \
  X(tmnet_srv_hooks, ie_get_info) \
  X(tmnet_srv_hooks, ie_gui_edit)
// clang-format on
KIVO_TABLE_LISTED(tmnet_srv_hooks, KIVO_TMNET_SRV_HOOKS);

// The geometry a client may ask for.
constexpr int kSrvMaxDim = 255;
constexpr size_t kSrvMaxWire = 32767;  // a message's payload

// Handshake on com.rmt_sock; `flag` is passed on to the client's terminal.
// The handshake's bound runs on until the attach.
void tmnet_srv_init(int flag);
// Reads the client's (rows, columns) pairs (current, second, maximum) and
// makes the images; a geometry the protocol cannot carry ends the process.
// Then the session begins: every later wait for a reply of the client is
// bounded by the server's time-out (KIVO_SRVR_TIMEOUT_SECONDS, else
// KIVO_SRVR_TIMEOUT minutes); the wait for the user's key at a show is not.
int tmnet_srv_trm_attach(int rows[3], int cols[3]);

// The terminal type the character client gives its terminal at ATTACH;
// a server started without TERM (a listener run as a service) takes it for
// its keymaps, as the remote key definition does for the keys it writes.
constexpr char kTmnetClientType[] = "vt320-k";
void tmnet_srv_take_client_type();
// Sends a compiled keymap (rows of 26 cells ended by a negative code);
// the client's handle.
uint32_t tmnet_srv_keymap(const char name[10], const int16_t* table);
int tmnet_srv_upd_scr(int row, int col, const uint8_t* text, int len, const tmnet_run* runs, int nruns);
int tmnet_srv_scroll(int row, int col, int nrows, int ncols, int direction, int count);
// The SHOW round trip: cursor, key and status come back into `sd`; the
// client's show result.
uint32_t tmnet_srv_show(tmnet_show* sd);
void tmnet_srv_finish();
// Acts on a SIGINT or SIGTERM of the session, then pings the client when
// the interval has passed: 1 alive; a client gone ends the process with 9
// (0 when the exit function returns, in tests).
int tmnet_srv_ping();
bool tmnet_srv_check_feature(uint32_t bits);
void tmnet_srv_suspend();
void tmnet_srv_resume();
void tmnet_srv_trm_detach();

// The ping's clock and its intervals (tests shorten them): a ping goes out
// when `interval` seconds passed since the last; its answer may take
// `timeout` seconds. set_tmnet_srv_clock(nullptr) restores time().
void set_tmnet_srv_clock(time_t (*clock)());
void set_tmnet_srv_ping_times(int interval, int timeout);

// The nested requests, served inside a headed receive.
int tmnet_srv_request(int sock, uint8_t code, uint32_t length);

// What the last show would have sent to a client whose copy was reset:
// every cell of every image, the headers and the show block (benchmarks).
size_t tmnet_srv_full_repaint_bytes();

// The images, for tests: characters and attributes of the current image.
int tmnet_srv_rows();
int tmnet_srv_cols();
const uint8_t* tmnet_srv_chars();
const uint32_t* tmnet_srv_attrs();

}  // namespace kivo
