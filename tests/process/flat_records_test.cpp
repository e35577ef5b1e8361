// What the file utilities make of records a flat line or a described
// record cannot carry, and of two portable loads at once, through the real
// kivo and kivo_design on copies of the shipped installation.
#include <gtest/gtest.h>

#include <functional>

#include "../fixtures/gate_env.h"
#include "../store/installation_site.h"

namespace kivo::test {
namespace {

namespace fs = std::filesystem;
const std::string kCust = kCustomer, kAccount = "DEM/DEM/Data/ACCOUNT";
constexpr size_t kShippedAccounts = 50;

// An ACCOUNT line of a portable file, 60 characters.
std::string account(const std::string& no) {
  char l[80];
  snprintf(l, sizeof l, "%-6.6s %-30.30s R1 %09d+ 20200102", no.c_str(), ("NEW " + no).c_str(), 1250);
  return l;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}
// `lines` as the file `rel` of the installation.
void put(const site& s, const std::string& rel, const std::vector<std::string>& lines) {
  fs::create_directories(fs::path(s.file(rel)).parent_path());
  write_bytes(s.file(rel), joined(lines));
}

// CUSTOMER made empty of records, and of its key file.
void no_customers(const site& s) {
  unlink(s.file(kCust + ".dat").c_str());
  unlink(s.file(kCust + ".key").c_str());
}

// kivo_design loading `lines` (a file of the installation) into ACCOUNT,
// `bounded` or not, started with `env`, all it says in `out`.
pid_t load(const site& s, bool bounded, const std::string& lines, kivo_test::env_list env, const std::string& out) {
  const std::string args = "-d " + shell_quote(s.run()) + " -l DEM DEM 01 ACCOUNT " + shell_quote(s.file(lines));
  return kivo_test::start_program(s.run(), bounded ? "timeout" : KIVO_DESIGN, s.env(env),
                                  bounded ? "60 " + shell_quote(KIVO_DESIGN) + " " + args : args, s.dir.file(out));
}

// An import of `lines` into CUSTOMER emptied.
std::function<run_result(const site&)> import_of(const std::vector<std::string>& lines) {
  return [lines](const site& s) {
    no_customers(s);
    put(s, kCust, lines);
    return s.kivo("-i=" + kCust);
  };
}
void no_customer_file(const site& s) { EXPECT_FALSE(fs::exists(s.file(kCust + ".dat"))); }

TEST(RepairKeepsEveryRecord, TransfersWriteEveryByteAndNameWhatWillNotComeBackWhole) {
  const std::vector<std::string> c = numbered(5);
  std::vector<std::string> exported = c;  // the records the export must write, each as it is
  // 07/19/2024 and a day whose both low bytes are line feeds.
  exported[2][41] = exported[3][41] = exported[3][42] = '\n';
  const struct {
    const char* what;
    std::function<run_result(const site&)> act;
    int status;
    std::vector<std::string> said;
    std::function<void(const site&)> check;
  } rows[] = {
      {"an export of records whose day numbers hold a line feed",
       [&](const site& s) {
         put(s, "x/CUST", c);
         EXPECT_EQ(s.kivo("-i=x/CUST").status, 0);
         std::fstream f(s.file("x/CUST.dat"), std::ios::in | std::ios::out | std::ios::binary);
         for (const auto& [n, at] :
              {std::pair{3, 41}, std::pair{4, 41}, std::pair{4, 42}})  // record n (from 1) of 45 bytes
           f.seekp(512 + (n - 1) * (45 + 16) + 12 + at), f.put('\n');
         f.close();
         return s.kivo("-e=x/CUST");
       },
       1,
       {"Record 3 at seek 634 holds a line feed: it is written as it is, but an import reads it as more than one line",
        "Record 4 at seek 695 holds a line feed", "x/CUST - 5 records",
        "x/CUST: 2 of the 5 records written will not come back whole from an import"},
       [&](const site& s) { EXPECT_EQ(slurp(s.file("x/CUST")), joined(exported)); }},
      {"an import into CUSTOMER of a 2-byte line",
       import_of({c[0], "AB", c[2]}),
       1,
       {"Line 2 of", "is 2 bytes, but the description of", "gives its records 45 bytes: nothing is imported"},
       no_customer_file},
      {"an import into CUSTOMER of a 100-byte line",
       import_of({c[0], c[1], c[2] + std::string(55, 'z')}),
       1,
       {"Line 3 of", "is 100 bytes"},
       no_customer_file},
      {"a CUSTOMER file holding a 2-byte record, verified",
       [&](const site& s) {
         // Imported where no description is known, then put in place.
         put(s, "x/CUSTOMER", {c[0], "AB"});
         EXPECT_EQ(s.kivo("-i=x/CUSTOMER").status, 0);
         no_customers(s);
         fs::rename(s.file("x/CUSTOMER.dat"), s.file(kCust + ".dat"));
         return s.kivo("-v=" + kCust);
       },
       0,
       {"1 records are not the 45 bytes its description gives every record (the first, at seek 573, is 2)"},
       nullptr},
      {"a second portable load into ACCOUNT while one runs",
       [](const site& s) {
         std::vector<std::string> first = {"0 ACCOUNT  000060+"}, second = first;
         for (int i = 0; i < 300; ++i) first.push_back(account("B" + std::to_string(10000 + i)));
         for (int i = 0; i < 7; ++i) second.push_back(account("C" + std::to_string(10000 + i)));
         put(s, "first.port", first), put(s, "second.port", second);
         // The first is held at its first write to its work file; a second
         // load that waits for the first's lock is a fault, bounded.
         const pid_t pid =
             load(s, false, "first.port", kivo_test::gate_env(s.dir, "Portdata/ACCOUNT.dat"), "first.out");
         const bool holding = kivo_test::held_at_gate(s.dir);
         const int refused = holding ? kivo_test::program_status(load(s, true, "second.port", {}, "out")) : -1;
         kivo_test::gate_open(s.dir);
         EXPECT_EQ(kivo_test::program_status(pid), 0);
         EXPECT_NE(slurp(s.dir.file("first.out")).find("300 records added to ACCOUNT, 0 there already"),
                   std::string::npos)
             << slurp(s.dir.file("first.out"));
         return run_result{refused, slurp(s.dir.file("out")), ""};
       },
       3,
       {"second.port: another load into ACCOUNT is running (process", "nothing was added"},
       [](const site& s) {
         const auto recs = kivo_test::native_records(s.file(kAccount + ".dat")).records;
         EXPECT_EQ(recs.size(), kShippedAccounts + 300);
         for (const std::string& r : recs) EXPECT_NE(r[0], 'C') << r.substr(0, 6);
         EXPECT_EQ(s.kivo("-v=" + kAccount).status, 1);
       }},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    site s;
    const run_result got = r.act(s);
    const std::string said = got.out + got.err;
    EXPECT_EQ(got.status, r.status) << said;
    for (const std::string& text : r.said) EXPECT_NE(said.find(text), std::string::npos) << text << "\n" << said;
    if (r.check) r.check(s);
  }
}

}  // namespace
}  // namespace kivo::test
