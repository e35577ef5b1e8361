// Back-end switch and file-system selection (see fm_switch.h).
//
// slct_fms follows the path: memory files, executable-module files,
// structure files, design sources (0AD, 0LA), system administration (0SA),
// refused applications (0SU, 0DB), then data files. A file-system type read
// from SYSDIR that names an absent back-end fails the open with FM_NO_FMS;
// only a missing native back-end, where a rule asks for it, is a system error.
#include "fm/fm_switch.h"

#include "fm/fm.h"
#include "fm/memfile.h"
#include "fm/unix_fm.h"

#include <cstring>
#include <initializer_list>

#include "foundation/bytes.h"
#include "foundation/paths.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"

namespace kivo {

fms_backend_hooks fms_backends;
fms_select_hooks fms_select;

namespace {

constexpr int kTypes = 8;
fms_fn* g_tables[kTypes] = {};
bool g_mm_started = false;
uint8_t g_server_entry[kSysdirLen];
bool g_has_server = false;

const char kBlanks[kClassLen + 1] = "                              ";

bool blank(const uint8_t* p, size_t n) { return memcmp(p, kBlanks, n) == 0; }
bool blank(const char* p, size_t n) { return memcmp(p, kBlanks, n) == 0; }

uint16_t rec_type(const uint8_t* rec, size_t off) { return ld_le16(rec, off); }

bool stamp_unknown(const uint8_t* sysdir) { return ld_le32(sysdir, SYSDIR_STAMP) == kStampUnknown; }

// The PFB has a stamp (first word not 0) that differs from the entry's.
bool stamp_differs(const PFB* pfb, const uint8_t* sysdir) {
  if (pfb->pfb_stamp[0] == 0) return false;
  return pfb->pfb_stamp[0] != ld_le32(sysdir, SYSDIR_STAMP) || pfb->pfb_stamp[1] != ld_le32(sysdir, SYSDIR_STAMP + 4);
}

// The entry redirects to an alternate database.
bool redirects(const uint8_t* sysdir) {
  return !blank(sysdir + SYSDIR_ALT_DB, 3) && ld_le32(sysdir, SYSDIR_REDIRECT) == 0;
}

const uint8_t* get_ddb(const char* db) { return fms_select.get_ddb ? fms_select.get_ddb(db) : nullptr; }
const uint8_t* get_dap(const char* ap, const char* ver) {
  return fms_select.get_dap ? fms_select.get_dap(ap, ver) : nullptr;
}

int fail(LFB* lfb, uint32_t status) {
  lfb->lfb_stat = status;
  return 0;
}

// The selection's working state for one LFB.
struct selection {
  LFB* lfb;
  const PFB* pfb;
  const FDB_PATH& path;
  fms_records* out;

  void struct_chk() { lfb->lfb_opt |= LFB_STRUCT_CHK; }
  bool opt(uint32_t bit) const { return lfb->lfb_opt & bit; }
  bool portable() const { return path.fdb_class == PATH_PORTDATA; }

  // The SYSDFLT entry of a class (none for a blank one) into the out record.
  void take_default(const char* cls, uint16_t type) {
    out->has_sysdflt = !blank(cls, kClassLen) && get_dsysdflt(out->sysdflt, type, cls);
  }
  // The check flag of the SYSDIR entry when not blank, else of SYSDFLT.
  void check_flag(const uint8_t* sysdir) {
    uint8_t flag = sysdir ? sysdir[SYSDIR_CHECK] : ' ';
    if (flag == ' ' && out->has_sysdflt) flag = out->sysdflt[SYSDFLT_CHECK];
    if (flag == '1') struct_chk();
  }
  // A back-end the rule requires to exist.
  int native() {
    if (fms_slct(lfb, FMS_NATIVE)) return 1;
    sys_err("FMSLCT", __LINE__, "slct_fms() - fms_slct failed");
    return 0;
  }
  int backend(uint16_t type) { return fms_slct(lfb, type) ? 1 : fail(lfb, FM_NO_FMS); }
};

// Executable-module files: native; the design application's default class.
int em_rule(selection& s) {
  if (!s.native()) return 0;
  if (IS_BOB_AP(s.path.fdb_src_ap)) return 1;
  bool src = is_ap(s.path.fdb_ap, "0AD");
  const uint8_t* dap = src ? get_dap(s.path.fdb_src_ap, s.path.fdb_src_ver) : get_dap(s.path.fdb_ap, s.path.fdb_ver);
  if (!dap) return fail(s.lfb, FM_REFUSED_AP);
  s.take_default(reinterpret_cast<const char*>(dap + DAP_CLASS), FMS_NATIVE);
  return 1;
}

// Structure rule step 3: the data file's entry, redirected, and its default.
int structure_of_data(selection& s) {
  const FDB_PATH& p = s.path;
  const uint8_t* ddb = get_ddb(p.fdb_db);
  if (!ddb) return fail(s.lfb, FM_NO_DB);
  const char* db = s.opt(LFB_SCOPED) ? kBlanks : p.fdb_db;
  fms_records& o = *s.out;
  o.has_sysdir = get_dsysdir(o.sysdir, p.fdb_ap, nullptr, db, p.fdb_name);
  if (o.has_sysdir && redirects(o.sysdir)) {
    char alt[3];
    memcpy(alt, o.sysdir + SYSDIR_ALT_DB, 3);
    if (!get_ddb(alt) || !get_dsysdir(o.sysdir, p.fdb_ap, nullptr, alt, p.fdb_name)) return fail(s.lfb, FM_BAD_ALT_DB);
  }
  const char* cls = kBlanks;
  uint16_t type = FMS_NATIVE;
  if (o.has_sysdir && !blank(o.sysdir + SYSDIR_CLASS, kClassLen)) {
    cls = reinterpret_cast<const char*>(o.sysdir + SYSDIR_CLASS);
    type = rec_type(o.sysdir, SYSDIR_FS_TYPE);
  } else if (!blank(ddb + DDB_CLASS, kClassLen)) {
    cls = reinterpret_cast<const char*>(ddb + DDB_CLASS);
  }
  if (type != FMS_NATIVE && type != FMS_REMOTE) type = FMS_NATIVE;
  s.take_default(cls, type);
  return 1;
}

int structure_rule(selection& s) {
  const FDB_PATH& p = s.path;
  fms_records& o = *s.out;
  if (is_ap(p.fdb_ap, "0AD")) {
    uint8_t entry[kSysdirLen];
    bool found = get_dsysdir(entry, p.fdb_src_ap, p.fdb_src_ver, nullptr, p.fdb_name);
    uint16_t type = found && rec_type(entry, SYSDIR_FS_TYPE) == FMS_REMOTE ? FMS_REMOTE : FMS_NATIVE;
    if (const uint8_t* dap = get_dap(p.fdb_src_ap, p.fdb_src_ver))
      s.take_default(reinterpret_cast<const char*>(dap + DAP_CLASS), type);
  } else if (is_ap(p.fdb_ap, "0LA") && memcmp(p.fdb_name, "MESSAGE ", 8) == 0) {
    // no records
  } else if (fms_select.get_ddb && !blank(p.fdb_db, 3)) {
    if (!structure_of_data(s)) return 0;
  }
  bool remote = (o.has_sysdflt && rec_type(o.sysdflt, SYSDFLT_FS_TYPE) == FMS_REMOTE) ||
                (o.has_sysdir && rec_type(o.sysdir, SYSDIR_FS_TYPE) == FMS_REMOTE);
  return s.backend(remote ? FMS_REMOTE : FMS_NATIVE);
}

int design_source_rule(selection& s) {
  const FDB_PATH& p = s.path;
  fms_records& o = *s.out;
  bool src = is_ap(p.fdb_ap, "0AD");
  bool v00 = memcmp(src ? p.fdb_src_ver : p.fdb_ver, "00", 2) == 0;
  if (v00 && (!src || IS_BOB_AP(p.fdb_src_ap))) return s.native();
  const char* ap = src ? p.fdb_src_ap : p.fdb_ap;
  const char* ver = src ? p.fdb_src_ver : p.fdb_ver;
  if (!s.opt(LFB_NO_STRUCT_CHK)) {
    o.has_sysdir = get_dsysdir(o.sysdir, ap, ver, nullptr, p.fdb_name);
    if (!o.has_sysdir && !s.opt(LFB_ANY_DIR)) return fail(s.lfb, FM_NOT_IN_SYSDIR);
    if (!o.has_sysdir || stamp_unknown(o.sysdir) || stamp_differs(s.pfb, o.sysdir)) s.struct_chk();
  }
  const uint8_t* dap = get_dap(ap, ver);
  if (!dap && !s.opt(LFB_NO_STRUCT_CHK)) return fail(s.lfb, FM_REFUSED_AP);
  const char* cls = dap ? reinterpret_cast<const char*>(dap + DAP_CLASS) : kBlanks;
  if (o.has_sysdir && !blank(o.sysdir + SYSDIR_CLASS, kClassLen))
    cls = reinterpret_cast<const char*>(o.sysdir + SYSDIR_CLASS);
  uint16_t type = o.has_sysdir && !s.portable() ? rec_type(o.sysdir, SYSDIR_FS_TYPE) : uint16_t{FMS_NATIVE};
  s.take_default(cls, type);
  s.check_flag(o.has_sysdir ? o.sysdir : nullptr);
  return type == FMS_NATIVE ? s.native() : s.backend(type);
}

int sysadm_rule(selection& s) {
  if (!s.native()) return 0;
  if (memcmp(s.path.fdb_name, "SYSDIR  ", 8) == 0) return 1;
  fms_records& o = *s.out;
  o.has_sysdir = get_dsysdir(o.sysdir, "0SA", nullptr, kBlanks, s.path.fdb_name);
  if (!o.has_sysdir) {
    if (!s.opt(LFB_ANY_DIR)) return fail(s.lfb, FM_NOT_IN_SYSDIR);
    s.struct_chk();
    return 1;
  }
  bool trusted = !stamp_unknown(o.sysdir) && o.sysdir[SYSDIR_CHECK] != '1' && !stamp_differs(s.pfb, o.sysdir);
  if (!trusted) s.struct_chk();
  return 1;
}

// Data-file rule step 3: the redirection to an alternate database.
int redirect(selection& s, const uint8_t** ddb) {
  uint8_t* entry = s.out->sysdir;
  char db[3], alt[3];
  memcpy(db, entry + SYSDIR_DB, 3);
  memcpy(alt, entry + SYSDIR_ALT_DB, 3);
  uint8_t alt_entry[kSysdirLen];
  if (!get_dsysdir(alt_entry, s.path.fdb_ap, nullptr, alt, s.path.fdb_name) || redirects(alt_entry))
    return fail(s.lfb, FM_BAD_ALT_DB);
  const uint8_t* ddb_from = get_ddb(db);
  const uint8_t* ddb_to = get_ddb(alt);
  if (!ddb_from || !ddb_to || memcmp(ddb_from + DDB_CODE, ddb_to + DDB_CODE, 2) != 0) return fail(s.lfb, FM_BAD_ALT_DB);
  memcpy(entry, alt_entry, kSysdirLen);
  *ddb = ddb_to;
  return 1;
}

int data_file_rule(selection& s) {
  const FDB_PATH& p = s.path;
  fms_records& o = *s.out;
  bool scoped = s.opt(LFB_SCOPED);
  o.has_sysdir = get_dsysdir(o.sysdir, p.fdb_ap, nullptr, scoped ? kBlanks : p.fdb_db, p.fdb_name);
  if (!o.has_sysdir) {
    if (!s.opt(LFB_ANY_DIR)) return fail(s.lfb, FM_NOT_IN_SYSDIR);
    s.struct_chk();
    return s.backend(FMS_NATIVE);
  }
  if (scoped) memcpy(o.sysdir + SYSDIR_DB, p.fdb_db, 3);
  if (stamp_unknown(o.sysdir) || stamp_differs(s.pfb, o.sysdir)) s.struct_chk();
  const uint8_t* ddb = nullptr;
  bool entry_class = !blank(o.sysdir + SYSDIR_CLASS, kClassLen);
  if (!scoped) {
    if (redirects(o.sysdir)) {
      if (!redirect(s, &ddb)) return 0;
    } else {
      char db[3];
      memcpy(db, o.sysdir + SYSDIR_DB, 3);
      ddb = get_ddb(db);
      if (!ddb && !entry_class) return fail(s.lfb, FM_NO_DB);
    }
    entry_class = !blank(o.sysdir + SYSDIR_CLASS, kClassLen);
  }
  const char* cls = kBlanks;
  if (entry_class) cls = reinterpret_cast<const char*>(o.sysdir + SYSDIR_CLASS);
  else if (!scoped && ddb && !blank(ddb + DDB_CLASS, kClassLen)) cls = reinterpret_cast<const char*>(ddb + DDB_CLASS);
  uint16_t type = s.portable() ? uint16_t{FMS_NATIVE} : rec_type(o.sysdir, SYSDIR_FS_TYPE);
  s.take_default(cls, type);
  s.check_flag(o.sysdir);
  return s.backend(type);
}

// With KIVO_DATA_SERVER: the one remote entry, no default record.
int data_server_rule(selection& s) {
  memcpy(s.out->sysdir, g_server_entry, kSysdirLen);
  s.out->has_sysdir = true;
  return s.backend(FMS_REMOTE);
}

}  // namespace

fms_fn* fms_table(uint16_t type) { return type < kTypes ? g_tables[type] : nullptr; }

void fms_install(uint16_t type, fms_fn* table) {
  if (type < kTypes) g_tables[type] = table;
}

int fms_init() {
  if (!g_mm_started) {
    if (!mm_init()) return 0;
    g_mm_started = true;
  }
  mm_fms_install();
  if (!unix_fm_init()) return 0;
  for (int (*init)() : {fms_backends.remote, fm_hooks.pb_init})
    if (init && !init()) return 0;
  return 1;
}

int get_dsysdir(uint8_t* rec, const char* ap, const char* ver, const char* db, const char* name) {
  if (!fms_select.read_sysdir) return 0;
  uint8_t key[16];
  memcpy(key + SYSDIR_DB, db ? db : kBlanks, 3);
  memcpy(key + SYSDIR_AP, ap, 3);
  memcpy(key + SYSDIR_VER, db ? kBlanks : ver, 2);
  memcpy(key + SYSDIR_NAME, name, 8);
  return fms_select.read_sysdir(key, rec);
}

int get_dsysdflt(uint8_t* rec, uint16_t type, const char* cls) {
  if (!fms_select.read_sysdflt) return 0;
  uint8_t key[SYSDFLT_CHECK];
  memcpy(key + SYSDFLT_CLASS, cls, kClassLen);
  st_le16(key, SYSDFLT_FS_TYPE, type);
  return fms_select.read_sysdflt(key, rec);
}

bool is_ap(const char* a, const char* b) { return memcmp(a, b, 3) == 0; }

int fms_set_data_server(const char* value) {
  g_has_server = false;
  if (!value || !*value) return 1;
  size_t n = strlen(value);
  if (n > kSysDirFieldLen) {
    sys_err("FMSLCT", __LINE__, "KIVO_DATA_SERVER is %zu characters, over the %zu of a server address", n,
            kSysDirFieldLen);
    return 0;
  }
  memset(g_server_entry, ' ', kSysdirLen);
  st_le32(g_server_entry, SYSDIR_REDIRECT, 0);
  st_le16(g_server_entry, SYSDIR_FS_TYPE, FMS_REMOTE);
  memcpy(g_server_entry + SYSDIR_DIR, value, n);
  g_server_entry[SYSDIR_CHECK] = '0';
  st_le32(g_server_entry, SYSDIR_STAMP, 0);
  st_le32(g_server_entry, SYSDIR_STAMP + 4, 0);
  g_has_server = true;
  return 1;
}

const uint8_t* fms_data_server_entry() { return g_has_server ? g_server_entry : nullptr; }

int fms_slct(LFB* lfb, uint16_t type) {
  PFB* pfb = lfb->lfb_pfb;
  if (pfb->TYPE == 0) return fail(lfb, FM_NO_FMS);
  uint16_t code = FMS_NATIVE;
  if (pfb->TYPE == FS_MEMORY) code = FMS_MEMORY;
  else if (type == FMS_DISK4 || type == FMS_DISK5 || type == FMS_REMOTE) code = type;
  fms_fn* table = fms_table(code);
  if (!table) return fail(lfb, FM_NO_FMS);
  table->pfb_fms_fn_type = code;
  pfb->pfb_fms = table;
  return 1;
}

int slct_fms(LFB* lfb, fms_records* out) {
  out->has_sysdir = out->has_sysdflt = false;
  const FDB_PATH& p = lfb->lfb_lfn->lfn_path;
  selection s{lfb, lfb->lfb_pfb, p, out};
  if (lfb->lfb_pfb->TYPE == FS_MEMORY) return fms_slct(lfb, FMS_MEMORY);
  if (p.fdb_class == PATH_EM || p.fdb_class == PATH_DBG) return em_rule(s);
  if (p.fdb_class == PATH_STRUCT) return g_has_server ? data_server_rule(s) : structure_rule(s);
  if (is_ap(p.fdb_ap, "0AD") || is_ap(p.fdb_ap, "0LA"))
    return g_has_server ? data_server_rule(s) : design_source_rule(s);
  if (is_ap(p.fdb_ap, "0SA")) return g_has_server ? data_server_rule(s) : sysadm_rule(s);
  if (is_ap(p.fdb_ap, "0SU") || is_ap(p.fdb_ap, "0DB")) return fail(lfb, FM_REFUSED_AP);
  return g_has_server ? data_server_rule(s) : data_file_rule(s);
}

int fms_commit(int phase) {
  int ok = 1;
  for (uint16_t type : {FMS_DISK4, FMS_DISK5, FMS_NATIVE}) {
    fms_fn* t = fms_table(type);
    if (t && t->transact && !t->transact(1, phase, 0)) ok = 0;
  }
  return ok;
}

int fms_release_all() {
  for (uint16_t type : {FMS_DISK4, FMS_DISK5}) {
    fms_fn* t = fms_table(type);
    if (t && t->release) t->release(nullptr, nullptr);
  }
  fms_fn* native = fms_table(FMS_NATIVE);
  return native && native->release ? native->release(nullptr, nullptr) : 1;
}

}  // namespace kivo
