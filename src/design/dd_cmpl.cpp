// The dictionary compiler's run: the routine "DD_CMPL", its work files and
// the design files it opens once (OPEN), the messages it files, and the
// domain and work-field passes.
#include <cstdio>
#include <cstring>
#include <vector>

#include "design/dd.h"
#include "design/dd_msg.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/struct_file.h"
#include "fm/token_cache.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/text.h"

namespace kivo {

dd_state dd;

namespace {

constexpr const char* kModule = "DDCMPL";
constexpr uint32_t kDesignOpts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;

// OPEN record: application, version, design-file name, then the handle's
// place in the run's table (from 1): the handle itself never leaves memory.
constexpr size_t kOpenSize = 20;
enum : size_t { OP_AP = 0, OP_VER = 3, OP_NAME = 5, OP_HANDLE = 16 };
std::vector<ARB*> g_opened;
uint32_t g_work_serial = 0;

ARB* create_work(const char* db, const char* name, uint16_t len, KDB* kdb, uint8_t nkeys) {
  FDB f;
  INIT_FDB(&f, FS_MEMORY, len, 0, kdb, nkeys);
  char unique[9];
  snprintf(unique, sizeof unique, "%-4.4s%04X", name, g_work_serial++ & 0xFFFF);
  INIT_DB_PATH(&f.path, db, " DD", "00", unique, PATH_DATA);
  f.path.fdb_tmp_id = com.mark_scope;
  return FM_CREATE(&f, com.mark_scope, 0, LFB_SCOPED | LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f) ? f.fdb_arb
                                                                                                     : nullptr;
}

bool create_work_files() {
  SDB os[3], ms[3], gs[1];
  KDB ok[1], mk[2], gk[1];
  init_sdb_func(&os[0], 1, OP_AP, 3, SDB_CHARS, '+');
  init_sdb_func(&os[1], 2, OP_VER, 2, SDB_CHARS, '+');
  init_sdb_func(&os[2], 3, OP_NAME, 8, SDB_CHARS, '+');
  INIT_KDB(&ok[0], 0, '+', 0, os, 3);
  init_sdb_func(&ms[0], 1, ELEM_NAME, 22, SDB_CHARS, '+');
  init_sdb_func(&ms[1], 1, ELEM_BINARIES, 4, SDB_BINARY, '+');
  init_sdb_func(&ms[2], 2, ELEM_BINARIES + 4, 4, SDB_BINARY, '+');
  INIT_KDB(&mk[0], 0, '+', 0, &ms[0], 1);
  INIT_KDB(&mk[1], 1, '+', KDB_DUP, &ms[1], 2);
  init_sdb_func(&gs[0], 1, 0, 2, SDB_CHARS, '+');
  INIT_KDB(&gk[0], 0, '+', 0, gs, 1);
  dd.open_arb = create_work(" OP", "OPEN", kOpenSize, ok, 1);
  dd.melem_arb = create_work(" MM", "MELEM", kMelemSize, mk, 2);
  dd.group_arb = create_work(" GR", "GROUP", 62, gk, 1);
  return dd.open_arb && dd.melem_arb && dd.group_arb;
}

// The end of a run: every design file it opened closed, the work files
// with their records gone.
void finish_run() {
  for (ARB* a : g_opened)
    if (a) FM_CLOSE(a, 0);
  g_opened.clear();
  for (ARB** w : {&dd.open_arb, &dd.melem_arb, &dd.group_arb}) {
    if (*w) FM_CLOSE(*w, 0);
    *w = nullptr;
  }
  dd.group_depth = 0;
  dd.init_img.clear();
  dd.null_img.clear();
}

ARB* open_fdb(FDB* fdb, bool create, uint32_t* stat) {
  const FDB_PATH& p = fdb->path;
  const bool design = memcmp(p.fdb_ap, "0AD", 3) == 0;
  uint8_t rec[kOpenSize] = {};
  memcpy(rec + OP_AP, design ? p.fdb_src_ap : p.fdb_ap, 3);
  memcpy(rec + OP_VER, design ? p.fdb_src_ver : p.fdb_ver, 2);
  memcpy(rec + OP_NAME, p.fdb_name, 8);
  *stat = 0;
  if (dd_read(dd.open_arb, 0, rec, kOpenSize, false)) {
    const uint32_t at = ld_le32(rec, OP_HANDLE);
    return at && at <= g_opened.size() ? g_opened[at - 1] : nullptr;
  }
  if (dd.open_arb->arb_stat != FM_NOT_FOUND) return *stat = dd.open_arb->arb_stat, nullptr;
  // The memory design files of "0DN" stand for a version being designed.
  if (design && memcmp(p.fdb_src_ap, "0DN", 3) == 0) fdb->fdb_fs_type = FS_MEMORY;
  int ok = FM_OPEN(fdb, com.mark_scope, kDesignOpts, 0x0f, 0x0f);
  if (!ok && create && fdb->fdb_stat == FM_NO_FILE)
    ok = FM_CREATE(fdb, com.mark_scope, 0, kDesignOpts | LFB_OPEN_NEW, 0x0f, 0x0f);
  if (ok && !fm_design_struct(fdb, com.mark_scope)) {
    FM_CLOSE(fdb->fdb_arb, 0);
    ok = 0;
  }
  if (!ok) return *stat = fdb->fdb_stat, nullptr;
  g_opened.push_back(fdb->fdb_arb);
  st_le32(rec, OP_HANDLE, static_cast<uint32_t>(g_opened.size()));
  if (!dd_write(dd.open_arb, rec, kOpenSize)) checkstat(dd.open_arb->arb_stat, "bad file write", kModule, __LINE__);
  return fdb->fdb_arb;
}

}  // namespace

ARB* open_dsgn_fi(dd_init_fn init, const char* ap, const char* ver, bool create, uint32_t* stat) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  init(&fdb, kdb, sdb, ap, ver);
  return open_fdb(&fdb, create, stat);
}

ARB* open_appl_fi(uint32_t* stat) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DAP_FDB(&fdb, kdb, sdb);
  return open_fdb(&fdb, false, stat);
}

int dd_err(dd_ctx* ctx, uint32_t number, uint8_t kind, const uint8_t* subject) {
  uint8_t own[M2_CLASS - M2_DB] = {};
  SET_BLANK(own, 3);
  own[M2_KIND - M2_DB] = kind;
  uint8_t* subj = own + (M2_SUBJECT - M2_DB);
  SET_BLANK(subj, 22);
  if (subject) memcpy(subj, subject, kind == DD_KIND_DOMAIN || kind == DD_KIND_FIELD ? 22 : 8);
  st_le32(own, M2_NUMBER - M2_DB, number);
  return msg_file(ctx->arb[DD_MSG1], ctx->arb[DD_MSG2], ctx->ap, ctx->ver, ctx->file, number, own);
}

namespace {

struct design_open {
  dd_init_fn init;
  dd_file_no slot;
  bool create;
  uint32_t msg;  // 0: none
  const char* what;
};
const design_open kOpens[] = {
    {INIT_DELEM_FDB, DD_ELEM, true, 100110, "Cannot open ELEMENT file "},
    {INIT_DDOM_FDB, DD_DOM, false, 100090, "Cannot open DOMAIN file"},
    {INIT_DFLD_FDB, DD_FLD, false, 100140, "Cannot open FIELD file "},
    {INIT_DFI_FDB, DD_FILE, true, 100130, "Cannot open FILE file "},
    {INIT_DREC_FDB, DD_REC, false, 100160, "Cannot open RECORD file "},
    {INIT_DBITMAP_FDB, DD_BITMAP, true, 100220, nullptr},
    {INIT_DTOKEN_FDB, DD_TOKEN, false, 0, nullptr},
};

bool open_design(dd_ctx* ctx) {
  const char ap[4] = {ctx->ap[0], ctx->ap[1], ctx->ap[2], 0}, ver[3] = {ctx->ver[0], ctx->ver[1], 0};
  bool ok = true;
  for (const design_open& o : kOpens) {
    uint32_t st = 0;
    ctx->arb[o.slot] = open_dsgn_fi(o.init, ap, ver, o.create, &st);
    if (ctx->arb[o.slot] || !o.msg) continue;
    if (o.what) checkstat(st, o.what, kModule, __LINE__);
    if (o.slot != DD_BITMAP || st != FM_NO_FILE) dd_err(ctx, o.msg, DD_KIND_FILE, nullptr);
    ok = false;
  }
  return ok;
}

bool is_null(const uint8_t* stamp) { return dd_is_null_date(stamp); }

// A FIELD of kind 1 names the domain.
bool domain_in_use(dd_ctx* ctx, const uint8_t* dom) {
  uint8_t from[kFieldSize] = {};
  from[FLD_KIND] = 1;
  memcpy(from + FLD_REF, dom + DOM_NAME, 22);
  std::vector<std::vector<uint8_t>> found;
  if (!dd_scan(
          ctx->arb[DD_FLD], 4, from, kFieldSize,
          [](const uint8_t* r, const uint8_t* f) {
            return r[FLD_KIND] == 1 && memcmp(r + FLD_REF, f + FLD_REF, 22) == 0;
          },
          &found))
    checkstat(ctx->arb[DD_FLD]->arb_stat, "Bad start ", kModule, __LINE__);
  return !found.empty();
}

// The domain pass's copy of a borrowed domain from its source, null-dated
// when it changes anything.
void copy_borrowed(dd_ctx* ctx, const uint8_t* stored) {
  std::vector<uint8_t> dom(stored, stored + kDomRecLen);
  uint8_t s[kDomRecLen];
  if (!dd_borrowed_source(ctx, stored, s, false)) return;
  // The source over the borrowed domain, but for what is the borrower's own.
  std::vector<uint8_t> out(s, s + kDomRecLen);
  for (auto& k : kBorrowedOwn) memcpy(out.data() + k.from, stored + k.from, k.to - k.from + 1);
  if (out == dom) return;
  dd_null_date(out.data() + DOM_STAMP2);
  uint8_t held[kDomRecLen];
  memcpy(held, stored, kDomRecLen);
  if (!dd_read(ctx->arb[DD_DOM], 0, held, kDomRecLen, true) || !dd_rewrite(ctx->arb[DD_DOM], out.data(), kDomRecLen))
    checkstat(ctx->arb[DD_DOM]->arb_stat, "bad dom rewrite", kModule, __LINE__);
}

}  // namespace

int vfy_dom(dd_ctx* ctx) {
  std::vector<std::vector<uint8_t>> doms;
  uint8_t from[kDomRecLen] = {};
  if (!dd_scan(
          ctx->arb[DD_DOM], 0, from, kDomRecLen, [](const uint8_t*, const uint8_t*) { return true; }, &doms))
    return checkstat(ctx->arb[DD_DOM]->arb_stat, "Bad start ", kModule, __LINE__), 0;
  for (auto& d : doms) {
    if (!is_null(d.data() + DOM_STAMP2)) continue;
    if (d[DOM_OWN_KIND] == 0) {
      copy_borrowed(ctx, d.data());
      continue;
    }
    if (domain_in_use(ctx, d.data())) continue;  // compiled with its first field
    if (!dd_read(ctx->arb[DD_DOM], 0, d.data(), kDomRecLen, true)) {
      checkstat(ctx->arb[DD_DOM]->arb_stat, "Read domain file", kModule, __LINE__);
      continue;
    }
    cmpl_dom(ctx, d.data());
    fm_release(ctx->arb[DD_DOM]);
  }
  return 1;
}

int vfy_wrk_fld(dd_ctx* ctx) {
  uint8_t from[kFieldSize] = {};
  from[FLD_CLASS] = '1';
  std::vector<std::vector<uint8_t>> fields;
  if (!dd_scan(
          ctx->arb[DD_FLD], 1, from, kFieldSize, [](const uint8_t* r, const uint8_t*) { return r[FLD_CLASS] == '1'; },
          &fields))
    return checkstat(ctx->arb[DD_FLD]->arb_stat, "bad field constraint", kModule, __LINE__), 0;
  bool all = true;
  for (auto& f : fields) {
    if (!all) continue;  // read, not compiled, after the first failure
    uint8_t e[kElementSize] = {};
    memcpy(e + ELEM_NAME, f.data() + FLD_NAME, 22);
    if (dd_read(ctx->arb[DD_ELEM], 0, e, kElementSize, false)) {
      if (memcmp(e + ELEM_STAMP, f.data() + FLD_STAMP, 8) == 0 && !is_null(e + ELEM_STAMP)) continue;
      memcpy(f.data() + FLD_NUMBER, e + ELEM_NUMBER, 4);
    } else {
      if (ctx->arb[DD_ELEM]->arb_stat != FM_NOT_FOUND)
        checkstat(ctx->arb[DD_ELEM]->arb_stat, "Bad element read", kModule, __LINE__);
      st_le32(f.data(), FLD_NUMBER, 0);
    }
    if (!cmpl_wrk_fld(ctx, f.data())) all = false;
  }
  return all ? upd_wrk_fld(ctx) : 0;
}

int dd_cmpl(int count, const uint8_t* request, ARB* msg1, ARB* msg2) {
  dd.standalone = count == 0 ? 1 : 0;
  static const char kPool[] = " DD_POOL   ";
  dd_ctx ctx{};
  ctx.pool = mm_find_pool(kPool, com.mark_scope);
  if (!ctx.pool) ctx.pool = mm_create_pool(kPool, com.mark_scope);
  if (!create_work_files()) {
    checkstat(FM_NO_SPACE, "open file file", kModule, __LINE__);
    finish_run();
    return 1;
  }
  memcpy(ctx.ap, request, 3);
  memcpy(ctx.ver, request + 3, 2);
  memcpy(ctx.file, request + 5, 8);
  ctx.arb[DD_MSG1] = msg1;
  ctx.arb[DD_MSG2] = msg2;
  if (!msg1 || !msg2 || !msg1_start(msg1, msg2, ctx.ap, ctx.ver, ctx.file)) {
    checkstat(msg1 ? msg1->arb_stat : FM_NOT_OPEN, "Bad MSG1 read ", kModule, __LINE__);
    finish_run();
    return 1;
  }
  if (open_design(&ctx)) {
    if (memcmp(ctx.file, "*       ", 8) == 0) vfy_wrk_fld(&ctx);
    else if (memcmp(ctx.file, "        ", 8) == 0) vfy_dom(&ctx);
    else vfy_fi(&ctx);
  }
  finish_run();
  return 1;
}

}  // namespace kivo
