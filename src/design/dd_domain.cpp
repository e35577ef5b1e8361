// Domains and work fields: a domain compiled (its own, or copied from the
// domain it borrows with that domain's code table), its dependants made out
// of date; the domain of a field; a work field's element and number, and
// the elements of a work-field pass written over the old ones.
#include <cstring>
#include <vector>

#include "compiler/design_records.h"
#include "design/dd.h"
#include "design/dd_msg.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/token_cache.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/text.h"

namespace kivo {

namespace {

constexpr const char* kModule = "DDDOM";

// Every FIELD of kind 1 naming the domain, of the domain's kind character,
// made out of date: a work field in its own stamp, a field of a file in its
// FILE record's.
void mark_dependants(dd_ctx* ctx, const uint8_t* dom) {
  uint8_t from[kFieldSize] = {};
  from[FLD_KIND] = 1;
  memcpy(from + FLD_REF, dom + DOM_NAME, 22);
  std::vector<std::vector<uint8_t>> fields;
  dd_scan(
      ctx->arb[DD_FLD], 4, from, kFieldSize,
      [](const uint8_t* r, const uint8_t* f) { return r[FLD_KIND] == 1 && memcmp(r + FLD_REF, f + FLD_REF, 22) == 0; },
      &fields);
  for (auto& f : fields) {
    if (f[FLD_DOM_KIND] != dom[DOM_KIND]) continue;
    if (f[FLD_CLASS] == '1') {
      if (!dd_read(ctx->arb[DD_FLD], 0, f.data(), kFieldSize, true)) continue;
      dd_null_date(f.data() + FLD_STAMP);
      if (!dd_rewrite(ctx->arb[DD_FLD], f.data(), kFieldSize))
        checkstat(ctx->arb[DD_FLD]->arb_stat, "bad fld rewrite ", kModule, __LINE__);
      continue;
    }
    uint8_t fi[kFileRecSize] = {};
    memcpy(fi + FI_NAME, f.data() + FLD_FILE, 8);
    if (!dd_read(ctx->arb[DD_FILE], 0, fi, kFileRecSize, true)) {
      if (ctx->arb[DD_FILE]->arb_stat != FM_NOT_FOUND)
        checkstat(ctx->arb[DD_FILE]->arb_stat, "bad file open", kModule, __LINE__);
      continue;
    }
    if (dd_is_null_date(fi + FI_STAMP)) {
      fm_release(ctx->arb[DD_FILE]);
      continue;
    }
    dd_null_date(fi + FI_STAMP);
    if (!dd_rewrite(ctx->arb[DD_FILE], fi, kFileRecSize))
      checkstat(ctx->arb[DD_FILE]->arb_stat, "bad file open", kModule, __LINE__);
  }
}

bool same_group(const uint8_t* r, const uint8_t* f) { return r[TOK_SRC] == 0 && memcmp(r + 1, f + 1, 22) == 0; }

// The source's code table under the domain's name, in place of its own.
void copy_tokens(dd_ctx* ctx, const uint8_t* dom, const char* src_ap) {
  uint32_t st = 0;
  const char sap[4] = {src_ap[0], src_ap[1], src_ap[2], 0}, ver[3] = {ctx->ver[0], ctx->ver[1], 0};
  ARB* src = open_dsgn_fi(INIT_DTOKEN_FDB, sap, ver, false, &st);
  if (!src) {
    if (st != FM_NO_FILE) checkstat(st, "Bad TOKEN open ", kModule, __LINE__);
    return;
  }
  if (!ctx->arb[DD_TOKEN]) {
    const char ap[4] = {ctx->ap[0], ctx->ap[1], ctx->ap[2], 0};
    ctx->arb[DD_TOKEN] = open_dsgn_fi(INIT_DTOKEN_FDB, ap, ver, true, &st);
    if (!ctx->arb[DD_TOKEN]) return checkstat(st, "Bad TOKEN open ", kModule, __LINE__);
  }
  ARB* own = ctx->arb[DD_TOKEN];
  uint8_t from[kTokRecLen] = {};
  memcpy(from + TOK_GROUP, dom + DOM_NAME, 22);
  std::vector<std::vector<uint8_t>> old, fresh;
  if (!dd_scan(own, 0, from, kTokRecLen, same_group, &old))
    return checkstat(own->arb_stat, "Bad token attach ", kModule, __LINE__);
  for (auto& t : old) dd_delete(own, 0, t.data(), kTokRecLen);
  memcpy(from + TOK_GROUP, dom + DOM_SRC_NAME, 22);
  if (!dd_scan(src, 0, from, kTokRecLen, same_group, &fresh))
    return checkstat(src->arb_stat, "Bad token attach ", kModule, __LINE__);
  for (auto& t : fresh) {
    memcpy(t.data() + TOK_GROUP, dom + DOM_NAME, 22);
    if (!dd_write(own, t.data(), kTokRecLen)) checkstat(own->arb_stat, "Bad write ", kModule, __LINE__);
  }
}

}  // namespace

int dd_borrowed_source(dd_ctx* ctx, const uint8_t* dom, uint8_t* src, bool compile) {
  const char* src_ap = reinterpret_cast<const char*>(dom + DOM_SRC_AP);
  if (memcmp(src_ap, ctx->ap, 3) == 0 && (dd_err(ctx, 100540, DD_KIND_DOMAIN, dom + DOM_SRC_AP), compile)) return 0;
  uint32_t st = 0;
  ARB* appl = open_appl_fi(&st);
  if (!appl) return checkstat(st, "Open APPL file ", kModule, __LINE__), 0;
  if (!IS_BOB_AP(src_ap)) {
    uint8_t ap_rec[324] = {};
    memcpy(ap_rec + 4, src_ap, 3);
    memcpy(ap_rec + 7, ctx->ver, 2);
    if (!dd_read(appl, 0, ap_rec, sizeof ap_rec, false)) {
      if (appl->arb_stat == FM_NOT_FOUND) return dd_err(ctx, 100730, DD_KIND_DOMAIN, dom + DOM_NAME), 0;
      // Without the application nothing of the domain is made.
      return checkstat(appl->arb_stat, "Read Ap file ", kModule, __LINE__), 0;
    }
  }
  const char sap[4] = {src_ap[0], src_ap[1], src_ap[2], 0}, ver[3] = {ctx->ver[0], ctx->ver[1], 0};
  ARB* a = open_dsgn_fi(INIT_DDOM_FDB, sap, ver, false, &st);
  if (!a) return dd_err(ctx, st, DD_KIND_DOMAIN, dom + DOM_NAME), 0;
  memset(src, 0, kDomRecLen);
  memcpy(src + DOM_NAME, dom + DOM_SRC_NAME, 22);
  if (!dd_read(a, 1, src, kDomRecLen, false)) {
    const uint32_t no = a->arb_stat == FM_NOT_FOUND ? 100740u : a->arb_stat == FM_LOCKED ? uint32_t{FM_LOCKED} : 0u;
    if (!no) return checkstat(a->arb_stat, "Read domain file", kModule, __LINE__), 0;
    return dd_err(ctx, no, DD_KIND_DOMAIN, dom + DOM_SRC_NAME), 0;
  }
  if (src[DOM_OWN_KIND] == 0 && (dd_err(ctx, 100190, DD_KIND_DOMAIN, dom + DOM_SRC_NAME), compile)) return 0;
  return 1;
}

int cmpl_dom(dd_ctx* ctx, uint8_t* dom) {
  dd_list("\t\t\t%.*s (domain)\n", dom + DOM_NAME, 22);
  uint8_t src[kDomRecLen];
  const bool own = dom[DOM_OWN_KIND] != 0;
  if (!own && !dd_borrowed_source(ctx, dom, src, true)) return 0;
  mark_dependants(ctx, dom);
  if (own) {
    dom[DOM_EFF_KIND] = dom[DOM_OWN_KIND];
    dd_now(dom + DOM_STAMP2);
  } else {
    static const struct {
      size_t from, to;
    } kCopied[] = {{23, 52},   {80, 81},   {85, 85},   {86, 205},  {207, 266}, {304, 365}, {399, 490}, {491, 492},
                   {494, 497}, {501, 503}, {505, 510}, {512, 519}, {520, 526}, {533, 562}, {576, 580}, {582, 583}};
    for (auto& c : kCopied) memcpy(dom + c.from, src + c.from, c.to - c.from + 1);
    if (dom[DOM_KIND] != '0') dom[500] = src[500];
    dom[DOM_EFF_KIND] = src[DOM_OWN_KIND];
    memcpy(dom + DOM_STAMP2, src + DOM_STAMP2, 8);
    if (src[DOM_OWN_KIND] == 4) copy_tokens(ctx, dom, reinterpret_cast<const char*>(dom + DOM_SRC_AP));
  }
  uint8_t held[kDomRecLen];
  memcpy(held, dom, kDomRecLen);
  if (!dd_read(ctx->arb[DD_DOM], 0, held, kDomRecLen, true) || !dd_rewrite(ctx->arb[DD_DOM], dom, kDomRecLen))
    return checkstat(ctx->arb[DD_DOM]->arb_stat, "bad dom rewrite", kModule, __LINE__), 0;
  return 1;
}

int get_ddom(dd_ctx* ctx, const uint8_t* fld, uint8_t* dom) {
  memset(dom, 0, kDomRecLen);
  dom[DOM_KIND] = fld[FLD_DOM_KIND];
  memcpy(dom + DOM_NAME, fld + FLD_REF, 22);
  if (!dd_read(ctx->arb[DD_DOM], 0, dom, kDomRecLen, true)) {
    const uint32_t st = ctx->arb[DD_DOM]->arb_stat;
    if (st == FM_NOT_FOUND) return dd_err(ctx, 100230, DD_KIND_FIELD, fld + FLD_NAME), 0;
    if (st == FM_LOCKED) return dd_err(ctx, FM_LOCKED, DD_KIND_DOMAIN, fld + FLD_REF), 0;
    return checkstat(st, "Read domain file", kModule, __LINE__), 0;
  }
  if (!dd_is_null_date(dom + DOM_STAMP2)) return fm_release(ctx->arb[DD_DOM]), 1;
  const int ok = cmpl_dom(ctx, dom);
  fm_release(ctx->arb[DD_DOM]);
  return ok;
}

int cmpl_wrk_fld(dd_ctx* ctx, uint8_t* fld) {
  ARB* fa = ctx->arb[DD_FLD];
  // The number the pass chose (its element's, or 0) stays over the read.
  const uint32_t number_in = ld_le32(fld, FLD_NUMBER);
  auto reread = [&]() {
    if (!dd_read(fa, 0, fld, kFieldSize, true))
      return checkstat(fa->arb_stat, "Bad FIELD read ", kModule, __LINE__), false;
    st_le32(fld, FLD_NUMBER, number_in);
    return true;
  };
  if (!reread()) return 0;
  dd_list("%.*s (work field)\n", fld + FLD_NAME, 22);
  uint8_t dom[kDomRecLen];
  if (fld[FLD_KIND] != 1) {
    fm_release(fa);
    return dd_err(ctx, 102660, DD_KIND_FIELD, fld + FLD_NAME), 0;
  }
  if (!get_ddom(ctx, fld, dom)) return fm_release(fa), 0;
  if (!reread()) return 0;  // the domain's compile may have rewritten it
  dd_now(fld + FLD_STAMP);
  uint8_t e[kMelemSize];
  if (!bld_elem(ctx, dom, fld, e)) return fm_release(fa), 0;
  SET_BLANK(e + ELEM_FILE, 8);
  st_le32(e, ELEM_SEQ, 0);
  uint32_t number = number_in;
  if (!proc_ano(ctx, &number, fld[FLD_AREA_CLASS + 2], fld[FLD_AREA_CLASS + 1], 4, fld + FLD_NAME))
    return fm_release(fa), 0;
  st_le32(e, ELEM_NUMBER, number);
  if (!dd_write(dd.melem_arb, e, kMelemSize))
    return checkstat(dd.melem_arb->arb_stat, "bad melem write", kModule, __LINE__), fm_release(fa), 0;
  st_le32(fld, FLD_NUMBER, number);
  if (!dd_rewrite(fa, fld, kFieldSize)) return checkstat(fa->arb_stat, "bad fld rewrite ", kModule, __LINE__), 0;
  return 1;
}

int upd_wrk_fld(dd_ctx* ctx) {
  std::vector<std::vector<uint8_t>> elems;
  uint8_t from[kMelemSize] = {};
  if (!dd_scan(
          dd.melem_arb, 0, from, kMelemSize, [](const uint8_t*, const uint8_t*) { return true; }, &elems))
    return checkstat(dd.melem_arb->arb_stat, "Bad melem start ", kModule, __LINE__), 0;
  ARB* ea = ctx->arb[DD_ELEM];
  for (auto& m : elems) {
    uint8_t old[kElementSize];
    memcpy(old, m.data(), kElementSize);
    // The old element by its name, else by its binaries (a renamed field).
    if (!dd_delete(ea, 0, old, kElementSize)) {
      memcpy(old, m.data(), kElementSize);
      dd_delete(ea, 4, old, kElementSize);
    }
    if (!dd_write(ea, m.data(), kElementSize)) checkstat(ea->arb_stat, "bad element write", kModule, __LINE__);
  }
  return 1;
}

}  // namespace kivo
