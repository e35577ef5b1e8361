// The image editor driven as its design application drives it: the images
// of ie_tst.dsgn built into application IED 01 on disk, the item, row and
// exception work files made as the application makes them, and "IE_EDIT"
// fed keys (with the cursor where each key is pressed) from a script.
#pragma once

#include <array>
#include <deque>
#include <string>
#include <vector>

#include "../design/design_test_util.h"
#include "../fixtures/hook_override.h"
#include "editors/editors.h"
#include "editors/ie.h"
#include "editors/ie_internal.h"
#include "screen/tm_keys.h"
#include "screen/wm_show.h"

namespace kivo::test {

struct ie_key {
  uint32_t key, row, col;
};

inline std::deque<ie_key>& ie_script() {
  static std::deque<ie_key> keys;
  return keys;
}

// What the shows saw: how many beeped, the cursor each placed.
struct ie_shows {
  int beeps = 0;
  std::vector<std::pair<int32_t, int32_t>> cursors;
};
inline ie_shows& ie_seen() {
  static ie_shows s;
  return s;
}

// Delivers the next scripted key with the cursor where it was pressed (row
// 0: where the editor put it); an empty script delivers no key, which the
// loop takes as CANCEL, so a test that runs short ends its level.
inline int scripted_show(SHOW_BLK* b, ARB*) {
  if (!(b->show_flags & SHOW_INPUT)) return 1;
  if (b->show_flags & SHOW_BEEP) ++ie_seen().beeps;
  ie_seen().cursors.push_back({b->rel_row, b->rel_col});
  if (ie_script().empty()) return b->input_stat = 0, 1;
  const ie_key k = ie_script().front();
  ie_script().pop_front();
  b->key_code = k.key, b->input_stat = KEY_STATUS_KEY;
  if (k.row) b->rel_row = int32_t(k.row), b->rel_col = int32_t(k.col);
  return 1;
}

class ImageEditorFixture : public DesignFiles {
 public:
  static constexpr const char* kItemKeys =
      "0: 0:1b 1:30 31:1b 32:4b 36:1b 37:3 40:4b 44:4b; 1: 61:3 64:22 86:2b 40:4b 44:4b";
  static constexpr const char* kRowKeys = "0: 0:1b 1:30 31:1b 32:4b 36:1b 37:3 40:4b";

  void SetUp() override {
    DesignFiles::SetUp();
    com.proc_scope = kScope;
    build(read_text("tests/editors/ie_tst.dsgn"), "IED");
    hooks_.set(editors_seams.ie_show, scripted_show);
    ie_script().clear();
    ie_seen() = {};
  }
  void TearDown() override {
    while (recurs_lvl > 0) {
      // A test that stopped between entries still closes its levels.
      IE_STATE* st = open_.empty() ? nullptr : ie_state(open_.back());
      if (!st) break;
      ie_close(st, open_.back());
      open_.pop_back();
    }
    recurs_lvl = 0;
    DesignFiles::TearDown();
  }

  // Opens image `n` as the application does; 1 from "IE_INIT".
  int open(uint8_t n, char editable = '1') {
    memset(img, 0, sizeof img);
    img[0] = 2, memcpy(img + 1, "IMAGES                        ", 30), img[31] = 0, st_le32(img, 32, 1);
    img[IM_NUMBER] = n;
    if (!read_image()) return 0;
    itms = ie_mem_file("ITEMWORK", kIeItemSize, 0, kItemKeys, kScope);
    rows = ie_mem_file("ROWWORK ", kRowRecSize, 1, kRowKeys, kScope);
    xcept = create_tmp_xcept(kScope);
    memset(ctl, ' ', sizeof ctl);
    memcpy(ctl + IEC_AP, "IED01", 5);
    st_le32(ctl, IEC_MESSAGE, 0);
    ctl[IEC_EDITABLE] = uint8_t(editable);
    memset(itm, ' ', sizeof itm);
    const int r = ie_init(nullptr, img, itms, ctl, rows, xcept);
    if (r) open_.push_back(ctl);
    return r;
  }
  // One "IE_EDIT" with the keys given; the request it returned.
  uint8_t edit(std::vector<ie_key> keys = {}) {
    for (auto& k : keys) ie_script().push_back(k);
    EXPECT_EQ(ie_edit(nullptr, img, itm, curs, itms, chr, ctl, rows, xcept), 1);
    return ctl[IEC_REQUEST];
  }
  IE_STATE* st() { return ie_state(ctl); }
  std::string line(uint32_t r) { return st()->line[r]; }
  // Items (row, col) of the work file in key order.
  std::vector<std::pair<uint32_t, uint32_t>> items() {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    uint8_t key[kIeItemSize] = {};
    for (auto& r : ie_scan(itms, 0, key, kIeItemSize, 0))
      out.push_back({ld_le32(r.data(), RI_ROW), ld_le32(r.data(), RI_COL)});
    return out;
  }
  std::vector<std::pair<uint32_t, uint32_t>> chrs() {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    uint8_t key[kChrRecSize] = {};
    for (auto& r : ie_scan(st()->chrs, 0, key, kChrRecSize, 0))
      out.push_back({ld_le32(r.data(), RI_ROW), ld_le32(r.data(), RI_COL)});
    return out;
  }
  // Writes an exception of the image's row text.
  void add_xcept(uint32_t row, uint16_t col, uint16_t len) {
    std::vector<uint8_t> x(kXceptSize, ' ');
    prep_dxcept(x.data(), img, &row, &col, nullptr);
    st_le16(x.data(), XC_LEN, len);
    ASSERT_EQ(ie_put(xcept, x.data(), kXceptSize), 1);
  }
  // Exceptions (row, col, len) in key order.
  std::vector<std::tuple<uint32_t, uint16_t, uint16_t>> xcepts() {
    std::vector<std::tuple<uint32_t, uint16_t, uint16_t>> out;
    std::vector<uint8_t> key(kXceptSize, 0);
    for (auto& r : ie_scan(xcept, 0, key.data(), kXceptSize, 0))
      out.push_back({ld_le32(r.data(), XC_ROW), ld_le16(r.data(), XC_COL), ld_le16(r.data(), XC_LEN)});
    return out;
  }
  // The image's stored records of design file `f`, for image n.
  std::vector<std::vector<uint8_t>> stored(design_file f, uint8_t n) {
    std::vector<std::vector<uint8_t>> out;
    for (auto& r : records(f, "01", "IED"))
      if (r[IM_NUMBER] == n) out.push_back(r);
    return out;
  }

  uint8_t img[kImageRecSize];
  uint8_t ctl[kIeCtlSize];
  uint8_t itm[kIeItemSize], curs[kIeCursSize] = {}, chr[kChrRecSize] = {};
  ARB *itms = nullptr, *rows = nullptr, *xcept = nullptr;

 private:
  bool read_image() {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_DIMG_FDB(&f, k, s, "IED", "01");
    if (!FM_OPEN(&f, kScope, LFB_ANY_DIR, 0x0f, 0x0f)) return false;
    const int ok = ie_get(f.fdb_arb, 0, img, kImageRecSize);
    FM_CLOSE(f.fdb_arb, 0);
    return ok;
  }
  std::vector<uint8_t*> open_;
};

class ImageEditor : public ImageEditorFixture {};

}  // namespace kivo::test
