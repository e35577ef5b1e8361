// What the analyser's checks (analyser_check.cpp) and its command loop
// (analyser_shell.cpp) share: the open file pair and the readers that take
// everything from disk as untrusted. Not for use outside the analyser.
//
// Invariants: the analyser never writes either file; every seek and count read
// from a file is checked against the file's size before use, and every walk
// (records, free-list blocks and chains, tree pages) is bounded and remembers
// where it has been, so a damaged file is reported, never looped over.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "store/btree_format.h"
#include "store/data_file.h"
#include "store/key_segment.h"
#include "store/record_ops.h"

namespace kivo {

// Longest record body the analyser accepts in a record header: what the
// record operations write (the u16 field's whole range). A length is also
// bad when the record would run past eofseek.
constexpr uint32_t kAnalMaxRecLen = kMaxRecordLength;
// Deepest tree the analyser descends: far more than 2 GiB of pages can need.
constexpr int kAnalMaxDepth = 48;

// One active record: its seek and, per key, whether that key referenced it.
struct anal_ref {
  uint32_t seek = 0;
  uint8_t mark[kBtMaxKeys] = {};
};

// One record start met by the walk of the data file.
struct anal_rec {
  uint32_t seek = 0;
  uint16_t length = 0;
  uint8_t flags = 0;
};

struct anal_ctx {
  std::string name;  // the pair's base name (no ".dat")
  BRF_FILE* dat = nullptr;
  uint64_t dat_size = 0;
  brf_hdr hdr;  // as stored (all 0 when the file is shorter than its 16 fields)

  int key_slot = -1;  // descriptor-cache slot of the key file, -1 none
  uint64_t key_size = 0;
  bool key_hdr_ok = false;  // a version-1 key file header was read
  uint8_t khdr[kBtHdrSize] = {};
  uint32_t key_eof = 0;  // end of the pages: header Eofseek bounded by the size
  int nkeys = 0;
  KEY_DESC keys[kBtMaxKeys];
  key_seg segs[kBtMaxKeys][kBtMaxSegs];
  bool key_valid[kBtMaxKeys] = {};

  bool interactive = false;
  FILE* out = nullptr;  // report stream; null: silent
  // How far a long check has got, on the terminal; null: not shown. Each
  // report line takes the progress line away first.
  brf_progress_gate* progress = nullptr;

  // The walk of the data file, made once on demand (walk_records).
  bool walked = false;
  bool walk_ok = false;
  std::vector<anal_rec> recs;  // every record start, ascending
  std::vector<anal_ref> refs;  // active records, ascending by seek
  int deleted = 0;
};

// printf to the report stream, when there is one.
void anal_say(anal_ctx* c, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Positioned reads of the two files; false unless all n bytes were read.
bool anal_read_dat(anal_ctx* c, uint64_t seek, void* buf, size_t n);
bool anal_read_key(anal_ctx* c, uint64_t seek, void* buf, size_t n);

// Opens the pair read-only in effect (shared header lock, nothing written):
// 0 on success, else the open status. Fills the headers.
int anal_open(anal_ctx* c, const char* base);
void anal_close(anal_ctx* c);
// Reads both headers and the files' sizes again and forgets the walk: for a
// check that starts under the update lock on a pair others change.
void anal_refresh(anal_ctx* c);

// The record count of the data file (count_rec): active records, or -1 when
// the file is damaged. With `report` the walk's messages and the summary go
// to the report stream.
int count_rec(anal_ctx* c, bool report);

// Verifies key `k` against the reference table: the number of key values, or
// -1 for a damaged tree (a non-interactive run stops at the first bad entry).
// Marks each referenced record in c->refs; `bad` is set by any failed check.
int verify_key(anal_ctx* c, int k, bool* bad);
// Active records that key `k` did not reference although their key is not
// null; each one is reported with `report`. `first`, when given, gets the
// first such record's seek.
int unreferenced(anal_ctx* c, int k, bool report, uint32_t* first = nullptr);
void clear_marks(anal_ctx* c, int k);

// Walks the free list: true when it is sound. `list` lists every chain
// member; `report` writes the report at all.
bool dump_free(anal_ctx* c, bool list, bool report);

// Every index entry of every key whose DSEEK is `dseek`.
void find_ptrs(anal_ctx* c, uint32_t dseek);

// Hex dump of n bytes: a column header, then 16 bytes a line with offset and
// characters.
void anal_hex_dump(anal_ctx* c, const uint8_t* buf, size_t n);

// Whether a page seek can name a page of the key file.
bool anal_page_ok(const anal_ctx* c, uint32_t seek);

// The key of key `k` built from a record body (segments at their offsets;
// bytes past the record's end are zero).
void anal_build_key(const anal_ctx* c, int k, const uint8_t* rec, size_t len, uint8_t* out);

// The interactive command loop over `in`; returns at EXIT, QUIT or end of
// input.
void anal_command_loop(anal_ctx* c, FILE* in);

}  // namespace kivo
