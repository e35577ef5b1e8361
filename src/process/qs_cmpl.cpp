// Compiling a query's sort: its sort lines become sort element records (a
// group gives one per elementary member), read back into key descriptors
// with the level table; the record identifier becomes segments of the
// alternate key field, or the PCF's record id.
//
// The fields are compiled into the selection module, whose compile ends
// here: the descriptors take their null values from its constants and its
// files' initial records, which exist only once the module is finished.
// Map: sort elements (element file, groups), identifier, null values,
// comp_dlf, cmpl_sort.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/em_records.h"
#include "compiler/pc_celem.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/paths.h"
#include "foundation/sys_err.h"
#include "process/pb_slct.h"
#include "process/pi.h"
#include "process/qs.h"
#include "types/element.h"
#include "types/element_view.h"

namespace kivo {

namespace {

constexpr const char* kModule = "PBSORT";
constexpr uint32_t kElemFileOptions = LFB_SCOPED | LFB_NO_STRUCT_CHK | LFB_ANY_DIR;
constexpr uint8_t kElemKey = 2;  // ELEMENT by file and sequence

const char* chars(const uint8_t* p) { return reinterpret_cast<const char*>(p); }

bool blank(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ' && p[i] != 0) return false;
  return true;
}

// ---- groups ----

// Compiles each elementary member of the group `gelem` (its ELEMENT record;
// `gout` its pc_fld output) read from `ap`/`ver`'s ELEMENT file, calling
// `each` with the member's pc_fld output. 0 after a reported failure.
template <class Each>
int each_member(PC_CTX* ctx, const char* ver, const uint8_t* gelem, const uint8_t* gout, Each each) {
  const char* ap = celem_view(gout + PCF_CELEM).ap();
  ARB* a = pc_open_delem(ap, ver, com.mark_scope);
  if (!a) return 0;
  // A member sits in the group's bytes; an occurrence of the group moves it.
  const elem_view group(gelem);
  const uint32_t from = group.offset(), to = from + group.size();
  const int32_t shift = int32_t(celem_view(gout + PCF_CELEM).offset()) - int32_t(from);
  uint8_t e[kElementSize] = {};
  memcpy(e + ELEM_FILE, gelem + ELEM_FILE, 8);
  st_le32(e, ELEM_SEQ, group.seq() + 1);
  a->arb_mod = 0, a->arb_keyno = kElemKey, a->arb_rec = e, a->arb_key = nullptr, a->arb_key_end = nullptr;
  int ok = 1;
  if (fm_start(a)) {
    for (a->arb_mod = 0, a->arb_len = kElementSize; ok && fm_rdnxt(a); a->arb_mod = 0) {
      const elem_view member(e);
      const uint32_t off = member.offset();
      if (memcmp(member.file(), group.file(), 8) || off < from || off >= to) break;
      if (member.kind() == ELEM_KIND_GROUP || member.kind() == ELEM_KIND_NO_STORAGE) continue;
      uint8_t out[kPcFldOut];
      if (!pc_fld(ap, member.name(), pc_occ{0, PC_OCC_NONE, {}}, out, ctx)) {
        sys_err(kModule, __LINE__, "can't compile group element");
        ok = 0;
        break;
      }
      uint8_t* c = out + PCF_CELEM;
      const celem_view was(c);
      st_le16(c, CEL_OFF, uint16_t(was.offset() + shift));
      st_le16(c, CEL_ADDR + 2, uint16_t(was.area_offset() + shift));
      ok = each(out);
    }
  }
  FM_CLOSE(a, 0);
  return ok;
}

// ---- sort elements ----

int put_elem(ARB* a, uint8_t level, uint8_t order, const uint8_t* fld) {
  uint8_t se[kSortElemLen] = {};
  se[SE_LEVEL] = level, se[SE_ORDER] = order;
  if (fld) memcpy(se + SE_FLD, fld, kPcFldOut);
  a->arb_rec = se, a->arb_len = a->arb_var_len = kSortElemLen, a->arb_mod = 0;
  if (fm_write(a)) return 1;
  sys_err(kModule, __LINE__, "write sort_elem");
  return 0;
}

// One sort line into its elements; 0 after a reported failure.
int line_elems(QRY_SLCT* s, ARB* se, const uint8_t* line, uint8_t level) {
  const uint16_t occ = ld_le16(line, QSORT_OCC);
  uint8_t out[kPcFldOut], elem[kElementSize];
  if (!pc_fld(chars(line + QSORT_F_AP), chars(line + QSORT_F_NAME), pc_occ{occ, occ ? PC_OCC_NUM : PC_OCC_NONE, {}},
              out, &s->ctx, elem)) {
    std::string name(chars(line + QSORT_F_NAME), 22);
    name.erase(name.find_last_not_of(' ') + 1);
    sys_err(kModule, __LINE__, "bad sort field name: %s of %.3s is no field", name.c_str(), chars(line + QSORT_F_AP));
    return 0;
  }
  const uint8_t order = line[QSORT_ORDER];
  switch (out[PCF_KIND]) {
    case ELEM_KIND_DOMAIN:
    case ELEM_KIND_SUBSTRING:
    case ELEM_KIND_SYNONYM: return put_elem(se, level, order, out);
    case ELEM_KIND_GROUP:
      return each_member(&s->ctx, s->ver, elem, out, [&](const uint8_t* m) { return put_elem(se, level, order, m); });
    case ELEM_KIND_NO_STORAGE: return 1;
    default: sys_err(kModule, __LINE__, "cmpl_sort() - unexpected case switch"); return 0;
  }
}

// The used sort lines into the element file, then the closing element;
// the number of sort levels, -1 after a failure.
int sort_elems(QRY_SORT* q, QRY_SLCT* s, ARB* se) {
  ARB* a = q->qsort_arb;
  uint8_t line[kQsortLen];
  a->arb_mod = ARB_FIRST, a->arb_keyno = 0, a->arb_key = nullptr, a->arb_key_end = nullptr;
  if (!fm_start(a)) return sys_err(kModule, __LINE__, "can't start qsort file"), -1;
  int levels = 0;
  for (a->arb_mod = 0, a->arb_rec = line, a->arb_len = kQsortLen; fm_rdnxt(a); a->arb_mod = 0, a->arb_rec = line) {
    if (ld_le32(line, QSORT_SEQ) == 0 || line[QSORT_OFF] == '0') continue;
    ++levels;  // a line that gives no element still takes its level
    if (!line_elems(s, se, line, uint8_t(levels))) return -1;
  }
  // Sort lines left unread would sort the records in another order.
  if (a->arb_stat != FM_EOF) return checkstat(a->arb_stat, "can't read qsort file", kModule, __LINE__), -1;
  return put_elem(se, 0, '+', nullptr) ? levels : -1;
}

// Descriptors from the element file in its order; the closing element ends
// the key and builds the level table.
int read_elems(QRY_SORT* q, ARB* se, uint16_t levels) {
  uint8_t rec[kSortElemLen];
  se->arb_mod = ARB_FIRST, se->arb_keyno = 0, se->arb_key = nullptr, se->arb_key_end = nullptr;
  if (!fm_start(se)) return sys_err(kModule, __LINE__, "can't start sort_elem file"), 0;
  for (se->arb_mod = 0, se->arb_rec = rec, se->arb_len = kSortElemLen; fm_rdnxt(se); se->arb_mod = 0) {
    if (celem_view(rec + size_t{SE_FLD} + PCF_CELEM).type() == 0) qs_close_key(q, levels);
    else qs_add_elem(q, rec);  // a type without a key is reported and left out
  }
  return 1;
}

// ---- identifier ----

void add_seg(QRY_SORT* q, const uint8_t* out) {
  const uint8_t* c = out + PCF_CELEM;
  const uint16_t len = celem_view(c).size();
  q->ids.push_back({q->field_addr ? q->field_addr(q->ctx, c) : q->rec_area + celem_view(c).offset(), len});
  q->id_len += len;
}

using fld_out = std::array<uint8_t, kPcFldOut>;

// The alternate file's key field as compiled fields (a group: its members);
// none for the PCF's record id. 0 after a reported failure.
int cmpl_id(QRY_SLCT* s, std::vector<fld_out>* segs) {
  EM* em = s->em;
  if (blank(em->em_alt_ap, sizeof em->em_alt_ap)) return 1;
  uint8_t cfi[CFI_LEN], elem[kElementSize];
  fld_out out;
  const uint8_t* cap = pc_ap(em->em_alt_ap, em, &s->ctx);
  if (!cap || !pc_fi(cap, em->em_alt_fi, cfi, &s->ctx) ||
      !pc_fld(em->em_alt_ap, em->em_alt_key, pc_occ{0, PC_OCC_NONE, {}}, out.data(), &s->ctx, elem)) {
    sys_err(kModule, __LINE__, "can't compile the alternate key");
    return 0;
  }
  if (out[PCF_KIND] != ELEM_KIND_GROUP) return segs->push_back(out), 1;
  // A system application's design is under "00", any other's under the module's version.
  const char* ver = IS_BOB_AP(em->em_alt_ap) ? "00" : s->ver;
  return each_member(&s->ctx, ver, elem, out.data(), [&](const uint8_t* m) {
    std::copy(m, m + kPcFldOut, out.begin());
    return segs->push_back(out), 1;
  });
}

// The identifier: segments once the module's areas are known, else the
// PCF's record id.
void set_id(QRY_SORT* q, const std::vector<fld_out>& segs) {
  q->ids.clear(), q->id_len = 0;
  for (const fld_out& f : segs) add_seg(q, f.data());
  if (segs.empty()) q->id_len = q->pcf_arb ? q->pcf_arb->arb_rec_id_len : 0;
}

// ---- null values from the module ----

const AREA_DESC* area_of(const EM* em, uint32_t area_no) {
  for (const AREA_DESC* a = em->em_area_tbl; a && a < em->em_area_tbl + em->em_area_cnt; ++a)
    if (a->area_no == area_no) return a;
  return nullptr;
}

// Source 1: the field's bytes in its file's initial record; 2: the field's
// initial-value constant.
int module_null(QRY_SORT* q, const uint8_t* celem, std::vector<uint8_t>* out) {
  const celem_view ce(celem);
  const uint16_t size = ce.size();
  const uint8_t* src = nullptr;
  if (ce.null_src() == CEL_NULL_FROM_FILE) {
    const AREA_DESC* ad = area_of(q->em, ce.area());
    const uint8_t* rec = ad ? pi_dflt_rec(q->em, ad) : nullptr;
    if (!rec) return sys_err(kModule, __LINE__, "cant' find cfi_rec"), 0;
    const uint32_t off = ce.area_offset();
    if (off + size > ad->size) return 0;
    src = rec + off;
  } else {
    src = CNST_RLOC(q->em, ce.init_const());
    if (!src) return sys_err(kModule, __LINE__, "can't find cfld_rec"), 0;
  }
  out->assign(src, src + size);
  return 1;
}

}  // namespace

void INIT_SORT_ELEM_FDB(FDB* fdb) {
  INIT_FDB(fdb, FS_MEMORY, kSortElemLen, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&fdb->path, "PB", "SE", PATH_DATA);
}

int qs_module_null(QRY_SORT* q, const uint8_t* celem, std::vector<uint8_t>* out) {
  return q->em ? module_null(q, celem, out) : 0;
}

int comp_dlf(const AREA_DESC* a, const AREA_DESC* b) {
  int c = a->kind != b->kind ? (a->kind < b->kind ? -1 : 1) : memcmp(a->ap, b->ap, 3);
  if (!c && a->number != b->number) c = a->number < b->number ? -1 : 1;
  if (!c && a->type != b->type) c = a->type < b->type ? -1 : 1;
  if (!c && a->rel_off != b->rel_off) c = a->rel_off < b->rel_off ? -1 : 1;
  return c < 0 ? -1 : c > 0;
}

int cmpl_sort(QRY_SORT* q, QRY_SLCT* s) {
  FDB fdb;
  INIT_SORT_ELEM_FDB(&fdb);
  fdb.path.fdb_tmp_id = com.mark_scope;
  if (!FM_CREATE(&fdb, com.mark_scope, 0, kElemFileOptions | LFB_OPEN_NEW, 15, 0)) {
    sys_err(kModule, __LINE__, "can't create sort_elem file");
    return 0;
  }
  ARB* se = fdb.fdb_arb;
  q->desc.clear(), q->key_len = 0, q->executed = false;
  std::vector<fld_out> segs;
  const int levels = sort_elems(q, s, se);
  int ok = levels >= 0 && cmpl_id(s, &segs) && pb_slct_finish(s);
  if (ok) {
    q->em = s->em;
    ok = read_elems(q, se, uint16_t(levels));
    set_id(q, segs);
  }
  if (!FM_CLOSE(se, ARB_SCRATCH)) sys_err(kModule, __LINE__, "can't trash sort_elem_arb");
  return ok;
}

}  // namespace kivo
