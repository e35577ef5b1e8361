// The token caches: each token group (a table of valid values kept as rows of
// an application's TOKEN design file) is loaded once per session into two
// memory files and given a group id that the conversion blocks carry.
//
// Invariants: a group once loaded is never reloaded and its id never reused;
// the group cache "CV"/"TG" holds one record per loaded group, the token
// cache "CV"/"TI" one per token of it. Failures of the file manager while
// loading are fatal: reported, then the level is left with end code 3.
//
// Callers: the conversions through `token_hooks` (types/cnv.h), which
// fm_register_hooks fills; cv_init creates the caches through that hook.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

// Group record of "CV"/"TG": key 0 application, version, source, name (the
// first 28 bytes); key 1 the group id.
enum : size_t {
  TG_AP = 0,       // 3
  TG_VER = 3,      // 2
  TG_SRC = 5,      // 1 the element's token, 0 the domain's
  TG_GROUP = 6,    // 22
  TG_ID = 28,      // u16
  TG_STAMP1 = 32,  // 8, from the element or domain record
  TG_STAMP2 = 40,  // 8
  kTgRecLen = 48,
};
static_assert(TG_STAMP2 + 8 == kTgRecLen);

// TOKEN design record: key 0 source, group, one character, code; key 1
// source, group, text.
enum : size_t {
  TOK_SRC = 0,
  TOK_GROUP = 1,  // 22
  TOK_CODE = 24,  // u32
  TOK_TEXT = 28,  // 30
  kTokRecLen = 60,
};
static_assert(TOK_TEXT + 30 + 2 == kTokRecLen);

// The key of a TOKEN row of an element's group into the 60-byte `rec`:
// type 0, the element's domain (its name when it has none), the rest blank.
void tok_group_key(const uint8_t* elem, uint8_t* rec);

// DOMAIN design record (key 0: kind character and name; key 1: name). The
// dictionary compiler reads it whole; the token groups read the stamps.
enum : size_t {
  DOM_KIND = 0,        // 1 character, first part of the key
  DOM_NAME = 1,        // 22
  DOM_LABEL = 23,      // 30 default label
  DOM_STAMP1 = 56,     // 8 (56-71 are kept by a borrowed domain)
  DOM_STAMP2 = 72,     // 8 the compile stamp; the null date asks for a compile
  DOM_SIZE = 80,       // u16 default size of a text field
  DOM_OWN_KIND = 82,   // 0 borrowed, 1 number, 2 date, 3 logic, 4 text
  DOM_EFF_KIND = 83,   // own kind, or the source's for a borrowed domain
  DOM_NO_RANGE = 84,   // not 0: text fields of the domain take no ranges
  DOM_SUB_KIND = 85,   // number: 1 binary, 2 packed, 3 variable point; date: 1 binary, 2 packed, 3 text
  DOM_MASK = 86,       // 60
  DOM_ALT_MASK = 146,  // 60
  DOM_DSPL_CHAR = 206,
  DOM_HEAD1 = 207,      // 30
  DOM_HEAD2 = 237,      // 30
  DOM_CODES = 267,      // 3 x 4 characters
  DOM_SRC_AP = 279,     // 3 source application of a borrowed domain
  DOM_SRC_NAME = 282,   // 22 source domain
  DOM_REL = 304,        // 2 x 1 relation codes 1-5, 255 none
  DOM_RNG1 = 306,       // 30
  DOM_RNG2 = 336,       // 30
  DOM_LKP_AP = 366,     // 3
  DOM_LKP_FILE = 369,   // 8
  DOM_LKP_FIELD = 377,  // 22
  DOM_INIT = 399,       // 60 default initial-value text
  DOM_NULL = 459,       // 33 null-value text
  DOM_FORM_BYTE = 492,
  DOM_ALP_FORM = 493,
  DOM_JUSTIFY = 494,
  DOM_CHAR_FLAG = 495,
  DOM_FILL = 496,
  DOM_WORD_FLOW = 497,
  kDomRecLen = 584
};

// Creates both caches in the session scope and forgets every group; 0 (after
// a system-error report) when one cannot be created.
int cv_token_init();

// The group id of (application, version, source, group name), loading the
// group from the application's design files when it is new. Application "-"
// stands for "0LA"; system applications use version "00"; the design files
// of "0DN" are memory files.
uint16_t cv_load_token(const char* ap, const char* ver, uint8_t src, const char* group);

// Closes the cached TOKEN file and forgets its application and version; the
// ELEMENT and DOMAIN files stay open.
void cv_close_token();

// Puts the caches behind the conversions' token hooks, and the runtime's
// TOKEN file (its "OPT" group, opened at the first look-up) behind
// ut_get_opt.
void token_fill_hooks();

}  // namespace kivo
