// Memory files: the back-end of file-system type 2. Records live in holder
// entries (FIX) of the file, one sorted index per key (MNDX, a chain of MIB
// blocks of FIX pointers), a position block (mpb) per stream that every
// index change keeps pointing at the same record or at what followed a
// removed one, and holds between the streams of the one engine process.
//
// Invariants: no MIB is empty and no two neighbours would fit in one (a
// write in order fills each before the next begins, as the chain of full
// blocks did); a stream position is the linear number of an entry, found
// through the directory of block starts; a key flagged
// MNDX_DEFERRED has no stream positioned on it and is rebuilt at first use.
// A FIX records whether the file owns the record's bytes (copied) or the
// writer does (locate mode); only owned bytes are freed. The record id a
// handle receives lies in its own stream's block: the id and a FIX number.
//
// Callers: the switch (fms_table(FMS_MEMORY)); the slots take the handle and
// its stream; the stream's back-end area holds its mpb, the PFB's back-end
// data the mfb.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fm/fm_objects.h"
#include "fm/fm_switch.h"
#include "foundation/list.h"
#include "foundation/pool.h"

namespace kivo {

// Record holder. A free one has id 0 and is on the free list.
struct FIX {
  uint32_t id;     // record id, 0 = free
  uint32_t no;     // its number in the file's FIX arrays (the record id's second word)
  uint8_t owned;   // 1: the bytes are the file's own (copied); 0: the writer's block
  uint16_t len;    // stored length
  uint16_t alloc;  // allocated length of owned bytes
  uint8_t* rec;
  FIX* next_free;
};

// Index block: entries-per-MIB FIX pointers follow the header.
struct MIB {
  ut_link link;
  uint32_t blkno;  // 1 for the first, then +1
  uint32_t count;  // entries in use: all full but the last
  FIX* e[1];
};

enum : uint8_t { MNDX_DUP = 0x01, MNDX_CURRENT = 0x02, MNDX_DEFERRED = 0x08 };
// arb_mod bit of a write that may defer its keys.
constexpr uint16_t ARB_DEFER_KEYS = 0x4000;

struct mpb;

struct MNDX {
  uint32_t count;
  ut_list mibs;                 // first, last
  std::vector<MIB*> dir;        // the same MIBs by block number - 1
  std::vector<uint32_t> start;  // linear number of each MIB's first entry
  ut_list mpbs;                 // streams positioned on this key
  uint8_t keyno;
  uint8_t keylen;
  uint8_t flags;
  uint8_t nruns;
  const SSB* runs;       // own_runs' data
  std::vector<SSB> own;  // the key's runs, kept here: the records outlive the PFB of each open
};

enum : uint8_t {
  POS_NONE = 0,
  POS_BEFORE_FIRST = 1,
  POS_AT = 2,          // at an entry not yet returned
  POS_ON = 3,          // on the entry last returned
  POS_AT_REMOVED = 4,  // as POS_AT, a record removed there (saved key)
  POS_AFTER_KEY = 5,   // next read-next: first key greater than the saved key
  POS_FROM_KEY = 6,    // next read-next: first key greater or equal
  POS_HOLD_FAILED = 7,
};
enum : uint8_t { HOLD_NONE = 0, HOLD_PLAIN = 1, HOLD_UPDATE = 2, HOLD_TAKEN = 3 };

struct mfb;

// Position block of one stream.
struct mpb {
  mfb* mpb_mfb;
  ARB* arb;
  uint8_t hold;
  uint8_t linked;  // on an MNDX list
  uint8_t keyno;
  uint8_t state;
  uint32_t pos;  // linear entry number; for files without keys the FIX number
  FIX* held;
  std::vector<uint8_t> saved_rec;  // copy of the held record taken when another stream changed it
  bool has_saved_rec;
  std::vector<uint8_t> saved_key;  // key layout
  uint8_t rec_id[8];               // record id u32, FIX number u32
  ut_link in_holds;
  ut_link in_mndx;
  ut_link in_file;
};

// Memory file block.
struct mfb {
  POOL* rec_pool;  // records and MIBs, named by the memory name, at the file's scope
  POOL* fix_pool;  // FIX arrays, session level
  char name[kPoolNameLen];
  uint32_t scope;
  uint32_t serial;           // the file's identity word for the file manager, unique in the session
  const uint8_t* alt_image;  // set by the file manager, else null
  const uint8_t* tmpl;       // template record, or null
  uint32_t per_mib;
  uint32_t nrecs;
  uint16_t rec_len;
  uint16_t min_len;  // variable files: the highest end of a key segment
  uint8_t nkeys;
  uint16_t opens;
  uint8_t exists;
  uint8_t fixed;
  std::vector<uint8_t> keymap;  // key number -> key position, 255 unused
  std::vector<FIX*> arrays;     // FIX arrays of per_mib entries
  FIX* free_fix;
  uint32_t next_id;
  uint32_t fix_used;  // entries handed out from the arrays
  ut_list holds;      // mpbs holding a record of this file
  ut_list streams;    // every mpb of the file
  std::vector<MNDX> ndx;
  ut_link all;
};

extern fms_fn mm_fms_fn;

// Installs the memory back-end's table in the switch.
void mm_fms_install();

// Destroys every memory file with its stream positions, open or not (the
// end of a session, and a restart of the memory manager through
// `foundation_hooks.mm_reset`: the streams are not used again).
void mm_destroy_all();

// Drops the memory files of `level` and deeper that no stream and no PFB
// uses: their records' pool goes with the level.
void mm_drop_files(uint32_t level);

// The slots.
int mm_alloc_id(LFB* lfb, const cstr* root, const cstr* data_dir, const uint8_t* sysdir, const uint8_t* sysdflt);
int mm_alloc_fi(LFB* lfb, const uint8_t* sysdir, const uint8_t* sysdflt);
int mm_free_fi(LFB* lfb);
int mm_free_id(PFB* pfb);
int mm_attach(ARB* arb, STRM* strm);
int mm_detach(ARB* arb, STRM* strm);
int mm_create(ARB* arb, STRM* strm);
int mm_open(ARB* arb, STRM* strm);
int mm_close(ARB* arb, STRM* strm);
int mm_locate(ARB* arb, STRM* strm);
int mm_nam(ARB* arb, STRM* strm);
int mm_relocate(ARB* arb, STRM* strm);
int mm_rename(ARB* arb, STRM* strm);
int mm_release(ARB* arb, STRM* strm);
int mm_start(ARB* arb, STRM* strm);
int mm_read(ARB* arb, STRM* strm);
int mm_rdnxt(ARB* arb, STRM* strm);
int mm_write(ARB* arb, STRM* strm);
int mm_rewrite(ARB* arb, STRM* strm);
int mm_del(ARB* arb, STRM* strm);
int mm_scratch(ARB* arb, STRM* strm);

// The memory file of `mem` saved to the stream of `disk`: a 4-byte count
// record, then every record in key-0 order (record order without keys).
// A null `mem` writes a count of 0. 0 with the status in `disk` on a failed
// write, or when the records written are not the count (FM_IO_ERR).
int mm_save_fi(ARB* disk, ARB* mem);
// Creates the descriptor's memory file and loads it from such a stream;
// a count of 0 creates nothing (fdb_arb null, 1). A count record that is
// not 4 bytes, a missing record or one the file cannot hold fails the load
// with the file scratched. Defined with the file manager's stream code.
int mm_load_fi(FDB* fdb, ARB* disk, uint32_t scope);

// ---- the index ----

// The position of the search key of the handle: 1, or 0 with arb_stat
// (FM_NOT_FOUND with the insertion point in *pos, FM_EOF).
int get_pos(ARB* arb, mpb* m, uint32_t* pos);
// Search of a key value in record (key_layout 0) or key layout over `limit`
// bytes (0 = the whole key). Returns 0 found, else the status; *pos is the
// first entry not less (after: greater) than the key, or the count.
uint32_t ndx_search(mfb* f, MNDX& x, const uint8_t* key, bool key_layout, int limit, bool after, bool equal,
                    uint32_t* pos);
FIX*& ndx_at(mfb* f, MNDX& x, uint32_t pos);
void ndx_insert(mfb* f, MNDX& x, uint32_t pos, FIX* fix);
void ndx_add(mfb* f, MNDX& x, FIX* fix);
void ndx_del(mfb* f, MNDX& x, uint32_t pos);
void ndx_rotate(mfb* f, MNDX& x, uint32_t new_pos, uint32_t old_pos);
void ndx_bld(mfb* f, MNDX& x);
uint32_t NDX_NXT(uint32_t pos);
uint32_t NDX_PREV(uint32_t pos);
void ndx_mpb_adjust(mfb* f, MNDX& x, mpb* m, uint32_t pos);
// Links or unlinks a stream on its key's list.
void mpb_link(mfb* f, mpb* m);
void mpb_unlink(mfb* f, mpb* m);

// Prints the index of every key to standard output.
void dbg_mib(mfb* f);

// Structure check for tests: MIB counts and block numbers, the free list,
// the record count. Returns an empty text when sound, else what is wrong.
std::string mm_check(mfb* f);

}  // namespace kivo
