// Field language translation: a handle carries a base language (of the
// stored data) and a derived language (what its caller sees); records read
// through it have their translatable fields translated from one to the
// other, and single values can be translated either way.
//
// The map of a file's fields comes from its structure file and is kept in
// the PFB. The translation is the ZEL subroutine "TRANSLATE FIELD" of 0LA,
// reached through `xlate_proc_hooks` that the process engine fills; without
// it the built-in pseudo-languages "SWP", "UPC" and "LWC" still work and any
// other language leaves the text as it is.
//
// KIVO_XLATE_LOG names a file that gets every call's request and result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivo {

struct ARB;
struct CNV;
struct FDB_PATH;
struct PFB;
struct STRM;

// The work record exchanged with the subroutine (offsets in bytes).
enum : size_t {
  XL_FUNC = 0,       // "INIT", "BTOD", "DTOB"
  XL_FLD_LEN = 4,    // u32
  XL_TXT_LEN = 8,    // u32: the source without trailing blanks
  XL_STATUS = 12,    // u32, set by the subroutine
  XL_KIND = 16,      // u32, XLATE_KIND_*
  XL_KEY = 20,       // 255: primary key, key layout, blank filled
  XL_AP = 275,       // 3
  XL_VER = 278,      // 2
  XL_FILE = 280,     // 8
  XL_FIELD = 288,    // 22
  XL_BASE = 310,     // 3
  XL_DERIVED = 313,  // 3
  XL_SOURCE = 316,   // kXlateTextLen
  XL_RESULT = 2364,  // kXlateTextLen
  kXlateRecLen = 4412
};
constexpr size_t kXlateTextLen = 2048;
constexpr size_t kXlateKeyLen = 255;
static_assert(XL_RESULT + kXlateTextLen == kXlateRecLen && XL_SOURCE + kXlateTextLen == XL_RESULT);

// Kinds of text (XL_KIND).
enum : uint32_t {
  XLATE_KIND_WORK = 1,
  XLATE_KIND_TOKEN = 2,
  XLATE_KIND_RECORD = 3,
  XLATE_KIND_MSG = 4,
  XLATE_KIND_0LA_MSG = 5
};

// One field, or one occurrence of a field, of a record.
struct xlate_ent {
  uint32_t num;  // entry number, from 0 in structure order
  uint8_t type;  // data type
  uint16_t len;
  uint16_t off;
  char name[22];
  uint16_t occ;  // occurrence number, from 0
  uint8_t xlat;  // 1: translatable
  uint8_t dec;   // decimals of data types 8 and 12
};

// A file's field map: the entries by number, which is also structure order.
struct xlate_map {
  std::vector<xlate_ent> ents;
  bool any = false;  // some entry is translatable
};

// Decides from a structure file's ELEMENT record whether a field is
// translatable.
using xlate_test = bool (*)(const uint8_t* elem);
// The translatable test: an alphanumeric field (data type 1) whose element
// says "1" for translation and 0 in the byte after it.
bool bld_lang_map_helper(const uint8_t* elem);

// Stores the handle's languages (null or blank: none); with both set and
// different, builds the file's map when it has none. Always 1.
int fm_set_lang(ARB* arb, const char* base, const char* derived);
// Builds `map` from the structure file of `path` (stamp: two words, or null
// for none): 1, or 0 when the structure file does not open. `initials`, when
// given, gets the number of INITIAL records (0 when none could be read).
int fm_bld_map(xlate_map* map, const FDB_PATH& path, const uint32_t* stamp, xlate_test test,
               uint32_t* initials = nullptr);
void fm_free_map(xlate_map* map);
// Frees the PFB's map, when it has one.
void fm_free_pfb_map(PFB* pfb);
// Frees every map of the session (a new start).
void fm_free_all_maps();

// Translates the record in arb_rec by `fn` ("BTOD", "DTOB"): 1, or 0 when
// a field fails.
int xlate_rec(const xlate_map* map, ARB* arb, STRM* strm, const char* fn);
// One field of the record. 1.
int xlate_fld(ARB* arb, STRM* strm, const xlate_ent& ent, const char* fn);
// Translates `len` bytes of `buf` in place between the languages, for a
// value outside any record. `field` (22 characters) may be null; then
// application and version are blank too. 1.
int fm_xlate_fld(const char* base, const char* derived, uint8_t* buf, size_t len, const char* ap, const char* ver,
                 const char* field, const char* fn, uint32_t kind);
// One alpha value of a conversion block with a translation key: from the
// key's second code (the language the value is stored in) to the session's
// language, as a work field of the key's application, version and field;
// the conversions' translation hook (cv_xlate_fld). 1.
int fm_xlate_cnv(const CNV* c, const char* dir, char* text, int len);
// After every record read through a back-end: translates base to derived;
// a locate-mode read gets a private copy first, so the back-end's record
// (for a memory file, the stored one) stays as it is.
void decode_rec(ARB* arb);

// Before a write or rewrite through a handle that translates: the record's
// translatable fields from the derived language back to the base one, in
// `copy`, which arb_rec then points at; the caller puts back arb_rec and
// arb_var_len after the write. False (nothing done) when nothing translates
// or the write is in locate mode (the file keeps the caller's block).
bool encode_rec(ARB* arb, std::vector<uint8_t>* copy);

// The work record; calls the subroutine on it with `fn` and applies the
// pseudo-languages.
void call_xlate(const char* fn);
// Loads "TRANSLATE FIELD" once per session: 1, or 0 when there is none.
int load_xlate_proc();
// "SWP", "UPC", "LWC" by the work record's derived language: the source
// into the result over the text length. Other languages: nothing.
void fake_translate();
// The session's work record (kXlateRecLen bytes).
uint8_t* xlate_work_rec();
// Closes the log, forgets the subroutine and frees the maps: a new start
// of the file manager (fm_init).
void xlate_end_session();
// True while a translation runs: reads made then are not translated.
bool xlate_running();
// Marks a translation running for its lifetime.
struct xlate_guard {
  xlate_guard();
  ~xlate_guard();
  xlate_guard(const xlate_guard&) = delete;
  xlate_guard& operator=(const xlate_guard&) = delete;
};

// How the file manager reaches the translation subroutine.
struct xlate_proc_hooks {
  // Loads the subroutine (application "0LA", version "00", a SUBROUTINE):
  // its work record XLATE (kXlateRecLen bytes), or null when there is no
  // such process.
  uint8_t* (*load)();
  // Runs the loaded subroutine over its work record.
  void (*run)();
};
// Put in fm_hooks.xlate_proc (fm/fm.h) by the process engine; null: no
// subroutine.

}  // namespace kivo
