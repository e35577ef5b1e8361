// The image editor's save: the rows, items and characteristics of the work
// files replace the image's records in the design files, and the cursor
// positions of the IMAGE record buffer are set from the cursor records. The
// IMAGE record itself is the calling application's to write.
//
// Invariant: the saved flag is set only when every write succeeded; after
// a failure the work files still hold the whole image, so the next save
// stores everything.
#include <cstring>

#include "editors/ie_internal.h"

namespace kivo {

namespace {

constexpr const char* kModule = "IE1";

// Replaces the image's records of design file `d` by `recs` (`len` bytes
// each are stored).
bool replace(ARB* d, const uint8_t* img, const std::vector<ie_rec>& recs, uint16_t len, const char* attach,
             const char* write) {
  // A design file the installation lacks held nothing to replace: only
  // records to store need it.
  if (!d) return recs.empty() || ie_fail(nullptr, attach, kModule);
  std::vector<uint8_t> key(len, 0);
  memcpy(key.data(), img, kImageKeyLen);
  if (!ie_del_prefix(d, key.data(), len, kImageKeyLen)) return ie_fail(d, "Bad del", kModule);
  for (const ie_rec& r : recs)
    if (!ie_put(d, r.data(), len)) return ie_fail(d, write, kModule);
  return true;
}

void set_cursors(IE_STATE* st, uint8_t* img) {
  for (size_t i = 0; i < 10; ++i)
    st_le32(img, IM_CURSOR + 8 * i, kIeUnset), st_le32(img, IM_CURSOR + 8 * i + 4, kIeUnset);
  uint8_t none[kIeCursSize] = {};
  for (const ie_rec& cu : ie_scan(st->curs, 0, none, kIeCursSize, 0)) {
    uint8_t probe[kIeItemSize] = {};
    memcpy(probe + IT_AP, cu.data() + CU_AP, 3), memcpy(probe + IT_FIELD, cu.data() + CU_FIELD, 22);
    memcpy(probe + IT_OCC, cu.data() + CU_OCC, 2);
    const std::vector<ie_rec> items = ie_field_items(st->itms, probe);
    const uint16_t index = ld_le16(cu.data(), CU_INDEX);
    // A field that lost items drops the positions of those no longer there.
    if (index < 1 || index > items.size()) continue;
    const uint8_t* it = items[index - 1].data();
    for (size_t i = 0; i < 10; ++i)
      if (cu[CU_FLAGS + i] == '1')
        memcpy(img + IM_CURSOR + 8 * i, it + RI_ROW, 4), memcpy(img + IM_CURSOR + 8 * i + 4, it + RI_COL, 4);
  }
}

}  // namespace

int scr_save(IE_STATE* st, uint8_t* img) {
  if (!upd_row(st, img)) return 0;
  std::vector<uint8_t> key(kRowRecSize, 0);  // the longest record scanned with it
  memcpy(key.data(), img, kImageKeyLen);
  const uint32_t text = std::min<uint32_t>(st->ncols, kRowTextLen);
  std::vector<ie_rec> rows;
  for (ie_rec& r : ie_scan(st->rows, 0, key.data(), kRowRecSize, kImageKeyLen))
    if (!blank(reinterpret_cast<char*>(r.data() + RO_TEXT), text)) rows.push_back(std::move(r));
  if (!replace(st->drow, img, rows, kRowRecSize, "Bad row attach ", "Bad row write ")) return 0;
  set_cursors(st, img);
  std::vector<ie_rec> items = ie_scan(st->itms, 0, key.data(), kIeItemSize, kImageKeyLen);
  if (!replace(st->ditm, img, items, kItemRecSize, "Bad itm attach ", "Bad itm write ")) return 0;
  std::vector<ie_rec> chrs = ie_scan(st->chrs, 0, key.data(), kChrRecSize, kImageKeyLen);
  if (!replace(st->dchr, img, chrs, kChrRecSize, "Bad chr attach ", "Bad chr write ")) return 0;
  st->saved = 1;
  return 1;
}

}  // namespace kivo
