// The key file of a large imported file, built in bulk wherever a whole key
// file is built: by the real "kivo -i" when the file's structure file gives
// its keys, by "kivo -r" on the data file whose keys were never built, and by
// the open's key definition (brfsetkey, as the engine's first open declares
// each key). Each must give a key file through which every record is reached
// once in key order and that "kivo -v" calls good; the three are the same
// bytes. The file: the demonstration application's CUSTOMER of a copy of the
// shipped installation, 1,000,000 records in random key order.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "../fixtures/hook_override.h"
#include "../fixtures/kivo_fixture.h"
#include "foundation/foundation.h"
#include "record_test_util.h"

namespace kivo {
namespace {

constexpr uint32_t kKeyLen = 6;  // CUSTOMER's key: six characters at 0

// Runs the real engine's utility with `arg`; its exit status, its standard
// output in *out.
int run_kivo(const std::string& arg, std::string* out) {
  std::string cmd = std::string(KIVO_BINARY) + " " + arg + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  out->clear();
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out->append(buf, n);
  int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// The flat file of n customers, their ids in random order.
void write_customers(const std::string& path, uint32_t n) {
  std::vector<uint32_t> ids(n);
  for (uint32_t i = 0; i < n; ++i) ids[i] = i;
  std::shuffle(ids.begin(), ids.end(), std::mt19937(n));
  FILE* f = fopen(path.c_str(), "w");
  for (uint32_t id : ids) fprintf(f, "%06u%-39s\n", id, ("CUSTOMER " + std::to_string(id)).c_str());
  fclose(f);
}

// Every record through the key, in key order, once: "" or the first fault.
std::string walk_in_key_order(const std::string& base, uint32_t n) {
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_KEY_MUST_EXIST, 0, false);
  if (!f) return "open gave " + std::to_string(st);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  KEY_DESC d = test::key_desc({{kSegChars, kKeyLen, 0}});
  std::string err;
  if (brfsetkey(r, &d, false, false, nullptr) != BRF_OK) err = "the key is not defined";
  std::vector<uint8_t> buf(64);
  uint32_t len = 0;
  std::string last;
  uint32_t seen = 0;
  st = err.empty() ? brffirst(r, buf.data(), buf.size(), &len) : BRF_EOF;
  for (; st == BRF_OK && err.empty(); st = brfnext(r, buf.data(), buf.size(), &len), ++seen) {
    std::string key(reinterpret_cast<char*>(buf.data()), kKeyLen);
    if (key <= last) err = "key " + key + " after " + last;
    if (memcmp(r->cursor->keybuf, buf.data(), kKeyLen) != 0) err = "record " + key + " under another key";
    last = key;
  }
  if (err.empty() && st != BRF_EOF) err = "walk ended with " + std::to_string(st);
  if (err.empty() && seen != n) err = std::to_string(seen) + " records reached of " + std::to_string(n);
  brfdeaccess(r);
  brfclose(f);
  return err;
}

TEST(UtilityInput, KeyFileOfAMillionRecordsIsBuiltInBulkByTheImportTheRepairAndTheOpen) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, test::quiet);
  brfinit();
  test::scratch_dir dir;
  ASSERT_TRUE(kivo_test::copy_shipped_installation(dir.path()));
  const std::string base = dir.path() + "/DEM/DEM/Data/CUSTOMER";
  ASSERT_EQ(unlink((base + ".dat").c_str()), 0);
  ASSERT_EQ(unlink((base + ".key").c_str()), 0);
  const uint32_t n = 1000000;
  write_customers(base, n);

  std::string said;
  ASSERT_EQ(run_kivo("-i=" + base, &said), 0) << said;
  const std::vector<uint8_t> imported = test::read_file(base + ".key");
  ASSERT_FALSE(imported.empty()) << "the import built no key file";
  EXPECT_EQ(walk_in_key_order(base, n), "");
  EXPECT_EQ(run_kivo("-v=" + base, &said), 1) << said;

  // The keys never built: kivo -r builds them and says so.
  ASSERT_EQ(unlink((base + ".key").c_str()), 0);
  EXPECT_EQ(run_kivo("-r=" + base, &said), 1);
  EXPECT_EQ(said, "repaired " + base + ": 1 keys built, " + std::to_string(n) + " records indexed\n");
  EXPECT_TRUE(test::read_file(base + ".key") == imported);
  EXPECT_EQ(run_kivo("-r=" + base, &said), 1);
  EXPECT_EQ(said, base + ": sound, nothing repaired\n");

  // The open's declaration of the key on a key file made empty.
  ASSERT_EQ(unlink((base + ".key").c_str()), 0);
  {
    int st;
    BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, 0, false);
    ASSERT_NE(f, nullptr) << st;
    BRF_RCB* r = brfaccess(&st, f, 0, false);
    KEY_DESC d = test::key_desc({{kSegChars, kKeyLen, 0}});
    EXPECT_EQ(brfsetkey(r, &d, true, false, nullptr), BRF_OK);
    brfdeaccess(r);
    brfclose(f);
  }
  EXPECT_TRUE(test::read_file(base + ".key") == imported);
  EXPECT_EQ(walk_in_key_order(base, n), "");
  EXPECT_EQ(run_kivo("-v=" + base, &said), 1) << said;
}

}  // namespace
}  // namespace kivo
