// The native back-end (switch type 1): the file manager's slots over the
// storage engine's data and key files (data_file.h, record_ops.h).
//
//   UIO_FILE  one per operating-system path of the session, in Idlist; the
//             PFB's identity is (524, the block's number in Idlist)
//   UIO_STRM  one per stream: its control block, position and hold
//
// Invariants: a file's data file is open while a stream of it holds a
// control block (every active stream does), and is closed with the last
// logical file that has it open; the key-file handle of a key
// number is valid only after the version check of the open that set it.
// A hold of state UIO_RCVR has lost its lock and is taken again before a
// rewrite or delete.
//
// Callers: the file manager through unix_fms_fn; fms_init.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "fm/fm_objects.h"
#include "fm/fm_switch.h"
#include "store/record_ops.h"

namespace kivo {

constexpr uint16_t kUioId16 = 524;
constexpr size_t kUioPathLen = 256;

// Statistics rows.
enum : int { ST_OPEN, ST_READ, ST_RDNXT, ST_START, ST_WRITE, ST_REWRITE, kStatRows };

struct uio_stat_row {
  long tot_sec = 0, tot_usec = 0;
  long max_sec = 0, max_usec = 0;
  long start_sec = 0, start_usec = 0;
  long count = 0;
};

struct UIO_STRM;

// In-memory only; larger than its 32-bit figure.
struct UIO_FILE {
  char path[kUioPathLen] = {};  // without extension
  uint32_t id = 0;              // the PFB identity's second word
  BRF_FILE* brf = nullptr;      // null while the data file is closed
  int users = 0;                // logical files (alloc_fi / free_fi), closed ones kept included
  int nkeys = 0;
  int key_handle[kMaxKeys];  // key-file key of each key number, -1 none
  std::vector<UIO_STRM*> streams;
  bool scoped = false;
  uint16_t open_count = 0;
  uint8_t flags = 0;  // kUioTrackLocks
  uio_stat_row stats[kStatRows];
  UIO_FILE() {
    for (int& k : key_handle) k = -1;
  }
};
constexpr uint8_t kUioTrackLocks = 0x01;

// Position states.
enum : uint8_t { UIO_NO_POS = 0, UIO_ON_REC = 1, UIO_PENDING = 2 };
// Hold states.
enum : uint8_t { UIO_NO_HOLD = 0, UIO_HELD = 1, UIO_RCVR = 2, UIO_HELD_RECOVER = 3 };

struct UIO_STRM {
  STRM* strm = nullptr;
  UIO_FILE* file = nullptr;
  uint8_t pos = UIO_NO_POS;
  uint8_t hold = UIO_NO_HOLD;
  BRF_RCB* rcb = nullptr;
  const uint8_t* key = nullptr;  // key of the current operation
  int key_len = 0;
  uint8_t* rec = nullptr;  // record area of the current operation
  uint32_t rec_len = 0;
  int64_t saved_seek = -1;  // of the held or pending record
  std::vector<uint8_t> saved;
  std::vector<uint8_t> buf;  // records are read here, and handed out in locate mode
  bool preloaded = false;
  uint8_t rec_id[4] = {};
};
// The native stream behind a stream of this back-end.
inline UIO_STRM* uio_strm(STRM* s) { return static_cast<UIO_STRM*>(s->strm_fms_path); }

extern fms_fn unix_fms_fn;
// Short temporary names (KIVO_SHORT_TMP_NAMES).
extern bool uio_short_tmp_names;

// Start-up: exit handlers, statistics log, short names; fills and installs
// the table and starts the storage engine. 1 on success.
int unix_fm_init();

// Engine status to file-manager status. A full disk (22) and no free
// descriptor (23) are reported as system errors naming `path` and returned
// as 200380 and 200650, like any other failure; a lock whose wait reached
// its limit is another user's hold (200530).
uint32_t convert_btree_error(int code, const char* path);
// Bounds every later lock wait to `ms` milliseconds (0: until granted); a
// wait that reaches it refuses the operation as locked by another user.
void unix_fm_lock_wait_limit(unsigned ms);
// The engine's key descriptor of `key` (duplicates get the primary key's
// segments behind): 0, or 19 past 16 segments.
int fill_bkey_from_kdb(KEY_DESC* out, const KDB* key, const KDB* primary);
// Format check and upgrade run at every open and create; an engine code.
int vfy_ver(UIO_FILE* f, LFB* lfb, bool upgrade);

// Whether this process or another has the pair at `base` (no extension)
// open: its open lock cannot be taken.
bool uio_pair_in_use(const char* base);
// The block of a PFB that this back-end owns, or null.
UIO_FILE* uio_file(const PFB* pfb);

// Statistics.
void upd_stats(UIO_FILE* f, int row, bool start);
void dump_stats(UIO_FILE* f);
void dump_all_stats();

// The record slots (unix_fm_record.cpp).
int u_read(ARB* arb, STRM* strm);
int u_start(ARB* arb, STRM* strm);
int u_rdnxt(ARB* arb, STRM* strm);
int u_write(ARB* arb, STRM* strm);
int u_rewrite(ARB* arb, STRM* strm);
int u_del(ARB* arb, STRM* strm);
int u_release(ARB* arb, STRM* strm);
int u_transact(int kind, int value, int unused);
// A stream's lock given up, its held bit cleared (1 → 0, 3 → 2).
void uio_drop_hold(UIO_STRM* u);

// Runs fn on every stream of every native file of the session.
void uio_for_each_stream(void (*fn)(UIO_STRM*));

// The engine's read-ahead hint (brfprefetch) for the record at `seek` of a
// native stream; nothing for a stream of another back-end.
void uio_prefetch(const STRM* strm, uint32_t seek);

// Reads a record at a seek with the stream's lock settings (record_ops.h).
int uio_read_seek(UIO_STRM* u, uint32_t seek, uint32_t* len);

}  // namespace kivo
