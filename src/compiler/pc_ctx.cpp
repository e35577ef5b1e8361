// The compile context: its work file of errors, the design files a compile
// reads, the data areas with their LF records, the compiled applications,
// and the run-time tables pc_cmpl_finish builds.
//
// Invariant: an area's LF record is written when the area is made and never
// changed, so LF read in key order is the `comp_dlf` order of em_area_tbl.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/em_file.h"
#include "compiler/em_records.h"
#include "compiler/pc.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/maddr.h"
#include "foundation/text.h"

namespace kivo {

namespace {

constexpr uint16_t kErrLine = 80;
constexpr size_t kErrFormatted = 512;                                  // a message before its blanks close up
constexpr size_t kApplSize = 324, kApplConv = 188, kApplConvLen = 66;  // APPL bytes 188-253

// The system records in area order, 1-17.
const char* const kSysFiles[kSysAreas] = {"OUTDFLT",  "INDEX", "INTRPT",  "SYS04",  "DBAPPL", "SYS06",
                                          "PROCWORK", "SYS08", "DBAREA",  "SYS10",  "PROCID", "SYS12",
                                          "PCFDFLT",  "SYS14", "QRYMODE", "USERID", "RANGE"};

uint32_t g_ctx_serial;  // contexts prepared so far: names their work files

void put_fixed_text(char* dst, size_t width, const char* s) {
  size_t n = strnlen(s, width);
  memcpy(dst, s, n);
  memset(dst + n, ' ', width - n);
}

// A memory work file "PC" of `len`-byte records, unique to this context.
ARB* work_file(const char* tag, uint16_t len) {
  FDB fdb;
  INIT_FDB(&fdb, FS_MEMORY, len, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&fdb.path, "PC", tag, PATH_DATA);
  uint32_t serial = ++g_ctx_serial;
  memcpy(fdb.path.fdb_name, tag, 2);
  for (int i = 7; i >= 2; --i, serial /= 36) fdb.path.fdb_name[i] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[serial % 36];
  return FM_CREATE(&fdb, com.mark_scope, 0, LFB_OPEN_NEW, 0x0f, 0x0f) ? fdb.fdb_arb : nullptr;
}

const pc_dfdb_init kDfileInit[kPcDfiles] = {INIT_DFI_FDB, INIT_DELEM_FDB, INIT_DBITMAP_FDB, INIT_DTOKEN_FDB,
                                            INIT_DSTMT_FDB};

// The highest sequence of data area `kind` that the application's BITMAP
// has given out; 0 when it has none.
uint32_t bitmap_high(PC_CTX* ctx, const char* ap, int kind) {
  uint8_t page[kBitmapSize] = {};
  st_le32(page, BM_AREA, static_cast<uint32_t>(kind));
  st_le32(page, BM_PAGE, 1);
  return pc_design_rec(ctx, ap, PC_DBITMAP, 0, page, kBitmapSize) ? ld_le32(page, BM_HIGH) : 0;
}

// The conversion settings of the application's APPL record, blank without one.
void appl_settings(const char* ap, uint8_t* out) {
  SET_BLANK(out, kApplConvLen);
  auto* arb = static_cast<ARB*>(com.dap_stream);
  if (!arb) return;
  uint8_t appl[kApplSize] = {};
  memcpy(appl, ap, 3);
  if (pc_read(arb, 0, appl, kApplSize)) memcpy(out, appl + kApplConv, kApplConvLen);
}

// The area table from LF in key order; area numbers index nothing here.
bool build_area_tbl(EM* em) {
  auto* tbl = static_cast<AREA_DESC*>(MM_ALLOC(em->em_pool, (em->em_area_cnt + 1) * sizeof(AREA_DESC)));
  if (!tbl) return false;
  ARB* lf = em->em_dlf_arb;
  uint8_t rec[DLF_LEN] = {};
  lf->arb_rec = rec, lf->arb_len = DLF_LEN, lf->arb_keyno = 0, lf->arb_key = nullptr, lf->arb_mod = ARB_FIRST;
  uint32_t n = 0;
  if (fm_start(lf)) {
    lf->arb_mod = 0;
    while (n < em->em_area_cnt && fm_rdnxt(lf)) memcpy(&tbl[n++], rec, DLF_LEN);
  }
  em->em_area_tbl = tbl;
  return n == em->em_area_cnt;
}

// Record addresses of a sub-file without keys, by number from 1.
uint8_t** by_number(EM* em, ARB* arb, uint32_t count) {
  auto** t = static_cast<uint8_t**>(MM_ALLOC(em->em_pool, (count + 1) * sizeof(uint8_t*)));
  if (!t) return nullptr;
  t[0] = nullptr;
  for (uint32_t i = 1; i <= count; ++i)
    if (!(t[i] = MADDR(arb, i))) return nullptr;
  return t;
}

// The file name of design file `init` of `ap` for a message.
std::string design_name(const PC_CTX* ctx, pc_dfdb_init init, const char* ap) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  init(&fdb, kdb, sdb, ap, IS_BOB_AP(ap) ? "00" : ctx->ver);
  return std::string(fdb.path.fdb_name, strnlen(fdb.path.fdb_name, sizeof fdb.path.fdb_name));
}

void close_all(PC_CTX* ctx) {
  if (ctx->err_arb) FM_CLOSE(ctx->err_arb, ARB_SCRATCH);
  ctx->err_arb = nullptr;
  for (pc_design_aps& d : ctx->design)
    for (ARB*& a : d.arb) {
      if (a) FM_CLOSE(a, 0);
      a = nullptr;
    }
}

}  // namespace

int pc_err(PC_CTX* ctx, const char* fmt, ...) {
  // Formatted whole, then closed up, then cut to the error line: padded
  // names do not push the end of the text off the line.
  char line[kErrFormatted];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  // Names come blank-padded: one blank stands for each run of them.
  size_t n = 0;
  for (size_t i = 0; line[i]; ++i)
    if (line[i] != ' ' || (n && line[n - 1] != ' ')) line[n++] = line[i];
  line[n] = 0;
  uint8_t rec[kErrLine];
  put_fixed_text(reinterpret_cast<char*>(rec), kErrLine, line);
  if (ctx->err_cnt++ == 0) memcpy(ctx->err_text, rec, kErrLine);
  if (ARB* a = ctx->err_arb; a && ctx->err_lines < kPcErrMax) {
    ++ctx->err_lines;
    a->arb_mod = 0, a->arb_rec = rec, a->arb_len = kErrLine, a->arb_var_len = 0;
    fm_write(a);
  }
  return 0;
}

ARB* pc_design(PC_CTX* ctx, const char* ap, pc_dfile f) {
  pc_design_aps* slot = nullptr;
  for (pc_design_aps& d : ctx->design) {
    if (memcmp(d.ap, ap, 3) == 0) {
      slot = &d;
      break;
    }
    if (!slot && d.ap[0] == 0) slot = &d;
  }
  if (!slot) return pc_err(ctx, "more than %d applications in one compile", kPcDesignAps), nullptr;
  if (slot->ap[0] == 0) memcpy(slot->ap, ap, 3);
  if (memcmp(slot->ap, ap, 3) != 0) return nullptr;
  if (slot->arb[f] || slot->absent[f]) return slot->arb[f];
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  kDfileInit[f](&fdb, kdb, sdb, ap, IS_BOB_AP(ap) ? "00" : ctx->ver);
  if (pc_memory_design(ap)) fdb.fdb_fs_type = FS_MEMORY;
  if (FM_OPEN(&fdb, com.mark_scope, LFB_ANY_DIR, 0x01, 0x0f)) return slot->arb[f] = fdb.fdb_arb;
  // No file: the design has no records of this kind.
  if (fdb.fdb_stat == FM_NO_FILE) return slot->absent[f] = 1, nullptr;
  pc_design_err(ctx, kDfileInit[f], ap, fdb.fdb_stat);
  return nullptr;
}

int pc_design_err(PC_CTX* ctx, pc_dfdb_init init, const char* ap, uint32_t stat) {
  return pc_err(ctx, "design file %s of %.3s not opened (%s)", design_name(ctx, init, ap).c_str(), ap,
                la_status_text(stat).c_str());
}

bool pc_read_failed(uint32_t stat) { return stat != FM_EOF && stat != FM_NOT_FOUND; }

int pc_read_end(PC_CTX* ctx, pc_dfdb_init init, const char* ap, uint32_t stat) {
  if (!pc_read_failed(stat)) return 1;
  return pc_err(ctx, "design file %s of %.3s could not be read (%s)", design_name(ctx, init, ap).c_str(), ap,
                la_status_text(stat).c_str());
}

bool pc_design_absent(const PC_CTX* ctx, const char* ap, pc_dfile f) {
  for (const pc_design_aps& d : ctx->design)
    if (memcmp(d.ap, ap, 3) == 0) return d.absent[f] != 0;
  return false;
}

ARB* pc_open_delem(const char* ap, const char* ver, uint32_t scope, uint32_t* status) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DELEM_FDB(&fdb, kdb, sdb, ap, ver);
  if (pc_memory_design(ap)) fdb.fdb_fs_type = FS_MEMORY;
  const bool opened = FM_OPEN(&fdb, scope, LFB_ANY_DIR, 0x01, 0x0f);
  if (status) *status = opened ? 0 : fdb.fdb_stat;
  return opened ? fdb.fdb_arb : nullptr;
}

int pc_read(ARB* arb, uint8_t keyno, uint8_t* rec, uint16_t len) {
  PROTO_FULL(arb, keyno, rec);
  arb->arb_len = len;
  arb->arb_mod = ARB_EQUAL;
  int ok = fm_read(arb);
  arb->arb_mod = 0;
  return ok;
}

int pc_design_rec(PC_CTX* ctx, const char* ap, pc_dfile f, uint8_t keyno, uint8_t* rec, uint16_t len) {
  ARB* a = pc_design(ctx, ap, f);
  if (!a) return 0;
  return pc_read(a, keyno, rec, len) || (pc_read_end(ctx, kDfileInit[f], ap, a->arb_stat), false);
}

int pc_elem(PC_CTX* ctx, const char* ap, const char* name, uint8_t* elem, char* found_ap) {
  for (const char* in : {ap, "0LA"}) {
    memset(elem, 0, kElementSize);
    memcpy(elem + ELEM_NAME, name, 22);
    if (pc_design_rec(ctx, in, PC_DELEM, 0, elem, kElementSize)) {
      memcpy(found_ap, in, 3);
      return 1;
    }
    if (memcmp(ap, "0LA", 3) == 0) break;
  }
  return 0;
}

uint8_t* pc_ap(const char* ap, EM* em, PC_CTX* ctx) {
  uint8_t rec[CAP_LEN] = {};
  memcpy(rec + CAP_AP, ap, 3);
  if (uint8_t* have = em_read_key(em->em_cap_arb, 0, rec)) return have;
  memcpy(rec + CAP_AP, ap, 3);
  memcpy(rec + CAP_VER, IS_BOB_AP(ap) ? "00" : ctx ? ctx->ver : em->em_ver, 2);
  appl_settings(ap, rec + CAP_DATE_MASK);
  for (int k = 0; ctx && k < kAreaKinds; ++k) st_le32(rec, CAP_AREA_CNT + 4 * k, bitmap_high(ctx, ap, k));
  if (!em_append(em, EM_AP, rec, CAP_LEN)) return nullptr;
  uint8_t key[CAP_LEN] = {};
  memcpy(key + CAP_AP, ap, 3);
  return em_read_key(em->em_cap_arb, 0, key);
}

uint32_t pc_area(PC_CTX* ctx, uint8_t kind, const char* ap, uint32_t number, uint32_t size, uint8_t type, uint8_t init,
                 uint8_t cls) {
  EM* em = ctx->em;
  uint8_t rec[DLF_LEN] = {};
  rec[DLF_KIND] = kind;
  memcpy(rec + DLF_AP, ap, 3);
  st_le32(rec, DLF_NO, number);
  rec[DLF_TYPE] = type;
  uint8_t key[DLF_LEN];
  memcpy(key, rec, DLF_LEN);
  if (const uint8_t* have = em_read_key(em->em_dlf_arb, 0, key)) return ld_le32(have, DLF_AREA);
  if (kind >= kAreaKinds) return pc_err(ctx, "area kind %u of %.3s over 12", kind, ap);
  // Records and work fields count towards the application's SAA records;
  // a private area belongs to the process alone.
  uint8_t* cap = type < 2 ? pc_ap(ap, em, ctx) : nullptr;
  if (type < 2 && !cap) return pc_err(ctx, "compiled application %.3s not written", ap);
  const uint32_t area = ctx->next_area;
  st_le32(rec, DLF_SIZE, size);
  st_le32(rec, DLF_AREA, area);
  rec[DLF_INIT] = init;
  rec[DLF_CLASS] = static_cast<uint8_t>(cls & 0x7E);
  if (!em_append(em, EM_LF, rec, DLF_LEN)) return pc_err(ctx, "area %u not written", area);
  ++ctx->next_area;
  if (area > em->em_area_cnt) em->em_area_cnt = area;
  if (cap && ld_le32(cap, CAP_AREA_CNT + 4u * kind) < number) st_le32(cap, CAP_AREA_CNT + 4u * kind, number);
  return area;
}

uint32_t pc_private_area(PC_CTX* ctx, uint32_t size) {
  return pc_area(ctx, 0, ctx->ap, ++ctx->priv_cnt, size, 2, 0, 0);
}

uint32_t pc_saved_area(PC_CTX* ctx, const char* ap, const char* name, uint8_t kind, uint32_t size) {
  for (uint32_t i = 0; i < ctx->saved_cnt; ++i) {
    const pc_saved& s = ctx->saved[i];
    if (s.kind == kind && !memcmp(s.ap, ap, 3) && !memcmp(s.name, name, sizeof s.name)) return s.area;
  }
  if (ctx->saved_cnt == kPcSaved) return pc_err(ctx, "more than %d saved copies in one process", kPcSaved);
  const uint32_t area = pc_private_area(ctx, size);
  if (!area) return 0;
  pc_saved& s = ctx->saved[ctx->saved_cnt++];
  memcpy(s.ap, ap, 3), memcpy(s.name, name, sizeof s.name), s.kind = kind, s.area = area;
  return area;
}

int pc_prep(PC_CTX* ctx) {
  EM* em = ctx->em;
  if (!em || ctx->prepared) return pc_err(ctx, "pc_prep() without a module or prepared twice");
  ctx->err_cnt = 0;
  SET_BLANK(ctx->err_text, sizeof ctx->err_text);
  if (!(ctx->err_arb = work_file("ER", kErrLine))) return pc_err(ctx, "compile work file not created");
  if (!bld_start(&ctx->bld, em)) return close_all(ctx), pc_err(ctx, "inst file create failed");
  ctx->next_area = 1;
  // Each system record as a compiled file, so that a fresh area finds the
  // file's initial record whether the process names the file or not.
  const uint8_t* cap = pc_ap("0LA", em, ctx);
  for (uint32_t i = 0; i < kSysAreas; ++i) {
    char name[8];
    put_fixed_text(name, sizeof name, kSysFiles[i]);
    uint8_t cfi[CFI_LEN];
    if (!cap || !pc_fi(cap, name, cfi, ctx, PC_FI_RECORD))
      return close_all(ctx), pc_err(ctx, "system record %s not in the 0LA dictionary", kSysFiles[i]);
    if (cfi_view(cfi).rec_area() != i + 1)
      return close_all(ctx), pc_err(ctx, "system record %s not made area %u", kSysFiles[i], i + 1);
  }
  ctx->prepared = 1;
  return 1;
}

int pc_cmpl_finish(PC_CTX* ctx) {
  close_all(ctx);
  if (!ctx->prepared) return 0;
  ctx->prepared = 0;
  if (!bld_finish(&ctx->bld)) pc_err(ctx, "code incomplete (builder status %d)", int{ctx->bld.err});
  if (ctx->err_cnt) return 0;
  return pc_build_tables(ctx->em, ctx->cv_cnt) ? 1 : pc_err(ctx, "run-time tables not built");
}

int pc_build_tables(EM* em, uint32_t cv_cnt) {
  if (!build_area_tbl(em)) return 0;
  em->em_blk = by_number(em, em->em_inst_arb, em->em_inst_cnt);
  em->em_cn = by_number(em, em->em_cnst_arb, em->em_cnst_cnt);
  em->em_cv = by_number(em, em->em_cnv_arb, cv_cnt);
  return em->em_blk && em->em_cn && em->em_cv;
}

}  // namespace kivo
