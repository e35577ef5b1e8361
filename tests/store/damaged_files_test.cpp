// Damaged native files met as a user meets them, through the real kivo and
// its utilities on copies of the default installation: a data file cut
// short is refused with one line and left as it was, and the repair keeps
// its whole records; an export says in words what it could not read; a
// damaged key file fails the verifier and is repaired wholly or not at all,
// and the ranking on one that cannot be opened ends with its error.
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

using kivo_test::shell_quote;
using kivo_test::slurp;
using kivo_test::tmux_pane;
using namespace std::string_literals;

constexpr char kCustomer[] = "DEM/DEM/Data/CUSTOMER";
constexpr char kAccount[] = "DEM/DEM/Data/ACCOUNT";
constexpr double kEngineWait = 60;  // only a hung engine takes so long

// Three customers added on the input screen; the third deleted again when
// `delete_third` (the file then ends in its free-list block).
std::string add_three(bool delete_third) {
  std::string s =
      "#ENTER\n#ADD MODE\nC0001\n#TAB\nAnn Smith\n#TAB\n120.50\n#ENTER\n"
      "C0002\n#TAB\nBob Jones\n#TAB\n75.25\n#ENTER\nC0003\n#TAB\nCy Three\n#TAB\n9.99\n#ENTER\n";
  if (delete_third) s += "#INQUIRE MODE\nC0003\n#ENTER\n#DELETE MODE\n#ACK DEL\n";
  return s + "#END\n#END\n";
}
// A customer added, then the customer list printed.
constexpr char kAddAndList[] =
    "#ENTER\n#ADD MODE\nC0009\n#TAB\nNew Nine\n#TAB\n1.00\n#ENTER\n#END\n#DOWN\n#ENTER\n#END\n";

// Whether the pane shows `text`, blanks, line ends and the sides of a
// window's frame aside: a message the screen wraps in its window is found
// whatever the length of the paths in it.
bool shows(tmux_pane& p, const std::string& text) {
  return kivo_test::squeezed(p.capture()).find(kivo_test::squeezed(text)) != std::string::npos;
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct run_result {
  int status = -1;
  std::string out, err;
};

class DamagedFiles : public ::testing::Test {
 protected:
  // A fresh copy of the shipped installation (no customer yet), no print
  // file.
  void fresh() {
    const std::string run = dir_.file("run"), prt = dir_.file("prt");
    ASSERT_EQ(system(("rm -rf " + shell_quote(run) + " " + shell_quote(prt)).c_str()), 0);
    ASSERT_TRUE(kivo_test::copy_shipped_installation(run));
    ASSERT_EQ(mkdir(prt.c_str(), 0700) | mkdir((run + "/tst").c_str(), 0700), 0);
  }
  std::string file(const char* base, const char* ext) const { return dir_.file("run/") + base + ext; }
  // The engine under tmux in the installation, `extra` added to its environment.
  std::unique_ptr<tmux_pane> engine(const std::string& args, kivo_test::env_list extra = {}) const {
    kivo_test::env_list e = kivo_test::engine_env(dir_.file("run"));
    e.insert(e.end(), {{"KIVO_PRT_FI_DIR", dir_.file("prt") + "/"}, {"KIVO_FAKE_TIME", "2026120709300000"}});
    e.insert(e.end(), extra.begin(), extra.end());
    return std::make_unique<tmux_pane>(shell_quote(KIVO_BINARY) + " " + args, dir_.file("run"), e);
  }
  // An unattended session of the demonstration; its exit status.
  int scripted(const std::string& script) const {
    write_bytes(dir_.file("script"), script);
    return engine("-d=DEM", {{"KIVO_SCRIPT_IN", dir_.file("script")}})->exit_status(kEngineWait);
  }
  // A utility (-v, -r, -e) on a file of the installation.
  run_result utility(const char* opt, const char* base) const {
    const std::string cmd = "cd " + shell_quote(dir_.file("run")) + " && " + shell_quote(KIVO_BINARY) + " " + opt +
                            "=" + base + " >" + shell_quote(dir_.file("out")) + " 2>" + shell_quote(dir_.file("err"));
    const int st = system(cmd.c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(dir_.file("out")), slurp(dir_.file("err"))};
  }
  // The one print file written ("" when none; "several" when more).
  std::string print() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir_.file("prt").c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' && !strstr(e->d_name, ".cfg")) names.push_back(e->d_name);
      closedir(d);
    }
    return names.size() == 1 ? slurp(dir_.file("prt/" + names[0])) : names.empty() ? "" : "several";
  }
  // The ranking run on its own; its exit status. With `error` it must stop
  // on that error first, and `shown` gets the screens.
  int ranking(const std::string& error = "", std::string* shown = nullptr) const {
    auto p = engine("-d=DEM -a=DEM -t=Output -p=ACCOUNT_RANKING");
    if (error.empty()) return p->exit_status(kEngineWait);
    EXPECT_TRUE(kivo_test::wait_until([&] { return shows(*p, error); }, kEngineWait)) << p->capture();
    *shown = p->capture();
    p->send_keys("Enter");  // the error's "Press Return To Continue"
    const int status = p->exit_status(kEngineWait);
    *shown += p->capture();
    return status;
  }
  test::scratch_dir dir_;
};

// The demonstration refuses the file cut short with its one line and writes
// nothing; the repair keeps each whole record and sets the rest aside, and
// the kept customers are listed with one added after.
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
    auto p = engine("-d=DEM");
    ASSERT_TRUE(p->wait_for("DEM MENU", kEngineWait)) << p->capture();
    p->send_keys("Enter");
    ASSERT_TRUE(
        kivo_test::wait_until([&] { return shows(*p, "CUSTOMER.dat is damaged: header's end of file"); }, kEngineWait))
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
    const std::string said =
        c.aside ? std::to_string(c.aside) + " bytes set aside in " + kCustomer + ".aside" : "nothing set aside";
    EXPECT_NE(r.out.find(said), std::string::npos) << r.out;
    EXPECT_EQ(slurp(file(kCustomer, ".aside")), cut.substr(cut.size() - c.aside));
    EXPECT_EQ(utility("-v", kCustomer).status, 1);
    ASSERT_EQ(scripted(kAddAndList), 0);
    const std::string list = print();
    for (const std::string& k : c.kept) EXPECT_NE(list.find(k), std::string::npos) << k << "\n" << list;
    for (const std::string& l : c.lost) EXPECT_EQ(list.find(l), std::string::npos) << l << "\n" << list;
    EXPECT_NE(list.find("C0009   New Nine"), std::string::npos) << list;
    EXPECT_EQ(utility("-v", kCustomer).status, 1);
  }
}

// The export writes the whole records it reaches and says in words what it
// could not; a sound file exports without a word.
TEST_F(DamagedFiles, ExportOfADamagedFileExportsTheWholeRecordsOrSaysWhy) {
  fresh();
  const std::string dat = file(kCustomer, ".dat"), key = file(kCustomer, ".key");
  const std::string empty = slurp(dat), empty_key = slurp(key);
  ASSERT_EQ(scripted(add_three(false)), 0);
  const std::string three = slurp(dat), three_key = slurp(key);
  const struct {
    const char* name;
    std::string dat, key;
    int status, lines;
    const char* said;
  } cases[] = {
      {"sound", three, three_key, 0, 3, ""},
      {"cut inside a record", three.substr(0, 600), three_key, 1, 1,
       "the record at seek 573 is left out: its header's length reaches past the end; no whole record follows"},
      {"holed", three.substr(0, 573) + std::string(12, '\0') + three.substr(585), three_key, 1, 2,
       "the record at seek 573 is left out: its header's length is not the file's record length; the next whole "
       "record starts at 634"},
      {"empty file of 100 bytes", empty.substr(0, 100), empty_key, 1, 0,
       "the file is damaged: header's end of file 512 lies past the file's end (100 bytes)"},
      {"key header damaged", three, three_key.substr(0, 8) + "\xff\xff\xff\xff" + three_key.substr(12), 0, 3,
       "CUSTOMER.key is damaged (end of file 4294967295 is no page boundary): the records are read from the data "
       "file alone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_bytes(dat, c.dat);
    write_bytes(key, c.key);
    const run_result r = utility("-e", kCustomer);
    EXPECT_EQ(r.status, c.status) << r.err;
    const std::string flat = slurp(file(kCustomer, ""));
    EXPECT_EQ(std::count(flat.begin(), flat.end(), '\n'), c.lines) << flat;
    EXPECT_EQ(flat.rfind("C0001 Ann Smith", 0), c.lines ? 0u : std::string::npos) << flat;
    EXPECT_NE(r.out.find(std::to_string(c.lines) + " records"), std::string::npos) << r.out;
    EXPECT_FALSE(std::regex_search(r.err, std::regex("Status was [0-9]+\n"))) << r.err;
    const bool said = r.err.find(c.said) != std::string::npos &&
                      r.err.find(std::string("\"kivo -r=") + kCustomer + "\"") != std::string::npos;
    EXPECT_TRUE(*c.said ? said : r.err.empty()) << r.err;
  }
}

// A damaged key file stops the ranking with its error and a non-zero end,
// printing nothing, and fails the verifier in its own words; the repair
// leaves a key it cannot trust as it is (the verifier fails it still) or
// rebuilds it whole, and the ranking then prints what an undamaged copy does.
TEST_F(DamagedFiles, DamagedKeyFilesFailVerificationAndTheRepairHoldsEveryRecordOrSaysItCannot) {
  fresh();
  ASSERT_EQ(ranking(), 0);
  const std::string undamaged = print();
  ASSERT_NE(undamaged.find("TOTAL"), std::string::npos) << undamaged;
  const struct {
    const char* name;
    const char* base;
    off_t at;
    std::string bytes;
    const char* ranking_error;  // "": the ranking is not run
    const char* verdict;
    bool repaired;
  } cases[] = {
      // (The engine's open moves such a key file aside and builds it again.)
      {"segment moved past the record", kAccount, 26, "\x7f", "",
       "its segment 1 (6 bytes at 127) lies outside the 47-byte record", false},
      {"end of file unreadable", kAccount, 8, "\xff\xff\xff\xff", "ACCOUNT.key is damaged: end of file 4294967295",
       "damaged header: end of file 4294967295", true},
      {"end of file past the key file", kCustomer, 10, "\x7f", "",
       "end of file 8326656 lies past the key file's end (3584 bytes)", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    const bool ranked = *c.ranking_error != 0;
    if (!ranked) {
      ASSERT_EQ(scripted(add_three(false)), 0);
    }
    const std::string key_path = file(c.base, ".key");
    std::string key = slurp(key_path);
    write_bytes(key_path, key.replace(static_cast<size_t>(c.at), c.bytes.size(), c.bytes));
    const std::string dat = slurp(file(c.base, ".dat"));
    std::string shown;
    if (ranked) {
      EXPECT_EQ(ranking(c.ranking_error, &shown), 4) << shown;
      EXPECT_TRUE(shown.find("startup error: 4") != std::string::npos && print().empty()) << shown;
    }
    const run_result v = utility("-v", c.base);
    EXPECT_EQ(v.status, 0);
    EXPECT_NE(v.err.find(c.verdict), std::string::npos) << v.err;
    const run_result r = utility("-r", c.base);
    EXPECT_EQ(r.status, c.repaired ? 1 : 0) << r.out << r.err;
    EXPECT_EQ(utility("-v", c.base).status, c.repaired ? 1 : 0);
    if (!c.repaired) {
      EXPECT_NE(r.err.find("no key is rebuilt"), std::string::npos) << r.err;
      EXPECT_EQ(slurp(file(c.base, ".dat")) + slurp(key_path), dat + key);
      continue;
    }
    EXPECT_NE(r.out.find(ranked ? "50 records indexed\n" : "3 records indexed\n"), std::string::npos) << r.out;
    if (ranked) {
      EXPECT_EQ(ranking(), 0);
      EXPECT_EQ(print(), undamaged);
      continue;
    }
    ASSERT_EQ(scripted(kAddAndList), 0);
    EXPECT_NE(print().find("C0003   Cy Three"), std::string::npos) << print();
    EXPECT_LT(slurp(key_path).size(), 16384u);  // the next page went to the end the repair set
  }
}

}  // namespace
}  // namespace kivo
