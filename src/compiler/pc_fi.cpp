// Compiled files and fields: the CFI record of a file with its key records,
// its areas and the FL records of its fields; the PCF's key fields (PK).
//
// Invariant: one CFI and one FL record per file and field of a module; a
// second reference finds the first record again (by key) and gets its number.
#include <cstring>
#include <string>
#include <utility>

#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/em_file.h"
#include "compiler/em_records.h"
#include "compiler/file_desc.h"
#include "compiler/pc.h"
#include "fm/file_rec_view.h"
#include "fm/fm_objects.h"
#include "fm/fm_xlate.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/text.h"
#include "types/element_view.h"
#include "types/typed_value.h"

namespace kivo {

namespace {

// The record number of the record a read or write of `arb` just reached.
uint32_t last_recno(const ARB* arb) {
  return arb->arb_rec_id_area && arb->arb_rec_id_len >= 8 ? ld_le32(arb->arb_rec_id_area, 4) + 1 : 0;
}

bool blank(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

// ELEMENT `seq` of file `file` (key 2). False past the file's last field,
// and on a read that failed (the compile's error then): a walk by sequence
// stops at either.
bool file_elem(PC_CTX* ctx, const char* ap, const uint8_t* file, uint32_t seq, uint8_t* elem) {
  memset(elem, 0, kElementSize);
  memcpy(elem + ELEM_FILE, file, 8);
  st_le32(elem, ELEM_SEQ, seq);
  return pc_design_rec(ctx, ap, PC_DELEM, 2, elem, kElementSize) != 0;
}

bool read_elem(void* ctx, const uint8_t* file, uint32_t seq, uint8_t* elem) {
  auto* c = static_cast<std::pair<PC_CTX*, const char*>*>(ctx);
  return file_elem(c->first, c->second, file, seq, elem);
}

// The native descriptor of the file of FILE record `fi`; the field of each
// segment into `fields` (key by key).
bool file_fdb(PC_CTX* ctx, const char* ap, const uint8_t* fi, FDB* fdb, KDB* kdb, SDB* sdb, uint32_t* fields) {
  std::pair<PC_CTX*, const char*> reader{ctx, ap};
  std::string why;
  if (!bld_file_fdb(fi, read_elem, &reader, fdb, kdb, sdb, kMaxKeySegs + kFdbMaxSegsPerKey, fields, &why))
    return pc_err(ctx, "%s", why.c_str());
  char a[4] = {}, v[3] = {}, n[9] = {};
  memcpy(a, ap, 3), memcpy(v, IS_BOB_AP(ap) ? "00" : ctx->ver, 2), memcpy(n, fi + FI_NAME, 8);
  INIT_DB_PATH(&fdb->path, "   ", a, v, n, PATH_DATA);
  // The runtime's own memory files of "0LA" (ENTRY, ERROR, the query work
  // files) are made with the runtime's path, which names no source: the
  // compiled file must be that same file.
  if (memcmp(a, "0LA", 3) != 0 || fdb->fdb_fs_type != FS_MEMORY)
    memcpy(fdb->path.fdb_src_ap, a, 3), memcpy(fdb->path.fdb_src_ver, v, 2);
  fdb->fdb_shr = 0x0f, fdb->fdb_opt = 0;
  return true;
}

// The PK records of the PCF: each key segment with its field's FL record.
bool pcf_keys(PC_CTX* ctx, const char* ap, const uint8_t* fi, const FDB& fdb, const uint32_t* fields) {
  for (int k = 0, at = 0; k < fdb.fdb_nkeys; ++k)
    for (int s = 0; s < fdb.fdb_kdb[k].kdb_nsegs; ++s, ++at) {
      uint8_t e[kElementSize], pk[PK_LEN];
      if (!file_elem(ctx, ap, fi + FI_NAME, fields[at], e)) return pc_err(ctx, "PCF key field %u lost", fields[at]);
      uint32_t fl = pc_fl(ctx, ap, e, 0, 0);
      st_le16(pk, PK_KEY, static_cast<uint16_t>(k)), st_le16(pk, PK_SEG, static_cast<uint16_t>(s + 1));
      st_le32(pk, PK_FLD, fl);
      if (!fl || !em_append(ctx->em, EM_PK, pk, PK_LEN)) return pc_err(ctx, "PCF key record not written");
    }
  return true;
}

// FL records of every field of the file.
bool file_fields(PC_CTX* ctx, const char* ap, const uint8_t* fi, uint32_t area) {
  uint8_t e[kElementSize];
  for (uint32_t seq = 1; file_elem(ctx, ap, fi + FI_NAME, seq, e); ++seq)
    if (!pc_fl(ctx, ap, e, area, elem_view(e).offset())) return false;
  return ctx->err_cnt == 0;
}

// Whether the file holds a field that is translated between languages: a
// process that opens it reads it in the session's language.
bool lang_dependent(PC_CTX* ctx, const char* ap, const uint8_t* fi) {
  uint8_t e[kElementSize];
  for (uint32_t seq = 1; file_elem(ctx, ap, fi + FI_NAME, seq, e); ++seq)
    if (bld_lang_map_helper(e)) return true;
  return false;
}

// The file area of an opened file: at the file's second number, so that its
// block has an SAA entry of its own beside the record area at the first.
uint32_t file_area(PC_CTX* ctx, const char* ap, const uint8_t* fi) {
  const uint32_t no = file_rec_view(fi).number2();
  if (!no || no == file_rec_view(fi).number())
    return pc_err(ctx, "file %.8s of %.3s has no second number for its file area", fi + FI_NAME, ap);
  return pc_area(ctx, static_cast<uint8_t>(no / kAreaSpan), ap, no % kAreaSpan, kFileBlkSize, 1, 0,
                 file_rec_view(fi).area_class());
}

// A new CFI record: descriptor, numbers, areas, stamp.
bool new_cfi(PC_CTX* ctx, const char* ap, const uint8_t* fi, uint8_t use, uint8_t access, uint8_t* cfi) {
  FDB fdb;
  KDB kdb[kFileMaxKeys];
  SDB sdb[kMaxKeySegs + kFdbMaxSegsPerKey];
  uint32_t fields[kMaxKeySegs + kFdbMaxSegsPerKey];
  if (!file_fdb(ctx, ap, fi, &fdb, kdb, sdb, fields)) return false;
  const uint32_t no = file_rec_view(fi).number();
  const uint8_t kind = static_cast<uint8_t>(no / kAreaSpan);
  const file_rec_view file(fi);
  const uint32_t rec_area = pc_area(ctx, kind, ap, no % kAreaSpan, file.rec_len(), 0, 1, file.area_class());
  uint32_t fb_area = 0;
  if (use == PC_FI_OPENED) fb_area = file_area(ctx, ap, fi);
  if (!rec_area || (use == PC_FI_OPENED && !fb_area)) return false;
  if (use != PC_FI_OPENED) fdb.fdb_fs_type = 0;
  fdb.fdb_acc = access;
  memset(cfi, 0, CFI_LEN);
  st_le32(cfi, CFI_FILE_NO, no);
  st_le32(cfi, CFI_FILE_NO2, file_rec_view(fi).number2());
  st_le32(cfi, CFI_REC_AREA, rec_area);
  st_le32(cfi, CFI_FB_AREA, fb_area);
  st_le32(cfi, CFI_SECR_OFF, 0xFFFFFFFF);
  memcpy(cfi + CFI_STAMP, fi + FI_STAMP, 8);
  if (use == PC_FI_OPENED) cfi[CFI_LANG_DEP] = lang_dependent(ctx, ap, fi) ? 1 : 0;
  if (!em_cfi_add(ctx->em, fdb, cfi)) return pc_err(ctx, "compiled file %.8s not written", fi + FI_NAME);
  if (use != PC_FI_RECORD && !file_fields(ctx, ap, fi, rec_area)) return false;
  const bool pcf = memcmp(ctx->em->em_pcf_ap, ap, 3) == 0 && ctx->em->em_pcf_id == no;
  return !pcf || pcf_keys(ctx, ap, fi, fdb, fields);
}

// A file first compiled for its fields and now opened gets its file area
// and its file-system type.
bool raise_to_opened(PC_CTX* ctx, const char* ap, uint8_t* cfi, uint8_t access) {
  if (cfi_view(cfi).fb_area()) return true;
  uint8_t fi[kFileRecSize] = {};
  memcpy(fi + FI_NAME, cfi_view(cfi).name(), 8);
  if (!pc_design_rec(ctx, ap, PC_DFILE, 0, fi, kFileRecSize)) return pc_err(ctx, "file %.8s of %.3s not found", fi, ap);
  const uint32_t area = file_area(ctx, ap, fi);
  if (!area) return false;
  st_le32(cfi, CFI_FB_AREA, area);
  cfi[CFI_LANG_DEP] = lang_dependent(ctx, ap, fi) ? 1 : 0;
  cfi[size_t{CFI_FDB} + FDB_FS_TYPE] = file_rec_view(fi).fs_type();
  cfi[size_t{CFI_FDB} + FDB_ACC] = access;
  return true;
}

}  // namespace

uint32_t pc_fl(PC_CTX* ctx, const char* ap, const uint8_t* elem, uint32_t area, uint16_t offset) {
  const elem_view el(elem);
  EM* em = ctx->em;
  uint8_t fl[CFLD_LEN] = {};
  memcpy(fl + CFLD_AP, ap, 3);
  memcpy(fl + CFLD_NAME, el.name(), 22);
  uint8_t key[CFLD_LEN];
  memcpy(key, fl, CFLD_LEN);
  if (em_read_key(em->em_cfld_arb, 0, key)) return last_recno(em->em_cfld_arb);
  if (!area) return pc_err(ctx, "field %.22s has no area", el.name());
  const uint16_t size = el.size();
  memcpy(fl + CFLD_ELEM, elem + ELEM_NUMBER, 4);
  st_le16(fl, CFLD_OFF, offset);
  fl[CFLD_KIND] = el.kind();
  fl[CFLD_TYPE] = el.type();
  st_le16(fl, CFLD_SIZE, size);
  memcpy(fl + CFLD_OCCURS, elem + ELEM_OCCURS, 2);
  fl[CFLD_SIGNED] = elem[ELEM_SIGNED];
  fl[CFLD_HI] = el.hi();
  fl[CFLD_LO] = el.lo();
  st_le32(fl, CFLD_AREA, area);
  memcpy(fl + CFLD_STAMP, elem + ELEM_STAMP, 8);
  std::string why;
  std::string value(size ? size : 1, ' ');
  auto* v = reinterpret_cast<uint8_t*>(value.data());
  // A group header holds no value of its own: blanks over its bytes.
  if (el.kind() == ELEM_KIND_DOMAIN && !elem_init_value(elem, v, &why))
    return pc_err(ctx, "field %.22s: %s", el.name(), why.c_str());
  const bool blank_alpha = (IS_ELEM_ALP(el.type()) || el.kind() != ELEM_KIND_DOMAIN) && blank(v, value.size());
  uint32_t init = blank_alpha ? kComBlanks : bld_cnst(&ctx->bld, v, static_cast<uint16_t>(value.size()));
  if (!init) return pc_err(ctx, "field %.22s: initial value not stored", el.name());
  st_le32(fl, CFLD_INIT, init);
  if (el.has_null() && el.kind() == ELEM_KIND_DOMAIN) {
    if (!elem_null_value(elem, v, &why)) return pc_err(ctx, "field %.22s: %s", el.name(), why.c_str());
    uint32_t nv = bld_cnst(&ctx->bld, v, static_cast<uint16_t>(value.size()));
    if (!nv) return pc_err(ctx, "field %.22s: null value not stored", el.name());
    st_le32(fl, CFLD_NULL, nv);
  }
  const uint32_t no = em_append(em, EM_FL, fl, CFLD_LEN);
  if (!no) return pc_err(ctx, "compiled field %.22s not written", el.name());
  ++em->em_fld_cnt;
  return no;
}

int pc_file_elem(PC_CTX* ctx, const char* ap, const uint8_t* file, uint32_t seq, uint8_t* elem) {
  return file_elem(ctx, ap, file, seq, elem) ? 1 : 0;
}

int pc_fi(const uint8_t* cap, const char* name, uint8_t* out, PC_CTX* ctx, uint8_t use, uint8_t access) {
  if (ctx->err_cnt) return 0;
  const char* ap = reinterpret_cast<const char*>(cap + CAP_AP);
  uint8_t key[CFI_LEN] = {};
  memcpy(key + size_t{CFI_FDB} + FDB_AP, ap, 3);
  memcpy(key + size_t{CFI_FDB} + FDB_NAME, name, 8);
  if (uint8_t* have = em_read_key(ctx->em->em_cfi_arb, 0, key)) {
    if (use == PC_FI_OPENED && !raise_to_opened(ctx, ap, have, access)) return 0;
    memcpy(out, have, CFI_LEN);
    return 1;
  }
  uint8_t fi[kFileRecSize] = {};
  memcpy(fi + FI_NAME, name, 8);
  if (!pc_design_rec(ctx, ap, PC_DFILE, 0, fi, kFileRecSize))
    return pc_err(ctx, "file %.8s of %.3s not found", name, ap);
  return new_cfi(ctx, ap, fi, use, access, out) ? 1 : 0;
}

}  // namespace kivo
