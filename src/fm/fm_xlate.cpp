// Field maps and record translation (see fm_xlate.h): the map from the
// structure file, the handle's languages, and the translation of a record
// read, field by field, through the session's work record.
//
// A map read from disk may be damaged: every field is cut to the record
// and to the work record's text areas before a byte is copied.
#include "fm/fm_xlate.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "fm/key_xfer.h"
#include "fm/struct_file.h"
#include "foundation/bytes.h"
#include "foundation/pool.h"
#include "types/element.h"

namespace kivo {

namespace {

constexpr size_t kMaxEntries = 65536;  // no record holds more distinct places
constexpr uint32_t kMaxRecOff = 0xFFFF;

// Every map of the session: a new start drops the PFBs without freeing
// them one by one.
std::vector<xlate_map*> g_maps;

bool blank3(const char* s) { return !s || memcmp(s, "   ", 3) == 0 || memcmp(s, "\0\0\0", 3) == 0; }

bool langs_differ(const ARB* arb) {
  return !blank3(arb->arb_lang) && !blank3(arb->arb_xlate) && memcmp(arb->arb_lang, arb->arb_xlate, 3) != 0;
}

void set3(char* dst, const char* src) {
  if (src) memcpy(dst, src, 3);
  else memset(dst, ' ', 3);
}

// Record `relno` of a structure file into rec; false at its end.
bool read_rel(ARB* arb, uint32_t relno, uint8_t* rec) {
  memset(rec, 0, kStructFileRecLen);
  arb->arb_rec = rec, arb->arb_len = kStructFileRecLen, arb->arb_keyno = 0;
  arb->arb_key = nullptr, arb->arb_key_end = nullptr, arb->arb_relno = relno;
  arb->arb_mod = 0, arb->arb_lock_wait = 0;
  return fm_read(arb) == 1;
}

// The entries of one field record, each occurrence at its own offset;
// occurrences that no record could hold are left out.
void add_field(xlate_map* map, const uint8_t* e, xlate_test test) {
  xlate_ent ent{};
  ent.type = e[ELEM_TYPE];
  ent.len = ld_le16(e, ELEM_SIZE);
  ent.off = ld_le16(e, ELEM_OFFSET);
  memcpy(ent.name, e + ELEM_NAME, sizeof ent.name);
  ent.xlat = test && test(e) ? 1 : 0;
  if (ent.type == 8 || ent.type == 12) ent.dec = e[ELEM_LO];
  uint32_t occurs = std::max<uint32_t>(ld_le16(e, ELEM_OCCURS), 1);
  if (ent.len == 0) occurs = 1;
  for (uint32_t k = 0; k < occurs && map->ents.size() < kMaxEntries; ++k) {
    uint32_t off = ent.off + k * uint32_t{ent.len};
    if (off > kMaxRecOff) break;
    xlate_ent x = ent;
    x.off = static_cast<uint16_t>(off);
    x.occ = static_cast<uint16_t>(k);
    x.num = static_cast<uint32_t>(map->ents.size());
    map->any = map->any || x.xlat;
    map->ents.push_back(x);
  }
}

const FDB_PATH& strm_path(const STRM* s) { return s->strm_lfb->lfb_lfn->lfn_path; }

// The record's primary key in key layout, blank filled, into the work record.
void put_key(uint8_t* w, const ARB* arb, const PFB* pfb) {
  memset(w + XL_KEY, ' ', kXlateKeyLen);
  const PKB* k = pfb_runs(pfb, 0);
  if (!k) return;
  KEY_XFER x{w + XL_KEY, arb->arb_rec, 1, 0, static_cast<uint8_t>(kXlateKeyLen), static_cast<uint8_t>(k->pkb_nruns),
             k->pkb_runs};
  fm_cpy(x);
}

// Application and version the translation is asked for: a design file's
// own source application.
void put_file(uint8_t* w, const FDB_PATH& p) {
  const bool src = is_ap(p.fdb_ap, "0AD");
  memcpy(w + XL_AP, src ? p.fdb_src_ap : p.fdb_ap, 3);
  memcpy(w + XL_VER, src ? p.fdb_src_ver : p.fdb_ver, 2);
  memcpy(w + XL_FILE, p.fdb_name, 8);
}

size_t trimmed(const uint8_t* p, size_t n) {
  while (n && p[n - 1] == ' ') --n;
  return n;
}

// Gives a locate-mode read a copy of the record of its own.
void own_copy(ARB* arb, const PFB* pfb) {
  const uint16_t size = std::max<uint16_t>(pfb->pfb_rec_len, 1);
  if (arb->arb_own_len < size) {
    if (arb->arb_own_rec) mm_free(arb->arb_own_rec);
    arb->arb_own_rec = static_cast<uint8_t*>(fm_zalloc(size));
    arb->arb_own_len = size;
  }
  const size_t n = std::min<size_t>(pfb->pfb_var ? arb->arb_var_len : pfb->pfb_rec_len, size);
  memcpy(arb->arb_own_rec, arb->arb_rec, n);
  memset(arb->arb_own_rec + n, ' ', arb->arb_own_len - n);
  arb->arb_rec = arb->arb_own_rec;
}

}  // namespace

bool bld_lang_map_helper(const uint8_t* elem) {
  return elem[ELEM_TYPE] == 1 && elem[ELEM_XLATE] == '1' && elem[ELEM_XLATE_NEXT] == 0;
}

int fm_bld_map(xlate_map* map, const FDB_PATH& path, const uint32_t* stamp, xlate_test test, uint32_t* initials) {
  if (initials) *initials = 0;
  ARB* arb = get_struct_arb(path, stamp);
  if (!arb) return 0;
  map->ents.clear();
  map->any = false;
  uint8_t rec[kStructFileRecLen];
  if (read_rel(arb, 1, rec)) {
    // Record 2 is the FILE record, then come N INITIAL records.
    if (initials) *initials = ld_le32(rec, STRUCT_N_INITIAL);
    const uint64_t first = uint64_t{ld_le32(rec, STRUCT_N_INITIAL)} + 3;
    for (uint64_t r = first; r <= UINT32_MAX && read_rel(arb, static_cast<uint32_t>(r), rec); ++r)
      if (rec[ELEM_KIND] < 2 || rec[ELEM_KIND] > 5) add_field(map, rec, test);
  }
  FM_CLOSE(arb, 0);
  return 1;
}

void fm_free_map(xlate_map* map) { delete map; }

void fm_free_pfb_map(PFB* pfb) {
  auto* map = static_cast<xlate_map*>(pfb->pfb_xlate);
  if (!map) return;
  g_maps.erase(std::find(g_maps.begin(), g_maps.end(), map));
  fm_free_map(map);
  pfb->pfb_xlate = nullptr;
}

void fm_free_all_maps() {
  for (xlate_map* m : g_maps) fm_free_map(m);
  g_maps.clear();
}

int fm_set_lang(ARB* arb, const char* base, const char* derived) {
  set3(arb->arb_lang, base);
  set3(arb->arb_xlate, derived);
  STRM* s = arb_strm_or_null(arb);
  if (!s || !langs_differ(arb)) return 1;
  PFB* pfb = strm_pfb(s);
  if (pfb->pfb_xlate) return 1;
  // A file without a structure file keeps an empty map: nothing to translate.
  auto* map = new xlate_map;
  fm_bld_map(map, strm_path(s), pfb->pfb_stamp, bld_lang_map_helper);
  pfb->pfb_xlate = map;
  g_maps.push_back(map);
  return 1;
}

int xlate_fld(ARB* arb, STRM* strm, const xlate_ent& ent, const char* fn) {
  const PFB* pfb = strm_pfb(strm);
  uint8_t* w = xlate_work_rec();
  const bool own = arb->arb_own_rec && arb->arb_rec == arb->arb_own_rec;
  const size_t cap = std::min<size_t>(own ? arb->arb_own_len : arb->arb_len, pfb->pfb_rec_len);
  const size_t end = std::min<size_t>(pfb->pfb_var ? arb->arb_var_len : pfb->pfb_rec_len, cap);
  if (ent.off >= end) return 1;  // nothing of the field is in the record
  memcpy(w + XL_FIELD, ent.name, sizeof ent.name);
  memset(w + XL_SOURCE, ' ', 2 * kXlateTextLen);
  const bool cut = ent.off + size_t{ent.len} >= end;
  const size_t have = std::min({size_t{ent.len}, end - ent.off, kXlateTextLen});
  const size_t fld_len = std::min({size_t{ent.len}, cut ? cap - ent.off : size_t{ent.len}, kXlateTextLen});
  uint8_t* at = arb->arb_rec + ent.off;
  memcpy(w + XL_SOURCE, at, have);
  memcpy(w + XL_RESULT, at, have);
  st_le32(w, XL_FLD_LEN, static_cast<uint32_t>(fld_len));
  call_xlate(fn);
  memcpy(at, w + XL_RESULT, fld_len);
  if (cut && pfb->pfb_var) arb->arb_var_len = static_cast<uint16_t>(ent.off + trimmed(w + XL_RESULT, fld_len));
  return 1;
}

int xlate_rec(const xlate_map* map, ARB* arb, STRM* strm, const char* fn) {
  if (!map || !map->any || !langs_differ(arb) || xlate_running()) return 1;
  xlate_guard g;      // files the subroutine reads, even while it loads, stay as stored
  load_xlate_proc();  // without a subroutine the pseudo-languages work alone
  uint8_t* w = xlate_work_rec();
  memcpy(w + XL_BASE, arb->arb_lang, 3);
  memcpy(w + XL_DERIVED, arb->arb_xlate, 3);
  put_file(w, strm_path(strm));
  st_le32(w, XL_KIND, XLATE_KIND_RECORD);
  put_key(w, arb, strm_pfb(strm));
  for (const xlate_ent& e : map->ents)
    if (e.xlat && !xlate_fld(arb, strm, e, fn)) return 0;
  return 1;
}

void decode_rec(ARB* arb) {
  STRM* s = arb_strm_or_null(arb);
  if (!s || !arb->arb_rec) return;
  PFB* pfb = strm_pfb(s);
  auto* map = static_cast<const xlate_map*>(pfb->pfb_xlate);
  if (!map || !map->any || !langs_differ(arb) || xlate_running()) return;
  if (arb->arb_mod & ARB_LOCATE) own_copy(arb, pfb);
  xlate_rec(map, arb, s, "BTOD");
}

bool encode_rec(ARB* arb, std::vector<uint8_t>* copy) {
  STRM* s = arb_strm_or_null(arb);
  // A locate-mode write hands its block to the file: no copy may stand in.
  if (!s || !arb->arb_rec || (arb->arb_mod & ARB_LOCATE)) return false;
  PFB* pfb = strm_pfb(s);
  auto* map = static_cast<const xlate_map*>(pfb->pfb_xlate);
  if (!map || !map->any || !langs_differ(arb) || xlate_running()) return false;
  const size_t span = arb->arb_len ? std::min(arb->arb_len, pfb->pfb_rec_len) : pfb->pfb_rec_len;
  copy->assign(arb->arb_rec, arb->arb_rec + span);
  const uint16_t var = arb->arb_var_len;
  arb->arb_rec = copy->data();
  // A length left to the trim covers the whole record while it is translated.
  if (pfb->pfb_var && var == 0) arb->arb_var_len = static_cast<uint16_t>(span);
  xlate_rec(map, arb, s, "DTOB");
  if (var == 0) arb->arb_var_len = 0;
  return true;
}

}  // namespace kivo
