// The dictionary compiler: the DOMAIN, RECORD and FIELD design records of
// one application version into its ELEMENT, FILE, TOKEN and BITMAP records,
// with its findings filed as messages (dd_msg.h).
//
// Map: dd_cmpl (the routine "DD_CMPL": work files, design files, one pass)
// and its passes vfy_dom and vfy_wrk_fld (dd_cmpl.cpp); numbers bit_find and
// proc_ano (dd_number.cpp); domains cmpl_dom, get_ddom and work fields
// cmpl_wrk_fld, upd_wrk_fld (dd_domain.cpp); elements bld_elem, cpy_elem,
// parse_msk, the range checks and the stored values (dd_elem.cpp).
//
// Invariants: a run lives in the caller's scope level and leaves nothing in
// memory; a unit (domain, field) that fails is rewritten nowhere; a number
// is never given to two files or elements, nor past a data area's 999,999.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fm/dict_records.h"
#include "foundation/pool.h"
#include "types/element.h"

namespace kivo {

struct ARB;
struct FDB;

// FIELD design record.
constexpr size_t kFieldSize = 604;
enum : size_t {
  FLD_NUMBER = 0,      // u32 element number
  FLD_CLASS = 4,       // "1" work field
  FLD_NAME = 5,        // 22
  FLD_KIND = 27,       // ELEM_KIND_* (types/element.h)
  FLD_REF = 28,        // 22 domain, last field of the group, or base
  FLD_SUB_FIRST = 50,  // u16 first position in the base, from 1
  FLD_SUB_SIZE = 52,   // u16
  FLD_OCCURS = 54,     // u16, 0 counts as 1
  FLD_FILE = 56,       // 8
  FLD_SEQ = 64,        // u32
  FLD_BINARIES = 68,   // 2 x u32
  FLD_STAMP = 84,      // 8
  FLD_AREA_CLASS = 185,
  FLD_SPECIAL = 188,
  FLD_KEY_ROLE = 189,
  FLD_KEY_NO = 190,
  FLD_RNG_ABSENT = 193,  // 2 x 1
  FLD_INIT = 423,        // 60
  FLD_BYTE_525 = 525,
  FLD_BYTE_529 = 529,
  FLD_DOM_KIND = 530,  // kind character of the domain
  FLD_BYTE_531 = 531,
};

// The design files of a run, in the order of their handles.
enum dd_file_no : int { DD_ELEM, DD_FILE, DD_DOM, DD_FLD, DD_REC, DD_INIT, DD_BITMAP, DD_TOKEN, DD_MSG1, DD_MSG2 };
constexpr int kDdFiles = 10;

// One run.
struct dd_ctx {
  char ap[3];
  char ver[2];
  char file[8];  // "*       " work fields, blanks domains, else one file
  ARB* arb[kDdFiles];
  uint8_t* init_buf;  // the file being compiled
  uint8_t* null_buf;
  POOL* pool;
};

// Module state of the compiler.
struct dd_state {
  uint8_t standalone;  // 1: listing lines on standard output
  ARB* open_arb;       // OPEN: design files opened in the run
  ARB* melem_arb;      // MELEM: elements built, not yet written
  ARB* group_arb;      // GROUP: open groups of the file
  int group_depth;
  // The initial and null record of the file being compiled (the context's
  // init_buf and null_buf point into them until the next file).
  std::vector<uint8_t> init_img, null_img;
};
extern dd_state dd;

// The bytes (first, last) a borrowed domain keeps of its own when the
// domain pass copies its source over it.
struct dd_byte_range {
  size_t from, to;
};
constexpr dd_byte_range kBorrowedOwn[] = {{0, 22},    {56, 71},   {82, 82},   {279, 303}, {500, 500},
                                          {527, 532}, {563, 565}, {568, 575}, {581, 581}};

// Our own messages: a data area has no free number (kind 3 field, 1 file).
constexpr uint32_t DD_AREA_FULL = 100820;

// The null date: eight bytes of 0xFF; a stamp whose first four are all ones.
void dd_null_date(uint8_t* stamp);
bool dd_is_null_date(const uint8_t* stamp);

// The routine: `count` the argument count of the CALL (0 a stand-alone
// run), the 13-byte request (application, version, file name) and the
// handles of the open MESSAGE1 and MESSAGE2 files. Returns 1.
int dd_cmpl(int count, const uint8_t* request, ARB* msg1, ARB* msg2);

// Files message `number` of `kind` about `subject` (22 characters for
// domains and fields, a file name's 8 otherwise; null: blanks).
int dd_err(dd_ctx* ctx, uint32_t number, uint8_t kind, const uint8_t* subject);

// The design file `init` of `ap` `ver`, opened once per run (OPEN); with
// `create` made when it does not exist. Null on failure, the status in *stat.
using dd_init_fn = void (*)(FDB*, struct KDB*, struct SDB*, const char*, const char*);
ARB* open_dsgn_fi(dd_init_fn init, const char* ap, const char* ver, bool create, uint32_t* stat);
ARB* open_appl_fi(uint32_t* stat);

// Numbers: the next free sequence of `area` (or `*seq` kept when issued
// already); 0 when the area is full or the BITMAP fails.
int bit_find(dd_ctx* ctx, uint32_t* seq, uint32_t area);
// A number no other file or element holds, drawn in the data area of `row`
// and `col` (modes 1 and 2: at most area 2); `name` an element's (null for
// a file). 0 when none is left (message DD_AREA_FULL filed).
int proc_ano(dd_ctx* ctx, uint32_t* number, uint8_t row, uint8_t col, int mode, const uint8_t* name);
// Frees `number`'s bit; 1 when it was found.
int bit_free(dd_ctx* ctx, uint32_t number);

// The passes.
int vfy_dom(dd_ctx* ctx);
int vfy_wrk_fld(dd_ctx* ctx);
// The file pass for the file the request names: compiled unless up to
// date (or DD_SUMMARY_FILE is set), its structure date kept or renewed,
// then stored. 1 when stored or up to date.
int vfy_fi(dd_ctx* ctx);

// Files: `fi` the FILE record to fill (its first 212 bytes the file's
// RECORD record). 1 when no field failed; the images are then in the
// context's init_buf and null_buf (record length each).
int cmpl_fi(dd_ctx* ctx, uint8_t* fi);
// 1 when the compiled structure (`fi` and MELEM) equals the stored one
// (`stored`, null when the file has no FILE record, and its ELEMENT
// records): stored data need no restructure.
int comp_struct(dd_ctx* ctx, const uint8_t* stored, const uint8_t* fi);
// Stores the compiled file: ELEMENT, INITIAL, FILE and RECORD records, then
// the summary. 1 when all are stored; else message 100150 and 0.
int upd_src_fi(dd_ctx* ctx, uint8_t* fi);
// The initial (kind 1) and null (kind 2) images of file `name` (8) as
// INITIAL records in chunks of 1000 bytes numbered from 1, the initial
// chunk before the null chunk of each number. 1, or 0 with the status in
// the handle.
int dd_put_initial(ARB* a, const uint8_t* name, const uint8_t* init, const uint8_t* nulls, size_t len);
// The one cutting of an image of `len` bytes into INITIAL records, which
// dd_put_initial and the bootstrap's upd_init share: how many chunks of
// 1000 bytes it takes (the last holds the rest), and chunk `c` (from 1) of
// file `name` (8 characters) and image kind `kind` built in `rec` (1013
// bytes); that record's length.
uint32_t init_chunk_count(size_t len);
size_t init_chunk(uint8_t* rec, const uint8_t* name, uint8_t kind, uint32_t c, const uint8_t* image, size_t len);

// The source of the borrowed domain `dom` read into `src`, the checks of
// both passes filed as messages: its own application (100540), the source
// application (100730), the source's DOMAIN file (its open status), the
// source domain (100740, 200530) and one itself borrowed (100190). With
// `compile` (cmpl_dom) each of them fails the domain; otherwise 100540 and
// 100190 only warn. 0 when nothing of the domain may change.
int dd_borrowed_source(dd_ctx* ctx, const uint8_t* dom, uint8_t* src, bool compile);

// Domains and work fields.
int cmpl_dom(dd_ctx* ctx, uint8_t* dom);
int get_ddom(dd_ctx* ctx, const uint8_t* fld, uint8_t* dom);
int cmpl_wrk_fld(dd_ctx* ctx, uint8_t* fld);
int upd_wrk_fld(dd_ctx* ctx);

// Elements: `elem` is a MELEM record (kMelemSize).
int bld_elem(dd_ctx* ctx, const uint8_t* dom, const uint8_t* fld, uint8_t* elem);
void cpy_elem(const uint8_t* fld, uint8_t* elem);
int parse_msk(dd_ctx* ctx, uint8_t* elem, const uint8_t* dom);
int vfy_fld_rng(dd_ctx* ctx, const uint8_t* elem, const uint8_t* dom);
int vfy_no_rng(dd_ctx* ctx, const uint8_t* elem, const uint8_t* text);
int vfy_dom_rng(dd_ctx* ctx, const uint8_t* elem, const uint8_t* dom, int which, int64_t* lo, int64_t* hi);
// The stored null and initial value of the element's first occurrence at
// its offset in the run's buffers; 0 when the field fails.
int null_etoi(dd_ctx* ctx, const uint8_t* elem);
int init_etoi(dd_ctx* ctx, const uint8_t* elem);

// The summary of a stored file (`fi` its FILE record): one block appended
// to the version's summary file when DD_SUMMARY_FILE is set. 1 when
// written; 0 when not asked, the file does not open, or after an internal
// error (nothing written then).
int bld_sum_fi(dd_ctx* ctx, const uint8_t* fi);
// The block of one file from its ELEMENT records in sequence order and its
// two record images; false after an internal error.
bool dd_sum_block(const uint8_t* fi, const std::vector<std::vector<uint8_t>>& elems, const uint8_t* init,
                  const uint8_t* nulls, std::string* out);

// Prints a listing line in a stand-alone run: `fmt` with one counted name.
void dd_list(const char* fmt, const uint8_t* name, int len);

}  // namespace kivo

namespace kivo {

// ---- BITMAP pages (dd_number.cpp), shared with the design builder ----

// The lowest free sequence of data area `area` in the BITMAP `a`, marked
// taken, page 1's highest sequence raised past it. 0 with *full when the
// area holds 999,999 already, or 0 after a failure (the status in the
// handle).
uint32_t bm_take(ARB* a, uint32_t area, bool* full);
// Sets (`on`) or clears the bit of `seq` in `area`, creating its page when
// missing; *was is the bit before. 1, or 0 after a failure.
int bm_set(ARB* a, uint32_t area, uint32_t seq, bool on, bool* was);
// The highest sequence issued in `area`; 0 for none.
uint32_t bm_high(ARB* a, uint32_t area);

// ---- record helpers of the run ----

// Reads `rec` (key values in it) by key `keyno`, equal, with hold on
// request: 1 found, 0 with the status in the handle.
int dd_read(ARB* a, uint8_t keyno, uint8_t* rec, size_t len, bool hold);
int dd_write(ARB* a, const uint8_t* rec, size_t len);
int dd_rewrite(ARB* a, const uint8_t* rec, size_t len);
// Reads with hold and deletes; 1 deleted, 0 not there or a failure.
int dd_delete(ARB* a, uint8_t keyno, uint8_t* rec, size_t len);
// Every record from the key in `from` on key `keyno` while `same` holds of
// it (compared against `from`), collected before the caller changes any.
// False when the stream cannot be started for another reason than an
// empty file.
bool dd_scan(ARB* a, uint8_t keyno, const uint8_t* from, size_t len, bool (*same)(const uint8_t*, const uint8_t*),
             std::vector<std::vector<uint8_t>>* out);
void dd_now(uint8_t* stamp);

}  // namespace kivo
