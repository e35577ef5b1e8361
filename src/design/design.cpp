// The design build's entries: the bootstrap and the data dictionary's
// start-up, which adds its routines to the built-in table.
#include "design/design.h"

#include <cstring>
#include <string>

#include "design/bs_boot.h"
#include "design/bs_guard.h"
#include "design/db_restruct.h"
#include "design/db_vfy.h"
#include "design/dd.h"
#include "design/dd_msg.h"
#include "design/mu_xlate.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/paths.h"
#include "interp/rt_fns.h"

namespace kivo {

signed char bs_bootstrap() { return bs_run(); }

void bs_bootstrap_prepare(const char* argv0) {
  cstr root{}, data_dir{}, other{};
  ss_bob_path(argv0, &root, &data_dir, &other);
  bs_finish_unfinished(std::string(data_dir.ptr ? data_dir.ptr : "", data_dir.ptr ? data_dir.len : 0));
}

namespace {

// "DD_CMPL": the 13-byte request, then the handles of the open MESSAGE1 and
// MESSAGE2 files; the call's argument count goes first, so a process's call
// prints nothing.
int dd_cmpl_row(RT_CALL& call) {
  const rt_arg& req = call.args[0];
  if (!req.addr || req.len < 13 || call.args[1].kind != 2 || call.args[2].kind != 2) return 0;
  return dd_cmpl(call.argc, req.addr, reinterpret_cast<ARB*>(call.args[1].addr),
                 reinterpret_cast<ARB*>(call.args[2].addr));
}

// The message files of the design routines: arguments 2 and 3, open
// file handles.
bool msg_files(const RT_CALL& call, ARB** m1, ARB** m2) {
  if (call.args[1].kind != 2 || call.args[2].kind != 2 || !call.args[1].addr || !call.args[2].addr) return false;
  *m1 = reinterpret_cast<ARB*>(call.args[1].addr);
  *m2 = reinterpret_cast<ARB*>(call.args[2].addr);
  return true;
}

// A request that begins with a file's 28-byte path.
constexpr size_t kPathReq = 28;
bool path_req(const RT_CALL& call, size_t len, FDB_PATH* p) {
  const rt_arg& req = call.args[0];
  if (!req.addr || req.len < len) return false;
  fdb_path_load(req.addr, p);
  return true;
}

// "DB_RESTRUCT": the file's path, then the message files. The result goes
// to the message files; the routine itself succeeds. The run files only
// its failures, so the verdicts that are none (class 0) are filed here: a
// process that calls the routine learns which it was.
int db_restruct_row(RT_CALL& call) {
  FDB_PATH p;
  ARB *m1, *m2;
  if (!path_req(call, kPathReq, &p) || !msg_files(call, &m1, &m2)) return 0;
  const uint32_t r = db_restruct(call.pcb, p, m1, m2);
  if (r == RS_SAME || r == RS_COMPATIBLE || r == RS_CONVERTED) db_err(r, p, m1, m2);
  return 1;
}

// "DB_VFY": the path, then the check-lookups and check-blanks characters;
// a run that warned or failed is filed under the file.
int db_vfy_row(RT_CALL& call) {
  FDB_PATH p;
  ARB *m1, *m2;
  if (!path_req(call, kPathReq + 2, &p) || !msg_files(call, &m1, &m2)) return 0;
  const char lookups = static_cast<char>(call.args[0].addr[kPathReq]);
  const char blanks = static_cast<char>(call.args[0].addr[kPathReq + 1]);
  const bool design = memcmp(p.fdb_ap, "0AD", 3) == 0;
  if (!msg1_start(m1, m2, design ? p.fdb_src_ap : p.fdb_ap, design ? p.fdb_src_ver : p.fdb_ver, p.fdb_name)) return 0;
  const uint32_t r = db_vfy(call.pcb, p, lookups, blanks);
  if (r) db_err(r, p, m1, m2);
  return 1;
}

int mu_init_row(RT_CALL&) { return mu_init(); }

int mu_xlate_row(RT_CALL& call) {
  ARB *m1, *m2;
  if (!call.args[0].addr || call.args[0].len < kMuReqSize || !msg_files(call, &m1, &m2)) return 0;
  return mu_xlate(nullptr, call.args[0].addr, m1, m2);
}

}  // namespace

void dd_init() {
  dd = dd_state{};
  static bool added = false;
  if (added) return;
  added = rt_add_fn({"DD_CMPL", dd_cmpl_row, 3, 0}) == 1;
  rt_add_fn({"DB_RESTRUCT", db_restruct_row, 3, 0});
  rt_add_fn({"DB_VFY", db_vfy_row, 3, 0});
  rt_add_fn({"MU_INIT", mu_init_row, 3, 0});
  rt_add_fn({"MU_XLATE", mu_xlate_row, 3, 0});
}

}  // namespace kivo
