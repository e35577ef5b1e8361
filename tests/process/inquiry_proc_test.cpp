// INQUIRY processes run through the executive with their pages taken by a
// recording show: a page at a time, the keys that go on or end the run,
// and pages equal to those of the same report printed.
#include "op_test_util.h"
#include "process/op_inquiry.h"

namespace kivo::test {
namespace {

class InquiryProc : public OpFixture {
 protected:
  void SetUp() override {
    OpFixture::SetUp();
    saved_show_ = inq_hooks;
    levels = 0;
    self_ = this;
    inq_hooks.show_page = [](PCB*, const char* page, uint16_t rows, uint16_t cols) {
      std::vector<std::string> lines;
      for (uint16_t r = 0; r < rows; ++r) {
        std::string l(page + size_t(r) * cols, cols);
        lines.push_back(l.erase(l.find_last_not_of(' ') + 1));
      }
      while (!lines.empty() && lines.back().empty()) lines.pop_back();
      self_->shown.push_back(lines);
      if (self_->answers.empty()) return 1u;
      const uint32_t a = self_->answers.front();
      self_->answers.pop_front();
      return a;
    };
  }
  void TearDown() override {
    inq_hooks = saved_show_;
    OpFixture::TearDown();
  }
  static inline InquiryProc* self_;
  inq_hook_table saved_show_;
  std::deque<uint32_t> answers;  // 1 go on, 2 END, 4 CANCEL; empty: go on
  std::vector<std::vector<std::string>> shown;
};

// The page of an INQUIRY is 21 rows here (no terminal): the heading and 20
// customers.
TEST_F(InquiryProc, PagesWaitForAKeyAndEndOrCancelTheRun) {
  struct row {
    const char* what;
    std::deque<uint32_t> answers;
    size_t pages;
    uint32_t end;
  } rows[] = {
      {"going on to the last page", {1, 1, 1}, 3, PI_END_PROCESS},
      {"END on the first page", {2}, 1, PI_END_PROCESS},
      {"CANCEL on the second page", {1, 4}, 2, PI_END_CANCEL},
      {"END on the last page", {1, 1, 2}, 3, PI_END_PROCESS},
      {"CANCEL on the last page", {1, 1, 4}, 3, PI_END_CANCEL},
  };
  for (const row& r : rows) {
    answers = r.answers, shown.clear();
    EXPECT_EQ(run_proc("LIST", PT_INQUIRY), r.end) << r.what;
    ASSERT_EQ(shown.size(), r.pages) << r.what;
    EXPECT_EQ(shown[0].size(), 21u) << r.what;
    EXPECT_EQ(shown[0][0], "ID    NAME          BALANCE") << r.what;
    EXPECT_EQ(shown[0][1].substr(0, 14), "1     CUSTOMER") << r.what;
    EXPECT_TRUE(prints().empty()) << r.what << ": an inquiry prints nothing";
    for (auto& e : captured_errors()) ADD_FAILURE() << r.what << ": " << e;
  }
}

TEST_F(InquiryProc, PagesShownEqualThePagesPrinted) {
  ASSERT_EQ(run_proc("LIST", PT_INQUIRY), PI_END_PROCESS);
  page_len = 21;
  ASSERT_EQ(run_proc("LIST", PT_OUTPUT), PI_END_PROCESS);
  std::vector<std::vector<std::string>> printed;
  std::string text = print_text();
  size_t at = 0;
  for (size_t ff; at <= text.size(); at = ff + 1) {
    ff = text.find('\f', at);
    if (ff == std::string::npos) ff = text.size();
    std::vector<std::string> lines;
    std::string page = text.substr(at, ff - at), line;
    for (size_t i = page.find('\n'); i != std::string::npos && i < page.size();) {
      const size_t j = page.find('\n', i + 1);
      line = page.substr(i + 1, (j == std::string::npos ? page.size() : j) - i - 1);
      lines.push_back(line.erase(line.find_last_not_of(' ') + 1));
      i = j;
    }
    printed.push_back(lines);
  }
  EXPECT_EQ(shown, printed);
  for (auto& e : captured_errors()) ADD_FAILURE() << e;
}

}  // namespace
}  // namespace kivo::test
