// The modification log of an input process against golden bytes: the lines
// of an add, of changes to one occurrence and to a plain field, of a
// delete, a key text cut at 40 characters, and nothing for a rewrite that
// changes no byte.
#include <fstream>
#include <sstream>

#include "foundation/os.h"
#include "pcf_test_util.h"

namespace kivo::test {
namespace {

class ModLog : public PcfFixture {
 protected:
  void SetUp() override {
    PcfFixture::SetUp();
    ASSERT_EQ(os_set_fake_time("2026120710300000"), 1);
    make_pcf("PLAIN");
    FDB f;
    INIT_FDB(&f, FS_MEMORY, kMlogRecLen, 0, nullptr, 0);
    INIT_DB_PATH(&f.path, "   ", "0LA", "00", "STDMLOG ", PATH_DATA);
    ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 10, kAnyFile | LFB_OPEN_NEW, 15, 15), 1) << f.fdb_stat;
    mlog_ = f.fdb_arb;
    open_.push_back(mlog_);
  }
  void TearDown() override {
    os_clear_fake_time();
    PcfFixture::TearDown();
  }
  // Every line written since the last call, one text line each: kind,
  // application, name, occurrence, old value, new value.
  std::string lines() { return mlog_lines(mlog_, &seen_); }
  void logged(PCB* p) {
    p->pcb_mlog_pcb = p;
    p->pcb_mlog_arb = mlog_;
  }
  static std::string golden() {
    std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/tests/process/golden/pcf_mlog.txt");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  ARB* mlog_ = nullptr;
  uint32_t seen_ = 0;
};

TEST_F(ModLog, AddChangesAndDeleteAgainstGoldenLines) {
  std::string got;
  run_in("PLAIN", [&](PCB* p) {
    logged(p);
    std::vector<uint8_t> r = cust("EAST", "ADAMS", "JOHN", -1234);
    st_le16(r.data(), C_QTY + 2, 7);
    memcpy(r.data() + C_CITY, "BERGEN", 6);
    memcpy(rec(p), r.data(), r.size());
    ASSERT_EQ(pi_write(p), 1);
    got += "-- add\n" + lines();
    ASSERT_EQ(pi_read(p, ARB_EQUAL | ARB_HOLD), 1);
    st_le16(rec(p), C_QTY + 2, 9);
    ASSERT_EQ(pi_rewrite(p), 1);
    got += "-- occurrence 2 of QTY\n" + lines();
    ASSERT_EQ(pi_read(p, ARB_EQUAL | ARB_HOLD), 1);
    memcpy(rec(p) + C_CITY, "OSLO  ", 6);
    ASSERT_EQ(pi_rewrite(p), 1);
    got += "-- CITY\n" + lines();
    ASSERT_EQ(pi_read(p, ARB_EQUAL | ARB_HOLD), 1);
    ASSERT_EQ(pi_rewrite(p), 1);
    got += "-- no change\n" + lines();
    ASSERT_EQ(pi_read(p, ARB_EQUAL | ARB_HOLD), 1);
    ASSERT_EQ(pi_del(p), 1);
    got += "-- delete\n" + lines();
  });
  for (const std::string& e : captured_errors()) ADD_FAILURE() << e;
  if (getenv("KIVO_WRITE_GOLDEN"))
    std::ofstream(std::string(KIVO_SOURCE_DIR) + "/tests/process/golden/pcf_mlog.txt") << got;
  EXPECT_EQ(got, golden());
}

TEST_F(ModLog, KeyTextOfThreeSegmentsCutAtForty) {
  std::string key;
  run_in("PLAIN", [&](PCB* p) {
    logged(p);
    memcpy(rec(p), cust("EAST", "ABERCROMBIE-FITZGERA", "JONATHAN").data(), kCustLen);
    ASSERT_EQ(pi_write(p), 1);
    key = lines().substr(0, 120);
  });
  // Trailing blanks go before each segment is added; the last one is cut.
  EXPECT_EQ(key.substr(key.find('|', 40) + 1, 40), "EASTABERCROMBIE-FITZGERAJONATHAN        ");
}

}  // namespace
}  // namespace kivo::test
