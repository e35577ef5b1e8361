// The remote data back-end (switch type 7) and the data server: the
// request codes and the two fixed blocks both sides exchange, the netio log,
// the client's slots and the server's byte-order conversion.
//
// Invariants: the client sends every value in its own byte order and the
// server converts; the request block's handle is the server's own value and
// never converted. A stream handle names an entry of the server's table of
// this connection's streams (index and generation), never an address.
//
// Callers: the file manager through net_fms_fn (net_fm_init fills it at
// fms_init); main's data-server mode through netio_serve (net/net.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fm/fm_objects.h"
#include "fm/fm_switch.h"

namespace kivo {

// Request codes; each request is a command header of 0x8000 + code.
enum netio_code : uint8_t {
  NETIO_ATTACH = 1,
  NETIO_START = 2,
  NETIO_OPEN = 4,
  NETIO_RDNXT = 5,
  NETIO_CLOSE = 6,
  NETIO_WRITE = 7,
  NETIO_RELEASE = 8,
  NETIO_DETACH = 9,
  NETIO_DEL = 10,
  NETIO_REWRITE = 11,
  NETIO_READ = 12,
  NETIO_BYTE_ORDER = 13,
  NETIO_PAUSE = 16,
  NETIO_CREATE = 17,
  NETIO_OPTIONS = 18,
};

// Request block (netarb).
constexpr size_t kNetarbSize = 24;
enum : size_t {
  NETARB_HANDLE = 0,    // u32, the server's own value
  NETARB_KEYNO = 4,     // u32
  NETARB_LEN = 8,       // u32: data after the block, or the record
  NETARB_KEY_OFF = 12,  // u32: the key's offset in a record-form key
  NETARB_REC_LEN = 16,  // u32: the file's record length
  NETARB_MOD = 20,      // u16 arb_mod; 22-23 unused
};
static_assert(NETARB_MOD + 4 == kNetarbSize);

// Status block (netstat).
constexpr size_t kNetstatSize = 20;
enum : size_t {
  NETSTAT_CODE = 0,      // u32 file-manager status
  NETSTAT_LEN = 8,       // u32 record length returned (4-7 unused)
  NETSTAT_VAR_LEN = 12,  // u32 variable record length returned
  NETSTAT_OK = 16,       // u8, 1 = success; 17-19 unused
};
static_assert(NETSTAT_OK + 4 == kNetstatSize);

constexpr uint32_t kNetStrmMarker = 0x12340123;
constexpr uint16_t kNetId16 = 7;         // pfb_id16 of a remote file
constexpr uint32_t kNetOptLenCheck = 1;  // option bit 0: length-check mode
// The option word's high half: the client's keepalive bound in seconds (0:
// the client sends no keepalive and the server waits for it without bound).
constexpr uint32_t kNetOptKeepaliveMask = 0xFFFF0000;
constexpr unsigned kNetKeepaliveDefault = 180;
constexpr unsigned kNetKeepaliveMax = 0xFFFF;
constexpr int kNetMaxKeys = 16;  // what the file manager can hold
constexpr int kNetMaxSegs = 16;

// Log levels of the netio log.
enum : uint32_t { NETLOG_SERVER = 1, NETLOG_CLIENT = 2, NETLOG_ERROR = 4, NETLOG_TIMING = 8 };
void netio_log(uint32_t level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Opens `path` ("w") as the log, closing one open before; null closes it.
void netio_log_open(const char* path);
extern uint32_t netio_log_mask;
extern uint32_t netio_options;  // the option word (KIVO_NET_OPTIONS)

// Sends and receives of one bare message, with the length-check message in
// front when that mode is on. 1 done, 0 failed.
int netio_send(int sock, const void* data, size_t n);
// `timeout`: seconds for each of its reads (-1: the bound of the phase).
int netio_recv(int sock, void* data, size_t n, int timeout = -1);

// ---- client ----

// A data-server text parsed: "[user[:password]@]host:port". False (with a
// reason) when the host or the port (1-65535) is missing or bad.
struct net_addr {
  std::string user, password, host;
  uint32_t port = 0;
};
bool net_parse_server(const char* text, size_t len, net_addr* out, std::string* why);
// The last failure of a data-server connection of this process (host, port,
// system error), "" when none failed.
const std::string& netio_conn_failure();

// KIVO_NET_KEEPALIVE_TIMEOUT (1-65535), else kNetKeepaliveDefault: the
// seconds within which a data server may end the session of a client that
// sent it nothing; the client sends a PING each third of it.
unsigned netio_keepalive_seconds();
// Sends the PING that is due on each connection between requests; the
// milliseconds until the next is due, -1 when no connection is up (or a
// request is under way). The engine calls it while it waits for its user
// and at its yield point.
int netio_keepalive();
// While on (the engine's start), a connection that fails ends the process
// with one line naming the server and the cause, and kTmnetLostExit.
void netio_set_starting(bool on);

extern fms_fn net_fms_fn;
// Fills and installs the switch; reads KIVO_NETIO_LOG, KIVO_NETIO_CODE and
// KIVO_NETIO_BREAK. 1.
int net_fm_init();
// Drops every connection and id (tests, a forked engine).
void net_fm_reset();

// ---- server ----

// The client's byte order from its probes; false when they name no order
// this server can convert.
bool netio_set_order(const uint8_t probe2[2], const uint8_t probe4[4]);
bool netio_same_order();
void swap2(uint8_t* field);
void swap4(uint8_t* field);
void fix_netarb(uint8_t* block);
void fix_netstat(uint8_t* block);

// One binary field of a record, per occurrence.
struct fld_map_entry {
  uint16_t size;
  uint8_t type;  // data-type code: 5 binary, 6 and 7 binary dates
  uint32_t offset;
  uint16_t occurrence;
};
using fld_map = std::vector<fld_map_entry>;

// How the server converts a file's records.
enum class rec_rule : uint8_t { plain, dstruct, dstmt };
struct open_conv {
  fld_map map;
  rec_rule rule = rec_rule::plain;
  uint16_t rec_len = 0;
  uint32_t initials = 0;  // a structure file's records laid out as the file's
};

void bld_fld_map(const FDB* fdb, open_conv* conv);
const fld_map_entry* off_to_map(const open_conv& conv, uint32_t offset);
// Converts a record of `len` bytes; `recno` is its position in the scan or
// its record number (structure files), 0 when unknown.
void fix_endian(uint8_t* rec, size_t len, const open_conv& conv, uint32_t recno);
void fix_contig_key(uint8_t* key, size_t len, const KDB* kdb, const open_conv& conv);
void fix_dstruct(uint8_t* rec, size_t len, const open_conv& conv, uint32_t recno);
void fix_dstmt(uint8_t* rec, size_t len, const open_conv& conv);
void fix_occ(uint8_t* rec, size_t len, size_t at);

// Converts and sends a status block.
void send_netstat(int sock, uint32_t code, uint32_t len, uint32_t var_len, bool ok);
// The longest pause (seconds) a client may ask the server for.
extern unsigned netio_max_pause;

}  // namespace kivo
