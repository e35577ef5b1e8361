// Structure files and structure stamps (see struct_file.h). The design
// files are opened without a structure check of their own and with a known
// stamp (0), so that looking up a stamp never looks up another.
#include "fm/struct_file.h"

#include <fcntl.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fm/dict_records.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "store/analyser.h"
#include "store/fd_cache.h"
#include "types/element.h"

namespace kivo {

namespace {

using design_init = void (*)(FDB*, KDB*, SDB*, const char*, const char*);

constexpr size_t kStampKeyLen = 13;  // application, version, name

// An open design file of one application and version; closed with it.
struct design_file {
  ARB* arb = nullptr;
  uint32_t stat = 0;
  const char* close_msg;
  design_file(design_init init, const char* ap, const char* ver, const char* msg = "create_struct() - fm__close failed")
      : close_msg(msg) {
    FDB d;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    char a[4] = {}, v[3] = {};
    memcpy(a, ap, 3);
    memcpy(v, ver, 2);
    init(&d, kdb, sdb, a, v);
    d.fdb_struct_date[0] = d.fdb_struct_date[1] = 0;
    if (FM_OPEN(&d, 0, LFB_NO_STRUCT_CHK, 0x01, 0x0f)) arb = d.fdb_arb;
    else stat = d.fdb_stat;
  }
  ~design_file() {
    if (arb) fm_checkstat(FM_CLOSE(arb, 0), __LINE__, close_msg);
  }
  // A read by `mod` (ARB_EQUAL, or 0 for read-next) on key `keyno` into rec.
  int read(uint8_t* rec, uint16_t len, uint8_t keyno, uint16_t mod) {
    arb->arb_rec = rec, arb->arb_len = len, arb->arb_keyno = keyno;
    arb->arb_key = nullptr, arb->arb_key_end = nullptr;
    arb->arb_mod = mod, arb->arb_lock_wait = 0;
    int r = mod ? fm_read(arb) : fm_rdnxt(arb);
    arb->arb_mod = 0;
    return r;
  }
  // Positions before the first record at or after the key of the record
  // image `key` on key `keyno`.
  int start(const uint8_t* key, uint8_t keyno) {
    arb->arb_keyno = keyno, arb->arb_mod = 0;
    arb->arb_key = nullptr, arb->arb_key_end = nullptr;
    arb->arb_rec = const_cast<uint8_t*>(key);
    return fm_start(arb);
  }
};

// The FILE record of `name` in (ap, ver): 0, or the status.
uint32_t read_file_rec(const char* ap, const char* ver, const char* name, uint8_t* rec) {
  design_file fi(INIT_DFI_FDB, ap, ver);
  if (!fi.arb) return fi.stat == FM_NO_FILE ? uint32_t{FM_NO_DESIGN} : fi.stat;
  memset(rec, ' ', kFileRecSize);
  memcpy(rec + FI_NAME, name, 8);
  return fi.read(rec, kFileRecSize, 0, ARB_EQUAL) ? 0 : uint32_t{FM_NO_FILE_DEF};
}

bool stamp_known(const uint8_t* at) { return ld_le32(at, 0) != kStampUnknown && ld_le32(at, 4) != kStampUnknown; }

const FDB_PATH& arb_path(const ARB* arb) { return arb_strm(arb)->strm_lfb->lfb_lfn->lfn_path; }

// Record `relno` (1-based) of a structure file, held when `hold`.
int read_struct_rec(ARB* arb, uint32_t relno, uint8_t* rec, bool hold) {
  arb->arb_rec = rec, arb->arb_len = kStructFileRecLen, arb->arb_keyno = 0;
  arb->arb_key = nullptr, arb->arb_key_end = nullptr, arb->arb_relno = relno;
  arb->arb_mod = hold ? ARB_HOLD : 0, arb->arb_lock_wait = 0;
  int r = fm_read(arb);
  arb->arb_mod = 0;
  return r;
}

// Appends `len` bytes as one structure record, zero-filled behind.
int put_struct_rec(ARB* arb, const uint8_t* data, size_t len) {
  uint8_t rec[kStructFileRecLen] = {};
  memcpy(rec, data, std::min<size_t>(len, sizeof rec));
  arb->arb_rec = rec, arb->arb_len = kStructFileRecLen, arb->arb_var_len = kStructFileRecLen;
  arb->arb_mod = 0;
  return fm_write(arb);
}

// Copies the file's INITIAL records; the count, or -1 on a write failure.
int copy_initials(ARB* arb, const char* ap, const char* ver, const char* name) {
  design_file in(INIT_DINIT_FDB, ap, ver);
  if (!in.arb) return -2;
  uint8_t key[kInitRecMax] = {};
  memcpy(key, name, 8);
  if (!in.start(key, 0)) return 0;
  int n = 0;
  std::vector<uint8_t> rec(kInitRecMax);
  while (in.read(rec.data(), kInitRecMax, 0, 0) && memcmp(rec.data(), name, 8) == 0) {
    uint16_t len = in.arb->arb_var_len ? in.arb->arb_var_len : kInitRecMax;
    if (!put_struct_rec(arb, rec.data(), len)) return -1;
    ++n;
  }
  return n;
}

// Copies the file's ELEMENT records, the first of which must carry the
// FILE record's element stamp; the count, or -(status).
int64_t copy_elements(ARB* arb, const char* ap, const char* ver, const uint8_t* file_rec) {
  design_file el(INIT_DELEM_FDB, ap, ver);
  if (!el.arb) return -int64_t{FM_NO_DESIGN};
  uint8_t rec[kElementSize] = {};
  memcpy(rec + ELEM_FILE, file_rec + FI_NAME, 8);
  if (!el.start(rec, 2)) return 0;
  int64_t n = 0;
  while (el.read(rec, kElementSize, 2, 0)) {
    if (memcmp(rec + ELEM_FILE, file_rec + FI_NAME, 8) != 0) break;
    if (n == 0 && memcmp(rec + ELEM_STAMP, file_rec + FI_STAMP, 8) != 0) return -int64_t{FM_BAD_STRUCT_DEF};
    if (!put_struct_rec(arb, rec, kElementSize)) return -int64_t{arb->arb_stat};
    ++n;
  }
  if (n == 0 && el.arb->arb_stat == FM_NOT_FOUND) return -int64_t{FM_BAD_STRUCT_DEF};
  return n;
}

// The SYSDIR key of a data file's path, as the back-end selection looks
// the entry up: a database and no version, or (system applications) a
// version and no database.
void sysdir_key(const FDB_PATH& p, uint8_t* key) {
  memset(key, ' ', 16);
  const bool src = is_ap(p.fdb_ap, "0AD");
  memcpy(key + 3, src ? p.fdb_src_ap : p.fdb_ap, 3);
  memcpy(key + 8, p.fdb_name, 8);
  if (!IS_BOB_AP(p.fdb_ap)) memcpy(key, p.fdb_db, 3);
  else if (!is_ap(p.fdb_ap, "0SA")) memcpy(key + 6, src ? p.fdb_src_ver : p.fdb_ver, 2);
}

int fail(ARB* arb, uint32_t st) {
  arb->arb_stat = st;
  return 0;
}

// The SYSDIR entry of the file takes the FILE record's stamp.
int update_sysdir(ARB* arb, const uint8_t* file_rec) {
  uint8_t key[16];
  sysdir_key(arb_path(arb), key);
  uint32_t st = sa_update_stamp(key, ld_le32(file_rec, FI_STRUCT), ld_le32(file_rec, FI_STRUCT + 4));
  return st ? fail(arb, st) : 1;
}

}  // namespace

int get_struct_date(FDB* fdb) {
  const FDB_PATH& p = fdb->path;
  uint8_t key[kStampKeyLen];
  memcpy(key, p.fdb_ap, 3);
  memcpy(key + 3, p.fdb_ver, 2);
  memcpy(key + 5, p.fdb_name, 8);
  if (IS_BOB_AP(p.fdb_ap) && ctl_get_stamp(key, fdb->fdb_struct_date)) return 1;
  uint8_t rec[kFileRecSize];
  uint32_t st = read_file_rec(p.fdb_ap, p.fdb_ver, p.fdb_name, rec);
  if (!st) {
    fdb->fdb_struct_date[0] = ld_le32(rec, FI_STRUCT);
    fdb->fdb_struct_date[1] = ld_le32(rec, FI_STRUCT + 4);
    return 1;
  }
  // The engine's own applications before their design is installed (a
  // first start, the design build itself) have no stamps to give.
  if ((fdb->fdb_opt & LFB_NO_STRUCT_CHK) || (st == FM_NO_DESIGN && IS_BOB_AP(p.fdb_ap))) return 1;
  fdb->fdb_stat = st == FM_NO_DESIGN || st == FM_NO_FILE_DEF ? st : uint32_t{FM_NO_DESIGN};
  fdb->fdb_stat2 = 0;
  return 0;
}

int create_struct(ARB* arb) {
  const FDB_PATH p = arb_path(arb);
  uint8_t file_rec[kFileRecSize];
  if (uint32_t st = read_file_rec(p.fdb_ap, p.fdb_ver, p.fdb_name, file_rec)) return fail(arb, st);
  if (!stamp_known(file_rec + FI_STAMP)) return fail(arb, FM_BAD_STRUCT_DEF);
  uint8_t counts[8] = {};
  if (!put_struct_rec(arb, counts, sizeof counts) || !put_struct_rec(arb, file_rec, kFileRecSize)) return 0;
  int ninit = copy_initials(arb, p.fdb_ap, p.fdb_ver, p.fdb_name);
  if (ninit == -2) return fail(arb, FM_NO_DESIGN);
  if (ninit < 0) return 0;
  int64_t nelem = copy_elements(arb, p.fdb_ap, p.fdb_ver, file_rec);
  if (nelem < 0) return fail(arb, static_cast<uint32_t>(-nelem));
  uint8_t rec[kStructFileRecLen];
  if (!read_struct_rec(arb, 1, rec, true)) return 0;
  st_le32(rec, STRUCT_N_INITIAL, static_cast<uint32_t>(ninit));
  st_le32(rec, STRUCT_N_ELEMENT, static_cast<uint32_t>(nelem));
  arb->arb_rec = rec, arb->arb_mod = 0;
  if (!fm_rewrite(arb)) return 0;
  return update_sysdir(arb, file_rec);
}

int verify_struct(ARB* arb) {
  uint8_t rec[kStructFileRecLen];
  if (!read_struct_rec(arb, 2, rec, false)) return fail(arb, FM_NO_STRUCT_REC);
  const uint32_t* want = arb_pfb(arb)->pfb_stamp;
  if (want[0] != ld_le32(rec, FI_STRUCT) || want[1] != ld_le32(rec, FI_STRUCT + 4)) return fail(arb, FM_STAMP_DIFF);
  return update_sysdir(arb, rec);
}

ARB* get_struct_arb(const FDB_PATH& path, const uint32_t* stamp) {
  FDB d{}, s;
  d.path = path;
  d.fdb_struct_date[0] = stamp ? stamp[0] : kStampUnknown;
  d.fdb_struct_date[1] = stamp ? stamp[1] : kStampUnknown;
  struct_fdb(&d, &s);
  if (!FM_OPEN(&s, 0, 0, 0x01, 0x0f)) return nullptr;
  if (!stamp || stamp[0] == kStampUnknown) return s.fdb_arb;
  // A structure file of another design would describe other fields.
  uint8_t rec[kStructFileRecLen];
  if (read_struct_rec(s.fdb_arb, 2, rec, false) && ld_le32(rec, FI_STRUCT) == stamp[0] &&
      ld_le32(rec, FI_STRUCT + 4) == stamp[1])
    return s.fdb_arb;
  FM_CLOSE(s.fdb_arb, 0);
  return nullptr;
}

int fm_design_struct(FDB* design, uint32_t scope) {
  const FDB_PATH& p = design->path;
  if (!is_ap(p.fdb_ap, "0AD") || p.fdb_class != PATH_DATA || fm_is_memory(design)) return 1;
  if (IS_BOB_AP(p.fdb_src_ap) && memcmp(p.fdb_src_ver, "00", 2) == 0) return 1;
  FDB d = *design;
  d.fdb_opt = LFB_NO_STRUCT_CHK;  // no dictionary yet: nothing to record
  d.fdb_struct_date[0] = d.fdb_struct_date[1] = kStampUnknown;
  if (!get_struct_date(&d) || d.fdb_struct_date[0] == kStampUnknown) return 1;
  if (ARB* s = get_struct_arb(p, d.fdb_struct_date)) {
    FM_CLOSE(s, 0);
    return 1;
  }
  // One of another stamp goes first: the create would only check it.
  FDB s;
  struct_fdb(&d, &s);
  if (!FM_SCRATCH(&s, LFB_ANY_DIR | LFB_NO_STRUCT_CHK) && s.fdb_stat != FM_NO_FILE) {
    design->fdb_stat = s.fdb_stat;
    return 0;
  }
  struct_fdb(&d, &s);
  if (FM_CREATE(&s, scope, 0, LFB_ANY_DIR, 0x0f, 0x0f)) return 1;
  design->fdb_stat = s.fdb_stat;
  return 0;
}

void fill_date_cache(const char* ap) {
  design_file fi(INIT_DFI_FDB, ap, "00", "can't close FILE (cache) file");
  if (!fi.arb) return;
  fi.arb->arb_keyno = 0, fi.arb->arb_mod = ARB_FIRST;
  if (!fm_start(fi.arb)) return;
  uint8_t rec[kFileRecSize];
  while (fi.read(rec, kFileRecSize, 0, 0)) {
    if (rec[FI_FS_TYPE] == 2) continue;
    uint8_t key[kStampKeyLen];
    memcpy(key, ap, 3);
    memcpy(key + 3, "00", 2);
    memcpy(key + 5, rec + FI_NAME, 8);
    const uint32_t stamp[2] = {ld_le32(rec, FI_STRUCT), ld_le32(rec, FI_STRUCT + 4)};
    fm_checkstat(ctl_put_stamp(key, stamp), __LINE__, "can't cache struct date");
  }
}

// --- the layout of a file without a header, for the verifier ---------------

namespace {

// A data file's path as the fixed layout builds it: the directory above its
// kind, the kind ("Data", "Struct") and the file name.
struct layout_path {
  std::string above, kind, name;
};

layout_path split_path(const char* base) {
  std::string p = std::string(base) + ".dat";
  char real[PATH_MAX];
  // A data file not made yet (an import's) is placed by its folder, so
  // that any name of the same file finds the same description.
  const size_t cut = p.rfind('/');
  const std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : p.substr(0, cut);
  if (realpath(p.c_str(), real)) p = real;
  else if (realpath(folder.c_str(), real))
    p = std::string(real) + "/" + p.substr(cut == std::string::npos ? 0 : cut + 1);
  p.resize(p.size() - 4);
  layout_path out;
  const size_t s = p.rfind('/');
  out.name = p.substr(s == std::string::npos ? 0 : s + 1);
  const std::string dir = s == std::string::npos ? "" : p.substr(0, s);
  const size_t k = dir.rfind('/');
  out.kind = dir.substr(k == std::string::npos ? 0 : k + 1);
  out.above = k == std::string::npos ? "" : dir.substr(0, k);
  return out;
}

// `n` bytes at `off` of the file at `path`; false unless all were read.
bool read_at(const std::string& path, off_t off, uint8_t* buf, size_t n) {
  const int slot = kivo_open(path.c_str(), O_RDONLY, 0);
  if (slot < 0) return false;
  const bool ok = kivo_pread(slot, buf, n, off) == static_cast<ssize_t>(n);
  kivo_close(slot);
  return ok;
}

// A structure file counts its INITIAL and ELEMENT records in its first
// record, after which they follow its FILE record.
void structure_layout(const std::string& path, anal_layout* out) {
  *out = {kStructFileRecLen, false, 2, "structure file"};
  uint8_t counts[8];
  if (read_at(path, 0, counts, sizeof counts))
    out->records = 2 + int64_t{ld_le32(counts, STRUCT_N_INITIAL)} + ld_le32(counts, STRUCT_N_ELEMENT);
}

// The engine's own files of a single record, known by name (and SYSPARM by
// its application's directory).
bool own_layout(const layout_path& p, anal_layout* out) {
  FDB d;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  const size_t above = p.above.size();
  if (p.name == "PARAM") {
    INIT_DPARM_FDB(&d, kdb, sdb, "   ", "  ");
    out->what = "design file PARAM";
  } else if (p.name == "SYSPARM" && above >= 4 && p.above.compare(above - 4, 4, "/0SA") == 0) {
    INIT_DSYSPARM_FDB(&d, kdb, sdb);
    out->what = "system file SYSPARM";
  } else {
    return false;
  }
  out->rec_len = d.fdb_rec_len;
  out->single = d.fdb_org == ORG_RELATIVE;
  return true;
}

// The FILE record of the structure file beside the data file of `p`, when
// it describes that file (names it).
bool described_by(const layout_path& p, uint8_t* rec) {
  const std::string st = p.above + "/Struct/" + p.name + ".dat";
  if (!read_at(st, kStructFileRecLen, rec, kFileRecSize)) return false;
  std::string named(reinterpret_cast<const char*>(rec + FI_NAME), 8);
  named.erase(named.find_last_not_of(' ') + 1);
  return named == p.name;
}

}  // namespace

bool struct_file_layout(const char* base, anal_layout* out) {
  const layout_path p = split_path(base);
  if (p.kind == "Struct") {
    structure_layout(std::string(base) + ".dat", out);
    return true;
  }
  if (p.kind != "Data") return false;
  uint8_t rec[kFileRecSize];
  if (described_by(p, rec)) {
    const bool keyed = rec[FI_ORG] == ORG_INDEXED && rec[FI_NKEYS] > 0;
    if (rec[FI_VAR] == '1' || keyed) return false;
    *out = {ld_le16(rec, FI_REC_LEN), rec[FI_ORG] == ORG_RELATIVE, -1, "record length from its structure file"};
    return true;
  }
  return own_layout(p, out);
}

int struct_file_rec_len(const char* base) {
  const layout_path p = split_path(base);
  uint8_t rec[kFileRecSize];
  if (p.kind != "Data" || !described_by(p, rec)) return -1;
  return rec[FI_VAR] == '1' ? 0 : ld_le16(rec, FI_REC_LEN);
}

bool struct_file_design(const char* base, std::vector<uint8_t>* file_rec, std::vector<std::vector<uint8_t>>* elements) {
  const layout_path p = split_path(base);
  if (p.kind != "Data") return false;
  const std::string st = p.above + "/Struct/" + p.name + ".dat";
  uint8_t counts[8];
  file_rec->assign(kFileRecSize, 0);
  if (!read_at(st, 0, counts, sizeof counts) || !read_at(st, kStructFileRecLen, file_rec->data(), kFileRecSize))
    return false;
  std::string named(reinterpret_cast<const char*>(file_rec->data() + FI_NAME), 8);
  named.erase(named.find_last_not_of(' ') + 1);
  if (named != p.name) return false;
  // The ELEMENT records follow the FILE record and the INITIAL records.
  const uint32_t ninit = ld_le32(counts, STRUCT_N_INITIAL), nelem = ld_le32(counts, STRUCT_N_ELEMENT);
  constexpr uint32_t kMostElements = 4096;
  if (nelem > kMostElements || ninit > kMostElements) return false;
  elements->assign(nelem, std::vector<uint8_t>(kElementSize));
  for (uint32_t i = 0; i < nelem; ++i)
    if (!read_at(st, off_t{kStructFileRecLen} * (2 + ninit + i), (*elements)[i].data(), kElementSize)) return false;
  return true;
}

}  // namespace kivo
