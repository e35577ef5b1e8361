// The image editor's save: the rows, items and characteristics of the work
// files replace the image's records in the design files, and the cursor
// positions of the IMAGE record buffer are set from the cursor records. The
// IMAGE record itself is the calling application's to write; the image's
// PROCESS record gets a new design stamp, so that the next run compiles
// what was saved. A design file the version lacks is made when records go
// into it.
//
// Invariant: the saved flag is set only when every write succeeded; after
// a failure the work files still hold the whole image, so the next save
// stores everything.
#include <cstdio>
#include <cstring>

#include "editors/ie_internal.h"
#include "fm/la.h"
#include "foundation/descriptors.h"

namespace kivo {

namespace {

constexpr const char* kModule = "IE1";

// One design file's part of a save: the records that replace the image's.
struct save_part {
  ARB** file;
  ie_dfdb_init init;
  const char* name;  // the design file's, for a refusal
  uint16_t len;      // bytes of each record stored
  const char* write;
  std::vector<ie_rec> recs;
};

// A design file the version lacks held none of the image's records; one is
// made when there are records to store. Done for every part before anything
// changes, so that a file that cannot be made refuses the save, on the
// message row, with the design files as they were.
bool have_file(IE_STATE* st, save_part& p) {
  if (*p.file || p.recs.empty()) return true;
  uint32_t stat = 0;
  if ((*p.file = ie_make_design(p.init, st, &stat))) return true;
  char text[96];
  const int n = snprintf(text, sizeof text, "Nothing saved: the %s design file of %.3s %.2s cannot be made (status %u)",
                         p.name, st->ap, st->ver, stat);
  if (st->msgs) la_add_text(st->msgs, 3, 0, text, size_t(n));
  return false;
}

// Replaces the image's records of the part's design file by its records.
bool replace(const uint8_t* img, const save_part& p) {
  ARB* d = *p.file;
  if (!d) return true;  // nothing to store, and no file held any
  std::vector<uint8_t> key(p.len, 0);
  memcpy(key.data(), img, kImageKeyLen);
  if (!ie_del_prefix(d, key.data(), p.len, kImageKeyLen)) return ie_fail(d, "Bad del", kModule);
  for (const ie_rec& r : p.recs)
    if (!ie_put(d, r.data(), p.len)) return ie_fail(d, p.write, kModule);
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
  save_part rows{&st->drow, INIT_DROW_FDB, "ROW", kRowRecSize, "Bad row write ", {}};
  for (ie_rec& r : ie_scan(st->rows, 0, key.data(), kRowRecSize, kImageKeyLen))
    if (!blank(reinterpret_cast<char*>(r.data() + RO_TEXT), text)) rows.recs.push_back(std::move(r));
  save_part items{&st->ditm, INIT_DITM_FDB, "ITEM", kItemRecSize, "Bad itm write ", {}};
  items.recs = ie_scan(st->itms, 0, key.data(), kIeItemSize, kImageKeyLen);
  save_part chrs{&st->dchr, INIT_DCHR_FDB, "CHR", kChrRecSize, "Bad chr write ", {}};
  chrs.recs = ie_scan(st->chrs, 0, key.data(), kChrRecSize, kImageKeyLen);
  for (save_part* p : {&rows, &items, &chrs})
    if (!have_file(st, *p)) return 0;
  if (!replace(img, rows)) return 0;
  set_cursors(st, img);
  if (!replace(img, items) || !replace(img, chrs)) return 0;
  // A module compiled before holds the image as it was.
  uint32_t stat = 0;
  if (!ie_restamp(st, img, &stat)) return checkstat(stat, "Bad process rewrite ", kModule, __LINE__), 0;
  st->saved = 1;
  return 1;
}

}  // namespace kivo
