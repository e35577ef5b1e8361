// The STMT record's verb table and operand layouts, shared by the statement
// compiler, the statement editor and the design-record builder: the verb
// spellings in index order (`verb_spell_tbl`), the per-verb operand layouts
// (`xme_stmt`, reached through `xme_stmt_desc`), the spellings of the
// current language (verbs, area, FROM/INTO and invocation words, clause
// templates), the occurrence text rules (`get_occ`, `put_occ`), each field
// type's reading and showing, and the reading of an 80-column statement
// line into the record (`stmt_degen`).
//
// Invariants: a verb index is 0-104; each verb's layout lists its fields in
// table order, then the fillers derived from them (the record bytes and the
// operand columns that no field covers), then an all-zero entry. Fields and
// fillers cover the 64 operand bytes and the 64 operand columns exactly once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

// ---- the STMT record ----
constexpr size_t kStmtSize = 152;
enum : size_t {
  STMT_PROC_TYPE = 0,  // u8
  STMT_PROC_NAME = 1,  // 30
  STMT_FRM_PART = 31,  // u8
  STMT_FRM_NO = 32,    // u32
  STMT_IMG_NO = 36,    // u8
  STMT_CHLD_POS = 37,  // u8
  STMT_BLANK1 = 38,    // 2 blanks
  STMT_CHLD_NO = 40,   // u32
  STMT_EP = 44,        // u8 event point
  STMT_BLANK2 = 45,    // 3 blanks
  STMT_SEQ = 48,       // u32
  STMT_SPARE = 52,     // 4; zero in generated lines
  STMT_ADD_STAMP = 56,
  STMT_CHG_STAMP = 64,
  STMT_ADD_USER = 72,
  STMT_CHG_USER = 75,
  STMT_PREFIX = 78,  // 5: the T/F prefix
  STMT_SPARE2 = 83,  // blank
  STMT_VERB = 84,    // u16 verb index
  STMT_SPARE3 = 86,  // 2; zero in generated lines
  STMT_OPND = 88,    // 64: the operand area
};
constexpr size_t kStmtKeyPrefix = 48;   // the key bytes one event point shares
constexpr uint32_t kStmtSeqStep = 100;  // the editor stores line n as sequence n x 100
constexpr uint8_t kStmtNoStamp = 0xFF;  // every byte of a stamp never given
constexpr size_t kStmtOpndLen = 64;
static_assert(STMT_OPND + kStmtOpndLen == kStmtSize);

// The sequence number of line n of an event point: n x kStmtSeqStep, or,
// where that holds a line-feed byte (lines 26 to 28), the next number that
// holds none, so that a flat export takes every statement; always above
// `before`, the line before's.
uint32_t stmt_seq(uint32_t n, uint32_t before);

// ---- verbs, in the order of the verb table ----
enum verb_code : uint16_t {
  VERB_COMMENT,
  VERB_COMMENT2,
  VERB_ACTION,
  VERB_AND,
  VERB_APPEND,
  VERB_AT_FIELD,
  VERB_BEG_AT,
  VERB_BEG_LOOP,
  VERB_BEG_READ,
  VERB_BLANK,
  VERB_BLINK,
  VERB_BRIGHT,
  VERB_CALC,
  VERB_CALL,
  VERB_CANCEL,
  VERB_CLOSE,
  VERB_CNV_BIN,
  VERB_CNV_FLT,
  VERB_CNV_TEXT,
  VERB_CNV_ZONE,
  VERB_COMPUTE,
  VERB_COPY,
  VERB_CREATE,
  VERB_DATE_ADD,
  VERB_DATE_BTW,
  VERB_DEFINE,
  VERB_DELETE,
  VERB_DIM,
  VERB_DISPLAY,
  VERB_END,
  VERB_END_AT,
  VERB_END_LOOP,
  VERB_END_PROC,
  VERB_END_READ,
  VERB_ERROR,
  VERB_EXIT,
  VERB_GOSUB,
  VERB_GOTO,
  VERB_IF,
  VERB_IF_EXIST,
  VERB_INPUT,
  VERB_INVERSE,
  VERB_LABEL,
  VERB_LOGOUT,
  VERB_MENU,
  VERB_MESSAGE,
  VERB_NO_INPUT,
  VERB_NO_TRACE,
  VERB_NO_ULINE,
  VERB_NORMAL,
  VERB_OK_INPUT,
  VERB_OPEN,
  VERB_OR,
  VERB_OUTPUT,
  VERB_OVERFLOW,
  VERB_PASS,
  VERB_POSITION,
  VERB_PRINT,
  VERB_QUERY,
  VERB_READ,
  VERB_READNEXT,
  VERB_RECEIVE,
  VERB_RESTORE,
  VERB_RETURN,
  VERB_REWRITE,
  VERB_RUN,
  VERB_SCAN,
  VERB_SCRATCH,
  VERB_SELECT,
  VERB_SET,
  VERB_SET_DATE,
  VERB_SET_DAY,
  VERB_SET_MNTH,
  VERB_SET_TEMP,
  VERB_SET_TOT,
  VERB_STORE,
  VERB_SUBR,
  VERB_TIMEOUT,
  VERB_TOTAL,
  VERB_VERSION,
  VERB_TRAP,
  VERB_ULINE,
  VERB_UNDEFINE,
  VERB_WARNING,
  VERB_WRITE,
  VERB_FREE_ALL,
  VERB_DEBUG,
  VERB_UPDATE,
  VERB_JOB,
  VERB_INQUIRY,
  VERB_STATUS,
  VERB_DISP,
  VERB_FONT,
  VERB_COLOR,
  VERB_PICTURE,
  VERB_BROWSE,
  VERB_VERIFY,
  VERB_GETATTR,
  VERB_PUTATTR,
  VERB_DELATTR,
  VERB_MOVEATTR,
  VERB_GETATTRS,
  VERB_PUTATTRS,
  VERB_DELATTRS,
  VERB_REFRESH,
  kVerbCount
};
static_assert(VERB_IF == 38 && VERB_SET == 69 && VERB_VERIFY == 96 && kVerbCount == 105);

constexpr size_t kVerbLen = 8;
// 8-character blank-padded spellings; entry 105 is null.
extern const char* const verb_spell_tbl[kVerbCount + 1];
// The built-in spelling of `verb`; null outside 0-104.
const char* se_get_verb_spell(int verb);
// The verb spelled by the 8 characters at `text` in the current language
// (`opcode_tbl`, which the message layer fills), or by its built-in
// spelling where the language gives none; -1 when none.
int stmt_find_verb(const char* text);

// ---- operand layouts ----
// Field types of a layout entry.
enum : uint16_t {
  XT_TEXT = 1,
  XT_AP = 2,
  XT_FIELD = 3,
  XT_OCC = 4,
  XT_OCC2 = 5,
  XT_PROC = 6,
  XT_INVOC = 7,
  XT_DIGIT3 = 8,
  XT_RELOP = 9,
  XT_ARITH = 10,
  XT_YN = 11,
  XT_DIGIT9 = 12,
  XT_NUMBER = 13,
  XT_FILE = 14,
  XT_IN_EX = 15,
  XT_LOOP_INDEX = 16,
  XT_LOOP_BOUND = 17,
  XT_DIGIT18 = 18,
  XT_AREA4 = 19,
  XT_AREA = 20,
  XT_LS = 21,
  XT_DIGITS5 = 22,
  XT_FROM_INTO = 23,
  XT_DIGIT2 = 24,
  XT_FILLER = 25
};
// Entry flags.
enum : uint16_t { XF_REQUIRED = 0x01, XF_DEFAULT = 0x02, XF_YES = 0x04, XF_NO = 0x08, XF_ONE = 0x80 };

// One layout entry, six u16 as the editor's table holds them. A filler has
// type XT_FILLER and either a record run (rec_len > 0) or a column run
// (scr_width > 0) or both.
struct xme_stmt {
  uint16_t rec_off;  // within the operand area
  uint16_t scr_col;  // within the operand area: 0 = column 16
  uint16_t rec_len;
  uint16_t scr_width;
  uint16_t type;
  uint16_t flags;
};
// First entry of each verb's list, which ends with an all-zero entry.
extern const xme_stmt* xme_stmt_desc[kVerbCount];
constexpr uint16_t kOpndCol = 16;  // screen column of operand byte column 0
constexpr int kLayoutCount = 46;
// The layout number (1-46) of `verb`.
int stmt_layout_no(int verb);

// ---- occurrences {i16 value, u16 kind} ----
enum : size_t { OCC_VALUE = 0, OCC_KIND = 2, kOccLen = 4 };  // OCC_VALUE: an index's two letters
static_assert(OCC_KIND + 2 == kOccLen);
enum : uint16_t { OCC_NUMBER = 0, OCC_INDEX = 1, OCC_NONE = 2 };
// Whether a field of layout type `t` holds a 4-byte occurrence operand.
bool stmt_is_occ_type(uint16_t t);
// Text states of a field read from a line.
enum : int { FLD_INVALID = 0, FLD_PRESENT = 1, FLD_BLANK = 2 };
// Reads the `width` columns at `text` for a field of `type` (4, 5, 13, 16
// or 17) into the 4-byte operand `out`; `keep_zero` keeps a typed 0 as the
// number 0 (BEG LOOP, the second CNV TEXT occurrence). Returns the state.
int get_occ(const char* text, int width, uint16_t type, bool keep_zero, uint8_t* out);
// The 3-column text of the operand `occ`.
void put_occ(const uint8_t* occ, char* out);

// ---- a statement line into the record ----
constexpr int kStmtLineLen = 80;
struct stmt_error {
  int column;  // 1 prefix, 7 verb, else the field's screen column; 0 none
  const char* what;
  int length = 0;  // a text run past its columns: its characters, and
  int width = 0;   // the columns it has
};
// Reads the line (columns from 1; shorter lines read as blank-padded, longer
// are refused at column 81) into record bytes 78-151: prefix, verb and the
// operand area laid out by the verb's fields. Generated-line form: byte 83
// blank, 86-87 zero, filler bytes blank. 1 on success; 0 with `err` set when
// a column does not fit the verb's layout (nothing else of the record is
// meaningful then).
int stmt_degen(const char* line, size_t len, uint8_t* rec, stmt_error* err);

// ---- one field at a time, for the statement editor ----
// Whether columns 1-5 at `prefix` are "T", "F" and "-" followed by blanks.
bool stmt_prefix_ok(const char* prefix);
// Reads field `f` of `verb` from `line` (columns from 1; at least 81
// readable) into the operand area `opnd`; its state (FLD_*). The one
// conversion of typed text into operands: stmt_degen and the editor use it.
int stmt_read_field(const xme_stmt& f, const char* line, int verb, uint8_t* opnd);
// Puts the text of field `f` from the operand area `opnd` into `line`
// (columns from 1) at the field's columns, in the current language's words;
// a word-type byte outside its list leaves the columns as they were.
void stmt_show_field(const xme_stmt& f, const uint8_t* opnd, char* line);

// ---- spellings of the current language ----
// Each entry holds its message's text, or the built-in word where the message
// is missing; load_zel_spellings refills every table when the language
// changes. The statement editor shows and reads words through them, and so
// does stmt_degen: one spelling for display and lookup.
enum : uint8_t {
  AREA_FIELD = 1,
  AREA_FILE = 2,
  AREA_RECORD = 3,
  AREA_STORE_RECORD = 4,
  AREA_STORE_FIELD = 5,
  AREA_DEFAULT_RECORD = 6,
  AREA_DEFAULT_FIELD = 7
};
constexpr int kAreaCount = 7;
constexpr size_t kAreaWordLen = 14, kTempWordLen = 4, kInvocWordLen = 10;
extern const char* area_spell_tbl[kAreaCount + 1];  // 1-7, 14 characters; 0 unused
extern const char* temp_spell_tbl[3];               // 1 FROM, 2 INTO, 4 characters; 0 unused
extern const char* invoc_spell_tbl[3];              // SUBPROCESS, RELATED, DETACHED, 10 characters
extern const char* zel_spell_tbl[kVerbCount];       // clause templates from column 16; null: none
// Replaces `table[index]` by the text of message `msg` (0: always the
// default), else `dflt`: blank-filled to `width`, or with width 0 as a
// string. The old entry is freed when it was loaded.
void load_spell(const char** table, int index, uint32_t msg, size_t width, const char* dflt);
// Reloads every spelling (opcode_tbl's 105 words too) when the current
// language (com.lang_id) is not the one last loaded; otherwise nothing.
void load_zel_spellings();
// The spelling of `verb` shown and read: the language's (opcode_tbl), else
// the built-in one; null outside 0-104.
const char* stmt_verb_spell(int verb);

}  // namespace kivo
