// The native back-end's file-level slots (see unix_fm.h): identity, attach,
// open, create, close, scratch, rename, the format check, statistics.
//
// Removing or replacing a file another process may have open first takes its
// open lock (byte 1 of the data file) exclusively without waiting: a file
// in use is never removed under its user. A pair is replaced key file
// first and data file by rename, so its name always holds a whole data file;
// a key file that is missing is rebuilt by the next open.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "fm/fm_open.h"
#include "fm/set_aside.h"
#include "fm/unix_fm.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "foundation/os_calls.h"
#include "foundation/paths.h"
#include "foundation/sys_err.h"
#include "store/fd_cache.h"
#include "store/lock.h"

namespace kivo {

fms_fn unix_fms_fn;
bool uio_short_tmp_names;

namespace {

// Idlist. Never destroyed: the exit handlers close the data files it names,
// and a destructor run before them would lose the files still open.
std::vector<std::unique_ptr<UIO_FILE>>& g_idlist = *new std::vector<std::unique_ptr<UIO_FILE>>;
uint32_t g_next_id;
FILE* g_stats_log;
bool g_stats_procs;
bool g_exit_registered;
bool g_reached_keys;  // a format check of this session reached the key step
bool g_keys_unfit;    // the last format check found keys the key file does not define

constexpr size_t SYSDIR_OPTIONS = 308;  // 256 characters of options
constexpr uint32_t kLfbPreload = 0x18;
const char* const kRowNames[kStatRows] = {"OPEN   ", "READ   ", "RDNXT  ", "START  ", "WRITE  ", "REWRITE"};

// The native file of a stream.
UIO_FILE* strm_uio_file(STRM* s) { return uio_file(strm_pfb(s)); }

int fail(ARB* arb, uint32_t st, uint32_t st2 = 0) {
  arb->arb_stat = st;
  arb->arb_stat2 = st2;
  return 0;
}

bool indexed(const PFB* pfb) { return pfb->ORG == ORG_INDEXED && pfb->pfb_nkeys > 0; }
uint32_t open_len(const PFB* pfb) { return pfb->pfb_var ? 0 : pfb->pfb_rec_len; }

std::string with_ext(const char* path, const char* ext) { return std::string(path) + ext; }

bool has_text(const uint8_t* field, const char* word) {
  std::string s(reinterpret_cast<const char*>(field), kSysDirFieldLen);
  return s.find(word) != std::string::npos;
}

// The status of a failed removal or rename, the system's error in stat2.
uint32_t errno_status(int err, const char* what, const char* path) {
  if (err == EACCES || err == EPERM) return FM_NO_ACCESS;
  if (err == EROFS) return FM_READ_ONLY_FS;
  if (err == EXDEV) return FM_CROSS_DEVICE;
  sys_err("UNIXIO", __LINE__, "%s %s: %s", what, path, strerror(err));
  return FM_IO_ERR;
}

// The open lock of the pair at `path`, had exclusively without waiting: the
// slot holding it (close it when done), -1 when the data file is missing,
// -2 when the file is in use here or in another process.
int take_open_lock(const char* path) {
  int slot = kivo_open(with_ext(path, ".dat").c_str(), O_RDWR, 0);
  if (slot < 0) return -1;
  if (fd_cache_refs(slot) > 1 || !lock_hdr(slot, 1)) {
    kivo_close(slot);
    return -2;
  }
  return slot;
}

}  // namespace

bool uio_pair_in_use(const char* base) {
  const int slot = take_open_lock(base);
  if (slot >= 0) kivo_close(slot);
  return slot == -2;
}

namespace {

// Removes "%s.key" and "%s.dat"; 0, or the status of the data file's removal.
uint32_t remove_pair(const char* path, uint32_t* err) {
  std::string key = with_ext(path, ".key"), dat = with_ext(path, ".dat");
  if (os_sys.unlink(key.c_str()) != 0 && errno != ENOENT) {
    *err = static_cast<uint32_t>(errno);
    return errno_status(errno, "can't remove", key.c_str());
  }
  if (os_sys.unlink(dat.c_str()) == 0) return 0;
  *err = static_cast<uint32_t>(errno);
  return errno == ENOENT ? uint32_t{FM_NO_FILE} : errno_status(errno, "can't remove", dat.c_str());
}

// Removes a pair nobody uses: FM_LOCK_REFUSED when it is in use.
uint32_t remove_unused(const char* path, uint32_t* err) {
  int slot = take_open_lock(path);
  if (slot == -2) return FM_LOCK_REFUSED;
  uint32_t st = remove_pair(path, err);
  if (slot >= 0) kivo_close(slot);
  return st == FM_NO_FILE ? 0 : st;
}

void now(long* sec, long* usec) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  *sec = tv.tv_sec;
  *usec = tv.tv_usec;
}

bool master(const STRM* strm) { return strm->strm_lfb->lfb_strm.head == strm; }

int attach_rcb(UIO_FILE* f, UIO_STRM* u, ARB* arb) {
  if (u->rcb) return 1;
  int st = 0;
  u->rcb = brfaccess(&st, f->brf, 0, f->flags & kUioTrackLocks);
  if (!u->rcb) return fail(arb, convert_btree_error(st, f->path));
  st_le32(u->rec_id, 0, 0);
  arb->arb_rec_id_area = u->rec_id;
  arb->arb_rec_id_len = 4;
  u->strm->strm_active = kStrmStartPending;
  return 1;
}

bool upgrade_allowed(const LFB* lfb) {
  const FDB_PATH& p = lfb->lfb_lfn->lfn_path;
  return IS_BOB_AP(p.fdb_ap) || p.fdb_class != PATH_DATA;
}

// A key file the open refuses: its failure becomes a system error whose
// text names the file, the fault and the repair.
void key_file_damaged(const UIO_FILE* f, const char* why) {
  bt_say_damage((std::string(f->path) + ".key").c_str(), why);
}

// Opens the data file of an open: an indexed file whose key file is missing
// gets an empty one, which the format check fills.
BRF_FILE* open_data(UIO_FILE* f, const LFB* lfb, int* code) {
  const PFB* pfb = lfb->lfb_pfb;
  bool keys = indexed(pfb);
  uint16_t mode = keys ? 0 : BRF_NO_KEYS;
  bool excl = lfb->lfb_shr <= 1;
  BRF_FILE* b = brfopen(code, f->path, mode, open_len(pfb), excl);
  struct stat st;
  if (!b && *code == BRF_NOT_FOUND_FILE && keys && os_sys.stat(with_ext(f->path, ".dat").c_str(), &st) == 0)
    b = brfopen(code, f->path, BRF_CREATE, open_len(pfb), excl);
  // Only the key file's open refuses a damaged header: the data file's is
  // checked once it is open.
  if (!b && *code == BRF_BAD_DATA && keys) {
    key_file_damaged(f, bt_last_refusal().c_str());
    *code = BRF_SYS_ERR;
  }
  if (b) *code = BRF_OK;
  return b;
}

int check_keynos(const PFB* pfb, ARB* arb) {
  for (int i = 0; i < pfb->pfb_nkeys; ++i)
    if (pfb->pfb_kdb[i].kdb_keyno >= kMaxKeys) return fail(arb, FM_KEY_NO_DIFF);
  return 1;
}

// A fixed-length file holds records of its own length only: opened for
// another, a write would be padded out to the stored length from past the
// caller's record.
bool len_differs(const BRF_FILE* b, const PFB* pfb) {
  return brf_fixed(b) && !brf_relative(b) && b->hdr.rec_len != pfb->pfb_rec_len;
}

// A data file whose header claims more than the file holds was cut short
// (or its header damaged): a write would go past a hole and its lost
// records would read as missing. Refused with the one line that names the
// file and its repair, shown as the failure's system error.
bool cut_short(UIO_FILE* f) {
  char why[160];
  // A read that failed on the way is no damage: it is said as it failed.
  if (!brf_extent_fault(f->brf, why, sizeof why)) return f->brf->read_err != 0;
  char line[kUioPathLen * 2 + 240];
  snprintf(line, sizeof line, "%s.dat is damaged: %s; \"kivo -r=%s\" keeps its whole records", f->path, why, f->path);
  la_sys_err(line, 0);
  return true;
}

// A data file whose header fields contradict each other (a fixed-length
// file of record length 0, flags of no version beside a version) is no file
// the engine can read or upgrade: refused with the one line that names the
// file and the fault, shown as the failure's system error.
bool header_damaged(UIO_FILE* f) {
  char why[160];
  const char* fault = brf_hdr_fault(f->brf, why, sizeof why);
  if (!fault) return false;
  char line[kUioPathLen + 240];
  snprintf(line, sizeof line, "%s.dat is damaged: %s; it is left as it is", f->path, fault);
  la_sys_err(line, 0);
  return true;
}

// A key file whose pages end before its header says was cut short: reads
// past its end would fail and writes would leave a hole. Refused as the cut
// data file is.
bool key_cut_short(UIO_FILE* f) {
  char why[160];
  if (!brf_key_size_fault(f->brf, why, sizeof why)) return false;
  key_file_damaged(f, why);
  return true;
}

// A key file put back from a copy of another time than its data file's
// would miss the records written since and repeat unique keys: refused as a
// damaged key file.
bool key_stale(UIO_FILE* f) {
  char why[200];
  if (!brf_key_stale(f->brf, why, sizeof why)) return false;
  key_file_damaged(f, why);
  return true;
}

// Why a data file just opened cannot be used as it is; 0 when it can.
uint32_t refusal(UIO_FILE* f, const LFB* lfb) {
  if (header_damaged(f)) return FM_IO_ERR;
  if (len_differs(f->brf, lfb->lfb_pfb)) return FM_REC_LEN_DIFF;
  if (cut_short(f) || key_cut_short(f) || key_stale(f)) return FM_IO_ERR;
  return 0;
}

// Once its keys are declared: a key file whose entries are not the data
// file's records (another file's, or one cut off from its records) would
// send reads to the wrong records and writes into a foreign index.
bool key_file_foreign(UIO_FILE* f) {
  int st = BRF_OK;
  BRF_RCB* r = f->brf->key ? brfaccess(&st, f->brf, 0, false) : nullptr;
  if (!r) return false;
  char why[200];
  const bool fault = brf_key_content_fault(r, why, sizeof why);
  brfdeaccess(r);
  if (fault && f->brf->read_err != BRF_SYS_ERR) key_file_damaged(f, why);
  return fault;
}

// A key file that does not define the keys of the file's description is
// renamed "<name>.key.unfit" (one kept) while no other process has the pair
// open, so that the open that found it builds the key file again from the
// description; false when the pair is in use or the rename fails.
bool move_unfit_aside(const UIO_FILE* f) {
  const int slot = take_open_lock(f->path);
  if (slot < 0) return false;
  const std::string key = with_ext(f->path, ".key"), aside = key + ".unfit";
  const bool moved = os_sys.rename(key.c_str(), aside.c_str()) == 0;
  kivo_close(slot);
  if (moved)
    sys_err_log((key + " did not fit the file's description: moved aside to " + aside + " and built again").c_str());
  return moved;
}

// A data file just opened passes the length, extent and format checks, else
// is closed again.
int checked(UIO_FILE* f, LFB* lfb, ARB* arb, bool upgrade) {
  if (const uint32_t st = refusal(f, lfb)) {
    brfclose(f->brf);
    f->brf = nullptr;
    return fail(arb, st);
  }
  g_keys_unfit = false;
  int st = vfy_ver(f, lfb, upgrade);
  if (st == BRF_OK && !key_file_foreign(f)) return 1;
  brfclose(f->brf);
  f->brf = nullptr;
  static bool moved;  // once: the key file built again defines every key
  if (g_keys_unfit && !moved && move_unfit_aside(f)) {
    int code = 0;
    f->brf = open_data(f, lfb, &code);
    if (!f->brf) return fail(arb, convert_btree_error(code, f->path));
    f->brf->write_behind = lfb->lfb_shr <= 1 && (lfb->lfb_opt & LFB_SCOPED);
    moved = true;
    const int ok = checked(f, lfb, arb, upgrade);  // the key file is missing now: it is built
    moved = false;
    return ok;
  }
  return fail(arb, st == BRF_OK ? FM_IO_ERR : convert_btree_error(st, f->path));
}

// Records a work file held back for one write at its close are lost when
// that write fails: said, never passed over as a good close.
uint32_t appends_lost(int code, const char* path) {
  if (code != BRF_NO_SPACE) sys_err("UNIXIO", __LINE__, "records appended to %s not written at its close", path);
  return convert_btree_error(code, path);
}

// Counts a stream's open of the data file.
void opened(UIO_FILE* f, STRM* strm) {
  ++f->open_count;
  strm_pfb(strm)->pfb_open = 1;
  strm->strm_active = kStrmStartPending;
}

// ---- create ----

// The create's first name: the block's path, or a short temporary name.
std::string create_name(const UIO_FILE* f, const LFB* lfb) {
  if (!uio_short_tmp_names || !f->scoped || lfb->lfb_lfn->lfn_path.fdb_class == PATH_SESS) return f->path;
  std::string out(strlen(f->path) + 1, '\0');
  ss_tmp_1st(out.data(), f->path);
  out.resize(strlen(out.c_str()));
  return out;
}

BRF_FILE* create_once(const std::string& name, const PFB* pfb, bool excl, int* code) {
  uint16_t mode = indexed(pfb) ? BRF_CREATE : BRF_CREATE | BRF_NO_KEYS;
  BRF_FILE* b = brfopen(code, name.c_str(), mode, open_len(pfb), excl);
  if (b || *code == BRF_FILE_LOCKED) return b;
  if (!ss_make_path(with_ext(name.c_str(), ".dat").c_str())) {
    *code = -1;
    return nullptr;
  }
  return brfopen(code, name.c_str(), mode, open_len(pfb), excl);
}

// A scoped work file's name is taken: the next short name, or (when there is
// none) the old pair removed when nobody uses it. 0 to try again, or a status.
uint32_t free_name(std::string* name, uint32_t* err) {
  if (uio_short_tmp_names && ss_tmp_nxt(name->data())) return 0;
  return remove_unused(name->c_str(), err);
}

// ---- statistics ----

void print_stats(UIO_FILE* f) {
  fprintf(g_stats_log, "Stats for %s\n", f->path);
  for (int i = 0; i < kStatRows; ++i) {
    const uio_stat_row& s = f->stats[i];
    fprintf(g_stats_log, " %s - %07ld.%07ld %07ld.%07ld %05ld\n", kRowNames[i], s.tot_sec, s.tot_usec, s.max_sec,
            s.max_usec, s.count);
  }
  fflush(g_stats_log);
}

void at_exit() {
  if (!g_stats_log) return;
  if (g_stats_procs) fputs("\n***--> Closing files at exit \n\n", g_stats_log);
  dump_all_stats();
  fclose(g_stats_log);
  g_stats_log = nullptr;
}

}  // namespace

UIO_FILE* uio_file(const PFB* pfb) {
  return pfb && pfb->pfb_id16 == kUioId16 ? static_cast<UIO_FILE*>(pfb->pfb_fms_data) : nullptr;
}

void unix_fm_lock_wait_limit(unsigned ms) { lock_wait_limit_ms = ms; }

namespace {

// A full disk, reported for each failed operation with the file the write
// met it in (".dat" or ".key"), whether the write failed or came up short.
// A short write that met no full disk is said by the status alone; status
// 22 with no write failing (a limit of the format) names the pair (`always`).
uint32_t no_space(const char* path, bool always) {
  bool limit = false;
  std::string full = kivo_take_full_file(&limit);
  if (full.empty() && !always) return FM_NO_SPACE;
  if (full.empty()) full = path && *path ? path : "<unknown>";
  sys_notice("UNIXIO", __LINE__, "%s - OUT OF SPACE while writing %s", limit ? "File size limit reached" : "Disk full",
             full.c_str());
  return FM_NO_SPACE;
}

}  // namespace

uint32_t convert_btree_error(int code, const char* path) {
  switch (code) {
    case 0: return 0;
    case 1: return FM_NO_DB;
    case 2: return FM_NOT_INDEXED;
    case 3: return FM_NO_FILE;
    case 4: return no_space(path, false);
    case 5: return FM_NO_ACCESS;
    case 7:
    case 20: return lock_wait_gave_up ? FM_LOCKED : FM_LOCK_REFUSED;
    case 8:
    case 14:
    case 17: return FM_EOF;
    case 9:
    case 16: return FM_NOT_FOUND;
    case 10: return FM_DUP_KEY;
    case 12: return FM_ORG_DIFF;
    case 13: return FM_BAD_KEY_LEN;
    case 15: return FM_NOT_ATTACHED;
    case 18:
    case 19: return FM_KEY_NO_DIFF;
    // A full disk or a full descriptor table is the caller's failure, not
    // the session's: the storage engine has left the pair as it was, so the
    // caller shows its message and the session goes on.
    case 22: return no_space(path, true);
    case 23:
      sys_err("UNIXIO", __LINE__, "TOO MANY OPEN FILES at %s", path && *path ? path : "<uknown>");
      return FM_IO_ERR;
    default: return FM_IO_ERR;
  }
}

int fill_bkey_from_kdb(KEY_DESC* out, const KDB* key, const KDB* primary) {
  *out = KEY_DESC{};
  int n = 0;
  auto add = [&](const KDB* k) {
    for (int j = 0; j < k->kdb_nsegs; ++j) {
      if (n == kBtMaxSegs) return false;
      const SDB& s = k->kdb_sdb[j];
      uint8_t order = GET_SEG_ORD(k->kdb_order, s.sdb_order);
      out->seg[n++] = BT_SEG{type_to_bktype(s.sdb_type, order), static_cast<uint8_t>(s.sdb_len), s.sdb_offset};
    }
    return true;
  };
  if (key->kdb_nsegs > kBtMaxSegs || !add(key)) return BRF_NO_KEY;
  if ((key->kdb_flags & KDB_DUP) && primary && !add(primary)) return BRF_NO_KEY;
  out->nsegs = static_cast<uint8_t>(n);
  return BRF_OK;
}

namespace {

constexpr char kUpgradeText[] = "Performing Some Routine Maintenance (Upgrading File Format) ... Please Wait";
constexpr char kRebuildText[] = "Performing Some Routine Maintenance (Rebuilding Data Index) ... Please Wait";

// Brings the data file to the current format under its update lock. A
// header that cannot be read is only initialised in an empty file.
int upgrade_data(BRF_FILE* b, bool status_line) {
  if (!bt_share_at(b->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE)) return BRF_LOCK_REFUSED;
  int st = brfgethdr(b) == BRF_SYS_ERR ? BRF_SYS_ERR : BRF_OK;  // a failed read: nothing is written
  if (st == BRF_OK && b->hdr.version != kBrfVersion) {
    bool existing = b->hdr.version != kVersionUnread;
    struct stat sb;
    if (!existing && kivo_fstat(b->slot, &sb) == 0 && sb.st_size > 0) st = BRF_BAD_DATA;
    if (st == BRF_OK && existing && !g_reached_keys) {
      fputs("Attempting to run 2.0.0 against 1.8.40-Apps and Sys Admin files\n", stderr);
      exit(1);
    }
    if (st == BRF_OK) {
      if (existing && status_line) bt_upd_stat(kUpgradeText);
      st = brf_upd_ver(b);
      if (existing && status_line) bt_upd_stat(nullptr);
    }
  }
  bt_share_at(b->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE);
  return st;
}

// A key the description defines that the key file does not: the key file
// is another file's, or the file's from before its description changed.
// Refused with a line that names it and says how it is built again.
// The open then moves it aside and builds it again (checked) unless another
// session has the file open; this line says what is true then.
int keys_do_not_fit(const UIO_FILE* f, int keyno) {
  char line[kUioPathLen + 300];
  snprintf(line, sizeof line,
           "%s.key does not fit the file: it has no key %d as the file's description defines it; it stays while the "
           "file is in use elsewhere, and the first open once nobody uses it moves it aside and builds it again",
           f->path, keyno);
  la_sys_err(line, 0);
  g_keys_unfit = true;
  return BRF_SYS_ERR;
}

// A key whose index cannot be built because records repeat a value it
// holds once: refused with a line that names the file and the value.
int repeated_values(const UIO_FILE* f, const KEY_DESC& d, int keyno, const uint8_t* null_rec, uint32_t rec_len) {
  uint8_t null_key[256] = {};
  if (null_rec) brf_build_key(d, null_rec, rec_len, null_key);
  key_repeats rep;
  if (brfgethdr(f->brf) != BRF_OK || brf_key_repeats(f->brf, d, null_key, 1, &rep) != BRF_OK || rep.first.empty())
    return BRF_DUP_KEY;
  char line[kUioPathLen + 400];
  snprintf(line, sizeof line,
           "%s.dat holds records that repeat the value %s of key %d, which the file's description keeps unique: the "
           "key's index cannot be built",
           f->path, brf_repeats_text(rep).c_str(), keyno);
  la_sys_err(line, 0);
  return BRF_SYS_ERR;
}

// Declares every key of the PFB in the key file (building a missing index).
int declare_keys(UIO_FILE* f, BRF_RCB* r, const PFB* pfb, bool create) {
  BT_FILE* kf = f->brf->key;
  bool fresh = brf_key_file.just_created && brf_key_file.just_created(kf);
  bool show = (fresh || kf->hdr[kHdrKeyCount] == 0) && f->brf->hdr.eofseek > kDataHeaderSize;
  if (show) bt_upd_stat(kRebuildText);
  // A key file without keys (missing, rebuilt) gets them whatever the file.
  create = create || fresh || kf->hdr[kHdrKeyCount] == 0;
  const KDB* primary = pfb_key(pfb, 0);
  int st = BRF_OK;
  for (int i = 0; i < pfb->pfb_nkeys && st == BRF_OK; ++i) {
    const KDB& k = pfb->pfb_kdb[i];
    KEY_DESC d;
    st = fill_bkey_from_kdb(&d, &k, primary && primary != &k ? primary : nullptr);
    bool null_rec = (k.kdb_flags & KDB_UPKEEP2) && pfb->pfb_null_rec;
    if (st == BRF_OK) {
      st = brfsetkey(r, &d, create, null_rec, pfb->pfb_null_rec);
      if (st == BRF_NO_KEY) st = keys_do_not_fit(f, k.kdb_keyno);
      if (st == BRF_DUP_KEY)
        st = repeated_values(f, d, k.kdb_keyno, null_rec ? pfb->pfb_null_rec : nullptr, pfb->pfb_rec_len);
    }
    if (st == BRF_OK) f->key_handle[k.kdb_keyno] = r->cursor->key;
  }
  if (show) bt_upd_stat(nullptr);
  return st;
}

}  // namespace

int vfy_ver(UIO_FILE* f, LFB* lfb, bool upgrade) {
  int st = BRF_OK;
  BRF_RCB* r = brfaccess(&st, f->brf, 0, false);
  if (!r) return st;
  bool cls1 = lfb->lfb_lfn->lfn_path.fdb_class == PATH_DATA;
  if (upgrade && f->brf->hdr.version != kBrfVersion) st = upgrade_data(f->brf, cls1);
  // A header that could not be read is said as it failed, not as a file of
  // another kind.
  if (st == BRF_OK && f->brf->hdr.version == kVersionUnread && brfgethdr(f->brf) == BRF_SYS_ERR) st = BRF_SYS_ERR;
  if (st == BRF_OK && f->brf->hdr.version != kBrfVersion) st = BRF_PAGE_FULL;  // 200510
  if (st == BRF_OK && f->brf->key) st = declare_keys(f, r, lfb->lfb_pfb, upgrade);
  // A pair a dead writer left marked is repaired at its opening, once every
  // key's null image is known.
  if (st == BRF_OK && f->brf->key) brf_repair_if_abandoned(r);
  if (st == BRF_OK || f->brf->key) g_reached_keys = true;
  brfdeaccess(r);
  if (st == BRF_OK) f->nkeys = lfb->lfb_pfb->pfb_nkeys;
  return st;
}

// ---- identity ----

namespace {

// The first temporary file of a folder in this process sweeps it of the
// temporary files a killed process left (a sort's work files, say): their
// names carry the process that made them.
void sweep_tmp_dir(const char* os_path) {
  static std::set<std::string> swept;
  const char* slash = strrchr(os_path, '/');
  if (!slash) return;
  const std::string dir(os_path, size_t(slash - os_path));
  if (swept.insert(dir).second) ss_tmp_sweep(dir.c_str());
}

// The first file of a folder in this process finishes what a change killed
// part-way left there (a design load's files set aside), before any of its
// files is opened.
void finish_set_aside(const char* os_path) {
  const char* slash = strrchr(os_path, '/');
  if (slash) set_aside_finish(std::string(os_path, size_t(slash - os_path)));
}

}  // namespace

int u_alloc_id(LFB* lfb, const cstr* root, const cstr* data_dir, const uint8_t* sysdir, const uint8_t* sysdflt) {
  FDB_PATH path = lfb->lfb_lfn->lfn_path;
  bool scoped = lfb->lfb_opt & LFB_SCOPED;
  if (!scoped) lfb->lfb_lfn->lfn_path.fdb_tmp_id = path.fdb_tmp_id = 0;
  // Without an installation root, files live under the data directory.
  const cstr* base = root && root->ptr && root->len && root->ptr[0] ? root : data_dir;
  int pst = 0;
  const cstr* os_path = ss_bld_path(&path, 0, base, sysdir, sysdflt, &pst);
  if (!os_path || os_path->len > kUioPathLen) {
    lfb->lfb_stat = FM_IO_ERR;
    return 0;
  }
  if (scoped && path.fdb_tmp_id) sweep_tmp_dir(os_path->ptr);
  finish_set_aside(os_path->ptr);
  UIO_FILE* f = nullptr;
  for (auto& e : g_idlist)
    if (strcmp(e->path, os_path->ptr) == 0) f = e.get();
  if (!f) {
    g_idlist.push_back(std::make_unique<UIO_FILE>());
    f = g_idlist.back().get();
    snprintf(f->path, sizeof f->path, "%s", os_path->ptr);
    f->id = ++g_next_id;
    f->scoped = scoped;
  }
  if ((sysdflt && has_text(sysdflt + SYSDFLT_OPTIONS, "track_locks")) ||
      (sysdir && has_text(sysdir + SYSDIR_OPTIONS, "track_locks")))
    f->flags |= kUioTrackLocks;
  PFB* pfb = lfb->lfb_pfb;
  pfb->pfb_id16 = kUioId16;
  pfb->pfb_id32 = f->id;
  pfb->pfb_fms_data = f;
  return 1;
}

int u_alloc_fi(LFB* lfb, const uint8_t*, const uint8_t*) {
  if (UIO_FILE* f = uio_file(lfb->lfb_pfb)) ++f->users;
  return 1;
}

int u_free_fi(LFB* lfb) {
  if (UIO_FILE* f = uio_file(lfb->lfb_pfb); f && f->users) --f->users;
  return 1;
}

int u_free_id(PFB* pfb) {
  UIO_FILE* f = uio_file(pfb);
  if (!f) return 1;
  if (f->brf) brfclose(f->brf);
  dump_stats(f);
  g_idlist.erase(std::find_if(g_idlist.begin(), g_idlist.end(), [f](auto& e) { return e.get() == f; }));
  pfb->pfb_fms_data = nullptr;
  pfb->pfb_id16 = 0;
  return 1;
}

// ---- streams ----

int u_attach(ARB* arb, STRM* strm) {
  UIO_FILE* f = strm_uio_file(strm);
  auto* u = new UIO_STRM;
  u->strm = strm;
  u->file = f;
  strm->strm_fms_path = u;
  strm->strm_fms_path_len = sizeof(UIO_STRM);
  f->streams.push_back(u);
  strm->strm_active = kStrmInactive;
  if (f->brf && !attach_rcb(f, u, arb)) {
    f->streams.pop_back();
    strm->strm_fms_path = nullptr;
    delete u;
    return 0;
  }
  return 1;
}

int u_detach(ARB*, STRM* strm) {
  UIO_STRM* u = uio_strm(strm);
  if (!u) return 1;
  auto& v = u->file->streams;
  v.erase(std::remove(v.begin(), v.end(), u), v.end());
  if (u->rcb) brfdeaccess(u->rcb);
  strm->strm_fms_path = nullptr;
  delete u;
  return 1;
}

// ---- open, create, close ----

int u_open(ARB* arb, STRM* strm) {
  UIO_FILE* f = strm_uio_file(strm);
  UIO_STRM* u = uio_strm(strm);
  LFB* lfb = strm->strm_lfb;
  upd_stats(f, ST_OPEN, true);
  bool not_required = lfb->lfb_opt & LFB_NOT_REQUIRED;
  bool defer = lfb->lfb_opt & LFB_DEFER;
  lfb->lfb_opt &= ~(LFB_NOT_REQUIRED | LFB_DEFER);
  if (!f->brf) {
    if (defer) {
      if (!master(strm)) sys_err("UNIXIO", __LINE__, "u_open() - defer requested for non-master STRM");
      return 1;
    }
    if (!check_keynos(lfb->lfb_pfb, arb)) return 0;
    int code = 0;
    f->brf = open_data(f, lfb, &code);
    if (f->brf) f->brf->write_behind = lfb->lfb_shr <= 1 && (lfb->lfb_opt & LFB_SCOPED);
    if (!f->brf) {
      if (!not_required) return fail(arb, convert_btree_error(code, f->path));
      if (!master(strm)) sys_err("UNIXIO", __LINE__, "u_open() - 'not required' for non-master STRM");
      return 1;
    }
    if (!checked(f, lfb, arb, upgrade_allowed(lfb))) return 0;
  } else if (len_differs(f->brf, lfb->lfb_pfb)) {
    return fail(arb, FM_REC_LEN_DIFF);
  }
  if (!attach_rcb(f, u, arb)) return 0;
  if ((lfb->lfb_opt & kLfbPreload) == kLfbPreload && !u->preloaded) {
    brf_preload(u->rcb);
    u->preloaded = true;
  }
  opened(f, strm);
  upd_stats(f, ST_OPEN, false);
  return 1;
}

int u_create(ARB* arb, STRM* strm) {
  UIO_FILE* f = strm_uio_file(strm);
  LFB* lfb = strm->strm_lfb;
  PFB* pfb = lfb->lfb_pfb;
  if (!check_keynos(pfb, arb)) return 0;
  std::string name = create_name(f, lfb);
  bool excl = lfb->lfb_shr <= 1;
  uint32_t status = 0;
  BRF_FILE* b = nullptr;
  for (;;) {
    int code = 0;
    b = create_once(name, pfb, excl, &code);
    if (!b) return fail(arb, code < 0 ? uint32_t{FM_NOT_OPEN} : convert_btree_error(code, name.c_str()));
    if (code == BRF_NOT_FOUND_FILE) break;  // created
    status = FM_EXISTS;
    if (!f->scoped) break;
    brfclose(b);
    uint32_t err = 0;
    if (uint32_t st = free_name(&name, &err)) return fail(arb, st, err);
    status = 0;
  }
  snprintf(f->path, sizeof f->path, "%s", name.c_str());
  f->scoped = false;
  f->brf = b;
  b->write_behind = excl && (lfb->lfb_opt & LFB_SCOPED);
  if (!checked(f, lfb, arb, true)) return 0;
  arb->arb_stat = status;
  if (!(lfb->lfb_opt & LFB_OPEN_NEW)) {
    brfclose(f->brf);
    f->brf = nullptr;
    return 1;
  }
  if (!attach_rcb(f, uio_strm(strm), arb)) return 0;
  lfb->lfb_opt &= ~(LFB_NOT_REQUIRED | LFB_DEFER);
  opened(f, strm);
  return 1;
}

int u_scratch(ARB* arb, STRM* strm) {
  UIO_FILE* f = strm_uio_file(strm);
  if (f->brf) return fail(arb, FM_FILE_OPEN);
  int slot = take_open_lock(f->path);
  if (slot == -2) return fail(arb, FM_FILE_OPEN);
  uint32_t err = 0;
  uint32_t st = remove_pair(f->path, &err);
  if (slot >= 0) kivo_close(slot);
  if (st == FM_NO_FILE) {
    arb->arb_stat = FM_NO_FILE;
    return 1;
  }
  return st ? fail(arb, st, err) : 1;
}

namespace {

// A stream no longer reads the data file: its control block (with its lock)
// goes, and its hold and position; an open or a record operation attaches
// it again.
void let_go(UIO_STRM* u) {
  if (u->rcb) brfdeaccess(u->rcb);
  u->rcb = nullptr;
  u->hold = UIO_NO_HOLD;
  u->pos = UIO_NO_POS;
  u->preloaded = false;
  u->strm->strm_active = kStrmInactive;
}

// Whether a logical file other than `lfb` has the data file open (a stream
// of it holds a control block).
bool open_elsewhere(const UIO_FILE* f, const LFB* lfb) {
  return std::any_of(f->streams.begin(), f->streams.end(),
                     [lfb](const UIO_STRM* u) { return u->rcb && u->strm->strm_lfb != lfb; });
}

}  // namespace

// The data file is closed with the last logical file that has it open, not
// with the last one that exists: a process's joined file outlives its close
// until its level ends, and counted as a user it kept the data file open
// under no handle, so that a scratch or replace was refused as open.
int u_close(ARB* arb, STRM* strm) {
  UIO_FILE* f = strm_uio_file(strm);
  PFB* pfb = strm_pfb(strm);
  const bool strm_only = arb->arb_mod & ARB_STRM_ONLY;
  const bool whole = (arb->arb_mod & ARB_CLOSE_NOW) || (!strm_only && !open_elsewhere(f, strm->strm_lfb));
  uint32_t lost = 0;  // the status of appends held back that did not reach the file
  if (f->brf && whole) {
    // A file scratched with its close loses nothing that matters.
    if (int st = arb->arb_mod & ARB_SCRATCH ? 0 : brf_wb_flush(f->brf)) lost = appends_lost(st, f->path);
    for (UIO_STRM* u : f->streams) let_go(u);
    brfclose(f->brf);
    f->brf = nullptr;
    f->open_count = 0;
    pfb->pfb_open = 0;
  } else if (!strm_only) {
    // Another logical file reads on: only this one's streams let go.
    for (UIO_STRM* u : f->streams)
      if (u->strm->strm_lfb == strm->strm_lfb) let_go(u);
    if (f->open_count) --f->open_count;
  } else if (UIO_STRM* u = uio_strm(strm)) {
    if (u->rcb) uio_drop_hold(u);
    u->hold = UIO_NO_HOLD;
    if (f->open_count) --f->open_count;
  }
  if ((arb->arb_mod & ARB_SCRATCH) && !pfb->pfb_open) return u_scratch(arb, strm);
  return lost ? fail(arb, lost) : 1;
}

// ---- rename: the stream's file (new) moves to the handle's file (old) ----

namespace {

// Copies every record of the pair `from` into a new pair `to`.
int copy_pair(const char* from, const char* to) {
  int st = 0;
  BRF_FILE* src = brfopen(&st, from, BRF_NO_KEYS, 0, false);
  if (!src) return st;
  uint32_t len_fixed = brf_fixed(src) ? src->hdr.rec_len : 0;
  if (len_fixed) {  // a fixed-length file has a header only beside its key file
    brfclose(src);
    if (!(src = brfopen(&st, from, BRF_CREATE, len_fixed, false))) return st;
  }
  BRF_FILE* dst = brfopen(&st, to, BRF_CREATE, len_fixed, true);
  if (!dst) {
    brfclose(src);
    return st;
  }
  st = brf_upd_ver(dst);
  BRF_RCB* r = st ? nullptr : brfaccess(&st, src, 0, false);
  BRF_RCB* w = r ? brfaccess(&st, dst, 0, false) : nullptr;
  if (w) {
    std::vector<uint8_t> buf(kMaxRecordLength);
    uint32_t len = 0;
    for (st = brffirst(r, buf.data(), buf.size(), &len); st == BRF_OK; st = brfnext(r, buf.data(), buf.size(), &len))
      if ((st = brfput(w, buf.data(), len)) != BRF_OK) break;
    if (st == BRF_EOF) st = BRF_OK;
  }
  if (w) brfdeaccess(w);
  if (r) brfdeaccess(r);
  brfclose(dst);
  brfclose(src);
  return st;
}

uint32_t move_file(const std::string& from, const std::string& to, uint32_t* err) {
  if (os_sys.rename(from.c_str(), to.c_str()) == 0) return 0;
  *err = static_cast<uint32_t>(errno);
  return errno_status(errno, "can't rename", from.c_str());
}

// Across devices: a copy beside the old file takes its name.
uint32_t replace_by_copy(const char* from, const char* to, uint32_t* err) {
  std::string tmp = std::string(to) + "~";
  if (int st = copy_pair(from, tmp.c_str())) {
    unlink((tmp + ".dat").c_str());
    unlink((tmp + ".key").c_str());
    return convert_btree_error(st, tmp.c_str());
  }
  if (os_sys.unlink(with_ext(to, ".key").c_str()) != 0 && errno != ENOENT)
    return errno_status(errno, "can't remove", to);
  if (uint32_t st = move_file(tmp + ".dat", with_ext(to, ".dat"), err)) return st;
  // The copy's key file holds no index: the next open builds them.
  os_sys.unlink((tmp + ".key").c_str());
  uint32_t ignored = 0;
  remove_pair(from, &ignored);
  return 0;
}

}  // namespace

int u_rename(ARB* arb, STRM* strm) {
  ARB* src_arb = strm->strm_sarb->sarb_arb;
  UIO_FILE* to = arb->arb_sarb && arb_strm(arb) ? strm_uio_file(arb_strm(arb)) : nullptr;
  UIO_FILE* from = strm_uio_file(strm);
  if (!to || !from) return fail(arb, FM_NOT_OPEN);
  if (to->brf || from->brf) return fail(arb, FM_FILE_OPEN);
  int slot = take_open_lock(to->path);
  if (slot == -2) return fail(arb, FM_FILE_OPEN);
  std::string old_key = with_ext(to->path, ".key"), old_dat = with_ext(to->path, ".dat");
  uint32_t err = 0;
  uint32_t st = 0;
  if (os_sys.unlink(old_key.c_str()) != 0 && errno != ENOENT) {
    err = static_cast<uint32_t>(errno);
    st = errno_status(errno, "can't remove", old_key.c_str());
  }
  if (!st) st = move_file(with_ext(from->path, ".dat"), old_dat, &err);
  if (st == FM_CROSS_DEVICE) st = replace_by_copy(from->path, to->path, &err);
  else if (!st && os_sys.rename(with_ext(from->path, ".key").c_str(), old_key.c_str()) != 0)
    os_sys.unlink(with_ext(from->path, ".key").c_str());  // the next open rebuilds it
  if (slot >= 0) kivo_close(slot);
  if (!st) return 1;
  fail(src_arb, st, err);
  return fail(arb, st, err);
}

int u_locate(ARB* arb, STRM* strm) {
  UIO_FILE* f = strm_uio_file(strm);
  struct stat st;
  if (f->brf || os_sys.stat(with_ext(f->path, ".dat").c_str(), &st) == 0) return 1;
  return fail(arb, FM_NO_FILE);
}

int u_nam(ARB*, STRM* copy) {
  UIO_FILE* f = copy->strm_lfb ? strm_uio_file(copy) : nullptr;
  copy->strm_fms_path = f ? f->path : nullptr;
  copy->strm_fms_path_len = f ? static_cast<uint16_t>(strlen(f->path)) : 0;
  return f != nullptr;
}

// ---- statistics ----

void upd_stats(UIO_FILE* f, int row, bool start) {
  if (!g_stats_log || !f) return;
  uio_stat_row& s = f->stats[row];
  long sec, usec;
  now(&sec, &usec);
  if (start) {
    s.start_sec = sec;
    s.start_usec = usec;
    return;
  }
  long es = sec - s.start_sec, eu = usec - s.start_usec;
  if (eu < 0) eu += 1000000, --es;
  if (es > s.max_sec || (es == s.max_sec && eu > s.max_usec)) s.max_sec = es, s.max_usec = eu;
  s.tot_usec += eu;
  s.tot_sec += es + s.tot_usec / 1000000;
  s.tot_usec %= 1000000;
  ++s.count;
}

void dump_stats(UIO_FILE* f) {
  if (!g_stats_log) return;
  if (g_stats_procs) {
    static char last[kProcNameLen];
    const char* cur = os_invoc.proc_nam();
    if (memcmp(last, cur, kProcNameLen) != 0) {
      memcpy(last, cur, kProcNameLen);
      fprintf(g_stats_log, "\n***--> Currently executing: %-*.*s\n\n", int(kProcNameLen), int(kProcNameLen), cur);
    }
  }
  print_stats(f);
}

void dump_all_stats() {
  if (!g_stats_log) return;
  for (auto& f : g_idlist) print_stats(f.get());
}

namespace {

// A new start (a forked engine, tests) keeps nothing of the blocks before:
// their data files belong to the descriptor table that was dropped. The
// process that opened them closes them; a forked child only forgets them,
// since closing would write headers its parent still uses.
void forget_files() {
  static pid_t opener = 0;
  const bool own = opener == getpid();
  for (auto& f : g_idlist) {
    for (UIO_STRM* u : f->streams) {
      if (own && u->rcb) brfdeaccess(u->rcb);
      delete u;
    }
    if (own && f->brf) brfclose(f->brf);
  }
  g_idlist.clear();
  opener = getpid();
}

void fill_fms_table(fms_fn& t) {
  t = fms_fn{};
  t.alloc_fi = u_alloc_fi;
  t.alloc_id = u_alloc_id;
  t.attach = u_attach;
  t.create = u_create;
  t.close = u_close;
  t.del = u_del;
  t.detach = u_detach;
  t.free_fi = u_free_fi;
  t.free_id = u_free_id;
  t.locate = u_locate;
  t.nam = u_nam;
  t.open = u_open;
  t.rdnxt = u_rdnxt;
  t.read = u_read;
  t.release = u_release;
  t.relocate = u_nam;
  t.rename = u_rename;
  t.rewrite = u_rewrite;
  t.scratch = u_scratch;
  t.start = u_start;
  t.write = u_write;
  t.transact = u_transact;
}

}  // namespace

int unix_fm_init() {
  if (!g_exit_registered) {
    atexit(brf_close_all_files);
    atexit(at_exit);
    g_exit_registered = true;
  }
  if (const char* log = getenv("KIVO_UNIXIO_STATS"); log && *log && !g_stats_log) {
    g_stats_log = fopen(log, "w");
    g_stats_procs = getenv("KIVO_UNIXIO_PROCS") != nullptr;
  }
  uio_short_tmp_names = getenv("KIVO_SHORT_TMP_NAMES") != nullptr;
  g_reached_keys = false;
  forget_files();
  fill_fms_table(unix_fms_fn);
  fms_install(FMS_NATIVE, &unix_fms_fn);
  brfinit();
  return 1;
}

void uio_for_each_stream(void (*fn)(UIO_STRM*)) {
  for (auto& f : g_idlist)
    for (UIO_STRM* u : f->streams) fn(u);
}

}  // namespace kivo
