// What the file utilities make of records a flat line or a described
// record cannot carry, through the real kivo and kivo_design on copies of
// the shipped installation: an export writes every record, a line feed
// inside one included, and names each an import would split; an import
// into the demo's CUSTOMER (45-byte records by its description) refuses a
// line of another length and the verifier fails a file holding such a
// record; and a second portable load into ACCOUNT while one runs is refused
// before it touches the first's work, which ends as if alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "../fixtures/gate_env.h"
#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"

namespace kivo::test {
namespace {

namespace fs = std::filesystem;
using kivo_test::scratch_dir;
using kivo_test::shell_quote;
using kivo_test::slurp;

constexpr char kCustomer[] = "DEM/DEM/Data/CUSTOMER";
constexpr char kAccount[] = "DEM/DEM/Data/ACCOUNT";
constexpr size_t kShippedAccounts = 50;

// A CUSTOMER record: number (6), name (30), balance (5 packed), no day it
// became a customer (4 bytes 0xff).
std::string customer(int n) {
  char no[8];
  snprintf(no, sizeof no, "C%04d", n);
  std::string r = no;
  r.resize(6, ' ');
  r += std::string("Name ") + no;
  r.resize(36, ' ');
  return r + std::string("\0\0\0\x12\x0c\xff\xff\xff\xff", 9);
}

// An ACCOUNT line of a portable file, 60 characters.
std::string account(const std::string& no) {
  char l[80];
  snprintf(l, sizeof l, "%-6.6s %-30.30s R1 %09d+ 20200102", no.c_str(), ("NEW " + no).c_str(), 1250);
  return l;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

struct ran {
  int status = -1;
  std::string out;
};

struct site {
  scratch_dir dir;
  site() { EXPECT_TRUE(kivo_test::copy_shipped_installation(run())); }
  std::string run() const { return dir.file("run"); }
  std::string file(const std::string& rel) const { return run() + "/" + rel; }
  void write(const std::string& rel, const std::string& bytes) const {
    fs::create_directories(fs::path(file(rel)).parent_path());
    std::ofstream(file(rel), std::ios::binary | std::ios::trunc) << bytes;
  }
  // `program args` in the installation, `env` added; its exit status and
  // everything it said.
  ran start_wait(const std::string& program, const std::string& args, kivo_test::env_list env = {}) const {
    const pid_t pid = start(program, args, env, dir.file("out"));
    const int st = kivo_test::program_status(pid);
    return {st, slurp(dir.file("out"))};
  }
  pid_t start(const std::string& program, const std::string& args, kivo_test::env_list env,
              const std::string& out) const {
    kivo_test::env_list e = kivo_test::engine_env(run());
    e.insert(e.end(), env.begin(), env.end());
    return kivo_test::start_program(run(), program, e, args, out);
  }
  ran kivo(const std::string& args) const { return start_wait(KIVO_BINARY, args); }
  std::string load_args(const std::string& lines) const {
    return "-d " + shell_quote(run()) + " -l DEM DEM 01 ACCOUNT " + shell_quote(file(lines));
  }
  // CUSTOMER made empty of records, and of its key file.
  void no_customers() const {
    unlink(file(std::string(kCustomer) + ".dat").c_str());
    unlink(file(std::string(kCustomer) + ".key").c_str());
  }
};

// Record `n` (from 1) of a flat import of 45-byte records, its byte `at`
// set to `b` in the data file `dat`.
void patch_record(const std::string& dat, int n, size_t at, char b) {
  std::fstream f(dat, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(512 + (n - 1) * (45 + 16) + 12 + static_cast<long>(at));
  f.put(b);
}

struct row {
  const char* what;
  std::function<ran(const site&)> act;
  int status;
  std::vector<std::string> said;
  std::function<void(const site&)> check;
};

// An import of `lines` into CUSTOMER emptied.
std::function<ran(const site&)> import_of(const std::vector<std::string>& lines) {
  return [lines](const site& s) {
    s.no_customers();
    s.write(kCustomer, joined(lines));
    return s.kivo(std::string("-i=") + kCustomer);
  };
}
void no_customer_file(const site& s) { EXPECT_FALSE(fs::exists(s.file(std::string(kCustomer) + ".dat"))); }

TEST(RepairKeepsEveryRecord, TransfersWriteEveryByteAndNameWhatWillNotComeBackWhole) {
  std::vector<std::string> exported;  // the records the export must write, each as it is
  const row rows[] = {
      {"an export of records whose day numbers hold a line feed",
       [&](const site& s) {
         std::vector<std::string> recs;
         for (int i = 1; i <= 5; ++i) recs.push_back(customer(i));
         s.write("x/CUST", joined(recs));
         EXPECT_EQ(s.kivo("-i=x/CUST").status, 0);
         // 07/19/2024 and a day whose both low bytes are line feeds.
         patch_record(s.file("x/CUST.dat"), 3, 41, '\n');
         patch_record(s.file("x/CUST.dat"), 4, 41, '\n');
         patch_record(s.file("x/CUST.dat"), 4, 42, '\n');
         recs[2][41] = recs[3][41] = recs[3][42] = '\n';
         exported = recs;
         return s.kivo("-e=x/CUST");
       },
       1,
       {"Record 3 at seek 634 holds a line feed: it is written as it is, but an import reads it as more than one line",
        "Record 4 at seek 695 holds a line feed", "x/CUST - 5 records",
        "x/CUST: 2 of the 5 records written will not come back whole from an import"},
       [&](const site& s) { EXPECT_EQ(slurp(s.file("x/CUST")), joined(exported)); }},
      {"an import into CUSTOMER of a 2-byte line",
       import_of({customer(1), "AB", customer(3)}),
       1,
       {"Line 2 of", "is 2 bytes, but the description of", "gives its records 45 bytes: nothing is imported"},
       no_customer_file},
      {"an import into CUSTOMER of a 100-byte line",
       import_of({customer(1), customer(2), customer(3) + std::string(55, 'z')}),
       1,
       {"Line 3 of", "is 100 bytes"},
       no_customer_file},
      {"a CUSTOMER file holding a 2-byte record, verified",
       [](const site& s) {
         // Imported where no description is known, then put in place.
         s.write("x/CUSTOMER", joined({customer(1), "AB"}));
         EXPECT_EQ(s.kivo("-i=x/CUSTOMER").status, 0);
         s.no_customers();
         fs::rename(s.file("x/CUSTOMER.dat"), s.file(std::string(kCustomer) + ".dat"));
         return s.kivo(std::string("-v=") + kCustomer);
       },
       0,
       {"1 records are not the 45 bytes its description gives every record (the first, at seek 573, is 2)"},
       nullptr},
      {"a second portable load into ACCOUNT while one runs",
       [](const site& s) {
         std::vector<std::string> first = {"0 ACCOUNT  000060+"}, second = first;
         for (int i = 0; i < 300; ++i) first.push_back(account("B" + std::to_string(10000 + i)));
         for (int i = 0; i < 7; ++i) second.push_back(account("C" + std::to_string(10000 + i)));
         s.write("first.port", joined(first));
         s.write("second.port", joined(second));
         // The first is held at its first write to its work file.
         const pid_t pid = s.start(KIVO_DESIGN, s.load_args("first.port"),
                                   kivo_test::gate_env(s.dir, "Portdata/ACCOUNT.dat"), s.dir.file("first.out"));
         const bool holding = kivo_test::held_at_gate(s.dir);
         // Bounded: a second load that waits for the first's lock is a fault.
         const ran refused =
             holding ? s.start_wait("timeout", "60 " + shell_quote(KIVO_DESIGN) + " " + s.load_args("second.port"))
                     : ran{};
         kivo_test::gate_open(s.dir);
         EXPECT_TRUE(holding);
         EXPECT_EQ(kivo_test::program_status(pid), 0) << slurp(s.dir.file("first.out"));
         EXPECT_NE(slurp(s.dir.file("first.out")).find("300 records added to ACCOUNT, 0 there already"),
                   std::string::npos)
             << slurp(s.dir.file("first.out"));
         return refused;
       },
       3,
       {"second.port: another load into ACCOUNT is running (process", "nothing was added"},
       [](const site& s) {
         const auto recs = kivo_test::native_records(s.file(std::string(kAccount) + ".dat")).records;
         EXPECT_EQ(recs.size(), kShippedAccounts + 300);
         for (const std::string& r : recs) EXPECT_NE(r[0], 'C') << r.substr(0, 6);
         EXPECT_EQ(s.kivo(std::string("-v=") + kAccount).status, 1);
       }},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    site s;
    const ran got = r.act(s);
    EXPECT_EQ(got.status, r.status) << got.out;
    for (const std::string& text : r.said) EXPECT_NE(got.out.find(text), std::string::npos) << text << "\n" << got.out;
    if (r.check) r.check(s);
  }
}

}  // namespace
}  // namespace kivo::test
