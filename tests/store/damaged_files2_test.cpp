// Damaged files met as a user meets them, through the real kivo and its
// utilities on copies of the shipped installation: key files cut short or
// another file's are refused at the open with the line that names them and
// their repair; the repair keeps every whole record the export read; key
// definitions that do not fit the file and repeated key values are named
// by the import, the verifier, the repair and the engine; and a session
// started without its standard input or output changes no file.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "foundation/foundation.h"
#include "foundation/os_calls.h"
#include "installation_site.h"
#include "record_test_util.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using kivo_test::shell_quote;
using kivo_test::slurp;
using kivo_test::tmux_pane;

using test::customer;
using test::kCustomer;
using test::kEngineWait;
using test::numbered;
using test::run_result;
using test::site;
using test::write_bytes;

// Whether `text` shows on the pane, blanks and line ends aside: a message the
// screen wraps is found whatever the length of the paths in it.
bool shows(tmux_pane& p, const std::string& text) {
  return kivo_test::squeezed(p.capture()).find(kivo_test::squeezed(text)) != std::string::npos;
}

// The key file of CUSTOMER cut short or replaced by another file's is
// refused at the open, with the line naming it and its repair, and nothing
// is written; one missing or empty is built again there. After kivo -r every
// customer is listed.
TEST(DamagedFiles2, KeyFileCutOrForeignIsRefusedAtTheOpenAndTheRepairReachesEveryCustomer) {
  constexpr int kCustomers = 700;  // a tree of several pages
  const struct {
    const char* name;
    std::function<void(const std::string& key, const site& s)> damage;
    const char* refusal;  // null: the open builds the key file again
  } cases[] = {
      {"cut at a page boundary",
       [](const std::string& key, const site&) {
         struct stat st;
         ASSERT_EQ(stat(key.c_str(), &st), 0);
         ASSERT_GE(st.st_size, 3 * 2048 + 1536);
         ASSERT_EQ(truncate(key.c_str(), st.st_size - 2048), 0);
       },
       "lies past the key file's end"},
      {"cut before the root page",
       [](const std::string& key, const site&) { ASSERT_EQ(truncate(key.c_str(), 3584), 0); },
       "lies past the key file's end (3584 bytes)"},
      {"another file's key file of the same layout",
       [](const std::string& key, const site& s) { write_bytes(key, slurp(s.file("DEM/DEM/Data/ACCOUNT.key"))); },
       "key 0: its first entry names the record at 512, which holds another key"},
      {"missing", [](const std::string& key, const site&) { ASSERT_EQ(unlink(key.c_str()), 0); }, nullptr},
      {"empty", [](const std::string& key, const site&) { ASSERT_EQ(truncate(key.c_str(), 0), 0); }, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site s;
    s.customers(numbered(kCustomers));
    const std::string base = s.file(kCustomer), key = base + ".key";
    c.damage(key, s);
    if (c.refusal) {
      const std::string dat = slurp(base + ".dat"), keys = slurp(key);
      auto p = s.engine("-d=DEM");
      ASSERT_TRUE(p->wait_for("DEM MENU", kEngineWait)) << p->capture();
      p->send_keys("Enter");
      ASSERT_TRUE(kivo_test::wait_until([&] { return shows(*p, "CUSTOMER.key is damaged:"); }, kEngineWait))
          << p->capture();
      p->send_keys("Enter");  // the error's "Press Return To Continue", back on the menu
      p->send_keys("S-F1");
      EXPECT_EQ(p->exit_status(kEngineWait), 0);
      const std::string log = slurp(s.file("syserr"));
      EXPECT_NE(log.find(c.refusal), std::string::npos) << log;
      EXPECT_NE(log.find("; \"kivo -r=" + base + "\" builds its keys again"), std::string::npos) << log;
      EXPECT_EQ(slurp(base + ".dat"), dat);
      EXPECT_EQ(slurp(key), keys);
      EXPECT_EQ(s.kivo(std::string("-v=") + kCustomer).status, 0);
      const run_result r = s.kivo(std::string("-r=") + kCustomer);
      EXPECT_EQ(r.status, 1) << r.out << r.err;
      EXPECT_NE(r.out.find(std::to_string(kCustomers) + " records indexed"), std::string::npos) << r.out;
    }
    const std::vector<std::string> listed = s.listed();
    ASSERT_EQ(listed.size(), size_t{kCustomers});
    EXPECT_EQ(listed.front(), "C0001");
    EXPECT_EQ(listed.back(), "C0700");
    EXPECT_EQ(s.kivo(std::string("-v=") + kCustomer).status, 1);
  }
}

// A record the repair cannot take whole (its trailer's length changed, its
// header's length changed, or the records after a cut with one added past
// it by an engine that had the file open) is set aside alone, and a whole
// record between two damaged ones stays: every record the export read
// before, the damaged ones aside, is in the repaired file,
// which verifies good; the export of the damaged file ends with 1 and says
// why.
TEST(DamagedFiles2, RepairKeepsEveryWholeRecordTheExportReadAndSetsAsideOnlyTheDamagedOne) {
  constexpr uint32_t kFourth = 512 + 3 * 61;  // each customer takes 45 + 16 bytes
  // A length of 45 (0x2d) made 46 at `at` of the data file.
  auto change_byte = [](uint32_t at) {
    return [at](const site& s) {
      const std::string dat = s.file(kCustomer) + ".dat";
      std::string d = slurp(dat);
      ASSERT_EQ(d[at], 0x2d);
      d[at] = 0x2e;
      write_bytes(dat, d);
    };
  };
  const struct {
    const char* name;
    std::function<void(const site& s)> damage;
    const char* export_says;
    std::vector<std::string> kept;
    size_t aside;
    int damaged;  // damaged places the repair names
  } cases[] = {
      {"trailer length changed",
       change_byte(kFourth + 12 + 45),
       "the record at seek 695 is left out: its header and trailer disagree; the next whole record starts at 756",
       {"C0001", "C0002", "C0003", "C0005", "C0006", "C0007", "C0008"},
       61,
       1},
      {"head length changed",
       change_byte(kFourth + 2),
       "its header and trailer disagree",
       {"C0001", "C0002", "C0003", "C0005", "C0006", "C0007", "C0008"},
       61,
       1},
      {"cut while open and added past the cut",
       [](const site& s) {
         const std::string dat = s.file(kCustomer) + ".dat";
         auto p = s.engine("-d=DEM");
         ASSERT_TRUE(p->wait_for("DEM MENU", kEngineWait)) << p->capture();
         p->send_keys("Enter");
         ASSERT_TRUE(p->wait_for("CUSTOMER NO:", kEngineWait)) << p->capture();
         p->send_keys("F10");
         ASSERT_TRUE(p->wait_for("ADD", kEngineWait)) << p->capture();
         ASSERT_EQ(truncate(dat.c_str(), 800), 0);
         p->send_text("C0009");
         p->send_keys("Tab");
         p->send_text("Nine");
         p->send_keys("Enter");
         ASSERT_TRUE(kivo_test::wait_until([&] { return slurp(dat).size() > 1000; }, kEngineWait)) << p->capture();
         p->send_keys("S-F1");
         p->send_keys("S-F1");
         ASSERT_EQ(p->exit_status(kEngineWait), 0) << p->capture();
       },
       "the record at seek 756 is left out: its header and trailer disagree; the next whole record starts at 1000",
       {"C0001", "C0002", "C0003", "C0004", "C0009"},
       244,
       1},
      {"the records on either side of one changed",
       [&](const site& s) {
         change_byte(kFourth - 61 + 2)(s);
         change_byte(kFourth + 61 + 2)(s);
       },
       "its header and trailer disagree",
       {"C0001", "C0002", "C0004", "C0006", "C0007", "C0008"},
       122,
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site s;
    s.customers(numbered(8));
    const std::string base = s.file(kCustomer);
    c.damage(s);
    if (HasFatalFailure()) return;
    const std::string damaged = slurp(base + ".dat");
    const run_result e = s.kivo(std::string("-e=") + kCustomer);
    EXPECT_EQ(e.status, 1);
    EXPECT_NE(e.err.find(c.export_says), std::string::npos) << e.err;
    EXPECT_NE(e.err.find(std::string("\"kivo -r=") + kCustomer + "\""), std::string::npos) << e.err;
    const std::string exported = slurp(base);
    EXPECT_EQ(s.kivo(std::string("-v=") + kCustomer).status, 0);
    const run_result r = s.kivo(std::string("-r=") + kCustomer);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(std::to_string(c.kept.size()) + " records kept, " + std::to_string(c.aside) +
                         " bytes set aside in " + kCustomer + ".aside (" + std::to_string(c.damaged) +
                         (c.damaged == 1 ? " damaged record" : " damaged records")),
              std::string::npos)
        << r.out;
    const std::string aside = slurp(base + ".aside");
    ASSERT_EQ(aside.size(), c.aside);
    if (c.aside == 61) {
      EXPECT_EQ(aside, damaged.substr(kFourth, 61));
    }
    EXPECT_EQ(s.kivo(std::string("-v=") + kCustomer).status, 1);
    // Every line the damaged file's export gave, but the damaged record's,
    // is exported from the repaired file.
    const run_result again = s.kivo(std::string("-e=") + kCustomer);
    EXPECT_EQ(again.status, 0) << again.err;
    const std::string repaired = slurp(base);
    std::istringstream before(exported);
    for (std::string l; std::getline(before, l);) {
      const bool damaged_one = std::find(c.kept.begin(), c.kept.end(), l.substr(0, 5)) == c.kept.end();
      if (!damaged_one) {
        EXPECT_NE(repaired.find(l + "\n"), std::string::npos) << l;
      }
    }
    EXPECT_EQ(s.listed(), c.kept);
  }
}

// Key definitions that are not the file's and records that repeat a value
// the file's description keeps unique are named by the verifier, the repair
// (which writes nothing for the first and sets the later repeats aside for
// the second), the import (which imports nothing) and the engine's refusal.
TEST(DamagedFiles2, ForeignKeyDefinitionsAndRepeatedKeysAreNamedByEveryTool) {
  // APPL's key 0 is bytes 4-8 of its record: these customers repeat it.
  const std::vector<std::string> like_appl = {customer("C0001", "Ann Smith"), customer("C0011", "Ann Smith"),
                                              customer("C0021", "Ann Smith"), customer("C0002", "Bob Jones"),
                                              customer("C0012", "Bob Jones")};
  std::vector<std::string> repeated = numbered(8);
  for (int i : {0, 1, 2}) repeated.push_back(repeated[i]);
  repeated.push_back(customer("C0004", "Another Four"));
  const struct {
    const char* name;
    std::vector<std::string> records;
    bool appl_key;  // APPL.key copied in as CUSTOMER.key; else the records imported with repeats
    const char* said;
    const char* engine_says;  // null: the open moves the key file aside and builds it again
  } cases[] = {
      {"APPL.key as CUSTOMER.key", like_appl, true,
       "the key file's definitions do not fit the file: its key 0 would leave out 3 records that repeat values it "
       "holds once (\"1 A|nn\", \"2 B|ob\"); moved away, the key file is built again from the file's description at "
       "the next open",
       nullptr},
      {"customers repeated by an import", repeated, false,
       "4 records repeat values of key 0, which the file's description keeps unique (\"C0001\", \"C0002\", \"C0003\")",
       "CUSTOMER.dat holds records that repeat the value \"C0001\" of key 0, which the file's description keeps "
       "unique"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site s;
    const std::string base = s.file(kCustomer), key = base + ".key", structure = s.file("DEM/DEM/Struct/CUSTOMER.dat");
    if (c.appl_key) {
      s.customers(c.records);
      write_bytes(key, slurp(s.file("0SA/Data/APPL.key")));
    } else {
      // The import refuses the repeats and leaves no data file.
      unlink((base + ".dat").c_str());
      unlink(key.c_str());
      std::string flat;
      for (const std::string& r : c.records) flat += r + "\n";
      write_bytes(base, flat);
      const run_result i = s.kivo(std::string("-i=") + kCustomer);
      EXPECT_EQ(i.status, 1);
      EXPECT_NE(i.err.find(c.said), std::string::npos) << i.err;
      EXPECT_NE(i.err.find("nothing imported"), std::string::npos) << i.err;
      EXPECT_EQ(access((base + ".dat").c_str(), F_OK), -1);
      EXPECT_EQ(slurp(base), flat);
      // Imported without its description, the pair is what an older import left.
      const std::string described = slurp(structure);
      ASSERT_EQ(rename(structure.c_str(), (structure + ".away").c_str()), 0);
      EXPECT_EQ(s.kivo(std::string("-i=") + kCustomer).status, 0);
      ASSERT_EQ(rename((structure + ".away").c_str(), structure.c_str()), 0);
      ASSERT_EQ(slurp(structure), described);
    }
    const std::string dat = slurp(base + ".dat"), keys = slurp(key);
    const run_result v = s.kivo(std::string("-v=") + kCustomer);
    EXPECT_EQ(v.status, 0);
    EXPECT_NE(v.err.find(c.said), std::string::npos) << v.err;
    if (c.appl_key) {
      const run_result r = s.kivo(std::string("-r=") + kCustomer);
      EXPECT_EQ(r.status, 0);
      EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("no key is rebuilt"), std::string::npos) << r.err;
      EXPECT_EQ(slurp(base + ".dat"), dat);
      EXPECT_EQ(slurp(key), keys);
    }
    auto p = s.engine("-d=DEM");
    ASSERT_TRUE(p->wait_for("DEM MENU", kEngineWait)) << p->capture();
    p->send_keys("Enter");
    if (!c.engine_says) {
      ASSERT_TRUE(p->wait_for("CUSTOMER NO:", kEngineWait)) << p->capture();
      p->send_keys("S-F1");
    } else {
      ASSERT_TRUE(kivo_test::wait_until([&] { return shows(*p, c.engine_says); }, kEngineWait)) << p->capture();
      p->send_keys("Enter");
    }
    p->send_keys("S-F1");
    EXPECT_EQ(p->exit_status(kEngineWait), 0);
    EXPECT_EQ(slurp(base + ".dat"), dat);
    // The pair the engine refused is no good pair for the verifier either;
    // the one it built again is.
    EXPECT_EQ(s.kivo(std::string("-v=") + kCustomer).status, c.engine_says ? 0 : 1);
    if (!c.appl_key) {
      // Repeats of a value the description keeps unique: the repair keeps
      // the first of each and sets the later ones aside, named.
      const run_result r = s.kivo(std::string("-r=") + kCustomer);
      EXPECT_EQ(r.status, 1) << r.out << r.err;
      EXPECT_NE(r.out.find("repeats the value \"C0001\" of key 0"), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("4 records (244 bytes, each header to trailer) copied to"), std::string::npos) << r.out;
      EXPECT_EQ(slurp(base + ".aside").size(), 244u);
      EXPECT_EQ(s.listed(),
                (std::vector<std::string>{"C0001", "C0002", "C0003", "C0004", "C0005", "C0006", "C0007", "C0008"}));
    } else {
      // Moved away, the key file was built again from the description.
      EXPECT_EQ(slurp(key + ".unfit"), keys);
      EXPECT_EQ(s.listed(), (std::vector<std::string>{"C0001", "C0002", "C0011", "C0012", "C0021"}));
    }
  }
}

// kivo started without its standard input or output: a session ends at
// once with its line and status 1, and no file of the installation changes;
// a utility's own output never lands in the file it writes.
TEST(DamagedFiles2, ClosedStandardDescriptorsChangeNoFileAndNoOutputLandsInAFile) {
  const struct {
    const char* name;
    const char* args;
    const char* redirect;
    bool cut_key;  // CUSTOMER.key cut short first: the verifier reports on its error output
    int status;
    const char* said;
  } cases[] = {
      {"session, input and output closed", "-d=DEM", "<&- >&-", false, 1,
       "kivo: no session without a terminal: its standard input (descriptor 0) was closed"},
      {"session, output closed", "-d=DEM", "</dev/null >&-", false, 1,
       "kivo: no session without a terminal: its standard output (descriptor 1) was closed"},
      {"session, input closed", "-d=DEM", "<&-", false, 1,
       "kivo: no session without a terminal: its standard input (descriptor 0) was closed"},
      {"export, output closed", "-e=DEM/DEM/Data/CUSTOMER", ">&-", false, 0, ""},
      {"verify of a bad pair, error output closed", "-v=DEM/DEM/Data/CUSTOMER", "2>&-", true, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site s;
    s.customers(numbered(3));
    if (c.cut_key) {
      ASSERT_EQ(truncate((s.file(kCustomer) + ".key").c_str(), 2000), 0);
    }
    const auto before = s.contents();
    const run_result r = s.kivo(c.args, c.redirect);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err, *c.said ? std::string(c.said) + "\n" : "");
    auto after = s.contents();
    const std::string flat = s.file(kCustomer);
    if (after.count(flat)) {
      // The export's one file holds the records, one a line, and nothing else.
      std::string want;
      for (const std::string& rec : numbered(3)) want += rec + "\n";
      EXPECT_EQ(after[flat], want);
      after.erase(flat);
    }
    EXPECT_TRUE(after == before) << "a file of the installation changed";
  }
}

// A key page that cannot be read whole (the key file cut under an open
// pair) is the key file's damage, named with its repair, never a refused
// permission.
TEST(DamagedFiles2, KeyPageThatCannotBeReadIsTheKeyFilesDamage) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook quiet(foundation_seams.err_presenter, test::quiet);
  // Every read goes to the file: a mapping of a file cut under it is no read.
  kivo_test::scoped_hook no_map(os_sys.mmap, [](void*, size_t, int, int, int, off_t) {
    errno = ENODEV;
    return MAP_FAILED;
  });
  brfinit();
  test::scratch_dir d;
  const std::string base = d.file("pair");
  int st = 0;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, 0, false);
  ASSERT_NE(f, nullptr);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  ASSERT_EQ(brf_upd_ver(f), BRF_OK);
  KEY_DESC k = test::id_key();
  ASSERT_EQ(brfsetkey(r, &k, true, false, nullptr), BRF_OK);
  for (uint32_t id = 1; id <= 1000; ++id) {
    const std::vector<uint8_t> rec = test::make_rec(id, "", 0, 20, 'x');
    ASSERT_EQ(brfput(r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
  }
  brfdeaccess(r);
  brfclose(f);
  // Cut behind the open's back: the open checks of the file manager are not
  // met here, as they are not by a pair cut while it is open.
  ASSERT_EQ(truncate((base + ".key").c_str(), 3584), 0);
  f = brfopen(&st, base.c_str(), BRF_KEY_MUST_EXIST, 0, false);
  ASSERT_NE(f, nullptr);
  r = brfaccess(&st, f, 0, false);
  ASSERT_EQ(brfsetkey(r, &k, false, false, nullptr), BRF_OK);
  la_sys_err_clear();
  const struct { uint32_t id; } cases[] = {{1}, {500}, {1000}};
  int unreadable = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    const std::vector<uint8_t> key = test::make_rec(c.id, "", 0, 0, 0);
    uint8_t buf[256];
    uint32_t len = 0;
    const int got = brfseek(r, kSeekEqual, key.data(), kWholeRecord, buf, sizeof buf, &len);
    EXPECT_NE(got, BRF_PERM);
    if (got == BRF_OK) continue;  // its pages lie before the cut
    ++unreadable;
    EXPECT_EQ(got, BRF_SYS_ERR);
    const char* text = la_sys_err_text();
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(std::regex_search(text, std::regex("pair\\.key is damaged: its page at [0-9]+ lies past the file's "
                                                   "end \\(3584 bytes\\); \"kivo -r=.*pair\" builds its keys again")))
        << text;
  }
  EXPECT_GT(unreadable, 0);
  brfdeaccess(r);
  brfclose(f);
}

}  // namespace
}  // namespace kivo
