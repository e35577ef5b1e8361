// B-tree key files: up to 16 indexes of a keyed native file, each mapping the
// key bytes of a record to the record's seek in the data file (DSEEK).
//
// A key file is opened once (bopen → BT_FILE); each record control block
// attaches a cursor (baccess → BT_CURSOR) that selects a key and keeps a
// position and a few cached pages. Every public operation takes the tree
// lock (byte 0 of the key file) for its duration; the "bu" forms and the
// helpers below them expect the lock to be held already. Keys in a tree are
// unique: keys with duplicates carry the primary key's segments behind them.
//
// Results are the storage status codes of brf_status.h, also left in the
// cursor's `status`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store/brf_status.h"
#include "store/btree_format.h"
#include "store/key_segment.h"

namespace kivo {

// Open modes of bopen (the data file's modes).
constexpr uint16_t kBtCreate = 0x0004;     // create the key file when missing
constexpr uint16_t kBtMustExist = 0x0001;  // never create
// Open read-only when the user may read but not write the file: for the
// tools that only read (the verifier, the export); nothing is written then.
constexpr uint16_t kBtReadOnly = 0x0100;

// Search modes.
constexpr int kSeekAfter = 0x1;
constexpr int kSeekEqual = 0x2;
constexpr int kSeekGreater = 0x4;

// Position states of a cursor after a search.
constexpr int kStateAfter = 1;
constexpr int kStateEqual = 2;
constexpr int kStateGreater = 4;

// Key forms of getlkey.
constexpr int kKeyFormRecord = 0;  // segments at their record offsets
constexpr int kKeyFormKey = 1;     // segments one after another
constexpr int kWholeRecord = 32767;

constexpr int kCursorPages = 12;  // pages a cursor keeps validated
constexpr uint16_t kCursorValid = 0x8000;
constexpr uint32_t kNoSeek = 0xFFFFFFFFu;

// The header and pages as they were before the tree operation in progress:
// a split or merge writes several pages, and one failing part-way puts them
// all back. A page with no bytes did not exist (it lay past the end).
struct bt_undo {
  int depth = 0;  // operations begun; only the outermost records
  bool have_hdr = false;
  uint8_t hdr[kBtHdrSize] = {};
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> pages;
};

// One open key file.
struct BT_FILE {
  int io = -1;  // descriptor-cache slot (btree_io)
  char path[256] = {};
  int users = 0;                 // cursors attached
  uint32_t options = 0;          // 0x1 owner tracking
  uint8_t hdr[kBtHdrSize] = {};  // header image
  KEY_DESC keys[kBtMaxKeys];     // decoded from the image
  key_seg segs[kBtMaxKeys][kBtMaxSegs];
  int lock_depth = 0;
  uint32_t lock_epoch = 1;  // +1 each time the tree lock is taken
  bool op_writing = false;  // the change count on disk is ahead for this operation
  // Operations end without making the count on disk even: a whole rebuild
  // of the trees, seen by readers without the tree lock as one change.
  bool hold_count = false;
  bool in_change = false;  // a record change runs: its first write sets the in-use mark
  // The change count on disk was odd when this process took the tree lock,
  // and not by a write of its own: every live writer makes it even again
  // before it gives the lock back, so the writer died inside a tree write
  // (a change, a repair's rebuild) and the trees may be half written.
  bool count_left_odd = false;
  bool marking = false;  // this process set the in-use mark and has not cleared it
  // Held alone and the only open of the file in this process: `hdr` is the
  // file's header and is not read back, and the change count (which only
  // other caches need) is written once, when this stops being so.
  bool sole = false;
  bool count_behind = false;    // sole: the change count on disk is behind `hdr`
  uint32_t op_start_count = 0;  // the odd count on disk while op_writing
  // A search running without the tree lock (bseek): it must not write, and
  // sets `optimistic_stop` where it would have to.
  bool optimistic = false;
  bool optimistic_stop = false;
  bt_undo undo;
  // Pages whose entries were found in order, by seek, with the age they had
  // then: a page read again at the same age is not checked again (the
  // check compares every entry; a search compares a few). Bounded: emptied
  // when full.
  std::unordered_map<uint32_t, uint16_t> ordered_pages;
};

// A page held by a cursor.
struct bt_page_slot {
  uint32_t seek = 0;  // 0 = empty
  uint16_t age = 0;
  bool checked = false;  // known current during this locked operation
  uint32_t used = 0;     // for choosing a slot to reuse
  uint8_t data[kPageSize];
};

struct BT_CURSOR {
  BT_FILE* file = nullptr;
  int key = -1;       // current key number
  int last_key = -1;  // key of the last positioning
  int state = 0;      // kState*
  uint16_t status = 0;
  uint16_t access = 0;  // caller's mode | kCursorValid
  uint32_t page = 0;    // current page seek, 0 = none
  int16_t index = -1;   // current entry, -1 = none
  uint32_t dseek = kNoSeek;
  uint16_t page_age = 0;   // age of the current page when positioned
  bool has_key = false;    // keybuf holds a key
  uint32_t hdr_epoch = 0;  // lock epoch in which the header was last read
  uint8_t keybuf[256] = {};
  uint32_t seen_changes = 0;  // change count when the cached pages were last current
  uint32_t clock = 0;
  bt_page_slot pages[kCursorPages];
};

// A caller's buffer of key-file bytes and what it holds (biread).
constexpr int kBufHeader = 2;    // the header's kBtHdrSize bytes
constexpr int kBufPage = 3;      // a whole page
constexpr int kBufPageHead = 4;  // a page's first kPgHdrSize bytes
struct bt_buf {
  uint8_t* data = nullptr;
  uint32_t len = 0;   // must be the length of `type`
  uint32_t seek = 0;  // where the bytes were read from
  uint16_t age = 0;   // age found in them; 0 = unknown, read whole
  int type = kBufPage;
};
// Fills `b` from `seek`: read whole when its age is unknown or it held
// another seek, else only its head, and the rest when the age moved
// (*changed then set). 1 read, 0 not: status 6 (failed read), 5 (short) or
// 24 for a buffer whose length does not fit its kind.
int biread(BT_CURSOR* c, bt_buf* b, uint32_t seek, bool* changed);

// Reads KIVO_PART_SEG and KIVO_VERIFY_IO. Returns 1.
int binit();

// Opens a key file. Status 0 for a key file with a header, 3 for a new
// (empty) one; on failure none with 3, 17 (damaged header), 11, 22, 23 or 24.
BT_FILE* bopen(int* status, const char* path, uint16_t mode);
// Why the last bopen of this process refused a key file whose header is
// damaged (status 17): "end of file 4294967295 is no page boundary"; empty
// before any such refusal.
const std::string& bt_last_refusal();
// The one line that reports damage of the key file at `key_path` (its
// ".key" name) with its repair: "<base>.key is damaged: <why>; "kivo
// -r=<base>" builds its keys again".
std::string bt_damage_line(const char* key_path, const char* why);
// Records that damage as the failure's system error: the whole line goes
// to the log, and the text shown (on a message row of 80 columns, which
// shortens a longer one in its middle) names the file by its own name, the
// place (`brief` where given: "at 7680") and the repair, its path
// as given from the current folder where it lies below it.
void bt_say_damage(const char* key_path, const char* why, const char* brief = nullptr);
// That shown text for the file `base` + `ext` (".key", ".dat"): "<name><ext>
// is damaged <brief>: kivo -r=<base from the current folder>", short
// enough for the row with a path of the installation's own.
void store_damage_note(const std::string& base, const char* ext, const char* brief);
// Closes the file when no cursor is attached.
void bclose(BT_FILE* f);

BT_CURSOR* baccess(int* status, BT_FILE* f, uint16_t mode);
int bdeaccess(BT_CURSOR* c);  // 0, or -1 for a cursor that is not valid

// Header: 1 read (or written), 0 not. bhdrread leaves an initialised header
// (version 0xFFFF) when none can be read.
int bhdrread(BT_CURSOR* c);
[[nodiscard]] int bhdrwrite(BT_CURSOR* c);
void bhdrinit(BT_CURSOR* c);

// Finds or (with `create`) defines the key of descriptor `d` (segments given;
// key length and number are filled in). BRF_OK, BRF_KEY_CREATED (its index
// must be built), BRF_NO_KEY, or BRF_BAD_DATA for a descriptor refused by
// bt_check_key_desc.
int bsetkey(BT_CURSOR* c, KEY_DESC* d, bool create);
int bsetkeyN(BT_CURSOR* c, int keyno);

// The pair of this key file was opened exclusively (brf_key_hooks).
void bt_hold_alone(BT_FILE* f);

// Tree lock around an operation; 0 when it cannot be had (status set).
int block(BT_CURSOR* c, bool changing);
void bunlock(BT_CURSOR* c, bool changing);

// Builds the key of key `keyno` from `src` (`len` bytes; kWholeRecord for a
// whole record) into `out`. Returns the number of segments filled.
int getlkey(BT_FILE* f, int keyno, const uint8_t* src, int len, uint8_t* out, int form);
int bkeycmp(BT_CURSOR* c, const uint8_t* a, int nsegs, const uint8_t* b);

// Searches (locked): builds the key from `src` and positions the cursor.
// bseek first searches without the lock through the mapped file when the
// change count is even (no change under way) and unmoved at the end; else
// it searches again under the lock.
int bseek(BT_CURSOR* c, int mode, const uint8_t* src, int len, int form);
int blseek(BT_CURSOR* c, int mode, const uint8_t* key, int nsegs);
// First and next entry (locked), and their forms under a held lock. An empty
// index gives BRF_EOF and leaves no position. bnext steps along a leaf the
// cursor read under the lock without taking it again while the header's
// change count shows that nothing has been written since.
int bfirst(BT_CURSOR* c);
// The data seeks of up to `max` entries of the cursor's current page from
// `ahead` entries after the cursor's on, from the cursor's copy of the page
// (no I/O, no lock): hints for reading ahead, which may be stale. Returns
// how many.
int bpeek_ahead(BT_CURSOR* c, int ahead, uint32_t* dseeks, int max);
int bnext(BT_CURSOR* c);
int bufirst(BT_CURSOR* c);
int bunext(BT_CURSOR* c);
int skipnext(BT_CURSOR* c);
int bsync(BT_CURSOR* c, int mode);
int getroot(BT_CURSOR* c, uint32_t* root);

// Changes (locked forms, and the forms under a held lock).
[[nodiscard]] int binsert(BT_CURSOR* c, const uint8_t* rec, uint32_t seek);
[[nodiscard]] int bdelete(BT_CURSOR* c, const uint8_t* rec, uint32_t seek);
[[nodiscard]] int bmove_rec(BT_CURSOR* c, const uint8_t* rec, uint32_t old_seek, uint32_t new_seek);
[[nodiscard]] int breinsert(BT_CURSOR* c, const uint8_t* old_rec, const uint8_t* new_rec, uint32_t old_seek,
                            uint32_t new_seek);
[[nodiscard]] int buinsert(BT_CURSOR* c, const uint8_t* rec, uint32_t seek);
[[nodiscard]] int budelete(BT_CURSOR* c, const uint8_t* rec, uint32_t seek);
[[nodiscard]] int bumove_rec(BT_CURSOR* c, const uint8_t* rec, uint32_t old_seek, uint32_t new_seek);
// The entries of a bulk load in ascending key order, each value once:
// entry i lies at base + order[i] * stride, its DSEEK (u32 in host order)
// and then its key.
struct bt_bulk_entries {
  const uint8_t* base = nullptr;
  size_t stride = 0;
  const uint32_t* order = nullptr;
  size_t n = 0;
};
// Fills key `keyno`'s tree, an empty root, with the entries (btree_bulk.cpp):
// pages written whole, bottom up, under the tree lock held by the caller
// inside a record change. BRF_BAD_DATA for a tree that is not empty; a
// failure part way leaves the change's mark for the repair.
[[nodiscard]] int bt_bulk_load(BT_CURSOR* c, int keyno, const bt_bulk_entries& e);
// Removes the last key defined (`keyno` must be it) and frees its pages:
// undoes a key whose index could not be built.
[[nodiscard]] int bt_drop_key(BT_CURSOR* c, int keyno);

// The in-use mark (header byte kHdrInUse): set while a record change of
// several writes runs, so a mark found set while nobody holds the data
// file's update lock was left by a writer that died inside a change. The
// record layer raises `in_change` under the update lock; the change's first
// write to the key file then sets the mark together with the change count
// (one write of the header fields from the mark on), and fails with
// BRF_ABANDONED, writing nothing, when the header read under the tree lock
// shows a mark already: its setter died. bt_mark_clear ends the change (one
// byte, no tree lock needed: only the update-lock holder writes the header);
// on a key file held alone (`sole`) the mark stays set until the open ends.
int bt_mark_clear(BT_FILE* f);
// Sets the mark of a change that must be repaired after a kill although it
// writes nothing to the key file (a record no key holds being moved), as
// the change's first key-file write would. BRF_ABANDONED (nothing written)
// when a dead writer's mark is set.
int bt_mark_raise(BT_CURSOR* c);
// Whether the change count on disk is odd while no process writes the trees
// (tested under the update lock, or by the tree lock's holder): a writer
// died inside a tree write, and only a repair makes the trees whole.
bool bt_count_left_odd(BT_FILE* f);
// Whether this process, holding the tree lock, must not use the trees:
// a dead writer left them half written and this is no repair's rebuild.
inline bool bt_trees_untrusted(const BT_FILE* f) { return f->count_left_odd && !f->op_writing && !f->hold_count; }
// Reads the mark from the file: 1 set, 0 not (or no header yet), or -1.
int bt_mark_read(BT_FILE* f);
// Whether the mark is set by another than this open: under the update lock,
// by a writer that died. From the mapped header where there is one.
bool bt_mark_left(BT_FILE* f);
// Under a held tree lock: every key's tree becomes one empty root, the pages
// are taken again from the header block on, the key definitions stay. The
// change count jumps so far that every cursor drops its cached pages. The
// repair then inserts every record again.
int bt_reset_trees(BT_CURSOR* c);

// The pair's stamp in the key file's header (brf_stamp_pair): bt_stamp
// reads it from the file (0 when it cannot be read); bt_set_stamp writes it
// there and into the image. BRF_OK, BRF_NOT_FOUND_FILE for a key file
// without a header (nothing written), or the write's status.
uint32_t bt_stamp(BT_FILE* f);
int bt_set_stamp(BT_FILE* f, uint32_t stamp);

// The owner word of a file attached with owner tracking names the session
// (lock_session_number, lock.h) while it holds the tree lock.

}  // namespace kivo
