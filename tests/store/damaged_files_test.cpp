// Damaged native files met as a user meets them, each case through the real
// kivo and its utilities on a copy of the default installation: a data file
// cut short is refused by the demonstration with one line and left as it
// was, and the repair keeps its whole records; the export of a damaged file
// says in words what it could not read; damaged key files fail the verifier
// and are repaired wholly or not at all; and the ranking on a key file that
// cannot be opened ends with its error and a non-zero end, printing nothing.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <regex>

#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using kivo_test::env_list;
using kivo_test::shell_quote;
using kivo_test::slurp;
using kivo_test::tmux_pane;

constexpr char kCustomer[] = "DEM/DEM/Data/CUSTOMER";
constexpr char kAccount[] = "DEM/DEM/Data/ACCOUNT";
constexpr char kRanking[] = "-d=DEM -a=DEM -t=Output -p=ACCOUNT_RANKING";
constexpr double kEngineWait = 60;  // only a hung engine takes so long

// Three customers added on the input screen (the third deleted again when
// `delete_third`: the file then ends in its free-list block).
std::string add_three(bool delete_third) {
  std::string s = "#ENTER\n#ADD MODE\n";
  for (const char* c : {"C0001\n#TAB\nAnn Smith\n#TAB\n120.50\n", "C0002\n#TAB\nBob Jones\n#TAB\n75.25\n",
                        "C0003\n#TAB\nCy Three\n#TAB\n9.99\n"})
    s += std::string(c) + "#ENTER\n";
  if (delete_third) s += "#INQUIRE MODE\nC0003\n#ENTER\n#DELETE MODE\n#ACK DEL\n";
  return s + "#END\n#END\n";
}

// A customer added, then the customer list printed.
constexpr char kAddAndList[] =
    "#ENTER\n#ADD MODE\nC0009\n#TAB\nNew Nine\n#TAB\n1.00\n#ENTER\n#END\n#DOWN\n#ENTER\n#END\n";

// The text without blanks or line ends: a message the screen wraps at its
// edge is found whatever the length of the paths in it.
std::string squeezed(std::string s) {
  s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\n'; }), s.end());
  return s;
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// `bytes` written over the file at `at`.
void patch(const std::string& path, off_t at, const std::string& bytes) {
  std::string all = slurp(path);
  all.replace(static_cast<size_t>(at), bytes.size(), bytes);
  write_bytes(path, all);
}

struct run_result {
  int status = -1;
  std::string out, err;
};

class DamagedFiles : public ::testing::Test {
 protected:
  // A fresh copy of the default installation, no print file.
  void fresh() {
    ASSERT_EQ(system(("rm -rf " + shell_quote(dir_.file("run")) + " " + shell_quote(dir_.file("prt"))).c_str()), 0);
    ASSERT_EQ(mkdir(dir_.file("prt").c_str(), 0700), 0);
    const std::string data = kivo_test::engine_dir() + "/data";
    ASSERT_EQ(system(("cp -R " + shell_quote(data) + " " + shell_quote(dir_.file("run"))).c_str()), 0);
    ASSERT_EQ(mkdir(dir_.file("run/tst").c_str(), 0700), 0);
  }
  std::string file(const char* base, const char* ext) const { return dir_.file("run/") + base + ext; }
  env_list env() const {
    env_list e = kivo_test::engine_env(dir_.file("run"));
    e.push_back({"KIVO_PRT_FI_DIR", dir_.file("prt") + "/"});
    e.push_back({"KIVO_FAKE_TIME", "2026120709300000"});
    return e;
  }
  std::unique_ptr<tmux_pane> engine(const std::string& args, env_list e) const {
    return std::make_unique<tmux_pane>(shell_quote(KIVO_BINARY) + " " + args, dir_.file("run"), e);
  }
  // An unattended session of the demonstration; its exit status.
  int scripted(const std::string& script) const {
    write_bytes(dir_.file("script"), script);
    env_list e = env();
    e.push_back({"KIVO_SCRIPT_IN", dir_.file("script")});
    return engine("-d=DEM", e)->exit_status(kEngineWait);
  }
  // A utility (-v, -r, -e) on the file of the installation.
  run_result utility(const char* opt, const char* base) const {
    const std::string cmd = "cd " + shell_quote(dir_.file("run")) + " && " + shell_quote(KIVO_BINARY) + " " + opt +
                            "=" + base + " >" + shell_quote(dir_.file("out")) + " 2>" + shell_quote(dir_.file("err"));
    const int st = system(cmd.c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(dir_.file("out")), slurp(dir_.file("err"))};
  }
  // The print files written, in the order of their names.
  std::vector<std::string> prints() const {
    std::vector<std::string> names, out;
    if (DIR* d = opendir(dir_.file("prt").c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' && !strstr(e->d_name, ".cfg")) names.push_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) out.push_back(slurp(dir_.file("prt/" + n)));
    return out;
  }
  // The ranking run on its own: its exit status; `shown` gets what its
  // error said when it stopped on one.
  int ranking(const std::string& error, std::string* shown) const {
    auto p = engine(kRanking, env());
    if (!error.empty()) {
      EXPECT_TRUE(kivo_test::wait_until(
          [&] { return squeezed(p->capture()).find(squeezed(error)) != std::string::npos; }, kEngineWait))
          << p->capture();
      *shown = p->capture();
      p->send_keys("Enter");  // the error's "Press Return To Continue"
    }
    const int status = p->exit_status(kEngineWait);
    if (!error.empty()) *shown += p->capture();
    return status;
  }
  test::scratch_dir dir_;
};

// The demonstration refuses the file cut short with its one line and writes
// nothing; the repair keeps each whole record, sets the rest aside, and the
// file is good again: the kept customers are listed with one added after.
TEST_F(DamagedFiles, CutDataFileIsRefusedForUpdateAndTheRepairKeepsItsWholeRecords) {
  const struct {
    const char* name;
    int adds;  // 0 none, 1 three, 2 three and the third deleted
    off_t cut;
    std::vector<std::string> kept, lost;
    size_t aside;
  } cases[] = {
      {"cut inside a record", 1, 600, {"C0001   Ann Smith"}, {"C0002", "C0003"}, 27},
      {"cut inside the free space", 2, 1000, {"C0001   Ann Smith", "C0002   Bob Jones"}, {"C0003"}, 305},
      {"empty file of 100 bytes", 0, 100, {}, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    if (c.adds) {
      ASSERT_EQ(scripted(add_three(c.adds == 2)), 0);
    }
    const std::string dat = file(kCustomer, ".dat"), key = file(kCustomer, ".key");
    ASSERT_EQ(truncate(dat.c_str(), c.cut), 0);
    const std::string cut = slurp(dat), keys = slurp(key);

    auto p = engine("-d=DEM", env());
    ASSERT_TRUE(p->wait_for("DEM MENU", kEngineWait)) << p->capture();
    p->send_keys("Enter");
    const std::string line = "CUSTOMER.dat is damaged: header's end of file";
    ASSERT_TRUE(kivo_test::wait_until([&] { return squeezed(p->capture()).find(squeezed(line)) != std::string::npos; },
                                      kEngineWait))
        << p->capture();
    p->send_keys("Enter");  // the error's "Press Return To Continue", back on the menu
    p->send_keys("S-F1");
    EXPECT_EQ(p->exit_status(kEngineWait), 0);
    EXPECT_NE(slurp(dir_.file("run/syserr")).find("\"kivo -r=" + file(kCustomer, "") + "\" keeps its whole records"),
              std::string::npos);
    EXPECT_EQ(slurp(dat), cut);
    EXPECT_EQ(slurp(key), keys);

    EXPECT_EQ(utility("-v", kCustomer).status, 0);
    const run_result r = utility("-r", kCustomer);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(std::to_string(c.kept.size()) + " records kept"), std::string::npos) << r.out;
    const std::string aside = file(kCustomer, ".aside");
    if (c.aside) {
      EXPECT_NE(r.out.find(std::to_string(c.aside) + " bytes set aside in " + kCustomer + ".aside"), std::string::npos)
          << r.out;
      EXPECT_EQ(slurp(aside), cut.substr(cut.size() - c.aside));
    } else {
      EXPECT_NE(r.out.find("nothing set aside"), std::string::npos) << r.out;
      EXPECT_NE(access(aside.c_str(), F_OK), 0);
    }
    EXPECT_EQ(utility("-v", kCustomer).status, 1);

    ASSERT_EQ(scripted(kAddAndList), 0);
    const auto lists = prints();
    ASSERT_EQ(lists.size(), 1u);
    for (const std::string& k : c.kept) EXPECT_NE(lists[0].find(k), std::string::npos) << k << "\n" << lists[0];
    for (const std::string& l : c.lost) EXPECT_EQ(lists[0].find(l), std::string::npos) << l << "\n" << lists[0];
    EXPECT_NE(lists[0].find("C0009   New Nine"), std::string::npos) << lists[0];
    EXPECT_EQ(utility("-v", kCustomer).status, 1);
  }
}

// The export writes the whole records it reaches and says in words what it
// could not; a sound file exports without a word.
TEST_F(DamagedFiles, ExportOfADamagedFileExportsTheWholeRecordsOrSaysWhy) {
  fresh();
  const std::string dat = file(kCustomer, ".dat"), key = file(kCustomer, ".key");
  const std::string empty_dat = slurp(dat), empty_key = slurp(key);
  ASSERT_EQ(scripted(add_three(false)), 0);
  const std::string three = slurp(dat), three_key = slurp(key);
  const struct {
    const char* name;
    std::string dat, key;
    int status;
    int lines;
    const char* said;
  } cases[] = {
      {"sound", three, three_key, 0, 3, ""},
      {"cut inside a record", three.substr(0, 600), three_key, 1, 1, "the records after the 1 exported cannot be read"},
      {"holed", three.substr(0, 573) + std::string(12, '\0') + three.substr(585), three_key, 1, 1,
       "the records after the 1 exported cannot be read"},
      {"empty file of 100 bytes", empty_dat.substr(0, 100), empty_key, 1, 0, "the file is cut short"},
      {"key header damaged", three, three_key.substr(0, 8) + "\xff\xff\xff\xff" + three_key.substr(12), 0, 3,
       "CUSTOMER.key is damaged (end of file 4294967295 is no page boundary): the records are read from the data "
       "file alone"},
  };
  const std::regex bare("Status was [0-9]+\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_bytes(dat, c.dat);
    write_bytes(key, c.key);
    const run_result r = utility("-e", kCustomer);
    EXPECT_EQ(r.status, c.status) << r.err;
    const std::string flat = slurp(file(kCustomer, ""));
    EXPECT_EQ(std::count(flat.begin(), flat.end(), '\n'), c.lines) << flat;
    if (c.lines) {
      EXPECT_EQ(flat.rfind("C0001 Ann Smith", 0), 0u) << flat;
    }
    EXPECT_NE(r.out.find(std::to_string(c.lines) + " records"), std::string::npos) << r.out;
    EXPECT_FALSE(std::regex_search(r.err, bare)) << r.err;
    if (*c.said) {
      EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(std::string("\"kivo -r=") + kCustomer + "\""), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.err, "");
    }
  }
}

// Damaged key files fail the verifier in its own words; the repair either
// leaves a key it cannot trust as it is (and the verifier fails it still)
// or rebuilds it whole, and the ranking then prints what an undamaged copy
// prints.
TEST_F(DamagedFiles, DamagedKeyFilesFailVerificationAndTheRepairHoldsEveryRecordOrSaysItCannot) {
  fresh();
  ASSERT_EQ(ranking("", nullptr), 0);
  const auto undamaged = prints();
  ASSERT_EQ(undamaged.size(), 1u);
  const struct {
    const char* name;
    const char* base;
    off_t at;
    std::string bytes;
    const char* verdict;
    bool repaired;
  } cases[] = {
      {"segment moved past the record", kAccount, 26, "\x7f",
       "its segment 1 (6 bytes at 127) lies outside the 47-byte record", false},
      {"end of file past the key file", kCustomer, 10, "\x7f",
       "end of file 8326656 lies past the key file's end (3584 bytes)", true},
      {"end of file unreadable", kAccount, 8, "\xff\xff\xff\xff", "damaged header: end of file 4294967295", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    const bool customers = std::string(c.base) == kCustomer;
    if (customers) {
      ASSERT_EQ(scripted(add_three(false)), 0);
    }
    patch(file(c.base, ".key"), c.at, c.bytes);
    const std::string dat = slurp(file(c.base, ".dat")), key = slurp(file(c.base, ".key"));
    const run_result v = utility("-v", c.base);
    EXPECT_EQ(v.status, 0);
    EXPECT_NE(v.err.find(c.verdict), std::string::npos) << v.err;
    const run_result r = utility("-r", c.base);
    EXPECT_EQ(r.status, c.repaired ? 1 : 0) << r.out << r.err;
    EXPECT_EQ(utility("-v", c.base).status, c.repaired ? 1 : 0);
    if (!c.repaired) {
      EXPECT_NE(r.err.find("no key is rebuilt"), std::string::npos) << r.err;
      EXPECT_EQ(slurp(file(c.base, ".dat")), dat);
      EXPECT_EQ(slurp(file(c.base, ".key")), key);
      continue;
    }
    const std::string count = customers ? "3 records indexed\n" : "50 records indexed\n";
    EXPECT_NE(r.out.find(count), std::string::npos) << r.out;
    if (customers) {
      ASSERT_EQ(scripted(kAddAndList), 0);
      ASSERT_EQ(prints().size(), 1u);
      EXPECT_NE(prints()[0].find("C0003   Cy Three"), std::string::npos) << prints()[0];
      EXPECT_LT(slurp(file(c.base, ".key")).size(), 16384u);
    } else {
      EXPECT_EQ(ranking("", nullptr), 0);
      EXPECT_EQ(prints(), undamaged);
    }
  }
}

// The ranking started on its own ends with the error of a key file that
// cannot be opened and a non-zero end, and prints nothing; undamaged, it
// prints its report and ends with 0.
TEST_F(DamagedFiles, RankingOnAnUnopenableKeyFileEndsNonZeroWithItsError) {
  const struct {
    const char* name;
    off_t at;
    std::string bytes;
    const char* error;
    int status;
  } cases[] = {
      {"undamaged", 0, "", "", 0},
      {"key header damaged", 8, "\xff\xff\xff\xff", "ACCOUNT.key is damaged: end of file 4294967295", 4},
      {"key defined outside the record", 26, "\x7f", "The keys differ from those of the file", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    if (!c.bytes.empty()) patch(file(kAccount, ".key"), c.at, c.bytes);
    std::string shown;
    EXPECT_EQ(ranking(c.error, &shown), c.status) << shown;
    if (c.status == 0) {
      ASSERT_EQ(prints().size(), 1u);
      EXPECT_NE(prints()[0].find("TOTAL"), std::string::npos);
      EXPECT_NE(prints()[0].find("A00050  ACCOUNT50"), std::string::npos) << prints()[0];
      continue;
    }
    EXPECT_NE(squeezed(shown).find(squeezed("A file of the process cannot be opened")), std::string::npos) << shown;
    EXPECT_NE(shown.find("startup error: 4"), std::string::npos) << shown;
    EXPECT_TRUE(prints().empty());
  }
}

}  // namespace
}  // namespace kivo
