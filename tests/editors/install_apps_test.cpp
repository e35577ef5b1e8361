// kivo_install's shipped-application records: a faulty line of the
// applications source names its place and fails the install (so the build
// fails), a data file without a design is refused and none is made, and a
// missing shipped data file is made again. The installation is a copy of
// the default one in a scratch directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct run_result {
  int status;
  std::string out;
};

class InstallApps : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kivo_install_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const std::string kivo = KIVO_BINARY, build = kivo.substr(0, kivo.rfind('/'));
    tool_ = build + "/tools/kivo_install";
    ASSERT_EQ(system(("cp -R " + shell_quote(build + "/shipped_data/.") + " " + shell_quote(dir_)).c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf " + shell_quote(dir_)).c_str()), 0); }
  // kivo_install with the shipped messages, keys and options and `apps` as
  // the applications source.
  run_result install(const std::string& apps) {
    std::ofstream(dir_ + "/apps.txt") << apps;
    // As the build does: the files it writes are removed first.
    std::string rm = "rm -f";
    for (const char* f : {"0SA/Data/APPL", "0SA/Data/USER", "0SA/Data/DFLTMAP", "00/0LA/Data/MESSAGE",
                          "0SA/Data/DATABASE", "0SA/Data/DBXAP", "0SA/Data/SYSDIR"})
      rm += " " + shell_quote(dir_ + "/" + f) + ".dat " + shell_quote(dir_ + "/" + f) + ".key";
    if (system(rm.c_str()) != 0) return {-1, "not removed: " + rm};
    const std::string src = std::string(KIVO_SOURCE_DIR) + "/share/install/";
    const std::string cmd = "ASAN_OPTIONS=detect_leaks=0 " + shell_quote(tool_) + " -d " + shell_quote(dir_) + " " +
                            src + "messages.txt " + src + "keys.txt " + src + "options.txt " +
                            shell_quote(dir_ + "/apps.txt") + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int st = pclose(p);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
  }
  bool exists(const std::string& f) const {
    struct stat s;
    return stat((dir_ + "/" + f).c_str(), &s) == 0;
  }
  std::string dir_, tool_;
};

TEST_F(InstallApps, FaultyLinesNameTheirPlaceAndFail) {
  const struct {
    const char* apps;
    const char* said;
  } rows[] = {
      {"# ok\nAPPL DEM 01 \"Demo\"\nAPPLICATION X\n", "apps.txt:3: unknown record \"APPLICATION\""},
      {"DATABASE DEMO DEM 01\n", "apps.txt:1: database \"DEMO\" is not 3 characters"},
      {"DBXAP DEM DEM 4\n", "apps.txt:1: expected DBXAP <db> <ap> <kind 1-3>"},
      {"APPL DEM 01 \"Demo\n", "apps.txt:1: a quote is not closed"},
      {"DATAFILE DEM DEM 01 TOOLONGNAME\n", "apps.txt:1: expected DATAFILE"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.apps);
    const run_result got = install(r.apps);
    EXPECT_EQ(got.status, 1);
    EXPECT_NE(got.out.find(r.said), std::string::npos) << got.out;
  }
}

// A data file the application's design does not describe is refused by
// name, and no file is made in its place.
TEST_F(InstallApps, DataFileWithoutDesignIsRefused) {
  const run_result got = install("DATABASE DEM DEM 01\nDATAFILE DEM DEM 01 ORDERS\n");
  EXPECT_EQ(got.status, 1);
  EXPECT_NE(got.out.find("apps.txt:2: no FILE record of ORDERS in the design of DEM/01"), std::string::npos) << got.out;
  EXPECT_FALSE(exists("DEM/DEM/Data/ORDERS.dat"));
  // The shipped file is made again where it is missing.
  ASSERT_EQ(system(("rm -f " + shell_quote(dir_) + "/DEM/DEM/Data/CUSTOMER.*").c_str()), 0);
  EXPECT_EQ(install("DATABASE DEM DEM 01\nDATAFILE DEM DEM 01 CUSTOMER\n").status, 0);
  EXPECT_TRUE(exists("DEM/DEM/Data/CUSTOMER.dat"));
  EXPECT_TRUE(exists("DEM/DEM/Data/CUSTOMER.key"));
}

}  // namespace
