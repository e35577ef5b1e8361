// Back-end selection: every branch of the rules against a table of SYSDIR,
// SYSDFLT, APPL and DATABASE records, and the commit over the back-ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fm/fm_switch.h"
#include "fm/whole_file.h"
#include "fm_objects_test_util.h"
#include "foundation/bytes.h"

namespace kivo {
namespace {

std::string pad(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }

// The records standing behind the selection's hooks, written as
//   "dir DB/AP/VER/NAME t=7 c=CLASS alt=DB2 chk=1 s=5,6 r=1; ddb DB1 code=01 c=CLS;
//    appl AP/VER c=CLS; dflt CLASS t=1 chk=1"
// SYSDIR entries default to type 1, blank class and check flag, stamp 5,6.
struct world {
  std::map<std::string, std::vector<uint8_t>> sysdir, sysdflt, dap, ddb;

  explicit world(const std::string& text) {
    std::istringstream in(text);
    for (std::string rec; std::getline(in, rec, ';');) {
      std::istringstream words(rec);
      std::string kind, name, w;
      words >> kind >> name;
      std::map<std::string, std::string> opt;
      while (words >> w) opt[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
      auto get = [&](const char* k, const char* d) { return opt.count(k) ? opt[k] : std::string(d); };
      std::vector<std::string> f;
      std::istringstream parts(name);
      for (std::string x; std::getline(parts, x, '/');) f.push_back(x);
      if (kind == "dir") {
        std::vector<uint8_t> r(kSysdirLen, ' ');
        std::string key = pad(f[0], 3) + pad(f[1], 3) + pad(f[2], 2) + pad(f[3], 8);
        memcpy(r.data(), key.data(), 16);
        st_le32(r.data(), SYSDIR_REDIRECT, std::stoul(get("r", "0")));
        st_le16(r.data(), SYSDIR_FS_TYPE, uint16_t(std::stoul(get("t", "1"))));
        memcpy(r.data() + SYSDIR_CLASS, pad(get("c", ""), kClassLen).data(), kClassLen);
        memcpy(r.data() + SYSDIR_ALT_DB, pad(get("alt", ""), 3).data(), 3);
        r[SYSDIR_CHECK] = uint8_t(get("chk", " ")[0]);
        std::string st = get("s", "5,6");
        st_le32(r.data(), SYSDIR_STAMP, st == "unk" ? kStampUnknown : std::stoul(st));
        st_le32(r.data(), SYSDIR_STAMP + 4, st == "unk" ? 0 : std::stoul(st.substr(st.find(',') + 1)));
        sysdir[key] = r;
      } else if (kind == "dflt") {
        std::vector<uint8_t> r(kSysdfltLen, ' ');
        memcpy(r.data(), pad(name, kClassLen).data(), kClassLen);
        st_le16(r.data(), SYSDFLT_FS_TYPE, uint16_t(std::stoul(get("t", "1"))));
        r[SYSDFLT_CHECK] = uint8_t(get("chk", " ")[0]);
        sysdflt[std::string(reinterpret_cast<char*>(r.data()), SYSDFLT_CHECK)] = r;
      } else if (kind == "appl") {
        std::vector<uint8_t> r(324, ' ');
        memcpy(r.data() + DAP_CLASS, pad(get("c", ""), kClassLen).data(), kClassLen);
        dap[pad(f[0], 3) + pad(f[1], 2)] = r;
      } else if (kind == "ddb") {
        std::vector<uint8_t> r(424, ' ');
        memcpy(r.data() + DDB_CODE, get("code", "01").data(), 2);
        memcpy(r.data() + DDB_CLASS, pad(get("c", ""), kClassLen).data(), kClassLen);
        ddb[pad(name, 3)] = r;
      }
    }
  }
};

world* g_world = nullptr;

template <const std::map<std::string, std::vector<uint8_t>> world::*M>
int read_rec(const uint8_t* key, size_t key_len, uint8_t* rec) {
  auto& m = g_world->*M;
  auto it = m.find(std::string(reinterpret_cast<const char*>(key), key_len));
  if (it == m.end()) return 0;
  memcpy(rec, it->second.data(), it->second.size());
  return 1;
}
int read_sysdir(const uint8_t* key, uint8_t* rec) { return read_rec<&world::sysdir>(key, 16, rec); }
int read_sysdflt(const uint8_t* key, uint8_t* rec) { return read_rec<&world::sysdflt>(key, SYSDFLT_CHECK, rec); }
const uint8_t* find(const std::map<std::string, std::vector<uint8_t>>& m, const std::string& k) {
  auto it = m.find(k);
  return it == m.end() ? nullptr : it->second.data();
}
const uint8_t* get_dap(const char* ap, const char* ver) {
  return find(g_world->dap, std::string(ap, 3) + std::string(ver, 2));
}
const uint8_t* get_ddb(const char* db) { return find(g_world->ddb, std::string(db, 3)); }

fms_fn g_native, g_memory, g_remote, g_disk4, g_disk5;

// Path "AP/VER/NAME/DB/SRCAP/SRCVER/kind"; the expectation "fms 7 chk dir=DB1
// dflt" (back-end, LFB_STRUCT_CHK, the SYSDIR record handed on, a SYSDFLT
// record) or a status number. Options: "scoped", "anydir", "nochk",
// "memory", "notype", "stamp=5,7", "noremote".
struct row {
  const char* path;
  const char* records;
  const char* options;
  const char* want;
};

class FmSelect : public test::FmFresh {
 protected:
  void SetUp() override {
    FmFresh::SetUp();
    hooks_.set(fms_select, fms_select_hooks{read_sysdir, read_sysdflt, get_dap, get_ddb});
    for (fms_fn* t : {&g_native, &g_memory, &g_remote, &g_disk4, &g_disk5}) *t = fms_fn{};
    fms_install(FMS_NATIVE, &g_native);
    fms_install(FMS_MEMORY, &g_memory);
  }
  void TearDown() override {
    fms_set_data_server(nullptr);
    for (uint16_t t : {FMS_NATIVE, FMS_MEMORY, FMS_REMOTE, FMS_DISK4, FMS_DISK5}) fms_install(t, nullptr);
    FmFresh::TearDown();
  }

  void check(const row& r) {
    world w(r.records);
    g_world = &w;
    std::string opts = r.options, what = std::string(r.path) + " [" + r.records + "] " + opts;
    auto has = [&](const char* o) { return opts.find(o) != std::string::npos; };
    fms_install(FMS_REMOTE, has("noremote") ? nullptr : &g_remote);
    PFB pfb{};
    pfb.TYPE = has("memory") ? FS_MEMORY : has("notype") ? 0 : FS_DISK;
    if (has("stamp=")) sscanf(opts.c_str() + opts.find("stamp="), "stamp=%u,%u", &pfb.pfb_stamp[0], &pfb.pfb_stamp[1]);
    std::vector<std::string> f;
    std::istringstream parts(r.path);
    for (std::string x; std::getline(parts, x, '/');) f.push_back(x);
    LFN lfn{};
    FDB_PATH& p = lfn.lfn_path;
    memcpy(p.fdb_ap, pad(f[0], 3).data(), 3);
    memcpy(p.fdb_ver, pad(f[1], 2).data(), 2);
    memcpy(p.fdb_name, pad(f[2], 8).data(), 8);
    memcpy(p.fdb_db, pad(f[3], 3).data(), 3);
    memcpy(p.fdb_src_ap, pad(f[4], 3).data(), 3);
    memcpy(p.fdb_src_ver, pad(f[5], 2).data(), 2);
    p.fdb_class = uint8_t(std::stoi(f[6]));
    LFB lfb{};
    lfb.lfb_pfb = &pfb;
    lfb.lfb_lfn = &lfn;
    lfb.lfb_opt = (has("scoped") ? LFB_SCOPED : 0u) | (has("anydir") ? LFB_ANY_DIR : 0u) |
                  (has("nochk") ? LFB_NO_STRUCT_CHK : 0u);
    fms_records out;
    int ok = slct_fms(&lfb, &out);
    std::string want = r.want, got;
    if (!ok) {
      got = std::to_string(lfb.lfb_stat);
    } else {
      got = "fms " + std::to_string(pfb.pfb_fms->pfb_fms_fn_type);
      EXPECT_EQ(pfb.pfb_fms, fms_table(uint16_t(pfb.pfb_fms->pfb_fms_fn_type))) << what;
      if (lfb.lfb_opt & LFB_STRUCT_CHK) got += " chk";
      if (out.has_sysdir) {
        std::string db(reinterpret_cast<char*>(out.sysdir), 3);
        got += " dir=" + db.substr(0, db.find_last_not_of(' ') + 1);
      }
      if (out.has_sysdflt) got += " dflt";
    }
    EXPECT_EQ(got, want) << what;
  }
};

TEST_F(FmSelect, EveryBranchOfTheSelectionRules) {
  const char* kSrc = "0AD/00/CHILD//ZZZ/01/1";
  const char* kSa = "0SA/00/USER////1";
  const char* kData = "APX/01/CUST/DB1///1";
  const char* kStData = "APX/01/CUST/DB1///2";
  const char* kSrcDir = "dir /ZZZ/01/CHILD";
  const row rows[] = {
      {kData, "", "memory", "fms 2"},
      {kData, "dir DB1/APX//CUST; ddb DB1", "notype", "200220"},
      // Executable-module files.
      {"APX/01/MOD////3", "appl APX/01 c=EMC; dflt EMC", "", "fms 1 dflt"},
      {"APX/01/MOD////3", "", "", "200180"},
      {"0AD/00/MOD//0SA/00/4", "", "", "fms 1"},
      {"0AD/00/MOD//ZZZ/01/3", "appl ZZZ/01", "", "fms 1"},
      {"0SU/00/X////1", "", "", "200180"},
      {"0DB/00/X////1", "", "", "200180"},
      // Structure files.
      {"0AD/00/CHILD//ZZZ/01/2", "dir /ZZZ/01/CHILD t=7; appl ZZZ/01 c=C1; dflt C1 t=7", "", "fms 7 dflt"},
      {"0AD/00/CHILD//ZZZ/01/2", "appl ZZZ/01 c=C1; dflt C1 t=7", "", "fms 1"},
      {"0LA/EN/MESSAGE////2", "dir /0LA/EN/MESSAGE t=7", "", "fms 1"},
      {kStData, "", "", "200190"},
      {kStData, "ddb DB1; dir DB1/APX//CUST alt=DB2", "", "200200"},
      {kStData, "ddb DB1; dir DB1/APX//CUST alt=DB2; dir DB2/APX//CUST t=7 c=C2; ddb DB2; dflt C2 t=7", "",
       "fms 7 dir=DB2 dflt"},
      {kStData, "dir DB1/APX//CUST t=4; ddb DB1 c=DBC; dflt DBC", "", "fms 1 dir=DB1 dflt"},
      {"APX/01/CUST////2", "", "", "fms 1"},
      // Design sources.
      {"0LA/00/ERROR////1", "", "", "fms 1"},
      {"0AD/00/CHILD//0SA/00/1", "", "", "fms 1"},
      {kSrc, "appl ZZZ/01", "", "200490"},
      {kSrc, "appl ZZZ/01", "anydir", "fms 1 chk"},
      {kSrc, "", "nochk", "fms 1"},
      {kSrc, kSrcDir, "", "200180"},
      {kSrc, "dir /ZZZ/01/CHILD s=unk; appl ZZZ/01", "", "fms 1 chk dir="},
      {kSrc, "dir /ZZZ/01/CHILD; appl ZZZ/01", "", "fms 1 dir="},
      {kSrc, "dir /ZZZ/01/CHILD; appl ZZZ/01", "stamp=5,7", "fms 1 chk dir="},
      {kSrc, "dir /ZZZ/01/CHILD; appl ZZZ/01", "stamp=5,6", "fms 1 dir="},
      {kSrc, "dir /ZZZ/01/CHILD chk=1; appl ZZZ/01", "", "fms 1 chk dir="},
      {kSrc, "dir /ZZZ/01/CHILD c=SC chk=0; appl ZZZ/01; dflt SC chk=1", "", "fms 1 dir= dflt"},
      {kSrc, "dir /ZZZ/01/CHILD; appl ZZZ/01 c=AC; dflt AC chk=1", "", "fms 1 chk dir= dflt"},
      {kSrc, "dir /ZZZ/01/CHILD t=4; appl ZZZ/01", "", "200220"},
      {kSrc, "dir /ZZZ/01/CHILD t=7; appl ZZZ/01", "noremote", "200220"},
      {"0AD/00/CHILD//ZZZ/01/5", "dir /ZZZ/01/CHILD t=7; appl ZZZ/01", "", "fms 1 dir="},
      // System administration.
      {"0SA/00/SYSDIR////1", "", "", "fms 1"},
      {kSa, "", "", "200490"},
      {kSa, "", "anydir", "fms 1 chk"},
      {kSa, "dir /0SA//USER", "", "fms 1 dir="},
      {kSa, "dir /0SA//USER chk=1", "", "fms 1 chk dir="},
      {kSa, "dir /0SA//USER s=unk", "", "fms 1 chk dir="},
      {kSa, "dir /0SA//USER", "stamp=9,6", "fms 1 chk dir="},
      // Data files.
      {kData, "", "", "200490"},
      {kData, "", "anydir", "fms 1 chk"},
      {kData, "dir DB1/APX//CUST; ddb DB1", "", "fms 1 dir=DB1"},
      {kData, "dir DB1/APX//CUST s=unk; ddb DB1", "", "fms 1 chk dir=DB1"},
      {kData, "dir DB1/APX//CUST; ddb DB1", "stamp=5,1", "fms 1 chk dir=DB1"},
      {kData, "dir DB1/APX//CUST chk=1; ddb DB1", "", "fms 1 chk dir=DB1"},
      {kData, "dir DB1/APX//CUST", "", "200190"},
      {kData, "dir DB1/APX//CUST c=EC; dflt EC chk=1", "", "fms 1 chk dir=DB1 dflt"},
      {kData, "dir DB1/APX//CUST; ddb DB1 c=DC; dflt DC", "", "fms 1 dir=DB1 dflt"},
      {kData, "dir DB1/APX//CUST alt=DB2; dir DB2/APX//CUST t=7; ddb DB1; ddb DB2", "", "fms 7 dir=DB2"},
      {kData, "dir DB1/APX//CUST alt=DB2 r=1; ddb DB1", "", "fms 1 dir=DB1"},
      {kData, "dir DB1/APX//CUST alt=DB2; ddb DB1", "", "200200"},
      {kData, "dir DB1/APX//CUST alt=DB2; dir DB2/APX//CUST alt=DB3; ddb DB1; ddb DB2", "", "200200"},
      {kData, "dir DB1/APX//CUST alt=DB2; dir DB2/APX//CUST; ddb DB1", "", "200200"},
      {kData, "dir DB1/APX//CUST alt=DB2; dir DB2/APX//CUST; ddb DB1; ddb DB2 code=02", "", "200200"},
      {kData, "dir DB1/APX//CUST t=4; ddb DB1", "", "200220"},
      {kData, "dir DB1/APX//CUST t=5; ddb DB1", "", "200220"},
      {kData, "dir DB1/APX//CUST t=7; ddb DB1", "noremote", "200220"},
      {kData, "dir DB1/APX//CUST t=7; ddb DB1", "", "fms 7 dir=DB1"},
      {"APX/01/CUST/DB1///5", "dir DB1/APX//CUST t=7; ddb DB1", "", "fms 1 dir=DB1"},
      {kData, "dir /APX//CUST", "scoped", "fms 1 dir=DB1"},
      {kData, "dir /APX//CUST alt=DB2", "scoped", "fms 1 dir=DB1"},
  };
  for (const row& r : rows) check(r);
}

TEST_F(FmSelect, DataServerRoutesEveryListedKindToTheRemoteBackEnd) {
  std::string longest(256, 'h');
  EXPECT_EQ(fms_set_data_server((longest + "x").c_str()), 0);
  EXPECT_TRUE(reported("257 characters"));
  EXPECT_EQ(fms_data_server_entry(), nullptr) << "a refused address is not cut";
  ASSERT_EQ(fms_set_data_server("host:7000"), 1);
  const uint8_t* e = fms_data_server_entry();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(ld_le16(e, SYSDIR_FS_TYPE), FMS_REMOTE);
  EXPECT_EQ(e[SYSDIR_CHECK], '0');
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e) + SYSDIR_DIR, kSysDirFieldLen), pad("host:7000", 256));
  ASSERT_EQ(fms_set_data_server(longest.c_str()), 1);
  const row rows[] = {
      {"APX/01/CUST/DB1///1", "", "", "fms 7 dir="},
      {"APX/01/CUST/DB1///2", "", "", "fms 7 dir="},
      {"0AD/00/CHILD//ZZZ/01/1", "", "", "fms 7 dir="},
      {"0SA/00/USER////1", "", "", "fms 7 dir="},
      {"0SU/00/X////1", "", "", "200180"},
      {"APX/01/MOD////3", "appl APX/01", "", "fms 1"},
      {"APX/01/CUST/DB1///1", "", "memory", "fms 2"},
      {"APX/01/CUST/DB1///1", "", "noremote", "200220"},
  };
  for (const row& r : rows) check(r);
}

int g_calls[8];
int g_results[8];
int g_phase_seen;
template <int T>
int transact(int one, int phase, int zero) {
  EXPECT_EQ(one, 1);
  EXPECT_EQ(zero, 0);
  g_phase_seen = phase;
  ++g_calls[T];
  return g_results[T];
}
template <int T>
int release(ARB*, STRM*) {
  ++g_calls[T];
  return g_results[T];
}

std::string g_phases;
int g_fail_phase;
int phase_log(int, int phase, int) {
  g_phases += char('0' + phase);
  return phase != g_fail_phase;
}

TEST_F(FmSelect, CommitModesRunTheirPhasesAndStopAfterAFailedFirstPhase) {
  g_native.transact = phase_log;
  struct row {
    int mode, fail_phase;
    const char* phases;
    int want;
  };
  const row rows[] = {{0, -1, "01", 1}, {0, 0, "0", 0}, {0, 1, "01", 0}, {1, -1, "1", 1},
                      {2, -1, "02", 1}, {2, 0, "0", 0}, {2, 2, "02", 0}, {3, -1, "", 0}};
  for (const row& r : rows) {
    g_phases.clear();
    g_fail_phase = r.fail_phase;
    EXPECT_EQ(fm_commit(r.mode), r.want) << r.mode;
    EXPECT_EQ(g_phases, r.phases) << r.mode;
  }
  EXPECT_TRUE(reported("fm_commit - invalid commit mode"));
}

TEST_F(FmSelect, CommitIsTrueOnlyWhenEveryPresentBackEndSucceeds) {
  g_native.transact = transact<1>, g_native.release = release<1>;
  g_disk4.transact = transact<4>, g_disk4.release = release<4>;
  g_disk5.transact = transact<5>;
  g_memory.transact = transact<2>;
  g_remote.transact = transact<7>;
  struct row {
    bool disk4, disk5;
    int r4, r5, r1;
    int want;
  };
  const row rows[] = {
      {false, false, 0, 0, 1, 1}, {false, false, 0, 0, 0, 0}, {true, false, 1, 0, 1, 1}, {true, false, 0, 0, 1, 0},
      {true, true, 1, 1, 1, 1},   {true, true, 1, 0, 1, 0},   {true, true, 1, 1, 0, 0},
  };
  for (const row& r : rows) {
    fms_install(FMS_DISK4, r.disk4 ? &g_disk4 : nullptr);
    fms_install(FMS_DISK5, r.disk5 ? &g_disk5 : nullptr);
    memset(g_calls, 0, sizeof g_calls);
    g_results[1] = r.r1, g_results[4] = r.r4, g_results[5] = r.r5, g_results[2] = g_results[7] = 0;
    EXPECT_EQ(fms_commit(3), r.want);
    EXPECT_EQ(g_phase_seen, 3);
    EXPECT_EQ(g_calls[1], 1) << "the native back-end always takes part";
    EXPECT_EQ(g_calls[4], r.disk4 ? 1 : 0);
    EXPECT_EQ(g_calls[5], r.disk5 ? 1 : 0);
    EXPECT_EQ(g_calls[2] + g_calls[7], 0) << "memory and remote back-ends take no part";
  }
  // Release: every present disk back-end; the native result counts.
  fms_install(FMS_DISK4, &g_disk4);
  fms_install(FMS_DISK5, nullptr);
  memset(g_calls, 0, sizeof g_calls);
  g_results[4] = 0, g_results[1] = 1;
  EXPECT_EQ(fms_release_all(), 1);
  EXPECT_EQ(g_calls[4], 1);
  g_results[4] = 1, g_results[1] = 0;
  EXPECT_EQ(fms_release_all(), 0);
  fms_install(FMS_DISK4, nullptr);

  // The switch: type codes into word 0, absent back-ends fail.
  PFB pfb{};
  LFB lfb{};
  lfb.lfb_pfb = &pfb;
  pfb.TYPE = FS_DISK;
  EXPECT_EQ(fms_slct(&lfb, 3), 1);
  EXPECT_EQ(pfb.pfb_fms, &g_native);
  EXPECT_EQ(g_native.pfb_fms_fn_type, FMS_NATIVE);
  EXPECT_EQ(fms_slct(&lfb, FMS_DISK5), 0);
  EXPECT_EQ(lfb.lfb_stat, uint32_t{FM_NO_FMS});
  pfb.TYPE = FS_MEMORY;
  EXPECT_EQ(fms_slct(&lfb, FMS_REMOTE), 1);
  EXPECT_EQ(pfb.pfb_fms, &g_memory);
  EXPECT_EQ(g_memory.pfb_fms_fn_type, FMS_MEMORY);
}

}  // namespace
}  // namespace kivo
