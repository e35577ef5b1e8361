// Repairs and exports that never make a file worse, on copies of the shipped
// installation whose CUSTOMER the engine made (fixed-length, 45-byte
// records) with 600 customers added through CUSTOMER ENTRY: each damage
// through `kivo -v`, `-e` and `-r`; and the import by relative names.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <sstream>

#include "installation_site.h"

namespace kivo::test {
namespace {

constexpr int kCustomers = 600;
constexpr uint32_t kSpan = 61;  // a customer's 45 bytes, its header and trailer
constexpr uint32_t seek_of(int customer) { return 512 + (customer - 1) * kSpan; }

// The u32 (`word`) or byte at `at` of CUSTOMER's data or key file set to `v`.
void set(const site& s, const char* ext, size_t at, uint32_t v, bool word = true) {
  const std::string path = s.file(kCustomer) + ext;
  std::string d = slurp(path);
  ASSERT_LE(at + 4, d.size());
  memcpy(d.data() + at, &v, word ? 4 : 1);
  write_bytes(path, d);
}

std::set<std::string> lines(const std::string& text) {
  std::set<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.insert(l);
  return out;
}

TEST(RepairsNeverWorse, HeaderAndRecordDamagesLoseNoWholeRecordAndTheUtilitiesAgree) {
  std::string dat, key;
  std::set<std::string> base;  // the customers as CUSTOMER ENTRY stored them
  {
    site s;
    ASSERT_NO_FATAL_FAILURE(s.added(kCustomers));
    dat = slurp(s.file(kCustomer) + ".dat"), key = slurp(s.file(kCustomer) + ".key");
    ASSERT_EQ(s.kivo(std::string("-e=") + kCustomer).status, 0);
    base = lines(slurp(s.file(kCustomer)));
    ASSERT_EQ(base.size(), size_t{kCustomers});
  }
  const struct {
    const char* name;
    std::function<void(const site&)> damage;
    const char* verify_says;
    const char* export_says;  // null: exit 0
    size_t exported;
    const char* repair_says;
    int aside;  // the customer set aside whole, 0 none
  } cases[] = {
      {"record length 44", [](const site& s) { set(s, ".dat", 4, 44); },
       "Bad record length in header at seek position 512",
       "header's record length 44 is not the 45 bytes every record carries", 600,
       "header's record length 44 is not the 45 bytes every record carries; the header is written again", 0},
      {"record length 46", [](const site& s) { set(s, ".dat", 4, 46); }, "no record boundary of a fixed-length file",
       "header's record length 46 is not the 45 bytes", 600, "600 records kept, nothing set aside", 0},
      {"end of file 30 short", [](const site& s) { set(s, ".dat", 12, seek_of(601) - 30); }, "no record boundary",
       "header's end of file 37082 is no record boundary", 600, "the records end at 37112", 0},
      {"end of file 30 past", [](const site& s) { set(s, ".dat", 12, seek_of(601) + 30); }, "no record boundary",
       "header's end of file 37142 lies past the file's end", 600, "600 records kept", 0},
      {"end of file a record past the file's end", [](const site& s) { set(s, ".dat", 12, seek_of(602)); },
       "lies outside the file", "header's end of file 37173 lies past the file's end", 600, "600 records kept", 0},
      {"a record's header length", [](const site& s) { set(s, ".dat", seek_of(300) + 2, 46, false); },
       "Bad record length in header at seek position 18751",
       "the record at seek 18751 is left out: its header's length is not the file's record length; the next whole "
       "record starts at 18812",
       599, "599 records kept, 61 bytes set aside", 300},
      {"a record's trailer", [](const site& s) { set(s, ".dat", seek_of(301) - 4, 46); },
       "Can't read trailer related to header at seek position 18751",
       "the record at seek 18751 does not end in its length", 600,
       "the record at 18751 is whole but for its trailer: kept, its trailer written again", 0},
      {"key count 0", [](const site& s) { set(s, ".key", 14, 0, false); },
       "CUSTOMER.key:  defines no key, but the file's description gives 1", nullptr, 600,
       "defines no key but holds pages: they are given up", 0},
      {"a repeated key over a stale key file",
       [](const site& s) {
         std::string d = slurp(s.file(kCustomer) + ".dat");
         d.replace(seek_of(200) + 12, 36, customer("C0600", "Second").substr(0, 36));
         write_bytes(s.file(kCustomer) + ".dat", d);
       },
       "1 records repeat values of key 0", nullptr, 600,
       "the record at 37051 repeats the value \"C0600\" of key 0, which the file's description keeps unique; the "
       "record at 12651 holding it stays, the first in the file, which need not be the one added first: the record "
       "set aside may be the one to keep",
       600},
      {"a record number 0", [](const site& s) { set(s, ".dat", seek_of(600) + 8, 0); },
       "Record at seek position 37051 carries number 0, not its place 599",
       "the record at seek 37051 carries a number that is not its place", 600,
       "1 records carried a number that is not their place in the file: numbered again", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site s;
    write_bytes(s.file(kCustomer) + ".dat", dat), write_bytes(s.file(kCustomer) + ".key", key);
    ASSERT_NO_FATAL_FAILURE(c.damage(s));
    std::set<std::string> want = base;
    if (strstr(c.name, "repeated")) {
      const std::string was = dat.substr(seek_of(200) + 12, 45);
      want.erase(was), want.insert(customer("C0600", "Second").substr(0, 36) + was.substr(36));
    }
    const std::string cust = kCustomer;
    run_result r = s.kivo("-v=" + cust);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(c.verify_says), std::string::npos) << r.err;
    r = s.kivo("-e=" + cust);
    EXPECT_EQ(r.status, c.export_says ? 1 : 0) << r.err;
    EXPECT_NE(r.err.find(c.export_says ? c.export_says : ""), std::string::npos) << r.err;
    EXPECT_EQ(lines(slurp(s.file(kCustomer))).size(), c.exported);
    r = s.kivo("-r=" + cust);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(c.repair_says), std::string::npos) << r.out << r.err;
    EXPECT_EQ(s.kivo("-v=" + cust).status, 1);
    ASSERT_EQ(s.kivo("-e=" + cust).status, 0);
    std::set<std::string> have = lines(slurp(s.file(kCustomer)));
    const std::string aside = slurp(s.file(kCustomer) + ".aside");
    if (c.aside) {
      ASSERT_EQ(aside.size(), kSpan);
      have.insert(aside.substr(12, 45));
      EXPECT_EQ(aside.substr(12, 5), (c.aside == 300 ? "C0300" : "C0600"));
    } else {
      EXPECT_EQ(aside, "");
    }
    EXPECT_TRUE(have == want) << have.size() << " of " << want.size();
  }
}

TEST(RepairsNeverWorse, AnImportByARelativeNameFindsTheFilesDescription) {
  const struct {
    const char* in;  // the folder it runs in
    const char* name;
  } cases[] = {
      {"DEM/DEM/Data", "CUSTOMER"},
      {"DEM/DEM/Data", "./CUSTOMER"},
      {"DEM/DEM", "Data/CUSTOMER"},
      {".", nullptr},  // by its absolute path
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "absolute");
    site s;
    const std::string path = s.file(kCustomer), name = c.name ? c.name : path;
    ASSERT_EQ(unlink((path + ".dat").c_str()) | unlink((path + ".key").c_str()), 0);
    for (const char* bad : {"C0001\n", "\n"}) {
      write_bytes(path, customer("C0002", "Two") + "\n" + bad);
      const run_result r = s.kivo("-i=" + name, "", c.in);
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("Line 2 of"), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("gives its records 45 bytes: nothing is imported"), std::string::npos) << r.err;
    }
    write_bytes(path, customer("C0002", "Two") + "\n" + customer("C0001", "One") + "\n");
    EXPECT_EQ(s.kivo("-i=" + name, "", c.in).status, 0);
    EXPECT_EQ(access((path + ".key").c_str(), F_OK), 0) << "the keys are built beside it";
    EXPECT_EQ(s.kivo(std::string("-v=") + kCustomer).status, 1);
  }
}

}  // namespace
}  // namespace kivo::test
