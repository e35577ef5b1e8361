// The token caches: loading a group from the TOKEN, ELEMENT and DOMAIN design
// files into "CV"/"TG" and "CV"/"TI", and the look-ups behind token_hooks.
//
// Each of the three design files is kept open for the application last used
// with it, and remembers its own application and version, so that loading a
// domain's group after an element's of the same application opens the
// DOMAIN file rather than reading a file of another application.
#include "fm/token_cache.h"

#include <cstring>
#include <utility>

#include "fm/fm_open.h"
#include "fm/fm_switch.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/foundation.h"
#include "foundation/opt_token.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "types/cnv.h"
#include "types/element.h"
#include "types/types.h"

namespace kivo {

namespace {

// An open design file and the application and version it belongs to.
struct design_file {
  ARB* arb = nullptr;
  char ap[3] = {' ', ' ', ' '};
  char ver[2] = {' ', ' '};
};

struct token_state {
  ARB* groups = nullptr;  // "CV"/"TG"
  ARB* tokens = nullptr;  // "CV"/"TI"
  design_file token, elem, dom;
  ARB* opt = nullptr;         // the runtime's TOKEN, for the OPT group
  bool opt_reported = false;  // its open failed and was reported: once a session
  uint16_t next_id = 1;
};
token_state g;

using design_init = void (*)(FDB*, KDB*, SDB*, const char*, const char*);

[[noreturn]] void token_fatal(int line, const char* text) {
  sys_err("CV", line, "%s", text);
  mark_leave(3);
}

void init_group_fdb(FDB* f, KDB* k, SDB* s) {
  INIT_FDB(f, FS_MEMORY, kTgRecLen, 0, k, 2);
  INIT_UNIQUE_PATH(&f->path, "CV", "TG", PATH_DATA);
  INIT_KDB(k, 0, '+', 0, s, 4);
  init_sdb_func(s, 1, TG_AP, 3, SDB_CHARS, ' ');
  init_sdb_func(s + 1, 2, TG_VER, 2, SDB_CHARS, ' ');
  init_sdb_func(s + 2, 3, TG_SRC, 1, SDB_UBINARY, ' ');
  init_sdb_func(s + 3, 4, TG_GROUP, kTokenGroupLen, SDB_CHARS, ' ');
  INIT_KDB(k + 1, 1, '+', 0, s + 4, 1);
  init_sdb_func(s + 4, 1, TG_ID, 2, SDB_UBINARY, ' ');
}

// Codes may repeat within a group (TOKEN's key has a character between group
// and code); texts may not.
void init_token_fdb(FDB* f, KDB* k, SDB* s) {
  INIT_FDB(f, FS_MEMORY, kTokenRecLen, 0, k, 2);
  INIT_UNIQUE_PATH(&f->path, "CV", "TI", PATH_DATA);
  INIT_KDB(k, 0, '+', KDB_DUP, s, 2);
  init_sdb_func(s, 1, 0, 2, SDB_UBINARY, ' ');
  init_sdb_func(s + 1, 2, kTokenRecCode, 4, SDB_BINARY, ' ');
  INIT_KDB(k + 1, 1, '+', 0, s + 2, 2);
  init_sdb_func(s + 2, 1, 0, 2, SDB_UBINARY, ' ');
  init_sdb_func(s + 3, 2, kTokenRecText, kTokenTextLen, SDB_CHARS, ' ');
}

ARB* create_cache(void (*init)(FDB*, KDB*, SDB*), const char* fail_text) {
  FDB fdb;
  KDB kdb[2];
  SDB sdb[5];
  init(&fdb, kdb, sdb);
  if (FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW, 0x0f, 0x0f)) return fdb.fdb_arb;
  sys_err("CV", __LINE__, "%s", fail_text);
  return nullptr;
}

// Exact read by key `keyno` of the key image `key`: the live record or null.
const uint8_t* read_eq(ARB* arb, uint8_t keyno, uint8_t* key) {
  arb->arb_keyno = keyno;
  return fm_slot(arb, &fms_fn::read, ARB_EQUAL | ARB_LOCATE, key) ? arb->arb_rec : nullptr;
}

// Positions `arb` on the first record whose key `keyno` starts with the first
// `len` bytes of the record image `key` (key segments in record order).
bool start_from(ARB* arb, uint8_t keyno, uint8_t* key, size_t len) {
  STRM* s = arb_strm(arb);
  arb->arb_keyno = keyno;
  arb->arb_mod = 0;
  arb->arb_rec = key;
  arb->arb_key_end = key + len;
  return s->strm_fms->start(arb, s) == 1;
}

const uint8_t* next_rec(ARB* arb) { return fm_slot(arb, &fms_fn::rdnxt, ARB_LOCATE, nullptr) ? arb->arb_rec : nullptr; }

void close_design(design_file& f) {
  if (f.arb) FM_CLOSE(f.arb, 0);
  f = design_file{};
}

// Makes `f` the design file of ap/ver, opening it when it holds another one.
// The open itself makes the files of "0DN" memory files.
void use_design(design_file& f, design_init init, const char* ap, const char* ver, int line, const char* fail_text) {
  if (f.arb && memcmp(f.ap, ap, 3) == 0 && memcmp(f.ver, ver, 2) == 0) return;
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  init(&fdb, kdb, sdb, ap, ver);
  if (!FM_OPEN(&fdb, com.sys_scope, 0, 0x0f, 0x0f)) token_fatal(line, fail_text);
  close_design(f);
  f.arb = fdb.fdb_arb;
  memcpy(f.ap, ap, 3);
  memcpy(f.ver, ver, 2);
}

// Step 3: one token-cache record per TOKEN row of the group.
void load_rows(uint16_t id, uint8_t src, const char* group) {
  uint8_t key[kTokRecLen] = {};
  key[TOK_SRC] = src;
  memcpy(key + TOK_GROUP, group, kTokenGroupLen);
  ARB* arb = g.token.arb;
  if (!start_from(arb, 0, key, TOK_GROUP + kTokenGroupLen)) return;
  while (const uint8_t* row = next_rec(arb)) {
    if (memcmp(row, key, TOK_GROUP + kTokenGroupLen) != 0) break;
    uint8_t rec[kTokenRecLen] = {};
    st_le16(rec, 0, id);
    memcpy(rec + kTokenRecCode, row + TOK_CODE, 4);
    memcpy(rec + kTokenRecText, row + TOK_TEXT, kTokenTextLen);
    if (!fm_slot(g.tokens, &fms_fn::write, 0, rec)) token_fatal(__LINE__, "cv_load_token() - Bad write to cache");
  }
}

// Step 4: the two stamps of the element, or of the domain ('0' and then '1'
// before its name); none found leaves them zero.
void take_stamps(uint8_t src, const char* group, uint8_t* grec) {
  if (src) {
    uint8_t key[ELEM_NAME + kTokenGroupLen] = {};
    memcpy(key + ELEM_NAME, group, kTokenGroupLen);
    if (const uint8_t* e = read_eq(g.elem.arb, 0, key)) {
      memcpy(grec + TG_STAMP1, e + ELEM_BINARIES, 8);
      memcpy(grec + TG_STAMP2, e + ELEM_STAMP, 8);
    }
    return;
  }
  for (char kind : {'0', '1'}) {
    uint8_t key[DOM_NAME + kTokenGroupLen];
    key[DOM_KIND] = static_cast<uint8_t>(kind);
    memcpy(key + DOM_NAME, group, kTokenGroupLen);
    if (const uint8_t* d = read_eq(g.dom.arb, 0, key)) {
      memcpy(grec + TG_STAMP1, d + DOM_STAMP1, 8);
      memcpy(grec + TG_STAMP2, d + DOM_STAMP2, 8);
      return;
    }
  }
}

const uint8_t* group_by_id(uint32_t group) {
  if (!g.groups || group == 0 || group > 0xFFFF) return nullptr;
  uint8_t key[kTgRecLen] = {};
  st_le16(key, TG_ID, static_cast<uint16_t>(group));
  return read_eq(g.groups, 1, key);
}

uint32_t hook_load(const char* ap, const char* ver, uint8_t src, const char* group) {
  return cv_load_token(ap, ver, src, group);
}

int hook_by_text(uint32_t group, const char* text, uint8_t* rec) {
  if (!g.tokens) return 0;
  uint8_t key[kTokenRecLen] = {};
  st_le16(key, 0, static_cast<uint16_t>(group));
  memcpy(key + kTokenRecText, text, kTokenTextLen);
  const uint8_t* r = group <= 0xFFFF ? read_eq(g.tokens, 1, key) : nullptr;
  if (r) memcpy(rec, r, kTokenRecLen);
  return r != nullptr;
}

int hook_by_code(uint32_t group, int32_t code, uint8_t* rec) {
  if (!g.tokens) return 0;
  uint8_t key[kTokenRecLen] = {};
  st_le16(key, 0, static_cast<uint16_t>(group));
  st_le32(key, kTokenRecCode, static_cast<uint32_t>(code));
  const uint8_t* r = group <= 0xFFFF ? read_eq(g.tokens, 0, key) : nullptr;
  if (r) memcpy(rec, r, kTokenRecLen);
  return r != nullptr;
}

int hook_list(uint32_t group, int max, uint8_t* out) {
  if (!g.tokens || group > 0xFFFF) return 0;
  uint8_t key[kTokenRecLen] = {};
  st_le16(key, 0, static_cast<uint16_t>(group));
  if (!start_from(g.tokens, 0, key, 2)) return 0;
  int n = 0;
  while (max <= 0 || n < max) {
    const uint8_t* r = next_rec(g.tokens);
    if (!r || ld_le16(r, 0) != group) break;
    if (out) memcpy(out + size_t(n) * kTokenRecLen, r, kTokenRecLen);
    ++n;
  }
  return n;
}

int hook_info(uint32_t group, uint8_t* stamp1, uint8_t* stamp2, char* ap, char* ver) {
  const uint8_t* r = group_by_id(group);
  if (!r) return 0;
  memcpy(stamp1, r + TG_STAMP1, 8);
  memcpy(stamp2, r + TG_STAMP2, 8);
  memcpy(ap, r + TG_AP, 3);
  memcpy(ver, r + TG_VER, 2);
  return 1;
}

// ---- the OPT group behind ut_get_opt ----

// The runtime's TOKEN file, opened once for the session; null when it
// cannot be opened, which is reported the first time only: the terminal
// names every key it snapshots or records through it.
ARB* opt_file() {
  if (g.opt) return g.opt;
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DTOKEN_FDB(&fdb, kdb, sdb, "0LA", "00");
  if (FM_OPEN(&fdb, com.sys_scope, 0, 0x0f, 0x0f)) return g.opt = fdb.fdb_arb;
  if (!std::exchange(g.opt_reported, true)) checkstat(fdb.fdb_stat, "can't open token file", "UT", __LINE__);
  return nullptr;
}

// An OPT row image: type 0, the group, and the first name's character.
void opt_key(uint8_t* key) {
  memset(key, ' ', kTokRecLen);
  key[TOK_SRC] = 0;
  memcpy(key + TOK_GROUP, "OPT", 3);
}

int opt_by_name(const char* name, int32_t* code) {
  ARB* a = opt_file();
  uint8_t key[kTokRecLen];
  opt_key(key);
  memcpy(key + TOK_TEXT, name, kOptNameLen);
  const uint8_t* r = a ? read_eq(a, 1, key) : nullptr;
  if (r) *code = static_cast<int32_t>(ld_le32(r, TOK_CODE));
  return r != nullptr;
}

int opt_by_code(int32_t code, char* name) {
  ARB* a = opt_file();
  uint8_t key[kTokRecLen];
  opt_key(key);
  st_le32(key, TOK_CODE, static_cast<uint32_t>(code));
  const uint8_t* r = a ? read_eq(a, 0, key) : nullptr;
  if (r) memcpy(name, r + TOK_TEXT, kOptNameLen);
  return r != nullptr;
}

}  // namespace

int cv_token_init() {
  // Handles of an earlier start went with the file manager's restart.
  g = token_state{};
  g.groups = create_cache(init_group_fdb, "Bad com_token_dom create ");
  g.tokens = create_cache(init_token_fdb, "Bad com_token_id create ");
  return g.groups && g.tokens;
}

uint16_t cv_load_token(const char* ap_in, const char* ver_in, uint8_t src, const char* group) {
  if (!g.groups || !g.tokens) token_fatal(__LINE__, "cv_load_token() - no token caches");
  char ap[3], ver[2];
  memcpy(ap, ap_in[0] == '-' ? "0LA" : ap_in, 3);
  memcpy(ver, IS_BOB_AP(ap) ? "00" : ver_in, 2);
  // Step 1: a group loaded before.
  uint8_t grec[kTgRecLen] = {};
  memcpy(grec + TG_AP, ap, 3);
  memcpy(grec + TG_VER, ver, 2);
  grec[TG_SRC] = src ? 1 : 0;
  memcpy(grec + TG_GROUP, group, kTokenGroupLen);
  if (const uint8_t* old = read_eq(g.groups, 0, grec)) return ld_le16(old, TG_ID);
  // Step 2: the application's design files.
  use_design(g.token, INIT_DTOKEN_FDB, ap, ver, __LINE__, "cv_load_token() - Bad TOKEN file open ");
  if (src) use_design(g.elem, INIT_DELEM_FDB, ap, ver, __LINE__, "cv_load_token() - Bad ELEMENT file open ");
  else use_design(g.dom, INIT_DDOM_FDB, ap, ver, __LINE__, "cv_load_token() - Bad DOMAIN file open ");
  // Steps 3 to 5. Ids are never reused; the last one refuses further groups.
  if (g.next_id == 0xFFFF) token_fatal(__LINE__, "cv_load_token() - too many token groups");
  const uint16_t id = g.next_id++;
  load_rows(id, grec[TG_SRC], group);
  take_stamps(grec[TG_SRC], group, grec);
  st_le16(grec, TG_ID, id);
  if (!fm_slot(g.groups, &fms_fn::write, 0, grec)) token_fatal(__LINE__, "cv_load_token() - Bad token group write ");
  return id;
}

void cv_close_token() { close_design(g.token); }

void token_fill_hooks() {
  token_hooks h{};
  h.load = hook_load;
  h.by_text = hook_by_text;
  h.by_code = hook_by_code;
  h.list = hook_list;
  h.info = hook_info;
  h.init = cv_token_init;
  types_hooks.tokens = h;
  g.opt = nullptr;  // a handle of an earlier start went with its file manager
  g.opt_reported = false;
  foundation_hooks.opt_lookup = ut_opt_lookup{opt_by_name, opt_by_code};
}

void tok_group_key(const uint8_t* elem, uint8_t* rec) {
  memset(rec, ' ', kTokRecLen);
  rec[TOK_SRC] = 0;
  const bool domain = elem[ELEM_DOMAIN] != ' ' && elem[ELEM_DOMAIN] != 0;
  memcpy(rec + TOK_GROUP, elem + (domain ? ELEM_DOMAIN : ELEM_NAME), 22);
}

}  // namespace kivo
