// The INPUT process driven by keystroke scripts: each run's snapshots (the
// screen after every key) equal a golden snapshot file. The records run
// adds, reads back, browses, changes and deletes customers, meets a missing
// key, the end of the file, a protected record and a refused balance, and
// browses by a dynamic key; the orders run adds orders through a
// constrained SUBPROCESS INPUT and carries a changed and a deleted customer
// into them through the automatic runs.
#include "input_test_util.h"

namespace kivo::test {
namespace {

class InputProcess : public InputRun {
 protected:
  // Runs `script` from the menu and compares its snapshots with the golden
  // file `name` (KIVO_UPDATE_GOLDEN writes it).
  void scripted(const std::string& name, const std::string& script) {
    std::ofstream(d_.file(name + ".script")) << script;
    ASSERT_EQ(system(("mkdir -p " + d_.file(name)).c_str()), 0);
    kivo_test::env_list e = env(name);
    e.push_back({"KIVO_SCRIPT_IN", d_.file(name + ".script")});
    auto p = engine(e);
    EXPECT_EQ(p->exit_status(), 0) << p->capture();
    const std::string got = kivo_test::slurp(d_.file(name + "/actual/snapshot"));
    const std::string golden = std::string(KIVO_SOURCE_DIR) + "/tests/process/golden/" + name + ".snapshot";
    if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(golden) << got;
    EXPECT_EQ(got, kivo_test::slurp(golden));
  }
};

constexpr const char* kRecords =
    "#ENTER\n"
    "#ADD MODE\nC1\n#TAB\nADAMS\n#TAB\n10\n#ENTER\n"
    "C2\n#TAB\nBAKER\n#TAB\n30\n#ENTER\n"
    "C3\n#TAB\nCARTER\n#TAB\n20\n#ENTER\n"
    // refused by the Pre-PCF Update: nothing written
    "C4\n#TAB\nDAVIS\n#TAB\n-5\n#ENTER\n"
    "#INQUIRE MODE\nC2\n#ENTER\n"
    "#NEXT RECORD\n#NEXT RECORD\n#NEXT RECORD\n#NEXT RECORD\n"
    "#INQUIRE MODE\nC4\n#ENTER\n"
    "#INQUIRE MODE\nC1\n#ENTER\n#CHANGE MODE\n#TAB\nADAMZ\n#ENTER\n"
    "#DELETE MODE\n#ACK DEL\n#INQUIRE MODE\nC1\n#ENTER\n"
    "#ADD MODE\nC5\n#TAB\nEVANS\n#TAB\n1\n#TAB\n1\n#ENTER\n"
    "#INQUIRE MODE\nC5\n#ENTER\n#DELETE MODE\n#ACK DEL\n"
    // BALANCE twice (descending), then NAME: the browse follows the balance
    "#TAB\n#TAB\n#SELECT KEY\n#SELECT KEY\n#BACK TAB\n#SELECT KEY\n"
    "#NEXT RECORD\n#NEXT RECORD\n#NEXT RECORD\n#NEXT RECORD\n"
    "#END\n#END\n";

TEST_F(InputProcess, RecordsScriptGivesTheGoldenSnapshots) { scripted("input_records", kRecords); }

constexpr const char* kOrders =
    "#ENTER\n"
    "#ADD MODE\nC1\n#TAB\nADAMS\n#TAB\n10\n#ENTER\nC2\n#TAB\nBAKER\n#TAB\n20\n#ENTER\n"
    // orders of C1 and C2 through the constrained ORDER ENTRY
    "#INQUIRE MODE\nC1\n#ENTER\n#OPTION 1\n#ADD MODE\n0001\nFIRST\n#ENTER\n0002\nSECOND\n#ENTER\n#END\n"
    "#INQUIRE MODE\nC2\n#ENTER\n#OPTION 1\n#ADD MODE\n0001\nOTHER\n#ENTER\n#END\n"
    // C1 becomes C9: its orders follow
    "#INQUIRE MODE\nC1\n#ENTER\n#CHANGE MODE\nC9\n#ENTER\n"
    "#OPTION 1\n#NEXT RECORD\n#NEXT RECORD\n#NEXT RECORD\n#NEXT RECORD\n#END\n"
    // C9 deleted: its orders go with it
    "#DELETE MODE\n#ACK DEL\n"
    "#INQUIRE MODE\nC2\n#ENTER\n#OPTION 1\n#NEXT RECORD\n#NEXT RECORD\n#END\n"
    "#END\n#END\n";

TEST_F(InputProcess, OrdersFollowTheirCustomer) { scripted("input_orders", kOrders); }

}  // namespace
}  // namespace kivo::test
