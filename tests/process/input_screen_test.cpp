// The INPUT process typed under tmux: each mode in the status line's mode
// field, the record the image shows after each step and the messages on
// row 23, for the add, inquire, browse, change and delete of customers, the
// refusals (a negative balance, a protected record, a missing key, the end
// of the file) and the automatic runs that carry a customer into its orders.
#include "input_test_util.h"

namespace kivo::test {
namespace {

using InputScreen = InputRun;

TEST_F(InputScreen, AddReadBrowseChangeAndDelete) {
  auto p = start();
  EXPECT_EQ(mode(*p), "INQUIRE");
  EXPECT_EQ(p->cursor(), "3 12");  // on the first input item
  p->send_keys("F10");
  ASSERT_TRUE(kivo_test::wait_until([&] { return mode(*p) == "ADD"; }, kivo_test::kScreenWait)) << p->capture();
  add(*p, "C1", "ADAMS", "10");
  ASSERT_TRUE(after(*p, "RECORD ADDED", "|||")) << p->capture();
  EXPECT_EQ(p->cursor(), "3 12");
  add(*p, "C2", "BAKER", "20.5");
  ASSERT_TRUE(after(*p, "RECORD ADDED", "|||")) << p->capture();
  // The Pre-PCF Update's SUBROUTINE refuses a negative balance: the
  // event's message, the record as typed, still in add mode.
  add(*p, "C3", "CARTER", "-5");
  ASSERT_TRUE(after(*p, "NEGATIVE BALANCE", "C3|CARTER|-5.00|")) << p->capture();
  EXPECT_EQ(mode(*p), "ADD");

  inquire(*p, "C2");
  ASSERT_TRUE(after(*p, "RECORD READ", "C2|BAKER|20.50|")) << p->capture();
  EXPECT_EQ(mode(*p), "INQUIRE");
  inquire(*p, "C3");  // never written
  ASSERT_TRUE(after(*p, "ERROR - Record not found", "C3|||")) << p->capture();
  // The browse goes on from the key on the screen, to the end and round.
  p->send_keys("F9");
  ASSERT_TRUE(after(*p, "ERROR - End of file", "C3|||")) << p->capture();
  p->send_keys("F9");
  ASSERT_TRUE(after(*p, "RECORD READ", "C1|ADAMS|10.00|")) << p->capture();
  p->send_keys("F9");
  ASSERT_TRUE(after(*p, "RECORD READ", "C2|BAKER|20.50|")) << p->capture();

  inquire(*p, "C1");
  ASSERT_TRUE(after(*p, "RECORD READ", "C1|ADAMS|10.00|")) << p->capture();
  p->send_keys("S-F2");
  ASSERT_TRUE(after(*p, "CHANGE MODE", "C1|ADAMS|10.00|")) << p->capture();
  EXPECT_EQ(mode(*p), "CHANGE");
  p->send_keys("Tab");
  p->send_text("ADAMZ");
  p->send_keys("Enter");
  ASSERT_TRUE(after(*p, "RECORD CHANGED", "C1|ADAMZ|10.00|")) << p->capture();
  EXPECT_EQ(mode(*p), "INQUIRE");

  // DELETE MODE waits for ACK DEL: another key gives the delete up.
  p->send_keys("F11");
  ASSERT_TRUE(after(*p, "DELETE MODE", "C1|ADAMZ|10.00|")) << p->capture();
  EXPECT_EQ(mode(*p), "DELETE");
  p->send_keys("F9");
  ASSERT_TRUE(kivo_test::wait_until([&] { return mode(*p) == "INQUIRE"; }, kivo_test::kScreenWait)) << p->capture();
  p->send_keys("F11");
  ASSERT_TRUE(after(*p, "DELETE MODE", "C1|ADAMZ|10.00|")) << p->capture();
  p->send_keys("F2 F11");
  ASSERT_TRUE(after(*p, "RECORD DELETED", "|||")) << p->capture();
  EXPECT_EQ(mode(*p), "INQUIRE");
  inquire(*p, "C1");
  ASSERT_TRUE(after(*p, "ERROR - Record not found", "C1|||")) << p->capture();

  // A record flagged for protection stays.
  p->send_keys("F10");
  p->send_text("C5");
  p->send_keys("Tab");
  p->send_text("EVANS");
  p->send_keys("Tab");
  p->send_text("1");
  p->send_keys("Tab");
  p->send_text("1");
  p->send_keys("Enter");
  ASSERT_TRUE(after(*p, "RECORD ADDED", "|||")) << p->capture();
  inquire(*p, "C5");
  ASSERT_TRUE(after(*p, "RECORD READ", "C5|EVANS|1.00|1")) << p->capture();
  p->send_keys("F11");
  ASSERT_TRUE(after(*p, "DELETE MODE", "C5|EVANS|1.00|1")) << p->capture();
  p->send_keys("F2 F11");
  ASSERT_TRUE(after(*p, "ERROR - Record protected from deletion (300550)", "C5|EVANS|1.00|1")) << p->capture();
  EXPECT_EQ(mode(*p), "INQUIRE");
  inquire(*p, "C5");
  ASSERT_TRUE(after(*p, "RECORD READ", "C5|EVANS|1.00|1")) << p->capture();

  p->send_keys("S-F1");
  ASSERT_TRUE(p->wait_for("DEMO MENU")) << p->capture();
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
}

}  // namespace
}  // namespace kivo::test
