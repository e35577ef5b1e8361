// Compiling references: the compile context `PC_CTX`, data areas, compiled
// applications, files and fields, and the comparison builder on top of them.
//
// Map: PC_CTX (pc_ctx.cpp: pc_prep, pc_cmpl_finish, areas, errors, the
// design files read); pc_ap (compiled application, AP); pc_fi (compiled
// file: CFI, KD/SD, record and file area, FL, PK); pc_fld (a field's CELEM);
// sc_cmpl_ref and bld_if_and_or (sc_ref.cpp).
//
// Invariants: areas 1-17 are the "0LA" system records in every module; every
// other area takes the next number from 18 at its first reference, and LF
// holds one record per area in `comp_dlf` order (kind, application, number,
// type, relative offset). An AP record's count per area kind is never below
// a number the module uses. A compile error is recorded in the context and
// makes every later call fail; nothing is half-written into a sub-file that
// a later record would have to agree with.
//
// Callers: the process compiler and statement compilers, the selection
// compiler of the sorted query (which builds its own module with them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "compiler/bld.h"
#include "compiler/em.h"
#include "types/element.h"

namespace kivo {

constexpr uint32_t kSysAreas = 17;  // areas 1-17: the "0LA" system records
constexpr int kAreaKinds = 13;
constexpr int kPcDesignAps = 8;         // applications whose design files a compile keeps open
constexpr uint32_t kComBlanks = 65158;  // the blank template of the common block
constexpr uint32_t kPcErrMax = 50;      // compile errors kept (the error work file's bound)
// A file area holds the process engine's file block: 44 bytes with four
// pointers, native.
constexpr uint32_t kFileBlkSize = 64;

// Design files a compile reads, per application.
enum pc_dfile : uint8_t { PC_DFILE, PC_DELEM, PC_DBITMAP, PC_DTOKEN, PC_DSTMT, kPcDfiles };

struct pc_design_aps {
  char ap[3];
  ARB* arb[kPcDfiles];        // null: not opened yet
  uint8_t absent[kPcDfiles];  // 1: the file does not exist (no records)
};

// A compiled operand: the field's ELEMENT (a constant: operand 1's, with
// the constant's length), then the F or K slots.
struct PC_OPND {
  uint8_t elem[kElementSize];
  char kind;      // K_F or K_K
  uint32_t w[3];  // the slot words as stored
};

constexpr int kPcSaved = 64;  // saved copies one module keeps
// The private area of a STORE's saved copy, found again by the RESTORE of
// any event point: a field (kind 1) or a record (kind 3) of an application.
struct pc_saved {
  char ap[3];
  char name[22];
  uint8_t kind;
  uint32_t area;
};

// The compile block. Trivially copyable; a zeroed one is valid before
// pc_prep. Sizes are native (the stored forms are the sub-files).
struct PC_CTX {
  EM* em;       // the module compiled into
  BLD_CTX bld;  // code position, labels, constants
  char ap[3];   // the process's application and version
  char ver[2];
  uint8_t proc_type;
  char proc_nam[30];
  ARB* err_arb;        // "PC" work file of compile errors, 80-character lines
  uint32_t err_lines;  // lines in it, at most kPcErrMax
  uint32_t err_cnt;
  char err_text[80];   // the first error, blank-padded
  uint32_t next_area;  // the number the next new area takes
  uint32_t priv_cnt;   // private areas made
  uint8_t level;       // TF level that AND and OR combine into
  PC_OPND opnd1;       // the last operand 1 compiled: constants take its type
  uint8_t prepared;    // pc_prep succeeded and pc_cmpl_finish has not run
  pc_design_aps design[kPcDesignAps];
  uint32_t cv_cnt;  // CV records written
  uint32_t saved_cnt;
  pc_saved saved[kPcSaved];
};

// ---- the context ----

// Creates the work files, starts the code (bld_start) and makes the system
// areas 1-17 from the "0LA" dictionary. The caller sets em, ap, ver and the
// process identity first. 0 on failure (the reason in err_text).
int pc_prep(PC_CTX* ctx);
// Closes and scratches the work files and the design files it opened, and
// builds em_area_tbl, em_blk, em_cn and em_cv. 0 when the compile has an
// error or a table cannot be built.
int pc_cmpl_finish(PC_CTX* ctx);
// Builds em_area_tbl (from LF in key order), em_blk and em_cn of the
// module's counts, and em_cv of `cv_cnt` records (the loader builds it
// again from its module file). 0 when a record the
// counts name is missing.
int pc_build_tables(EM* em, uint32_t cv_cnt);
// Records a compile error (the first one is kept in err_text), each run of
// blanks (of padded names) shown as one; always 0.
int pc_err(PC_CTX* ctx, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The length of the context's error text without its blank padding.
inline size_t pc_err_len(const PC_CTX* ctx) {
  size_t n = sizeof ctx->err_text;
  while (n && ctx->err_text[n - 1] == ' ') --n;
  return n;
}

// ---- areas ----

// The area of (kind, application, number, type): the one already made, or
// a new one numbered next. 0 on failure.
uint32_t pc_area(PC_CTX* ctx, uint8_t kind, const char* ap, uint32_t number, uint32_t size, uint8_t type, uint8_t init,
                 uint8_t cls);

// A private area of `size` bytes (a saved copy of a STORE): type 2, kind 0
// of the module's application, numbered 1, 2 ... among the private areas,
// since the fields of one file share its number. 0 on failure.
uint32_t pc_private_area(PC_CTX* ctx, uint32_t size);
// The saved copy of field or record `name` (22, blank-padded) of `ap` for
// STORE and RESTORE kind `kind`: the one made before in this module, or a
// new private area of `size` bytes. 0 on failure.
uint32_t pc_saved_area(PC_CTX* ctx, const char* ap, const char* name, uint8_t kind, uint32_t size);

// ---- design records ----

// The design file of `ap` for this compile: system applications under
// version "00", others under the compile's version; opened on first use for
// reading and closed by pc_cmpl_finish. Null when it does not exist (the
// design has no records of its kind) or cannot be opened (a compile error
// naming it is recorded).
ARB* pc_design(PC_CTX* ctx, const char* ap, pc_dfile f);
// The initialiser of a design file's descriptor (INIT_DFI_FDB ...).
using pc_dfdb_init = void (*)(FDB*, KDB*, SDB*, const char*, const char*);
// Records the compile error of design file `init` of `ap`, which exists and
// did not open with status `stat`, naming it; always 0.
int pc_design_err(PC_CTX* ctx, pc_dfdb_init init, const char* ap, uint32_t stat);
// Whether `stat`, left by the read that stopped a walk of a design file,
// is a read that failed (a lost data server, an I/O error, a lock) rather
// than the end of the records (end of file, no record at the start or
// key): a module built from the records read so far would run without the
// rest, so such a walk fails the compile.
bool pc_read_failed(uint32_t stat);
// The end of a walk of design file `init` of `ap` whose last read left
// `stat`: 1 when that was the end of its records; else the compile error
// "design file NAME of AP could not be read (reason)" is recorded and 0.
int pc_read_end(PC_CTX* ctx, pc_dfdb_init init, const char* ap, uint32_t stat);
// Whether the last pc_design of `f` of `ap` found no such file.
bool pc_design_absent(const PC_CTX* ctx, const char* ap, pc_dfile f);
// Reads the record of `f` whose key `keyno` matches `rec` into `rec`. 1 found.
int pc_read(ARB* arb, uint8_t keyno, uint8_t* rec, uint16_t len);
// pc_read of design file `f` of `ap` for the compile: 1 found; 0 when the
// record or the file is not there, and when the read failed (then the
// compile error names the file: a record taken for missing would compile
// into something else).
int pc_design_rec(PC_CTX* ctx, const char* ap, pc_dfile f, uint8_t keyno, uint8_t* rec, uint16_t len);
// The ELEMENT of `ap`'s field `name` (22, blank-padded); a field not in the
// application is looked up in "0LA". 1 found.
int pc_elem(PC_CTX* ctx, const char* ap, const char* name, uint8_t* elem, char* found_ap);
// Whether `ap`'s design files are memory files ("0DN" and "0DO", which the
// dictionary compiler writes for each restructure and verify run).
inline bool pc_memory_design(const char* ap) { return memcmp(ap, "0DN", 3) == 0 || memcmp(ap, "0DO", 3) == 0; }
// Opens `ap`/`ver`'s ELEMENT design file for reading at `scope`; its handle
// or null, with the open's status in `*status` when that is given.
ARB* pc_open_delem(const char* ap, const char* ver, uint32_t scope, uint32_t* status = nullptr);

// ---- compiled applications, files and fields ----

// The AP record of `ap` (the file's own record, changed in place), made on
// first use with the area counts from the application's BITMAP. Null on
// failure.
uint8_t* pc_ap(const char* ap, EM* em, PC_CTX* ctx = nullptr);

// How a file is used: its fields only (file-system type 0, no file area),
// or opened by the process (file area; access 0 when only a statement
// opens it, else kPcAccRead or kPcAccUpdate).
// PC_FI_RECORD: the record area alone, its fields compiled as code names them.
enum : uint8_t { PC_FI_FIELDS = 0, PC_FI_OPENED = 1, PC_FI_RECORD = 2 };
constexpr uint8_t kPcAccStmt = 0, kPcAccRead = 1, kPcAccUpdate = 15;

// Compiles file `name` (8, blank-padded) of the application of `cap`: its
// CFI record (copied to `out`, 160 bytes), KD and SD, record area and, when
// opened, file area, FL records of its fields and, for the module's PCF, PK
// records. A file compiled before is found again (a first use by fields
// only is raised to opened). 1 on success.
int pc_fi(const uint8_t* cap, const char* name, uint8_t* out, PC_CTX* ctx, uint8_t use = PC_FI_FIELDS,
          uint8_t access = kPcAccRead);

// ELEMENT number `seq` (1, 2 ...) of file `file` (8) of `ap`. 1 found.
int pc_file_elem(PC_CTX* ctx, const char* ap, const uint8_t* file, uint32_t seq, uint8_t* elem);

// The FL record of field `elem` of `ap` (made, with its initial and null
// value constants, at `area` and `offset` unless it exists); its number, 0
// on failure.
uint32_t pc_fl(PC_CTX* ctx, const char* ap, const uint8_t* elem, uint32_t area, uint16_t offset);

// An occurrence as a statement gives it.
enum : uint8_t { PC_OCC_NUM = 0, PC_OCC_INDEX = 1, PC_OCC_NONE = 2 };
struct pc_occ {
  uint16_t value;  // PC_OCC_NUM: the literal occurrence (0 = none)
  uint8_t kind;
  char index[2];  // PC_OCC_INDEX: "A " .. "Z " (packed) or "AI" .. "ZI" (binary)
};

// The compiled element that pc_fld gives and a sort element holds from its
// byte 8.
enum : size_t {
  CEL_TYPE = 0,
  CEL_SIGNED = 1,  // "1" signed
  CEL_SIZE = 2,    // u16, one occurrence
  CEL_OFF = 4,     // u16 in the area, a literal occurrence folded in
  CEL_HI = 6,
  CEL_LO = 7,
  CEL_MASK = 8,  // 60
  CEL_NULL_IND = 68,
  CEL_NULL_SRC = 69,  // 0 none, 1 the file's initial record, 2 the FL constant
  CEL_OCCURS = 70,    // u16
  CEL_ADDR = 72,      // {u16 area, u16 offset, 4 zero} until bound
  CEL_AP = 80,
  CEL_NAME = 83,  // 22
  CEL_KIND = 105,
  CEL_CODE_LEN = 106,  // u16
  CEL_ELEM = 108,      // u32
  CEL_INIT = 112,      // u32 constant
  CEL_NULL = 116,      // u32 constant
  kCelemSize = 120
};
static_assert(CEL_NULL + 4 == kCelemSize && CEL_NAME + 22 == CEL_KIND);
// CEL_NULL_SRC: where a field's null value lies.
enum : uint8_t { CEL_NULL_NONE = 0, CEL_NULL_FROM_FILE = 1, CEL_NULL_FROM_CONST = 2 };
// pc_fld's output: {u8 element kind, u8 0, u32 FL record number}, then CELEM.
enum : size_t { PCF_KIND = 0, PCF_FL = 2, PCF_CELEM = 8, kPcFldOut = PCF_CELEM + kCelemSize };

// Compiles field `name` (22) of application `ap` (a field not found there
// is looked up in "0LA") into `out` (kPcFldOut bytes). A literal occurrence
// above the element's count is a compile error naming the field. `elem`,
// when given, receives the ELEMENT record. 1 on success.
int pc_fld(const char* ap, const char* name, const pc_occ& occ, uint8_t* out, PC_CTX* ctx, uint8_t* elem = nullptr);

// The constant of the compiled storage mask of a text or packed date
// field (types 3, 4, 9, 10); 0 for every other type and on failure (then a
// compile error is recorded).
uint32_t date_mask_const(PC_CTX* ctx, const uint8_t* elem);

// ---- operands and comparisons ----

// A reference as the selection statements hold it.
enum : size_t { REF_OCC = 0, REF_ALT_IMG = 2, REF_AP = 4, REF_NAME = 7, kRefSize = 29 };

// Compiles the reference `ref` into `out` as operand `opnd_no` (1 or 2). A
// blank application makes a constant of the name text converted to the
// type of the operand 1 compiled last; a token field's constant is its code.
// An index occurrence emits IDX into register opnd_no - 1. `work` is a
// scratch area of the caller (unused, may be null); `mode` must be 0. 1 on
// success.
int sc_cmpl_ref(PC_CTX* ctx, const uint8_t* ref, PC_OPND* out, int opnd_no, void* work, int mode);
// The same for a field reference from its parts (the statement compilers);
// operand 1 is kept in the context for the constants that follow.
int sc_cmpl_fld(PC_CTX* ctx, const char* ap, const char* name, const pc_occ& occ, PC_OPND* out, int opnd_no);
// A constant `text` converted to the type of `first` (a token field: the
// code's decimal digits, blank or "-1" meaning no code). A date that gives
// fewer levels than the field is a day-number date of its own levels,
// unless `keep` (the constant is stored into `first`, as SET does): then it
// takes the field's form and levels, its parts clamped into range.
int sc_cmpl_const(PC_CTX* ctx, const char* text, size_t len, const PC_OPND& first, PC_OPND* out, bool keep = false);
// Whether `text` (trimmed) is a date constant the compile takes for a field
// of ELEMENT `elem`: CCYYMMDD digits, or a date as the field shows dates.
bool sc_date_constant(const uint8_t* elem, const std::string& text);

// The code of token `text` in the group of `elem` (a coded field of `ap`):
// -1 for a blank text, an unknown text or a TOKEN file that cannot be read.
int32_t sc_token_code(PC_CTX* ctx, const char* ap, const uint8_t* elem, const char* text, size_t len);

// Emits CMP or CMPK of the two operands with relational operator 1-8 and
// the pad flag; verb 38 (IF) nothing more, 3 (AND) and 52 (OR) also ANDTF or
// ORTF at the context's level. Operands of different families are a
// compile error. 1 on success.
int bld_if_and_or(PC_CTX* ctx, const PC_OPND* a, const PC_OPND* b, int relop, int verb, int pad);

}  // namespace kivo
