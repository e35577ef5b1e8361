// The restructure run: the routine "DB_RESTRUCT" and its 0SA loop, the new
// layout in the "0DN" memory files, the design of the generated process
// "RESTRUCTURE", its run, and the swap of the new files for the old.
//
// Invariants: whatever becomes of the run, SYSDIR is put back, the new data
// and structure files are either swapped in whole or scratched, and the
// generated design is closed; the data file always has a structure file.
// Before it changes SYSDIR, and before it swaps, a run notes on disk what
// it changes: a run killed part-way leaves its new files and that note (so
// does a run whose structure file failed to follow its swapped data, which
// is a failure), and the next restructure of the file puts SYSDIR back, has
// the structure file follow data already swapped in, and removes the rest.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/pcb.h"
#include "compiler/stmt_layout.h"
#include "design/db_restruct.h"
#include "design/db_stmt.h"
#include "design/dd.h"
#include "design/dd_msg.h"
#include "design/design_builder.h"
#include "design/mu_xlate.h"
#include "fm/file_rec_view.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "fm/la.h"
#include "fm/struct_file.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/paths.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "process/fp.h"
#include "process/process.h"
#include "types/element.h"

namespace kivo {

namespace {

constexpr const char* kModule = "DB";
constexpr const char* kProcName = "RESTRUCTURE";
constexpr uint32_t kStructOpts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;
using rec_list = std::vector<std::vector<uint8_t>>;
using design_init = void (*)(FDB*, KDB*, SDB*, const char*, const char*);

enum : uint8_t { EP_START = 1, EP_POST_READ = 3, EP_END = 6 };
// ENTRY RESTRUCT STAT1 and STAT2 in the ENTRY record.
enum : size_t { kEntryStat1 = 884, kEntryStat2 = 888 };

bool every(const uint8_t*, const uint8_t*) { return true; }
bool same_file(const uint8_t* r, const uint8_t* from) { return memcmp(r + ELEM_FILE, from + ELEM_FILE, 8) == 0; }

// Every record of `a` in key `keyno` order (variable lengths kept).
bool all_records(ARB* a, uint8_t keyno, size_t len, rec_list* out) {
  std::vector<uint8_t> rec(len, 0);
  PROTO_FULL(a, keyno, rec.data());
  a->arb_len = static_cast<uint16_t>(len), a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return a->arb_stat == FM_NOT_FOUND || a->arb_stat == FM_EOF;
  for (;;) {
    a->arb_rec = rec.data(), a->arb_len = static_cast<uint16_t>(len), a->arb_var_len = 0, a->arb_mod = 0;
    if (!fm_rdnxt(a)) break;
    out->emplace_back(rec.begin(), rec.begin() + (a->arb_var_len ? a->arb_var_len : static_cast<long>(len)));
  }
  return true;
}

std::string name22(const uint8_t* e) { return std::string(reinterpret_cast<const char*>(e + ELEM_NAME), 22); }

// O for E in 0DO: by name, else by the two binaries.
bool old_of(ARB* old_elem, const uint8_t* e, uint8_t* o) {
  memset(o, 0, kElementSize);
  memcpy(o + ELEM_NAME, e + ELEM_NAME, 22);
  if (dd_read(old_elem, 0, o, kElementSize, false)) return true;
  memcpy(o + ELEM_BINARIES, e + ELEM_BINARIES, 8);
  return dd_read(old_elem, 4, o, kElementSize, false) == 1;
}

// ---- the statements ----

// SET of STAT1 to `status` and STAT2 to the file manager's status, then
// END, all with condition "F".
int failure_tail(uint8_t* st, ARB* a, int status, uint16_t end_verb) {
  return bld_token_set(st, a, "0LA", "ENTRY RESTRUCT STAT1", occ_lit(1), nullptr, status, occ_none(), "F") &&
         bld_full_set(st, a, "0LA", "ENTRY RESTRUCT STAT2", occ_lit(1), "0LA", "STATUS CODE", occ_lit(1), "F") &&
         bld_end_stmt(st, a, end_verb, "F");
}

FDB_PATH with_ap(const FDB_PATH& p, const char* ap) {
  FDB_PATH q = p;
  memcpy(q.fdb_ap, ap, 3);
  return q;
}

int bld_sop(uint8_t* st, ARB* a, const FDB_PATH& path) {
  stmt_start(st, PT_ACTION, kProcName, EP_START);
  if (!bld_trap_stmt(st, a, nullptr)) return 0;
  const struct {
    const char* field;
    const char* value;
    size_t len;
  } kOld[] = {{"OLD FI AP", path.fdb_ap, 3}, {"OLD FI VER", path.fdb_ver, 2},    {"OLD FI NAM", path.fdb_name, 8},
              {"OLD DB", path.fdb_db, 3},    {"OLD SRC AP", path.fdb_src_ap, 3}, {"OLD SRC VER", path.fdb_src_ver, 2}};
  for (auto& o : kOld)
    if (!bld_pdf_set(st, a, o.field, reinterpret_cast<const uint8_t*>(o.value), o.len)) return 0;
  return bld_fi_stmt(st, a, VERB_OPEN, with_ap(path, "0DO")) && failure_tail(st, a, RS_OLD_OPEN, VERB_END) &&
         bld_fi_stmt(st, a, VERB_CREATE, with_ap(path, "0DN")) && failure_tail(st, a, RS_NEW_CREATE, VERB_END) &&
         bld_token_set(st, a, "0LA", "ENTRY RESTRUCT STAT1", occ_lit(1), nullptr, RS_CONVERTED, occ_none(), nullptr) &&
         bld_restore_stmt(st, a, SR_INIT_RECORD, path.fdb_name, occ_blank(), nullptr, "0DO");
}

// Whether E is moved from O at all (a date only from a date whose levels
// overlap, or from text long enough to hold one).
bool movable(const uint8_t* e, const uint8_t* o) {
  if (e[ELEM_KIND] != 1 && o[ELEM_KIND] != 1) return false;
  if (e[ELEM_KIND] == 2 || e[ELEM_KIND] == 5 || o[ELEM_KIND] == 2) return false;
  if (e[ELEM_KIND] == 4 || !IS_ELEM_DATE(e[ELEM_TYPE])) return true;
  if (IS_ELEM_DATE(o[ELEM_TYPE]) && (o[ELEM_HI] < e[ELEM_LO] || o[ELEM_LO] > e[ELEM_HI])) return false;
  return !(o[ELEM_TYPE] == 1 && ld_le16(o, ELEM_SIZE) < 16);
}

int bld_post_pcf_read(uint8_t* st, ARB* a, const FDB_PATH& path, restruct_ctx* ctx) {
  stmt_start(st, PT_ACTION, kProcName, EP_POST_READ);
  if (!bld_trap_stmt(st, a, nullptr)) return 0;
  rec_list elems;
  uint8_t from[kElementSize] = {};
  if (!dd_scan(ctx->arb[RC_NEW_ELEM], 0, from, kElementSize, every, &elems))
    return checkstat(ctx->arb[RC_NEW_ELEM]->arb_stat, "Bad elem attach", kModule, __LINE__), 0;
  std::string key_field;
  for (auto& rec : elems) {
    const uint8_t* e = rec.data();
    uint8_t o[kElementSize];
    if (!old_of(ctx->arb[RC_OLD_ELEM], e, o)) continue;
    if (o[ELEM_KEY_ROLE] == 0) key_field = name22(o);
    if (!movable(e, o)) continue;
    const std::string en = name22(e), on = name22(o);
    char over[kLabelLen], cont[kLabelLen];
    stmt_label(en.c_str(), "OVERFLOW", over), stmt_label(en.c_str(), "CONTINUE", cont);
    if (e[ELEM_KIND] == 4) {
      uint8_t base[kElementSize] = {};
      memcpy(base + ELEM_NAME, e + ELEM_DOMAIN, 22);
      if (!dd_read(ctx->arb[RC_OLD_ELEM], 0, base, kElementSize, false)) {
        if (ctx->arb[RC_OLD_ELEM]->arb_stat != FM_NOT_FOUND)
          checkstat(ctx->arb[RC_OLD_ELEM]->arb_stat, "Bad elem read", kModule, __LINE__);
        continue;
      }
      if (base[ELEM_KIND] != 2) continue;
    } else if (ld_le16(e, ELEM_OCCURS) > 1) {
      const uint16_t n = std::min(ld_le16(e, ELEM_OCCURS), std::max<uint16_t>(ld_le16(o, ELEM_OCCURS), 1));
      if (!bld_loop(st, a, en.c_str(), on.c_str(), n)) return 0;
      continue;
    }
    if (!bld_overflow_stmt(st, a, over, nullptr) ||
        !bld_full_set(st, a, "0DN", en.c_str(), occ_lit(1), "0DO", on.c_str(), occ_lit(1), nullptr) ||
        !bld_goto_stmt(st, a, cont, nullptr) || !bld_label_stmt(st, a, over) ||
        !bld_restore_stmt(st, a, SR_INIT_FIELD, en.c_str(), occ_lit(1), nullptr, "0DN") || !bld_label_stmt(st, a, cont))
      return 0;
  }
  if (!bld_write_stmt(st, a, path)) return 0;
  // The old record returns to its initial values before the next read; its
  // key field keeps the value the read positioned on.
  const bool key = !key_field.empty();
  if (key && !bld_store_stmt(st, a, SR_FIELD, key_field.c_str(), occ_lit(1), nullptr, "0DO")) return 0;
  if (!bld_restore_stmt(st, a, SR_INIT_RECORD, path.fdb_name, occ_blank(), nullptr, "0DO")) return 0;
  if (key && !bld_restore_stmt(st, a, SR_FIELD, key_field.c_str(), occ_lit(1), nullptr, "0DO")) return 0;
  return failure_tail(st, a, RS_WRITE, VERB_END);
}

int bld_eop_entry(uint8_t* st, ARB* a, const FDB_PATH& path) {
  st[STMT_PROC_TYPE] = PT_ACTION;
  memcpy(st + STMT_PROC_NAME, "RESTRUCTURE                   ", 30);
  return bld_eop(st, a, path) && bld_trap_stmt(st, a, nullptr) && bld_eop_re_store(st, a, VERB_STORE) &&
         bld_read_entry_stmt(st, a) && bld_eop_re_store(st, a, VERB_RESTORE) && bld_eop_rewrite(st, a);
}

// ---- the records of the generated process ----

void put_text(void* dst, size_t width, const char* s) {
  SET_BLANK(dst, width);
  memcpy(dst, s, strnlen(s, width));
}

void process_rec(uint8_t* pr, const char* pcf_ap, const char* name8, const char* desc, const char* print8) {
  memset(pr, 0, kProcRecSize);
  pr[PR_TYPE] = PT_ACTION;
  put_text(pr + PR_NAME, 30, kProcName);
  pr[PR_ACTIVE] = '1';
  put_text(pr + PR_DESC, 30, desc);
  pr[PR_SAVE] = '0';
  SET_BLANK(pr + PR_SECR, 4);
  memcpy(pr + PR_PCF_UPDATE, "111", 3);
  memcpy(pr + PR_PCF_AP, pcf_ap, 3);
  memcpy(pr + PR_PCF_NAME, name8, 8);
  SET_BLANK(pr + PR_ALT_KEY, 22);
  pr[PR_TITLE] = pr[PR_TITLE + 1] = '"';
  SET_BLANK(pr + PR_TITLE + 2, 58);
  memcpy(pr + PR_PRINT_FILE, print8, 8);
  pr[PR_ALOG] = '0';
}

void frame_rec(uint8_t* fr) {
  memset(fr, 0, kFrameRecSize);
  fr[FR_TYPE] = PT_ACTION;
  put_text(fr + FR_NAME, 30, kProcName);
  st_le32(fr, FR_NUMBER, 1);
  fr[FR_ENABLED] = 1;
}

void param_rec(uint8_t* pa) {
  memset(pa, 0, kParamRecSize);
  SET_BLANK(pa + 169, 25);
}

// ---- the run's note ----

// What a run changes before its end and puts back or replaces at its end,
// noted beside its new files ("Struct/<pid>NAME.run") so that the next
// restructure of the file can finish a killed run's work. A line per
// change, on disk before the change is made, its fields in hexadecimal:
//   sysdir <key> <byte>  the file's SYSDIR key and the check byte it had,
//                        before the byte becomes '0' and 0DN's record is made;
//   swap <path>          the old structure file's path (no extension),
//                        before the new data takes the old data's name.
// A run that ends removes its note, unless what it noted is left half
// done (its data swapped in, its structure not): the note then stays for
// the next restructure of the file to finish.
class run_note {
 public:
  run_note() = default;
  run_note(const run_note&) = delete;
  run_note& operator=(const run_note&) = delete;
  ~run_note() {
    if (fd_ >= 0) close(fd_);
  }
  // Creates the note at `path` (its folder made when missing).
  bool start(const std::string& path) {
    path_ = path;
    if (!path.empty() && ss_make_path(path.c_str()))
      fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) sys_err(kModule, __LINE__, "can't make %s: %s", path.c_str(), strerror(errno));
    return fd_ >= 0;
  }
  // Appends `line` and flushes it to the disk.
  bool add(const std::string& line) {
    const std::string l = line + "\n";
    if (fd_ >= 0 && write(fd_, l.data(), l.size()) == static_cast<ssize_t>(l.size()) && fsync(fd_) == 0) return true;
    sys_err(kModule, __LINE__, "can't write %s: %s", path_.c_str(), strerror(errno));
    return false;
  }
  // What it noted is left for the next run: drop keeps the note.
  void keep() { kept_ = true; }
  // What it noted is put back or replaced: the note goes.
  void drop() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
    if (!kept_) unlink(path_.c_str());
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool kept_ = false;
};

std::string to_hex(const void* data, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = static_cast<const uint8_t*>(data)[i];
    out += kDigits[b >> 4], out += kDigits[b & 15];
  }
  return out;
}
std::string to_hex(const std::string& s) { return to_hex(s.data(), s.size()); }

// The bytes of `hex`; false when it is not hexadecimal pairs.
bool from_hex(const std::string& hex, std::string* out) {
  if (hex.size() % 2 || hex.find_first_not_of("0123456789ABCDEF") != std::string::npos) return false;
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2)
    out->push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return true;
}

// ---- SYSDIR ----

struct sysdir_swap {
  ARB* arb = nullptr;
  bool kept = false, made = false;
  uint8_t old_rec[kSysdirLen];
};

void sysdir_key_of(const FDB_PATH& p, const char* ap, uint8_t* key) {
  memset(key, ' ', 16);
  memcpy(key + SYSDIR_DB, p.fdb_db, 3);
  memcpy(key + SYSDIR_AP, ap, 3);
  memcpy(key + SYSDIR_NAME, p.fdb_name, 8);
}

// SYSDIR, open; null after the system error.
ARB* sysdir_open() {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DSYSDIR_FDB(&fdb, kdb, sdb);
  if (FM_OPEN(&fdb, com.sys_scope, 0x500, 0x0f, 0x0f)) return fdb.fdb_arb;
  checkstat(fdb.fdb_stat, "open failed", kModule, __LINE__);
  return nullptr;
}

// Deletes 0DN's record beside the file's record `key`.
void sysdir_delete_0dn(ARB* a, const uint8_t* key) {
  uint8_t rec[kSysdirLen] = {};
  memcpy(rec, key, 16);
  memcpy(rec + SYSDIR_AP, "0DN", 3);
  dd_delete(a, 0, rec, kSysdirLen);
}

// The file's record with check byte '0' while the run lasts, and one for
// 0DN with its contents so that the new file lies beside the old. False,
// with nothing changed, when the note of the byte cannot be written.
bool sysdir_enter(const FDB_PATH& path, sysdir_swap* s, run_note* note) {
  if (!(s->arb = sysdir_open())) return true;
  uint8_t rec[kSysdirLen] = {};
  sysdir_key_of(path, path.fdb_ap, rec);
  if (!dd_read(s->arb, 0, rec, kSysdirLen, true)) return true;
  if (!note->add("sysdir " + to_hex(rec, 16) + " " + to_hex(rec + SYSDIR_CHECK, 1))) return false;
  memcpy(s->old_rec, rec, kSysdirLen);
  s->kept = true;
  rec[SYSDIR_CHECK] = '0';
  if (!dd_rewrite(s->arb, rec, kSysdirLen)) checkstat(s->arb->arb_stat, "can't update sysdir", kModule, __LINE__);
  memcpy(rec + SYSDIR_AP, "0DN", 3);
  uint8_t there[kSysdirLen];
  memcpy(there, rec, kSysdirLen);
  s->made = dd_read(s->arb, 0, there, kSysdirLen, true) ? dd_rewrite(s->arb, rec, kSysdirLen)
                                                        : dd_write(s->arb, rec, kSysdirLen);
  return true;
}

void sysdir_leave(sysdir_swap* s) {
  if (!s->arb) return;
  if (s->kept) {
    uint8_t rec[kSysdirLen];
    memcpy(rec, s->old_rec, kSysdirLen);
    if (!dd_read(s->arb, 0, rec, kSysdirLen, true) || !dd_rewrite(s->arb, s->old_rec, kSysdirLen))
      checkstat(s->arb->arb_stat, "can't restore sysdir", kModule, __LINE__);
  }
  if (s->made) sysdir_delete_0dn(s->arb, s->old_rec);
  FM_CLOSE(s->arb, 0);
  s->arb = nullptr;
}

// What a killed run noted of SYSDIR: the check byte goes back into the
// record of `key`, unless someone changed it from the run's '0' since, and
// the run's 0DN record goes.
void sysdir_put_back(const uint8_t* key, uint8_t check) {
  ARB* a = sysdir_open();
  if (!a) return;
  uint8_t rec[kSysdirLen] = {};
  memcpy(rec, key, 16);
  if (dd_read(a, 0, rec, kSysdirLen, true) && rec[SYSDIR_CHECK] == '0' && check != '0') {
    rec[SYSDIR_CHECK] = check;
    if (!dd_rewrite(a, rec, kSysdirLen)) checkstat(a->arb_stat, "can't restore sysdir", kModule, __LINE__);
  }
  sysdir_delete_0dn(a, key);
  FM_CLOSE(a, 0);
}

// ---- the run ----

uint32_t read_stat(int which) {
  uint8_t rec[kEntryRecLen];
  if (!ENTRY) return sys_err(kModule, __LINE__, "Can't read ENTRY"), 0;
  ENTRY->arb_rec = rec, ENTRY->arb_len = kEntryRecLen, ENTRY->arb_var_len = 0, ENTRY->arb_keyno = 0;
  ENTRY->arb_key = nullptr, ENTRY->arb_relno = 1, ENTRY->arb_mod = 0;
  if (!fm_read(ENTRY)) return checkstat(ENTRY->arb_stat, "Can't read ENTRY", kModule, __LINE__), 0;
  return ld_le32(rec, which == 1 ? kEntryStat1 : kEntryStat2);
}

// Sets STAT1, and STAT2 too when `stat2` is given.
void set_stats(uint32_t v, const uint32_t* stat2) {
  uint8_t rec[kEntryRecLen];
  if (!ENTRY) return;
  ENTRY->arb_rec = rec, ENTRY->arb_len = kEntryRecLen, ENTRY->arb_var_len = 0, ENTRY->arb_keyno = 0;
  ENTRY->arb_key = nullptr, ENTRY->arb_relno = 1, ENTRY->arb_mod = ARB_HOLD;
  const int ok = fm_read(ENTRY);
  ENTRY->arb_mod = 0;
  if (!ok) return checkstat(ENTRY->arb_stat, "Can't read ENTRY", kModule, __LINE__);
  st_le32(rec, kEntryStat1, v);
  if (stat2) st_le32(rec, kEntryStat2, *stat2);
  ENTRY->arb_rec = rec;
  if (!fm_rewrite(ENTRY)) checkstat(ENTRY->arb_stat, "Can't read ENTRY", kModule, __LINE__);
}

void set_stat1(uint32_t v) { set_stats(v, nullptr); }

// Clears STAT1 and STAT2 before a run: a run that never gets to set them
// must not report the last one's.
void clear_stats() {
  const uint32_t zero = 0;
  set_stats(0, &zero);
}

}  // namespace

int bld_restruct_stmts(const FDB_PATH& path, restruct_ctx* ctx, ARB* a) {
  uint8_t st[kStmtSize];
  return bld_sop(st, a, path) && bld_post_pcf_read(st, a, path, ctx) && bld_eop_entry(st, a, path);
}

// The invocation of the generated process, run under a recovery point; the
// end code, with a fatal signal's recovery armed again.
uint32_t db_run_generated(PCB* caller, const char* ver) {
  INVOC v = pi_invoc;
  memcpy(v.ap_id(), "0DN", 3);
  memcpy(v.ver(), ver, 2);
  v.set_proc_type(PT_ACTION);
  put_text(v.proc_nam(), kProcNameLen, kProcName);
  v.set_invoc_type(2);
  v.set_end_code(0);
  const uint32_t m = MARK(
      MARK_RECOVERY,
      [&] {
        if (caller) pi_exec_child(caller, &v);
        else pi_exec(&v);
      },
      ut_cleanup);
  const uint32_t code = m == 1 ? v.end_code() : m;
  if (code == PI_END_FATAL) ss_reset_sig_handler();
  return code;
}

void db_status_of_end(uint32_t code) {
  if (code == PI_END_PROCESS) return;
  set_stat1(code == PI_END_CANCEL ? RS_CANCELLED : RS_FAILED);
}

uint32_t db_entry_stat(int which) { return read_stat(which); }

int add_dap(const char* ap, const char* ver) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DAP_FDB(&fdb, kdb, sdb);
  if (!FM_OPEN(&fdb, com.proc_scope, 0, 0x0f, 0x0f))
    return checkstat(fdb.fdb_stat, "Bad appl file open ", kModule, __LINE__), 0;
  ARB* a = fdb.fdb_arb;
  uint8_t rec[kApplRecLen] = {};
  SET_BLANK(rec, 4);
  memcpy(rec + 4, ap, 3);
  memcpy(rec + 7, ver, 2);
  SET_BLANK(rec + 188, 60);
  ss_clock now;
  os_kivo_time(&now);
  ss_clock_store(rec + 296, now);
  uint8_t there[kApplRecLen];
  memcpy(there, rec, kApplRecLen);
  const int ok =
      dd_read(a, 0, there, kApplRecLen, true) ? dd_rewrite(a, rec, kApplRecLen) : dd_write(a, rec, kApplRecLen);
  if (!ok) checkstat(a->arb_stat, "Bad appl file write ", kModule, __LINE__);
  FM_CLOSE(a, 0);
  return ok;
}

int bit_search(restruct_ctx* ctx, uint32_t* number) {
  DesignBuilder b(ctx->ap, ctx->ver, com.proc_scope);
  const uint32_t n = b.bit_search(0);
  b.close_all();
  if (!n) return sys_err(kModule, __LINE__, "Read bitmap file %s", b.error().c_str()), 0;
  *number = n;
  return 1;
}

namespace {

// The file's record, its numbers searched again when they ran past the
// numbered range, into the new FILE file.
int copy_file_rec(const FDB_PATH& path, restruct_ctx* ctx, uint8_t* fi) {
  memcpy(fi + FI_NAME, path.fdb_name, 8);
  if (!dd_read(ctx->arb[RC_FILE], 0, fi, kFileRecSize, false))
    return checkstat(ctx->arb[RC_FILE]->arb_stat, "FILE file read", kModule, __LINE__), 0;
  fi[FI_ALLOC_ROW] = fi[FI_ALLOC_COL] = 255;
  for (size_t at : {size_t{FI_NUMBER}, size_t{FI_NUMBER2}}) {
    uint32_t n = ld_le32(fi, at);
    if (n > 1000000 && !bit_search(ctx, &n)) return 0;
    st_le32(fi, at, n);
  }
  if (!db_put_rec(ctx->arb[RC_NEW_FILE], fi, kFileRecSize, 0))
    return checkstat(ctx->arb[RC_NEW_FILE]->arb_stat, "FILE file write ", kModule, __LINE__), 0;
  return 1;
}

// The file's elements, numbered with the file, and its initial values.
int copy_elems_and_inits(const FDB_PATH& path, restruct_ctx* ctx, const uint8_t* fi) {
  rec_list elems, inits;
  uint8_t from[kElementSize] = {};
  memcpy(from + ELEM_FILE, path.fdb_name, 8);
  if (!dd_scan(ctx->arb[RC_ELEM], 2, from, kElementSize, same_file, &elems))
    return checkstat(ctx->arb[RC_ELEM]->arb_stat, "Bad elem attach", kModule, __LINE__), 0;
  for (auto& e : elems) {
    st_le32(e.data(), ELEM_NUMBER, file_rec_view(fi).number());
    if (!db_put_rec(ctx->arb[RC_NEW_ELEM], e.data(), kElementSize, 0))
      return checkstat(ctx->arb[RC_NEW_ELEM]->arb_stat, "Bad elem write", kModule, __LINE__), 0;
  }
  if (!all_records(ctx->arb[RC_INIT], 0, kInitRecMax, &inits))
    return checkstat(ctx->arb[RC_INIT]->arb_stat, "Bad init attach", kModule, __LINE__), 0;
  for (auto& r : inits)
    if (!memcmp(r.data() + INIT_FILE, path.fdb_name, 8) &&
        !db_put_rec(ctx->arb[RC_NEW_INIT], r.data(), kInitRecMax, r.size()))
      return checkstat(ctx->arb[RC_NEW_INIT]->arb_stat, "Bad elem write", kModule, __LINE__), 0;
  return 1;
}

// The application's tokens into both the new and the old token files; an
// application without a token file has none.
int copy_tokens(restruct_ctx* ctx) {
  rec_list tokens;
  FDB t;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DTOKEN_FDB(&t, kdb, sdb, std::string(ctx->ap, 3).c_str(), std::string(ctx->ver, 2).c_str());
  if (!FM_OPEN(&t, com.proc_scope, kStructOpts, 0x0f, 0x0f)) {
    const uint32_t st = t.fdb_stat;
    if (st != FM_NO_FILE) return checkstat(st, "token file open", kModule, __LINE__), 0;
    return 1;
  }
  const bool read = all_records(t.fdb_arb, 0, t.fdb_rec_len, &tokens);
  const size_t tlen = t.fdb_rec_len;
  FM_CLOSE(t.fdb_arb, 0);
  if (!read) return checkstat(t.fdb_stat, "token file open", kModule, __LINE__), 0;
  for (auto& r : tokens)
    for (int slot : {RC_NEW_TOKEN, RC_OLD_TOKEN})
      if (!db_put_rec(ctx->arb[slot], r.data(), tlen, r.size() == tlen ? 0 : r.size()))
        return checkstat(ctx->arb[slot]->arb_stat, "Bad token write", kModule, __LINE__), 0;
  return 1;
}

}  // namespace

int bld_new_src_fi(const FDB_PATH& path, restruct_ctx* ctx) {
  if (!(ctx->arb[RC_NEW_FILE] = db_create_memory(INIT_DFI_FDB, "0DN", "Memory element file create")) ||
      !(ctx->arb[RC_NEW_ELEM] = db_create_memory(INIT_DELEM_FDB, "0DN", "Memory element file create")) ||
      !(ctx->arb[RC_NEW_INIT] = db_create_memory(INIT_DINIT_FDB, "0DN", "Memory Initial File Create")) ||
      !(ctx->arb[RC_NEW_TOKEN] = db_create_memory(INIT_DTOKEN_FDB, "0DN", "Memory token file create")) ||
      !(ctx->arb[RC_OLD_TOKEN] = db_create_memory(INIT_DTOKEN_FDB, "0DO", "Memory token file create")))
    return 0;
  uint8_t fi[kFileRecSize] = {};
  return copy_file_rec(path, ctx, fi) && copy_elems_and_inits(path, ctx, fi) && copy_tokens(ctx);
}

namespace {

// The compiled descriptor of `ap` `name` in the module's compiled files.
bool compiled_desc(EM* em, const char* ap, const char* name8, FDB* out) {
  uint8_t key[CFI_LEN] = {};
  PROTO_FULL(em->em_cfi_arb, 0, key);
  em->em_cfi_arb->arb_mod = ARB_FIRST;
  if (!fm_start(em->em_cfi_arb)) return false;
  while (uint8_t* c = fm_rdnxt_fast(em->em_cfi_arb, 0))
    if (!memcmp(c + FDB_AP, ap, 3) && !memcmp(c + FDB_NAME, name8, 8)) return em_cfi_desc(em, c, out) == 1;
  return false;
}

void struct_desc(const FDB_PATH& p, FDB* s) {
  INIT_DSTRUCT_FDB(s);
  s->path = p;
  s->path.fdb_class = PATH_STRUCT;
  s->fdb_opt = kStructOpts;
}

// Scratches whatever the new data file and its structure file are.
void scratch_new(const FDB& new_fdb) {
  FDB n = new_fdb, s;
  n.fdb_opt |= kStructOpts;
  struct_desc(n.path, &s);
  FM_SCRATCH(&n, n.fdb_opt | LFB_FORCE);
  FM_SCRATCH(&s, s.fdb_opt | LFB_FORCE);
}

// The operating-system path (no extension) of the file `fdb` names, as
// its back-end opens it; empty when it does not open.
std::string os_name_of(const FDB& fdb) {
  FDB f = fdb;
  if (!FM_OPEN(&f, com.proc_scope, f.fdb_opt, 0x0f, 0x0f)) return {};
  uint16_t len = 0;
  const void* name = nullptr;
  std::string out;
  if (fm_nam(f.fdb_arb, &len, &name) && name)
    out.assign(static_cast<const char*>(name), strnlen(static_cast<const char*>(name), len));
  FM_CLOSE(f.fdb_arb, 0);
  return out;
}

// Step 9: the new files in place of the old ones when converted, else gone
// and the run a failure. The swap is noted first: a run killed between the
// two replaces leaves the new data under the old name, and the next run has
// the structure follow it.
void swap_files(const FDB_PATH& path, EM* em, uint32_t stat1, run_note* note) {
  FDB old_fdb, new_fdb;
  if (!em || !compiled_desc(em, "0DO", path.fdb_name, &old_fdb) || !compiled_desc(em, "0DN", path.fdb_name, &new_fdb)) {
    checkstat(0, "Bad compiled file read ", kModule, __LINE__);
    set_stat1(RS_FAILED);
    FDB n{};
    n.path = with_ap(path, "0DN");
    n.fdb_fs_type = FS_DISK;
    return scratch_new(n);
  }
  memcpy(old_fdb.path.fdb_ap, path.fdb_ap, 3), memcpy(old_fdb.path.fdb_ver, path.fdb_ver, 2);
  memcpy(old_fdb.path.fdb_src_ap, path.fdb_src_ap, 3), memcpy(old_fdb.path.fdb_src_ver, path.fdb_src_ver, 2);
  memcpy(old_fdb.path.fdb_db, path.fdb_db, 3), memcpy(new_fdb.path.fdb_db, path.fdb_db, 3);
  old_fdb.fdb_opt = (old_fdb.fdb_opt & ~uint32_t{0x200}) | kStructOpts;
  new_fdb.fdb_opt = (new_fdb.fdb_opt & ~uint32_t{0x200}) | kStructOpts;
  if (stat1 != RS_CONVERTED) return scratch_new(new_fdb);
  FDB os, ns;
  struct_desc(old_fdb.path, &os);
  struct_desc(new_fdb.path, &ns);
  const std::string old_struct = os_name_of(os);
  if (old_struct.empty() || !note->add("swap " + to_hex(old_struct))) {
    if (old_struct.empty()) checkstat(0, "Bad file copy", kModule, __LINE__);
    set_stat1(RS_FAILED);
    return scratch_new(new_fdb);
  }
  // The data, then its structure: the old data stays with its old
  // structure when the first replace fails.
  if (!fm_replace(&old_fdb, &new_fdb, 0)) {
    checkstat(old_fdb.fdb_stat, "Bad file copy", kModule, __LINE__);
    set_stat1(RS_FAILED);
    return scratch_new(new_fdb);
  }
  // The new data is in place but not the structure that describes it: no
  // conversion yet. The note stays, so the next run has the structure
  // follow; until then the file's opens refuse it for its structure.
  if (!fm_replace(&os, &ns, 0)) {
    checkstat(os.fdb_stat, "Bad file copy", kModule, __LINE__);
    set_stat1(RS_FAILED);
    note->keep();
  }
}

// ---- what a killed run left ----

// The new file of a run lies in the root's Data folder, and its structure
// file and note in Struct, named by the run's process id (hexadecimal) and
// the file's name: "Data/<pid>ACCOUNT.dat". The OS path (no extension) of
// the new data or structure file of this process; empty when it cannot be
// built.
std::string new_os_path(const FDB_PATH& path, uint8_t cls) {
  FDB_PATH p = with_ap(path, "0DN");
  p.fdb_class = cls;
  const cstr* base = com.path_root.ptr && com.path_root.len && com.path_root.ptr[0] ? &com.path_root : &com.data_dir;
  const cstr* os = ss_bld_path(&p, 0, base, nullptr, nullptr);
  return os ? std::string(os->ptr) : std::string();
}

// Whether some process holds the data file open: its open takes the
// header lock on byte 1 for as long as it keeps the file.
bool held_open(const std::string& dat) {
  const int fd = open(dat.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock l {};
  l.l_type = F_WRLCK;
  l.l_whence = SEEK_SET;
  l.l_start = 1;
  l.l_len = 1;
  const bool held = fcntl(fd, F_GETLK, &l) == 0 && l.l_type != F_UNLCK;
  close(fd);
  return held;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The lines of a note that its run finished writing.
std::vector<std::string> note_lines(const std::string& path) {
  std::vector<std::string> out;
  FILE* f = fopen(path.c_str(), "re");
  if (!f) return out;
  char line[1024];
  while (fgets(line, sizeof line, f))
    if (const size_t n = strlen(line); n && line[n - 1] == '\n') out.emplace_back(line, n - 1);
  fclose(f);
  return out;
}

// The new structure file `from` takes the name `to` (both without
// extension), as the replace of a structure file does.
bool struct_follows(const std::string& from, const std::string& to) {
  if ((unlink((to + ".key").c_str()) != 0 && errno != ENOENT) ||
      rename((from + ".dat").c_str(), (to + ".dat").c_str()) != 0) {
    sys_err(kModule, __LINE__, "can't move %s.dat to %s.dat: %s", from.c_str(), to.c_str(), strerror(errno));
    return false;
  }
  if (rename((from + ".key").c_str(), (to + ".key").c_str()) != 0) unlink((from + ".key").c_str());
  return true;
}

// Finishes the run of a dead process whose new files are `data` and
// `strc` (no extension) from what its note says: a structure left behind
// by data swapped in follows it, the SYSDIR record is put back; then its
// files go, the note last. False when the structure cannot follow its
// data: everything stays for a later run.
// What the note at `path` says: the SYSDIR key and the check byte it had,
// the old structure file's path; each empty when not noted.
struct noted {
  std::string key, check, old_struct;
};
noted read_note(const std::string& path) {
  noted n;
  for (const std::string& line : note_lines(path)) {
    const size_t sp = line.find(' '), sp2 = line.find(' ', sp + 1);
    const std::string what = line.substr(0, sp);
    std::string k, c;
    if (what == "sysdir" && sp2 != std::string::npos && from_hex(line.substr(sp + 1, sp2 - sp - 1), &k) &&
        k.size() == 16 && from_hex(line.substr(sp2 + 1), &c) && c.size() == 1)
      n.key = k, n.check = c;
    else if (what == "swap" && sp != std::string::npos) from_hex(line.substr(sp + 1), &n.old_struct);
  }
  return n;
}

bool finish_dead_run(const std::string& data, const std::string& strc) {
  const std::string note = strc + ".run";
  const auto [key, check, old_struct] = read_note(note);
  if (!old_struct.empty() && !exists(data + ".dat") && exists(strc + ".dat") && !struct_follows(strc, old_struct))
    return false;
  if (!key.empty()) sysdir_put_back(reinterpret_cast<const uint8_t*>(key.data()), static_cast<uint8_t>(check[0]));
  for (const std::string& f : {data, strc})
    for (const char* ext : {".key", ".dat"}) unlink((f + ext).c_str());
  unlink(note.c_str());
  return true;
}

// Finishes what runs of dead processes left for files of `path`'s name: a
// run killed part-way never got to swap or scratch its new files nor to put
// SYSDIR back. So too what an earlier run of this process left (a structure
// swap that failed): no run of this process goes on while a new one starts.
// While a run of a file of that name lives (its process, or
// some process holding its new data open), the dead runs' files stay for
// a later run: it may have taken the dead run's SYSDIR byte for the file's
// own. False when a dead run's structure cannot follow its swapped data.
bool finish_dead_runs(const FDB_PATH& path) {
  const std::string dat = new_os_path(path, PATH_DATA), stc = new_os_path(path, PATH_STRUCT);
  const size_t slash = dat.rfind('/'), sslash = stc.rfind('/');
  if (slash == std::string::npos || sslash == std::string::npos) return true;
  char own[16];
  snprintf(own, sizeof own, "%X", static_cast<unsigned>(getpid()));
  // This process's name, less its id: the file's name as the paths end.
  const std::string tail = dat.substr(slash + 1 + strlen(own));
  const std::string dir = dat.substr(0, slash), sdir = stc.substr(0, sslash);
  std::vector<std::string> ids;  // of the other runs, as named
  for (const std::string& folder : {dir, sdir}) {
    DIR* d = opendir(folder.c_str());
    if (!d) continue;
    while (const dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      const size_t dot = n.rfind('.');
      if (dot == std::string::npos || dot < tail.size() || n.compare(dot - tail.size(), tail.size(), tail) != 0)
        continue;
      const std::string id = n.substr(0, dot - tail.size()), ext = n.substr(dot);
      if (ext != ".dat" && ext != ".key" && ext != ".run") continue;
      if (id.empty() || id.size() > 8 || id.find_first_not_of("0123456789ABCDEF") != std::string::npos) continue;
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    closedir(d);
  }
  // A name that begins with hexadecimal digits reads also as a shorter
  // name's run by a process of a longer id ("1A2" and "CACCOUNT" as "1A2C"
  // and "ACCOUNT"): a run whose note keys another file is that file's, left
  // to its own restructure, as its process may live under its real id.
  auto name_of = [](const char* field) {
    std::string n(field, strnlen(field, 8));
    return n.erase(n.find_last_not_of(' ') + 1);
  };
  std::erase_if(ids, [&](const std::string& id) {
    const std::string key = read_note(sdir + "/" + id + tail + ".run").key;
    return !key.empty() && name_of(key.data() + SYSDIR_NAME) != name_of(path.fdb_name);
  });
  for (const std::string& id : ids)
    if ((id != own && ss_pid_alive(uint32_t(strtoul(id.c_str(), nullptr, 16)))) ||
        held_open(dir + "/" + id + tail + ".dat"))
      return true;
  for (const std::string& id : ids)
    if (!finish_dead_run(dir + "/" + id + tail, sdir + "/" + id + tail)) return false;
  return true;
}

}  // namespace

int bld_proc(const FDB_PATH& path, restruct_ctx* ctx, PCB* caller) {
  DesignBuilder b("0DN", "00", com.subproc_scope);
  uint8_t pa[kParamRecSize], pr[kProcRecSize], fr[kFrameRecSize];
  param_rec(pa);
  process_rec(pr, "0DO", path.fdb_name, kProcName, "RESTRUCT");
  frame_rec(fr);
  ARB* sa = b.handle(DF_STMT);
  int ok =
      sa && b.put(DF_PARAM, pa) && b.put(DF_PROCESS, pr) && b.put(DF_FRAME, fr) && bld_restruct_stmts(path, ctx, sa);
  if (!ok) sys_err(kModule, __LINE__, "restructure design: %s", b.error().c_str());
  sysdir_swap sd;
  run_note note;
  EM* em = nullptr;
  if (ok && note.start(new_os_path(path, PATH_STRUCT) + ".run") && sysdir_enter(path, &sd, &note)) {
    clear_stats();
    db_status_of_end(db_run_generated(caller, "00"));
    PCB k{};
    memcpy(k.invoc.ap_id(), "0DN00", 5);
    k.invoc.set_proc_type(PT_ACTION);
    put_text(k.invoc.proc_nam(), kProcNameLen, kProcName);
    if (caller) memcpy(k.pcb_lang, caller->pcb_lang, 3);
    if (pl_get(&k, 0)) em = k.pcb_em;
    else ok = 0;
    // Without the module the new files cannot be told: they go, and the
    // run is a failure whatever it set.
    if (!em) set_stat1(RS_FAILED);
  } else {
    set_stat1(RS_FAILED);
  }
  swap_files(path, em, read_stat(1), &note);
  sysdir_leave(&sd);
  note.drop();
  // The next run writes a new design under the same name.
  if (em) pl_free(em), pl_discard(em);
  b.close_all(ARB_SCRATCH);
  return ok;
}

int restruct_fi(const FDB_PATH& path, restruct_ctx* ctx, PCB* caller) {
  add_dap("0DN", "00");
  add_dap("0DO", "00");
  if (!bld_new_src_fi(path, ctx)) return set_stat1(RS_FAILED), 1;
  bld_proc(path, ctx, caller);
  return 1;
}

uint32_t db_restruct(PCB* caller, const FDB_PATH& path, ARB* msg1, ARB* msg2) {
  const bool design = is_ap(path.fdb_ap, "0AD");
  const char* ap = design ? path.fdb_src_ap : path.fdb_ap;
  const char* ver = design ? path.fdb_src_ver : path.fdb_ver;
  if (!msg1_start(msg1, msg2, ap, ver, path.fdb_name))
    return checkstat(msg1->arb_stat, "Bad message write ", kModule, __LINE__), RS_FAILED;
  if (!finish_dead_runs(path)) {
    db_err(RS_FAILED, path, msg1, msg2);
    return RS_FAILED;
  }
  restruct_ctx ctx{};
  uint32_t fm = 0;
  uint32_t r = db_open_files(path, &ctx, &fm);
  if (r) {
    db_err(fm ? fm : r, path, msg1, msg2);
    db_close_files(&ctx);
    return r;
  }
  r = comp_struct_fi(path, &ctx);
  if (r == RS_CONVERT) {
    FM_CLOSE(ctx.arb[RC_STRUCT], 0);
    ctx.arb[RC_STRUCT] = nullptr;
    restruct_fi(path, &ctx, caller);
    r = read_stat(1);
    if (r != RS_CONVERTED) db_err(read_stat(2) ? read_stat(2) : r, path, msg1, msg2);
  } else if (r == RS_SAME || r == RS_COMPATIBLE) {
    FM_CLOSE(ctx.arb[RC_STRUCT], 0);
    ctx.arb[RC_STRUCT] = nullptr;
    // A structure not recorded anew is no verdict of success.
    if (!db_renew_struct(path, &ctx)) db_err(r = RS_FAILED, path, msg1, msg2);
  } else {
    // Not compiled, or no FILE record: the caller learns it from the files.
    db_err(r, path, msg1, msg2);
  }
  db_close_files(&ctx);
  return r;
}

int db_restruct_0sa() {
  static const char* const kNames[] = {"APPL",    "DATABASE", "DBXAP",   "DESIGNER", "DFLTMAP",  "FORM",
                                       "KEYMAP",  "MANAGER",  "MAPDEF",  "MAPKEY",   "MAPTYPE",  "PRINTER",
                                       "PROFILE", "SYSDFLT",  "SYSPARM", "TERMKEY",  "TERMTYPE", "USER"};
  FDB f1, f2;
  KDB k1[kInitMaxKeys], k2[kInitMaxKeys];
  SDB s1[kInitMaxSegs], s2[kInitMaxSegs];
  INIT_MSG1_FDB(&f1, k1, s1, "0AD", "00");
  INIT_MSG2_FDB(&f2, k2, s2, "0AD", "00");
  // A second call in one run starts from empty message files.
  for (FDB* f : {&f1, &f2}) {
    FDB g = *f;
    if (FM_OPEN(&g, com.sys_scope, 0, 0x0f, 0x0f)) FM_CLOSE(g.fdb_arb, ARB_SCRATCH);
  }
  INIT_MSG1_FDB(&f1, k1, s1, "0AD", "00");
  INIT_MSG2_FDB(&f2, k2, s2, "0AD", "00");
  if (!FM_CREATE(&f1, com.sys_scope, 0, 2, 0x0f, 0x0f) || !FM_CREATE(&f2, com.sys_scope, 0, 2, 0x0f, 0x0f))
    return sys_err(kModule, __LINE__, "Bad message create"), 1;
  mu_init();
  for (const char* n : kNames) {
    FDB_PATH p{};
    memcpy(p.fdb_ap, "0SA", 3), memcpy(p.fdb_ver, "00", 2);
    SET_BLANK(p.fdb_name, 8), memcpy(p.fdb_name, n, strlen(n));
    SET_BLANK(p.fdb_db, 3), SET_BLANK(p.fdb_src_ap, 3), SET_BLANK(p.fdb_src_ver, 2);
    p.fdb_class = PATH_DATA;
    db_restruct(nullptr, p, f1.fdb_arb, f2.fdb_arb);
  }
  return 1;
}

}  // namespace kivo
