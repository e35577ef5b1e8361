// Damaged pairs and failing reads met through the real kivo on copies of the
// shipped installation: a key page or a record header damaged by hand, or a
// key file put back from an older copy, is named as the damage it is, and no
// unique key repeats and no list that is not whole is kept; a read of the
// data or key file that fails (an error, a short or an empty read, the file
// never mapped) is an I/O error, and nothing is written from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "installation_site.h"

namespace kivo::test {
namespace {

constexpr int kCustomers = 700;
constexpr uint32_t kRecordSpan = 61;  // a customer's 45 bytes, its header and trailer

// CUSTOMER.key's bytes: key 0's root page and the pages below it.
struct key_bytes {
  std::string b;
  uint32_t u32(size_t at) const {
    uint32_t v = 0;
    memcpy(&v, b.data() + at, 4);
    return v;
  }
  void set(size_t at, uint32_t v, size_t n = 4) { memcpy(b.data() + at, &v, n); }
  size_t entry() const { return static_cast<uint8_t>(b[16 + 6]) + 8u; }
  uint32_t root() const { return u32(16); }
  size_t down_at(uint32_t page, int i) const { return page + 8 + i * entry(); }
  uint32_t leaf(int i) const { return u32(down_at(root(), i)); }
  void swap(uint32_t a, uint32_t c) { std::swap_ranges(b.begin() + a, b.begin() + a + 2048, b.begin() + c); }
};

// Live records of CUSTOMER.dat that hold `what` at their name.
size_t live(const site& s, const std::string& what) {
  const std::string d = slurp(s.file(kCustomer) + ".dat");
  size_t n = 0;
  for (size_t at = d.find(what); at != std::string::npos; at = d.find(what, at + 1)) n += at >= 18 && d[at - 18] == 0;
  return n;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// CUSTOMER ENTRY: INQUIRE of `no`, of `before` and NEXT RECORD, then ADD of
// `add` (`no` when empty); the pane's texts through them, squeezed.
std::string enter(const site& s, const std::string& no, const std::string& before, const kivo_test::env_list& env = {},
                  std::string add = "") {
  if (add.empty()) add = no;
  auto p = s.engine("-d=DEM", env);
  std::string all;
  const auto step = [&](const std::function<void()>& keys, std::initializer_list<const char*> ends) {
    const std::string was = kivo_test::squeezed(p->capture());
    keys();
    kivo_test::wait_until(
        [&] {
          const std::string now = kivo_test::squeezed(p->capture());
          for (const char* e : ends)
            if (now.find(e) != std::string::npos && count_of(now, e) > count_of(was, e)) return true;
          return false;
        },
        10) ||
        (ADD_FAILURE() << "no step's end after " << was << "\n"
                       << kivo_test::squeezed(p->capture()),
         true);
    all += kivo_test::squeezed(p->capture()) + "\n";
  };
  if (!p->wait_for("DEM MENU", kEngineWait)) return p->capture();
  p->send_keys("Enter");
  // A pair refused at its open: its window.
  kivo_test::wait_until(
      [&] {
        return p->capture().find("CUSTOMER NO:") != std::string::npos ||
               p->capture().find("ERROR") != std::string::npos;
      },
      kEngineWait);
  if (p->capture().find("CUSTOMER NO:") == std::string::npos) {
    all = kivo_test::squeezed(p->capture());
    p->send_keys("Enter"), p->send_keys("S-F1");
    p->exit_status(kEngineWait);
    return all;
  }
  // The texts a step ends on, squeezed as the screen is: a customer's name
  // ("Name ..." as listed, "Second" as added here) or a message.
  step([&] { p->send_text(no), p->send_keys("Enter"); }, {"ERROR", "Name", "Second"});
  step([&] { p->send_text(before), p->send_keys("Enter"); }, {"ERROR", "Name", "Second"});
  step([&] { p->send_keys("F9"); }, {"ERROR", "Name", "Second"});
  p->send_keys("F10");
  p->wait_for("ADD", kEngineWait);
  step([&] { p->send_text(add), p->send_keys("Tab"), p->send_text("Second"), p->send_keys("Enter"); },
       {"ERROR", "RECORDADDED"});
  p->send_keys("S-F1"), p->send_keys("S-F1"), p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(kEngineWait), 0) << p->capture();
  return all;
}

// The first key of key 0's second leaf and the root's entry before it.
std::pair<std::string, std::string> leaf_edge(const site& s) {
  const key_bytes k{slurp(s.file(kCustomer) + ".key")};
  return {k.b.substr(k.leaf(1) + 16, 5), k.b.substr(k.root() + 16, 5)};
}

TEST(DamagedPairsAndFailedReads, DamagedKeyPagesRecordsAndStaleKeyFilesAreNamedAndRepeatNoUniqueKey) {
  const auto pages = [](std::function<void(key_bytes&)> f) {
    return [f](const site& s) {
      key_bytes k{slurp(s.file(kCustomer) + ".key")};
      f(k);
      write_bytes(s.file(kCustomer) + ".key", k.b);
    };
  };
  const struct {
    const char* name;
    std::function<void(const site&)> damage;
    const char* named;
  } cases[] = {
      {"root's link to another leaf", pages([](key_bytes& k) { k.set(k.down_at(k.root(), 1), k.leaf(2)); }),
       "holds a key not below the entry after its link"},
      {"root's link to a free page", pages([](key_bytes& k) {
         const uint32_t page = k.u32(8);
         k.b += std::string(2048, '\x82');
         k.set(page, 0), k.set(page + 4, 0), k.set(8, page + 2048), k.set(4, page);
         k.set(k.down_at(k.root(), 1), page);
       }),
       "is not a child of the page that links to it"},
      {"two leaves swapped", pages([](key_bytes& k) { k.swap(k.leaf(1), k.leaf(2)); }), "holds a key not"},
      {"root swapped with a leaf", pages([](key_bytes& k) { k.swap(k.root(), k.leaf(1)); }), "(its links loop)"},
      {"a leaf's count 0", pages([](key_bytes& k) { k.set(k.leaf(1) + 4, 0, 2); }), "holds no entry"},
      {"a leaf's count over its capacity", pages([](key_bytes& k) { k.set(k.leaf(1) + 4, 900, 2); }),
       "holds 900 entries, more than a page can (145)"},
      {"a record's header length 45 to 46",
       [](const site& s) {
         std::string d = slurp(s.file(kCustomer) + ".dat");
         d[512 + 199 * kRecordSpan + 2] = 46;
         write_bytes(s.file(kCustomer) + ".dat", d);
       },
       "CUSTOMER.dat is damaged: the record at 12651 has length 46 in its header and 0 in its trailer"},
      {"a key file put back from before a session's add",
       [](const site& s) {
         enter(s, "C0701", "C0700");
         const std::string key = slurp(s.file(kCustomer) + ".key");
         enter(s, "C0702", "C0701");
         write_bytes(s.file(kCustomer) + ".key", key);
       },
       "a copy of another time was put back"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site s;
    ASSERT_NO_FATAL_FAILURE(s.customers(numbered(kCustomers)));
    auto [target, before] = leaf_edge(s);
    if (strstr(c.name, "record")) target = "C0200", before = "C0199";
    if (strstr(c.name, "put back")) target = "C0702", before = "C0701";
    ASSERT_NO_FATAL_FAILURE(c.damage(s));
    const size_t added = live(s, "Second");
    const std::string seen = enter(s, target, before);
    for (const char* never : {"Recordnotfound", "RECORDADDED", "organisationdiffers"})
      EXPECT_EQ(seen.find(never), std::string::npos) << never << "\n" << seen;
    // NEXT RECORD from a record read goes on or names the damage.
    if (seen.find("RECORDREAD") != std::string::npos) {
      EXPECT_EQ(seen.find("Endoffile"), std::string::npos) << seen;
    }
    EXPECT_NE(seen.find("isdamaged"), std::string::npos) << seen;
    EXPECT_NE(slurp(s.file("syserr")).find(c.named), std::string::npos) << slurp(s.file("syserr"));
    if (!strstr(c.name, "put back")) {  // refused at the open: nothing runs
      const size_t listed = s.listed().size();
      EXPECT_TRUE(listed == 0 || listed >= size_t{kCustomers}) << listed;
    }
    EXPECT_EQ(live(s, "Second"), added);
  }
}

// The data or key file's reads failing from the N-th on, the file never
// mapped: no read says "not found" or "end of file", the failure names the
// file and its reason, and
// what an add left is a pair the verifier, the repair and the export agree
// is sound.
TEST(DamagedPairsAndFailedReads, ReadsThatFailAreIoErrorsAndNothingIsWrittenFromThem) {
  site s;
  ASSERT_NO_FATAL_FAILURE(s.customers(numbered(kCustomers)));
  const std::string base = s.file(kCustomer), dat = slurp(base + ".dat"), key = slurp(base + ".key");
  const struct {
    const char* ext;
    const char* kind;
    int from;
  } cases[] = {{".dat", "eio", 3}, {".dat", "short", 4}, {".dat", "zero", 5}, {".key", "eio", 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ext) + " " + c.kind + " from " + std::to_string(c.from));
    write_bytes(base + ".dat", dat), write_bytes(base + ".key", key);
    unlink(s.file("syserr").c_str());
    const char* asan = getenv("ASAN_OPTIONS");
    const kivo_test::env_list env = {{"LD_PRELOAD", FAIL_READS},
                                     {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"},
                                     {"KVTEST_READ_PATH", std::string("CUSTOMER") + c.ext},
                                     {"KVTEST_READ_KIND", c.kind},
                                     {"KVTEST_READ_FROM", std::to_string(c.from)}};
    const std::string seen = enter(s, "C0200", "C0199", env, "C0701");
    for (const char* never : {"Recordnotfound", "organisationdiffers", "norecordboundary"})
      EXPECT_EQ(seen.find(never), std::string::npos) << never << "\n" << seen;
    if (seen.find("RECORDREAD") != std::string::npos) {
      EXPECT_EQ(seen.find("Endoffile"), std::string::npos) << seen;
    }
    EXPECT_NE(slurp(s.file("syserr")).find(std::string("CUSTOMER") + c.ext + " cannot be read at "), std::string::npos)
        << slurp(s.file("syserr"));
    EXPECT_EQ(s.kivo("-v=" + std::string(kCustomer)).status, 1);
    EXPECT_EQ(s.kivo("-e=" + std::string(kCustomer)).status, 0);
    const run_result r = s.kivo("-r=" + std::string(kCustomer));
    EXPECT_NE(r.out.find("sound"), std::string::npos) << r.out << r.err;
  }
}

}  // namespace
}  // namespace kivo::test
