// Record operations on native files: a record control block (BRF_RCB) on an
// open data file (data_file.h) reads records by number, by key or in
// sequence, writes, rewrites and deletes them, and keeps every index of the
// key file (btree.h) in step with the data.
//
// Invariants a reader must keep in mind:
//  - Space allocation, freeing and index changes run under the update lock
//    (byte 0 of the data file); each tree operation under the tree lock.
//    Readers take neither: a record being written carries kRecNotUser until
//    it is complete and is never delivered meanwhile.
//  - An operation that fails leaves data file and indexes as they were: the
//    space taken is freed, the entries made are removed, and an entry removed
//    is put back.
//  - Every index holds each active record whose key is not that key's null
//    image exactly once.
//  - Every change of a keyed file runs inside the key file's in-use mark
//    (btree.h): a writer killed inside one leaves the mark set, and the next
//    process to meet it while no process holds the update lock repairs the
//    pair from the data (record_repair.cpp) before it uses the indexes.
//  - A keyed read delivers only a record that carries the key of the entry
//    it came from; a read by number only the record of that number.
//
// Results are the storage status codes of brf_status.h, also left in
// rcb->status. Callers: the native back-end, flat export and import, the
// analyser.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "store/brf_status.h"
#include "store/btree.h"
#include "store/data_file.h"
#include "store/lock.h"

namespace kivo {

// One stream on a data file.
struct BRF_RCB {
  BRF_FILE* file = nullptr;
  BT_CURSOR* cursor = nullptr;  // none for a file without keys
  rec_lock lock;                // flags RCB_LOCK_* and the locked seek
  int status = 0;
  uint16_t mode = 0;  // access mode given at attach
  // A read by a key's entry: the record's trailer must repeat its length
  // where the bytes read show it (a walk by number leaves that to its caller).
  bool by_key = false;
  bool owner_tracking = false;
  int64_t cur_rec = -1;           // current record number, -1 = none
  int64_t last_rec = -1;          // of the last record read or written
  int64_t last_seek = -1;         // seek of that record
  int key_form = kKeyFormRecord;  // form of a key handed to brfseek
  int positioned_key = -1;        // key the cursor was last positioned on
  uint8_t* preload = nullptr;     // whole-file preload, none by default
  uint32_t preload_pos = 0;
  uint32_t preload_size = 0;
  // Stored length of the record the last read delivered (0 when none was):
  // the count delivered (*len) is at most this; a caller whose buffer was
  // shorter reports the record cut short.
  uint32_t stored_len = 0;
  std::vector<uint8_t> scratch_a, scratch_b;  // record images of one operation
};

// Attaches a control block. With keys a cursor is attached (its failure is
// the attach's); owner tracking stamps held records and the key file's owner
// word with lock_session_number. Null with *status set on failure.
BRF_RCB* brfaccess(int* status, BRF_FILE* f, uint16_t mode, bool owner_tracking);
// Releases a held lock, detaches the cursor and the preload, frees the block:
// 0. A block that is not attached (closed already, or never returned by
// brfaccess) is refused with BRF_CLOSED and left alone.
int brfdeaccess(BRF_RCB* r);

// Asks for a record lock with the next read (wait: block until granted,
// else a refusal gives 20 and the record is still delivered).
void brf_want_lock(BRF_RCB* r, bool wait);
// Releases the held record lock, if any.
void brf_release(BRF_RCB* r);

// The one check of a record header read at `seek`: 0 for a finished user
// record of this file that names itself (its own seek, or an owner stamp)
// and ends by `end` (the end of file the caller knows; kAnyEnd when a short
// read tells instead); 16 for a deleted or unfinished record; 17 for
// anything else, which is no record start.
constexpr uint64_t kAnyEnd = UINT64_MAX;
int brf_rec_hdr_check(const BRF_FILE* f, const rec_hdr& h, uint32_t seek, uint64_t end);
// A read that could not take the record at `seek` (17 through its tries):
// what its header, length and trailer show is named as the data file's
// damage (brf_record_damaged, 24), or a read that fails as such (24); 17
// when the record reads sound now.
int brf_record_unreadable(BRF_FILE* f, uint32_t seek);

// Reads. `size` bytes at most are delivered into `buf`; *len gets the count.
// brfget: the cursor's record when it has a key, else the current record
// number. brffirst/brfnext: first/next in key order, or by record number
// (deleted records skipped). Status 0; 20 when the record is delivered but
// another process holds its lock; 8 end; 9 no such record; 16 deleted;
// 17 short or unreadable. r->stored_len gets the record's stored length.
int brfget(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len);
int brffirst(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len);
int brfnext(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len);
// The record at `seek` (a record id): checked to be a live record there,
// locked as brfget; the cursor goes on from it.
int brfgetat(BRF_RCB* r, uint32_t seek, uint8_t* buf, size_t size, uint32_t* len);
// A hint ahead of a brfgetat of `seek`: asks the memory system for the
// record's bytes where the file is already mapped. Reads, checks and locks
// nothing, sets no status: a bad seek only wastes the hint.
void brfprefetch(BRF_RCB* r, uint32_t seek);
// Keyed read: mode kSeekEqual / kSeekGreater / both (btree.h); the key in
// r->key_form, `keylen` bytes (kWholeRecord for a whole record).
int brfseek(BRF_RCB* r, int mode, const uint8_t* key, int keylen, uint8_t* buf, size_t size, uint32_t* len);

// Writes a new record (`len` is the record length of a fixed-length file).
// 10 when a key duplicates an existing one: nothing is left behind.
[[nodiscard]] int brfput(BRF_RCB* r, const uint8_t* buf, uint32_t len);
// Rewrites the held record (keyed) or the current record; a new length moves
// a variable-length record. 16 for a deleted or unfinished record; 17 for a
// new length in a fixed-length file.
[[nodiscard]] int brfrewrite(BRF_RCB* r, const uint8_t* buf, uint32_t len);
// Deletes the held record (keyed) or the current record.
[[nodiscard]] int brfdelete(BRF_RCB* r);

// Finds or (create) defines a key and makes it current. A key just created
// gets its index built from the data file; when that fails the key
// definition is removed again and the failure returned. The null-key image is
// zeros, or with `null_from_record` the key of `record`.
[[nodiscard]] int brfsetkey(BRF_RCB* r, KEY_DESC* d, bool create, bool null_from_record, const uint8_t* record);
int brfsetkeyN(BRF_RCB* r, int keyno);
// Positions the cursor on the current record under the current key.
int brfsetcur(BRF_RCB* r);

// Seek of record number n, or -1 (status set).
int64_t brffindrcd(BRF_RCB* r, int64_t n);
// Records in the file (deleted and free-list records count), or -1.
int64_t brfrcdcnt(BRF_RCB* r);

// Whole-file preload for a block without cursor (KIVO_PRELOAD_MAX bounds it).
void brf_preload(BRF_RCB* r);
int preload_nxt(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len);
// With fast reading, preload_nxt copies nothing and points brf_preload_buf
// at the record inside the preload buffer.
extern bool uio_read_fast;
extern const uint8_t* brf_preload_buf;

// Index maintenance of the record at `seek` (current key last). A record
// must cover every key segment (brf_key_extent bytes); the operations above
// hand shorter records over zero-padded.
[[nodiscard]] int brfinsertall(BRF_RCB* r, const uint8_t* rec, uint32_t seek);
[[nodiscard]] int brfdeleteall(BRF_RCB* r, const uint8_t* rec, uint32_t seek);
[[nodiscard]] int brfreinsertall(BRF_RCB* r, const uint8_t* old_rec, const uint8_t* new_rec, uint32_t old_seek,
                                 uint32_t new_seek);
// Whether the record's key of the current key is null (1) or not (0).
int brfisnullkey(BRF_RCB* r, const uint8_t* rec);
// Whether the record's key of key `keyno` is null.
bool brf_key_is_null(BRF_FILE* f, int keyno, const uint8_t* rec);
// Bytes a record must have for every key segment of the file to lie in it.
uint32_t brf_key_extent(BRF_FILE* f);
// Sets key `keyno`'s null image: zeros, or the key of `record`.
void brfnullkey(BRF_FILE* f, int keyno, bool from_record, const uint8_t* record);

// One change of a keyed file, under the update lock: begin lets its first
// key-file write set the in-use mark (btree.h), or gives BRF_ABANDONED when
// a dead writer's mark is set already; a change that fails with
// BRF_ABANDONED has undone its own writes, and brf_change_repaired then
// repairs the pair and says whether to make the change again (else *st is
// the repair's failure); end clears the mark and returns `st`. A file
// without keys has no mark.
int brf_change_begin(BRF_RCB* r);
bool brf_change_repaired(BRF_RCB* r, int* st);
int brf_change_end(BRF_RCB* r, int st);

// The checks of a key file at every open of its pair (key_file_check.cpp),
// a few page reads a key: true with the fault in `why` when the key file
// cannot be the data file's as it stands. The size check: its header's end
// of file lies past its end (cut short). The content check (keys declared,
// null images set; the update lock is taken meanwhile): the first and last
// entry of each key name a live record that carries the entry's key, and an
// empty key stands beside no record that has a value for it. A data-file
// read that failed on the way leaves BRF_SYS_ERR in the file's read_err (the
// read's own text said why): no fault of the key file.
bool brf_key_size_fault(BRF_FILE* f, char* why, size_t n);
bool brf_key_content_fault(BRF_RCB* r, char* why, size_t n);

// The values of key definition `d` that live records of the data file
// repeat (key_repeats.cpp). A record holding `null_key` (key form, d.keylen
// bytes) has no value for the key; without one, a value empty in every
// segment is none, as the repair takes it. The header must be current
// (brfgethdr). Status 0, or the failure of a record that cannot be read.
class brf_progress_gate;
struct key_repeats {
  uint32_t values = 0;             // records with a value for the key
  uint32_t left_out = 0;           // records an index of the key cannot hold: their value came before
  std::vector<std::string> first;  // the first repeated values in key order (brf_key_text), at most `max`
  struct later_record {
    uint32_t seek;      // a record left out: a record before it in the file holds its value
    std::string value;  // brf_key_text
    uint32_t kept;      // the first record in the file that holds the value
  };
  std::vector<later_record> later;  // every record left out, by value
};
int brf_key_repeats(BRF_FILE* f, const KEY_DESC& d, const uint8_t* null_key, size_t max, key_repeats* out,
                    brf_progress_gate* progress = nullptr);
// The key of definition `d` in record `rec` of `len` bytes, zero-padded
// where the record ends before a segment does.
void brf_build_key(const KEY_DESC& d, const uint8_t* rec, uint32_t len, uint8_t* out);
// A key value as the user reads it: text segments as their characters
// (trailing blanks off), other bytes as \xNN, segments parted by "|".
std::string brf_key_text(const KEY_DESC& d, const uint8_t* key);
// The repeated values of `r`, quoted and parted by commas: "C0001", "C0002".
std::string brf_repeats_text(const key_repeats& r);

// What a repair did.
struct brf_repair_counts {
  int keys = 0;                    // keys whose index was built again
  uint32_t records = 0;            // active records indexed
  uint32_t moves_kept = 0;         // moved records finished (the old one was freed)
  uint32_t moves_undone = 0;       // moved copies dropped (the old one is still live)
  uint32_t repeated = 0;           // records left out of a key for a value met before
  uint32_t values[kMaxKeys] = {};  // entries each key holds after the repair
};
// A whole-file build's progress: `line` gets a text now and then once the
// build has taken more than a moment ("Building the keys of X: records read
// 40%"), and null at its end when it showed one.
struct brf_progress {
  void (*line)(void* ctx, const char* text) = nullptr;
  void* ctx = nullptr;
};
// Says how far a piece of work has got once it has taken more than a moment
// (half a second), at most a few times a second, as "<title>: <step>
// <percent>%"; clear() and the end take the line away. Without a
// brf_progress (or one without `line`) it says nothing.
class brf_progress_gate {
 public:
  brf_progress_gate(const brf_progress* p, std::string title);
  ~brf_progress_gate() { clear(); }
  brf_progress_gate(const brf_progress_gate&) = delete;
  brf_progress_gate& operator=(const brf_progress_gate&) = delete;
  void show(const char* step, uint64_t done, uint64_t total);
  // Takes a shown line away (before other output), to come back at the next show.
  void clear();

 private:
  const brf_progress* p_;
  std::string title_;
  int64_t start_ms_, last_ms_ = 0;
  bool shown_ = false;
};
// Sorts by `less`, a total order, in pieces merged in passes, saying how
// far it has got between them: one sort of millions of values takes
// seconds, and its result is the same as one sort's.
template <class T, class Less>
void sort_showing(std::vector<T>& v, Less less, brf_progress_gate& progress) {
  constexpr size_t kPiece = size_t{1} << 18;
  const size_t n = v.size(), pieces = (n + kPiece - 1) / kPiece;
  const uint64_t steps = pieces ? 2 * pieces - 1 : 0;
  uint64_t done = 0;
  for (size_t at = 0; at < n; at += kPiece) {
    std::sort(v.begin() + at, v.begin() + std::min(n, at + kPiece), less);
    progress.show("sorting the key's values", ++done, steps);
  }
  for (size_t w = kPiece; w < n; w *= 2)
    for (size_t at = 0; at + w < n; at += 2 * w) {
      std::inplace_merge(v.begin() + at, v.begin() + at + w, v.begin() + std::min(n, at + 2 * w), less);
      progress.show("sorting the key's values", ++done, steps);
    }
}

// The progress on the status line (bt_upd_stat): the engine's screen, or
// standard error before there is one.
extern const brf_progress brf_status_progress;

// How a whole-file build treats what it meets.
struct brf_build_opts {
  bool leave_out_repeats = false;  // a value met again leaves that record out of the key (counted); else 10
  const brf_progress* progress = nullptr;
};
// Builds the indexes of the keys of `mask` (bit k for key k), whose trees
// are empty, from the data file (record_build.cpp): one walk in large reads,
// each key's values sorted, its pages written bottom up. A build of every
// key of the file first settles the moves a dead writer left unfinished. The
// caller holds the update lock inside a change. Fills out->records, values,
// repeated and the moves settled. Status.
int brf_build_keys(BRF_RCB* r, uint32_t mask, const brf_build_opts& o, brf_repair_counts* out);
// The keys the description of the file `described_as` gives
// (store_hooks.described_keys), defined on the key file of the pair at
// `base` when it holds none yet (missing, new or empty) and built from the
// records at once, a repeated value left out of its key (counted). *built
// tells whether there was such a build; nothing is done for a pair whose
// keys are defined or that no description gives keys. A failed build leaves
// no key file (the next open builds it). Status.
int brf_build_described_keys(const std::string& base, const std::string& described_as, bool exclusive,
                             const brf_progress* progress, brf_repair_counts* out, bool* built);
// The utilities' progress on the terminal (standard error): one line
// written again in place, or a line now and then when it is no terminal.
extern const brf_progress brf_terminal_progress;
// Whether the header at `seek` is a moved record's copy that a repair must
// settle, and the settling (dropped while the old record lives, else
// finished; *h as it is then, counted in `out`). `starts`: the seek of every
// record of the file, ascending.
bool brf_is_moved_copy(const rec_hdr& h, uint32_t seek);
int brf_settle_copy(BRF_FILE* f, uint32_t seek, rec_hdr* h, const std::vector<uint32_t>& starts,
                    brf_repair_counts* out);

// Repairs the pair with the update lock held by the caller: unfinished moves
// are settled, every index is built again from the data file (definitions
// kept) and the mark is cleared. Status 0, or the failure.
int brf_repair_locked(BRF_RCB* r, brf_repair_counts* out, const brf_progress* progress = &brf_status_progress);
// After a tree operation: when the header it read shows a mark this process
// did not set and no process holds the update lock, the writer died inside
// a change; the pair is repaired and true returned (the caller searches
// again). The repair is announced in one line. A tree operation that
// refused trees a dead writer left half written (BRF_ABANDONED) waits for
// the update lock instead, and true means the trees are whole again.
bool brf_repair_if_abandoned(BRF_RCB* r);
// Waits until no other process runs a change of the pair (the update lock
// taken and given back at once); a dead writer's mark met then is repaired
// as above. For a keyed read that finds its record in motion.
void brf_wait_for_change(BRF_RCB* r);
// The administrator's repair of "<name>" (".dat" is taken off): a pair that
// is marked or fails verification is repaired; a sound one is left as it is.
// A data file without a key file has its free list built again instead; one
// without a header (store_hooks.anal_headerless) is never written. One line on the
// standard output says which. 1 good, 0 bad.
int brfrepair(const char* name);
// The first step of that repair for a data file whose whole records end
// before its header's end of file (cut short, or holed), or whose header
// brf_walk_header settles from the records: the whole records are kept,
// the bytes after them are copied to "<base>.aside" (".aside.2" ... when
// taken) before the end of file is set after them, a kept record's
// trailer and a wrong record number are written again, and the free list
// is built again; lines to `out` say what was kept, set aside and written.
// Nothing is written to a file whose records reach its end of file and
// carry their numbers, or without a current-format header; a header the
// records cannot settle is named on stderr, and 17 returned. Status 0, or
// the failure.
int brf_salvage(const std::string& base, FILE* out);

// Bytes of a data file: [from, to).
struct brf_span {
  uint64_t from = 0, to = 0;
};

// The walk of a data file's records by their own headers and trailers that
// the repair and the export share (record_salvage.cpp), up to `limit`
// bytes. A record is whole when its header reads, its flags and length are
// a record's of this file (a user record of a fixed-length file has the
// header's record length, or any with `any_length`) and its trailer repeats
// its length; in a fixed-length file a user record whose only fault is its
// trailer (it names itself and a whole record or the limit follows) counts
// as whole too, with `trailer_only` set.
class brf_record_walk {
 public:
  brf_record_walk(BRF_FILE* f, uint64_t limit, bool any_length = false);
  // The seek after the record at `seek` when it is whole (*h its header),
  // else 0 and *why says what is wrong with it.
  uint64_t whole_at(uint64_t seek, rec_hdr* h, bool* trailer_only = nullptr, const char** why = nullptr);
  // Past the record at `seek`, which is not whole: where the next whole
  // record starts that is no pattern inside other bytes, leaving a span of
  // at least one record's room; 0 when none does before the limit.
  uint64_t resume_after(uint64_t seek);
  uint64_t limit() const { return limit_; }

 private:
  const uint8_t* get(uint64_t off, size_t n);
  uint64_t whole(uint64_t seek, rec_hdr* h, bool lenient, bool* trailer_only, const char** why);
  bool trusted_start(uint64_t seek, uint64_t next, const rec_hdr& h);
  uint64_t next_start(uint64_t from);
  BRF_FILE* f_;
  uint64_t limit_;
  bool any_length_;
  std::vector<uint8_t> buf_;
  uint64_t at_ = 0;
  size_t len_ = 0;
};
// The number a record at `seek` must carry: its place among the records
// (`ordinal` of them before it), or in a fixed-length file its slot.
uint32_t brf_place_number(const BRF_FILE* f, uint64_t seek, uint32_t ordinal);
// Sets up the header of a data file opened without keys for such a walk
// of a file of `size` bytes: a current-format header whose only faults are
// its end of file or, in a fixed-length file, its record length is taken
// as it is, the record length then from the records themselves when none
// carries the header's, every whole user record carries one length and
// the file's description (if known) gives it. *limit gets where the walk
// ends: the header's end of file, or the file's size when that end is not
// where the records end. *fault gets the header's faults in words (empty
// when none). BRF_OK; BRF_BAD_DATA with *fault when the records contradict
// the header in a way no walk settles, or with an empty *fault when there
// is no current-format header.
int brf_walk_header(BRF_FILE* f, const std::string& base, uint64_t size, uint64_t* limit, std::string* fault);
// A name beside the data file that no file has yet: "<base>.aside", else
// "<base>.aside.2", ".3" ...
std::string brf_aside_name(const std::string& base);
// Copies the bytes of `parts` of the data file, one after another, into the
// new file `path`, on disk before it returns: 0, or the status of the
// failure (the partial copy is removed then).
int brf_set_aside(BRF_FILE* f, const std::vector<brf_span>& parts, const std::string& path);

// A whole live record that no index may hold as it stands, and why in
// words ("repeats the value \"C0315\" of key 0, ...").
struct brf_misfit {
  uint32_t seek;
  std::string why;
};
// Takes whole records out of the data file at `base` (no ".dat"), under the
// update lock: their bytes (header to trailer) are copied to a new
// brf_aside_name file first, then each is marked deleted and the free list
// is built again, so no byte is lost. One line to `out` names each record
// and the file. The keys are the caller's to rebuild. Status 0 or the
// failure; nothing is marked when the copy fails.
int brf_put_aside(const std::string& base, std::vector<brf_misfit> recs, FILE* out);

// A cursor's position, saved and restored around work that moves it.
struct brf_pos {
  uint32_t page = 0;
  uint32_t dseek = kNoSeek;
  int16_t index = -1;
  uint16_t page_age = 0;
  int last_key = -1;
  bool has_key = false;
  uint8_t key[256] = {};
};
void brf_save_pos(const BT_CURSOR* c, brf_pos* p);
void brf_restore_pos(BT_CURSOR* c, const brf_pos* p);

}  // namespace kivo
