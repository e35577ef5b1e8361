// Shared fixture of the report tests: the file manager and the report file
// up, print files in a scratch directory, a sink that records every line it
// hands to the print manager, and images built from rows of text.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "../fm/fm_started.h"
#include "../store/store_test_util.h"
#include "foundation/bytes.h"
#include "foundation/text.h"
#include "process/rm.h"

namespace kivo::test {

// "kind count text [attr@col+len]..." per line, then the line goes to the print manager.
inline std::vector<std::string>& sink_log() {
  static std::vector<std::string> log;
  return log;
}
inline int recording_write(PM_BLK* blk, const PM_LINE* l) {
  std::string s = std::to_string(l->kind) + " " + std::to_string(l->count);
  if (l->text) s += " " + std::string(l->text, ut_buflen(l->text, l->len));
  for (int i = 0; i < l->run_count; ++i) {
    const PM_RUN& r = l->runs[i];
    s += " [" + std::to_string(r.attr) + "@" + std::to_string(r.col) + "+" + std::to_string(r.len) + "]";
  }
  sink_log().push_back(s);
  return pm_write(blk, l);
}
inline const rm_sink kRecordingSink = {pm_bld, recording_write, pm_cleanup};

struct img_spec {
  std::vector<std::string> rows;
  uint16_t col = 1;
  uint32_t cols = 0;  // 0: the longest row
  uint8_t cmprs = 0, sep = ' ', before = 0, after = 0, reserved = 0;
};

inline std::vector<uint8_t> image_bytes(const img_spec& s) {
  uint32_t cols = s.cols;
  for (auto& r : s.rows) cols = std::max<uint32_t>(cols, uint32_t(r.size()));
  const auto rows = uint32_t(s.rows.size());
  std::vector<uint8_t> b(rm_img_len(rows, cols), 0);
  st_le16(b.data(), IMG_COL, s.col);
  st_le32(b.data(), IMG_ROWS, rows);
  st_le32(b.data(), IMG_COLS, cols);
  b[IMG_CMPRS] = s.cmprs, b[IMG_SEP] = s.sep, b[IMG_BEFORE] = s.before, b[IMG_AFTER] = s.after;
  b[IMG_RESERVED] = s.reserved;
  memset(b.data() + IMG_TEXT, ' ', size_t(rows) * cols);
  for (uint32_t r = 0; r < rows; ++r) memcpy(b.data() + IMG_TEXT + r * cols, s.rows[r].data(), s.rows[r].size());
  return b;
}

// A characteristic record for rm_cmpl_img.
inline void put_chr(ARB* f, uint32_t row, uint32_t col, uint32_t rows, uint32_t len, uint32_t attr) {
  uint8_t c[kRmRcLen] = {};
  st_le32(c, RC_ROW, row), st_le32(c, RC_COL, col), st_le32(c, RC_ROWS, rows), st_le32(c, RC_LEN, len);
  st_le32(c, RC_ATTR, attr);
  rm_put(f, c, kRmRcLen);
}

using kivo_test::slurp;

class Report : public FmStarted {
 protected:
  void SetUp() override {
    FmStarted::SetUp();
    setenv("KIVO_PRT_FI_DIR", (dir_.path() + "/").c_str(), 1);
    rm_init();
    sink_log().clear();
  }
  void TearDown() override {
    unsetenv("KIVO_PRT_FI_DIR");
    FmStarted::TearDown();
  }
  RPT_BLK* report(uint16_t width, uint16_t page_len = 0) {
    char path[kPmPathLen];
    RPT_BLK* r = rm_create("TEST REPORT                   ", "TESTRPT ", width, path, &kRecordingSink);
    path_ = std::string(path, ut_buflen(path, kPmPathLen));
    r->hold = 0;
    r->page_len = page_len;
    rm_print(r, 0, -1);  // the first page: no form feed before it
    sink_log().clear();
    return r;
  }
  static uint16_t compile(RPT_BLK* r, const img_spec& s, ARB* items = nullptr, ARB* chrs = nullptr) {
    auto b = image_bytes(s);
    const uint8_t* stored = rm_cmpl_img(r, b.data(), items, chrs);
    return stored ? ld_le16(stored, IMG_ID) : 0;
  }
  // Compiles, executes and writes an image; the write's result.
  static int write(RPT_BLK* r, const img_spec& s, uint16_t buf = 0, RPT_WND* w = nullptr, ARB* chrs = nullptr) {
    const uint16_t id = compile(r, s, nullptr, chrs);
    rm_exec_img(r, id);
    return rm_write_img(r, id, nullptr, buf, w);
  }
  // Ends the report keeping its print file; the file's bytes.
  std::string finish(RPT_BLK* r) {
    r->set.print = '1';
    r->set.mode = PM_MODE_KEEP;
    rm_cleanup(r);
    return slurp(path_);
  }
  static std::string golden(const std::string& name) {
    return slurp(std::string(KIVO_SOURCE_DIR) + "/tests/process/golden/" + name);
  }
  bool refused(const std::string& text) {
    const bool r = reported(text);
    captured_errors().clear();
    return r;
  }
  scratch_dir dir_;
  std::string path_;
};

}  // namespace kivo::test
