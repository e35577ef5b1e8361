// What the report manager's files share: its memory files and their record
// access (locate-mode reads, writes, held rewrites and deletes), line records
// and the manager's system errors.
#pragma once

#include <cstdint>
#include <vector>

#include "process/rm.h"

namespace kivo {

// A key segment of a manager file: an unsigned binary or a character run.
struct rm_seg {
  uint16_t off, len;
  uint8_t type;
};
struct rm_file_spec {
  const char* tag;
  uint16_t rec_len;
  uint8_t var;
  uint8_t dup;
  uint8_t nsegs;
  rm_seg seg[3];
};

constexpr uint32_t kRmFileOptions = 0x88B;

// Creates the memory file ("RM"/tag) at `scope` through process_seams.rm_create;
// null on failure.
ARB* rm_file_create(const rm_file_spec& spec, uint32_t scope, uint32_t size = 100);

// Locate-mode record access: the file's own record, or null. `key` is a
// record image holding the key.
uint8_t* rm_find(ARB* arb, uint8_t* key, bool hold);
// First record whose key is not below `key` (null: the first of the file).
uint8_t* rm_from(ARB* arb, uint8_t* key, bool hold);
uint8_t* rm_next(ARB* arb, bool hold);
// Held record: rewritten from `rec`, or deleted.
int rm_reput(ARB* arb, const uint8_t* rec, uint16_t len);
int rm_del(ARB* arb);
void rm_unhold(ARB* arb);

// ---- lines of a buffer ----

// A line image of the report width in `line` (the caller's work area).
void ln_blank(const RPT_BUF* b, uint8_t* line, uint32_t no);
inline uint16_t ln_len(const RPT_BUF* b) { return uint16_t(b->alloc_width + kRmLineExtra); }
// The line `no` held and copied into `line`; false when missing.
bool ln_read(RPT_BUF* b, uint32_t no, uint8_t* line);
// Writes a new line or rewrites the held one.
int ln_write(RPT_BUF* b, const uint8_t* line, bool rewrite);
// A characteristic record of `line`; `col` and `len` are cut to the buffer
// width. 1 written, 0 nothing of it lies inside, -1 the write failed.
int chr_write(RPT_BUF* b, uint32_t line, uint32_t attr, uint32_t col, uint32_t len, uint8_t colour);

// Highest column height over columns from..to (clipped at the width).
uint32_t max_height(RPT_BUF* b, uint32_t from, uint32_t to);

// Window records of a buffer.
bool wnd_read(RPT_BUF* b, uint16_t id, RPT_WND* w, bool hold);
int wnd_store(RPT_BUF* b, const RPT_WND* w);

// A region buffer: a fresh base of a separate stack.
RPT_BUF* rm_new_region(RPT_BLK* rpt, uint16_t width);
// Frees a region block (after it was stored or destroyed).
void rm_free_block(RPT_BUF* b);

// The executed image of a block, or null.
RPT_XIMG* rm_ximg(RPT_BLK* rpt, const uint8_t* img);
// The image block of `id` (1: the current image when set), held when asked.
uint8_t* rm_image(RPT_BLK* rpt, uint16_t id);

constexpr const char* kRmMod = "RM";

// Reports a failed call of the print sink as `what`, its status and what
// that says in words (the print folder is full). A print file that failed
// fails every later call on it with the same status: only the first is
// shown, the others go to the log, until the report's `last` call.
void rm_print_failed(RPT_BLK* rpt, int line, const char* what, bool last);
constexpr const char* kRmBufMod = "RMBUF";
constexpr const char* kRmImgMod = "RMIMG";
constexpr const char* kRmUpdMod = "RMUPD";

}  // namespace kivo
