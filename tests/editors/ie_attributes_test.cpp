// Characteristics, boxes and exceptions chosen through the key loop and
// merged at the next entry; centring a row; the preview in a nested level.
#include "../fixtures/hook_override.h"
#include "compiler/em.h"
#include "compiler/em_records.h"
#include "editors/editors.h"
#include "editors/ie_harness.h"
#include "foundation/end_codes.h"
#include "foundation/invoc.h"
#include "foundation/sys_err.h"
#include "ie_test_util.h"
#include "process/process.h"

namespace kivo::test {
namespace {

// The executive's hook: the language choice played with `g_lang`, and the
// levels the shows saw.
const char* g_lang;
std::vector<std::pair<int, char>> g_levels;  // level, editable flag at each show
void choose_lang(INVOC* v) { ASSERT_EQ(ie_play_preview_choice(v, g_lang), 1); }
int watching_show(SHOW_BLK* b, ARB* m) {
  if (IE_STATE* s = ie_last(); s && (b->show_flags & SHOW_INPUT)) {
    g_levels.push_back({s->level, char(s->editable)});
    if (s->level == 2) g_levels.push_back({int(s->line[1][0]), 'T'});
  }
  return scripted_show(b, m);
}

class ImageAttributes : public ImageEditorFixture {
 protected:
  // The calling process of a preview: area 7 long enough for its LANGUAGE
  // field; the language choice played through the executive's hook.
  void SetUp() override {
    ImageEditorFixture::SetUp();
    hooks_.set(process_seams.exec, choose_lang);
    g_levels.clear();
    tbl.assign(7, AREA_DESC{});
    for (uint32_t i = 0; i < 7; ++i) tbl[i].area_no = i + 1, tbl[i].size = i == 6 ? 700 : 4;
    em.em_area_tbl = tbl.data(), em.em_area_cnt = 7;
    area7.assign(700, ' ');
    for (auto& a : areas) a = area7.data();
    pcb.pcb_em = &em, pcb.pcb_areas = areas;
    pcb.pcb_handle = ih_put(HK_PCB, &pcb);
  }
  void TearDown() override {
    ih_drop(pcb.pcb_handle);
    ImageEditorFixture::TearDown();
  }
  uint8_t edit_as(std::vector<ie_key> keys) {
    for (auto& k : keys) ie_script().push_back(k);
    EXPECT_EQ(ie_edit(&pcb, img, itm, curs, itms, chr, ctl, rows, xcept), 1);
    return ctl[IEC_REQUEST];
  }
  EM em{};
  std::vector<AREA_DESC> tbl;
  std::vector<uint8_t> area7;
  uint8_t* areas[8];
  PCB pcb{};

  // The image's characteristic records (64 bytes each) in key order.
  std::vector<ie_rec> chr_recs() {
    uint8_t key[kChrRecSize] = {};
    return ie_scan(st()->chrs, 0, key, kChrRecSize, 0);
  }
  // A one-row run as the merge writes it, after the buffer's bytes 62-63.
  ie_rec run(uint32_t row, uint32_t col, uint32_t cols, const char* flags, uint8_t value = 0) {
    ie_rec r(kChrRecSize, 0);
    ie_cell_key(r.data(), img, row, col);
    st_le32(r.data(), CR_ROWS, 1), st_le32(r.data(), CR_COLS, cols);
    memcpy(r.data() + CR_FLAGS, flags, 4);
    r[CR_REVERSE] = value, r[CR_BOX] = '0';
    return r;
  }
  std::string flags(const ie_rec& r) { return std::string(reinterpret_cast<const char*>(r.data() + CR_FLAGS), 4); }
  // Chooses a characteristic from (row, col) to (row2, col2): request 2.
  void choose(uint32_t key, uint32_t row, uint32_t col, uint32_t row2, uint32_t col2, uint8_t want) {
    ASSERT_EQ(edit({{key, row, col}, {LK_ENTER, row2, col2}}), want);
  }
  void set_flags(const char* f, uint8_t value = 0) { memcpy(chr + CR_FLAGS, f, 4), chr[CR_REVERSE] = value; }
};

TEST_F(ImageAttributes, BoldInsideAnUnderlineLeavesThreeRuns) {
  ASSERT_EQ(open(9), 1);
  choose(13, 2, 5, 2, 10, IE_REQ_CHR);
  // The buffer starts from the underline the first corner stands on.
  EXPECT_EQ(chr[CR_FLAGS + 1], '1');
  EXPECT_EQ(ld_le32(chr, RI_COL), 5u);
  EXPECT_EQ(ld_le32(chr, CR_COLS), 6u);
  set_flags(" 1  ");
  chr[CR_FLAGS + 1] = ' ';
  chr[CR_FLAGS + 2] = '1';
  EXPECT_EQ(edit({{0, 1, 1}}), IE_REQ_OPT0);
  std::vector<ie_rec> row2;
  for (ie_rec& r : chr_recs())
    if (ld_le32(r.data(), RI_ROW) == 2) row2.push_back(r);
  const std::vector<ie_rec> want{run(2, 1, 4, " 1  "), run(2, 5, 6, " 11 "), run(2, 11, 10, " 1  ")};
  EXPECT_EQ(row2, want);
}

TEST_F(ImageAttributes, AllFlagsZeroWritesOneRecordOnAnEmptyRowAndClearsAnother) {
  struct {
    const char* what;
    uint32_t row, col, col2;
    size_t records_on_row;
  } cases[] = {
      {"a row without characteristics keeps the buffer as it is", 1, 12, 15, 1},
      {"the underline's columns lose it", 2, 1, 20, 0},
      {"a part of the underline goes, the rest stays", 2, 1, 10, 1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(open(9), 1);
    choose(13, c.row, c.col, c.row, c.col2, IE_REQ_CHR);
    set_flags("0000");
    EXPECT_EQ(edit({{0, 1, 1}}), IE_REQ_OPT0);
    size_t n = 0;
    for (ie_rec& r : chr_recs())
      if (ld_le32(r.data(), RI_ROW) == c.row) {
        ++n;
        EXPECT_EQ(r[CR_BOX], '0');
      }
    EXPECT_EQ(n, c.records_on_row);
    EXPECT_EQ(edit({{LK_CANCEL, 1, 1}}), IE_END);
  }
}

TEST_F(ImageAttributes, LastColumnSurvivesAndAMultiRowKeepsOnlyItsSlice) {
  ASSERT_EQ(open(9), 1);
  // Column 40 of row 6 joins the reverse 35-40; bold at 40 of row 1.
  choose(13, 6, 40, 6, 40, IE_REQ_CHR);
  set_flags("  1 ");
  EXPECT_EQ(edit({{13, 1, 40}, {LK_ENTER, 1, 40}}), IE_REQ_CHR);
  set_flags("  1 ");
  // Row 4 only of the bold over rows 4-5.
  EXPECT_EQ(edit({{13, 4, 20}, {LK_ENTER, 4, 21}}), IE_REQ_CHR);
  set_flags(" 1  ");
  EXPECT_EQ(edit({{0, 1, 1}}), IE_REQ_OPT0);
  // (row, col) -> flags and rows x 100 + columns of every non-box record.
  std::map<std::pair<uint32_t, uint32_t>, std::pair<std::string, uint32_t>> got;
  for (ie_rec& r : chr_recs())
    if (r[CR_BOX] != '1')
      got[{ld_le32(r.data(), RI_ROW), ld_le32(r.data(), RI_COL)}] = {
          flags(r), ld_le32(r.data(), CR_ROWS) * 100 + ld_le32(r.data(), CR_COLS)};
  const std::map<std::pair<uint32_t, uint32_t>, std::pair<std::string, uint32_t>> want{
      {{1, 40}, {"  1 ", 101}},  // a row without any: the buffer
      {{2, 1},
       {std::string("\0"
                    "1\0\0",
                    4),
        120}},                  // untouched
      {{4, 5}, {"  1 ", 104}},  // the two-row bold's slice of row 4
      {{4, 20}, {" 1  ", 102}},
      {{6, 35}, {"   1", 105}},  // the reverse, then the last column reverse and bold
      {{6, 40}, {"  11", 101}},
  };
  EXPECT_EQ(got, want);
  // The display carries the column-40 bold of row 1.
  bool bold40 = false;
  for (const CHR_BLK& b : st()->lchr)
    if (b.row == 1 && b.col <= 40 && b.col + b.cols > 40) bold40 = (b.value & CM_BOLD) != 0;
  EXPECT_TRUE(bold40);
}

TEST_F(ImageAttributes, BoxAtColumnOneIsRefusedEitherWayRound) {
  struct {
    const char* what;
    std::vector<ie_key> keys;
  } cases[] = {
      {"first corner in column 1", {{14, 2, 1}}},
      {"second corner in column 1", {{14, 2, 2}, {LK_ENTER, 3, 1}}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(open(9), 1);
    const size_t before = chr_recs().size();
    auto keys = c.keys;
    keys.push_back({0, 1, 1});
    EXPECT_EQ(edit(keys), IE_REQ_OPT0);  // back in the loop: no request 10
    EXPECT_STREQ(la_sys_err_text(), "*You cannot define a box or line which begins in column 1");
    EXPECT_EQ(chr_recs().size(), before);
    EXPECT_EQ(edit({{LK_CANCEL, 1, 1}}), IE_END);
    // This installation has no message texts: message 200650 was asked.
    EXPECT_TRUE(reported("xlate failed"));
    captured_errors().clear();
  }
  // Column 2 either way round is a box.
  ASSERT_EQ(open(9), 1);
  EXPECT_EQ(edit({{14, 5, 12}, {LK_ENTER, 6, 2}}), IE_REQ_BOX);
  EXPECT_EQ(ld_le32(chr, RI_ROW), 5u);
  EXPECT_EQ(ld_le32(chr, RI_COL), 2u);
  EXPECT_EQ(ld_le32(chr, CR_ROWS), 2u);
  EXPECT_EQ(ld_le32(chr, CR_COLS), 11u);
  EXPECT_EQ(chr[CR_BOX], '1');
  EXPECT_EQ(flags(ie_rec(chr, chr + kChrRecSize)), "    ");
  EXPECT_EQ(ld_le32(ctl, IEC_ROW), 6u);  // the cursor stored is the second corner
  EXPECT_EQ(ld_le32(ctl, IEC_COL), 2u);
}

TEST_F(ImageAttributes, ChoiceAtAnExistingRecordStartsFromItsFlags) {
  ASSERT_EQ(open(9), 1);
  // The box at (3, 10) comes back whole, its size included.
  EXPECT_EQ(edit({{14, 3, 10}, {LK_ENTER, 6, 20}}), IE_REQ_BOX);
  EXPECT_EQ(ld_le32(chr, CR_ROWS), 2u);
  EXPECT_EQ(ld_le32(chr, CR_COLS), 5u);
  EXPECT_EQ(chr[CR_FLAGS + 2], '1');
  chr[CR_FLAGS + 3] = '1';
  EXPECT_EQ(edit({{0, 1, 1}}), IE_REQ_OPT0);
  const ie_rec box = chr_at(st(), 3, 10, true);
  ASSERT_FALSE(box.empty());
  EXPECT_EQ(box[CR_FLAGS + 3], '1');  // rewritten, not doubled
  EXPECT_EQ(ld_le32(box.data(), CR_COLS), 5u);
  // A characteristic chosen on the reverse at row 6 starts reverse, over the new rectangle.
  EXPECT_EQ(edit({{13, 6, 36}, {LK_ENTER, 5, 30}}), IE_REQ_CHR);
  EXPECT_EQ(chr[CR_FLAGS + 3], '1');
  EXPECT_EQ(ld_le32(chr, RI_ROW), 5u);
  EXPECT_EQ(ld_le32(chr, RI_COL), 30u);
  EXPECT_EQ(ld_le32(chr, CR_ROWS), 2u);
  EXPECT_EQ(ld_le32(chr, CR_COLS), 7u);
  EXPECT_EQ(chr[CR_BOX], 0);
}

TEST_F(ImageAttributes, EndDuringAChoiceReturnsInitAndTheNextEntryChangesNothing) {
  for (uint32_t key : {13u, 14u, 95u}) {
    for (uint32_t leave : {uint32_t(LK_END), uint32_t(LK_CANCEL)}) {
      SCOPED_TRACE(testing::Message() << key << " " << leave);
      ASSERT_EQ(open(9), 1);
      // A characteristic merged first: its request is the one a repeat would redo.
      choose(13, 1, 20, 1, 25, IE_REQ_CHR);
      set_flags(" 1  ");
      EXPECT_EQ(edit({{key, 3, 30}, {leave, 0, 0}}), IE_REQ_INIT);
      const std::vector<ie_rec> before = chr_recs();
      set_flags("1111", 7);  // whatever the buffer now holds is not merged
      EXPECT_EQ(edit({{0, 1, 1}}), IE_REQ_OPT0);
      EXPECT_EQ(chr_recs(), before);
      EXPECT_EQ(xcepts().size(), 0u);
      EXPECT_EQ(edit({{LK_CANCEL, 1, 1}}), IE_END);
    }
  }
}

TEST_F(ImageAttributes, BufferOffTheImageIsNotMerged) {
  ASSERT_EQ(open(9), 1);
  choose(13, 2, 30, 2, 40, IE_REQ_CHR);
  const std::vector<ie_rec> before = chr_recs();
  st_le32(chr, CR_COLS, 12);  // the application made it reach column 41
  set_flags(" 1  ");
  EXPECT_EQ(edit({{0, 1, 1}}), IE_REQ_OPT0);
  EXPECT_EQ(chr_recs(), before);
  EXPECT_FALSE(st()->lchr.empty());  // the display kept its attributes
}

TEST_F(ImageAttributes, ExceptionViewShowsExceptionsUnderlinedAndBold) {
  ASSERT_EQ(open(1), 1);
  EXPECT_EQ(edit({{95, 1, 3}, {LK_ENTER, 1, 8}}), IE_REQ_XCEPT);
  EXPECT_EQ(ld_le32(chr, CR_COLS), 6u);
  add_xcept(1, 3, 6);  // as the application records it
  auto attr_at = [&](int32_t row, int32_t col) {
    for (const CHR_BLK& b : st()->lchr)
      if (b.row == row && b.col <= col && col < b.col + b.cols && !(b.value & CM_BOX)) return b.value;
    return 0u;
  };
  EXPECT_EQ(edit({{17, 1, 1}, {0, 1, 1}}), IE_REQ_OPT0);
  const uint32_t want = CM_UNDERLINE | CM_BOLD;
  EXPECT_EQ(attr_at(1, 3) & want, want);
  EXPECT_EQ(attr_at(1, 8) & want, want);
  EXPECT_EQ(attr_at(1, 9) & want, 0u);
  EXPECT_EQ(attr_at(1, 1) & CM_UNDERLINE, 0u);  // the characteristic's underline is not shown
  EXPECT_EQ(edit({{17, 1, 1}, {0, 1, 1}}), IE_REQ_OPT0);
  EXPECT_EQ(attr_at(1, 1) & CM_UNDERLINE, uint32_t{CM_UNDERLINE});
  EXPECT_EQ(attr_at(1, 3) & CM_BOLD, 0u);
}

TEST_F(ImageAttributes, CentringMovesTextItemsCharacteristicsAndExceptions) {
  ASSERT_EQ(open(10), 1);
  add_xcept(2, 12, 2);
  const std::string full = line(5);
  EXPECT_EQ(edit({{5, 2, 1}, {5, 3, 1}, {5, 4, 1}, {5, 5, 1}, {5, 6, 1}, {0, 1, 1}}), IE_REQ_OPT0);
  struct {
    uint32_t row;
    size_t first, last;
  } texts[] = {{2, 36, 45}, {3, 35, 45}, {4, 36, 37}};
  for (auto& t : texts) {
    SCOPED_TRACE(t.row);
    const std::string l = line(t.row);
    EXPECT_EQ(l.find_first_not_of(' ') + 1, t.first);
    EXPECT_EQ(l.find_last_not_of(' ') + 1, t.last);
  }
  EXPECT_EQ(line(2).substr(35, 10), "ABCDEFGHIJ");
  EXPECT_EQ(line(5), full);
  EXPECT_EQ(line(6), std::string(80, ' '));
  EXPECT_EQ(items(), (std::vector<std::pair<uint32_t, uint32_t>>{{4, 39}}));
  // The bold of row 2 moved by 25; the underline from row 1 stayed.
  EXPECT_EQ(chrs(), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 15}, {2, 38}}));
  EXPECT_EQ(xcepts(), (std::vector<std::tuple<uint32_t, uint16_t, uint16_t>>{{2, 37, 2}}));
  EXPECT_EQ(ie_seen().beeps, 0);
}

TEST_F(ImageAttributes, PreviewShowsTheSavedImageViewOnlyAndCancelLeavesTheEditorAsItWas) {
  ASSERT_EQ(open(1), 1);
  hooks_.set(editors_seams.ie_show, watching_show);
  st()->line[1][0] = 'X';  // not saved
  g_lang = "   ";
  // In the preview: DELETE LINE, OPTION 13 and ADD MODE change nothing; END leaves it.
  EXPECT_EQ(edit_as({{94, 1, 1}, {6, 1, 1}, {13, 2, 40}, {LK_ADD_MODE, 8, 40}, {LK_END, 1, 1}, {0, 1, 1}}),
            IE_REQ_OPT0);
  EXPECT_EQ(line(1)[0], 'X');
  EXPECT_EQ(ie_last(), st());
  EXPECT_EQ(recurs_lvl, 1);
  const std::vector<std::pair<int, char>> want{{1, '1'}, {2, '0'},   {'C', 'T'}, {2, '0'},   {'C', 'T'},
                                               {2, '0'}, {'C', 'T'}, {2, '0'},   {'C', 'T'}, {1, '1'}};
  EXPECT_EQ(g_levels, want);
  EXPECT_EQ(stored(DF_ROW, 1)[0][RO_TEXT], 'C');
  EXPECT_EQ(items().size(), 3u);
  // CANCEL in the language choice: no second level.
  g_levels.clear();
  g_lang = nullptr;
  EXPECT_EQ(edit_as({{94, 1, 1}, {0, 2, 2}}), IE_REQ_OPT0);
  EXPECT_EQ(g_levels, (std::vector<std::pair<int, char>>{{1, '1'}, {1, '1'}}));
  EXPECT_EQ(line(1)[0], 'X');
}

// The harness answers requests 2, 10 and 9 from its script: flags and a
// value byte, and an exception per row of the rectangle.
TEST_F(ImageAttributes, HarnessAnswersCharacteristicBoxAndExceptionRequests) {
  char answers[] = "2 .1.. 0\n2 ..1. 0\n9 ...\n";
  FILE* script = fmemopen(answers, strlen(answers), "r");
  ASSERT_NE(script, nullptr);
  static bool xcept_shown;
  xcept_shown = false;
  hooks_.set(editors_seams.ie_show, [](SHOW_BLK* b, ARB* m) {
    if (IE_STATE* s = ie_last(); s && s->xcept_view)
      for (const CHR_BLK& c : s->lchr)
        if (c.row == 6 && c.col == 1 && c.cols == 5 && (c.value & CM_UNDERLINE) && (c.value & CM_BOLD))
          xcept_shown = true;
    return scripted_show(b, m);
  });
  uint8_t key[kImageKeyLen] = {2};
  memcpy(key + 1, "IMAGES                        ", 30), st_le32(key, 32, 1), key[IM_NUMBER] = 1;
  for (ie_key k : std::vector<ie_key>{{13, 1, 25},
                                      {LK_ENTER, 1, 30},
                                      {14, 3, 30},
                                      {LK_ENTER, 4, 35},
                                      {95, 6, 1},
                                      {LK_ENTER, 6, 5},
                                      {17, 1, 1},
                                      {17, 1, 1},
                                      {LK_END, 1, 1}})
    ie_script().push_back(k);
  EXPECT_EQ(ie_play(nullptr, key, "IED", "01", script), IE_END_SAVED);
  fclose(script);
  EXPECT_TRUE(xcept_shown);
  std::vector<std::tuple<uint32_t, uint32_t, std::string>> got;
  for (auto& r : stored(DF_CHR, 1))
    got.push_back({ld_le32(r.data(), RI_ROW), ld_le32(r.data(), RI_COL), flags(r) + char(r[CR_BOX])});
  const std::vector<std::tuple<uint32_t, uint32_t, std::string>> want{
      {1, 1, " 1  0"}, {1, 25, " 1  0"}, {3, 30, "  1 1"}};
  EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace kivo::test
