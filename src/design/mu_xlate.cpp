// "MU_INIT" and "MU_XLATE": the work area of the runs, and one file carried
// between its native and its portable form, record by record.
//
// Invariants: a portable record is written only when every field converted;
// in replace mode the native file is built under a temporary name and put
// in place only after the last portable record was read and written.
#include "design/mu_xlate.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "design/dd.h"
#include "design/dd_msg.h"
#include "design/design_builder.h"
#include "design/mu_internal.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "foundation/trace.h"

namespace kivo {

namespace {

POOL* g_pool = nullptr;

void INIT_MSK_FDB(FDB* fdb, KDB* kdb, SDB* sdb) {
  init_sdb_func(sdb, 1, MSK_KEY, 2, SDB_UBINARY, '+');
  INIT_KDB(kdb, 0, '+', 0, sdb, 1);
  INIT_FDB(fdb, FS_MEMORY, kMskSize, 0, kdb, 1);
  INIT_SRC_PATH(&fdb->path, " MU", "00", "MSK", PATH_DATA);
}

}  // namespace

POOL* mu_pool() { return g_pool; }

void mu_forget() { g_pool = nullptr, mu_msk_arb = nullptr; }

int mu_init() {
  if (!g_pool) g_pool = mm_create_pool(" TRAN_POOL ", com.sys_scope);
  if (mu_msk_arb) return 1;
  FDB fdb;
  KDB kdb[1];
  SDB sdb[1];
  INIT_MSK_FDB(&fdb, kdb, sdb);
  if (!FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f))
    return checkstat(fdb.fdb_stat, "Bad MSK file create ", "MU", __LINE__), 0;
  mu_msk_arb = fdb.fdb_arb;
  return 1;
}

}  // namespace kivo

namespace kivo {

namespace {

const char* kModule = "MU";

// The file's MESSAGE1 record: its findings start afresh.
int start_messages(mu_run* r) {
  const FDB_PATH& p = r->path;
  const bool design = is_ap(p, "0AD");
  const char* ap = design ? p.fdb_src_ap : p.fdb_ap;
  const char* ver = design ? p.fdb_src_ver : p.fdb_ver;
  if (!msg1_start(r->msg1, r->msg2, ap, ver, p.fdb_name))
    return checkstat(r->msg1->arb_stat, "Bad MESSAGE write ", kModule, __LINE__), 0;
  uint8_t m1[kMsg1Size] = {};
  memcpy(m1 + M1_AP, ap, 3), memcpy(m1 + M1_VER, ver, 2), memcpy(m1 + M1_FILE, p.fdb_name, 8);
  if (!dd_read(r->msg1, 0, m1, kMsg1Size, true))
    return checkstat(r->msg1->arb_stat, "Bad MESSAGE write ", kModule, __LINE__), 0;
  memcpy(m1 + M1_DB, p.fdb_db, 3);
  if (!dd_rewrite(r->msg1, m1, kMsg1Size))
    return checkstat(r->msg1->arb_stat, "Bad MESSAGE write ", kModule, __LINE__), 0;
  return 1;
}

bool named(const FDB_PATH& p, const char* name) { return memcmp(p.fdb_name, name, 8) == 0; }

// The map of the run: the static ones of the statement, element and FILE
// design files, else one from the file's structure. 0 when none.
int choose_map(mu_run* r, ARB** tme_arb) {
  *tme_arb = nullptr;
  if (named(r->path, "STMT    ")) {
    r->map = stmt_map();
    return stmt_map_msk();
  }
  if (is_ap(r->path, "0AD") && named(r->path, "ELEMENT ")) return r->map = element_map(), 1;
  if (is_ap(r->path, "0AD") && named(r->path, "FILE    ")) return r->map = file_map(), 1;
  // A replace that brought its structure along reads the new one.
  *tme_arb = fill_tme_fi(r->struct_made ? r->tmp : r->path, r->msg1, r->msg2, &r->map);
  return *tme_arb != nullptr;
}

bool header_ok(const char* h) {
  if ((h[0] != '0' && h[0] != '1') || h[17] != '+') return false;
  for (int i = 11; i < 17; ++i)
    if (h[i] < '0' || h[i] > '9') return false;
  return true;
}

// The file's primary key when it is unique, else null: records are then
// told apart by it. A native file's index holds each value of its primary
// key once whatever the key's flag says (a key with duplicates is told
// apart by the primary key's bytes behind it; the primary key has none
// behind it), so only a memory file's may repeat.
const KDB* unique_key(const mu_run* r) {
  const FDB& f = r->nat_fdb;
  if (!f.fdb_nkeys || !f.fdb_kdb) return nullptr;
  if ((f.fdb_kdb[0].kdb_flags & KDB_DUP) && f.fdb_fs_type == FS_MEMORY) return nullptr;
  return &f.fdb_kdb[0];
}

std::string key_bytes(const KDB* k, const uint8_t* rec) {
  std::string key;
  for (int i = 0; i < k->kdb_nsegs; ++i)
    key.append(reinterpret_cast<const char*>(rec + k->kdb_sdb[i].sdb_offset), k->kdb_sdb[i].sdb_len);
  return key;
}

// The stored record of the converted record's primary key: 0 none, 1 there
// with the same bytes, 2 there with others, -1 when it cannot be read.
int stored(mu_run* r, uint16_t rec_len) {
  ARB* a = r->native;
  std::vector<uint8_t> old(r->nat_buf.begin(), r->nat_buf.begin() + rec_len);
  PROTO_FULL(a, 0, old.data());
  a->arb_len = rec_len, a->arb_mod = ARB_EQUAL;
  const int found = fm_read(a);
  a->arb_mod = 0;
  if (!found) return a->arb_stat == FM_NOT_FOUND ? 0 : -1;
  const size_t len = std::min<size_t>(a->arb_var_len ? a->arb_var_len : rec_len, rec_len);
  return memcmp(old.data(), r->nat_buf.data(), len) == 0 ? 1 : 2;
}

// Writes the converted record; mode 1 rewrites the record of its key, mode
// 0 passes over one there with the same bytes. 0 when the run must stop.
int put_native(mu_run* r, uint16_t rec_len) {
  ARB* a = r->native;
  a->arb_rec = r->nat_buf.data(), a->arb_len = rec_len, a->arb_var_len = r->nat_fdb.fdb_var ? 0 : rec_len;
  a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = 0;
  if (fm_write(a)) return ++mu_report().added, 1;
  const uint32_t st = a->arb_stat;
  if (r->req[MU_MODE] == MU_ADD_STOP) {
    const int there = st == FM_DUP_KEY && unique_key(r) ? stored(r, rec_len) : -1;
    if (there == 1) return ++mu_report().present, 1;
    mu_stop(r, there == 2 ? "a record of its key is there already with other values"
                          : "it cannot be added: " + status_words(st));
    return db_err(st, r->path, r->msg1, r->msg2), 0;
  }
  if (r->req[MU_MODE] == MU_ADD_REWRITE && r->nat_fdb.fdb_nkeys) {
    std::vector<uint8_t> old(r->nat_buf.begin(), r->nat_buf.begin() + rec_len);
    PROTO_FULL(a, 0, old.data());
    a->arb_len = rec_len, a->arb_mod = ARB_EQUAL | ARB_HOLD;
    const int held = fm_read(a);
    a->arb_mod = 0;
    a->arb_rec = r->nat_buf.data(), a->arb_var_len = r->nat_fdb.fdb_var ? 0 : rec_len;
    if (held && fm_rewrite(a)) return 1;
  }
  mu_trace("Portable record contains:\n%.79s\n%.79s", r->port_buf.data(),
           r->port_buf.size() > 79 ? r->port_buf.data() + 79 : "");
  mu_stop(r, "it cannot be written: " + status_words(a->arb_stat));
  checkstat(a->arb_stat, "main() - Cannot write NATIVE file\n", kModule, __LINE__);
  return 0;
}

// Reads the portable file from its first data record: the header again and
// the structure section passed over. 1, or 0 after a failure.
int to_first_record(mu_run* r) {
  if (r->port) FM_CLOSE(r->port, 0), r->port = nullptr;
  if (open_port_fi(r) <= 0) return 0;
  r->port_rec = 0;
  char hdr[kPortHdrSize + 1];
  if (rdnxt_port_fi(r, hdr, kPortHdrSize) != 1) return 0;
  return r->req[MU_STRUCT] != '1' || read_port_struct(r);
}

// The first reading of an add: every record converts and, in mode 0 with a
// unique primary key, can be added (no earlier record has its key; one
// there holds the same bytes). 0 with the record it stopped at.
int check_records(mu_run* r, uint16_t rec_len) {
  const KDB* key = r->req[MU_MODE] == MU_ADD_STOP ? unique_key(r) : nullptr;
  std::set<std::string> seen;
  for (;;) {
    const int got = rdnxt_port_fi(r, r->port_buf.data(), r->port_len);
    if (got == 0) return 1;
    if (got < 0) return 0;
    if (!map_to_native(r->map, r->nat_buf.data(), rec_len, r->port_buf.data()))
      return mu_stop(r, std::string("it does not convert: ") + ut_dbg), 0;
    if (!key) continue;
    if (!seen.insert(key_bytes(key, r->nat_buf.data())).second)
      return mu_stop(r, "its key is that of an earlier record"), db_err(FM_DUP_KEY, r->path, r->msg1, r->msg2), 0;
    const int there = stored(r, rec_len);
    if (there < 0) return mu_stop(r, "the record of its key cannot be read: " + status_words(r->native->arb_stat)), 0;
    if (there == 2)
      return mu_stop(r, "a record of its key is there already with other values"),
             db_err(FM_DUP_KEY, r->path, r->msg1, r->msg2), 0;
  }
}

// Portable to native; the result of the run.
int to_native(mu_run* r, ARB** tme_arb) {
  const int opened = open_port_fi(r);
  if (opened <= 0) return opened < 0 ? 1 : 0;
  char hdr[kPortHdrSize + 1];
  const int got = rdnxt_port_fi(r, hdr, kPortHdrSize);
  if (got == 1 && !header_ok(hdr)) {
    mu_stop(r, "the header is not \"<0 or 1> <file name> <record length, 6 digits>+\"");
    return sys_err(kModule, __LINE__, "Bad PORT HEADER \"%.18s\"", hdr), 0;
  }
  if (got != 1) return checkstat(r->port->arb_stat, "Bad PORT HEADER read ", kModule, __LINE__), 0;
  r->req[MU_STRUCT] = static_cast<uint8_t>(hdr[0]);
  r->port_len = static_cast<uint16_t>(atoi(std::string(hdr + 11, 6).c_str()));
  const bool replace = r->req[MU_MODE] == MU_REPLACE;
  if (replace) {
    if (!replace_native_fi(r)) return 0;
  } else {
    if (r->req[MU_STRUCT] == '1' && !read_port_struct(r)) return 0;
    if (!open_native_fi(r, true)) return db_err(r->nat_fdb.fdb_stat, r->path, r->msg1, r->msg2), 1;
  }
  if (!choose_map(r, tme_arb)) return 1;
  const uint16_t rec_len = replace ? r->tmp_fdb.fdb_rec_len : r->nat_fdb.fdb_rec_len;
  r->nat_fdb.fdb_var = replace ? r->tmp_fdb.fdb_var : r->nat_fdb.fdb_var;
  if (!r->port_len || !r->map.port_len) {
    sys_err(kModule, __LINE__, "Zero record len - PORT file");
    return db_err(FM_REC_LEN_DIFF, r->path, r->msg1, r->msg2), 0;
  }
  // A file written by another structure would be read at other positions.
  if (r->port_len != r->map.port_len) {
    mu_stop(r, "the header's record length " + std::to_string(r->port_len) + " is not the file's " +
                   std::to_string(r->map.port_len));
    return db_err(FM_REC_LEN_DIFF, r->path, r->msg1, r->msg2), 0;
  }
  r->port_buf.assign(r->port_len + 1u, ' ');
  std::fill(r->nat_buf.begin(), r->nat_buf.end(), 0);
  if (!replace && (!check_records(r, rec_len) || !to_first_record(r))) return 0;
  std::fill(r->nat_buf.begin(), r->nat_buf.end(), 0);
  for (;;) {
    const int n = rdnxt_port_fi(r, r->port_buf.data(), r->port_len);
    if (n == 0) break;
    if (n < 0) return 0;
    if (!map_to_native(r->map, r->nat_buf.data(), rec_len, r->port_buf.data()))
      return mu_stop(r, std::string("it does not convert: ") + ut_dbg), 0;
    if (!put_native(r, rec_len)) return 0;
  }
  return replace ? finish_native_fi(r, true) : 1;
}

// Native to portable; the result of the run.
int to_port(mu_run* r, ARB** tme_arb) {
  if (!open_native_fi(r, false)) return db_err(r->nat_fdb.fdb_stat, r->path, r->msg1, r->msg2), 1;
  if (!replace_port_fi(r)) return 0;
  if (!choose_map(r, tme_arb)) return 1;
  char hdr[kPortHdrSize + 1];
  const char flag = r->req[MU_STRUCT] == '1' ? '1' : '0';
  snprintf(hdr, sizeof hdr, "%c %.8s %06u+", flag, r->path.fdb_name, static_cast<unsigned>(r->map.port_len));
  if (!write_port_rec(r, hdr, kPortHdrSize))
    return checkstat(r->port->arb_stat, "Bad PORT HEADER write ", kModule, __LINE__), 0;
  if (flag == '1' && !bld_port_struct(r)) return 0;
  r->port_buf.assign(r->map.port_len + 1u, ' ');
  for (;;) {
    const int n = rdnxt_native_fi(r);
    if (n == 0) break;
    if (n < 0) return n == -1 ? 1 : 0;
    if (!map_to_port(r->map, r->nat_buf.data(), static_cast<size_t>(n), r->port_buf.data())) return 0;
    if (!write_port_rec(r, r->port_buf.data(), r->map.port_len)) return 0;
    if (r->nat_fdb.fdb_var) std::fill(r->nat_buf.begin(), r->nat_buf.end(), ' ');
  }
  return 1;
}

}  // namespace

mu_load_report& mu_report() {
  static mu_load_report report;
  return report;
}

const mu_load_report& mu_last_load() { return mu_report(); }

void mu_stop(mu_run* r, const std::string& why) {
  mu_load_report& m = mu_report();
  if (m.stop_rec) return;  // the first word on it stands
  m.stop_rec = r->port_rec;
  m.why = why;
}

int mu_xlate(void*, uint8_t* request, ARB* msg1, ARB* msg2) {
  mu_report() = mu_load_report{};
  if (!mu_msk_arb) return checkstat(0, "Bad MSK file open", kModule, __LINE__), 0;
  mu_run r;
  r.req = request;
  uint8_t stored[kFdbStoredSize] = {};
  memcpy(stored, request + MU_PATH, kMuPathSize);
  fdb_path_load(stored, &r.path);
  r.msg1 = msg1, r.msg2 = msg2;
  r.nat_buf.assign(kNativeBufSize, 0);
  if (!start_messages(&r)) return 0;
  ARB* tme_arb = nullptr;
  const int result = request[MU_DIR] == MU_TO_NATIVE ? to_native(&r, &tme_arb) : to_port(&r, &tme_arb);
  if (r.port) FM_CLOSE(r.port, 0);
  finish_native_fi(&r, false);
  close_tme_fi(tme_arb);
  msk_clear();
  return result;
}

}  // namespace kivo
