// Failed system calls under a write, a rewrite and a delete through the file
// manager on a native file: call N = 1, 2, ... fails with ENOSPC, EIO and a
// torn write in turn. The call returns its status (a full disk as 200380),
// never ends the session; the file stays readable with its records all as
// before or all as after, the same operation retried succeeds, and the pair
// verifies good once closed.
#include <map>

#include "../store/fault_util.h"
#include "fm_native_util.h"
#include "store/analyser.h"

namespace kivo::test {
namespace {

enum class op { write, rewrite, del };
const char* const kOpNames[] = {"write", "rewrite", "delete"};

constexpr int kRecords = 60;  // enough for the key file to split pages on a put
constexpr int kTarget = 17;   // the record rewritten or deleted
constexpr int kNew = 500;     // the record written

using records = std::map<std::string, uint32_t>;  // id, counter

class NativeWriteFault : public NativeFm {
 protected:
  records before() const {
    records r;
    for (int i = 0; i < kRecords; ++i) r[rec_id(i)] = uint32_t(i);
    return r;
  }
  records after(op o) const {
    records r = before();
    if (o == op::write) r[rec_id(kNew)] = 7;
    if (o == op::rewrite) r[rec_id(kTarget)] = 9999;
    if (o == op::del) r.erase(rec_id(kTarget));
    return r;
  }
  // A fresh pair of kRecords records, left closed.
  void make(test_file& t) {
    const std::string base = path("FAULTS");
    unlink((base + ".dat").c_str()), unlink((base + ".key").c_str());
    ARB* a = create(t);
    ASSERT_NE(a, nullptr) << t.fdb.fdb_stat;
    for (int i = 0; i < kRecords; ++i) ASSERT_EQ(put(a, i, uint32_t(i), "some text"), 1) << a->arb_stat;
    ASSERT_EQ(FM_CLOSE(a, 0), 1);
  }
  // Holds the target when the operation needs it.
  bool position(ARB* a, op o) { return o == op::write || get(a, kTarget, ARB_HOLD) == 1; }
  int start(ARB* a, op o) {
    switch (o) {
      case op::write: return put(a, kNew, 7, "new");
      case op::rewrite:
        st_le32(buf_, 8, 9999);
        a->arb_var_len = kTestRecLen, a->arb_mod = 0;
        return fm_rewrite(a);
      case op::del: a->arb_mod = 0; return fm_del(a);
    }
    return -1;
  }
  // Every record of the file by a scan of the primary key.
  records scan(ARB* a) {
    records r;
    a->arb_rec = buf_, a->arb_len = kTestRecLen, a->arb_keyno = 0, a->arb_mod = ARB_FIRST;
    if (!fm_start(a)) return r;
    a->arb_mod = 0;
    while (fm_rdnxt(a)) r[std::string(reinterpret_cast<char*>(buf_), 8)] = counter();
    return r;
  }
  // Every call of the operation failing in turn; the number of calls it made.
  long sweep(op o, fault_kind kind) {
    for (long n = 1;; ++n) {
      const std::string where = std::string(kOpNames[int(o)]) + ", call " + std::to_string(n) + ", " + fault_name(kind);
      test_file t("FAULTS");
      make(t);
      ARB* a = open(t);
      if (!a || !position(a, o)) {
        ADD_FAILURE() << where << ": the file does not open or hold";
        return n;
      }
      fault_arm(kind, n);
      const int ok = start(a, o);
      const bool fired = fault_disarm();
      const std::string call = g_fault.failed;
      if (!fired) {
        EXPECT_EQ(ok, 1) << where << ": status " << a->arb_stat;
        FM_CLOSE(a, 0);
        captured_errors().clear();
        return n - 1;
      }
      if (!ok) {
        EXPECT_NE(a->arb_stat, 0u) << where << " (" << call << ")";
        if (kind == fault_kind::enospc && call.find("write") != std::string::npos) {
          EXPECT_EQ(a->arb_stat, FM_NO_SPACE) << where << " (" << call << ")";
        }
      }
      const records got = scan(a);
      EXPECT_TRUE(got == before() || got == after(o)) << where << " (" << call << "): " << got.size() << " records";
      if (!ok) {
        EXPECT_TRUE(position(a, o) && start(a, o) == 1) << where << ": the retry, " << a->arb_stat;
      }
      EXPECT_EQ(scan(a), after(o)) << where;
      EXPECT_EQ(FM_CLOSE(a, 0), 1) << where;
      EXPECT_EQ(brfanal(path("FAULTS").c_str(), 0, 0, nullptr), 1) << where;
      captured_errors().clear();
      if (HasFailure()) return n;
    }
  }
};

TEST_F(NativeWriteFault, FailedCallReturnsStatusAndLeavesTheFileWhole) {
  for (op o : {op::write, op::rewrite, op::del})
    for (fault_kind k : {fault_kind::enospc, fault_kind::eio, fault_kind::short_write})
      EXPECT_GT(sweep(o, k), 0) << kOpNames[int(o)] << " " << fault_name(k) << ": no call met";
}

// A full disk is reported once as a system error naming the file, and the
// session writes on once there is room again.
TEST_F(NativeWriteFault, FullDiskIsReportedAndTheSessionGoesOn) {
  test_file t("FAULTS");
  make(t);
  ARB* a = open(t);
  ASSERT_NE(a, nullptr);
  fault_arm(fault_kind::short_write, 1);
  EXPECT_EQ(put(a, kNew, 7), 0);
  ASSERT_TRUE(fault_disarm());
  EXPECT_EQ(a->arb_stat, FM_NO_SPACE);
  ASSERT_EQ(captured_errors().size(), 1u);
  EXPECT_NE(captured_errors()[0].find("OUT OF SPACE while writing " + path("FAULTS")), std::string::npos)
      << captured_errors()[0];
  captured_errors().clear();
  EXPECT_EQ(put(a, kNew, 7), 1) << a->arb_stat;
  EXPECT_EQ(scan(a), after(op::write));
  EXPECT_EQ(FM_CLOSE(a, 0), 1);
  EXPECT_EQ(brfanal(path("FAULTS").c_str(), 0, 0, nullptr), 1);
}

// A work file opened alone holds its appended records back for one write
// at its close: when that write fails, the close says so (status 0 and a
// system error), never reporting a good close over records that are gone.
TEST_F(NativeWriteFault, CloseThatCannotWriteHeldBackRecordsFails) {
  const struct {
    fault_kind kind;
    const char* report;
  } rows[] = {{fault_kind::enospc, "OUT OF SPACE while writing"}, {fault_kind::eio, "not written at its close"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(fault_name(r.kind));
    FDB fdb;
    INIT_FDB(&fdb, FS_DISK, kTestRecLen, 0, nullptr, 0);
    fdb.fdb_org = ORG_RELATIVE;
    INIT_DB_PATH(&fdb.path, "DB1", "TST", "00", "HELDBACK", PATH_DATA);
    fdb.path.fdb_tmp_id = com.sys_scope;
    ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 0, kAnyFile | LFB_SCOPED | LFB_OPEN_NEW, 0x0f, 1), 1) << fdb.fdb_stat;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(put(fdb.fdb_arb, i, uint32_t(i)), 1) << fdb.fdb_arb->arb_stat;
    captured_errors().clear();
    fault_arm(r.kind, 1);
    EXPECT_EQ(FM_CLOSE(fdb.fdb_arb, 0), 0);
    EXPECT_TRUE(fault_disarm());
    EXPECT_TRUE(reported(r.report)) << (captured_errors().empty() ? "" : captured_errors()[0]);
    captured_errors().clear();
    unlink((path("HELDBACK") + ".dat").c_str());
  }
}

// The engine's codes for a full disk and a full descriptor table are a
// status and a system error naming the file, like any other failure.
TEST_F(NativeWriteFault, FullDiskAndFullDescriptorTableAreStatuses) {
  const struct {
    int code;
    uint32_t status;
    const char* text;
  } rows[] = {{BRF_NO_SPACE, FM_NO_SPACE, "Disk full - OUT OF SPACE while writing /d/F"},
              {BRF_TOO_MANY_FILES, FM_IO_ERR, "TOO MANY OPEN FILES at /d/F"}};
  for (const auto& r : rows) {
    captured_errors().clear();
    EXPECT_EQ(convert_btree_error(r.code, "/d/F"), r.status) << r.code;
    ASSERT_EQ(captured_errors().size(), 1u) << r.code;
    EXPECT_EQ(captured_errors()[0], r.text);
  }
  captured_errors().clear();
}

}  // namespace
}  // namespace kivo::test
