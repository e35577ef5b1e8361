// The QUERY process: the editors' loop by end code, the suspend header
// against golden bytes, suspend files read back checked (short, long and
// foreign ones refused), pending suspend files through a save stream and
// into a new scope level, and the caller's selection chain left whole.
#include <map>

#include "../fixtures/hook_override.h"
#include "../fm/fm_native_util.h"
#include "compiler/compiler.h"
#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/em_records.h"
#include "compiler/rt_names.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"
#include "process/pb_fqry.h"
#include "process/qp.h"

namespace kivo::test {
namespace {

using bytes = std::vector<uint8_t>;

class QueryProc : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    qp_init();
  }
  // The routine file of an earlier test goes with the memory files.
  void TearDown() override {
    rt_ifns_arb = nullptr;
    NativeFm::TearDown();
  }
  // A suspend-style memory file at `scope` holding `recs`.
  FDB_PATH susp(const char* name, uint32_t scope, const std::vector<bytes>& recs) {
    FDB fdb;
    INIT_FDB(&fdb, FS_MEMORY, kQpSuspRecMax, 1, nullptr, 0);
    INIT_SRC_PATH(&fdb.path, "TST", "01", "", PATH_SESS);
    memcpy(fdb.path.fdb_name, name, 8);
    fdb.path.fdb_tmp_id = scope;
    EXPECT_EQ(FM_CREATE(&fdb, scope, 0, LFB_SCOPED | LFB_OPEN_NEW, 15, 0), 1);
    for (const bytes& r : recs) EXPECT_EQ(put(fdb.fdb_arb, r), 1);
    FM_CLOSE(fdb.fdb_arb, 0);
    return fdb.path;
  }
  static int put(ARB* a, const bytes& r) {
    a->arb_keyno = 0, a->arb_key = nullptr, a->arb_rec = const_cast<uint8_t*>(r.data());
    a->arb_len = a->arb_var_len = uint16_t(r.size()), a->arb_mod = 0;
    return fm_write(a);
  }
  // Every record of the suspend file of `path` at `scope`.
  std::vector<bytes> records(FDB_PATH path, uint32_t scope) {
    std::vector<bytes> out;
    path.fdb_tmp_id = scope;
    FDB fdb;
    INIT_FDB(&fdb, FS_MEMORY, kQpSuspRecMax, 1, nullptr, 0);
    fdb.path = path;
    if (!FM_OPEN(&fdb, scope, 0, 15, 15)) return out;
    ARB* a = fdb.fdb_arb;
    bytes buf(kQpSuspRecMax);
    a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
    if (fm_start(a))
      for (a->arb_rec = buf.data(), a->arb_len = kQpSuspRecMax, a->arb_mod = 0; fm_rdnxt(a); a->arb_mod = 0)
        out.emplace_back(buf.begin(), buf.begin() + a->arb_var_len);
    FM_CLOSE(a, 0);
    return out;
  }
  ARB* stream() {
    FDB fdb;
    INIT_FDB(&fdb, FS_MEMORY, kQpSuspRecMax, 1, nullptr, 0);
    INIT_UNIQUE_PATH(&fdb.path, "QT", "SV", PATH_DATA);
    EXPECT_EQ(FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15), 1);
    return fdb.fdb_arb;
  }
};

bytes filled(size_t n, uint8_t seed) {
  bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7);
  return b;
}

TEST_F(QueryProc, SaveThenLoadBringsBackTwoPendingSuspendFilesWhole) {
  const uint32_t old_lv = com.sys_scope + 3, new_lv = com.sys_scope + 5;
  const std::vector<bytes> a = {filled(kQpHdrLen, 1), filled(1, 9), filled(300, 3)};
  const std::vector<bytes> b = {filled(kQpHdrLen, 2), filled(kPathLen, 4)};
  const FDB_PATH pa = susp("QSUSP001", old_lv, a), pb = susp("QSUSP002", old_lv, b);
  ASSERT_EQ(qp_add_pend(pa, "t"), 1);
  ASSERT_EQ(qp_add_pend(pb, "t"), 1);
  ASSERT_EQ(qp_add_pend(pb, "t"), 1) << "a duplicate pending record is accepted";
  ASSERT_EQ(qp_pend_of(old_lv).size(), 2u);

  ARB* s = stream();
  ASSERT_EQ(qp_save_pend(s, old_lv), 1);
  qp_clr_scope(old_lv);
  EXPECT_TRUE(qp_pend_of(old_lv).empty());
  s->arb_mod = ARB_FIRST, s->arb_key = nullptr;
  ASSERT_EQ(fm_start(s), 1);
  ASSERT_EQ(qp_load_pend(s, new_lv), 1);
  const std::vector<FDB_PATH> back = qp_pend_of(new_lv);
  ASSERT_EQ(back.size(), 2u);
  for (const FDB_PATH& p : back) EXPECT_EQ(p.fdb_tmp_id, new_lv);
  EXPECT_EQ(records(pa, new_lv), a);
  EXPECT_EQ(records(pb, new_lv), b);

  // A stream whose first record is no path is refused, not loaded.
  ARB* bad = stream();
  FM_CLOSE(bad, ARB_SCRATCH);
  bad = stream();
  ASSERT_EQ(put(bad, filled(5, 1)), 1);
  bad->arb_mod = ARB_FIRST, bad->arb_key = nullptr;
  ASSERT_EQ(fm_start(bad), 1);
  EXPECT_EQ(qp_load_pend(bad, new_lv + 1), 0);
  EXPECT_TRUE(qp_pend_of(new_lv + 1).empty());
}

TEST_F(QueryProc, CopyPendGivesABackgroundChildItsOwnCopy) {
  const uint32_t old_lv = com.sys_scope + 2, new_lv = com.sys_scope + 4;
  const std::vector<bytes> a = {filled(kQpHdrLen, 5), filled(1, 6)};
  const FDB_PATH pa = susp("QSUSP003", old_lv, a);
  ASSERT_EQ(qp_add_pend(pa, "t"), 1);
  qp_copy_pend(new_lv, old_lv);
  ASSERT_EQ(qp_pend_of(new_lv).size(), 1u);
  EXPECT_EQ(records(pa, new_lv), a);
  EXPECT_EQ(records(pa, old_lv), a) << "the invoker keeps its own";
  EXPECT_EQ(qp_pend_of(old_lv).size(), 1u);
}

// A module of one query process for the header and the area checks.
struct module {
  EM* em = em_create();
  std::vector<AREA_DESC> areas;
  module() {
    memcpy(em->em_ap, "TST", 3), memcpy(em->em_ver, "01", 2);
    memcpy(em->em_proc_nam, "CUSTOMER QUERY                ", 30);
    em->em_proc_type = PT_QUERY, em->em_stamp1 = 0x01020304, em->em_stamp2 = 0xA0B0C0D0, em->em_tag_mode = 1;
  }
  ~module() {
    em->em_area_tbl = nullptr, em->em_area_cnt = 0;
    em_destroy(em);
  }
  void set_areas(std::vector<AREA_DESC> a) {
    areas = std::move(a);
    em->em_area_tbl = areas.data(), em->em_area_cnt = uint32_t(areas.size());
  }
};

TEST_F(QueryProc, SuspendHeaderEqualsGoldenBytes) {
  module m;
  PCB p{};
  p.pcb_em = m.em;
  memcpy(p.invoc.b + INVOC_RNG_AP, "TST", 3);
  memset(p.invoc.b + INVOC_RNG_NAM, ' ', 30), memcpy(p.invoc.b + INVOC_RNG_NAM, "REGION REPORT", 13);
  p.invoc.b[INVOC_B99] = 'Y', p.invoc.b[INVOC_B100] = 2;
  st_le32(p.invoc.b, INVOC_CNSTR_CNT, 3), st_le32(p.invoc.b, INVOC_CNSTR_LEN, 17);
  uint8_t h[kQpHdrLen];
  qp_susp_hdr(&p, h);
  bytes want(kQpHdrLen, 0);
  auto at = [&](size_t off, const char* s) { memcpy(want.data() + off, s, strlen(s)); };
  at(0, "TSTCUSTOMER QUERY                ");
  want[33] = 5;
  const uint8_t words[] = {0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0};
  memcpy(want.data() + 36, words, 8);
  at(44, "TSTREGION REPORT                 ");
  want[77] = 'Y', want[78] = 2, want[80] = 3, want[84] = 17, want[88] = 1;
  memset(want.data() + 89, ' ', 30);
  EXPECT_EQ(bytes(h, h + kQpHdrLen), want);
}

TEST_F(QueryProc, SuspendFileReadBackOnlyWhenEveryRecordHasItsLength) {
  module m;
  // A data area, one inside it, a file area, a 1-byte area, a window area (none).
  m.set_areas({{0, {'T', 'S', 'T'}, 1, 0, 10, 1, 0, 0, 0, 0, {}},
               {0, {'T', 'S', 'T'}, 1, 4, 2, 2, 0, 0, 0, 0, {}},
               {1, {'T', 'S', 'T'}, 2, 0, 44, 3, 1, 0, 0, 0, {}},
               {7, {'0', 'L', 'A'}, 3, 0, 1, 4, 3, 0, 0, 0, {}},
               {8, {'0', 'L', 'A'}, 4, 0, 16, 5, 4, 0, 0, 0, {}}});
  bytes hdr = filled(kQpHdrLen, 0);
  st_le32(hdr.data(), QH_CNSTR_CNT, 2), st_le32(hdr.data(), QH_CNSTR_LEN, 6);
  const std::vector<bytes> whole = {hdr, filled(6, 1), filled(16, 2), filled(10, 3), filled(kPathLen, 4), filled(1, 5)};
  struct row {
    const char* what;
    std::vector<bytes> recs;
    int want;
  };
  std::vector<row> rows = {{"whole", whole, 1}};
  auto drop = whole;
  drop.pop_back();
  rows.push_back({"the last area missing", drop, 0});
  auto longer = whole;
  longer.push_back(filled(3, 6));
  rows.push_back({"a record after the last area", longer, 0});
  auto short_area = whole;
  short_area[3].pop_back();
  rows.push_back({"an area one byte short", short_area, 0});
  auto short_hdr = whole;
  short_hdr[0].pop_back();
  rows.push_back({"a short header", short_hdr, 0});
  auto foreign = whole;
  st_le32(foreign[0].data(), QH_CNSTR_CNT, 3);
  rows.push_back({"a header counting other constraints", foreign, 0});
  rows.push_back({"empty", {}, 0});
  int n = 0;
  for (const row& r : rows) {
    const std::string name = "QREAD00" + std::to_string(n++);
    const FDB_PATH path = susp(name.c_str(), com.sys_scope, r.recs);
    FDB fdb;
    INIT_FDB(&fdb, FS_MEMORY, kQpSuspRecMax, 1, nullptr, 0);
    fdb.path = path;
    ASSERT_EQ(FM_OPEN(&fdb, com.sys_scope, 0, 15, 15), 1);
    QP_SUSP s;
    std::vector<bytes> areas;
    EXPECT_EQ(qp_read_susp(fdb.fdb_arb, m.em, &s, &areas), r.want) << r.what;
    FM_CLOSE(fdb.fdb_arb, 0);
    EXPECT_EQ(records(path, com.sys_scope), r.recs) << r.what << ": the file is kept as it was";
    if (r.want != 1) continue;
    EXPECT_EQ(s.cnstr_vals, whole[1]);
    EXPECT_EQ(s.cnstr_segs, whole[2]);
    EXPECT_EQ(areas, (std::vector<bytes>{whole[3], {}, whole[4], whole[5], {}}));
  }
}

TEST_F(QueryProc, ConstrainingTheQueryLeavesTheCallersChainWhole) {
  ACTIVE_QRY q;
  q.pool = mm_create_pool(nullptr, com.sys_scope);
  PCF_SCB rng{}, a{}, b{};
  rng.kind = SCB_RANGE, a.kind = SCB_CNSTR, b.kind = SCB_CNSTR;
  rng.next = &a, a.next = &b;
  ASSERT_EQ(cns_pcf(&q, nullptr, nullptr, &rng, nullptr), 1);
  EXPECT_EQ(rng.next, &a);
  EXPECT_EQ(a.next, &b) << "the caller's chain goes on past its first constraint";
  ASSERT_NE(q.chain, nullptr);
  EXPECT_NE(q.chain, &a) << "the query chains a copy";
  EXPECT_EQ(q.chain->kind, SCB_CNSTR);
  EXPECT_EQ(q.chain->next, nullptr);
  mm_destroy_pool(q.pool);
}

// The editors run through the executive's hook: their names, one-shot
// values and scripted end codes.
struct editor_run {
  std::string name;
  uint8_t one_shot;
  std::string cnstr;  // the file the constraint was built for and the key prefix it gives
};
std::vector<editor_run> g_runs;
char p_ap_nam[34];
std::vector<uint32_t> g_codes;

TEST_F(QueryProc, EditorsLoopByEndCode) {
  struct row {
    const char* what;
    bool s, o;
    uint8_t mode;
    uint32_t held;
    std::vector<uint32_t> codes;
    std::vector<std::string> want_runs;
    uint32_t want_end;
  };
  const std::string SL = "QSLCT EDIT", SO = "QSORT EDIT";
  const row rows[] = {
      {"sort back to selection", true, true, 1, 0, {1, 5, 1, 1}, {SL, SO, SL, SO}, 1},
      {"cancel in selection", true, true, 1, 0, {4}, {SL}, 4},
      {"cancel in sort", true, true, 1, 0, {1, 4}, {SL, SO}, 4},
      {"selection left with 5", true, true, 1, 0, {5}, {SL}, 5},
      {"selection alone ends with 0", true, false, 1, 0, {0}, {SL}, 1},
      {"sort alone: 5 ends", false, true, 1, 0, {5}, {SO}, 5},
      {"no frame: the held code", false, false, 1, 3, {}, {}, 3},
      {"no frame: 1 for 0", false, false, 1, 0, {}, {}, 1},
      {"mode 2 clears and ends", true, true, 2, 0, {}, {}, 2},
  };
  for (const row& r : rows) {
    module m;
    for (const auto& [kind, on] : {std::pair<uint8_t, bool>{8, r.s}, {7, r.o}}) {
      if (!on) continue;
      uint8_t fr[CFRM_LEN] = {};
      fr[CFRM_KIND] = kind, fr[CFRM_PRESENT] = 1;
      st_le32(fr, CFRM_NO, m.em->em_frm_cnt + 1);
      ASSERT_NE(em_append(m.em, EM_FR, fr, CFRM_LEN), 0u);
      ++m.em->em_frm_cnt;
    }
    // The work files the query's module compiled, numbered as 0LA numbers them.
    for (const auto& [name, no] : {std::pair<const char*, uint32_t>{"QSLCT   ", 7000011}, {"QSORT   ", 7000012}}) {
      uint8_t c[CFI_LEN] = {};
      memcpy(c + FDB_AP, "0LA", 3), memcpy(c + FDB_NAME, name, 8), st_le32(c, CFI_FILE_NO, no);
      ASSERT_NE(em_append(m.em, EM_FI, c, CFI_LEN), 0u);
    }
    m.em->em_tag_mode = 0, m.em->em_qry_mode_dflt = r.mode;
    memcpy(p_ap_nam, "TSTCUSTOMER QUERY                ", 33);
    PCB p{};
    p.pcb_em = m.em;
    memcpy(p.invoc.b + INVOC_AP_ID, p_ap_nam, 3), memcpy(p.invoc.b + INVOC_PROC_NAM, p_ap_nam + 3, 30);
    p.invoc.b[INVOC_ONE_SHOT] = 7;
    st_le32(p.invoc.b, INVOC_END_CODE, r.held);
    g_runs.clear(), g_codes = r.codes;
    kivo_test::scoped_hook editors(process_seams.exec, [](INVOC* v) {
      std::string cn;
      const auto* f = static_cast<const cnstr_fld*>(ih_get(HK_CNSTR_FLDS, ld_le32(v->b, INVOC_CNSTR_FLDS)));
      const auto* s = static_cast<const uint8_t*>(ih_get(HK_CNSTR_SEGS, ld_le32(v->b, INVOC_CNSTR_SEGS)));
      for (uint32_t i = 0; f && s && i < ld_le32(v->b, INVOC_CNSTR_CNT); ++i)
        cn += std::to_string(ld_le16(s + 6 * i, 2)) + ":" + std::string(reinterpret_cast<char*>(f[i].addr), f[i].len) +
              " ";
      if (!cn.empty())
        cn = std::string(reinterpret_cast<char*>(v->b + INVOC_CNSTR_AP), 3) + " " +
             std::to_string(ld_le32(v->b, INVOC_CNSTR_STAMP)) + " " + cn;
      g_runs.push_back({std::string(reinterpret_cast<char*>(v->b + INVOC_PROC_NAM), 10), v->b[INVOC_ONE_SHOT], cn});
      const uint32_t c = g_codes.empty() ? 37 : g_codes.front();
      if (!g_codes.empty()) g_codes.erase(g_codes.begin());
      st_le32(v->b, INVOC_END_CODE, c);
    });
    const uint32_t end = MARK(MARK_RECOVERY, [&] { qp_exec(&p); });
    std::vector<std::string> names;
    for (const editor_run& e : g_runs) names.push_back(e.name);
    EXPECT_EQ(names, r.want_runs) << r.what;
    EXPECT_EQ(end, r.want_end) << r.what;
    for (const editor_run& e : g_runs) {
      EXPECT_EQ(e.one_shot, e.name == SO && r.s ? 1 : 7) << r.what << ": one-shot of " << e.name;
      // Each editor is kept to the query's own records of its work file.
      EXPECT_EQ(e.cnstr, std::string("0LA ") + (e.name == SO ? "7000012" : "7000011") +
                             " 0:TST 3:CUSTOMER QUERY                 ")
          << r.what << ": " << e.name;
    }
  }
}

// The records of the work file `name` at the system level, by process name.
std::map<std::string, int> count_by_proc(const char* name) {
  std::map<std::string, int> out;
  PCB none{};
  ARB* a = get_qfi_arb(&none, name);
  if (!a) return out;
  bytes r(kQparmLen);
  a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
  if (fm_start(a))
    for (a->arb_rec = r.data(), a->arb_len = kQparmLen, a->arb_mod = 0; fm_rdnxt(a); a->arb_mod = 0)
      ++out[std::string(reinterpret_cast<char*>(r.data()) + 3, 5)];
  a->arb_mod = 0, FM_CLOSE(a, 0);
  return out;
}

TEST_F(QueryProc, SetupKeepsClearsOrStartsCriteriaByMode) {
  struct row {
    const char* what;
    uint8_t mode;
    bool existing;
    int parm, slct, sort;  // the process's records afterwards
    char parm_mark;        // byte 1642 of its QPARM record: 'X' the old one
  };
  const row rows[] = {
      {"mode 1 starts from the defaults", 1, true, 1, 0, 0, ' '},
      {"mode 2 clears", 2, true, 0, 0, 0, 0},
      {"mode 3 keeps", 3, true, 1, 2, 1, 'X'},
      {"mode 4 keeps", 4, true, 1, 2, 1, 'X'},
      {"mode 4 without criteria starts from the defaults", 4, false, 1, 0, 0, ' '},
  };
  for (const row& r : rows) {
    module m;
    PCB p{};
    p.pcb_em = m.em;
    memcpy(p.invoc.b + INVOC_AP_ID, "TST", 3), memcpy(p.invoc.b + INVOC_PROC_NAM, m.em->em_proc_nam, 30);
    m.em->em_qry_mode_dflt = r.mode;
    for (const char* proc : {"CUSTOMER QUERY                ", "OTHER QUERY                   "}) {
      if (!r.existing && proc[0] == 'C') continue;
      ARB* parm = get_qfi_arb(&p, "QPARM   ");
      ARB* slct = get_qfi_arb(&p, "QSLCT   ");
      ARB* sort = get_qfi_arb(&p, "QSORT   ");
      bytes q(kQparmLen, ' ');
      memcpy(q.data(), "TST", 3), memcpy(q.data() + 3, proc, 30), q[1642] = 'X';
      ASSERT_EQ(put(parm, q), 1);
      for (uint32_t n = 1; n <= 2; ++n) {
        bytes l(kQslctLen, ' ');
        memcpy(l.data(), q.data(), 33), l[QSLCT_KIND] = 9, st_le32(l.data(), QSLCT_NO, n);
        ASSERT_EQ(put(slct, l), 1);
      }
      bytes o(kQsortLen, ' ');
      memcpy(o.data(), q.data(), 33), st_le32(o.data(), QSORT_SEQ, 1);
      ASSERT_EQ(put(sort, o), 1);
      for (ARB* a : {parm, slct, sort}) FM_CLOSE(a, 0);
    }
    EXPECT_EQ(qp_setup(&p), 1u) << r.what;
    EXPECT_EQ(count_by_proc("QPARM   ")["CUSTO"], r.parm) << r.what;
    EXPECT_EQ(count_by_proc("QSLCT   ")["CUSTO"], r.slct) << r.what;
    EXPECT_EQ(count_by_proc("QSORT   ")["CUSTO"], r.sort) << r.what;
    EXPECT_EQ(count_by_proc("QSLCT   ")["OTHER"], 2) << r.what << ": another process's criteria stay";
    if (r.parm) {
      ARB* parm = get_qfi_arb(&p, "QPARM   ");
      bytes q(kQparmLen);
      memcpy(q.data(), "TSTCUSTOMER QUERY                ", 33);
      parm->arb_rec = q.data(), parm->arb_len = kQparmLen, parm->arb_keyno = 0, parm->arb_key = nullptr;
      parm->arb_mod = ARB_EQUAL;
      ASSERT_EQ(fm_read(parm), 1);
      EXPECT_EQ(q[1642], r.parm_mark) << r.what;
      if (r.parm_mark == ' ') {
        EXPECT_EQ(q[1641], '0') << "the version's first character";
      }
      parm->arb_mod = 0, FM_CLOSE(parm, 0);
    }
    for (const char* n : {"QPARM   ", "QSLCT   ", "QSORT   "}) {
      ARB* a = get_qfi_arb(&p, n);
      a->arb_mod = 0, FM_CLOSE(a, ARB_SCRATCH);
    }
  }
}

TEST_F(QueryProc, CompatibleOnlyWithTheCriteriaItWasBuiltFrom) {
  ACTIVE_QRY q;
  memcpy(q.ap, "TST", 3), memcpy(q.proc, "CUSTOMER QUERY                ", 30), q.scope = com.sys_scope;
  PCB p{};
  module m;
  p.pcb_em = m.em;
  memcpy(p.invoc.b + INVOC_AP_ID, "TST", 3), memcpy(p.invoc.b + INVOC_PROC_NAM, q.proc, 30);
  ARB* parm = get_qfi_arb(&p, "QPARM   ");
  ARB* slct = get_qfi_arb(&p, "QSLCT   ");
  ARB* sort = get_qfi_arb(&p, "QSORT   ");
  bytes qp(kQparmLen, ' ');
  memcpy(qp.data(), "TST", 3), memcpy(qp.data() + 3, q.proc, 30);
  ASSERT_EQ(put(parm, qp), 1);
  auto line = [&](uint32_t n, char relop) {
    bytes l(kQslctLen, ' ');
    memcpy(l.data(), qp.data(), 33), l[QSLCT_KIND] = 9, st_le32(l.data(), QSLCT_NO, n), l[QSLCT_RELOP] = uint8_t(relop);
    return l;
  };
  ASSERT_EQ(put(slct, line(1, 1)), 1);
  bytes o(kQsortLen, ' ');
  memcpy(o.data(), qp.data(), 33), st_le32(o.data(), QSORT_SEQ, 1);
  ASSERT_EQ(put(sort, o), 1);
  QFI a = open_qfi(q.scope, "QPARM   ", q.ap, q.proc), b = open_qfi(q.scope, "QSLCT   ", q.ap, q.proc),
      c = open_qfi(q.scope, "QSORT   ", q.ap, q.proc);
  copy_specs(&q, a.strm, b.strm, c.strm);
  EXPECT_EQ(q.qslct.size(), 1u);
  EXPECT_EQ(pb_compatible(&q), 1) << "unchanged";
  auto rewrite = [&](ARB* f, bytes rec) {
    bytes old = rec;
    f->arb_rec = old.data(), f->arb_len = uint16_t(old.size()), f->arb_keyno = 0, f->arb_key = nullptr;
    f->arb_mod = ARB_EQUAL | ARB_HOLD;
    ASSERT_EQ(fm_read(f), 1);
    f->arb_rec = rec.data(), f->arb_mod = 0;
    ASSERT_EQ(fm_rewrite(f), 1);
  };
  rewrite(slct, line(1, 2));
  EXPECT_EQ(pb_compatible(&q), 0) << "a changed selection line";
  rewrite(slct, line(1, 1));
  EXPECT_EQ(pb_compatible(&q), 1);
  ASSERT_EQ(put(slct, line(2, 1)), 1);
  EXPECT_EQ(pb_compatible(&q), 0) << "an added line";
  q.qslct.push_back(line(2, 1));
  EXPECT_EQ(pb_compatible(&q), 1);
  q.qsort.push_back(o);
  EXPECT_EQ(pb_compatible(&q), 0) << "a removed sort line";
  for (QFI* f : {&a, &b, &c}) f->strm->arb_mod = 0, fm_detach(f->strm), FM_CLOSE(f->file, 0);
  for (ARB* f : {parm, slct, sort}) f->arb_mod = 0, FM_CLOSE(f, 0);
}

}  // namespace
}  // namespace kivo::test
