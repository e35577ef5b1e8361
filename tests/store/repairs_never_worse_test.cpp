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
    const char *verify_says, *export_says;  // export_says null: it ends 0
    size_t exported;
    const char *repair_says, *aside;  // aside: the customer set aside whole, null none
  } cases[] = {
      {"record length 44", [](const site& s) { set(s, ".dat", 4, 44); },
       "Bad record length in header at seek position 512",
       "header's record length 44 is not the 45 bytes every record carries", 600, "the header is written again",
       nullptr},
      {"record length 46", [](const site& s) { set(s, ".dat", 4, 46); }, "no record boundary of a fixed-length file",
       "header's record length 46 is not the 45 bytes", 600, "600 records kept, nothing set aside", nullptr},
      {"end of file 30 short", [](const site& s) { set(s, ".dat", 12, seek_of(601) - 30); }, "no record boundary",
       "header's end of file 37082 is no record boundary", 600, "the records end at 37112", nullptr},
      {"end of file 30 past", [](const site& s) { set(s, ".dat", 12, seek_of(601) + 30); }, "no record boundary",
       "header's end of file 37142 lies past the file's end", 600, "600 records kept", nullptr},
      {"end of file a record past", [](const site& s) { set(s, ".dat", 12, seek_of(602)); }, "lies outside the file",
       "header's end of file 37173 lies past the file's end", 600, "600 records kept", nullptr},
      {"a record's header length", [](const site& s) { set(s, ".dat", seek_of(300) + 2, 46, false); },
       "Bad record length in header at seek position 18751",
       "the record at seek 18751 is left out: its header's length is not the file's record length; the next whole "
       "record starts at 18812",
       599, "599 records kept, 61 bytes set aside", "C0300"},
      {"a record's trailer", [](const site& s) { set(s, ".dat", seek_of(301) - 4, 46); }, "Can't read trailer related",
       "the record at seek 18751 does not end in its length", 600,
       "the record at 18751 is whole but for its trailer: kept, its trailer written again", nullptr},
      {"key count 0", [](const site& s) { set(s, ".key", 14, 0, false); },
       "CUSTOMER.key:  defines no key, but the file's description gives 1", nullptr, 600,
       "defines no key but holds pages: they are given up", nullptr},
      {"a repeated key over a stale key file", [](const site& s) { set(s, ".dat", seek_of(200) + 14, '6', false); },
       "1 records repeat values of key 0", nullptr, 600,
       "the record at 37051 repeats the value \"C0600\" of key 0, which the file's description keeps unique; the "
       "record at 12651 holding it stays, the first in the file, which need not be the one added first",
       "C0600"},
      {"a record number 0", [](const site& s) { set(s, ".dat", seek_of(600) + 8, 0); },
       "Record at seek position 37051 carries number 0, not its place 599",
       "the record at seek 37051 carries a number that is not its place", 600, "numbered again", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site s;
    write_bytes(s.file(kCustomer) + ".dat", dat), write_bytes(s.file(kCustomer) + ".key", key);
    ASSERT_NO_FATAL_FAILURE(c.damage(s));
    std::set<std::string> want = base;
    if (std::string was = dat.substr(seek_of(200) + 12, 45); strstr(c.name, "repeated"))
      want.erase(was), want.insert(was.replace(2, 1, "6"));  // C0200 made C0600
    // kivo with `opt` on CUSTOMER ends with `status` and says `text` on `stream`.
    const auto says = [&](const char* opt, int status, const char* text, bool out = false) {
      const run_result r = s.kivo(opt + std::string(kCustomer));
      EXPECT_EQ(r.status, status) << r.out << r.err;
      EXPECT_NE((out ? r.out : r.err).find(text ? text : ""), std::string::npos) << r.out << r.err;
    };
    says("-v=", 0, c.verify_says);
    says("-e=", c.export_says ? 1 : 0, c.export_says);
    EXPECT_EQ(lines(slurp(s.file(kCustomer))).size(), c.exported);
    says("-r=", 1, c.repair_says, true);
    says("-v=", 1, "");
    says("-e=", 0, "");
    std::set<std::string> have = lines(slurp(s.file(kCustomer)));
    const std::string aside = slurp(s.file(kCustomer) + ".aside");
    ASSERT_EQ(aside.size(), c.aside ? kSpan : 0);
    if (c.aside) have.insert(aside.substr(12, 45));
    EXPECT_EQ(aside.substr(std::min<size_t>(12, aside.size()), 5), c.aside ? c.aside : "");
    EXPECT_TRUE(have == want) << have.size() << " of " << want.size();
  }
}

TEST(RepairsNeverWorse, AnImportByARelativeNameFindsTheFilesDescription) {
  // The folder it runs in and the name it is given; the last by the absolute path.
  const struct {
    const char *in, *name;
  } cases[] = {{"DEM/DEM/Data", "CUSTOMER"}, {"DEM/DEM/Data", "./CUSTOMER"}, {"DEM/DEM", "Data/CUSTOMER"}, {".", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site s;
    const std::string path = s.file(kCustomer), name = *c.name ? c.name : path;
    ASSERT_EQ(unlink((path + ".dat").c_str()) | unlink((path + ".key").c_str()), 0);
    for (const char* bad : {"C0001\n", "\n"}) {  // 5 bytes, an empty line
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
