// The shipped applications' records (install_apps.h): a line reader, the
// four system-administration records, and the empty data file built from
// its design records the way the process compiler describes it.
#include "install_apps.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "compiler/design_records.h"
#include "design/design_builder.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "process/pi_hooks.h"
#include "process/startup.h"
#include "types/element.h"

namespace kivo {

namespace {

constexpr uint32_t kOpts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;

struct file_desc {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
};

std::map<std::string, std::array<uint8_t, kDatabaseRecLen>> g_databases;
std::string g_where;  // "<path>:<line>" of the line being written

bool fail(const std::string& what) {
  fprintf(stderr, "kivo_install: %s: %s\n", g_where.c_str(), what.c_str());
  return false;
}

// Words of a line; "quoted texts" keep their blanks. False on an open quote.
bool split(const std::string& line, std::vector<std::string>* w) {
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
    } else if (line[i] == '#') {
      break;
    } else if (line[i] == '"') {
      const size_t end = line.find('"', i + 1);
      if (end == std::string::npos) return false;
      w->push_back(line.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      const size_t end = line.find_first_of(" \t", i);
      w->push_back(line.substr(i, end == std::string::npos ? std::string::npos : end - i));
      i = end == std::string::npos ? line.size() : end;
    }
  }
  return true;
}

// An id of exactly `n` characters.
bool id(const std::string& s, size_t n, const char* what) {
  return s.size() == n || fail(std::string(what) + " \"" + s + "\" is not " + std::to_string(n) + " characters");
}

void put(uint8_t* rec, size_t at, const std::string& s, size_t width) {
  memset(rec + at, ' ', width);
  memcpy(rec + at, s.data(), s.size() < width ? s.size() : width);
}

// Writes `rec` into the system-administration file of `init`, made when it
// is missing; a record of that key already there is replaced by this one,
// except for the bytes `keep` names (from, length), which stay as stored.
bool write_sa(void (*init)(FDB*, KDB*, SDB*), uint8_t* rec, uint16_t len, const char* file,
              std::pair<size_t, size_t> keep = {0, 0}) {
  file_desc d;
  init(&d.fdb, d.kdb, d.sdb);
  if (!FM_OPEN(&d.fdb, com.sys_scope, kOpts, 15, 15)) {
    init(&d.fdb, d.kdb, d.sdb);
    if (!FM_CREATE(&d.fdb, com.sys_scope, 10, kOpts | LFB_OPEN_NEW, 15, 15))
      return fail(std::string("cannot create ") + file + ": " + status_words(d.fdb.fdb_stat));
  }
  ARB* a = d.fdb.fdb_arb;
  PROTO_FULL(a, 0, rec);
  a->arb_len = a->arb_var_len = len;
  a->arb_mod = 0;
  bool ok = fm_write(a);
  if (!ok && a->arb_stat == FM_DUP_KEY) {
    std::vector<uint8_t> stored(rec, rec + len);
    PROTO_FULL(a, 0, stored.data());
    a->arb_len = len, a->arb_mod = ARB_EQUAL | ARB_HOLD;
    if (fm_read(a)) {
      memcpy(rec + keep.first, stored.data() + keep.first, keep.second);
      a->arb_rec = rec, a->arb_len = a->arb_var_len = len, a->arb_mod = 0;
      ok = fm_rewrite(a);
    }
  }
  const uint32_t st = a->arb_stat;
  FM_CLOSE(a, 0);
  return ok || fail(std::string(file) + " record not written: " + status_words(st));
}

// A line read: what it writes, or false after its fault was said.
using writer = std::function<bool()>;

bool appl(const std::vector<std::string>& w, writer* out) {
  if (w.size() != 4 || !id(w[1], 3, "application") || !id(w[2], 2, "version"))
    return fail("expected APPL <ap> <ver> <description>");
  auto rec = std::make_shared<std::array<uint8_t, kApplRecLen>>();
  init_dap(rec->data(), w[1].c_str(), w[2].c_str(), w[3].c_str());
  *out = [rec] { return write_sa(INIT_DAP_FDB, rec->data(), kApplRecLen, "APPL"); };
  return true;
}

bool database(const std::vector<std::string>& w, writer* out) {
  if (w.size() != 4 || !id(w[1], 3, "database") || !id(w[2], 3, "application") || !id(w[3], 2, "version"))
    return fail("expected DATABASE <db> <ap> <ver>");
  std::array<uint8_t, kDatabaseRecLen>& rec = g_databases[w[1]];
  memset(rec.data(), ' ', rec.size());
  put(rec.data(), 0, w[1], 3);
  put(rec.data(), 3, w[2], 3);
  put(rec.data(), 6, w[3], 2);
  *out = [&rec] { return write_sa(INIT_DDB_FDB, rec.data(), kDatabaseRecLen, "DATABASE"); };
  return true;
}

bool dbxap(const std::vector<std::string>& w, writer* out) {
  if (w.size() != 4 || !id(w[1], 3, "database") || !id(w[2], 3, "application") ||
      (w[3] != "1" && w[3] != "2" && w[3] != "3"))
    return fail("expected DBXAP <db> <ap> <kind 1-3>");
  auto rec = std::make_shared<std::array<uint8_t, kDbxapRecLen>>();
  memset(rec->data(), ' ', rec->size());
  put(rec->data(), 0, w[1], 3);
  put(rec->data(), 3, w[2], 3);
  (*rec)[DBXAP_KIND] = uint8_t(w[3][0] - '0');
  *out = [rec] { return write_sa(INIT_DDBXAP_FDB, rec->data(), kDbxapRecLen, "DBXAP"); };
  return true;
}

// A data file's SYSDIR entry: native, no class of its own, no redirection,
// the structure stamp unknown until the file is made (an entry there keeps
// the stamp its file's create gave it).
bool sysdir(const std::string& db, const std::string& ap, const std::string& name) {
  uint8_t rec[kSysdirLen];
  memset(rec, ' ', sizeof rec);
  put(rec, SYSDIR_DB, db, 3);
  put(rec, SYSDIR_AP, ap, 3);
  put(rec, SYSDIR_VER, "", 2);
  put(rec, SYSDIR_NAME, name, 8);
  st_le32(rec, SYSDIR_REDIRECT, 0);
  st_le16(rec, SYSDIR_FS_TYPE, FMS_NATIVE);
  st_le32(rec, SYSDIR_STAMP, kStampUnknown);
  st_le32(rec, SYSDIR_STAMP + 4, kStampUnknown);
  return write_sa(INIT_DSYSDIR_FDB, rec, kSysdirLen, "SYSDIR", {SYSDIR_STAMP, 8});
}

bool direntry(const std::vector<std::string>& w, writer* out) {
  if (w.size() != 4 || !id(w[1], 3, "database") || !id(w[2], 3, "application") || w[3].empty() || w[3].size() > 8)
    return fail("expected DIRENTRY <db> <ap> <file>");
  *out = [w] { return sysdir(w[1], w[2], w[3]); };
  return true;
}

// Exact read by key `keyno` of a design file of `ap`/`ver`; the key's
// values are already in `rec`.
bool read_design(void (*init)(FDB*, KDB*, SDB*, const char*, const char*), const char* ap, const char* ver,
                 uint8_t keyno, uint8_t* rec, uint16_t len) {
  file_desc d;
  init(&d.fdb, d.kdb, d.sdb, ap, ver);
  if (!FM_OPEN(&d.fdb, com.sys_scope, kOpts, 1, 15)) return false;
  ARB* a = d.fdb.fdb_arb;
  PROTO_FULL(a, keyno, rec);
  a->arb_len = len;
  a->arb_mod = ARB_EQUAL;
  const bool found = fm_read(a);
  a->arb_mod = 0;
  FM_CLOSE(a, 0);
  return found;
}

uint8_t seg_type(const uint8_t* e) {
  switch (e[ELEM_TYPE]) {
    case 5:
    case 6:
    case 7: return e[ELEM_SIGNED] == '1' ? SDB_BINARY : SDB_UBINARY;
    case 8: return SDB_PACKED;
    default: return SDB_CHARS;
  }
}

// The file's keys as its FILE record names them: a group key's member
// fields, or each occurrence of a plain key field, one segment each.
bool data_keys(const char* ap, const char* ver, const uint8_t* fi, file_desc* d) {
  const int nkeys = fi[FI_NKEYS];
  if (nkeys > kInitMaxKeys) return fail("more than " + std::to_string(kInitMaxKeys) + " keys");
  int used = 0;
  for (int k = 0; k < nkeys; ++k) {
    const uint32_t seq = ld_le32(fi, FI_KEY_SEQ + 4u * k);
    const int nsegs = fi[FI_KEY_SEGS + k];
    uint8_t e[kElementSize] = {};
    memcpy(e + ELEM_FILE, fi + FI_NAME, 8);
    st_le32(e, ELEM_SEQ, seq);
    if (!read_design(INIT_DELEM_FDB, ap, ver, 2, e, kElementSize))
      return fail("key field " + std::to_string(seq) + " not found");
    const bool group = e[ELEM_KIND] == 2;
    if (nsegs < 1 || used + nsegs > kInitMaxSegs) return fail("key " + std::to_string(k) + ": too many segments");
    for (int s = 0; s < nsegs; ++s) {
      if (group) {
        memset(e, 0, sizeof e);
        memcpy(e + ELEM_FILE, fi + FI_NAME, 8);
        st_le32(e, ELEM_SEQ, seq + 1 + uint32_t(s));
        if (!read_design(INIT_DELEM_FDB, ap, ver, 2, e, kElementSize)) return fail("key member not found");
      }
      const uint16_t size = ld_le16(e, ELEM_SIZE);
      const uint16_t off = uint16_t(ld_le16(e, ELEM_OFFSET) + (group ? 0 : s * size));
      if (off + size > ld_le16(fi, FI_REC_LEN)) return fail("key segment past the record");
      init_sdb_func(&d->sdb[used + s], uint16_t(s + 1), off, size, seg_type(e), '+');
    }
    INIT_KDB(&d->kdb[k], uint8_t(k), '+', k ? KDB_DUP : 0, &d->sdb[used], uint8_t(nsegs));
    used += nsegs;
  }
  INIT_FDB(&d->fdb, FS_DISK, ld_le16(fi, FI_REC_LEN), fi[FI_VAR] == '1', d->kdb, uint8_t(nkeys));
  if (fi[FI_ORG]) d->fdb.fdb_org = fi[FI_ORG];
  return true;
}

// The SYSDIR entry, then the data file made from the design read now.
bool make_datafile(const std::vector<std::string>& w, const std::shared_ptr<file_desc>& d) {
  if (!sysdir(w[1], w[2], w[4])) return false;
  FDB kept = d->fdb;
  if (FM_OPEN(&d->fdb, com.sys_scope, LFB_ANY_DIR, 15, 15)) return FM_CLOSE(d->fdb.fdb_arb, 0), true;
  d->fdb = kept;
  // The create writes the structure file from the design and the stamp into SYSDIR.
  if (!FM_CREATE(&d->fdb, com.sys_scope, 10, LFB_ANY_DIR | LFB_OPEN_NEW, 15, 15))
    return fail("data file " + w[4] + " not made: " + status_words(d->fdb.fdb_stat));
  return FM_CLOSE(d->fdb.fdb_arb, 0) || fail("data file " + w[4] + " not closed");
}

bool datafile(const std::vector<std::string>& w, writer* out) {
  if (w.size() != 5 || !id(w[1], 3, "database") || !id(w[2], 3, "application") || !id(w[3], 2, "version") ||
      w[4].empty() || w[4].size() > 8)
    return fail("expected DATAFILE <db> <ap> <ver> <file of at most 8 characters>");
  uint8_t fi[kFileRecSize];
  memset(fi, ' ', sizeof fi);
  put(fi, FI_NAME, w[4], 8);
  if (!read_design(INIT_DFI_FDB, w[2].c_str(), w[3].c_str(), 0, fi, kFileRecSize))
    return fail("no FILE record of " + w[4] + " in the design of " + w[2] + "/" + w[3]);
  auto d = std::make_shared<file_desc>();
  if (!data_keys(w[2].c_str(), w[3].c_str(), fi, d.get())) return false;
  char name[9];
  snprintf(name, sizeof name, "%-8.8s", w[4].c_str());
  INIT_DB_PATH(&d->fdb.path, w[1].c_str(), w[2].c_str(), w[3].c_str(), name, PATH_DATA);
  memcpy(d->fdb.path.fdb_src_ap, w[2].data(), 3), memcpy(d->fdb.path.fdb_src_ver, w[3].data(), 2);
  d->fdb.fdb_struct_date[0] = ld_le32(fi, FI_STRUCT), d->fdb.fdb_struct_date[1] = ld_le32(fi, FI_STRUCT + 4);
  *out = [w, d] { return make_datafile(w, d); };
  return true;
}

// What one line writes; false after its fault was said.
bool read_line(const std::vector<std::string>& w, writer* out) {
  if (w[0] == "APPL") return appl(w, out);
  if (w[0] == "DATABASE") return database(w, out);
  if (w[0] == "DBXAP") return dbxap(w, out);
  if (w[0] == "DATAFILE") return datafile(w, out);
  if (w[0] == "DIRENTRY") return direntry(w, out);
  return fail("unknown record \"" + w[0] + "\"");
}

}  // namespace

const uint8_t* install_database(const char* db) {
  const auto it = g_databases.find(std::string(db, 3));
  if (it != g_databases.end()) return it->second.data();
  // One an earlier run wrote.
  static std::array<uint8_t, kDatabaseRecLen> stored;
  return sa_read_database(db, stored.data()) ? stored.data() : nullptr;
}

bool write_applications(const char* path) {
  std::ifstream in(path);
  g_where = path;
  if (!in) return fail("cannot read");
  // Every line is read and checked before the first record is written.
  std::vector<std::pair<std::string, writer>> writes;
  bool ok = true;
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    g_where = std::string(path) + ":" + std::to_string(++n);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> w;
    writer write;
    if (!split(line, &w)) ok = fail("a quote is not closed");
    else if (!w.empty() && read_line(w, &write)) writes.emplace_back(g_where, std::move(write));
    else if (!w.empty()) ok = false;
  }
  g_where = path;
  if (!ok) return fail("nothing was written");
  for (size_t i = 0; i < writes.size(); ++i) {
    g_where = writes[i].first;
    if (writes[i].second()) continue;
    g_where = path;
    return fail(i ? "the records of the lines before it are written; run it again once mended (a record the file "
                    "names replaces the one there)"
                  : "nothing was written");
  }
  return true;
}

}  // namespace kivo
