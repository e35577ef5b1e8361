// The report manager's memory files: creation through the replaceable
// create (process_seams.rm_create), locate-mode record access, and the line, characteristic
// and window records of a buffer.
//
// Records read here are the file's own bytes: callers copy before they
// change them, and a held record is rewritten from the copy.
#include <algorithm>
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "process/process.h"
#include "process/rm_internal.h"

namespace kivo {

namespace {

uint8_t* located(ARB* arb, int ok) { return ok ? arb->arb_rec : nullptr; }

void request(ARB* arb, uint16_t mod, uint8_t* key) {
  arb->arb_mod = mod;
  arb->arb_keyno = 0;
  arb->arb_rec = key;
  arb->arb_key = nullptr;
  arb->arb_key_end = nullptr;
  arb->arb_lock_wait = 0;
}

uint16_t hold_bit(bool hold) { return hold ? ARB_HOLD : 0; }

}  // namespace

ARB* rm_make_file(FDB* fdb, uint32_t scope, uint32_t size, uint32_t options) {
  return FM_CREATE(fdb, scope, size, options, 0x0f, 0x0f) ? fdb->fdb_arb : nullptr;
}

ARB* rm_file_create(const rm_file_spec& spec, uint32_t scope, uint32_t size) {
  FDB fdb;
  KDB kdb[1];
  SDB sdb[3];
  INIT_FDB(&fdb, FS_MEMORY, spec.rec_len, spec.var, spec.nsegs ? kdb : nullptr, spec.nsegs ? 1 : 0);
  INIT_UNIQUE_PATH(&fdb.path, "RM", spec.tag, PATH_DATA);
  fdb.path.fdb_tmp_id = scope;  // the owner scope of a scoped file
  if (spec.nsegs) {
    INIT_KDB(kdb, 0, '+', spec.dup ? KDB_DUP : 0, sdb, spec.nsegs);
    for (uint8_t i = 0; i < spec.nsegs; ++i)
      init_sdb_func(&sdb[i], uint16_t(i + 1), spec.seg[i].off, spec.seg[i].len, spec.seg[i].type, ' ');
  }
  return process_seams.rm_create(&fdb, scope, size, kRmFileOptions);
}

uint8_t* rm_find(ARB* arb, uint8_t* key, bool hold) {
  request(arb, uint16_t(ARB_EQUAL | ARB_LOCATE | hold_bit(hold)), key);
  return located(arb, fm_read(arb));
}

uint8_t* rm_from(ARB* arb, uint8_t* key, bool hold) {
  request(arb, key ? 0 : ARB_FIRST, key);
  if (!fm_start(arb)) return nullptr;
  return rm_next(arb, hold);
}

uint8_t* rm_next(ARB* arb, bool hold) {
  request(arb, uint16_t(ARB_LOCATE | hold_bit(hold)), nullptr);
  return located(arb, fm_rdnxt(arb));
}

int rm_put(ARB* arb, const uint8_t* rec, uint16_t len) {
  request(arb, 0, const_cast<uint8_t*>(rec));  // copied by the write
  arb->arb_len = len;
  arb->arb_var_len = len;
  return fm_write(arb);
}

int rm_reput(ARB* arb, const uint8_t* rec, uint16_t len) {
  request(arb, 0, const_cast<uint8_t*>(rec));
  arb->arb_len = len;
  arb->arb_var_len = len;
  return fm_rewrite(arb);
}

int rm_del(ARB* arb) {
  request(arb, 0, nullptr);
  return fm_del(arb);
}

void rm_unhold(ARB* arb) { fm_release(arb); }

void rm_close(ARB* arb) {
  if (arb) FM_CLOSE(arb, ARB_SCRATCH);
}

ARB* rm_work_file(rm_file_kind kind, uint32_t scope) {
  static const rm_file_spec specs[] = {
      {"RI", uint16_t(sizeof(RPT_ITM)), 0, 0, 3, {{0, 4, SDB_UBINARY}, {8, 4, SDB_UBINARY}, {4, 4, SDB_UBINARY}}},
      {"RC", kRmRcLen, 0, 1, 3, {{0, 4, SDB_UBINARY}, {4, 4, SDB_UBINARY}, {8, 4, SDB_UBINARY}}},
      {"MS", kRmMsgRecLen, 0, 0, 1, {{0, 4, SDB_UBINARY}}},
  };
  return rm_file_create(specs[kind], scope);
}

// ---- lines ----

void ln_blank(const RPT_BUF* b, uint8_t* line, uint32_t no) {
  memset(line, 0, ln_len(b));
  st_le32(line, LN_NO, no);
  memset(line + LN_TEXT, ' ', b->alloc_width);
}

bool ln_read(RPT_BUF* b, uint32_t no, uint8_t* line) {
  uint8_t key[4];
  st_le32(key, 0, no);
  const uint8_t* rec = rm_find(b->line_arb, key, true);
  if (!rec) return false;
  ln_blank(b, line, no);
  memcpy(line, rec, std::min<size_t>(b->line_arb->arb_len, ln_len(b)));
  return true;
}

int ln_write(RPT_BUF* b, const uint8_t* line, bool rewrite) {
  return rewrite ? rm_reput(b->line_arb, line, ln_len(b)) : rm_put(b->line_arb, line, ln_len(b));
}

int chr_write(RPT_BUF* b, uint32_t line, uint32_t attr, uint32_t col, uint32_t len, uint8_t colour) {
  if (col == 0 || col > b->width || len == 0) return 0;
  len = std::min<uint32_t>(len, b->width - col + 1);
  uint8_t rec[kRmChrLen] = {};
  st_le32(rec, BC_LINE, line);
  st_le32(rec, BC_ATTR, attr);
  st_le16(rec, BC_COL, uint16_t(col));
  st_le16(rec, BC_LEN, uint16_t(len));
  rec[BC_COLOUR] = colour;
  return rm_put(b->chr_arb, rec, kRmChrLen) ? 1 : -1;
}

uint32_t max_height(RPT_BUF* b, uint32_t from, uint32_t to) {
  uint32_t h = 0;
  to = std::min<uint32_t>(to, b->width);
  for (uint32_t c = std::max<uint32_t>(from, 1); c <= to; ++c) h = std::max(h, b->heights()[c]);
  return h;
}

// ---- windows ----

bool wnd_read(RPT_BUF* b, uint16_t id, RPT_WND* w, bool hold) {
  RPT_WND key{};
  key.id = id;
  const uint8_t* rec = rm_find(b->wnd_arb, reinterpret_cast<uint8_t*>(&key), hold);
  if (!rec) return false;
  memcpy(static_cast<void*>(w), rec, sizeof *w);
  return true;
}

int wnd_store(RPT_BUF* b, const RPT_WND* w) {
  RPT_WND old;
  const auto* rec = reinterpret_cast<const uint8_t*>(w);
  if (wnd_read(b, w->id, &old, true)) return rm_reput(b->wnd_arb, rec, sizeof *w);
  return rm_put(b->wnd_arb, rec, sizeof *w);
}

}  // namespace kivo
