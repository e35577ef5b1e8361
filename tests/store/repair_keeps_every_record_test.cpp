// The repair keeps every record of a damaged CUSTOMER, met as a user meets
// it on copies of the shipped installation with 600 customers: a header end
// of file moved below the records or off a record boundary, a key entry
// changed by hand (the key-order read past it says the key file is
// damaged; an ADD then repeats a unique key), a record the key names whose
// flags say deleted. After `kivo -r` every record is in the file or set
// aside and named, `kivo -v` is good and the engine lists the customers.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>

#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using kivo_test::shell_quote;
using kivo_test::slurp;
using kivo_test::tmux_pane;

constexpr char kCustomer[] = "DEM/DEM/Data/CUSTOMER";
constexpr double kEngineWait = 60;  // only a hung engine takes so long
constexpr int kCustomers = 600;
constexpr uint32_t kRecordSpan = 61;  // a customer's 45 bytes, its header and trailer

// Customers C0001..C0600 as CUSTOMER ENTRY writes them; `last` are put at
// the end of the file.
std::string customers_flat(const std::vector<int>& last) {
  std::string flat, tail;
  char no[16];
  for (int i = 1; i <= kCustomers; ++i) {
    snprintf(no, sizeof no, "C%04d", i);
    std::string r = no;
    r.resize(6, ' ');
    r += std::string("Name ") + no;
    r.resize(36, ' ');
    r += std::string("\0\0\0\x12\x0c\xff\xff\xff\xff", 9) + "\n";
    (std::find(last.begin(), last.end(), i) != last.end() ? tail : flat) += r;
  }
  return flat + tail;
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct run_result {
  int status = -1;
  std::string out, err;
};

// A copy of the shipped installation whose CUSTOMER holds the customers.
struct installation {
  test::scratch_dir dir;
  explicit installation(const std::vector<int>& last) {
    EXPECT_TRUE(kivo_test::copy_shipped_installation(run()));
    EXPECT_EQ(mkdir(dir.file("prt").c_str(), 0700) | mkdir((run() + "/tst").c_str(), 0700), 0);
    const std::string base = file(kCustomer);
    unlink((base + ".dat").c_str());
    unlink((base + ".key").c_str());
    write_bytes(base, customers_flat(last));
    EXPECT_EQ(kivo(std::string("-i=") + kCustomer).status, 0);
    unlink(base.c_str());
    EXPECT_EQ(scripted("#ENTER\n#END\n#END\n"), 0);  // the engine builds the key file
  }
  std::string run() const { return dir.file("run"); }
  std::string file(const std::string& rel) const { return run() + "/" + rel; }
  kivo_test::env_list env() const {
    kivo_test::env_list e = kivo_test::engine_env(run());
    e.insert(e.end(), {{"KIVO_PRT_FI_DIR", dir.file("prt") + "/"}, {"KIVO_FAKE_TIME", "2026120709300000"}});
    return e;
  }
  std::unique_ptr<tmux_pane> engine(kivo_test::env_list extra = {}) const {
    kivo_test::env_list e = env();
    e.insert(e.end(), extra.begin(), extra.end());
    return std::make_unique<tmux_pane>(shell_quote(KIVO_BINARY) + " -d=DEM", run(), e);
  }
  int scripted(const std::string& script) const {
    write_bytes(dir.file("script"), script);
    return engine({{"KIVO_SCRIPT_IN", dir.file("script")}})->exit_status(kEngineWait);
  }
  run_result kivo(const std::string& args) const {
    std::string cmd = "cd " + shell_quote(run()) + " && env";
    for (const auto& [k, v] : env()) cmd += " " + shell_quote(k + "=" + v);
    cmd += " timeout 60 " + shell_quote(KIVO_BINARY) + " " + args + " >" + shell_quote(dir.file("out")) + " 2>" +
           shell_quote(dir.file("err"));
    const int st = system(cmd.c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(dir.file("out")), slurp(dir.file("err"))};
  }
  // The customer numbers CUSTOMER LIST prints.
  std::vector<std::string> listed() const {
    const std::string prt = dir.file("prt");
    EXPECT_EQ(system(("rm -f " + shell_quote(prt) + "/*").c_str()), 0);
    EXPECT_EQ(scripted("#DOWN\n#ENTER\n#END\n"), 0);
    return test::printed_customers(prt);
  }
  // Changes the byte at `at` of CUSTOMER's data or key file.
  void poke(const char* ext, size_t at, char was, char now) const {
    const std::string path = file(kCustomer) + ext;
    std::string d = slurp(path);
    ASSERT_LT(at, d.size());
    ASSERT_EQ(d[at], was);
    d[at] = now;
    write_bytes(path, d);
  }
  size_t find(const char* ext, const std::string& what) const { return slurp(file(kCustomer) + ext).find(what); }
  void move_end(int by) const {
    const std::string dat = slurp(file(kCustomer) + ".dat");
    uint32_t eof = 0;
    memcpy(&eof, dat.data() + 12, 4);
    const uint32_t moved = eof + static_cast<uint32_t>(by);
    std::string d = dat;
    memcpy(d.data() + 12, &moved, 4);
    write_bytes(file(kCustomer) + ".dat", d);
  }
};

// C0315's key entry made "C0Z15": NEXT RECORD from C0314 says the key file
// is damaged; then an ADD of C0315 is taken, and two records hold it.
void damage_key_then_add(const installation& s) {
  const size_t at = s.find(".key", "C0315");
  ASSERT_NE(at, std::string::npos);
  s.poke(".key", at + 2, '3', 'Z');
  auto p = s.engine();
  ASSERT_TRUE(p->wait_for("DEM MENU", kEngineWait)) << p->capture();
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("CUSTOMER NO:", kEngineWait)) << p->capture();
  p->send_text("C0314");
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("Name C0314", kEngineWait)) << p->capture();
  p->send_keys("F9");  // NEXT RECORD
  ASSERT_TRUE(kivo_test::wait_until(
      [&] { return slurp(s.file("syserr")).find("is out of order") != std::string::npos; }, kEngineWait))
      << p->capture();
  EXPECT_NE(slurp(s.file("syserr")).find("CUSTOMER.key is damaged: key 0: its entry in page"), std::string::npos);
  EXPECT_EQ(p->capture().find("End of file"), std::string::npos) << p->capture();
  p->send_keys("F10");  // ADD MODE
  ASSERT_TRUE(p->wait_for("ADD", kEngineWait)) << p->capture();
  p->send_text("C0315");
  p->send_keys("Tab");
  p->send_text("Second");
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("RECORD ADDED", kEngineWait)) << p->capture();
  p->send_keys("S-F1");
  p->send_keys("S-F1");
  ASSERT_EQ(p->exit_status(kEngineWait), 0) << p->capture();
}

TEST(RepairKeepsEveryRecord, DamagedEndKeyEntryOrFlagsLoseNoRecordAndTheEngineListsThemAfter) {
  const struct {
    const char* name;
    std::vector<int> last;  // customers put at the end of the file
    std::function<void(const installation&)> damage;
    const char* export_says;  // null: the export is not looked at
    const char* engine_says;  // the engine's refusal at the open; null: not looked at
    const char* verify_says;
    const char* repair_says;
    size_t listed;
    std::string aside;  // in CUSTOMER.aside afterwards; empty: none
  } cases[] = {
      {"end made 10 records smaller, the key's ends sound",
       {301, 302, 303, 304, 305, 306, 307, 308, 309, 310},
       [](const installation& s) { s.move_end(-10 * static_cast<int>(kRecordSpan)); },
       "all 590 records that can be read are exported; the file is damaged: header's end of file 36502 lies below "
       "its records",
       "CUSTOMER.dat is damaged: header's end of file 36502 lies below its records",
       "header's end of file 36502 lies below its records",
       "600 records kept, nothing set aside",
       600,
       ""},
      {"end 30 bytes short of the last record's end",
       {},
       [](const installation& s) { s.move_end(-30); },
       "the records after the 599 exported cannot be read",
       nullptr,
       "is no record boundary",
       "the records end at 37112; the header's end of file was 37082",
       600,
       ""},
      {"end 30 bytes past the file's end",
       {},
       [](const installation& s) { s.move_end(30); },
       "the records after the 600 exported cannot be read",
       nullptr,
       "lies outside the file",
       "600 records kept",
       600,
       ""},
      {"key entry changed, then its customer added again",
       {},
       damage_key_then_add,
       nullptr,
       nullptr,
       "1 records repeat values of key 0",
       "the record at 37112 repeats the value \"C0315\" of key 0, which the file's description keeps unique",
       600,
       std::string("\0\0-\0\xf8\x90\0\0X\2\0\0C0315 Second", 22)},
      {"flags of an indexed record say deleted",
       {},
       [](const installation& s) { s.poke(".dat", 512 + 199 * kRecordSpan, '\0', '\1'); },
       nullptr,
       nullptr,
       "Index points to a deleted record at 12651",
       "the record at 12651 is flagged deleted, but key 0 names it (\"C0200\")",
       599,
       std::string("\1\0-\0\x6b\x31\0\0\xc7\0\0\0C0200 Name C0200", 26)},
      {"flags of an indexed record no record carries",
       {},
       [](const installation& s) { s.poke(".dat", 512 + 199 * kRecordSpan, '\0', '\x41'); },
       nullptr,
       nullptr,
       "Bad flags in record header at seek position 12651",
       "1 damaged record, the first at 12651",
       599,
       std::string("\x41\0-\0", 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    installation s(c.last);
    c.damage(s);
    if (HasFatalFailure()) return;
    if (c.export_says) {
      const run_result e = s.kivo(std::string("-e=") + kCustomer);
      EXPECT_EQ(e.status, 1);
      EXPECT_NE(e.err.find(c.export_says), std::string::npos) << e.err;
    }
    if (c.engine_says) {
      EXPECT_EQ(s.scripted("#ENTER\n#END\n#END\n"), 0);
      EXPECT_NE(slurp(s.file("syserr")).find(c.engine_says), std::string::npos) << slurp(s.file("syserr"));
    }
    const run_result v = s.kivo(std::string("-v=") + kCustomer);
    EXPECT_EQ(v.status, 0);
    EXPECT_NE(v.err.find(c.verify_says), std::string::npos) << v.err;
    EXPECT_EQ(v.err.find("deleted") != std::string::npos, strstr(c.verify_says, "deleted") != nullptr) << v.err;
    const run_result r = s.kivo(std::string("-r=") + kCustomer);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(c.repair_says), std::string::npos) << r.out << r.err;
    const std::string aside = slurp(s.file(kCustomer) + ".aside");
    EXPECT_EQ(aside.size(), c.aside.empty() ? 0 : kRecordSpan);
    EXPECT_EQ(aside.compare(0, c.aside.size(), c.aside), 0);
    EXPECT_EQ(s.kivo(std::string("-v=") + kCustomer).status, 1);
    const std::vector<std::string> listed = s.listed();
    EXPECT_EQ(listed.size(), c.listed);
    EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
    EXPECT_TRUE(std::adjacent_find(listed.begin(), listed.end()) == listed.end());
  }
}

}  // namespace
}  // namespace kivo
