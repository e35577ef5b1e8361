// The repair keeps every record of a CUSTOMER of 600 customers damaged by
// hand on a copy of the shipped installation: after `kivo -r` each is in
// the file or set aside and named, `kivo -v` is good and the engine lists
// them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "installation_site.h"

namespace kivo::test {
namespace {

constexpr int kCustomers = 600;
constexpr uint32_t kRecordSpan = 61;  // a customer's 45 bytes, its header and trailer

// Adds `by` to the byte (the u32 with `word`) at `at` of CUSTOMER's data or key file.
void change(const site& s, const char* ext, size_t at, int by, bool word = false) {
  const std::string path = s.file(kCustomer) + ext;
  std::string d = slurp(path);
  ASSERT_LE(at + 4, d.size());
  uint32_t v = 0;
  memcpy(&v, d.data() + at, word ? 4 : 1);
  v += static_cast<uint32_t>(by);
  memcpy(d.data() + at, &v, word ? 4 : 1);
  write_bytes(path, d);
}

// C0315's key entry made "C0Z15": its leaf is the key file's damage, named
// by an inquiry in it; an ADD of C0315 is refused, so no two records hold it.
void damage_key_then_add(const site& s) {
  const size_t at = slurp(s.file(kCustomer) + ".key").find("C0315");
  ASSERT_NE(at, std::string::npos);
  change(s, ".key", at + 2, 'Z' - '3');
  auto p = s.engine("-d=DEM");
  const auto shows = [&](const char* text) { return p->wait_for(text, kEngineWait); };
  ASSERT_TRUE(shows("DEM MENU")) << p->capture();
  p->send_keys("Enter");
  ASSERT_TRUE(shows("CUSTOMER NO:")) << p->capture();
  p->send_text("C0314"), p->send_keys("Enter");
  const auto log = [&] { return slurp(s.file("syserr")); };
  ASSERT_TRUE(kivo_test::wait_until([&] { return log().find("is out of order") != std::string::npos; }, kEngineWait));
  EXPECT_NE(log().find("CUSTOMER.key is damaged: key 0: its page at"), std::string::npos);
  p->send_keys("F10");  // ADD MODE
  ASSERT_TRUE(shows("ADD")) << p->capture();
  p->send_text("C0315"), p->send_keys("Tab"), p->send_text("Second"), p->send_keys("Enter");
  ASSERT_TRUE(shows("is damaged")) << p->capture();
  EXPECT_EQ(p->capture().find("RECORD ADDED"), std::string::npos) << p->capture();
  p->send_keys("S-F1"), p->send_keys("S-F1");
  ASSERT_EQ(p->exit_status(kEngineWait), 0) << p->capture();
}

TEST(RepairKeepsEveryRecord, DamagedEndKeyEntryOrFlagsLoseNoRecordAndTheEngineListsThemAfter) {
  const struct {
    const char* name;
    bool middle_last;  // C0301..C0310 last in the file
    std::function<void(const site&)> damage;
    const char* export_says;  // null: the export is not looked at
    const char* engine_says;  // the engine's refusal at the open; null: not looked at
    const char* verify_says;
    const char* repair_says;
    size_t listed;
    std::string aside;  // in CUSTOMER.aside afterwards; empty: none
  } cases[] = {
      {"end made 10 records smaller, the key's ends sound", true,
       [](const site& s) { change(s, ".dat", 12, -10 * static_cast<int>(kRecordSpan), true); },
       "all 600 records that can be read are exported; the file is damaged: header's end of file 36502 lies below "
       "its records",
       "CUSTOMER.dat is damaged: header's end of file 36502 lies below its records",
       "header's end of file 36502 lies below its records", "600 records kept, nothing set aside", 600, ""},
      {"end 30 bytes short of the last record's end", false, [](const site& s) { change(s, ".dat", 12, -30, true); },
       "all 600 records that can be read are exported; the file is damaged: header's end of file 37082 is no record "
       "boundary",
       nullptr, "is no record boundary", "the records end at 37112; the header's end of file was 37082", 600, ""},
      {"end 30 bytes past the file's end", false, [](const site& s) { change(s, ".dat", 12, 30, true); },
       "all 600 records that can be read are exported; the file is damaged: header's end of file 37142 lies past the "
       "file's end",
       nullptr, "lies outside the file", "600 records kept", 600, ""},
      {"key entry changed, then its customer refused again", false, damage_key_then_add, nullptr, nullptr,
       "Invalid key in page", "", 600, ""},
      {"flags of an indexed record say deleted", false,
       [](const site& s) { change(s, ".dat", 512 + 199 * kRecordSpan, 1); }, nullptr, nullptr,
       "Index points to a deleted record at 12651",
       "the record at 12651 is flagged deleted, but key 0 names it (\"C0200\")", 599,
       std::string("\1\0-\0\x6b\x31\0\0\xc7\0\0\0C0200 Name C0200", 26)},
      {"flags of an indexed record no record carries", false,
       [](const site& s) { change(s, ".dat", 512 + 199 * kRecordSpan, 0x41); }, nullptr, nullptr,
       "Bad flags in record header at seek position 12651", "1 damaged record, the first at 12651", 599,
       std::string("\x41\0-\0", 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site s;
    std::vector<std::string> all = numbered(kCustomers);
    if (c.middle_last) std::rotate(all.begin() + 300, all.begin() + 310, all.end());
    ASSERT_NO_FATAL_FAILURE(s.customers(all));
    ASSERT_NO_FATAL_FAILURE(c.damage(s));
    // kivo with `opt` on CUSTOMER ends with `status` and says `text` (on its output with `out`).
    const auto says = [&](const char* opt, int status, const char* text, bool out = false) {
      const run_result r = s.kivo(opt + std::string(kCustomer));
      EXPECT_EQ(r.status, status) << r.out << r.err;
      EXPECT_NE((out ? r.out : r.err).find(text), std::string::npos) << r.out << r.err;
      return r.err;
    };
    if (c.export_says) says("-e=", 1, c.export_says);
    if (c.engine_says) {
      EXPECT_EQ(s.scripted("#ENTER\n#END\n#END\n"), 0);
      EXPECT_NE(slurp(s.file("syserr")).find(c.engine_says), std::string::npos) << slurp(s.file("syserr"));
    }
    const std::string verified = says("-v=", 0, c.verify_says);
    EXPECT_EQ(verified.find("deleted") != std::string::npos, strstr(c.verify_says, "deleted") != nullptr);
    says("-r=", 1, c.repair_says, true);
    const std::string aside = slurp(s.file(kCustomer) + ".aside");
    EXPECT_EQ(aside.size(), c.aside.empty() ? 0 : kRecordSpan);
    EXPECT_EQ(aside.compare(0, c.aside.size(), c.aside), 0);
    EXPECT_EQ(s.kivo(std::string("-v=") + kCustomer).status, 1);
    const std::vector<std::string> listed = s.listed();
    EXPECT_EQ(listed.size(), c.listed);
    EXPECT_TRUE(std::adjacent_find(listed.begin(), listed.end(), std::greater_equal<>()) == listed.end());  // rising
  }
}

}  // namespace
}  // namespace kivo::test
