// The statement editor's text and check over a dictionary written from
// design sources: "0LA" of the default installation, the edited application
// TST 01 (se_dict.dsgn) and another application OTH.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "../compiler/stmt_line_util.h"
#include "../design/design_test_util.h"
#include "editors/se_edit.h"
#include "foundation/bytes.h"

namespace kivo::test {

class SeText : public DesignFiles {
 protected:
  void SetUp() override {
    DesignFiles::SetUp();
    // The pools and files of an earlier test are gone with its start.
    se_pool = nullptr;
    cur_delem_arb = lang_delem_arb = cur_dtoken_arb = lang_dtoken_arb = nullptr;
    memcpy(se_ap, "TST", 3), memcpy(se_ver, "01", 2);
  }
  void TearDown() override {
    se_close_dict();
    DesignFiles::TearDown();
  }

 public:
  void dictionary() {
    copy_dictionary();
    build(read_text("tests/editors/se_dict.dsgn"), "TST");
    build("APPLICATION OTH 01\nFILE OFILE number=2\n  AMOUNT P7.2S\n  NOTE A4\nEND\n", "OTH");
    ASSERT_EQ(se_open_dict("TST", "01"), 0);
  }
  // A generated record's bytes 78-151 before the line is read.
  static void fresh(uint8_t* rec) {
    memset(rec, 0, kStmtSize);
    memset(rec + STMT_PREFIX, ' ', 6);
    memset(rec + STMT_OPND, ' ', kStmtOpndLen);
  }
  // Reads `l` into `rec`: 1 stored, 0 refused; the columns in col, second.
  int read(const std::string& l, uint8_t* rec, int* col = nullptr, int* second = nullptr) {
    ed.line.assign(l.begin(), l.end());
    ed.line.resize(ed.line_width, ' ');
    int c = 0, s = 0;
    const int ok = se_degen_stmt(&ed, rec, &c, &s);
    if (col) *col = c;
    if (second) *second = s;
    return ok;
  }
  // The line of `rec`, trailing blanks dropped.
  std::string shown(uint8_t* rec) {
    se_gen_stmt(&ed, rec, 0, 0);
    std::string s(ed.line.data(), ed.line_width);
    return s.erase(s.find_last_not_of(' ') + 1);
  }
  se_ed_blk ed;
};

}  // namespace kivo::test
