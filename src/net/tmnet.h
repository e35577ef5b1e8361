// The remote-protocol message layer shared by the terminal server, the
// character client, the data link and the data server: the 8-byte header,
// headed and bare messages, the blocking reads and writes with their one
// deadline, the work-buffer pool, the protocol debug log and the protocol
// state (role, version, feature masks).
//
// Invariants a caller keeps in mind:
//  - A headed receive checks the header's code and length against what the
//    caller expects; a mismatch is a protocol error, never a misread.
//  - A broken connection or a protocol error ends the process with status
//    255 in every role but the data link, which gets 0 back (the connection
//    is then shut down) and reports the failure itself; in a session, a
//    terminal server and a character client first name the peer in one
//    line (tmnet_deadline.h).
//  - All socket traffic goes through `net_io` (tmnet_channel.h).
//
// Callers: the command line's -x (through the connect hook), the test
// listener; the terminal server and client, the data link and the data
// server are built on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/com.h"

namespace kivo {

// --- wire constants ---
constexpr size_t kTmnetHeaderSize = 8;
constexpr size_t kTmnetHdrLength = 0;      // u32 big-endian payload length
constexpr size_t kTmnetHdrCode = 4;        // message code byte; bytes 5-7 reserved
constexpr uint8_t kTmnetVersion = 4;       // this side's protocol version
constexpr uint16_t kTmnetHeaded = 0x8000;  // type bit: a command header is due
constexpr uint16_t kTmnetCodeMask = 0x0FFF;
constexpr uint16_t kTmnetAnyCommand = 4;  // bits 0-11 of a receive for any command

// Message codes (the low 8 bits of a type).
enum tmnet_code : uint8_t {
  TMNET_LOGIN = 2,
  TMNET_REPLY = 3,
  TMNET_INIT = 10,
  TMNET_SHOW = 12,
  TMNET_FINISH = 14,
  TMNET_ATTACH = 17,
  TMNET_KEYMAP = 19,
  TMNET_UPD_SCREEN = 21,
  TMNET_UPD_ATTR = 22,
  TMNET_GET_OPT = 23,
  TMNET_REMAP = 24,
  TMNET_PING = 25,
  TMNET_LOAD_URL = 26,
  TMNET_UPD_XATTR = 27,
  TMNET_GET_APPS = 28,
  TMNET_GET_FILES = 29,
  TMNET_OPT_REPLY = 34,
  TMNET_RC_PAIR = 40,
  TMNET_GET_FIELDS = 49,
  TMNET_FEATURE_EXCH = 68,
  TMNET_PROCESS_ID = 69,
  TMNET_ADD_ITEM = 70,
  TMNET_GET_TOKENS = 79,
};

// Feature bits tested in com_feature_mask.
enum : uint32_t {
  TMNET_FEAT_PROCESS_ID = 0x0002,
  TMNET_FEAT_KEYMAP = 0x0004,
  TMNET_FEAT_SEND_FILE = 0x0020,
  TMNET_FEAT_RECV_FILE = 0x0040,
  TMNET_FEAT_ITEM_INFO = 0x0080,
  TMNET_FEAT_LANGUAGE = 0x0100,
  TMNET_FEAT_TOKENS = 0x1000,
};

// The connection role decides what a broken connection does.
enum tmnet_role_t : uint8_t {
  TMNET_ROLE_SERVER = 0,  // terminal server: the screen lives on the client
  TMNET_ROLE_CLIENT = 1,
  TMNET_ROLE_DATA_SERVER = 3,
  TMNET_ROLE_DATA_LINK = 4,  // the only role that survives a lost connection
};

// Why the last operation failed; what the data link looks at after a 0.
enum tmnet_status : uint8_t {
  TMNET_OK = 0,
  TMNET_TIMEOUT = 1,   // the deadline passed; the connection may be out of step
  TMNET_LOST = 2,      // the peer closed, or a send or receive failed
  TMNET_PROTOCOL = 3,  // a header that the exchange did not allow
  TMNET_REFUSED = 4,   // the caller's request was out of range (nothing sent)
};

constexpr int kTmnetLostExit = 255;  // a broken connection ends the process so
constexpr int kTmnetPoolExit = 1;    // an exhausted or misused buffer pool so

// --- protocol state (process-wide) ---
extern uint8_t tmnet_role;
extern uint8_t tmnet_remote_version;
extern uint32_t srv_feature_mask;  // default 0x11ff
extern uint32_t cli_feature_mask;  // default 0x4 (a client below version 4)
extern uint32_t com_feature_mask;  // their AND once exchanged; default 0
extern uint64_t tmnet_bytes_sent;
extern uint64_t tmnet_bytes_recv;
extern bool tmnet_force_headers;  // KIVO_NET_HEADERS: a header on every coded message

// Opens the debug log and frees every buffer slot for reuse.
void tmnet_init();

// Sets the one-shot time-out (seconds) of the next tmnet_recv_msg; -1 none.
void tmnet_set_timeout(int seconds);
// Makes the next headed tmnet_recv_msg wait for each header it reads as
// long as the user takes (the answer of a show): no session bound applies
// until its first byte (one-shot, tmnet_deadline.h).
void tmnet_set_user_wait();

// Sends a message of `type`: headed when bit 15 is set or headers are
// forced and bits 0-11 are not zero, else bare. 1 sent, 0 failed.
int tmnet_send_msg(int sock, uint16_t type, size_t length, const void* data);

// Receives a message of `type` into `buffer`; 1 received, 0 failed or timed
// out (tmnet_last_status says which). For a headed type: bits 0-11 equal 4
// take any command and leave its code in buffer[0]; length 0 leaves the
// header's length as a host-order u16 in buffer[0..1]; otherwise the header
// must carry exactly `length` bytes, which are read into the buffer.
int tmnet_recv_msg(int sock, uint16_t type, size_t length, void* buffer);

// The header of the last headed receive (code and length as received).
uint8_t tmnet_last_code();
uint32_t tmnet_last_length();
tmnet_status tmnet_last_status();
// The system error of the last connection that broke; 0 when the peer
// closed it (or none broke).
int tmnet_last_error();

// A (row, column) pair as one code-40 message of two big-endian u32.
struct tmnet_rc {
  uint32_t row;
  uint32_t col;
};
int tmnet_send_rc(int sock, const tmnet_rc* pair);
int tmnet_recv_rc(int sock, tmnet_rc* pair);

// Writes all `length` bytes: `length`, or 0 when the data link's send failed.
size_t writen(int sock, size_t length, const void* data);
// Reads exactly `length` bytes within `timeout` seconds for the whole read
// (-1 none): `length`, or 0 at the deadline or after the data link's failure.
size_t readn(int sock, size_t length, void* buffer, int timeout);

// Nested requests from a remote client (GET_OPT, GET_APPS, GET_FILES,
// GET_FIELDS, ADD_ITEM, GET_TOKENS), served inside a terminal server's
// headed receive. The handler reads the request's own data (`length` is the
// header's) and sends its replies; 1 served, 0 failed (the receive fails).
using tmnet_request_handler = int (*)(int sock, uint8_t code, uint32_t length);
tmnet_request_handler set_tmnet_request_handler(tmnet_request_handler h);
bool tmnet_is_request(uint8_t code);

// How the layer ends the process (a lost connection, a protocol error, the
// buffer pool). Tests replace it; when it returns, the operation fails.
using tmnet_exit_fn = void (*)(int status);
tmnet_exit_fn set_tmnet_exit(tmnet_exit_fn fn);
void tmnet_end_process(int status);

// --- work-buffer pool: 30 slots whose memory is kept for reuse ---
constexpr int kTmnetBufferSlots = 30;
// Memory of at least `size` bytes; the 31st buffer held at once ends the
// process with status 1.
uint8_t* tmnet_alloc_buffer(size_t size);
// Returns a buffer to its slot; memory the pool does not know ends the
// process with status 1. A null pointer is ignored.
void tmnet_free_buffer(void* memory);

// --- the peer ---
// Names the peer of `sock`: its verified host name, else its dotted address
// ("UNKNOWN_HOST" when the socket has no IPv4 peer). A non-null terminal id
// is pointed at that name.
void tmnet_get_remote_host(int sock, cstr* terminal_id);
const char* tmnet_remote_name();
const char* tmnet_remote_addr();

// An outgoing TCP connection to host (name or dotted address) and port
// (decimal or a tcp service name): the socket (3 or more, close-on-exec),
// 0 on failure.
int tmnet_cli_conn_to_host(const char* host, const char* port);

// --- debug log (KIVO_NET_LOG, KIVO_NET_LOG_MASK) ---
enum : unsigned { TMNET_LOG_TRACE = 1, TMNET_LOG_WARN = 2, TMNET_LOG_DUMP = 4 };
void tmnet_dbg_log_init();
void tmnet_dbg_log_close();  // for tests and forked children
bool tmnet_dbg_log_on(unsigned level);
void tmnet_dbg_log(unsigned level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void tmnet_dbg_log_no_eol(unsigned level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void tmnet_dbg_log_hexdump(unsigned level, const void* data, size_t length, const char* label);

}  // namespace kivo
