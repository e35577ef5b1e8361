// Children of a process: one CL record per CHILD record with the child's
// invocation template and the constraint template of its linking fields,
// and the code of the children's event points.
//
// Invariant: linking field i gives the value of segment i of the child's
// PCF key that CHILD byte 121 names; a template entry holds where the value
// lies in the parent (area, offset, length) and where it goes in the child's
// PCF record.
#include <cstring>

#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/em_records.h"
#include "compiler/pc_celem.h"
#include "compiler/pc_cmpl.h"
#include "compiler/stmt_view.h"
#include "fm/file_rec_view.h"
#include "foundation/bytes.h"
#include "foundation/text.h"
#include "types/element_view.h"

namespace kivo {

namespace {

constexpr int kMaxLinks = 2;
constexpr uint8_t kChldEpFirst = 61, kChldEpLast = 62;  // a child's event points

struct child_pcf {
  char ap[3];
  uint32_t number;
  uint16_t seg_off[kMaxLinks];
};

// The child's PCF and the offsets of the first segments of its key `keyno`.
bool child_key(PC_CTX* ctx, const uint8_t* ch, int links, child_pcf* out) {
  const char* cap = ch[CH_AP] == ' ' ? ctx->ap : reinterpret_cast<const char*>(ch + CH_AP);
  uint8_t pr[kProcRecSize], fi[kFileRecSize] = {};
  if (!pc_read_process(cap, ctx->ver, ch[CH_PROC_TYPE], reinterpret_cast<const char*>(ch + CH_NAME), pr))
    return pc_err(ctx, "child %.30s not found", ch + CH_NAME);
  memcpy(out->ap, pr + PR_PCF_AP, 3);
  memcpy(fi + FI_NAME, pr + PR_PCF_NAME, 8);
  if (!pc_design_rec(ctx, out->ap, PC_DFILE, 0, fi, kFileRecSize))
    return pc_err(ctx, "PCF of child %.30s not found", ch + CH_NAME);
  out->number = file_rec_view(fi).number();
  const uint8_t k = ch[CH_PCF_KEY];
  if (k >= file_rec_view(fi).nkeys() || file_rec_view(fi).key_segs(k) < links)
    return pc_err(ctx, "key %u of the PCF of child %.30s has fewer than %d segments", k, ch + CH_NAME, links);
  uint8_t e[kElementSize];
  const uint32_t seq = file_rec_view(fi).key_seq(k);
  if (!pc_file_elem(ctx, out->ap, fi + FI_NAME, seq, e)) return pc_err(ctx, "key field %u of child PCF lost", seq);
  const bool group = elem_view(e).kind() == ELEM_KIND_GROUP;
  for (int i = 0; i < links; ++i) {
    if (group && !pc_file_elem(ctx, out->ap, fi + FI_NAME, seq + 1 + static_cast<uint32_t>(i), e))
      return pc_err(ctx, "key member %d of child PCF lost", i + 1);
    out->seg_off[i] = static_cast<uint16_t>(elem_view(e).offset() + (group ? 0 : i * elem_view(e).size()));
  }
  return true;
}

// The constraint template of the CHILD record `ch` into the INVOC template;
// its constant number, 0 without linking fields or on failure.
uint32_t constraint(PC_CTX* ctx, const uint8_t* ch, INVOC* inv) {
  const int links = ch[CH_LINK_CNT];
  if (links == 0) return 0;
  if (links > kMaxLinks) return pc_err(ctx, "%d linking fields of child %.30s", links, ch + CH_NAME);
  child_pcf pcf{};
  if (!child_key(ctx, ch, links, &pcf)) return 0;
  uint8_t t[CNSTR_FIRST + kMaxLinks * CNSTR_ENTRY] = {};
  st_le16(t, CNSTR_COUNT, static_cast<uint16_t>(links));
  uint32_t total = 0;
  for (int i = 0; i < links; ++i) {
    const uint8_t* l = ch + CH_LINK + i * kChildLinkSize;
    const uint16_t occ = ld_le16(l, 25);
    uint8_t out[kPcFldOut];
    if (!pc_fld(reinterpret_cast<const char*>(l), reinterpret_cast<const char*>(l + 3),
                pc_occ{occ, occ ? PC_OCC_NUM : PC_OCC_NONE, {}}, out, ctx))
      return 0;
    const celem_view ce(out + PCF_CELEM);
    uint8_t* e = t + CNSTR_FIRST + i * CNSTR_ENTRY;
    st_le16(e, CNSTR_AREA, ce.area());
    st_le16(e, CNSTR_OFF, ce.area_offset());
    st_le16(e, CNSTR_FLD_LEN, ce.size());
    st_le16(e, CNSTR_CHILD_OFF, pcf.seg_off[i]);
    e[CNSTR_FLAG] = 1;
    total += ce.size();
  }
  inv->set_cnstr_cnt(static_cast<uint32_t>(links));
  inv->set_cnstr_len(total);
  memcpy(inv->cnstr_ap(), pcf.ap, 3);
  inv->set_cnstr_stamp(pcf.number);
  const uint32_t c = bld_cnst(&ctx->bld, t, static_cast<uint16_t>(CNSTR_FIRST + links * CNSTR_ENTRY));
  return c ? c : pc_err(ctx, "constraint of child %.30s not stored", ch + CH_NAME);
}

// The INVOC template of a child: the engine's defaults with the CHILD's own.
void invoc_template(const PC_CTX* ctx, const uint8_t* ch, INVOC* inv) {
  if (compiler_hooks.invoc_template) *inv = *compiler_hooks.invoc_template;
  else pc_invoc_defaults(inv);
  memcpy(inv->ap_id(), ch[CH_AP] == ' ' ? ctx->ap : reinterpret_cast<const char*>(ch + CH_AP), 3);
  memcpy(inv->ver(), ctx->ver, 2);
  inv->set_proc_type(ch[CH_PROC_TYPE]);
  memcpy(inv->proc_nam(), ch + CH_NAME, 30);
  inv->set_invoc_type(ch[CH_INVOC]);
  inv->set_one_shot(ch[CH_ONE_SHOT]);
  memcpy(inv->rng_ap(), ch + CH_RANGE_AP, 33);
  inv->b[INVOC_B100] = ch[CH_UPDATE];
  inv->set_pcf_key_no(ch[CH_PCF_KEY]);
  inv->set_child_no(ld_le32(ch, CH_CHILD_NO));
}

bool child(PC_CTX* ctx, const uint8_t* ch) {
  EM* em = ctx->em;
  uint8_t cl[CCHLD_LEN] = {};
  st_le32(cl, CCHLD_NO, em->em_chld_cnt + 1);
  if (const uint32_t f = stmt_view(ch).frm_no()) {
    const uint8_t* fr = pc_frame(em, f);
    if (!fr) return pc_err(ctx, "frame %u of child %.30s not found", f, ch + CH_NAME);
    memcpy(cl + CCHLD_FRM, fr + CFRM_NO, 4);
    if (ch[STMT_IMG_NO]) {
      const uint32_t img = pc_image_index(em, ld_le32(fr, CFRM_NO), ch[STMT_IMG_NO]);
      if (!img) return pc_err(ctx, "image %u of child %.30s not found", ch[STMT_IMG_NO], ch + CH_NAME);
      st_le32(cl, CCHLD_IMG, img);
    }
  }
  cl[CCHLD_POS] = ch[STMT_CHLD_POS];
  st_le32(cl, CCHLD_OPTION, ch[CH_OPTION]);
  cl[CCHLD_ON_CHANGE] = ch[CH_ON_CHANGE];
  cl[CCHLD_ON_DELETE] = ch[CH_ON_DELETE] == '1';
  INVOC inv;
  invoc_template(ctx, ch, &inv);
  if (ch[CH_LINK_CNT]) {
    const uint32_t c = constraint(ctx, ch, &inv);
    if (!c) return false;
    st_le32(cl, CCHLD_CNSTR, c);
  }
  memcpy(cl + CCHLD_INVOC, inv.b, kInvocSize);
  for (size_t i = 0; i < 2; ++i) st_le16(cl, CCHLD_EP + 4 * i, kNoCode);
  if (!em_append(em, EM_CL, cl, CCHLD_LEN)) return pc_err(ctx, "child %.30s not written", ch + CH_NAME);
  ++em->em_chld_cnt;
  return true;
}

}  // namespace

int pc_cmpl_children(PC_CTX* ctx) {
  pc_dsn_file f(ctx, INIT_DCHLD_FDB);
  if (!f.ok()) return 0;
  uint8_t key[kChildRecSize] = {};
  key[0] = ctx->proc_type, memcpy(key + 1, ctx->proc_nam, 30);
  return pc_each_design(ctx, INIT_DCHLD_FDB, ctx->ap, f.arb, key, STMT_FRM_PART, kChildRecSize,
                        [&](const uint8_t* ch) { return child(ctx, ch); });
}

int pc_cmpl_children_code(PC_CTX* ctx, std::vector<sc_error>* errs) {
  pc_dsn_file f(ctx, INIT_DCHLD_FDB);
  if (!f.ok()) return 0;
  uint8_t key[kChildRecSize] = {};
  key[0] = ctx->proc_type, memcpy(key + 1, ctx->proc_nam, 30);
  uint32_t n = 0;
  return pc_each_design(ctx, INIT_DCHLD_FDB, ctx->ap, f.arb, key, STMT_FRM_PART, kChildRecSize, [&](const uint8_t* ch) {
    uint8_t* cl = pc_child(ctx->em, ++n);
    if (!cl) return pc_err(ctx, "child %u lost", n) != 0;
    for (uint8_t ep = kChldEpFirst; ep <= kChldEpLast; ++ep) {
      const em_entry e = pc_cmpl_ep(ctx, ch, ep, static_cast<uint16_t>(n), errs);
      const size_t at = CCHLD_EP + 4u * (ep - kChldEpFirst);
      st_le16(cl, at, e.blk), st_le16(cl, at + 2, e.off);
    }
    return !ctx->bld.err && ctx->err_cnt < kPcErrMax;  // every child's errors are reported
  });
}

}  // namespace kivo
