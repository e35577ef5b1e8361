// Back-end selection: every branch of the rules against a table of SYSDIR,
// SYSDFLT, APPL and DATABASE records, and the commit over the back-ends.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fm/fm_switch.h"
#include "fm_objects_test_util.h"
#include "foundation/bytes.h"

namespace kivo {
namespace {

std::string pad(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }

// The records standing behind the selection's hooks.
struct world {
  std::map<std::string, std::vector<uint8_t>> sysdir, sysdflt, dap, ddb;

  void dir(const std::string& db, const std::string& ap, const std::string& ver, const std::string& name,
           uint16_t type = 1, const std::string& cls = "", const std::string& alt = "", char check = ' ',
           uint32_t stamp0 = 5, uint32_t stamp1 = 6, uint32_t redirect = 0) {
    std::vector<uint8_t> r(kSysdirLen, ' ');
    std::string key = pad(db, 3) + pad(ap, 3) + pad(ver, 2) + pad(name, 8);
    memcpy(r.data(), key.data(), 16);
    st_le32(r.data(), SYSDIR_REDIRECT, redirect);
    st_le16(r.data(), SYSDIR_FS_TYPE, type);
    memcpy(r.data() + SYSDIR_CLASS, pad(cls, kClassLen).data(), kClassLen);
    memcpy(r.data() + SYSDIR_ALT_DB, pad(alt, 3).data(), 3);
    r[SYSDIR_CHECK] = uint8_t(check);
    st_le32(r.data(), SYSDIR_STAMP, stamp0);
    st_le32(r.data(), SYSDIR_STAMP + 4, stamp1);
    sysdir[key] = r;
  }
  void dflt(const std::string& cls, uint16_t type, char check = ' ') {
    std::vector<uint8_t> r(kSysdfltLen, ' ');
    memcpy(r.data(), pad(cls, kClassLen).data(), kClassLen);
    st_le16(r.data(), SYSDFLT_FS_TYPE, type);
    r[SYSDFLT_CHECK] = uint8_t(check);
    sysdflt[std::string(reinterpret_cast<char*>(r.data()), SYSDFLT_CHECK)] = r;
  }
  void appl(const std::string& ap, const std::string& ver, const std::string& cls = "") {
    std::vector<uint8_t> r(324, ' ');
    memcpy(r.data() + DAP_CLASS, pad(cls, kClassLen).data(), kClassLen);
    dap[pad(ap, 3) + pad(ver, 2)] = r;
  }
  void database(const std::string& db, const std::string& code = "01", const std::string& cls = "") {
    std::vector<uint8_t> r(424, ' ');
    memcpy(r.data() + DDB_CODE, code.data(), 2);
    memcpy(r.data() + DDB_CLASS, pad(cls, kClassLen).data(), kClassLen);
    ddb[pad(db, 3)] = r;
  }
};

world* g_world = nullptr;

int read_sysdir(const uint8_t* key, uint8_t* rec) {
  auto it = g_world->sysdir.find(std::string(reinterpret_cast<const char*>(key), 16));
  if (it == g_world->sysdir.end()) return 0;
  memcpy(rec, it->second.data(), kSysdirLen);
  return 1;
}
int read_sysdflt(const uint8_t* key, uint8_t* rec) {
  auto it = g_world->sysdflt.find(std::string(reinterpret_cast<const char*>(key), SYSDFLT_CHECK));
  if (it == g_world->sysdflt.end()) return 0;
  memcpy(rec, it->second.data(), kSysdfltLen);
  return 1;
}
const uint8_t* get_dap(const char* ap, const char* ver) {
  auto it = g_world->dap.find(std::string(ap, 3) + std::string(ver, 2));
  return it == g_world->dap.end() ? nullptr : it->second.data();
}
const uint8_t* get_ddb(const char* db) {
  auto it = g_world->ddb.find(std::string(db, 3));
  return it == g_world->ddb.end() ? nullptr : it->second.data();
}

fms_fn g_native, g_memory, g_remote, g_disk4, g_disk5;

struct path_def {
  const char* ap;
  const char* ver;
  const char* name;
  const char* db = "";
  const char* src_ap = "";
  const char* src_ver = "";
  uint8_t kind = PATH_DATA;
};

struct row {
  const char* what;
  path_def path;
  std::function<void(world&)> setup;
  uint32_t opt = 0;
  uint32_t want_stat = 0;  // 0: success
  uint16_t want_fms = FMS_NATIVE;
  bool want_chk = false;
  const char* want_dir_db = nullptr;  // the SYSDIR record handed on (by its database), null = none
  bool want_dflt = false;
  uint8_t type = FS_DISK;
  uint32_t stamp0 = 0, stamp1 = 0;
  bool remote = true;
};

class FmSelect : public test::FmFresh {
 protected:
  void SetUp() override {
    FmFresh::SetUp();
    g_world = &world_;
    fms_select = fms_select_hooks{read_sysdir, read_sysdflt, get_dap, get_ddb};
    for (fms_fn* t : {&g_native, &g_memory, &g_remote, &g_disk4, &g_disk5}) *t = fms_fn{};
    fms_install(FMS_NATIVE, &g_native);
    fms_install(FMS_MEMORY, &g_memory);
    fms_install(FMS_REMOTE, &g_remote);
    fms_install(FMS_DISK4, nullptr);
    fms_install(FMS_DISK5, nullptr);
  }
  void TearDown() override {
    fms_select = fms_select_hooks{};
    fms_set_data_server(nullptr);
    for (uint16_t t : {FMS_NATIVE, FMS_MEMORY, FMS_REMOTE}) fms_install(t, nullptr);
    FmFresh::TearDown();
  }

  void check(const row& r) {
    world_ = world{};
    if (r.setup) r.setup(world_);
    fms_install(FMS_REMOTE, r.remote ? &g_remote : nullptr);
    PFB pfb{};
    pfb.TYPE = r.type;
    pfb.pfb_stamp[0] = r.stamp0;
    pfb.pfb_stamp[1] = r.stamp1;
    LFN lfn{};
    FDB_PATH& p = lfn.lfn_path;
    memcpy(p.fdb_ap, pad(r.path.ap, 3).data(), 3);
    memcpy(p.fdb_ver, pad(r.path.ver, 2).data(), 2);
    memcpy(p.fdb_name, pad(r.path.name, 8).data(), 8);
    memcpy(p.fdb_db, pad(r.path.db, 3).data(), 3);
    memcpy(p.fdb_src_ap, pad(r.path.src_ap, 3).data(), 3);
    memcpy(p.fdb_src_ver, pad(r.path.src_ver, 2).data(), 2);
    p.fdb_class = r.path.kind;
    LFB lfb{};
    lfb.lfb_pfb = &pfb;
    lfb.lfb_lfn = &lfn;
    lfb.lfb_opt = r.opt;
    fms_records out;
    int ok = slct_fms(&lfb, &out);
    if (r.want_stat) {
      EXPECT_EQ(ok, 0) << r.what;
      EXPECT_EQ(lfb.lfb_stat, r.want_stat) << r.what;
      return;
    }
    ASSERT_EQ(ok, 1) << r.what << " status " << lfb.lfb_stat;
    ASSERT_NE(pfb.pfb_fms, nullptr) << r.what;
    EXPECT_EQ(pfb.pfb_fms->pfb_fms_fn_type, r.want_fms) << r.what;
    EXPECT_EQ(pfb.pfb_fms, fms_table(r.want_fms)) << r.what;
    EXPECT_EQ((lfb.lfb_opt & LFB_STRUCT_CHK) != 0, r.want_chk) << r.what;
    EXPECT_EQ(out.has_sysdir, r.want_dir_db != nullptr) << r.what;
    if (r.want_dir_db && out.has_sysdir) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out.sysdir), 3), pad(r.want_dir_db, 3)) << r.what;
    }
    EXPECT_EQ(out.has_sysdflt, r.want_dflt) << r.what;
  }

  world world_;
};

// Stamps of the SYSDIR entries the rows make: 5 and 6.
constexpr uint32_t kUnknown = kStampUnknown;

TEST_F(FmSelect, EveryBranchOfTheSelectionRules) {
  const path_def em{"APX", "01", "MOD", "", "", "", PATH_EM};
  const path_def st_src{"0AD", "00", "CHILD", "", "ZZZ", "01", PATH_STRUCT};
  const path_def st_data{"APX", "01", "CUST", "DB1", "", "", PATH_STRUCT};
  const path_def src{"0AD", "00", "CHILD", "", "ZZZ", "01"};
  const path_def sa{"0SA", "00", "USER"};
  const path_def data{"APX", "01", "CUST", "DB1"};
  auto entry = [](const char* db, uint16_t type = 1, const char* cls = "", const char* alt = "", char chk = ' ',
                  uint32_t s0 = 5) { return [=](world& w) { w.dir(db, "APX", "", "CUST", type, cls, alt, chk, s0); }; };
  auto with_db = [](std::function<void(world&)> f) {
    return [=](world& w) {
      f(w);
      w.database("DB1");
    };
  };
  const std::vector<row> rows = {
      {"memory file", data, nullptr, 0, 0, FMS_MEMORY, false, nullptr, false, FS_MEMORY},
      {"disk file of type 0", data, with_db(entry("DB1")), 0, FM_NO_FMS, 0, false, nullptr, false, 0},
      // Executable-module files.
      {"module file with its application's default", em,
       [](world& w) {
         w.appl("APX", "01", "EMCLASS");
         w.dflt("EMCLASS", 1);
       },
       0, 0, FMS_NATIVE, false, nullptr, true},
      {"module file of a missing application", em, nullptr, 0, FM_REFUSED_AP},
      {"module file of a design source of a system application",
       {"0AD", "00", "MOD", "", "0SA", "00", PATH_DBG},
       nullptr},
      {"module file of a design source reads the source's APPL",
       {"0AD", "00", "MOD", "", "ZZZ", "01", PATH_EM},
       [](world& w) { w.appl("ZZZ", "01"); }},
      // Refused applications.
      {"0SU refused", {"0SU", "00", "X"}, nullptr, 0, FM_REFUSED_AP},
      {"0DB refused", {"0DB", "00", "X"}, nullptr, 0, FM_REFUSED_AP},
      // Structure files.
      {"structure of a design source takes the remote default", st_src,
       [](world& w) {
         w.dir("", "ZZZ", "01", "CHILD", FMS_REMOTE);
         w.appl("ZZZ", "01", "C1");
         w.dflt("C1", FMS_REMOTE);
       },
       0, 0, FMS_REMOTE, false, nullptr, true},
      {"structure of a design source, local", st_src, [](world& w) { w.appl("ZZZ", "01", "C1"); }},
      {"structure of the message file", {"0LA", "EN", "MESSAGE", "", "", "", PATH_STRUCT}, nullptr},
      {"structure of a data file without its database", st_data, nullptr, 0, FM_NO_DB},
      {"structure of a data file, alternate database missing", st_data,
       with_db([](world& w) { w.dir("DB1", "APX", "", "CUST", 1, "", "DB2"); }), 0, FM_BAD_ALT_DB},
      {"structure of a data file, redirected", st_data, with_db([](world& w) {
         w.dir("DB1", "APX", "", "CUST", 1, "", "DB2");
         w.dir("DB2", "APX", "", "CUST", FMS_REMOTE, "C2");
         w.database("DB2");
         w.dflt("C2", FMS_REMOTE);
       }),
       0, 0, FMS_REMOTE, false, "DB2", true},
      {"structure of a data file, database class, odd type", st_data,
       [](world& w) {
         w.dir("DB1", "APX", "", "CUST", 4);
         w.database("DB1", "01", "DBCLASS");
         w.dflt("DBCLASS", 1);
       },
       0, 0, FMS_NATIVE, false, "DB1", true},
      {"structure of a file without database", {"APX", "01", "CUST", "", "", "", PATH_STRUCT}, nullptr},
      // Design sources.
      {"0LA of version 00", {"0LA", "00", "ERROR"}, nullptr},
      {"0AD of a system application's 00", {"0AD", "00", "CHILD", "", "0SA", "00"}, nullptr},
      {"design source not in SYSDIR", src, [](world& w) { w.appl("ZZZ", "01"); }, 0, FM_NOT_IN_SYSDIR},
      {"design source not in SYSDIR, any directory", src, [](world& w) { w.appl("ZZZ", "01"); }, LFB_ANY_DIR, 0,
       FMS_NATIVE, true},
      {"design source without structure check or APPL", src, nullptr, LFB_NO_STRUCT_CHK},
      {"design source, APPL missing", src, [](world& w) { w.dir("", "ZZZ", "01", "CHILD"); }, 0, FM_REFUSED_AP},
      {"design source, stamp unknown", src,
       [](world& w) {
         w.dir("", "ZZZ", "01", "CHILD", 1, "", "", ' ', kUnknown);
         w.appl("ZZZ", "01");
       },
       0, 0, FMS_NATIVE, true, ""},
      {"design source, PFB without stamp", src,
       [](world& w) {
         w.dir("", "ZZZ", "01", "CHILD");
         w.appl("ZZZ", "01");
       },
       0, 0, FMS_NATIVE, false, ""},
      {"design source, PFB stamp differs", src,
       [](world& w) {
         w.dir("", "ZZZ", "01", "CHILD");
         w.appl("ZZZ", "01");
       },
       0, 0, FMS_NATIVE, true, "", false, FS_DISK, 5, 7},
      {"design source, PFB stamp agrees", src,
       [](world& w) {
         w.dir("", "ZZZ", "01", "CHILD");
         w.appl("ZZZ", "01");
       },
       0, 0, FMS_NATIVE, false, "", false, FS_DISK, 5, 6},
      {"design source, SYSDIR check flag", src,
       [](world& w) {
         w.dir("", "ZZZ", "01", "CHILD", 1, "", "", '1');
         w.appl("ZZZ", "01");
       },
       0, 0, FMS_NATIVE, true, ""},
      {"design source, SYSDIR flag 0 overrides the class default", src,
       [](world& w) {
         w.dir("", "ZZZ", "01", "CHILD", 1, "SC", "", '0');
         w.appl("ZZZ", "01");
         w.dflt("SC", 1, '1');
       },
       0, 0, FMS_NATIVE, false, "", true},
      {"design source, class default's check flag from APPL", src,
       [](world& w) {
         w.dir("", "ZZZ", "01", "CHILD");
         w.appl("ZZZ", "01", "AC");
         w.dflt("AC", 1, '1');
       },
       0, 0, FMS_NATIVE, true, "", true},
      {"design source on file system 4", src,
       [](world& w) {
         w.dir("", "ZZZ", "01", "CHILD", FMS_DISK4);
         w.appl("ZZZ", "01");
       },
       0, FM_NO_FMS},
      {"design source on the absent remote back-end", src,
       [](world& w) {
         w.dir("", "ZZZ", "01", "CHILD", FMS_REMOTE);
         w.appl("ZZZ", "01");
       },
       0, FM_NO_FMS, 0, false, nullptr, false, FS_DISK, 0, 0, false},
      {"portable design source stays native",
       {"0AD", "00", "CHILD", "", "ZZZ", "01", PATH_PORTDATA},
       [](world& w) {
         w.dir("", "ZZZ", "01", "CHILD", FMS_REMOTE);
         w.appl("ZZZ", "01");
       },
       0,
       0,
       FMS_NATIVE,
       false,
       ""},
      // System administration.
      {"SYSDIR itself", {"0SA", "00", "SYSDIR"}, nullptr},
      {"administration file not listed", sa, nullptr, 0, FM_NOT_IN_SYSDIR},
      {"administration file not listed, any directory", sa, nullptr, LFB_ANY_DIR, 0, FMS_NATIVE, true},
      {"administration file trusted", sa, [](world& w) { w.dir("", "0SA", "", "USER"); }, 0, 0, FMS_NATIVE, false, ""},
      {"administration file, check flag", sa, [](world& w) { w.dir("", "0SA", "", "USER", 1, "", "", '1'); }, 0, 0,
       FMS_NATIVE, true, ""},
      {"administration file, stamp unknown", sa,
       [](world& w) { w.dir("", "0SA", "", "USER", 1, "", "", ' ', kUnknown); }, 0, 0, FMS_NATIVE, true, ""},
      {"administration file, PFB stamp differs", sa, [](world& w) { w.dir("", "0SA", "", "USER"); }, 0, 0, FMS_NATIVE,
       true, "", false, FS_DISK, 9, 6},
      // Data files.
      {"data file not listed", data, nullptr, 0, FM_NOT_IN_SYSDIR},
      {"data file not listed, any directory", data, nullptr, LFB_ANY_DIR, 0, FMS_NATIVE, true},
      {"data file listed", data, with_db(entry("DB1")), 0, 0, FMS_NATIVE, false, "DB1"},
      {"data file, stamp unknown", data, with_db(entry("DB1", 1, "", "", ' ', kUnknown)), 0, 0, FMS_NATIVE, true,
       "DB1"},
      {"data file, PFB stamp differs", data, with_db(entry("DB1")), 0, 0, FMS_NATIVE, true, "DB1", false, FS_DISK, 5,
       1},
      {"data file, SYSDIR check flag", data, with_db(entry("DB1", 1, "", "", '1')), 0, 0, FMS_NATIVE, true, "DB1"},
      {"data file, database record missing", data, entry("DB1"), 0, FM_NO_DB},
      {"data file with its own class needs no database", data,
       [](world& w) {
         w.dir("DB1", "APX", "", "CUST", 1, "EC");
         w.dflt("EC", 1, '1');
       },
       0, 0, FMS_NATIVE, true, "DB1", true},
      {"data file takes the database's class", data,
       [](world& w) {
         w.dir("DB1", "APX", "", "CUST");
         w.database("DB1", "01", "DC");
         w.dflt("DC", 1);
       },
       0, 0, FMS_NATIVE, false, "DB1", true},
      {"data file redirected", data, with_db([](world& w) {
         w.dir("DB1", "APX", "", "CUST", 1, "", "DB2");
         w.dir("DB2", "APX", "", "CUST", FMS_REMOTE);
         w.database("DB2");
       }),
       0, 0, FMS_REMOTE, false, "DB2"},
      {"data file, word at 16 stops the redirection", data,
       with_db([](world& w) { w.dir("DB1", "APX", "", "CUST", 1, "", "DB2", ' ', 5, 6, 1); }), 0, 0, FMS_NATIVE, false,
       "DB1"},
      {"data file, alternate entry missing", data, with_db(entry("DB1", 1, "", "DB2")), 0, FM_BAD_ALT_DB},
      {"data file, alternate redirects again", data, with_db([](world& w) {
         w.dir("DB1", "APX", "", "CUST", 1, "", "DB2");
         w.dir("DB2", "APX", "", "CUST", 1, "", "DB3");
         w.database("DB2");
       }),
       0, FM_BAD_ALT_DB},
      {"data file, alternate database missing", data, with_db([](world& w) {
         w.dir("DB1", "APX", "", "CUST", 1, "", "DB2");
         w.dir("DB2", "APX", "", "CUST");
       }),
       0, FM_BAD_ALT_DB},
      {"data file, database codes differ", data, with_db([](world& w) {
         w.dir("DB1", "APX", "", "CUST", 1, "", "DB2");
         w.dir("DB2", "APX", "", "CUST");
         w.database("DB2", "02");
       }),
       0, FM_BAD_ALT_DB},
      {"data file on file system 4", data, with_db(entry("DB1", FMS_DISK4)), 0, FM_NO_FMS},
      {"data file on file system 5", data, with_db(entry("DB1", FMS_DISK5)), 0, FM_NO_FMS},
      {"data file on the absent remote back-end", data, with_db(entry("DB1", FMS_REMOTE)), 0, FM_NO_FMS, 0, false,
       nullptr, false, FS_DISK, 0, 0, false},
      {"data file on the remote back-end", data, with_db(entry("DB1", FMS_REMOTE)), 0, 0, FMS_REMOTE, false, "DB1"},
      {"portable data file stays native",
       {"APX", "01", "CUST", "DB1", "", "", PATH_PORTDATA},
       with_db(entry("DB1", FMS_REMOTE)),
       0,
       0,
       FMS_NATIVE,
       false,
       "DB1"},
      {"scoped temporary data file finds the blank database", data, entry(""), LFB_SCOPED, 0, FMS_NATIVE, false, "DB1"},
      {"scoped data file ignores a redirection", data, entry("", 1, "", "DB2"), LFB_SCOPED, 0, FMS_NATIVE, false,
       "DB1"},
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

  const std::vector<row> rows = {
      {"unlisted data file", {"APX", "01", "CUST", "DB1"}, nullptr, 0, 0, FMS_REMOTE, false, "   "},
      {"structure file", {"APX", "01", "CUST", "DB1", "", "", PATH_STRUCT}, nullptr, 0, 0, FMS_REMOTE, false, "   "},
      {"design source", {"0AD", "00", "CHILD", "", "ZZZ", "01"}, nullptr, 0, 0, FMS_REMOTE, false, "   "},
      {"administration file", {"0SA", "00", "USER"}, nullptr, 0, 0, FMS_REMOTE, false, "   "},
      {"refused application stays refused", {"0SU", "00", "X"}, nullptr, 0, FM_REFUSED_AP},
      {"module file stays native", {"APX", "01", "MOD", "", "", "", PATH_EM}, [](world& w) { w.appl("APX", "01"); }},
      {"memory file stays in memory",
       {"APX", "01", "CUST", "DB1"},
       nullptr,
       0,
       0,
       FMS_MEMORY,
       false,
       nullptr,
       false,
       FS_MEMORY},
      {"remote back-end absent",
       {"APX", "01", "CUST", "DB1"},
       nullptr,
       0,
       FM_NO_FMS,
       0,
       false,
       nullptr,
       false,
       FS_DISK,
       0,
       0,
       false},
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
int release(int, int) {
  ++g_calls[T];
  return g_results[T];
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
