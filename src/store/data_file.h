// The record data file "%s.dat": its stored format, opening and closing, the
// header, space allocation through the free list, and the format upgrade.
//
// Kinds of file (header flag 0x0001 and whether a key file exists):
//   variable-length   512-byte header, records of any length
//   fixed, keyed      512-byte header, records of one footprint (length + 16)
//   fixed, relative   no header; record n is raw bytes at n * length
// Records of the first two kinds carry a 12-byte header and a 4-byte trailer
// equal to the body length, so the file can be walked both ways.
//
// Seeks are u32 on disk; growth past kMaxSeek is refused, never wrapped.
// Allocation and freeing run under the update lock (lock.h) and re-read the
// header first, since another process may have changed it; the header is
// read through a shared mapping of the file's head when there is one, which
// sees every process's writes as a read does.
//
// An exclusive open makes the pair "alone" (fd_lock_state): no other process
// can open it, so its locks take no system call. Every write still reaches
// the file when the operation makes it, in the same order as on a shared
// open, so a crash leaves the same file either way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/hook_list.h"
#include "store/fd_cache.h"

namespace kivo {

// --- data file header (BRF_HDR): 20 bytes of fields in a 512-byte block ---
constexpr uint32_t kDataHeaderSize = 512;
constexpr size_t kDataHeaderFields = 20;
constexpr size_t kHdrFlagsOff = 0;     // u16
constexpr size_t kHdrVersionOff = 2;   // u16
constexpr size_t kHdrRecLenOff = 4;    // u32
constexpr size_t kHdrFreelistOff = 8;  // u32
constexpr size_t kHdrEofseekOff = 12;  // u32
// u32, formerly always zero: the pair's stamp, which the key file's header
// repeats (kHdrStamp); 0 in a file written before it (see brf_stamp_pair).
constexpr size_t kHdrStampOff = 16;
// The rewrite word (u32, past the 16 fields; 0 in a file written before):
// at rest a count of the rewrites in place, kRewriteBusy clear; while a
// record body is rewritten in place, kRewriteBusy | the record's seek. A
// reader without locks takes a copy of a record as whole only when the word
// names no rewrite of that record and stands unmoved around the copy; a
// word left naming a record whose writer died (nobody holds the update
// lock) names a body that may be half old, half new when the record
// crosses a page (kAtomicSpan) in a file without keys: reads give 17 and
// the verification names it, until the record is written again. A relative
// file has no header: a rewrite and a read of its record hold the record's
// write guard (lock.h) through the write and the copy; a kill inside a
// rewrite of a record that crosses a page can leave it half written, and
// nothing can name it.
constexpr size_t kHdrRewriteOff = 20;
constexpr uint32_t kRewriteBusy = 0x80000000u;
constexpr uint16_t kHdrFixed = 0x0001;
constexpr uint16_t kHdrHasVersion = 0x0002;
constexpr uint16_t kBrfVersion = 2;
constexpr uint16_t kVersionUnread = 0xFFFF;  // in memory: no readable header

// --- record header (REC_HDR) and trailer ---
constexpr size_t kRecHdrSize = 12;
constexpr size_t kRecTrailerSize = 4;
constexpr uint32_t kRecOverhead = 16;
// Bytes of the file that one write changes wholly or not at all when the
// process is killed: the smallest page of the systems the engine runs on.
constexpr uint32_t kAtomicSpan = 4096;
constexpr size_t kRhFlagsOff = 0;   // u8
constexpr size_t kRhAgeOff = 1;     // u8
constexpr size_t kRhLengthOff = 2;  // u16
constexpr size_t kRhLinkOff = 4;    // u32
constexpr size_t kRhRecnoOff = 8;   // u32
constexpr uint8_t kRecDeleted = 0x01;
// Incomplete allocation, or a FREE_BLOCK. The new copy of a keyed record
// being moved carries it too, with its link naming the record it replaces
// (every other record's link names itself) until the old one is freed.
constexpr uint8_t kRecNotUser = 0x02;
constexpr uint32_t kMaxRecordLength = 0xFFFF;

// --- FREE_BLOCK: the body of a free-list record ---
constexpr int kFreeEntries = 82;
constexpr size_t kFreeBlockUsed = 496;
constexpr size_t kFbNextOff = 0;   // u32
constexpr size_t kFbSeekOff = 4;   // u32 x 82
constexpr size_t kFbLenOff = 332;  // u16 x 82
static_assert(kFbSeekOff + 4 * kFreeEntries == kFbLenOff);
static_assert(kFbLenOff + 2 * kFreeEntries == kFreeBlockUsed);

constexpr uint32_t kMaxSeek = 0x7FFFFFFF;

// brfopen mode bits (handed to the key file's open as they are).
constexpr uint16_t BRF_KEY_MUST_EXIST = 0x0001;
constexpr uint16_t BRF_CREATE = 0x0004;
constexpr uint16_t BRF_NO_KEYS = 0x0010;
// A file the user may read but not write is opened read-only (shared opens
// only): for the tools that only read. kBtReadOnly of the key file.
constexpr uint16_t BRF_READ_ONLY = 0x0100;

struct brf_hdr {
  uint16_t flags = 0;
  uint16_t version = 0;
  uint32_t rec_len = 0;
  uint32_t freelist = 0;
  uint32_t eofseek = 0;
  uint32_t stamp = 0;
};

// The decoded record header.
struct rec_hdr {
  uint8_t flags = 0;    // kRecDeleted, kRecNotUser; 0 for a live user record
  uint8_t age = 0;      // +1 each time the space is reused from the free list
  uint16_t length = 0;  // body bytes (the space's length for a deleted record)
  // Three meanings, told apart by `flags` and the owner bit:
  //  - live record: its own seek, so a stale index entry is caught on read;
  //  - live record held by an owner-tracking session: owner_word(session)
  //    (kOwnerBit set, lock.h) until the session writes it back;
  //  - deleted record: the next member of its free chain, 0 at the end.
  uint32_t link = 0;
  uint32_t recno = 0;  // ordinal of the space in the file, from 0
};

void encode_brf_hdr(const brf_hdr& h, uint8_t out[kDataHeaderSize]);
brf_hdr decode_brf_hdr(const uint8_t in[kDataHeaderFields]);
void encode_rec_hdr(const rec_hdr& h, uint8_t out[kRecHdrSize]);
rec_hdr decode_rec_hdr(const uint8_t in[kRecHdrSize]);

// The key file, as the data file sees it: the B-tree's binit, bopen, bclose
// and its "no readable header" test. A seam: it starts as the key-file code
// and tests may replace entries; without an open a file with keys cannot be
// opened (status 24).
struct BT_FILE;
struct brf_key_hooks {
  void (*init)() = nullptr;
  BT_FILE* (*open)(int* status, const char* path, uint16_t mode) = nullptr;
  void (*close)(BT_FILE* key) = nullptr;
  // Whether the key file's header could not be read (version 0xFFFF): a key
  // file just created.
  bool (*just_created)(BT_FILE* key) = nullptr;
  // The pair was opened exclusively: the key file is alone too.
  void (*hold_alone)(BT_FILE* key) = nullptr;
};
extern brf_key_hooks brf_key_file;

// clang-format off
#define KIVO_KEY_FILE_SEAMS(X)  \
  X(brf_key_file, init)         \
  X(brf_key_file, open)         \
  X(brf_key_file, close)        \
  X(brf_key_file, just_created) \
  X(brf_key_file, hold_alone)
// clang-format on
KIVO_TABLE_LISTED(brf_key_file, KIVO_KEY_FILE_SEAMS);

constexpr int kMaxKeys = 16;

// The data or key file whose open failed last in this process, and the
// system error; an empty path before any failure. For messages that must
// name them.
struct brf_open_failure {
  std::string path;
  int err = 0;
};
const brf_open_failure& brf_last_open_failure();

// One open data file (BRF_FILE).
struct BRF_FILE {
  int users = 0;              // record control blocks attached
  int slot = -1;              // descriptor-cache slot, -1 when closed
  brf_hdr hdr;                // the header as last read or written
  uint32_t open_rec_len = 0;  // record length given at open
  BT_FILE* key = nullptr;     // none for a file without keys
  bool has_keys = false;
  // The file has the 512-byte header although no key file is open: a
  // fixed-length keyed file whose key file is missing is not relative.
  // Set by brf_set_has_header or brf_header_from_file.
  bool has_header = false;
  std::array<std::vector<uint8_t>, kMaxKeys> null_key;  // empty: none set
  std::array<bool, kMaxKeys> has_null_key{};
  // Record count at an end of file: records before the end never change
  // number, so while eofseek equals count_eof the count is count_at_eof.
  uint32_t count_eof = 0;  // 0 = none known
  uint32_t count_at_eof = 0;
  // A scoped work file opened alone: a relative file's appends gather in
  // `wb` (file bytes from `wb_at`) and reach the file when something reads,
  // rewrites or closes it; the size is then known here (rel_size, -1 = not
  // yet), since no other process can change it.
  bool write_behind = false;
  // Records a relative file is known to hold: such a file never shrinks, so
  // a record below it is found without asking the file's size.
  uint32_t rel_seen = 0;
  std::vector<uint8_t> wb;
  uint64_t wb_at = 0;
  int64_t rel_size = -1;
  int wb_err = 0;        // a failed write of gathered appends: every later count fails with it
  bool stamped = false;  // this open has stamped the pair (brf_stamp_pair)
  int read_err = 0;      // the status of the last read that failed (brf_read_exact), for walks that look back
};

inline bool brf_fixed(const BRF_FILE* f) { return (f->hdr.flags & kHdrFixed) != 0; }
inline bool brf_relative(const BRF_FILE* f) { return brf_fixed(f) && !f->has_keys && !f->has_header; }
// Whether no other process can open the file (an exclusive open).
inline bool brf_alone(const BRF_FILE* f) {
  const fd_lock_state* ls = fd_cache_lock_state(f->slot);
  return ls && ls->alone;
}

// Settings read by brfinit. -1 = no preload limit.
extern long long brf_preload_max;
extern bool brf_verify_eof;

// Reads KIVO_PRELOAD_MAX and KIVO_VERIFY_EOF, then starts the key file module.
void brfinit();

// Opens (mode BRF_CREATE: creates) the data file "<path>.dat" and, unless
// BRF_NO_KEYS, its key file "<path>.key"; takes the header lock (shared or
// exclusive). Returns the block with status 0, or 3 when the file was created;
// else null with status 3, 5, 7 (locked by another process), 22, 23 or 24.
BRF_FILE* brfopen(int* status, const char* path, uint16_t mode, uint32_t rec_len, bool exclusive);

// Writes gathered appends and closes the file unless record control blocks
// are attached: 0. A file that is not open (closed already, or never
// returned by brfopen) is refused with BRF_CLOSED and left alone.
int brfclose(BRF_FILE* f);

// Writes the gathered appends of a write-behind file: 0 or a status.
int brf_wb_flush(BRF_FILE* f);

// Why stored header fields contradict each other, or null when they hold
// together: flag bits no file sets, a version field beside flags that say
// there is none (or none beside flags that say there is), a fixed-length
// file without a record length or a variable-length one with one, and, in
// version 2, an end of file or free list no file of the format can have.
// `raw` is decode_brf_hdr of the stored bytes. A newer version is no
// contradiction: its callers name it in their own words.
const char* brf_hdr_contradiction(const brf_hdr& raw, char* why, size_t n);
// The same for the stored header of an open file; null also for a file that
// keeps no header or whose 16 header bytes cannot be read.
const char* brf_hdr_fault(BRF_FILE* f, char* why, size_t n);

// Reads the header into f->hdr: 0, or 17 (version then kVersionUnread) when it
// cannot be read or is damaged (brf_hdr_contradiction). Nothing to read in a
// relative file.
int brfgethdr(BRF_FILE* f);
// For a caller that knows the file's organisation has a header (variable
// length, or keyed) while its key file is not open: marks it and reads the
// header. Status as brfgethdr.
int brf_set_has_header(BRF_FILE* f);
// For the utilities, which know no organisation: a file opened without keys
// whose first bytes are a readable current-format header is taken as
// headered (brf_set_has_header). Returns whether the file has a header.
bool brf_header_from_file(BRF_FILE* f);
// Writes f->hdr as the 512-byte block: 0, 22 or 24.
[[nodiscard]] int brfputhdr(BRF_FILE* f);
// A fresh header for a file of that record length (0 = variable).
void brfinithdr(brf_hdr* h, uint32_t rec_len);

// Allocates space for a record body of `length` bytes. The header written is
// flagged kRecNotUser until the caller completes the record. `seek` receives
// the record's seek. `no_hdr_io`: the caller keeps f->hdr current and writes it.
// Status 0, 4, 17, 22 (file would pass kMaxSeek, or disk full) or 24.
[[nodiscard]] int brf_rcd_alloc(BRF_FILE* f, uint32_t length, rec_hdr* out, uint32_t* seek, bool search_free,
                                bool no_hdr_io);

// Gives the record at `seek` back to the free list of its length. Status 0;
// 16 when it is deleted already; 17 in a relative file or when no record
// starts there; 4, 22, 24 on I/O failure.
[[nodiscard]] int brf_rcd_free(BRF_FILE* f, uint32_t seek, bool no_hdr_io);

// The same for a record flagged deleted or unfinished already: the upgrade
// and the repair free such records.
int brf_rcd_free_any(BRF_FILE* f, uint32_t seek, bool no_hdr_io);

// Undoes the taking of space by a change that failed (update lock held, the
// in-memory header current): the unfinished record at `seek`, when it is
// the last of the file, goes back to the end of the file (the header's end
// of file moves back to it), since freeing it may need a free-list block,
// more room than a full disk has; any other goes to the free list.
int brf_rcd_give_back(BRF_FILE* f, uint32_t seek);

// Ends the free list at a link between blocks that a kill cut while it was
// written (update lock held): the repair leaves a list that reads sound.
// Status 0, 17 for a damaged list, or a write failure.
int brf_free_list_settle(BRF_FILE* f);

// Builds the free list again from nothing: every record flagged deleted or
// not a user record (FREE_BLOCK records and unfinished allocations too)
// goes on it, but for the new copy of a record being moved in a file of the
// current format (its link names another record), which the repair of the
// keys settles. Update lock held; the records must walk from the header to
// eofseek (else 17). Status 0 or the failure.
int brf_rebuild_free_list(BRF_FILE* f);

// Upgrades the file to version 2 and rebuilds the free list. Returns the
// status: 0 on success.
[[nodiscard]] int brf_upd_ver(BRF_FILE* f);

// With KIVO_VERIFY_EOF, compares the file's size with `expected` and reports
// "Invalid eof(%d,%d) on %s"; always makes sure the descriptor is open.
// Returns false when the descriptor cannot be had or the size differs.
bool verify_eof(int slot, uint32_t expected);

// Whether the header's end of file is not where the records end: past the
// file's end (a file cut short, or a header of a larger file: the records
// it claims are not all there, and an append at that end would leave a
// hole), below a live record that starts whole there (an append would write
// over the records past it), or no record boundary. A few small reads.
// Nothing to check in a file without a current-format header. With a fault,
// its text ("header's end of file 695 lies past the file's end (600
// bytes)") goes to `why` and the result is true.
bool brf_extent_fault(BRF_FILE* f, char* why, size_t n);

// The meaning of a storage status code, for the utilities' messages.
const char* brf_status_text(int st);

// Reads `n` bytes at `off` of the data file like kivo_pread, through the
// file's shared mapping where it covers them (the same bytes, no call).
ssize_t brf_pread(BRF_FILE* f, void* buf, size_t n, uint64_t off);

// The rewrite word as the file holds it now: its place in the shared
// mapping of the header (null when the file is not mapped, or kept by no
// other process: alone, or relative), and its value (0 when unreadable).
const uint32_t* brf_rewrite_word(BRF_FILE* f);
uint32_t brf_rewrite_now(BRF_FILE* f);
// Writes `len` body bytes of the record at `seek` in place, under the update
// lock, between two writes of the rewrite word (a record inside one page of
// a file held alone needs neither). A word a dead writer left naming
// another record that crosses a page in a file without keys is put back
// afterwards, so the record stays named. Status 0 or the write's failure.
int brf_body_rewrite(BRF_FILE* f, uint32_t seek, const uint8_t* body, uint32_t len);
// The record a writer that died left half written: its seek when the word
// names one that crosses a page in a file without keys (the caller holds
// the update lock, or has found it free), else -1.
int64_t brf_torn_record(BRF_FILE* f);
// Under the update lock: a word a dead writer left naming a record that no
// kill can have torn goes back to rest, so that readers of the record stop
// taking the locked way. A failed write only leaves it so.
void brf_rewrite_settle(BRF_FILE* f);

// brf_pread of exactly `n` bytes: BRF_OK; BRF_SYS_ERR for a read that
// failed, its file, place and reason recorded as the failure's system-error
// text (kivo_read_error); BRF_BAD_DATA for bytes past the file's end.
int brf_read_exact(BRF_FILE* f, void* buf, size_t n, uint64_t off);
// A record whose header, flags, length or trailer disagree met by a read
// that cannot go past it: the data file's damage, recorded as the failure's
// system-error text with the record's seek, what is wrong and the repair;
// BRF_SYS_ERR.
int brf_record_damaged(BRF_FILE* f, uint32_t seek, const char* what);

// The pair's stamp: a value both headers carry, renewed in both by the
// first change of each open (under the update lock), so that a key file put
// back from a copy of another time no longer matches its data file. A
// stamp of 0 (a file written before stamps) matches any. BRF_OK, or the
// status of a failed write.
int brf_stamp_pair(BRF_FILE* f);
// Whether the key file's stamp differs from the data file's (both read
// again under the update lock before it is said): its reason into `why`.
bool brf_key_stale(BRF_FILE* f, char* why, size_t n);

// Record header I/O at a record's seek: 0, 17 (short read), 24 (failed
// read, named), 4/22/24 (write).
int brf_read_rec_hdr(BRF_FILE* f, uint32_t seek, rec_hdr* out);
[[nodiscard]] int brf_write_rec_hdr(BRF_FILE* f, uint32_t seek, const rec_hdr& h);

// Records in the file, deleted and FREE_BLOCK records included (for a relative
// file: whole records in the file's size). Status 0 or 17.
int brf_record_count(BRF_FILE* f, uint32_t* count);

// Body size of a FREE_BLOCK record in this file.
uint32_t free_block_body_size(const BRF_FILE* f);

// The free-list half of brf_rcd_alloc: re-reads the header and takes a
// deleted record of exactly `length` when there is one (*found).
int brf_rcd_take_free(BRF_FILE* f, uint32_t length, rec_hdr* out, uint32_t* seek, bool* found);

// Appends a whole record at the end of a variable-length file with keys
// or without: header, `body` and trailer in one write, then the file header.
// With `finished` the header is final (flags 0); else it is flagged
// kRecNotUser until the caller completes it. Status as brf_rcd_alloc.
int brf_rcd_append(BRF_FILE* f, const uint8_t* body, uint32_t length, bool finished, rec_hdr* out, uint32_t* seek);

// Many records appended to a variable-length file without keys that is
// alone (flat import): whole records gather in a buffer that goes out in one
// write followed by the file header. Nothing is on disk before brf_bulk_flush
// (or a full buffer), so a crash loses the unflushed tail only, never a
// record already there.
struct brf_bulk {
  BRF_FILE* file = nullptr;
  std::vector<uint8_t> buf;
  uint32_t start = 0;  // seek of buf[0]
  uint32_t count = 0;  // record number of the next record
  uint32_t sent = 0;   // seek up to which the device write has been started
};
// Whether the file takes a bulk append; brf_bulk_begin then readies `b`.
bool brf_bulk_ok(BRF_FILE* f);
int brf_bulk_begin(brf_bulk* b, BRF_FILE* f);
// Status 0, 17 (length 0 or over 65,535), 22 (file would pass kMaxSeek) or
// a write failure.
int brf_bulk_put(brf_bulk* b, const uint8_t* rec, uint32_t len);
int brf_bulk_flush(brf_bulk* b);

// Status for a failed system call; 24 also records the system's text as the
// last system error, which message 200650 shows.
int brf_errno_status(int err, int line);

}  // namespace kivo
