// Closing native files against the whole-file operations: after any mix of
// opens and closes, a scratch, or a replace with the file on either side
// (replaced, or renamed onto the other), is refused with 200470 exactly while a handle on the file is still open,
// and a refusal loses nothing of the file or of that handle.
#include <filesystem>

#include "fm/fm_open.h"
#include "fm/whole_file.h"
#include "fm_native_util.h"
#include "foundation/end_codes.h"
#include "foundation/scope.h"

namespace kivo::test {
namespace {

namespace fs = std::filesystem;
const std::vector<int> kFile = {0, 1, 2}, kOther = {7, 8};

// A step on one of two handles of FILE: 'j' open joined (a process's open,
// whose logical file outlives its close until the level ends), 'o' open
// plainly, 'c' close, 'n' close now, 's' close the stream only (the logical
// file stays open); `h` names the handle.
struct step {
  char what;
  int h;
};

enum class op { scratch, replace_old, replace_new };
const char* op_name(op o) { return o == op::scratch ? "scratch" : o == op::replace_old ? "replaced" : "replacing"; }

class FmClose : public NativeFm {
 protected:
  // The ids of `name` in key order, read by a handle of its own.
  std::vector<int> ids(const char* name) {
    test_file t(name);
    ARB* a = open(t);
    if (!a) return {};
    std::vector<int> out = ids(a);
    FM_CLOSE(a, 0);
    return out;
  }
  using NativeFm::ids;
  // The operation on FILE; its status in *st.
  static int run(op o, uint32_t* st) {
    test_file f("FILE"), other("OTHER");
    f.fdb.fdb_opt = other.fdb.fdb_opt = kAnyFile;
    FDB* fail_fdb = &f.fdb;
    int ok;
    if (o == op::scratch) {
      ok = FM_SCRATCH(&f.fdb, kAnyFile);
    } else if (o == op::replace_old) {
      ok = fm_replace(&f.fdb, &other.fdb, 0);
    } else {
      ok = fm_replace(&other.fdb, &f.fdb, 0);
      fail_fdb = &other.fdb;
    }
    *st = ok ? 0 : fail_fdb->fdb_stat;
    return ok;
  }
};

TEST_F(FmClose, AWholeFileOperationIsRefusedOnlyWhileAHandleIsOpen) {
  const struct {
    const char* name;
    std::vector<step> steps;
    bool open;  // a handle is still open when the operation runs
  } rows[] = {
      {"plain open, closed", {{'o', 0}, {'c', 0}}, false},
      {"plain open, closed now", {{'o', 0}, {'n', 0}}, false},
      {"joined open, closed", {{'j', 0}, {'c', 0}}, false},
      {"joined open, closed now", {{'j', 0}, {'n', 0}}, false},
      {"joined closed, then a plain open closed", {{'j', 0}, {'c', 0}, {'o', 1}, {'c', 1}}, false},
      {"joined and plain open, the joined closed first", {{'j', 0}, {'o', 1}, {'c', 0}, {'c', 1}}, false},
      {"joined and plain open, the plain closed first", {{'j', 0}, {'o', 1}, {'c', 1}, {'c', 0}}, false},
      {"two joined opens, both closed", {{'j', 0}, {'j', 1}, {'c', 1}, {'c', 0}}, false},
      {"joined closed, opened again and closed", {{'j', 0}, {'c', 0}, {'j', 0}, {'c', 0}}, false},
      {"stream closed, then the file", {{'o', 0}, {'s', 0}, {'c', 0}}, false},
      {"plain open kept", {{'o', 0}}, true},
      {"joined open kept", {{'j', 0}}, true},
      {"stream only closed", {{'o', 0}, {'s', 0}}, true},
      {"joined closed, a plain open kept", {{'j', 0}, {'c', 0}, {'o', 1}}, true},
      {"plain closed, a joined open kept", {{'o', 0}, {'c', 0}, {'j', 1}}, true},
      {"joined and plain open, the joined closed", {{'j', 0}, {'o', 1}, {'c', 0}}, true},
      {"joined and plain open, the plain closed", {{'j', 0}, {'o', 1}, {'c', 1}}, true},
      {"two joined opens, one closed", {{'j', 0}, {'j', 1}, {'c', 0}}, true},
  };
  for (const auto& r : rows) {
    for (op o : {op::scratch, op::replace_old, op::replace_new}) {
      SCOPED_TRACE(std::string(r.name) + ": " + op_name(o));
      fs::remove_all(path(""));
      make("FILE", kFile);
      make("OTHER", kOther);
      // A level of its own, as a process has: the joined logical files go
      // when it ends.
      MARK(MARK_PROCESS, [&] {
        test_file t[2] = {test_file("FILE"), test_file("FILE")};
        ARB* h[2] = {};
        for (const step& s : r.steps) {
          if (s.what == 'j' || s.what == 'o') {
            const uint32_t opt = kAnyFile | (s.what == 'j' ? uint32_t{LFB_JOIN} : 0u);
            ASSERT_EQ(FM_OPEN(&t[s.h].fdb, com.mark_scope, opt, 0x0f, 0x0f), 1) << t[s.h].fdb.fdb_stat;
            h[s.h] = t[s.h].fdb.fdb_arb;
            ASSERT_EQ(ids(h[s.h]), kFile);
          } else {
            const uint16_t mod = s.what == 'n' ? ARB_CLOSE_NOW : s.what == 's' ? ARB_STRM_ONLY : 0;
            ASSERT_EQ(FM_CLOSE(h[s.h], mod), 1);
            if (s.what != 's') h[s.h] = nullptr;
          }
        }
        uint32_t st = 0;
        const int ok = run(o, &st);
        EXPECT_EQ(ok, !r.open) << st;
        if (r.open) {
          EXPECT_EQ(st, uint32_t{FM_FILE_OPEN});
          // Refused: the file as it was, and the open handle reads it still.
          for (ARB* a : h)
            if (a) {
              EXPECT_EQ(ids(a), kFile);
            }
          EXPECT_EQ(ids("FILE"), kFile);
          EXPECT_EQ(ids("OTHER"), kOther);
        } else if (o == op::scratch) {
          EXPECT_FALSE(fs::exists(path("FILE.dat")));
        } else {
          EXPECT_EQ(ids(o == op::replace_old ? "FILE" : "OTHER"), o == op::replace_old ? kOther : kFile);
          EXPECT_FALSE(fs::exists(path(o == op::replace_old ? "OTHER.dat" : "FILE.dat")));
        }
        for (ARB* a : h)
          if (a) FM_CLOSE(a, ARB_CLOSE_NOW);
      });
    }
  }
}

}  // namespace
}  // namespace kivo::test
