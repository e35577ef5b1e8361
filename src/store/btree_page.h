// Inside the B-tree modules: page layout accessors for one key's geometry,
// and page and header input and output through a cursor's page cache.
//
// Cache rule: every write of this engine moves the header's change count
// (odd on disk while an operation writes, even when it has ended). A cursor remembers the count at which its pages were
// current; when the header shows the same count nothing changed and its pages are used without a read, when it moved by
// less than 65,536 each page is re-checked by its age (an 8-byte read; a u16 age cannot have wrapped), and otherwise
// the cached pages are dropped. The header itself is taken from a shared
// mapping of the key file's head where there is one.
#pragma once

#include <cstdint>
#include <cstring>

#include "store/btree.h"

namespace kivo::bt {

// Geometry and segments of the cursor's current key.
struct geom {
  int L = 0;  // key length
  int E = 0;  // entry size
  int M = 0;  // most entries a page may hold
  int half = 0;
  int nsegs = 0;
  const key_seg* segs = nullptr;
};
// bt_max_entries by key length: every step of a search asks, and a division
// on each is a cost a scan notices.
struct max_entries_table {
  uint16_t v[kBtMaxKeyLen + 1];
  constexpr max_entries_table() : v() {
    for (int l = 0; l <= kBtMaxKeyLen; ++l) v[l] = static_cast<uint16_t>(bt_max_entries(l));
  }
};
inline constexpr max_entries_table kMaxEntries;

inline geom geom_of(const BT_CURSOR* c) {
  const KEY_DESC& d = c->file->keys[c->key];
  geom g;
  g.L = d.keylen;
  g.E = bt_entry_size(g.L);
  g.M = g.L <= kBtMaxKeyLen ? kMaxEntries.v[g.L] : bt_max_entries(g.L);
  g.half = g.M / 2;
  g.nsegs = d.nsegs;
  g.segs = c->file->segs[c->key];
  return g;
}

inline uint32_t pg_parent(const uint8_t* p) { return ld_le32(p, kPgParent); }
inline int pg_count(const uint8_t* p) { return ld_le16(p, kPgCount); }
inline uint16_t pg_age(const uint8_t* p) { return ld_le16(p, kPgAge); }
inline void set_parent(uint8_t* p, uint32_t s) { st_le32(p, kPgParent, s); }
inline void set_count(uint8_t* p, int n) { st_le16(p, kPgCount, static_cast<uint16_t>(n)); }

inline size_t down_off(const geom& g, int i) { return kPgHdrSize + static_cast<size_t>(i) * g.E; }
inline size_t dseek_off(const geom& g, int i) { return down_off(g, i) + 4; }
inline size_t key_off(const geom& g, int i) { return down_off(g, i) + 8; }
inline uint32_t pg_down(const uint8_t* p, const geom& g, int i) { return ld_le32(p, down_off(g, i)); }
inline uint32_t pg_dseek(const uint8_t* p, const geom& g, int i) { return ld_le32(p, dseek_off(g, i)); }
inline const uint8_t* pg_key(const uint8_t* p, const geom& g, int i) { return p + key_off(g, i); }
inline void set_down(uint8_t* p, const geom& g, int i, uint32_t v) { st_le32(p, down_off(g, i), v); }

// Deepest descent accepted: deeper is a damaged (looping) tree.
constexpr int kMaxDepth = 40;

// Binary search of a page for `key` over `k` segments: 0 found (the first of
// the equal entries for a partial key), -1 the entry at *idx is greater, 1
// past the page's last entry.
int findkey(const uint8_t* p, const geom& g, const uint8_t* key, int k, int* idx);
// Index of the DOWN link holding `child`, or -1.
int findlink(const uint8_t* p, const geom& g, uint32_t child);
// Puts the cursor on entry `idx` of page `p` at `seek`.
void set_pos(BT_CURSOR* c, uint32_t seek, const uint8_t* p, int idx);

// Re-reads the header unless it was read under the lock now held, checks it
// and updates the cache state. BRF_OK or a status.
int hdr_read(BT_CURSOR* c);
// Writes the header block (age + 1).
int hdr_write(BT_CURSOR* c);

// The page at `seek`, current and checked (count within the key's maximum).
// The pointer stays valid until the cursor's next page call. Null with the
// status set on failure.
const uint8_t* page_ref(BT_CURSOR* c, uint32_t seek);
// The same, copied into `out` (a full page).
int page_load(BT_CURSOR* c, uint32_t seek, uint8_t* out);
// The cursor's cached copy of the page at `seek` when it is known current
// (checked since the change count last moved), else null. No I/O.
const uint8_t* cached_page(BT_CURSOR* c, uint32_t seek);
// Writes a full page (age + 1 in `page`) and keeps the cache in step.
int page_write(BT_CURSOR* c, uint32_t seek, uint8_t* page);
// Writes `count` whole pages from `seek` on as they are (ages set by the
// caller), in one write: the bulk load's. Cached copies of them are dropped.
int pages_write(BT_CURSOR* c, uint32_t seek, const uint8_t* pages, uint32_t count);
// Sets a page's parent word by an 8-byte read and write.
int set_parent_page(BT_CURSOR* c, uint32_t child, uint32_t parent);
// Writes an 8-byte page header (age + 1 in `hdr8`). A failed write puts
// `old8`, the header as read, back (page_write does so from the cache).
int page_write_hdr(BT_CURSOR* c, uint32_t seek, uint8_t* hdr8, const uint8_t* old8);
// Reads an 8-byte page header (a free page's too).
int page_read_hdr(BT_CURSOR* c, uint32_t seek, uint8_t* hdr8);

// A tree operation that can be undone: undo_begin keeps the header, every
// page write keeps the page's bytes before its first change, and undo_end
// with a failure writes them back (the change count stays ahead, so no
// cache trusts a page of the failed operation). Returns `st`.
void undo_begin(BT_CURSOR* c);
int undo_end(BT_CURSOR* c, int st);

// Whether a header image read from the file may be used, and its decoding
// into the file's key descriptors and segments.
bool hdr_sound(const uint8_t* h);
// What makes a key-file header unusable ("end of file 1537 is no page
// boundary"), written into why; null when it is sound.
const char* bt_hdr_fault(const uint8_t* h, char* why, size_t n);
void decode_keys(BT_FILE* f);

// Takes a page (from the free list, else at the end of the file), written
// full of 0x82 with parent 0 and count 0. Its seek, or 0 with the status set.
uint32_t bpage_alloc(BT_CURSOR* c);
// Puts a page on the free list.
int bpage_free(BT_CURSOR* c, uint32_t seek);

// Ends an operation that wrote: the final change count goes to disk. Its
// failure is reported, not returned: the change itself is whole, and the
// next operation's first write puts the count past any value read meanwhile.
void op_end(BT_CURSOR* c);
// The image's change count to disk (not for a file held alone, whose count
// goes when that ends); a failure is reported.
void count_to_disk(BT_FILE* f);

// Header fields of the image.
inline uint32_t hdr_eof(const BT_FILE* f) { return ld_le32(f->hdr, kHdrEofseek); }
inline uint32_t hdr_free(const BT_FILE* f) { return ld_le32(f->hdr, kHdrFreePage); }
inline int hdr_key_count(const BT_FILE* f) { return f->hdr[kHdrKeyCount]; }

// Maps the errno of a failed transfer to a status (reporting a system error
// for 24).
int io_fail(BT_CURSOR* c, bool writing);
// A page at `seek` (kNoSeek: the header) that could not be read whole, `got`
// bytes read or -1 with errno: the key file is damaged or its device fails.
// Recorded as the failure's system-error text, the file named with its
// repair (bt_damage_line), never as a refused permission; BRF_SYS_ERR. A
// search without the tree lock only stops, to run again under it.
int page_unreadable(BT_CURSOR* c, uint32_t seek, long got);

// A page that fails a check: the key file's damage, recorded as the
// failure's system-error text with the key, the page (seek 0: none) and
// the repair (bt_damage_line); BRF_SYS_ERR. A search without the tree lock
// (which may have copied a page a writer was changing) only stops, to run
// again under it.
int page_damaged(BT_CURSOR* c, uint32_t seek, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// A descent or a walk that went deeper than kMaxDepth: its links loop.
int tree_too_deep(BT_CURSOR* c);

// The keys a page entered from its parent's DOWN link must lie between,
// both ends excluded: the entries on either side of the link, and above
// them the parent's own bounds. An end not set is open (the root's).
struct fence {
  bool has_lo = false;
  bool has_hi = false;
  uint8_t lo[kBtMaxKeyLen + 1];
  uint8_t hi[kBtMaxKeyLen + 1];
};
// Narrows `f` to the child behind DOWN `idx` of page `p`.
void fence_down(fence& f, const uint8_t* p, const geom& g, int idx);
// The page at `seek` as page_ref gives it, entered from page `parent` (0
// for the root) within `f`: it must name `parent` as its parent, hold an
// entry unless it is an empty root leaf, and keep its keys inside the
// fence. Null with the damage named otherwise.
const uint8_t* page_enter(BT_CURSOR* c, const geom& g, uint32_t seek, uint32_t parent, const fence& f);

// Whether KIVO_VERIFY_IO and key padding are on (binit).
extern bool g_verify_io;
extern bool g_key_padding;

}  // namespace kivo::bt
