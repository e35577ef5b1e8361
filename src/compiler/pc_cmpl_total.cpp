// Summary references: the source fields of the TOTAL statements of a
// process's total frames (kind 2), one SR record per field, in frame and
// statement order. A field that is a source in two total frames is listed
// for the first only.
#include <cstring>

#include "compiler/design_records.h"
#include "compiler/em_records.h"
#include "compiler/pc_celem.h"
#include "compiler/pc_cmpl.h"
#include "compiler/stmt_view.h"
#include "foundation/bytes.h"

namespace kivo {

namespace {

constexpr uint8_t kTotalFrame = 2;

// The record offsets of the source field of TOTAL: its second application
// and field operands.
bool source_offsets(size_t* ap, size_t* field) {
  int aps = 0, fields = 0;
  for (const xme_stmt* x = xme_stmt_desc[VERB_TOTAL]; x && (x->type || x->rec_len || x->scr_width); ++x) {
    if (x->type == XT_AP && ++aps == 2) *ap = x->rec_off;
    if (x->type == XT_FIELD && ++fields == 2) *field = x->rec_off;
  }
  return aps >= 2 && fields >= 2;
}

bool listed(EM* em, const uint8_t* sr) {
  uint8_t key[SR_LEN];
  memcpy(key, sr, SR_LEN);
  return em_read_key(em->em_sum_ref_arb, 1, key) != nullptr;
}

}  // namespace

int pc_cmpl_totals(PC_CTX* ctx, const uint8_t* fr) {
  if (fr[CFRM_KIND] != kTotalFrame) return 1;
  size_t ap_off = 0, fld_off = 0;
  if (!source_offsets(&ap_off, &fld_off)) return pc_err(ctx, "TOTAL has no source operand in its layout");
  ARB* a = pc_design(ctx, ctx->ap, PC_DSTMT);
  if (!a) return pc_design_absent(ctx, ctx->ap, PC_DSTMT);  // else the error names the file
  uint8_t key[kStmtSize] = {};
  key[STMT_PROC_TYPE] = ctx->proc_type, memcpy(key + STMT_PROC_NAME, ctx->proc_nam, 30);
  key[STMT_FRM_PART] = fr[CFRM_PART], memcpy(key + STMT_FRM_NO, fr + CFRM_DESIGN_NO, 4);
  uint16_t seq = 0;
  return pc_each_design(ctx, INIT_DSTMT_FDB, ctx->ap, a, key, STMT_IMG_NO, kStmtSize, [&](const uint8_t* st) {
    const uint8_t* op = st + STMT_OPND;
    if (stmt_view(st).verb() != VERB_TOTAL || op[ap_off] == ' ' || op[ap_off] == 0) return true;  // a constant
    uint8_t out[kPcFldOut];
    if (!pc_fld(reinterpret_cast<const char*>(op + ap_off), reinterpret_cast<const char*>(op + fld_off),
                pc_occ{0, PC_OCC_NONE, {}}, out, ctx))
      return false;
    const celem_view ce(out + PCF_CELEM);
    uint8_t sr[SR_LEN] = {};
    memcpy(sr + SR_FLD, out + PCF_FL, 4);
    memcpy(sr + SR_FRM, fr + CFRM_NO, 4);
    st_le16(sr, SR_SEQ, ++seq);
    sr[SR_TYPE] = ce.type();
    memcpy(sr + SR_AP, ce.ap(), 3);
    st_le16(sr, SR_FLD_LEN, ce.size());
    st_le32(sr, SR_AREA, ce.area()), st_le32(sr, SR_OFF, ce.area_offset());
    if (listed(ctx->em, sr)) return --seq, true;
    return em_append(ctx->em, EM_SR, sr, SR_LEN) != 0 || pc_err(ctx, "summary reference not written");
  });
}

}  // namespace kivo
