// OUTPUT and INQUIRY processes compiled from tests/process/op_report.dsgn
// over a memory file of 50 customers, run through the executive: the PCF
// filled after its open, range levels as a sorted query delivers them
// (region, then district), print files in a scratch directory.
#pragma once

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/pl.h"
#include "design/design_source.h"
#include "exec_test_util.h"
#include "fm/fm_record.h"
#include "fm/fm_sysadm.h"
#include "foundation/dbg_ctl.h"
#include "process/op.h"
#include "process/pi_exec.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"
#include "process/startup.h"
#include "types/std_date.h"

namespace kivo::test {

// One customer of the fixture file.
struct customer {
  uint16_t id;
  std::string name, region, district;
  int64_t cents;
  int day;  // of March 2024
};

inline std::vector<customer> customers() {
  std::vector<customer> out;
  const char* regions[] = {"EAST", "NORTH", "SOUTH", "WEST"};
  const int firsts[] = {1, 15, 28, 42, 51};
  for (int r = 0; r < 4; ++r)
    for (int id = firsts[r]; id < firsts[r + 1]; ++id) {
      const int half = (firsts[r] + firsts[r + 1]) / 2;
      const int64_t cents = (int64_t(id) * 7919 % 200001) - 100000;
      out.push_back(
          {uint16_t(id), "CUSTOMER " + std::to_string(id), regions[r], id < half ? "A" : "B", cents, 1 + id % 28});
    }
  return out;
}

// Record layout of CUST (the source's fields one after another).
enum : size_t { C_ID = 0, C_NAME = 2, C_REGION = 14, C_DISTRICT = 19, C_BALANCE = 20, C_OPENED = 25, C_LEN = 29 };

inline std::vector<uint8_t> cust_rec(const customer& c) {
  std::vector<uint8_t> r(C_LEN, ' ');
  st_le16(r.data(), C_ID, c.id);
  memcpy(r.data() + C_NAME, c.name.data(), c.name.size());
  memcpy(r.data() + C_REGION, c.region.data(), c.region.size());
  r[C_DISTRICT] = uint8_t(c.district[0]);
  // Packed, 9 digits and the sign.
  uint64_t v = uint64_t(c.cents < 0 ? -c.cents : c.cents);
  uint8_t* p = r.data() + C_BALANCE;
  p[4] = uint8_t((v % 10) << 4 | (c.cents < 0 ? 0x0D : 0x0C));
  v /= 10;
  for (int i = 3; i >= 0; --i, v /= 100) p[i] = uint8_t((v / 10 % 10) << 4 | v % 10);
  std_date d{};
  d.raw = r.data() + C_OPENED, d.raw_len = 4, d.type = 7, d.h24 = 1, d.first = 8, d.last = 5;
  d.at(8) = 20, d.at(7) = 24, d.at(6) = 3, d.at(5) = int8_t(c.day);
  EXPECT_EQ(cv_ston_date(&d), 1);
  return r;
}

// "1234.56" / "-0.07": the display of an amount in cents.
inline std::string amount(int64_t cents) {
  const int64_t a = cents < 0 ? -cents : cents;
  char b[32];
  snprintf(b, sizeof b, "%s%lld.%02lld", cents < 0 ? "-" : "", static_cast<long long>(a / 100),
           static_cast<long long>(a % 100));
  return b;
}

inline std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) {
    if (c == sep) out.emplace_back();
    else out.back().push_back(c);
  }
  return out;
}
inline std::string trim(std::string s) { return s.erase(s.find_last_not_of(' ') + 1); }

// The lines of each page (the print file's line feeds come before a line's
// text, so a page's first element is what stood before its first feed).
inline std::vector<std::vector<std::string>> pages_of(const std::string& text) {
  std::vector<std::vector<std::string>> out;
  for (const std::string& page : split(text, '\f')) {
    std::vector<std::string> lines = split(page, '\n');
    lines.erase(lines.begin());
    for (auto& l : lines) l = trim(l);
    out.push_back(lines);
  }
  return out;
}

class OpFixture : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    const std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/shipped_data/00/0LA", data_ + "/00/0LA",
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::skip_existing);
    std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/tests/process/op_report.dsgn");
    const std::string src((std::istreambuf_iterator<char>(in)), {});
    const design_source_result r = design_source_build(src, "op_report", com.sys_scope, "0DN");
    ASSERT_TRUE(r.ok) << r.error;
    // The application's own record: its items show dates through its mask.
    std::vector<uint8_t> appl(kApplRecLen);
    init_dap(appl.data(), "0DN", "01", "report fixtures");
    ASSERT_TRUE(write_rec(INIT_DAP_FDB, appl));
    // The compile of a date item asks for the current application's record.
    memcpy(com.cur_ap, "0DN", 3), memcpy(com.cur_ver, "01", 2);
    hooks_.set(compiler_seams.pl_get, pl_get_module);      // the loader itself
    hooks_.set(interp_seams.proc_exec, ii_proc_exec_own);  // and the real event points
    ii_init(), sc_init();
    rt_err_arb = nullptr, rt_init(), interp_register_hooks();
    setenv("KIVO_PRT_FI_DIR", (prt_.path() + "/").c_str(), 1);
    rm_init();
    hooks_.keep(pi_type_rows[PT_OUTPUT]), hooks_.keep(pi_type_rows[PT_INQUIRY]);
    op_init();
    op = this;
    hooks_.set(process_seams.open_fi, [](PCB* p) { op->open_fi(p); });
  }
  void TearDown() override {
    com_dbg_ctl_bits = 0;
    unsetenv("KIVO_PRT_FI_DIR");
    pl_discard_all();
    rt_err_arb = nullptr;
    ExecFixture::TearDown();
  }

  // The PCF's 50 records and the range blocks of `levels` (0: none).
  void open_fi(PCB* p) {
    if (!pcf && p->pcb_em->em_pcf_id) make_pcf(p);
    pi_open_fi_run(p);
    if (uint8_t* a1 = pi_area(p, AREA_OUT_DFLT, kOutDfltLen)) st_le16(a1, kPageLenAt, page_len);
    if (!levels) return;
    auto* ents = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, kRngEntLen * (levels + 1)));
    memset(ents, 0, kRngEntLen * (levels + 1));
    memset(ents + RNG_AP, ' ', 25);
    const char* fields[] = {"REGION", "DISTRICT"};
    for (int l = 1; l <= levels; ++l) {
      uint8_t* e = ents + kRngEntLen * l;
      memset(e + RNG_AP, ' ', 25);
      memcpy(e + RNG_AP, "0DN", 3), memcpy(e + RNG_FLD, fields[l - 1], strlen(fields[l - 1]));
      st_le16(e, RNG_COUNT, 1);
      e[RNG_FLAGS + 1] = e[RNG_FLAGS + 2] = 1;
    }
    p->pcb_rng = ents, p->pcb_rng_cnt = uint8_t(levels + 1);
    pending.clear(), prev.clear(), last.clear(), reads = 0;
    hooks_.set(process_seams.op_rdnxt, scripted);
  }

  // The memory file of the PCF with the customers, open for the session
  // (it lives while a handle is open).
  void make_pcf(PCB* p) {
    EM* em = p->pcb_em;
    pi_each_rec(em->em_cfi_arb, [&](uint8_t* c) {
      if (ld_le32(c, CFI_FILE_NO) != em->em_pcf_id || memcmp(c + FDB_AP, em->em_pcf_ap, 3)) return;
      memset(c + FDB_DB, ' ', 3);
      FDB f;
      ASSERT_EQ(em_cfi_desc(em, c, &f), 1);
      ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 15, 15), 1);
      pcf = f.fdb_arb;
    });
    ASSERT_TRUE(pcf);
    for (const customer& c : data) {
      std::vector<uint8_t> r = cust_rec(c);
      PROTO_FULL(pcf, 0, r.data());
      pcf->arb_len = pcf->arb_var_len = C_LEN, pcf->arb_mod = 0;
      ASSERT_EQ(fm_write(pcf), 1) << c.id;
    }
  }

  // Level breaks as a sorted query by region and district delivers them:
  // the ends of levels while the record area still holds the last record
  // of the level, the starts and the record with the new one.
  static uint32_t scripted(PCB* p, uint32_t* level) {
    OpFixture& f = *op;
    uint8_t* area = p->pcb_pcf_arb->arb_rec;
    if (f.pending.empty()) {
      const int ok = pi_rdnxt(p, 0);
      const std::vector<uint8_t> now(area, area + C_LEN);
      std::string key = ok ? std::string(reinterpret_cast<const char*>(area) + C_REGION, 6) : "";
      if (ok && f.interrupt_at && ++f.reads == f.interrupt_at) com_dbg_ctl_bits |= kDbgBreakRequest;
      // The highest level whose field changed, 1 = region.
      int changed = f.prev.empty() || key.empty() || key.compare(0, 5, f.prev, 0, 5) ? 1 : key != f.prev ? 2 : 0;
      if (changed && !f.prev.empty())
        for (int l = f.levels; l >= changed; --l) f.pending.push_back({OP_LEVEL_END, uint32_t(l), f.last});
      if (changed && ok)
        for (int l = changed; l <= f.levels; ++l) f.pending.push_back({OP_LEVEL_START, uint32_t(l), now});
      f.pending.push_back({ok ? OP_RECORD : p->pcb_pcf_arb->arb_stat, 0, now});
      f.prev = key, f.last = now;
    }
    const step s = f.pending.front();
    f.pending.pop_front();
    memcpy(area, s.rec.data(), s.rec.size());
    *level = s.level;
    return s.status;
  }

  // The cleanup step as the executive calls it, watched: what the report
  // posted, and that a second call finds nothing to do.
  static uint32_t watched_cleanup(PCB* p, uint8_t* work) {
    if (op_report* r = op_rpt(p)) op->posted = r->status;
    op->err_lines = 0;
    pi_each_rec(p->pcb_err_fi, [](const uint8_t*) { ++op->err_lines; });
    const uint32_t code = op_cleanup(p, work);
    op->second = op_cleanup(p, work) == 0 && !op_rpt(p);
    return code;
  }

  // Runs process `name` of type `type`: its end code.
  uint32_t run_proc(const char* name, uint8_t type = PT_OUTPUT) {
    INVOC v = inv(name, type, nullptr, 2, "0DN");
    memcpy(v.b + INVOC_VER, "01", 2);
    return run(v);
  }
  // The print files written (their ".cfg" files left out), in name order.
  std::vector<std::string> prints() const {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(prt_.path()))
      if (e.path().extension() != ".cfg") out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  static std::string slurp(const std::string& path) { return kivo_test::slurp(path); }
  // The one print file's text.
  std::string print_text() {
    auto p = prints();
    EXPECT_EQ(p.size(), 1u);
    return p.empty() ? "" : slurp(p.back());
  }

  static inline OpFixture* op;
  std::vector<customer> data = customers();
  static constexpr size_t kOutDfltLen = 660, kPageLenAt = 320;
  uint16_t page_len = 0;
  int levels = 1;
  int interrupt_at = 0;  // the read after which the user breaks in
  int reads = 0;
  uint32_t posted = 0;  // seen by watched_cleanup
  int err_lines = 0;
  bool second = false;
  ARB* pcf = nullptr;
  struct step {
    uint32_t status, level;
    std::vector<uint8_t> rec;  // what the record area holds with it
  };
  std::deque<step> pending;
  std::string prev;
  std::vector<uint8_t> last;
  scratch_dir prt_;
};

}  // namespace kivo::test
