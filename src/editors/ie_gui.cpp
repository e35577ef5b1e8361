// The graphical client's requests (see ie_gui.h): the editor's identity and
// item information, the design lists read one entry per call, and the item
// changes that the key loop otherwise makes with the cursor.
#include "editors/ie_gui.h"

#include <cstring>

#include "editors/ie_internal.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "types/element.h"
#include "types/element_view.h"

namespace kivo {

const uint8_t* se_cur_context = nullptr;

namespace {

enum : uint32_t { KIND_NONE = 0, KIND_IMAGE = 1, KIND_STMT = 2 };

// APPL record: application id, its version and its name.
enum : size_t { AP_ID = 4, AP_VER = 7, AP_NAME = 14, kApplRecSize = 324 };
// FILE design record: name, kind byte, description.
enum : size_t { FI_NAME = 0, FI_KIND = 12, FI_DESC = 23, kFileRecSize = 304 };
constexpr uint8_t kElemFileKey = 2;  // ELEMENT key: file name, sequence

// A text of `n` characters into a zero-terminated field, ended after its
// last non-blank character.
void put_text(char* out, const uint8_t* text, size_t n) {
  while (n && (text[n - 1] == ' ' || text[n - 1] == 0)) --n;
  memcpy(out, text, n);
  out[n] = 0;
}

void put_entry(IE_GUI_REQ* req, const uint8_t* name, size_t name_len, const uint8_t* desc) {
  put_text(req->name, name, name_len);
  put_text(req->desc, desc, 30);
  if (!req->desc[0]) memcpy(req->desc, req->name, sizeof req->name);
}

// The version of the editor the lists are for, or null.
const char* list_version() {
  if (const IE_STATE* st = ie_last()) return st->ver;
  return se_cur_context ? reinterpret_cast<const char*>(se_cur_context) + 3 : nullptr;
}

// Opens the list's file at the first call (option 0x800, system scope) and
// reads its next record; false at the end, with the file closed.
using list_open = bool (*)(IE_GUI_REQ*, const char* ver, FDB*, KDB*, SDB*);
bool next_record(IE_GUI_REQ* req, list_open open, uint8_t keyno, uint8_t* rec, uint16_t len) {
  if (!req->list) {
    const char* ver = list_version();
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    if (!ver || !open(req, ver, &f, k, s) || !FM_OPEN(&f, com.sys_scope, LFB_ANY_DIR, 0x01, 0x0f)) return false;
    req->list = f.fdb_arb;
    std::vector<uint8_t> start(rec, rec + len);
    PROTO_FULL(req->list, keyno, start.data());
    req->list->arb_len = len, req->list->arb_mod = 0;
    if (!fm_start(req->list)) {
      FM_CLOSE(req->list, 0), req->list = nullptr;
      return false;
    }
  }
  PROTO_FULL(req->list, keyno, rec);
  req->list->arb_len = len, req->list->arb_mod = 0;
  if (fm_rdnxt(req->list)) return true;
  FM_CLOSE(req->list, 0), req->list = nullptr;
  return false;
}

int get_nxt_ap(IE_GUI_REQ* req) {
  const char* ver = list_version();
  if (!ver) return 0;
  const auto open = [](IE_GUI_REQ*, const char*, FDB* f, KDB* k, SDB* s) { return INIT_DAP_FDB(f, k, s), true; };
  uint8_t rec[kApplRecSize] = {};
  while (next_record(req, open, 0, rec, sizeof rec)) {
    if (memcmp(rec + AP_VER, ver, 2) != 0 && memcmp(rec + AP_ID, "0LA", 3) != 0) continue;
    put_text(req->ap, rec + AP_ID, 3);
    put_entry(req, rec + AP_ID, 3, rec + AP_NAME);
    return 1;
  }
  return 0;
}

// The block's application, its version "00" when it is a system one.
bool design_of(IE_GUI_REQ* req, const char* ver, char* ap, char* v) {
  memcpy(ap, req->ap, 3), ap[3] = 0;
  if (strlen(ap) != 3) return false;
  v[0] = ver[0], v[1] = ver[1], v[2] = 0;
  if (IS_BOB_AP(ap)) memcpy(v, "00", 2);
  return true;
}

int get_nxt_fi(IE_GUI_REQ* req) {
  const auto open = [](IE_GUI_REQ* r, const char* ver, FDB* f, KDB* k, SDB* s) {
    char ap[4], v[3];
    if (!design_of(r, ver, ap, v)) return false;
    INIT_DFI_FDB(f, k, s, ap, v);
    return true;
  };
  uint8_t rec[kFileRecSize] = {};
  if (!next_record(req, open, 0, rec, sizeof rec)) return 0;
  put_entry(req, rec + FI_NAME, 8, rec + FI_DESC);
  req->code = rec[FI_KIND];
  return 1;
}

// The kind code of a field by its class, else by its data type.
uint8_t field_code(const uint8_t* e) {
  const elem_view el(e);
  switch (el.kind()) {
    case 2: return 5;
    case 3: return 6;
    case 4: return 7;
    case 5: return 8;
    default: break;
  }
  switch (el.type()) {
    case 1:
    case 2:
    case 13: return 9;
    case 5:
    case 8:
    case 12: return 10;
    case 3:
    case 4:
    case 6:
    case 7:
    case 9:
    case 10: return 11;
    case 11: return 12;
    default: return 0;
  }
}

int get_nxt_fld(IE_GUI_REQ* req) {
  const auto open = [](IE_GUI_REQ* r, const char* ver, FDB* f, KDB* k, SDB* s) {
    char ap[4], v[3];
    if (!design_of(r, ver, ap, v)) return false;
    INIT_DELEM_FDB(f, k, s, ap, v);
    return true;
  };
  uint8_t file[8];
  memset(file, ' ', 8);
  memcpy(file, req->name, strnlen(req->name, 8));
  std::vector<uint8_t> rec(kElementSize, 0);
  memcpy(rec.data() + ELEM_FILE, file, 8);
  if (!next_record(req, open, kElemFileKey, rec.data(), kElementSize)) return 0;
  // Past the file's fields the list ends, its file closed.
  if (memcmp(elem_view(rec.data()).file(), file, 8) != 0) {
    FM_CLOSE(req->list, 0), req->list = nullptr;
    return 0;
  }
  put_entry(req, rec.data() + ELEM_NAME, 22, rec.data() + ELEM_LABEL);
  req->code = field_code(rec.data());
  return 1;
}

int get_ie_handle(IE_GUI_REQ* req) {
  if (IE_STATE* st = ie_last()) {
    req->kind = KIND_IMAGE, req->editor = st->ctl;
    return 1;
  }
  if (se_cur_context) {
    req->kind = KIND_STMT, req->editor = const_cast<uint8_t*>(se_cur_context);
    return 1;
  }
  req->kind = KIND_NONE, req->editor = nullptr;
  return 0;
}

int get_itm_info(IE_GUI_REQ* req) {
  IE_STATE* st = ie_last();
  if (!st) return 0;
  for (const ie_rec& it : ie_on_row(st->itms, st->img, req->row, kIeItemSize)) {
    if (!iw_covers(it.data(), req->col)) continue;
    req->row = ld_le32(it.data(), RI_ROW), req->col = ld_le32(it.data(), RI_COL);
    req->row2 = ld_le32(it.data(), IW_DROWS), req->col2 = ld_le32(it.data(), IW_DCOLS);
    return 1;
  }
  return 0;
}

// ---- changes: each needs an editable image editor ----

int gui_move(IE_STATE* st, IE_GUI_REQ* req) {
  uint8_t it[kIeItemSize];
  if (!del_itm(st, it, req->row, req->col)) return 0;
  const uint32_t R = req->row2, K = req->col2;
  if (!ie_move_ok(st, it, R, K)) {
    req->status = IE_GUI_REFUSED;
    st_le32(it, IW_DROWS, 0), st_le32(it, IW_DCOLS, 0);
    add_itm(st, it);
    return 0;
  }
  st_le32(it, RI_ROW, R), st_le32(it, RI_COL, K);
  st_le32(it, IW_DROWS, 0), st_le32(it, IW_DCOLS, 0);
  return add_itm(st, it);
}

int gui_cut(IE_STATE* st, IE_GUI_REQ* req) {
  uint8_t it[kIeItemSize];
  if (del_itm(st, it, req->row2, req->col2)) return 1;
  req->status = IE_GUI_NOTHING;
  return 0;
}

int gui_paste(IE_STATE* st, IE_GUI_REQ* req) {
  if (!st->cur_itm) return 0;
  memcpy(st->cur_itm + IT_AP, req->ap, 3);
  memset(st->cur_itm + IT_FIELD, ' ', 22);
  memcpy(st->cur_itm + IT_FIELD, req->name, strnlen(req->name, 22));
  st_le16(st->cur_itm, IT_OCC, 0);
  return 1;
}

int gui_resize(IE_STATE* st, IE_GUI_REQ* req) {
  for (ie_rec& it : ie_on_row(st->itms, st->img, req->row, kIeItemSize)) {
    uint8_t* p = it.data();
    if (!iw_covers(p, req->col)) continue;
    if (!check_bounds(st->nrows, st->ncols, ld_le32(p, RI_ROW), ld_le32(p, RI_COL), req->row2, req->col2)) {
      req->status = IE_GUI_REFUSED;
      return 0;
    }
    st_le32(p, IW_DROWS, req->row2), st_le32(p, IW_DCOLS, req->col2);
    if (!ie_rewrite(st->itms, p, kIeItemSize)) return ie_fail(st->itms, "Bad itm rewrite ", "IE1");
    ie_rebuild(st, true, false);
    return 1;
  }
  return 0;
}

}  // namespace

int ie_get_info(IE_GUI_REQ* req) {
  switch (req->operation) {
    case 1: return get_ie_handle(req);
    case 2: return get_itm_info(req);
    case 3: return get_nxt_ap(req);
    case 4: return get_nxt_fi(req);
    case 5: return get_nxt_fld(req);
    default: return 0;
  }
}

int ie_gui_edit(IE_GUI_REQ* req) {
  if (req->operation == 8) return 2;
  if (req->operation < 6 || req->operation > 10) return 0;
  IE_STATE* st = ie_last();
  if (!st) return 0;
  if (st->editable != '1') {
    req->status = IE_GUI_VIEW_ONLY;
    return 0;
  }
  switch (req->operation) {
    case 6: return gui_move(st, req);
    case 7: return gui_cut(st, req);
    case 9: return gui_paste(st, req);
    default: return gui_resize(st, req);
  }
}

}  // namespace kivo
