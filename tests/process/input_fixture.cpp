// input_fixture DIR DB AP VER PROCESS... [+FILE=RECORDS]...: completes a
// data directory whose design files kivo_design wrote, for engines that run
// processes of application AP under database DB: the APPL record of AP VER,
// the DATABASE record of DB (each kept when there already), the messages the INPUT process shows, and every
// native data file of each PROCESS, created empty where the engine's open of
// that process looks for it (the module compiled here names the same path).
// A PROCESS is an INPUT process, unless written "T:NAME" with its type T.
// "+FILE=RECORDS" writes into the new data file FILE the records of the text
// file RECORDS, one a line in hexadecimal.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/pcb.h"
#include "compiler/pl.h"
#include "design/design.h"
#include "editors/se_edit.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "interp/interp.h"
#include "kivo_fixture.h"
#include "process/pi.h"
#include "process/process.h"
#include "process/startup.h"
#include "types/cnv.h"

using namespace kivo;

namespace {

constexpr uint16_t kDdbRecLen = 424;
enum : size_t { DDB_ID = 0, DDB_AP = 3, DDB_VER = 6 };

bool write_rec(void (*init)(FDB*, KDB*, SDB*), uint8_t* rec, uint16_t len) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  const uint32_t opts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;
  init(&f, k, s);
  if (!FM_OPEN(&f, com.sys_scope, opts, 15, 15)) {
    init(&f, k, s);
    if (!FM_CREATE(&f, com.sys_scope, 10, opts | LFB_OPEN_NEW, 15, 15)) return false;
  }
  ARB* a = f.fdb_arb;
  a->arb_rec = rec, a->arb_len = a->arb_var_len = len, a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = 0;
  // A record already there is kept: the fixture completes an installation.
  const bool ok = fm_write(a) != 0 || a->arb_stat == FM_DUP_KEY;
  FM_CLOSE(a, 0);
  return ok;
}

// The system directory's entry of a data file of the database: native,
// the class of the database, checked against its structure file.
bool sysdir_entry(const char* db, const char* ap, const uint8_t* name) {
  uint8_t rec[kSysdirLen];
  memset(rec, ' ', sizeof rec);
  memcpy(rec + SYSDIR_DB, db, 3), memcpy(rec + SYSDIR_AP, ap, 3), memcpy(rec + SYSDIR_NAME, name, 8);
  st_le32(rec, SYSDIR_REDIRECT, 1);
  st_le16(rec, SYSDIR_FS_TYPE, FMS_NATIVE);
  st_le32(rec, SYSDIR_STAMP, kStampUnknown), st_le32(rec, SYSDIR_STAMP + 4, kStampUnknown);
  return write_rec(INIT_DSYSDIR_FDB, rec, kSysdirLen);
}

// Data file name (8, blank-padded) -> the text file of its first records.
std::map<std::string, std::string> g_records;

bool fill(ARB* a, const std::string& from) {
  std::ifstream in(from);
  if (!in) return fprintf(stderr, "%s: not readable\n", from.c_str()), false;
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    std::vector<uint8_t> r(line.size() / 2);
    for (size_t i = 0; i < r.size(); ++i) r[i] = uint8_t(std::stoi(line.substr(2 * i, 2), nullptr, 16));
    a->arb_rec = r.data(), a->arb_len = a->arb_var_len = uint16_t(r.size());
    a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = 0;
    if (!fm_write(a)) return fprintf(stderr, "%s line %d: write failed (%u)\n", from.c_str(), n, a->arb_stat), false;
  }
  return true;
}

// The process's native files, created empty (kept when there already), or
// with their records.
bool create_files(const char* db, const char* ap, const char* ver, const char* name) {
  uint8_t type = PT_INPUT;
  if (name[0] >= '1' && name[0] <= '9' && name[1] == ':') type = uint8_t(name[0] - '0'), name += 2;
  PCB k{};
  k.invoc = pi_invoc;
  memcpy(k.invoc.b + INVOC_AP_ID, ap, 3), memcpy(k.invoc.b + INVOC_VER, ver, 2);
  memset(k.invoc.b + INVOC_PROC_NAM, ' ', kProcNameLen);
  memcpy(k.invoc.b + INVOC_PROC_NAM, name, strnlen(name, kProcNameLen));
  k.invoc.b[INVOC_PROC_TYPE] = type;
  memcpy(k.pcb_lang, "ENG", 3);
  if (!pl_get(&k, 1) || !k.pcb_em) return fprintf(stderr, "%s: not compiled\n", name), false;
  EM* em = k.pcb_em;
  uint8_t key[CFI_LEN] = {};
  PROTO_FULL(em->em_cfi_arb, 0, key);
  em->em_cfi_arb->arb_mod = ARB_FIRST;
  fm_start(em->em_cfi_arb);
  while (uint8_t* c = fm_rdnxt_fast(em->em_cfi_arb, 0)) {
    if (c[FDB_FS_TYPE] != FS_DISK || memcmp(c + FDB_AP, ap, 3) != 0) continue;
    uint8_t cfi[CFI_LEN];
    memcpy(cfi, c, CFI_LEN);
    memcpy(cfi + FDB_DB, db, 3);
    FDB fdb;
    if (!em_cfi_desc(em, cfi, &fdb)) return fprintf(stderr, "%s: no descriptor\n", name), false;
    if (FM_OPEN(&fdb, com.sys_scope, LFB_ANY_DIR, 15, 15)) {
      FM_CLOSE(fdb.fdb_arb, 0);
      continue;
    }
    if (!sysdir_entry(db, ap, cfi + FDB_NAME)) return fprintf(stderr, "%.8s: no SYSDIR entry\n", cfi + FDB_NAME), false;
    em_cfi_desc(em, cfi, &fdb);
    if (!FM_CREATE(&fdb, com.sys_scope, 10, LFB_ANY_DIR | LFB_OPEN_NEW, 15, 15))
      return fprintf(stderr, "%.8s: create failed (%u)\n", cfi + FDB_NAME, fdb.fdb_stat), false;
    const auto recs = g_records.find(std::string(reinterpret_cast<const char*>(cfi + FDB_NAME), 8));
    const bool ok = recs == g_records.end() || fill(fdb.fdb_arb, recs->second);
    FM_CLOSE(fdb.fdb_arb, 0);
    if (!ok) return false;
  }
  pl_free(em);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) return fprintf(stderr, "usage: input_fixture DIR DB AP VER PROCESS... [+FILE=RECORDS]...\n"), 2;
  setenv("KIVOPATH", argv[1], 1);
  setenv("KIVO_0SA_PATH", argv[1], 1);
  const char *db = argv[2], *ap = argv[3], *ver = argv[4];
  fm_register_hooks();
  interp_register_hooks();
  process_register_hooks();
  // The engine's routines of the tools and of the design, which statements may CALL.
  se_register();
  dd_init();
  if (!os_init(1, argv) || !cv_init()) return fprintf(stderr, "input_fixture: no start in %s\n", argv[1]), 1;
  uint8_t appl[kApplRecLen];
  init_dap(appl, ap, ver, "INPUT TESTS");
  uint8_t ddb[kDdbRecLen];
  memset(ddb, ' ', sizeof ddb);
  memcpy(ddb + DDB_ID, db, 3), memcpy(ddb + DDB_AP, ap, 3), memcpy(ddb + DDB_VER, ver, 2);
  if (!write_rec(INIT_DAP_FDB, appl, kApplRecLen) || !write_rec(INIT_DDB_FDB, ddb, kDdbRecLen))
    return fprintf(stderr, "input_fixture: APPL or DATABASE not written\n"), 1;
  // Conversions compile with the settings of the application in effect.
  memcpy(com.cur_db, db, 3), memcpy(com.cur_ap, ap, 3), memcpy(com.cur_ver, ver, 2);
  pi_init();
  pc_init();
  rt_init();
  sc_init();
  ii_init();
  for (int i = 5; i < argc; ++i)
    if (const char* eq = argv[i][0] == '+' ? strchr(argv[i], '=') : nullptr) {
      std::string file(argv[i] + 1, size_t(eq - argv[i] - 1));
      g_records[file.append(file.size() < 8 ? 8 - file.size() : 0, ' ')] = eq + 1;
    }
  for (int i = 5; i < argc; ++i)
    if (argv[i][0] != '+' && !create_files(db, ap, ver, argv[i])) return 1;
  return 0;
}
