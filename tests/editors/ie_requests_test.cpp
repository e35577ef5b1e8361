// The requests of "IE_EDIT" with their cursor rules, the end codes, and the
// save: blank rows dropped, cursor positions recomputed, and a failed write
// that keeps everything for the next save.
#include <sys/uio.h>

#include <cerrno>

#include "../fixtures/hook_override.h"
#include "editors/ie_harness.h"
#include "foundation/os_calls.h"
#include "ie_test_util.h"

namespace kivo::test {
namespace {

constexpr uint32_t kHelpOnItem = 276;

TEST_F(ImageEditor, EachRequestStoresTheCursorOrKeepsTheOneOfTheEntry) {
  struct {
    uint32_t key;
    uint8_t request;
    bool stores;
  } cases[] = {
      {0, IE_REQ_OPT0, true},           {15, IE_REQ_OPT15, false}, {LK_INQUIRE_MODE, IE_REQ_INQUIRE, false},
      {kHelpOnItem, IE_REQ_HELP, true}, {4, IE_REQ_CURSOR, true},  {LK_ADD_MODE, IE_REQ_ITEM, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.key);
    ASSERT_EQ(open(1), 1);
    const uint32_t col = c.key == LK_ADD_MODE ? 40 : 10;  // ADD MODE wants a free cell
    EXPECT_EQ(edit({{c.key, 2, col}}), c.request);
    EXPECT_EQ(ld_le32(ctl, IEC_ROW), c.stores ? 2u : 1u);
    EXPECT_EQ(ld_le32(ctl, IEC_COL), c.stores ? col : 1u);
    // The entry after the request puts the cursor where the block says.
    EXPECT_EQ(edit({{LK_CANCEL, 0, 0}}), IE_END);
    EXPECT_EQ(ie_seen().cursors.back(),
              (std::pair<int32_t, int32_t>{int32_t(ld_le32(ctl, IEC_ROW)), int32_t(ld_le32(ctl, IEC_COL))}));
  }
}

TEST_F(ImageEditor, OutputReportImagesRefuseOption15WithAMessage) {
  ASSERT_EQ(open(1), 1);
  img[0] = 3;  // an OUTPUT process, frame class 0
  EXPECT_EQ(edit({{15, 2, 10}, {0, 3, 3}}), IE_REQ_OPT0);
  EXPECT_EQ(edit({{LK_CANCEL, 0, 0}}), IE_END);
  // This installation has no message texts: the message 101860 was asked.
  EXPECT_TRUE(reported("xlate failed"));
  captured_errors().clear();
}

TEST_F(ImageEditor, EndCodes) {
  struct {
    const char* what;
    char editable;
    std::vector<ie_key> keys;
    uint8_t end;
    size_t rows_stored;
  } cases[] = {
      // In order: each case finds the design files the one before left.
      {"END view-only writes nothing", '0', {{6, 1, 1}, {16, 1, 1}, {LK_END, 1, 1}}, IE_END, 4},
      {"OPTION 11 writes nothing", '1', {{6, 1, 1}, {11, 1, 1}}, IE_END_OPT11, 4},
      {"OPTION 11 after a save", '1', {{16, 1, 1}, {11, 1, 1}}, IE_END_OPT11, 4},
      {"END editable saves", '1', {{6, 1, 1}, {LK_END, 1, 1}}, IE_END_SAVED, 3},
      {"END after OPTION 16", '1', {{16, 1, 1}, {LK_END, 1, 1}}, IE_END_SAVED, 3},
      {"CANCEL after OPTION 16", '1', {{16, 1, 1}, {LK_CANCEL, 1, 1}}, IE_END, 3},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(open(1, c.editable), 1);
    EXPECT_EQ(edit(c.keys), c.end);
    EXPECT_EQ(stored(DF_ROW, 1).size(), c.rows_stored);
    EXPECT_EQ(st(), nullptr);
    EXPECT_EQ(recurs_lvl, 0);
  }
}

TEST_F(ImageEditor, EnterAfterTheRowColPanelOnlyRemovesIt) {
  ASSERT_EQ(open(1), 1);
  EXPECT_EQ(edit({{3, 3, 5}, {LK_ENTER, 0, 0}, {0, 0, 0}}), IE_REQ_OPT0);
  EXPECT_EQ(ld_le32(ctl, IEC_ROW), 3u);
  EXPECT_EQ(ld_le32(ctl, IEC_COL), 5u);
  EXPECT_EQ(ie_row, 3);
  EXPECT_EQ(ie_col, 5);
  EXPECT_EQ(edit({{3, 0, 0}, {LK_ENTER, 0, 0}, {LK_ENTER, 0, 0}, {0, 0, 0}}), IE_REQ_OPT0);
  EXPECT_EQ(ld_le32(ctl, IEC_ROW), 4u);
  EXPECT_EQ(ld_le32(ctl, IEC_COL), 1u);
  EXPECT_EQ(edit({{LK_CANCEL, 0, 0}}), IE_END);
}

TEST_F(ImageEditor, SaveStoresOnlyRowsWithText) {
  ASSERT_EQ(open(6), 1);
  st()->line[3].replace(0, 5, "three");
  st()->line[7].replace(70, 5, "seven");
  EXPECT_EQ(edit({{16, 1, 1}, {LK_CANCEL, 1, 1}}), IE_END);
  auto rows = stored(DF_ROW, 6);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(ld_le32(rows[0].data(), RI_ROW), 3u);
  EXPECT_EQ(ld_le32(rows[1].data(), RI_ROW), 7u);
}

TEST_F(ImageEditor, CursorRequestFlagsReachTheImageOnSave) {
  ASSERT_EQ(open(1), 1);
  EXPECT_EQ(edit({{4, 4, 10}}), IE_REQ_CURSOR);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(curs + CU_FIELD), 4), "CODE");
  curs[CU_FLAGS + 3] = '1';
  EXPECT_EQ(edit({{16, 1, 1}, {LK_CANCEL, 0, 0}}), IE_END);
  EXPECT_EQ(ld_le32(img, IM_CURSOR), 2u);  // NAME's, loaded
  EXPECT_EQ(ld_le32(img, IM_CURSOR + 4), 10u);
  EXPECT_EQ(ld_le32(img, IM_CURSOR + 8), kIeUnset);  // at no item
  EXPECT_EQ(ld_le32(img, IM_CURSOR + 24), 4u);
  EXPECT_EQ(ld_le32(img, IM_CURSOR + 28), 10u);
}

TEST_F(ImageEditor, CursorOnAFieldsLostSecondItemBecomesUnset) {
  ASSERT_EQ(open(8), 1);  // position 0 on CODE's second item (5, 1)
  EXPECT_EQ(edit({{LK_DELETE_MODE, 4, 7}, {16, 1, 1}, {LK_CANCEL, 0, 0}}), IE_END);
  EXPECT_EQ(ld_le32(img, IM_CURSOR), kIeUnset);
  EXPECT_EQ(ld_le32(img, IM_CURSOR + 4), kIeUnset);
}

TEST_F(ImageEditor, MovedItemKeepsItsCursorPosition) {
  ASSERT_EQ(open(8), 1);
  EXPECT_EQ(edit({{9, 5, 1}, {LK_ENTER, 6, 3}, {16, 1, 1}, {LK_CANCEL, 0, 0}}), IE_END);
  EXPECT_EQ(ld_le32(img, IM_CURSOR), 6u);
  EXPECT_EQ(ld_le32(img, IM_CURSOR + 4), 3u);
}

TEST_F(ImageEditor, FailedSaveKeepsTheModelAndTheNextSaveStoresEverything) {
  ASSERT_EQ(open(1), 1);
  st()->line[9].replace(0, 4, "new!");
  // The first write under the save fails with EIO.
  static bool armed;
  armed = true;
  os_call_table t = os_real_calls();
  t.pwrite = [](int fd, const void* b, size_t n, off_t o) -> ssize_t {
    if (!armed) return ::pwrite(fd, b, n, o);
    armed = false;
    return errno = EIO, -1;
  };
  t.pwritev = [](int fd, const iovec* v, int n, off_t o) -> ssize_t {
    if (!armed) return ::pwritev(fd, v, n, o);
    armed = false;
    return errno = EIO, -1;
  };
  int saved;
  {
    kivo_test::scoped_hook failing(os_sys, t);
    saved = scr_save(st(), img);
  }
  EXPECT_EQ(saved, 0);
  EXPECT_FALSE(armed);
  EXPECT_FALSE(captured_errors().empty());
  captured_errors().clear();
  EXPECT_EQ(st()->saved, 0);
  EXPECT_EQ(line(9).substr(0, 4), "new!");
  EXPECT_EQ(items().size(), 3u);
  // END after the failure is no "END after a save": it saves now.
  EXPECT_EQ(edit({{LK_END, 1, 1}}), IE_END_SAVED);
  EXPECT_EQ(stored(DF_ROW, 1).size(), 5u);
  EXPECT_EQ(stored(DF_ITEM, 1).size(), 3u);
  EXPECT_EQ(stored(DF_CHR, 1).size(), 1u);
}

}  // namespace
}  // namespace kivo::test

namespace kivo::test {
namespace {

TEST_F(ImageEditor, HarnessPlaysTheApplicationAndWritesTheImageAfterASave) {
  char answers[] = "# the field placed, then its cursor flags\n1 IED CODE 1 6\n6 ....1.....\n";
  FILE* script = fmemopen(answers, strlen(answers), "r");
  ASSERT_NE(script, nullptr);
  uint8_t key[kImageKeyLen] = {2};
  memcpy(key + 1, "IMAGES                        ", 30), st_le32(key, 32, 1), key[IM_NUMBER] = 6;
  for (ie_key k : std::vector<ie_key>{{LK_ADD_MODE, 8, 5}, {4, 8, 5}, {LK_END, 1, 1}}) ie_script().push_back(k);
  EXPECT_EQ(ie_play(nullptr, key, "IED", "01", script), IE_END_SAVED);
  fclose(script);
  auto images = stored(DF_IMAGE, 6);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(ld_le32(images[0].data(), IM_CURSOR + 32), 8u);  // position 4 on the new item
  EXPECT_EQ(ld_le32(images[0].data(), IM_CURSOR + 36), 5u);
  EXPECT_EQ(ld_le32(images[0].data(), IM_CURSOR + 8), 5u);  // LONGTXT's kept
  auto its = stored(DF_ITEM, 6);
  ASSERT_EQ(its.size(), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(its[2].data() + IT_FIELD), 4), "CODE");
  EXPECT_EQ(ld_le32(its[2].data(), RI_ROW), 8u);
  EXPECT_EQ(recurs_lvl, 0);
}

}  // namespace
}  // namespace kivo::test
