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

// DOMAIN design record: the parts the token groups read.
enum : size_t { DOM_KIND = 0, DOM_NAME = 1, DOM_STAMP1 = 56, DOM_STAMP2 = 72, kDomRecLen = 584 };

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
void token_register_hooks();

}  // namespace kivo
