// The statement editor's start and the dictionary files it keeps: the
// element and TOKEN design files of the edited application and of "0LA",
// opened by an edit run and used by the check and the coded constants.
#include <cstring>

#include "compiler/pc.h"
#include "editors/se_edit.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/descriptors.h"
#include "foundation/pool.h"
#include "interp/interp.h"
#include "types/element.h"

namespace kivo {

POOL* se_pool = nullptr;
char se_ap[3] = {' ', ' ', ' '}, se_ver[2] = {' ', ' '};
ARB* cur_delem_arb = nullptr;
ARB* lang_delem_arb = nullptr;
ARB* cur_dtoken_arb = nullptr;
ARB* lang_dtoken_arb = nullptr;
uint8_t se_scan[kSeScanLen];

void se_init() {
  if (!se_pool) se_pool = mm_create_pool(" SEPOOL    ", com.sys_scope);
  load_zel_spellings();
  memset(se_scan, ' ', sizeof se_scan);
  se_scan[SCAN_STATUS] = 0;
}

ARB* se_open_design(se_dfdb_init init, const char* ap, const char* ver, uint32_t level, uint32_t* stat) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  init(&fdb, kdb, sdb, ap, IS_BOB_AP(ap) ? "00" : ver);
  if (pc_memory_design(ap)) fdb.fdb_fs_type = FS_MEMORY;
  if (FM_OPEN(&fdb, level, LFB_ANY_DIR, 0x01, 0x0f)) return fdb.fdb_arb;
  if (stat) *stat = fdb.fdb_stat;
  return nullptr;
}

int se_open_dict(const char* ap, const char* ver) {
  memcpy(se_ap, ap, 3);
  memcpy(se_ver, ver, 2);
  uint32_t stat = 0;
  if (!cur_delem_arb && !(cur_delem_arb = se_open_design(INIT_DELEM_FDB, ap, ver, com.sys_scope, &stat))) return 6;
  if (!lang_delem_arb && !(lang_delem_arb = se_open_design(INIT_DELEM_FDB, "0LA", "00", com.sys_scope, &stat)))
    return 7;
  // A TOKEN file never created is no failure: the handle stays null.
  if (!cur_dtoken_arb && !(cur_dtoken_arb = se_open_design(INIT_DTOKEN_FDB, ap, ver, com.sys_scope, &stat)) &&
      stat != FM_NO_FILE)
    return 8;
  if (!lang_dtoken_arb && !(lang_dtoken_arb = se_open_design(INIT_DTOKEN_FDB, "0LA", "00", com.sys_scope, &stat)) &&
      stat != FM_NO_FILE)
    return 9;
  return 0;
}

void se_close_dict() {
  for (ARB** a : {&cur_delem_arb, &lang_delem_arb, &cur_dtoken_arb, &lang_dtoken_arb}) {
    if (*a) FM_CLOSE(*a, 0);
    *a = nullptr;
  }
}

ARB* se_delem_for(const char* ap, bool* opened) {
  *opened = false;
  if (memcmp(ap, "0LA", 3) == 0 && lang_delem_arb) return lang_delem_arb;
  if (memcmp(ap, se_ap, 3) == 0 && cur_delem_arb) return cur_delem_arb;
  ARB* a = ii_open_delem_fi(ap, IS_BOB_AP(ap) ? "00" : se_ver);
  *opened = a != nullptr;
  return a;
}

int se_read_elem(ARB* arb, const char* name, uint8_t* elem) {
  memset(elem, 0, kElementSize);
  memcpy(elem + ELEM_NAME, name, 22);
  return pc_read(arb, 0, elem, kElementSize);
}

}  // namespace kivo
