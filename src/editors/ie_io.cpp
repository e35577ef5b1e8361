// Record access of the image editor: exact reads, prefix scans, writes,
// held deletes and rewrites through the file manager, each leaving the
// handle's caller-visible fields as they were.
#include <cstring>
#include <functional>

#include "editors/ie_internal.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/paths.h"

namespace kivo {

int ie_get(ARB* a, uint8_t keyno, uint8_t* rec, uint16_t len, bool hold) {
  arb_keep keep(a);
  PROTO_FULL(a, keyno, rec);
  a->arb_len = len;
  a->arb_mod = static_cast<uint16_t>(ARB_EQUAL | (hold ? ARB_HOLD : 0));
  return fm_read(a);
}

std::vector<ie_rec> ie_scan_while(ARB* a, uint8_t keyno, const uint8_t* key, uint16_t len,
                                  const std::function<bool(const uint8_t*)>& in_range) {
  arb_keep keep(a);
  std::vector<ie_rec> out;
  ie_rec rec(key, key + len);
  PROTO_FULL(a, keyno, rec.data());
  a->arb_len = len, a->arb_mod = 0;
  if (!fm_start(a)) return out;
  for (a->arb_mod = 0; fm_rdnxt(a) && in_range(rec.data()); a->arb_mod = 0) out.push_back(rec);
  return out;
}

std::vector<ie_rec> ie_scan(ARB* a, uint8_t keyno, const uint8_t* key, uint16_t len, size_t prefix) {
  return ie_scan_while(a, keyno, key, len, [&](const uint8_t* r) { return memcmp(r, key, prefix) == 0; });
}

std::vector<ie_rec> ie_field_items(ARB* itms, const uint8_t* itm) {
  uint8_t key[kIeItemSize] = {};
  memcpy(key + IT_AP, itm + IT_AP, 3), memcpy(key + IT_FIELD, itm + IT_FIELD, 22);
  memcpy(key + IT_OCC, itm + IT_OCC, 2);
  return ie_scan_while(itms, 1, key, kIeItemSize, [&](const uint8_t* r) {
    return memcmp(r + IT_AP, itm + IT_AP, 3) == 0 && memcmp(r + IT_FIELD, itm + IT_FIELD, 22) == 0 &&
           memcmp(r + IT_OCC, itm + IT_OCC, 2) == 0;
  });
}

uint16_t ie_field_index(ARB* itms, const uint8_t* itm) {
  uint16_t n = 0;
  for (const ie_rec& r : ie_field_items(itms, itm)) {
    ++n;
    if (memcmp(r.data(), itm, RI_COL + 4) == 0) return n;
  }
  return 0;
}

int ie_put(ARB* a, const uint8_t* rec, uint16_t len) {
  arb_keep keep(a);
  a->arb_rec = const_cast<uint8_t*>(rec);  // copied by the write
  a->arb_len = len, a->arb_var_len = len, a->arb_mod = 0, a->arb_key = nullptr;
  return fm_write(a);
}

int ie_del(ARB* a, const uint8_t* rec, uint16_t len) {
  ie_rec buf(rec, rec + len);
  if (!ie_get(a, 0, buf.data(), len, true)) return 0;
  arb_keep keep(a);
  a->arb_rec = buf.data(), a->arb_len = len, a->arb_mod = 0;
  return fm_del(a);
}

int ie_rewrite(ARB* a, const uint8_t* rec, uint16_t len) {
  ie_rec buf(rec, rec + len);
  if (!ie_get(a, 0, buf.data(), len, true)) return 0;
  arb_keep keep(a);
  a->arb_rec = const_cast<uint8_t*>(rec), a->arb_len = len, a->arb_var_len = len, a->arb_mod = 0;
  return fm_rewrite(a);
}

int ie_del_prefix(ARB* a, const uint8_t* key, uint16_t len, size_t prefix) {
  for (const ie_rec& r : ie_scan(a, 0, key, len, prefix))
    if (!ie_del(a, r.data(), len)) return 0;
  return 1;
}

int ie_fail(ARB* a, const char* text, const char* module) {
  checkstat(a ? a->arb_stat : 0, text, module, __LINE__);
  return 0;
}

void ie_row_key(uint8_t* rec, const uint8_t* img, uint32_t row) {
  memcpy(rec, img, kImageKeyLen);
  memset(rec + RI_LANG, ' ', 3);
  st_le32(rec, RI_ROW, row);
}

void ie_cell_key(uint8_t* rec, const uint8_t* img, uint32_t row, uint32_t col) {
  ie_row_key(rec, img, row);
  st_le32(rec, RI_COL, col);
}

std::vector<ie_rec> ie_on_row(ARB* a, const uint8_t* img, uint32_t row, uint16_t len) {
  ie_rec key(len, 0);
  ie_row_key(key.data(), img, row);
  return ie_scan(a, 0, key.data(), len, RI_ROW + 4);
}

int ie_shift_row(ARB* a, const uint8_t* img, uint32_t row, int32_t delta, uint16_t len, const char* module) {
  for (ie_rec r : ie_on_row(a, img, row, len)) {
    if (!ie_del(a, r.data(), len)) return ie_fail(a, "Bad del ", module);
    st_le32(r.data(), RI_ROW, static_cast<uint32_t>(static_cast<int32_t>(row) + delta));
    if (!ie_put(a, r.data(), len)) return ie_fail(a, "Bad write ", module);
  }
  return 1;
}

ARB* ie_mem_file(const char* tag, uint16_t rec_len, uint8_t var, const char* keys, uint32_t scope) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_NOTED_FDB(&f, k, s, FS_MEMORY, rec_len, var, keys);
  INIT_UNIQUE_PATH(&f.path, "0IE", tag, PATH_DATA);
  if (FM_CREATE(&f, scope, 10, LFB_SCOPED | LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) return f.fdb_arb;
  return nullptr;
}

void ie_scratch(ARB*& a) {
  if (a) FM_CLOSE(a, ARB_SCRATCH);
  a = nullptr;
}

}  // namespace kivo
