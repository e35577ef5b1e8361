// Paths: the data directory, each rule of the path builder, templates with
// variables, and the bounds of the fixed path buffer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/com.h"
#include "foundation/os.h"
#include "foundation/paths.h"

using namespace kivo;

namespace {

class Paths : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    unsetenv("KIVO_0SA_PATH");
    ss_unix_init();
    ss_path_vars_reset();
    root_ = cstr{static_cast<uint16_t>(strlen(root_text_)), root_text_};
    sysdir_.assign(600, ' ');
    sysdflt_.assign(600, ' ');
  }
  void TearDown() override { ss_path_vars_reset(); }

  std::string build(const FDB_PATH& f, bool with_dir = false, bool with_dflt = false, int* status = nullptr) {
    const cstr* p =
        ss_bld_path(&f, 0, &root_, with_dir ? sysdir_.data() : nullptr, with_dflt ? sysdflt_.data() : nullptr, status);
    if (!p) return "<null>";
    EXPECT_EQ(p->len, strlen(p->ptr) + 1);
    return p->ptr;
  }
  void set_dir(const std::string& d) { memcpy(&sysdir_[SYSDIR_DIR], d.data(), d.size()); }
  void set_dflt(const std::string& d) { memcpy(&sysdflt_[SYSDFLT_DIR], d.data(), d.size()); }
  void set_opts(const std::string& o) { memcpy(&sysdflt_[SYSDFLT_OPTIONS], o.data(), o.size()); }

  static FDB_PATH data_fdb() {
    FDB_PATH f;
    memset(&f, ' ', sizeof f);
    f.fdb_tmp_id = 0;
    INIT_DB_PATH(&f, "DB1", "ABC", "01", "CUST", PATH_DATA);
    return f;
  }

  char root_text_[16] = "/srv/kivo/data";
  cstr root_;
  std::vector<uint8_t> sysdir_, sysdflt_;
};

std::string pid_hex5() {
  char b[16];
  snprintf(b, sizeof b, "%05X", static_cast<unsigned>(getpid()));
  return b;
}

}  // namespace

TEST(DataDir, KivoPathIsTakenWholeElseTheProgramsDirectory) {
  setenv("KIVOPATH", "/srv/k", 1);
  cstr root, dd, other;
  ss_bob_path("/opt/kivo/bin/kivo", &root, &dd, &other);
  EXPECT_EQ(std::string(dd.ptr, dd.len), "/srv/k");
  EXPECT_EQ(root.len, 0);
  EXPECT_EQ(other.len, 0);
  EXPECT_STREQ(ss_image_name(), "/opt/kivo/bin/kivo");
  unsetenv("KIVOPATH");
  ss_bob_path("/opt/my kivo/bin/kivo", &root, &dd, &other);
  EXPECT_EQ(std::string(dd.ptr, dd.len), "/opt/my kivo/bin/data");
  const char* old = getenv("PATH");  // a program found through PATH
  std::string saved = old ? old : "";
  setenv("PATH", "/nonexistent:/bin:/usr/bin", 1);
  ss_bob_path("sh", &root, &dd, &other);
  EXPECT_EQ(std::string(dd.ptr, dd.len), "/bin/data");
  ss_bob_path("no-such-program-kivo", &root, &dd, &other);
  EXPECT_EQ(std::string(dd.ptr, dd.len), "/usr/bin/data");  // the last one tried
  setenv("PATH", saved.c_str(), 1);
}

TEST_F(Paths, FixedLayoutForEachKindOfFile) {
  FDB_PATH f = data_fdb();
  EXPECT_EQ(build(f), "/srv/kivo/data/DB1/ABC/Data/CUST");

  INIT_SA_PATH(&f, "USER", PATH_DATA);
  EXPECT_EQ(build(f), "/srv/kivo/data/0SA/Data/USER");

  INIT_LA_PATH(&f, "00", "MESSAGE", PATH_DATA);
  EXPECT_EQ(build(f), "/srv/kivo/data/00/0LA/Data/MESSAGE");

  INIT_SRC_PATH(&f, "ABC", "01", "PROCESS", PATH_DATA);
  EXPECT_EQ(build(f), "/srv/kivo/data/01/ABC/Data/PROCESS");
  memcpy(f.fdb_db, "DB1", 3);
  f.fdb_class = PATH_EM;
  EXPECT_EQ(build(f), "/srv/kivo/data/01/ABC/Em/DB1/PROCESS");

  f = data_fdb();
  f.fdb_class = PATH_SESS;
  memcpy(f.fdb_name, "NIGHT1  ", 8);
  EXPECT_EQ(build(f), "/srv/kivo/data/Sess/NIGHT1");

  f = data_fdb();
  memcpy(f.fdb_ap, "0DN", 3);
  char pid[16];
  snprintf(pid, sizeof pid, "%X", static_cast<unsigned>(getpid()));
  EXPECT_EQ(build(f), std::string("/srv/kivo/data/Data/") + pid + "CUST");

  char with_blank[] = "/opt/my kivo/data";  // blanks of the installation path stay
  root_ = cstr{static_cast<uint16_t>(strlen(with_blank)), with_blank};
  f = data_fdb();
  memcpy(f.fdb_name, "MY FILE ", 8);
  EXPECT_EQ(build(f), "/opt/my kivo/data/DB1/ABC/Data/MYFILE");
}

TEST_F(Paths, TemporaryFileNameCarriesNumberAndProcess) {
  FDB_PATH f = data_fdb();
  INIT_TMP_PATH(&f, "ABC", "01", "WORK", 1);
  EXPECT_EQ(build(f), "/srv/kivo/data/ABC/Tmpdata/WORK0000-01" + pid_hex5());
  f.fdb_tmp_id = 0x100;
  int st = 0;
  EXPECT_EQ(build(f, false, false, &st), "<null>");
  EXPECT_EQ(st, PATH_BAD_TMP_NAME);
}

TEST_F(Paths, SystemDirectoryEntriesChooseTheBase) {
  FDB_PATH f = data_fdb();
  set_dflt("/dflt");
  EXPECT_EQ(build(f, false, true), "/dflt/DB1/ABC/Data/CUST");
  set_dir("/own");
  EXPECT_EQ(build(f, true, true), "/own/DB1/ABC/Data/CUST");
  memcpy(&sysdir_[SYSDIR_DB], "DB9", 3);
  EXPECT_EQ(build(f, true, true), "/own/DB9/ABC/Data/CUST");
  setenv("KIVO_0SA_PATH", "/sa", 1);
  ss_unix_init();
  INIT_SA_PATH(&f, "USER", PATH_STRUCT);
  EXPECT_EQ(build(f, true, true), "/sa/0SA/Struct/USER");
  unsetenv("KIVO_0SA_PATH");
  ss_unix_init();
}

TEST_F(Paths, ModuleDirectoryFromTheDefaultOptions) {
  FDB_PATH f;
  memset(&f, ' ', sizeof f);
  f.fdb_tmp_id = 0;
  INIT_SRC_PATH(&f, "ABC", "01", "PROC", PATH_EM);
  set_opts("TRACK=1;EM=/mods/$(ap);X=2");
  EXPECT_EQ(build(f, false, true), "/mods/ABC/01/ABC/Em/PROC");
  f.fdb_class = PATH_DATA;  // only modules and debug files move
  EXPECT_EQ(build(f, false, true), "/srv/kivo/data/01/ABC/Data/PROC");
}

TEST_F(Paths, TemplateVariablesOfDesignFilesAndTheUser) {
  FDB_PATH f;
  memset(&f, ' ', sizeof f);
  f.fdb_tmp_id = 0;
  INIT_SRC_PATH(&f, "XYZ", "07", "STMT", PATH_DATA);
  memcpy(com.user_id, "U01", 3);
  std::vector<uint8_t> user(436, ' ');
  memcpy(&user[3], "alice", 5);
  com.user_rec = user.data();
  set_dflt("/t/$(ap)/$(ver)/[$(db)]/$(uid)/$(user)/$(pid)");
  EXPECT_EQ(build(f, false, true), "/t/XYZ/00/[]/U01/alice/" + std::to_string(getpid()));
  com.user_rec = nullptr;
}

// A template in the system directory entry gives the whole path; variables
// match whole names only (the environment comes after the path's own names).
TEST_F(Paths, TemplateTable) {
  setenv("ro", "from-env", 1);
  setenv("KIVO_TEST_HOME", "/h", 1);
  unsetenv("nosuch");
  const struct {
    const char* tmpl;
    const char* want;  // null: refused as a bad template
  } cases[] = {
      {"/d/$(db)/$(ap)", "/d/DB1/ABC"},
      {"$(root)/$(type)/$(file)$(ext).$(scope).$(endian).$(engine)x", "/srv/kivo/data/Data/CUST$(ext).0.intel.x"},
      {"/x/$(ro)", "/x/from-env"},
      {"$(KIVO_TEST_HOME)/$(file)", "/h/CUST"},
      {"/x/$(nosuch)", nullptr},
      {"/x/$(db", nullptr},
      {"/x/$", nullptr},
  };
  FDB_PATH f = data_fdb();
  for (const auto& c : cases) {
    sysdir_.assign(600, ' ');
    set_dir(c.tmpl);
    int st = 0;
    EXPECT_EQ(build(f, true, false, &st), c.want ? c.want : "<null>") << c.tmpl;
    EXPECT_EQ(st, c.want ? PATH_OK : PATH_BAD_TEMPLATE) << c.tmpl;
  }
  unsetenv("ro");
  EXPECT_STREQ(ss_path_error(), "Error in FMS path - bad environment variable or syntax error");
}

TEST_F(Paths, TooLongPathFailsWithStatusNotTruncated) {
  FDB_PATH f = data_fdb();
  std::string dir = "/" + std::string(250, 'd');
  set_dir(dir);
  int st = 0;
  EXPECT_EQ(build(f, true, false, &st), "<null>");
  EXPECT_EQ(st, PATH_TOO_LONG);
  // Just fitting: 255 characters and the NUL.
  std::string fit = "/" + std::string(255 - 1 - strlen("/DB1/ABC/Data/CUST"), 'd');
  sysdir_.assign(600, ' ');
  set_dir(fit);
  EXPECT_EQ(build(f, true, false, &st).size(), 255u);
  EXPECT_EQ(st, PATH_OK);
  sysdir_.assign(600, ' ');
  set_dir("$(root)/" + std::string(245, 'e'));
  EXPECT_EQ(build(f, true, false, &st), "<null>");
  EXPECT_EQ(st, PATH_TOO_LONG);
}

TEST(PathExpand, OutputCapacityIsRespected) {
  env_vars vars{};
  os_add_to_env(&vars, 0, "root", "/abc   ", 7);
  char out[8];
  size_t len = sizeof out;
  EXPECT_EQ(os_expand(out, "$(root)/x", &len, 9, &vars), 1);
  EXPECT_STREQ(out, "/abc/x");
  EXPECT_EQ(len, 7u);
  len = sizeof out;
  EXPECT_EQ(os_expand(out, "$(root)/xy", &len, 10, &vars), 1);
  len = sizeof out;
  EXPECT_EQ(os_expand(out, "$(root)/xyz", &len, 11, &vars), 0);
  EXPECT_EQ(len, 0u);
  // Trailing blanks of the template go; the length bounds what is read.
  len = sizeof out;
  EXPECT_EQ(os_expand(out, "ab   zzzz", &len, 5, &vars), 1);
  EXPECT_STREQ(out, "ab");
  env_vars_free(&vars);
}

TEST(PathExpand, SlotGrowsToItsLargestValue) {
  env_vars vars{};
  os_add_to_env(&vars, 9, "file", "A", 1);
  os_add_to_env(&vars, 9, "file", "LONGERNAME", 10);
  EXPECT_STREQ(findenv("file", &vars), "LONGERNAME");
  os_add_to_env(&vars, 9, "file", "B", 1);
  EXPECT_STREQ(findenv("file", &vars), "B");
  EXPECT_EQ(findenv("fil", &vars), getenv("fil"));
  env_vars_free(&vars);
}
