// The conversion block: one `CNV` binds a stored value of an element to its
// display text, compiled once per item by `cv_cmpl` from a source item
// `sitm` and then used for any number of conversions either way.
//
// A `CNV` holds four addresses, so it is an in-memory block sized by
// `sizeof`; its fields keep the order of the engine's conversion block. It
// owns no memory: the holder sets `ext_addr` (and the value addresses)
// before each conversion. Every conversion writes only inside the display
// (rows x columns at `ext_stride`) and the stored length.
//
// Callers: the window manager, the compilers, the interpreter, the process
// engine and the report writer. Alpha fields are in alp_*.cpp, the block's
// compile in cv_cmpl.cpp, the dispatch in cv_convert.cpp.
#pragma once

#include <cstdint>

#include "types/num_convert.h"
#include "types/text_edit.h"
#include "types/typed_value.h"

namespace kivo {

// Data-type codes (`cnv_type`, the element's `elem_type`) beside those of
// typed_value.h.
enum : uint8_t {
  ELEM_ALP_DATE = 3,  // 3 day of year, 4 month/day
  ELEM_ALP_DATE_MD = 4,
  ELEM_BIN_DATE = 6,  // 6 day of year, 7 day number
  ELEM_BIN_DAYNUM = 7,
  ELEM_PD_DATE = 9,  // 9 day of year, 10 calendar
  ELEM_PD_DATE_CAL = 10,
  ELEM_ALP_NOCNV = 13,
  ELEM_UNIVERSAL_DATE = 15,
};

constexpr uint32_t CV_OK = 1;
constexpr uint32_t CV_BAD_TYPE = 102120;       // a type that cannot be converted
constexpr uint32_t CV_BAD_DATE_MASK = 102150;  // date mask does not compile
constexpr uint32_t CV_BAD_NUM_TYPE = 102160;   // number type or binary length
constexpr uint32_t CV_NO_COLUMNS = 102170;     // the item leaves no display column
constexpr uint32_t CV_BAD_LOGIC = 200080;      // logic value not yes, no or blank
constexpr uint32_t CV_NOT_TOKEN = 300100;      // alpha value not in its token table

// Alignment modes (`CNV.align_mode` bits).
enum : uint8_t {
  ALN_ASIS = 1,
  ALN_LEFT = 2,
  ALN_RIGHT = 4,
  ALN_JUST = 8,
  ALN_CENTRE = 16,
  ALN_WRAP = 128,
};

constexpr int kTokenTextLen = 30;
constexpr int kTokenGroupLen = 22;
constexpr int kCvMaskLen = 60;

struct cnv_alp_area {
  uint8_t align_flag;  // set by a holder: alignment applies, the mask is ignored
  uint8_t dspl_only;   // not an entry field: paragraph marks show as blanks
  uint8_t align_mode;  // ALN_* bits
  uint8_t fill_char;   // blank = no filling
  char mask[kCvMaskLen];
  uint32_t token_id;  // 0 none; 1 before loading, then the group id
  uint8_t token_src;  // 1 the element's rows, 0 its domain's
  char token_grp[kTokenGroupLen];
  char token_ap[3];
  char token_ver[2];
  uint8_t token_check;  // the stored value is the token's text, checked
  char xl_ap[3];        // translation key of cv_set_xlate
  char xl_ver[2];
  char xl_table[22];
  char xl_ap2[3];
  uint8_t xl_mode;  // 0 = no translation
};

struct cnv_dat_area {
  char stor_mask[kCvMaskLen];  // compiled
  uint8_t stor_len, stor_doy, stor_h24;
  char dspl_mask[kCvMaskLen];  // compiled
  uint8_t dspl_len, dspl_doy, dspl_h24;
  uint8_t elem_hi, elem_lo;  // first (highest) and last level
  uint8_t entry;             // digits keep their width, undefined parts show placeholders
};

// The number area: the fields of `num_cnv` from `kind` on, in its order, so
// that the conversions take them over as one range (cv_convert.cpp).
struct cnv_num_area {
  uint8_t kind, tot_digits, elem_hi, elem_lo, ref_blank, elem_signed;
  char mask[kNumMaskLen];
  uint8_t mask_len;
  uint8_t msk_tot, msk_int, msk_dec, drcr, sign_kind, cur_kind, has_point, has_group;
  uint8_t zone_lits[4];
  uint8_t text_held, blank_zero, trail_sign, no_mask;
};

struct cnv_log_area {
  char lang[3];
  char yes_no[4];  // lower yes, upper yes, lower no, upper no
};

struct CNV {
  uint8_t* int_addr;  // value, or a pointer to it when int_indirect (mode 0)
  uint8_t* alt_addr;  // value, or a pointer to it when alt_indirect (mode 1)
  uint8_t* aux_addr;  // value in mode 2; a logic item's reference in modes 0, 1
  uint8_t int_indirect;
  uint8_t alt_indirect;
  uint8_t addr_mode;  // 0, 1, 2; anything else: no value (3 shows '?')
  uint16_t int_len;
  uint8_t cnv_type;
  char* ext_addr;  // display text, set by the holder
  int32_t ext_rows;
  int32_t ext_cols;
  uint16_t ext_len;  // rows x columns
  union {
    cnv_alp_area alp;
    cnv_dat_area dat;
    cnv_num_area num;
    cnv_log_area log;
  } ta;
  uint32_t cnv_status;  // 1, or the status of the last failure
  uint8_t token_text;   // a token's text is stored rather than its code
  uint32_t ext_stride;  // distance between display rows
  uint8_t blank_ok;     // a blank display value is accepted
  uint32_t dspl_cmp;    // 1 asks cv_itoe whether the text changed: 2 no, 3 yes
};

// What an item adds to its element. Null item: a one-line display field.
struct cv_item {
  int32_t row, col;
  uint32_t rows, cols;  // 0 or 32767 = not given
  char mask[kCvMaskLen];
  uint8_t extra_int;  // extra integer digits
  uint8_t entry;      // an input item
  uint8_t option;     // blank when zero
  uint8_t blank_ok;   // a blank entry is accepted
  uint8_t drcr;       // credit/debit display
};

// The source item, built by cv_bld_sitm and consumed by cv_cmpl.
struct sitm {
  uint8_t type;
  uint16_t size;
  uint8_t entry;
  int32_t row, col;
  uint8_t dspl_flag;
  char elem_mask[kCvMaskLen];
  char mask[kCvMaskLen];  // the working display mask
  uint8_t fill;
  uint8_t align;  // 1 left, 2 justified, 3 right, 4 centred, else as is
  uint8_t wrap;
  uint8_t dspl_only;
  uint8_t elem_opt;
  uint32_t rows, cols;  // defaults 1 and 32767
  uint8_t token_kind;   // 255 = no token; else the source (1 element, 0 domain)
  uint16_t token_len;
  char token_grp[kTokenGroupLen];
  char token_ap[3];
  char token_ver[2];
  uint8_t elem_hi, elem_lo, extra_int, elem_signed;
  uint8_t mask_from_elem, ref_blank, item_opt, blank_ok, token_check, no_mask;
};

// The screen area that limits an item: the second word is its usable width.
struct cv_area {
  int32_t rows;
  int32_t width;
};

// Fills `s` from the 592-byte ELEMENT record and the item (or none). The
// application's default date mask comes through the design-record hooks of
// app_date_mask.h for com.cur_ap; a date element of an application without
// an APPL record is a system error that ends the level with 3. Returns 1.
int cv_bld_sitm(sitm* s, const uint8_t* elem, const cv_item* item);

// Zeroes and compiles `c`. 1, or 0 with `cnv_status` set.
int cv_cmpl(CNV* c, const sitm* s, const cv_area* area);
int set_cnv_alp(CNV* c, const sitm* s);
int set_cnv_dat(CNV* c, const sitm* s);
int set_cnv_num(CNV* c, const sitm* s);

// The number mask rebuilt for `int_digits` integer and `decimals` decimal
// positions (layout in cv_num_rebuild.cpp). Returns the new length, 0 when
// the mask has no digit run.
int cv_rebuild_num_msk(const char* mask, int len, int int_digits, int decimals, char* out);

// Alpha only; other types: 1, nothing done.
int cv_set_xlate(CNV* c, const char* ap2, const char* ap, const char* ver, const char* table, uint8_t mode);

int cv_etoi(CNV* c);
int cv_itoe(CNV* c);
// The universal text (16 characters, CCYYMMDDhhmmssth, "--" for each level
// the element does not hold) of the date the display text at `ext_addr`
// (ext_len characters) shows, read with the block's display mask: 1, or 0
// when the text is no date of that form or the block is no date's.
int cv_dspl_universal(CNV* c, char* universal);

// The stored value's address per the address mode, or null with
// CV_NO_INT_ADDR left in the block.
uint8_t* get_int_addr_dspl(CNV* c);

// cv_bld_sitm without item, cv_cmpl without area, then the token group.
int cv_get_cnv(CNV* c, const uint8_t* elem);

int log_itoe(CNV* c);
int log_etoi(CNV* c);

// The pool " CV_POOL", the work buffers, the compatibility switches, the
// hooks of the lower type code (text editing, typed dates) and the token
// caches (through token_hooks.init). Once after os_init; 0 when the caches
// cannot be created.
int cv_init();

// A value typed in the type's plain spelling (dates in the universal form)
// into the block's internal form, as cv_get_universal gives it; on success
// the block points at the value (address mode 0, not indirect) and may be
// changed to describe it. `cv_typed_date` is the reader of typed dates.
int cv_universal(CNV* c, int keep_type, uint8_t* shared, POOL* pool);
int cv_typed_date(uni_cnv* u, int keep_type, POOL* pool);

// The text-editing view of an alpha block, its conversions pointing back here.
text_cnv cv_text_cnv(CNV* c);

// Fills `text` (the display) over every row with `ch`.
void cv_fill_dspl(CNV* c, char ch);

// --- alpha fields ---
int alp_etoi(CNV* c);
int alp_itoe(CNV* c);

// Places `src[0..len)` into `dst[0..width)` by `mode` (ALN_*; justified
// spreads the free columns over the gaps between words, each gap keeping its
// own blank, so a justified line ends at the last column) with `fill`.
void align_txt(char* dst, int width, const char* src, int len, int mode, char fill);

// Mask characters: '#', '@', '&', '*' and '!' take one character of data;
// any other character inside the mask, blanks included, stands for itself.
// Past the mask's own length every position takes data.
bool alp_msk_data(char m);
char alp_msk_char(const char* mask, int i);  // `mask`: 60 characters

// Places the data characters of `src` into the data positions of `mask` over
// `dst[0..dst_len)`.
void apply_msk(char* dst, int dst_len, const char* src, int len, const char* mask, int mode, char fill);

// Word-wraps `src` into rows x cols (stride `stride`) by `mode` and `fill`;
// in display-only items both paragraph marks show as blanks.
void wrap_itoe(char* dst, int rows, int cols, int stride, const char* src, int len, int mode, char fill,
               bool dspl_only);

// --- tokens ---

// One token as the engine keeps it: 40 bytes, u16 group, 2 spare, u32 code
// at 4, 30-character text at 8, 2 spare.
constexpr int kTokenRecLen = 40;
constexpr int kTokenRecCode = 4;
constexpr int kTokenRecText = 8;

// The token tables (types_hooks.tokens), filled by whoever keeps the caches;
// an empty entry knows no group and no token.
struct token_hooks {
  // Group id of a group (loaded when first asked), 0 when there is none.
  uint32_t (*load)(const char* ap, const char* ver, uint8_t src, const char* group) = nullptr;
  // 1 and the 40-byte record of the text (30 characters) or code, else 0.
  int (*by_text)(uint32_t group, const char* text, uint8_t* rec) = nullptr;
  int (*by_code)(uint32_t group, int32_t code, uint8_t* rec) = nullptr;
  // The group's records in code order, at most `max` (0: all) into `out`
  // (40 bytes each) when given; the count.
  int (*list)(uint32_t group, int max, uint8_t* out) = nullptr;
  // The group's two 8-byte stamps, application and version; 0 for an
  // unknown group.
  int (*info)(uint32_t group, uint8_t* stamp1, uint8_t* stamp2, char* ap, char* ver) = nullptr;
  // Creates the caches (cv_init); 0 when they cannot be created.
  int (*init)() = nullptr;
};

// Names an 8-byte stamp in 8 characters (the loader's pl_gen_nam), filled by
// the compiler at its start (types_hooks.stamp_name); empty, the names of
// cv_get_token_info are blank.
using stamp_name_fn = int (*)(int unused, const uint8_t* stamp, char* out);

// Creates the token caches through the hook; 1 when the hook is empty.
int cv_token_cache_init();

// The group id for the token settings of `c`, loading it when still 1.
uint32_t cv_load_token_of(CNV* c);

// Text given: blank gives code -1 without a look-up; unknown gives code -1
// with a blank text, or null when `check_only`. No text: -1 gives code -1,
// else the code's record or null. The record stays valid until the next call.
const uint8_t* cv_get_token(uint32_t group, const char* text, int32_t value, int check_only);
int cv_get_token_list(uint32_t group, int unused, int max, uint8_t* out);
// The two stamp names (8 characters each), application (3) and version (2)
// of a loaded group: 1, or 0 for an unknown group.
int cv_get_token_info(uint32_t group, char* name1, char* name2, char* ap, char* ver);

// Translation of alpha text between display and stored form ("DTOB",
// "BTOD"), filled by the file manager (types_hooks.xlate_fld); empty: the
// text stays as it is.
using xlate_fld_fn = int (*)(const CNV* c, const char* dir, char* text, int len);
int cv_xlate_fld(const CNV* c, const char* dir, char* text, int len);

}  // namespace kivo
