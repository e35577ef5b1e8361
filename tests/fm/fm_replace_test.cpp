// Replacing a native file by another: failed at each system call, killed at
// each, or moved across devices, the old name holds a whole data file, old
// or new, that opens and finds every record by its key.
#include <filesystem>

#include "../fixtures/hook_override.h"
#include "../store/fault_util.h"
#include "fm/whole_file.h"
#include "fm_native_util.h"

namespace kivo::test {
namespace {

namespace fs = std::filesystem;
const std::vector<int> kOld = {0, 1, 2, 3, 4}, kNew = {10, 11, 12, 13, 14, 15, 16, 17};

class FmReplace : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    make("OLDF", kOld);
    make("NEWF", kNew);
    fs::copy(path(""), data_ + "/keep");
  }
  // The ids in key order, each found again by an equal read (none when the
  // file does not open; a missing key file is rebuilt first).
  std::vector<int> ids(const char* name) {
    test_file t(name);
    ARB* a = open(t);
    if (!a) return {};
    std::vector<int> out = NativeFm::ids(a);
    for (int i : out) EXPECT_EQ(get(a, i), 1) << name << " " << i;
    FM_CLOSE(a, 0);
    return out;
  }
  static int replace() {
    test_file o("OLDF"), n("NEWF");
    o.fdb.fdb_opt = n.fdb.fdb_opt = kAnyFile;
    return fm_replace(&o.fdb, &n.fdb, 0);
  }
};

TEST_F(FmReplace, OldNameAlwaysHoldsAWholeFileWhateverCallFailsOrKills) {
  for (fault_kind kind : {fault_kind::eio, fault_kind::kill}) {
    for (long k = 1;; ++k) {
      fs::remove_all(path(""));
      fs::copy(data_ + "/keep", path(""));
      pid_t pid = fork_engine([k, kind] {
        fault_arm(kind, k);
        int ok = replace();
        return fault_disarm() ? 1 : ok ? 0 : 2;
      });
      int st = 0;
      ASSERT_EQ(waitpid(pid, &st, 0), pid);
      std::vector<int> got = ids("OLDF");
      EXPECT_TRUE(got == kOld || got == kNew) << fault_name(kind) << " at call " << k;
      if (WIFEXITED(st) && WEXITSTATUS(st) == 0) {  // no call left to fail
        EXPECT_EQ(got, kNew);
        EXPECT_FALSE(fs::exists(path("NEWF.dat")));
        EXPECT_GT(k, 3);
        break;
      }
      ASSERT_LT(k, 100) << fault_name(kind);
    }
  }
}

TEST_F(FmReplace, AcrossDevicesTheNewDataEndsUnderTheOldNameOnly) {
  static int renames;
  renames = 0;
  int ok;
  {
    kivo_test::scoped_hook cross_device(
        os_sys.rename, [](const char* a, const char* b) { return renames++ ? ::rename(a, b) : (errno = EXDEV, -1); });
    ok = replace();
  }
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(ids("OLDF"), kNew);
  for (auto& e : fs::directory_iterator(path(""))) EXPECT_EQ(e.path().stem(), "OLDF") << e.path();
}

}  // namespace
}  // namespace kivo::test
