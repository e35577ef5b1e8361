// The descriptors of the window manager's memory files: record length and
// keys of each, and their creation. Every key segment is a 4-byte binary
// field except the keymap name.
#include "screen/wm_files.h"

#include <cstdio>
#include <cstring>

#include "fm/fm_open.h"
#include "foundation/descriptors.h"
#include "foundation/paths.h"
#include "foundation/sys_err.h"
#include "screen/wm.h"
#include "screen/wm_rect.h"

namespace kivo {

namespace {

struct seg_spec {
  uint16_t off, len;
  uint8_t type;
};
struct key_spec {
  uint8_t order, flags, nsegs;
  seg_spec segs[3];
};
struct file_spec {
  const char* tag;
  uint16_t rec_len;
  uint8_t nkeys;
  key_spec keys[3];
};

constexpr seg_spec b4(size_t off) { return {uint16_t(off), 4, SDB_BINARY}; }

const file_spec kFiles[] = {
    {"RE",
     kRectRecLen,
     3,
     {{'+', 0, 3, {b4(RECT_OWN), b4(RECT_TL_ROW), b4(RECT_TL_COL)}},
      {'+', KDB_DUP, 3, {b4(RECT_OBS), b4(RECT_TL_ROW), b4(RECT_TL_COL)}},
      {'+', KDB_DUP, 3, {b4(RECT_OBS), b4(RECT_BR_ROW), b4(RECT_BR_COL)}}}},
    {"TR", kTrectRecLen, 1, {{'+', 0, 2, {b4(TRECT_PHY_BR_ROW), b4(TRECT_PHY_BR_COL)}}}},
    {"KM", kTkeymapRecLen, 1, {{'+', 0, 1, {{TKEYMAP_NAME, kKeymapNameLen, SDB_CHARS}}}}},
    {"IT",
     sizeof(TITM),
     1,
     {{'+', 0, 3, {b4(offsetof(TITM, reg)), b4(offsetof(TITM, tl_row)), b4(offsetof(TITM, tl_col))}}}},
    {"CH",
     kTchrRecLen,
     2,
     {{'+', 0, 3, {b4(TCHR_REG), b4(TCHR_TL_ROW), b4(TCHR_TL_COL)}},
      {'-', 0, 3, {b4(TCHR_REG), b4(TCHR_TL_ROW), b4(TCHR_TL_COL)}}}},
    {"SI", sizeof(TITM), 0, {}},
    {"SC", sizeof(CHR_BLK), 0, {}},
};
constexpr uint32_t kCreateSize = 40;

}  // namespace

ARB* wm_create_file(wm_file kind, uint32_t scope, const char* what) {
  static uint32_t file_no;
  const file_spec& f = kFiles[int(kind)];
  FDB fdb;
  KDB kdb[3];
  SDB sdb[9];
  INIT_FDB(&fdb, FS_MEMORY, f.rec_len, 0, kdb, f.nkeys);
  INIT_UNIQUE_PATH(&fdb.path, "WM", f.tag, PATH_DATA);
  // Memory files are found by application and name: one number for all
  // kinds keeps every name apart.
  char name[16];
  snprintf(name, sizeof name, "%08X", ++file_no);
  memcpy(fdb.path.fdb_name, name, 8);
  for (uint8_t k = 0; k < f.nkeys; ++k) {
    const key_spec& ks = f.keys[k];
    INIT_KDB(&kdb[k], k, ks.order, ks.flags, sdb + 3 * k, ks.nsegs);
    for (uint16_t j = 0; j < ks.nsegs; ++j)
      init_sdb_func(sdb + 3 * k + j, uint16_t(j + 1), ks.segs[j].off, ks.segs[j].len, ks.segs[j].type, ' ');
  }
  if (FM_CREATE(&fdb, scope, kCreateSize, LFB_OPEN_NEW, 0x0f, 0x0f)) return fdb.fdb_arb;
  sys_err("WM1", __LINE__, "%s (status %u)", what, fdb.fdb_stat);
  return nullptr;
}

}  // namespace kivo
