// Processes of "0DN" whose statements use the file verbs, compiled from a design source by the loader and run by
// the executive with the real interpreter. A process reports what it saw through MESSAGE statements, which the test
// collects in order; files are made before the run and read back through the file manager after it.
#pragma once

#include <initializer_list>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/em_access.h"
#include "compiler/pc_cmpl.h"
#include "exec_test_util.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "process/fp.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"

namespace kivo::test {

// One statement line: the verb at column 7, prefix before it, each text at its (1-based) column.
inline std::string L(const std::string& pfx, const std::string& verb,
                     std::initializer_list<std::pair<int, std::string>> at) {
  std::string l = (pfx + std::string(6, ' ')).substr(0, 6) + (verb + std::string(8, ' ')).substr(0, 8);
  for (auto& [col, t] : at) {
    if (l.size() < size_t(col) - 1 + t.size()) l.resize(col - 1 + t.size(), ' ');
    l.replace(col - 1, t.size(), t);
  }
  return l + "\n";
}
// SET/IF/COMPUTE of a field of `ap1` with a constant or a field "AP NAME".
inline std::string two(const std::string& pfx, const std::string& verb, const std::string& ap1, const std::string& f1,
                       const std::string& op, const std::string& src) {
  const bool fld = src.size() > 4 && src[3] == ' ' && src[0] != ' ';
  if (fld) return L(pfx, verb, {{16, ap1}, {20, f1}, {47, op}, {50, src.substr(0, 3)}, {54, src.substr(4)}});
  return L(pfx, verb, {{16, ap1}, {20, f1}, {47, op}, {54, src}});
}
inline std::string msg(const std::string& pfx, const std::string& text) { return L(pfx, "MESSAGE", {{16, text}}); }

class FileStmtFixture : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    self_ = this;
  }
  void start(const std::string& source) {
    start_compiled(source.c_str());
    pi_pcf_register();
    fp_init();
    hooks_.set(interp_seams.proc_exec, ii_proc_exec_own);  // the real event points
    hooks_.set(interp_seams.add_msg, [](int, ARB*, const char* t, size_t n) {
      std::string s(t, n);
      self_->said.push_back(s.erase(s.find_last_not_of(' ') + 1));
      if (self_->on_msg) self_->on_msg(self_->said.back());
      return 1;
    });
    hooks_.set(process_seams.open_fi, [](PCB* p) {
      for (uint8_t* c : cfis(p->pcb_em)) self_->adjust(c);
      pi_open_fi_run(p);
    });
    memset(com.user_id, ' ', 3), memcpy(com.user_id, "USR", 3);
  }
  void TearDown() override {
    for (ARB* a : open_)
      if (a) FM_CLOSE(a, 0);
    open_.clear();
    stop_compiled();
    ExecFixture::TearDown();
  }
  // What each run does to a compiled file before the files open: the files named in `natives` become native.
  virtual void adjust(uint8_t* c) {
    if (natives.count(str(c + FDB_NAME, 8))) go_native(c);
  }
  static std::string str(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }
  static std::string f8(const std::string& n) { return (n + std::string(8, ' ')).substr(0, 8); }
  // A file of application "NAT" outside the 0DN files: a native file that engine processes share.
  static void go_native(uint8_t* c) {
    memcpy(c + FDB_AP, "NAT", 3), memcpy(c + FDB_SRC_AP, "NAT", 3);
    st_le32(c, FDB_OPT, ld_le32(c, FDB_OPT) | kAnyFile);
  }
  static std::vector<uint8_t*> cfis(EM* em) {
    std::vector<uint8_t*> out;
    uint8_t key[CFI_LEN] = {};
    PROTO_FULL(em->em_cfi_arb, 0, key);
    em->em_cfi_arb->arb_mod = ARB_FIRST;
    fm_start(em->em_cfi_arb);
    while (uint8_t* c = fm_rdnxt_fast(em->em_cfi_arb, 0)) out.push_back(c);
    return out;
  }
  // The module of SUBROUTINE `proc` of 0DN, compiled by the loader; null with the compile errors recorded.
  EM* module_of(const std::string& proc) {
    PCB k{};
    k.invoc = inv(proc, PT_SUBROUTINE, nullptr, 2, "0DN");
    memcpy(k.invoc.b + INVOC_VER, "01", 2), memcpy(k.pcb_lang, "ENG", 3);
    if (!pl_get(&k, 1)) return nullptr;
    pl_free(k.pcb_em);
    return k.pcb_em;
  }
  // The descriptor of `file` as process `proc` compiles it (native: of NAT).
  bool desc(const std::string& proc, const std::string& file, FDB* fdb, uint8_t* c, const char* ap = "0DN") {
    EM* em = module_of(proc);
    if (!em) {
      PCB k{};
      k.invoc = inv(proc, PT_SUBROUTINE, nullptr, 2, "0DN");
      memcpy(k.invoc.b + INVOC_VER, "01", 2), memcpy(k.pcb_lang, "ENG", 3);
      PC_CTX ctx{};
      std::vector<sc_error> errs;
      pc_cmpl(&k, &ctx, &errs);
      std::string t(ctx.err_text, sizeof ctx.err_text);
      for (auto& e : errs) t += "\n" + sc_err_text(e);
      return ADD_FAILURE() << "no module " << proc << ": " << t, false;
    }
    for (uint8_t* r : cfis(em))
      if (str(r + FDB_NAME, 8) == f8(file) && (!memcmp(r + FDB_AP, ap, 3) || !memcmp(r + FDB_AP, "NAT", 3))) {
        memcpy(c, r, CFI_LEN);
        adjust(c);
        memset(c + FDB_DB, ' ', 3);
        return em_cfi_desc(em, c, fdb) == 1;
      }
    return false;
  }
  // Creates `file` as `proc` compiles it and writes `recs`; a memory file stays open for the test.
  void make_file(const std::string& proc, const std::string& file, const std::vector<std::string>& recs) {
    FDB fdb;
    uint8_t c[CFI_LEN];
    ASSERT_TRUE(desc(proc, file, &fdb, c)) << (captured_errors().empty() ? "" : captured_errors().back());
    ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 10, kAnyFile | LFB_OPEN_NEW, 15, 15), 1) << fdb.fdb_stat;
    ARB* a = fdb.fdb_arb;
    for (std::string r : recs) {
      r.resize(fdb.fdb_rec_len, ' ');
      PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(r.data()));
      a->arb_var_len = uint16_t(r.size()), a->arb_mod = 0;
      ASSERT_EQ(fm_write(a), 1) << a->arb_stat;
    }
    if (!memcmp(c + FDB_AP, "NAT", 3)) FM_CLOSE(a, 0);
    else open_.push_back(a);
  }
  // Every record of `file` (as `proc` compiles it) in key order, read through the file manager.
  std::vector<std::string> records(const std::string& proc, const std::string& file) {
    FDB fdb;
    uint8_t c[CFI_LEN];
    std::vector<std::string> out;
    if (!desc(proc, file, &fdb, c) || !FM_OPEN(&fdb, com.mark_scope, kAnyFile, 1, 15)) return out;
    ARB* a = fdb.fdb_arb;
    std::string r(fdb.fdb_rec_len, ' ');
    PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(r.data()));
    a->arb_len = fdb.fdb_rec_len, a->arb_mod = ARB_FIRST;
    for (bool more = fm_start(a); more && (a->arb_mod = 0, fm_rdnxt(a));) out.push_back(r);
    FM_CLOSE(a, 0);
    return out;
  }
  // Runs SUBROUTINE `proc`: its end code.
  uint32_t go(const std::string& proc) {
    said.clear();
    INVOC v = inv(proc, PT_SUBROUTINE, nullptr, 2, "0DN");
    memcpy(v.b + INVOC_VER, "01", 2);
    return run(v);
  }
  std::string heard() const {
    std::string s;
    for (const std::string& m : said) s += (s.empty() ? "" : " ") + m;
    return s;
  }

  static inline FileStmtFixture* self_;
  std::vector<std::string> said;
  std::function<void(const std::string&)> on_msg;  // each message as it comes
  std::set<std::string> natives;                   // 8-character names of files made native
  std::vector<ARB*> open_;
};

}  // namespace kivo::test
