// The verify run, "DB_VFY": a generated ACTION process "RESTRUCTURE" of
// "0DN" that reads every record of a file, applies VERIFY to it and, on
// request, looks up every field that names a lookup, warning for each
// value without its record.
//
// Invariants: the generated design lives only during the call; its module
// is dropped from the cache after the run, so the next verify (another file
// under the same name) compiles its own; the caller's database, or
// application and version, are put back whatever the run's end.
#include <cstring>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/pcb.h"
#include "compiler/stmt_layout.h"
#include "compiler/stmt_view.h"
#include "design/db_restruct.h"
#include "design/db_stmt.h"
#include "design/db_vfy.h"
#include "design/dd.h"
#include "design/design_builder.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "types/element.h"

namespace kivo {

namespace {

constexpr const char* kModule = "DB";
constexpr const char* kProcName = "RESTRUCTURE";
constexpr int kVfyWarned = 1220;  // the run issued warnings

std::string trimmed(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  return s.erase(s.find_last_not_of(' ') + 1);
}

// The lookups of every element of the file that names one.
int bld_lookups(uint8_t* st, ARB* a, const FDB_PATH& path, char blanks) {
  char ap[4] = {}, ver[3] = {};
  db_dict_of(path, ap, ver);
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DELEM_FDB(&fdb, kdb, sdb, ap, ver);
  if (!FM_OPEN(&fdb, com.proc_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x01, 0x0f))
    return checkstat(fdb.fdb_stat, "Bad elem attach", kModule, __LINE__), 0;
  std::vector<std::vector<uint8_t>> elems;
  uint8_t from[kElementSize] = {};
  memcpy(from + ELEM_FILE, path.fdb_name, 8);
  const bool read = dd_scan(
      fdb.fdb_arb, 2, from, kElementSize,
      [](const uint8_t* r, const uint8_t* f) { return memcmp(r + ELEM_FILE, f + ELEM_FILE, 8) == 0; }, &elems);
  FM_CLOSE(fdb.fdb_arb, 0);
  if (!read) return checkstat(fdb.fdb_stat, "ELEM start failed", kModule, __LINE__), 0;
  char fap[4] = {};
  memcpy(fap, path.fdb_ap, 3);
  for (auto& rec : elems) {
    const uint8_t* x = rec.data();
    if (trimmed(x + ELEM_LKP_AP, 3).empty()) continue;
    const std::string xn(reinterpret_cast<const char*>(x + ELEM_NAME), 22);
    const std::string lap(reinterpret_cast<const char*>(x + ELEM_LKP_AP), 3);
    const std::string lfile(reinterpret_cast<const char*>(x + ELEM_LKP_FILE), 8);
    const std::string lfld(reinterpret_cast<const char*>(x + ELEM_LKP_FIELD), 22);
    const int ok =
        blanks == '0' ? bld_if_stmt(st, a, fap, xn.c_str(), occ_lit(1), nullptr, "", occ_none(), nullptr, RELOP_NE)
                      : bld_if_stmt(st, a, fap, xn.c_str(), occ_lit(1), fap, xn.c_str(), occ_lit(1), nullptr, RELOP_EQ);
    const std::string text = trimmed(x + ELEM_NAME, 22) + " does not match existing " + trimmed(x + ELEM_LKP_FIELD, 22);
    if (!ok || !bld_full_set(st, a, lap.c_str(), lfld.c_str(), occ_lit(1), fap, xn.c_str(), occ_lit(1), "T") ||
        !bld_read_stmt(st, a, lap.c_str(), lfile.c_str(), lfld.c_str(), 0, "T") ||
        !bld_msg_stmt(st, a, VERB_WARNING, text.c_str(), "TF") ||
        // A WARNING statement does not count in WARNINGS as VERIFY's
        // findings do: the miss must still reach the caller as 1220.
        !bld_token_set(st, a, "0LA", "ENTRY RESTRUCT STAT1", occ_lit(1), nullptr, kVfyWarned, occ_none(), "TF"))
      return 0;
  }
  return 1;
}

void next_ep(uint8_t* st, uint8_t ep) {
  st[STMT_EP] = ep;
  SET_BLANK(st + STMT_PREFIX, 5);
}

}  // namespace

int bld_vfy_ep(const FDB_PATH& path, const uint8_t* proc, ARB* a, char lookups, char blanks) {
  (void)proc;
  uint8_t st[kStmtSize];
  stmt_start(st, PT_ACTION, kProcName, 1);
  FDB_PATH own = path;
  if (!bld_read_entry_stmt(st, a) ||
      !bld_full_set(st, a, "0LA", "ENTRY RESTRUCT STAT1", occ_lit(1), nullptr, "", occ_none(), nullptr) ||
      !bld_fi_stmt(st, a, VERB_OPEN, own) ||
      !bld_token_set(st, a, "0LA", "ENTRY RESTRUCT STAT1", occ_lit(1), nullptr, RS_OLD_OPEN, occ_none(), "F") ||
      !bld_full_set(st, a, "0LA", "ENTRY RESTRUCT STAT2", occ_lit(1), "0LA", "STATUS CODE", occ_lit(1), "F") ||
      !bld_end_stmt(st, a, VERB_END_PROC, "F"))
    return 0;
  next_ep(st, 3);
  if (!bld_trap_stmt(st, a, nullptr)) return 0;
  // VERIFY of the whole record: kind 3.
  st[STMT_SPARE2] = ' ';
  st_le16(st, STMT_VERB, VERB_VERIFY);
  SET_BLANK(st + STMT_OPND, kStmtOpndLen);
  const stmt_occ none = occ_none();
  memcpy(st + STMT_OPND, none.data(), 4);
  memcpy(st + STMT_OPND + 4, path.fdb_ap, 3);
  memcpy(st + STMT_OPND + 7, path.fdb_name, 8);
  st[STMT_OPND + 30] = SR_RECORD;
  st[STMT_OPND + 31] = 1;
  st_le32(st, STMT_SEQ, stmt_view(st).seq() + 1);
  a->arb_rec = st, a->arb_len = kStmtSize, a->arb_var_len = 0, a->arb_mod = 0;
  if (!fm_write(a)) return checkstat(a->arb_stat, "Verify statement write failed", kModule, __LINE__), 0;
  if (lookups == '1' && !bld_lookups(st, a, path, blanks)) return 0;
  next_ep(st, 6);
  return bld_trap_stmt(st, a, nullptr) &&
         bld_if_stmt(st, a, "0LA", "WARNINGS", occ_lit(1), nullptr, "0", occ_none(), nullptr, RELOP_NE) &&
         bld_token_set(st, a, "0LA", "ENTRY RESTRUCT STAT1", occ_lit(1), nullptr, kVfyWarned, occ_none(), "T") &&
         bld_eop_rewrite(st, a);
}

void vfy_process_rec(const FDB_PATH& path, uint8_t* pr) {
  memset(pr, 0, kProcRecSize);
  pr[PR_TYPE] = PT_ACTION;
  SET_BLANK(pr + PR_NAME, 30);
  memcpy(pr + PR_NAME, kProcName, strlen(kProcName));
  pr[PR_ACTIVE] = '1';
  SET_BLANK(pr + PR_DESC, 30);
  memcpy(pr + PR_DESC, "Verify ", 7);
  memcpy(pr + PR_DESC + 7, path.fdb_name, 8);
  pr[PR_SAVE] = '0';
  SET_BLANK(pr + PR_SECR, 4);
  memcpy(pr + PR_PCF_UPDATE, "111", 3);
  memcpy(pr + PR_PCF_AP, path.fdb_ap, 3);
  memcpy(pr + PR_PCF_NAME, path.fdb_name, 8);
  SET_BLANK(pr + PR_ALT_KEY, 22);
  pr[PR_TITLE] = pr[PR_TITLE + 1] = '"';
  SET_BLANK(pr + PR_TITLE + 2, 58);
  memcpy(pr + PR_PRINT_FILE, path.fdb_name, 8);
  pr[PR_ALOG] = '0';
}

uint32_t db_vfy(PCB* caller, const FDB_PATH& path, char lookups, char blanks) {
  char ver[3] = {};
  memcpy(ver, path.fdb_ver, 2);
  add_dap("0DN", ver);
  DesignBuilder b("0DN", ver, com.subproc_scope);
  uint8_t pa[kParamRecSize] = {}, pr[kProcRecSize], fr[kFrameRecSize] = {};
  SET_BLANK(pa + 169, 25);
  vfy_process_rec(path, pr);
  fr[FR_TYPE] = PT_ACTION;
  SET_BLANK(fr + FR_NAME, 30);
  memcpy(fr + FR_NAME, kProcName, strlen(kProcName));
  st_le32(fr, FR_NUMBER, 1);
  fr[FR_ENABLED] = 1;
  ARB* sa = b.handle(DF_STMT);
  const bool built = sa && b.put(DF_PARAM, pa) && b.put(DF_PROCESS, pr) && b.put(DF_FRAME, fr) &&
                     bld_vfy_ep(path, pr, sa, lookups, blanks);
  uint32_t result = RS_FAILED;
  if (built) {
    // The run sees the file's database, or for a design file its source
    // application and version; the caller's come back afterwards.
    char db[3], ap[3], cver[2];
    memcpy(db, com.cur_db, 3), memcpy(ap, com.cur_ap, 3), memcpy(cver, com.cur_ver, 2);
    if (memcmp(path.fdb_ap, "0AD", 3) == 0)
      memcpy(com.cur_ap, path.fdb_src_ap, 3), memcpy(com.cur_ver, path.fdb_src_ver, 2);
    else memcpy(com.cur_db, path.fdb_db, 3);
    const uint32_t code = db_run_generated(caller, ver);
    memcpy(com.cur_db, db, 3), memcpy(com.cur_ap, ap, 3), memcpy(com.cur_ver, cver, 2);
    db_status_of_end(code);
    result = db_entry_stat(1);
  } else {
    sys_err(kModule, __LINE__, "verify design: %s", b.error().c_str());
  }
  // The module goes with its design: the next verify writes another under
  // the same name.
  PCB k{};
  memcpy(k.invoc.ap_id(), "0DN", 3);
  memcpy(k.invoc.ver(), ver, 2);
  k.invoc.set_proc_type(PT_ACTION);
  SET_BLANK(k.invoc.proc_nam(), kProcNameLen);
  memcpy(k.invoc.proc_nam(), kProcName, strlen(kProcName));
  if (built && pl_get(&k, 0)) pl_free(k.pcb_em), pl_discard(k.pcb_em);
  b.close_all(ARB_SCRATCH);
  return result == 0xFFFFFFFF ? 0 : result;
}

}  // namespace kivo
