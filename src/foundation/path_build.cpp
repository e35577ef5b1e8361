// The data directory, the path initialisers, and the operating-system path
// of a file descriptor.
//
// ss_bld_path rules, first match wins:
//  1-2. a SYSDIR, else SYSDFLT, directory holding "$" is a template: its
//       expansion is the whole path;
//  3.   base = SYSDIR directory, else SYSDFLT directory, else the root;
//  4.   session files: root/Sess/name;
//  5.   0DN: root/kind/<pid hex><name>;
//  6.   0SA: (KIVO_0SA_PATH or root)/0SA/kind/name;
//  7.   temporary files: base/ap/Tmpdata/<name, blanks as 0><suffix>;
//  8.   0LA: root/ver/0LA/kind/name;
//  9.   data files: base/db/ap/kind/name;
//  10.  0AD: (EM= base for modules and debug files, else base)
//       /src_ver/src_ap/kind/[db/]name.
// Descriptor fields lose their blanks; configured directories keep theirs
// (only trailing blanks of the fixed 256-character fields go).
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/os.h"
#include "foundation/paths.h"
#include "foundation/paths_internal.h"
#include "foundation/text.h"

namespace kivo {

namespace {

std::string g_image;
std::string g_data_dir;

const char* const kKinds[kPathKinds + 1] = {"", "Data", "Struct", "Em", "Dbg", "Portdata", "Print", "Sess", "Newdata"};

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The program's own path: as given when it holds "/", else the first
// directory of PATH that has it (the last one tried when none has).
std::string program_path(const char* argv0) {
  if (!argv0 || !*argv0) {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("kivo");
  }
  if (strchr(argv0, '/')) return argv0;
  const char* path = getenv("PATH");
  std::string last = std::string(".") + "/" + argv0;
  if (!path) return last;
  std::string dirs(path);
  size_t start = 0;
  for (;;) {
    size_t colon = dirs.find(':', start);
    std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    last = (dir.empty() ? std::string(".") : dir) + "/" + argv0;
    if (exists(last)) return last;
    if (colon == std::string::npos) return last;
    start = colon + 1;
  }
}

// A fixed blank-padded field without its trailing blanks (and NULs).
std::string fixed_text(const uint8_t* p, size_t n) {
  const char* s = reinterpret_cast<const char*>(p);
  return std::string(s, ut_buflen(s, strnlen(s, n)));
}

bool blank(const std::string& s) { return s.find_first_not_of(' ') == std::string::npos; }

// Builds a path and notes when it no longer fits.
struct path_text {
  std::string s;
  void add(const std::string& t) { s += t; }
  void add(const char* t) { s += t; }
  // A descriptor field: blank-padded, so its blanks go.
  void field(const char* p, size_t n) {
    for (size_t i = 0; i < n && p[i]; ++i)
      if (p[i] != ' ') s += p[i];
  }
};

void put_fixed(char* dst, size_t width, const char* src) {
  size_t n = src ? strnlen(src, width) : 0;
  memcpy(dst, src, n);
  memset(dst + n, ' ', width - n);
}

}  // namespace

const char* path_kind_name(unsigned kind) { return kind <= kPathKinds ? kKinds[kind] : ""; }

int ss_bob_path(const char* argv0, cstr* root, cstr* data_dir, cstr* other) {
  g_image = program_path(argv0);
  if (const char* kp = getenv("KIVOPATH")) {
    g_data_dir = kp;
  } else {
    size_t slash = g_image.rfind('/');
    g_data_dir = (slash == std::string::npos ? std::string(".") : g_image.substr(0, slash)) + "/data";
  }
  if (g_data_dir.size() > UINT16_MAX) g_data_dir.resize(UINT16_MAX);
  if (root) *root = cstr{0, nullptr};
  if (other) *other = cstr{0, nullptr};
  if (data_dir) *data_dir = cstr{static_cast<uint16_t>(g_data_dir.size()), g_data_dir.data()};
  return 1;
}

const char* ss_image_name() { return g_image.c_str(); }

namespace {

// What the fixed-layout rules of ss_bld_path read.
struct bld_in {
  const FDB_PATH* fdb;
  const cstr* root;
  const uint8_t* sysdir;
  const uint8_t* sysdflt;
  std::string root_s;
  std::string base;  // rule 3
  const char* kind;
  bool ap_is(const char* id) const { return memcmp(fdb->fdb_ap, id, 3) == 0; }
};

// 7. Temporary files. False (status set) when no name can be made.
bool tmp_path(const bld_in& in, path_text& p, int& st) {
  const FDB_PATH* fdb = in.fdb;
  char suffix[9];
  if (!ss_tmp_suffix(suffix, fdb->fdb_tmp_id, static_cast<uint32_t>(getpid()))) {
    st = PATH_BAD_TMP_NAME;
    record_path_error("temporary file name cannot be made");
    return false;
  }
  p.add(in.base + "/");
  p.field(fdb->fdb_ap, 3);
  p.add("/Tmpdata/");
  for (size_t i = 0; i < 8; ++i) p.s += fdb->fdb_name[i] == ' ' || fdb->fdb_name[i] == '\0' ? '0' : fdb->fdb_name[i];
  p.add(suffix);
  return true;
}

// 9. Data files: base/db/ap/kind/name, the database of SYSDIR when it names one.
void data_path(const bld_in& in, path_text& p) {
  const FDB_PATH* fdb = in.fdb;
  p.add(in.base + "/");
  const bool own_db = in.sysdir && in.sysdir[SYSDIR_DB] != '\0' && in.sysdir[SYSDIR_DB] != ' ';
  p.field(own_db ? reinterpret_cast<const char*>(in.sysdir) + SYSDIR_DB : fdb->fdb_db, 3);
  p.add("/");
  p.field(fdb->fdb_ap, 3);
  p.add("/");
  p.add(in.kind);
  p.add("/");
  p.field(fdb->fdb_name, 8);
}

// The EM= option of SYSDFLT for modules and debug files, expanded; else the
// base. False (status set) when the expansion fails.
bool design_base(const bld_in& in, std::string* out, int& st) {
  *out = in.base;
  const FDB_PATH* fdb = in.fdb;
  if ((fdb->fdb_class != PATH_EM && fdb->fdb_class != PATH_DBG) || !in.sysdflt) return true;
  const std::string opts = fixed_text(in.sysdflt + SYSDFLT_OPTIONS, kSysDirFieldLen);
  size_t at = opts.find("EM=");
  if (blank(opts) || at == std::string::npos) return true;
  std::string value =
      opts.substr(at + 3, opts.find(';', at) == std::string::npos ? std::string::npos : opts.find(';', at) - at - 3);
  if (value.find('$') != std::string::npos) {
    char expanded[kPathMax];
    if (!expand_env_status(expanded, value.c_str(), value.size(), fdb, in.root, &st)) return false;
    value = expanded;
  }
  *out = value;
  return true;
}

// 10. Design files (0AD).
bool design_path(const bld_in& in, path_text& p, int& st) {
  const FDB_PATH* fdb = in.fdb;
  std::string em_base;
  if (!design_base(in, &em_base, st)) return false;
  p.add(em_base + "/");
  p.field(fdb->fdb_src_ver, 2);
  p.add("/");
  p.field(fdb->fdb_src_ap, 3);
  p.add("/");
  p.add(in.kind);
  p.add("/");
  if (!blank(std::string(fdb->fdb_db, strnlen(fdb->fdb_db, 3)))) {
    p.field(fdb->fdb_db, 3);
    p.add("/");
  }
  p.field(fdb->fdb_name, 8);
  return true;
}

// Rules 4-10. False (status set) on failure.
bool fixed_layout(const bld_in& in, path_text& p, int& st) {
  const FDB_PATH* fdb = in.fdb;
  if (fdb->fdb_class == PATH_SESS) {
    p.add(in.root_s);
    p.add("/Sess/");
    p.field(fdb->fdb_name, 8);
  } else if (in.ap_is("0DN")) {
    char pid[16];
    snprintf(pid, sizeof pid, "%X", static_cast<unsigned>(getpid()));
    p.add(in.root_s + "/" + in.kind + "/" + pid);
    p.field(fdb->fdb_name, 8);
  } else if (in.ap_is("0SA")) {
    const cstr& sa = ss_0sa_path();
    p.add(sa.len ? std::string(sa.ptr, sa.len) : in.root_s);
    p.add("/0SA/");
    p.add(in.kind);
    p.add("/");
    p.field(fdb->fdb_name, 8);
  } else if (fdb->fdb_tmp_id != 0) {
    return tmp_path(in, p, st);
  } else if (in.ap_is("0LA")) {
    p.add(in.root_s + "/");
    p.field(fdb->fdb_ver, 2);
    p.add("/0LA/");
    p.add(in.kind);
    p.add("/");
    p.field(fdb->fdb_name, 8);
  } else if (!in.ap_is("0AD")) {
    data_path(in, p);
  } else {
    return design_path(in, p, st);
  }
  return true;
}

}  // namespace

const cstr* ss_bld_path(const FDB_PATH* fdb, int, const cstr* root, const uint8_t* sysdir, const uint8_t* sysdflt,
                        int* status) {
  static char buf[kPathMax];
  static cstr result;
  int st_local = PATH_OK;
  int& st = status ? *status : st_local;
  st = PATH_OK;

  const std::string dir = sysdir ? fixed_text(sysdir + SYSDIR_DIR, kSysDirFieldLen) : "";
  const std::string dflt = sysdflt ? fixed_text(sysdflt + SYSDFLT_DIR, kSysDirFieldLen) : "";
  const std::string root_s = root && root->ptr ? std::string(root->ptr, strnlen(root->ptr, root->len)) : "";

  auto finish_template = [&](const std::string& tmpl) -> const cstr* {
    if (!expand_env_status(buf, tmpl.c_str(), tmpl.size(), fdb, root, &st)) return nullptr;
    result = cstr{static_cast<uint16_t>(strlen(buf) + 1), buf};
    return &result;
  };
  if (dir.find('$') != std::string::npos) return finish_template(dir);
  if (dflt.find('$') != std::string::npos) return finish_template(dflt);

  const bld_in in{fdb,
                  root,
                  sysdir,
                  sysdflt,
                  root_s,
                  !blank(dir) ? dir : !blank(dflt) ? dflt : root_s,
                  path_kind_name(fdb->fdb_class)};
  path_text p;
  if (!fixed_layout(in, p, st)) return nullptr;
  if (p.s.size() + 1 > kPathMax) {
    st = PATH_TOO_LONG;
    record_path_error("FMS path longer than 255 characters");
    return nullptr;
  }
  memcpy(buf, p.s.c_str(), p.s.size() + 1);
  result = cstr{static_cast<uint16_t>(p.s.size() + 1), buf};
  return &result;
}

void INIT_SA_PATH(FDB_PATH* fdb, const char* name, uint8_t kind) {
  memcpy(fdb->fdb_ap, "0SA", 3);
  memcpy(fdb->fdb_ver, "00", 2);
  put_fixed(fdb->fdb_name, 8, name);
  memset(fdb->fdb_db, ' ', 3);
  fdb->fdb_class = kind;
}

void INIT_SRC_PATH(FDB_PATH* fdb, const char* ap, const char* ver, const char* name, uint8_t kind) {
  memcpy(fdb->fdb_ap, "0AD", 3);
  memcpy(fdb->fdb_ver, "00", 2);
  put_fixed(fdb->fdb_name, 8, name);
  memset(fdb->fdb_db, ' ', 3);
  put_fixed(fdb->fdb_src_ap, 3, ap);
  put_fixed(fdb->fdb_src_ver, 2, ver);
  fdb->fdb_class = kind;
}

void INIT_LA_PATH(FDB_PATH* fdb, const char* lang, const char* name, uint8_t kind) {
  memcpy(fdb->fdb_ap, "0LA", 3);
  put_fixed(fdb->fdb_ver, 2, lang);
  put_fixed(fdb->fdb_name, 8, name);
  memset(fdb->fdb_db, ' ', 3);
  fdb->fdb_class = kind;
}

void INIT_DB_PATH(FDB_PATH* fdb, const char* db, const char* ap, const char* ver, const char* name, uint8_t kind) {
  put_fixed(fdb->fdb_ap, 3, ap);
  put_fixed(fdb->fdb_ver, 2, ver);
  put_fixed(fdb->fdb_name, 8, name);
  put_fixed(fdb->fdb_db, 3, db);
  fdb->fdb_class = kind;
}

void INIT_TMP_PATH(FDB_PATH* fdb, const char* ap, const char* ver, const char* name, uint32_t tmp_id) {
  put_fixed(fdb->fdb_ap, 3, ap);
  put_fixed(fdb->fdb_ver, 2, ver);
  put_fixed(fdb->fdb_name, 8, name);
  fdb->fdb_tmp_id = tmp_id;
}

void INIT_UNIQUE_PATH(FDB_PATH* fdb, const char* tag1, const char* tag2, uint8_t kind) {
  fdb->fdb_ap[0] = ' ';
  put_fixed(fdb->fdb_ap + 1, 2, tag1);
  memcpy(fdb->fdb_ver, "00", 2);
  memset(fdb->fdb_name, ' ', 8);
  fdb->fdb_db[0] = ' ';
  put_fixed(fdb->fdb_db + 1, 2, tag2);
  fdb->fdb_class = kind;
}

}  // namespace kivo
