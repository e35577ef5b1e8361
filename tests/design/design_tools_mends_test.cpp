// The system-administration files end to end: every file of "0SA"'s
// dictionary exists in the default installation with its structure, the
// restructure of "0SA" carries all of them on a copy of that installation
// without a failure, and the bootstrap of the distribution (the real engine,
// `kivo -b`) creates each with the records of the default installation.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"
#include "design/db_restruct.h"
#include "design/dd_msg.h"
#include "design_test_util.h"
#include "fm/fm_open.h"
#include "foundation/bytes.h"
#include "foundation/com.h"

namespace kivo::test {
namespace {

// The files the restructure of "0SA" walks; SYSDIR besides them.
const char* const kSysadmFiles[] = {"APPL",    "DATABASE", "DBXAP",   "DESIGNER", "DFLTMAP",  "FORM",
                                    "KEYMAP",  "MANAGER",  "MAPDEF",  "MAPKEY",   "MAPTYPE",  "PRINTER",
                                    "PROFILE", "SYSDFLT",  "SYSPARM", "TERMKEY",  "TERMTYPE", "USER"};

class DesignToolsMends : public DesignFiles {
 protected:
  // The file manager started again on a copy of directory `from`.
  void install(const std::string& from) {
    stop_native();
    std::filesystem::copy(from, data_,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(start_native(data_), 1);
  }
  // The live records of each 0SA file (and SYSDIR) under `dir`; -1 where
  // the data file or its structure file is missing.
  static std::map<std::string, long> sysadm_counts(const std::string& dir) {
    std::map<std::string, long> out;
    auto count = [&](const std::string& name) {
      const std::string data = dir + "/0SA/Data/" + name + ".dat";
      const bool both = std::filesystem::exists(data) && std::filesystem::exists(dir + "/0SA/Struct/" + name + ".dat");
      out[name] = both ? long(kivo_test::native_records(data).records.size()) : -1;
    };
    for (const char* n : kSysadmFiles) count(n);
    count("SYSDIR");
    return out;
  }
  // The restructure of "0SA": file name, then the count and highest class
  // of its messages.
  static std::map<std::string, std::pair<uint32_t, uint32_t>> restructure_0sa() {
    std::map<std::string, std::pair<uint32_t, uint32_t>> out;
    if (db_restruct_0sa() != 1) return out;
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_MSG1_FDB(&f, k, s, "0AD", "00");
    if (!FM_OPEN(&f, com.sys_scope, 0, 15, 15)) return out;
    uint8_t r[kMsg1Size] = {};
    PROTO_FULL(f.fdb_arb, 0, r);
    f.fdb_arb->arb_len = kMsg1Size, f.fdb_arb->arb_mod = ARB_FIRST;
    if (fm_start(f.fdb_arb))
      while ((f.fdb_arb->arb_mod = 0, fm_rdnxt(f.fdb_arb))) {
        std::string name(reinterpret_cast<char*>(r + M1_FILE), 8);
        name.erase(name.find_last_not_of(' ') + 1);
        out[name] = {ld_le32(r, M1_COUNT), ld_le32(r, M1_CLASS)};
      }
    FM_CLOSE(f.fdb_arb, 0);
    return out;
  }
  static std::string build_dir() { return kivo_test::engine_dir(); }
};

// Each file of the list restructures with no message (its structure is the
// dictionary's), and keeps its records.
TEST_F(DesignToolsMends, RestructureOfTheSystemAdministrationCarriesEveryFile) {
  const std::map<std::string, long> shipped = sysadm_counts(build_dir() + "/shipped_data");
  for (const auto& [name, n] : shipped) EXPECT_GE(n, 0) << name << " missing in the default installation";
  EXPECT_GT(shipped.at("DFLTMAP"), 0);
  install(build_dir() + "/shipped_data");
  const auto messages = restructure_0sa();
  ASSERT_EQ(messages.size(), std::size(kSysadmFiles));
  for (const char* n : kSysadmFiles) {
    SCOPED_TRACE(n);
    ASSERT_TRUE(messages.count(n));
    EXPECT_EQ(messages.at(n), (std::pair<uint32_t, uint32_t>{0, 0}));
  }
  EXPECT_EQ(sysadm_counts(data_), shipped);
}

// `kivo -b` on the distribution alone: every 0SA file is made, with its
// structure, holding as many records as in the default installation; its
// restructure then finds nothing to complain of either.
TEST_F(DesignToolsMends, BootstrapCreatesAndFillsEverySystemAdministrationFile) {
  kivo_test::scratch_dir booted;
  std::filesystem::copy(build_dir() + "/dist", booted.path, std::filesystem::copy_options::recursive);
  const std::string cmd = "KIVOPATH=" + kivo_test::shell_quote(booted.path) + " " +
                          kivo_test::shell_quote(KIVO_BINARY) + " -b </dev/null >" + booted.file("boot.out") + " 2>&1";
  const int st = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << kivo_test::slurp(booted.file("boot.out"));
  EXPECT_EQ(kivo_test::slurp(booted.file("boot.out")).find("KIVOERR"), std::string::npos);
  EXPECT_EQ(sysadm_counts(booted.path), sysadm_counts(build_dir() + "/shipped_data"));
  install(booted.path);
  for (const auto& [name, m] : restructure_0sa()) EXPECT_EQ(m, (std::pair<uint32_t, uint32_t>{0, 0})) << name;
}

}  // namespace
}  // namespace kivo::test
