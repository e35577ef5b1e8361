// The executive over modules of the module builder: a loader that hands out
// modules by process name and counts loads, and an event-point runner double
// scripted by process name and event point.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "compiler/compiler.h"
#include "compiler/pl.h"
#include "design/design_source.h"
#include "fm/la.h"
#include "foundation/scope.h"
#include "interp/interp.h"
#include "pi_test_util.h"
#include "process/pi_exec.h"

namespace kivo::test {

inline std::string s30(const std::string& t) { return (t + std::string(30, ' ')).substr(0, 30); }
inline std::string name_of(const PCB* p) {
  std::string n(reinterpret_cast<const char*>(p->invoc.b + INVOC_PROC_NAM), 30);
  return n.substr(0, n.find_last_not_of(' ') + 1);
}

class ExecFixture : public PiFixture {
 protected:
  void SetUp() override {
    PiFixture::SetUp();
    self = this;
    hooks_.set(compiler_seams.pl_get, [](PCB* p, int) { return self->load(p); });
    hooks_.set(interp_seams.proc_exec, [](PROC_EXEC_BLK* b) { return self->event(b); });
    memset(com.cur_db, ' ', 3);
    com.user_rec = nullptr;
    messages();
  }
  // Language "00" with the messages the executive reports.
  static void messages() {
    const std::tuple<uint32_t, uint16_t, std::string> rows[] = {
        {200460, 3, "not allowed"}, {300270, 3, "cannot open ~1"}, {200340, 1, "no such file"}, {300710, 4, "key ~1"}};
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    ASSERT_EQ(la_init(), 1);
    INIT_DMSG_FDB(&f, k, s, "00");
    ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 15, 15), 1);
    for (auto& [no, cls, text] : rows) {
      uint8_t rec[kMsgRecMax] = {};
      st_le32(rec, MSG_NUMBER, no), st_le16(rec, MSG_CLASS, cls);
      memcpy(rec + MSG_TEXT, text.data(), text.size());
      f.fdb_arb->arb_rec = rec;
      f.fdb_arb->arb_var_len = uint16_t(MSG_TEXT + text.size());
      ASSERT_EQ(fm_write(f.fdb_arb), 1);
    }
    FM_CLOSE(f.fdb_arb, 0);
    ASSERT_EQ(la_slct("00 ", 1), 1);
  }
  void TearDown() override {
    if (la_lang* l = la_current()) FM_CLOSE(l->arb, 0);
    // The language entry goes with the test: the next one starts without it.
    const uint32_t level = com.mark_scope;
    com.mark_scope = 0, la_current(), com.mark_scope = level;
    PiFixture::TearDown();
  }
  // Modules compiled by the loader from the design `source` of "0DN", on
  // the "0LA" dictionary of the default installation; stop_compiled undoes it.
  void start_compiled(const char* source) {
    const std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/shipped_data/00/0LA", data_ + "/00/0LA",
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::skip_existing);
    const design_source_result r = design_source_build(source, "test", com.sys_scope, "0DN");
    ASSERT_TRUE(r.ok) << r.error;
    hooks_.set(compiler_seams.pl_get, pl_get_module);  // the loader itself
    ii_init(), sc_init();
    rt_err_arb = nullptr, rt_init(), interp_register_hooks();
  }
  void stop_compiled() {
    pl_discard_all();
    rt_err_arb = nullptr;  // its file goes with the session's files
  }
  int load(PCB* p) {
    asked.push_back(std::string(reinterpret_cast<const char*>(p->invoc.b), 6) + name_of(p));
    auto it = mods.find(name_of(p));
    if (it == mods.end()) return 0;
    ++loads;
    p->pcb_em = it->second;
    return 1;
  }
  uint32_t event(PROC_EXEC_BLK* b) {
    const std::string key = name_of(b->pcb) + "/" + std::to_string(b->ep_no);
    log += key + " ";
    if (auto it = eps.find(key); it != eps.end()) it->second(b->pcb);
    return PI_END_NORMAL;
  }
  // A process of the test whose area 17 is an 8-byte private area; system
  // areas 5, 7, 9 and 11 are blank and long enough for the defaults; `more` follow.
  EM* proc(const std::string& name, int32_t secr = -1, std::vector<area_row> more = {}) {
    more.insert(more.begin(), area_row{0, "TST", 1, 8, 2});
    EM* em =
        module(more, 0,
               {{0, "TST", 5, 40, 2, 2}, {0, "TST", 7, 700, 2, 2}, {0, "TST", 9, 132, 2, 2}, {0, "TST", 11, 47, 2, 2}});
    for (uint32_t n : {5, 7, 9, 11}) blank_field(em, n);
    em->em_secr_class = secr;
    return mods[name] = em;
  }
  static INVOC inv(const std::string& name, uint8_t type = PT_SUBROUTINE, PCB* parent = nullptr, uint8_t itype = 2,
                   const char* ap = "0SU") {
    INVOC v = pi_invoc;
    memcpy(v.b + INVOC_AP_ID, ap, 3);
    memcpy(v.b + INVOC_PROC_NAM, s30(name).data(), 30);
    v.b[INVOC_PROC_TYPE] = type, v.b[INVOC_INVOC_TYPE] = itype;
    if (parent) st_le32(v.b, INVOC_PARENT_PCB, parent->pcb_handle);
    return v;
  }
  // pi_exec under a process level, as the main loop runs it: the end code.
  static uint32_t run(INVOC v) {
    const uint32_t rc = MARK(MARK_PROCESS, [&] { pi_exec(&v); });
    return rc == PI_END_NORMAL ? ld_le32(v.b, INVOC_END_CODE) : rc;
  }
  // pi_exec as an invocation verb calls it from a running event point.
  static uint32_t call(INVOC v) {
    pi_exec(&v);
    return ld_le32(v.b, INVOC_END_CODE);
  }
  static void leave(uint32_t code) {
    if (code != PI_END_NORMAL) mark_leave(code);
  }

  static inline ExecFixture* self;
  std::map<std::string, EM*> mods;
  std::map<std::string, std::function<void(PCB*)>> eps;  // "NAME/ep"
  std::vector<std::string> asked;                        // "apvtNAME" of each load
  std::string log;
  int loads = 0;
};

}  // namespace kivo::test
