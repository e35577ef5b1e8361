// Compiling a process: the header of the module from the PROCESS record and
// the PCF's special-use slots, the PCF and alternate file, the frames, the
// children, the default selections and the code of every event point.
//
// Invariant: the records of frames and children are written before any code,
// and each event point's entry is patched into its owner's record (or the
// block) after its statements are compiled; an event point without
// statements keeps 65535.
#include "compiler/pc_cmpl.h"

#include <cstring>

#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/em_file.h"
#include "compiler/em_records.h"
#include "compiler/pcb.h"
#include "fm/file_rec_view.h"
#include "fm/fm_open.h"
#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/maddr.h"
#include "foundation/text.h"
#include "types/element_view.h"

namespace kivo {

namespace {

// Event points of the process, a frame and an image.
constexpr uint8_t kProcEpFirst = 1, kProcEpLast = 11;
constexpr uint8_t kFrmEpFirst = 21, kFrmEpLast = 25;
constexpr uint8_t kImgEpFirst = 41, kImgEpLast = 44;
constexpr uint8_t kQueryProc = 5;

// Special-use slots of the FILE record (FI_SPECIAL + 4 x slot).
enum : int { SU_DEL_FLAG = 0, SU_REF_CNT = 2, SU_ADD_STAMP = 4, SU_CHG_STAMP = 5, SU_ADD_USER = 6, SU_CHG_USER = 7 };
// PROCESS bytes without a name in the shared table.
enum : size_t {
  PR_QRY_MODE = 166,
  PR_TAG_MODE = 167,
  PR_ERR_CANCEL = 168,
  PR_AREA3 = 169,
  PR_AREA13 = 170,
  PR_NO_ACC_SECR = 172,
};
// QL and QO records: the process, kind, number, then the body of the
// SELECT record (a statement's 54-121, a sort line's 56-107).
enum : size_t { Q_AP = 0, Q_NAME = 3, Q_KIND = 33, Q_SEQ = 36, Q_BODY = 40 };
constexpr size_t kQslctLen = 112, kQsortLen = 92;
constexpr size_t kSelStmtNo = 50, kSelStmtBody = 54, kSelBody = 68;
constexpr size_t kSortLineNo = 52, kSortLineBody = 56, kSortBody = 52;

uint8_t digit_or_byte(uint8_t b) { return b >= '0' && b <= '9' ? static_cast<uint8_t>(b - '0') : b; }

bool blank(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ' && p[i] != 0) return false;
  return true;
}

// The stamp field of a special-use slot.
bool stamp_field(PC_CTX* ctx, const uint8_t* elem, em_stamp* out, uint32_t* mask) {
  const elem_view el(elem);
  out->off = el.offset();
  out->type = el.type();
  out->size = static_cast<uint8_t>(el.size());
  out->first = el.hi();
  out->last = el.lo();
  *mask = date_mask_const(ctx, elem);
  return ctx->err_cnt == 0;
}

// Record-field positions from the PCF's special-use slots; -1 when empty.
bool special_slots(PC_CTX* ctx, const char* ap, const uint8_t* fi) {
  EM* em = ctx->em;
  em->em_add_user_off = em->em_chg_user_off = em->em_del_flag_off = em->em_ref_cnt_off = -1;
  em->em_add_stamp.off = em->em_chg_stamp.off = -1;
  for (int slot : {SU_DEL_FLAG, SU_REF_CNT, SU_ADD_STAMP, SU_CHG_STAMP, SU_ADD_USER, SU_CHG_USER}) {
    const uint32_t seq = file_rec_view(fi).special_seq(slot);
    if (!seq) continue;
    uint8_t e[kElementSize];
    if (!pc_file_elem(ctx, ap, fi + FI_NAME, seq, e))
      return pc_err(ctx, "special field %u of file %.8s not found", seq, fi + FI_NAME);
    const int32_t off = elem_view(e).offset();
    switch (slot) {
      case SU_DEL_FLAG: em->em_del_flag_off = off; break;
      case SU_ADD_USER: em->em_add_user_off = off; break;
      case SU_CHG_USER: em->em_chg_user_off = off; break;
      case SU_REF_CNT:
        em->em_ref_cnt_off = off, em->em_ref_cnt_type = elem_view(e).type();
        em->em_ref_cnt_len = static_cast<uint8_t>(elem_view(e).size());
        break;
      case SU_ADD_STAMP:
        if (!stamp_field(ctx, e, &em->em_add_stamp, &em->em_add_stamp_msk)) return false;
        break;
      default:
        if (!stamp_field(ctx, e, &em->em_chg_stamp, &em->em_chg_stamp_msk)) return false;
    }
  }
  return true;
}

// The header bytes that come straight from the PROCESS record.
void header(EM* em, const uint8_t* pr) {
  em->em_stamp1 = ld_le32(pr, PR_STAMP), em->em_stamp2 = ld_le32(pr, PR_STAMP + 4);
  char secr[5] = {};
  memcpy(secr, pr + PR_SECR, 4);
  em->em_secr_class = blank(pr + PR_SECR, 4) ? -1 : ut_xlate_secr(secr);
  em->em_rcv_class = digit_or_byte(pr[PR_RCV_CLASS]);
  em->em_pcf_key = pr[PR_PCF_KEY];
  em->em_pcf_hold = pr[PR_PCF_HOLD] == '1';
  em->em_qry_mode_dflt = pr[PR_QRY_MODE];
  em->em_tag_mode = pr[PR_TAG_MODE];
  em->em_ap_err_cancel = pr[PR_ERR_CANCEL];
  em->em_alog_mode = digit_or_byte(pr[PR_ALOG]);
  em->em_no_acc_secr = pr[PR_NO_ACC_SECR] == '1';
  em->em_area3 = pr[PR_AREA3];
  memcpy(em->em_area13, pr + PR_AREA13, 2);
  memcpy(em->em_pcf_ap, pr + PR_PCF_AP, 3);
  memcpy(em->em_alt_ap, pr + PR_ALT_AP, 3);
  memcpy(em->em_alt_fi, pr + PR_ALT_FILE, 8);
  memcpy(em->em_alt_key, pr + PR_ALT_KEY, 22);
  memcpy(em->em_ap_title, pr + PR_TITLE, 60);
  memcpy(em->em_rpt_ap, pr + PR_RPT_AP, 3);
  memcpy(em->em_rpt_nam, pr + PR_RPT_NAME, 30);
}

// The CFI record of a compiled file, in place.
uint8_t* cfi_rec(EM* em, const char* ap, const uint8_t* name) {
  uint8_t key[CFI_LEN] = {};
  memcpy(key + size_t{CFI_FDB} + FDB_AP, ap, 3);
  memcpy(key + size_t{CFI_FDB} + FDB_NAME, name, 8);
  return em_read_key(em->em_cfi_arb, 0, key);
}

// The PCF: its number and record area in the header before its fields are
// compiled (so that its PK records are written), then the special slots.
bool compile_pcf(PC_CTX* ctx, const uint8_t* pr, uint8_t access) {
  EM* em = ctx->em;
  if (blank(pr + PR_PCF_AP, 3)) {
    memset(em->em_pcf_ap, ' ', 3);
    em->em_add_user_off = em->em_chg_user_off = em->em_del_flag_off = em->em_ref_cnt_off = -1;
    em->em_add_stamp.off = em->em_chg_stamp.off = -1;
    return true;
  }
  const char* ap = reinterpret_cast<const char*>(pr + PR_PCF_AP);
  uint8_t fi[kFileRecSize] = {};
  memcpy(fi + FI_NAME, pr + PR_PCF_NAME, 8);
  if (!pc_design_rec(ctx, ap, PC_DFILE, 0, fi, kFileRecSize))
    return pc_err(ctx, "PCF %.8s of %.3s not found", pr + PR_PCF_NAME, ap);
  em->em_pcf_id = file_rec_view(fi).number();
  uint8_t* cap = pc_ap(ap, em, ctx);
  uint8_t cfi[CFI_LEN];
  if (!cap || !pc_fi(cap, reinterpret_cast<const char*>(pr + PR_PCF_NAME), cfi, ctx, PC_FI_OPENED, access))
    return false;
  em->em_cns_rec = cfi_view(cfi).rec_area();
  if (pr[PR_PCF_REQ] == '1') cfi_rec(em, ap, pr + PR_PCF_NAME)[CFI_REQUIRED] = 1;
  return special_slots(ctx, ap, fi);
}

bool compile_alt(PC_CTX* ctx, const uint8_t* pr) {
  if (blank(pr + PR_ALT_AP, 3) || blank(pr + PR_ALT_FILE, 8)) return true;
  uint8_t* cap = pc_ap(reinterpret_cast<const char*>(pr + PR_ALT_AP), ctx->em, ctx);
  uint8_t cfi[CFI_LEN];
  return cap && pc_fi(cap, reinterpret_cast<const char*>(pr + PR_ALT_FILE), cfi, ctx, PC_FI_OPENED, kPcAccRead);
}

// A QUERY process's work files of "0LA", whose streams the sorted query
// takes from the module's compiled files.
bool compile_query_files(PC_CTX* ctx) {
  if (ctx->proc_type != kQueryProc) return true;
  uint8_t* cap = pc_ap("0LA", ctx->em, ctx);
  uint8_t cfi[CFI_LEN];
  for (const char* name : {"QPARM   ", "QSLCT   ", "QSORT   ", "QTAG    "})
    if (!cap || !pc_fi(cap, name, cfi, ctx, PC_FI_OPENED, kPcAccUpdate)) return false;
  return true;
}

// FR records in design order; event points are compiled later.
bool compile_frames(PC_CTX* ctx, ARB* frames, std::vector<uint32_t>* numbers) {
  EM* em = ctx->em;
  uint8_t key[kFrameRecSize] = {};
  key[FR_TYPE] = ctx->proc_type, memcpy(key + FR_NAME, ctx->proc_nam, 30);
  return pc_each_design(ctx, INIT_DFRM_FDB, ctx->ap, frames, key, FR_PART, kFrameRecSize, [&](const uint8_t* f) {
    uint8_t fr[CFRM_LEN] = {};
    fr[CFRM_KIND] = f[FR_KIND];
    st_le32(fr, CFRM_NO, em->em_frm_cnt + 1);
    memcpy(fr + CFRM_DESIGN_NO, f + FR_NUMBER, 4);
    fr[CFRM_PART] = f[FR_PART];
    fr[CFRM_PRESENT] = f[FR_ENABLED] == 1;
    memcpy(fr + CFRM_QPARM_WORD, f + FR_QPARM_WORD, 4);
    fr[CFRM_QPARM_BYTE] = f[FR_QPARM_BYTE];
    if (!blank(f + FR_SELECT, 800)) {
      const uint32_t c = bld_cnst(&ctx->bld, f + FR_SELECT, 800);
      if (!c) return pc_err(ctx, "selection of frame %u not stored", ld_le32(f, FR_NUMBER)) != 0;
      st_le32(fr, CFRM_SLCT, c);
    }
    memcpy(fr + CFRM_RANGE_AP, f + FR_RANGE_AP, 3);
    memcpy(fr + CFRM_RANGE_FLD, f + FR_RANGE_FLD, 22);
    memcpy(fr + CFRM_COUNT, f + FR_COUNT, 2);
    for (int i = 0; i < 5; ++i) st_le16(fr, CFRM_EP + 4u * static_cast<uint32_t>(i), kNoCode);
    if (pc_frame(em, ld_le32(f, FR_NUMBER)))
      return pc_err(ctx, "frame %u: two frames with one number", ld_le32(f, FR_NUMBER)) != 0;
    if (!em_append(em, EM_FR, fr, CFRM_LEN)) return pc_err(ctx, "frame %u not written", ld_le32(f, FR_NUMBER)) != 0;
    ++em->em_frm_cnt;
    uint8_t* rec = pc_frame(em, ld_le32(f, FR_NUMBER));
    if (!rec || !pc_cmpl_images(ctx, rec) || !pc_cmpl_totals(ctx, rec)) return false;
    numbers->push_back(ld_le32(f, FR_NUMBER));
    return true;
  });
}

// QL and QO: the QSLCT and QSORT records of the process's SELECT records.
bool compile_selects(PC_CTX* ctx, ARB* sel) {
  uint8_t key[kSelectRecSize] = {};
  key[0] = ctx->proc_type, memcpy(key + 1, ctx->proc_nam, 30);
  return pc_each_design(ctx, INIT_DSLCT_FDB, ctx->ap, sel, key, 31, kSelectRecSize, [&](const uint8_t* s) {
    const uint32_t seq = ld_le32(s, SL_SEQ);
    if (s[SL_KIND] != 1 && s[SL_KIND] != 2) return pc_err(ctx, "selection %u: kind %u", seq, s[SL_KIND]) != 0;
    const bool stmt = s[SL_KIND] == 1;
    uint8_t q[kQslctLen] = {};
    memcpy(q + Q_AP, ctx->ap, 3), memcpy(q + Q_NAME, ctx->proc_nam, 30);
    memcpy(q + Q_KIND, s + SL_BODY, 3);  // a statement: its kind and two blanks
    memcpy(q + Q_SEQ, s + (stmt ? kSelStmtNo : kSortLineNo), 4);
    if (stmt) memcpy(q + Q_BODY, s + kSelStmtBody, kSelBody);
    else memcpy(q + Q_BODY, s + kSortLineBody, kSortBody);
    if (stmt) SET_BLANK(q + Q_KIND + 1, 2);
    if (!em_append(ctx->em, stmt ? EM_QL : EM_QO, q, stmt ? kQslctLen : kQsortLen))
      return pc_err(ctx, "selection %u not written", seq) != 0;
    return true;
  });
}

void put_entry(uint8_t* rec, size_t off, em_entry e) { st_le16(rec, off, e.blk), st_le16(rec, off + 2, e.off); }

// The code of the process's, each frame's and each child's event points.
bool compile_code(PC_CTX* ctx, const std::vector<uint32_t>& frames, std::vector<sc_error>* errs) {
  EM* em = ctx->em;
  uint8_t owner[kStmtKeyPrefix] = {};
  owner[STMT_PROC_TYPE] = ctx->proc_type;
  memcpy(owner + STMT_PROC_NAME, ctx->proc_nam, 30);
  SET_BLANK(owner + STMT_BLANK1, 2);
  for (uint8_t ep = kProcEpFirst; ep <= kProcEpLast; ++ep) em->em_ep[ep - 1] = pc_cmpl_ep(ctx, owner, ep, 0, errs);
  for (uint32_t n = 1; n <= em->em_frm_cnt; ++n) {
    uint8_t* fr = pc_frame(em, frames[n - 1]);
    if (!fr) return pc_err(ctx, "frame %u lost", frames[n - 1]);
    uint8_t k[kStmtKeyPrefix];
    memcpy(k, owner, sizeof k);
    k[STMT_FRM_PART] = fr[CFRM_PART];
    memcpy(k + STMT_FRM_NO, fr + CFRM_DESIGN_NO, 4);
    for (uint8_t ep = kFrmEpFirst; ep <= kFrmEpLast; ++ep)
      put_entry(fr, CFRM_EP + 4u * (ep - kFrmEpFirst), pc_cmpl_ep(ctx, k, ep, static_cast<uint16_t>(n), errs));
    const uint32_t first = ld_le32(fr, CFRM_FIRST_IMG);
    for (uint32_t i = first; first && i < first + fr[CFRM_IMG_CNT]; ++i) {
      uint8_t key[CIMG_LEN] = {};
      st_le32(key, CIMG_INDEX, i);
      uint8_t* im = em_read_key(em->em_cimg_arb, 0, key);
      if (!im) return pc_err(ctx, "image %u lost", i);
      k[STMT_IMG_NO] = im[CIMG_NO];
      for (uint8_t ep = kImgEpFirst; ep <= kImgEpLast; ++ep)
        put_entry(im, CIMG_EP + 4u * (ep - kImgEpFirst), pc_cmpl_ep(ctx, k, ep, static_cast<uint16_t>(i), errs));
    }
  }
  return pc_cmpl_children_code(ctx, errs);
}

bool compile_body(const PCB* pcb, PC_CTX* ctx, std::vector<sc_error>* errs) {
  EM* em = ctx->em;
  const INVOC& inv = pcb->invoc;
  uint8_t pr[kProcRecSize];
  if (!pc_read_process(ctx->ap, ctx->ver, ctx->proc_type, ctx->proc_nam, pr))
    return pc_err(ctx, "process %.30s not found", ctx->proc_nam);
  memcpy(em->em_ap, inv.ap_id(), 3), memcpy(em->em_ver, inv.ver(), 2);
  em->em_proc_type = ctx->proc_type, memcpy(em->em_proc_nam, ctx->proc_nam, 30);
  memcpy(em->em_lang, pcb->pcb_lang, 3);
  header(em, pr);
  if (!pc_prep(ctx)) return false;
  // The statements' access, raised to update when the PROCESS record opens the PCF for it.
  uint8_t access = blank(pr + PR_PCF_AP, 3) ? kPcAccRead : pc_stmt_access(ctx, pr + PR_PCF_AP, pr + PR_PCF_NAME);
  if (access == kPcAccRead && pr[PR_PCF_UPDATE] == '1') access = kPcAccUpdate;
  if (!compile_pcf(ctx, pr, access) || !compile_alt(ctx, pr) || !compile_query_files(ctx)) return false;
  pc_dsn_file frames(ctx, INIT_DFRM_FDB), selects(ctx, INIT_DSLCT_FDB);
  if (!frames.ok() || !selects.ok()) return false;
  std::vector<uint32_t> numbers;  // design frame number by compiled number - 1
  return compile_frames(ctx, frames.arb, &numbers) && pc_cmpl_children(ctx) && compile_selects(ctx, selects.arb) &&
         compile_code(ctx, numbers, errs);
}

}  // namespace

// Compiles the statements of `ep` of the owner key; the entry of its code,
// or 65535 without statements.
em_entry pc_cmpl_ep(PC_CTX* ctx, const uint8_t* owner, uint8_t ep, uint16_t owner_no, std::vector<sc_error>* errs) {
  const em_entry at = ctx->bld.pos;
  const uint32_t rows = ctx->em->em_toc_cnt;
  if (!sc_cmpl_ep(ctx, owner, ep, errs) || ctx->em->em_toc_cnt == rows) return {kNoCode, 0};
  if (uint8_t* to = MADDR(ctx->em->em_toc_arb, ctx->em->em_toc_cnt)) st_le16(to, TOC_OWNER, owner_no);
  return at;
}

void pc_invoc_defaults(INVOC* out) {
  memset(out->b, 0, kInvocSize);
  SET_BLANK(out->caller_code(), 4);
  out->b[INVOC_BYTE_64] = 255, out->set_pcf_key_no(255);
  SET_BLANK(out->rng_ap(), 33);
  SET_BLANK(out->cnstr_ap(), 3);
}

pc_as_application::pc_as_application(const char* ap, const char* ver) {
  memcpy(ap_, com.cur_ap, 3), memcpy(ver_, com.cur_ver, 2);
  if (!ut_design_appl_missing(ap, ver)) memcpy(com.cur_ap, ap, 3), memcpy(com.cur_ver, ver, 2);
}

pc_as_application::~pc_as_application() { memcpy(com.cur_ap, ap_, 3), memcpy(com.cur_ver, ver_, 2); }

int pc_cmpl(const PCB* pcb, PC_CTX* ctx, std::vector<sc_error>* errs) {
  const INVOC& inv = pcb->invoc;
  memcpy(ctx->ap, inv.ap_id(), 3), memcpy(ctx->ver, inv.ver(), 2);
  const pc_as_application running_as(ctx->ap, ctx->ver);
  ctx->proc_type = inv.proc_type(), memcpy(ctx->proc_nam, inv.proc_nam(), 30);
  if (!(ctx->em = em_create())) return pc_err(ctx, "module of %.30s not created", ctx->proc_nam);
  em_guard(ctx->em);
  const bool ok = compile_body(pcb, ctx, errs);
  if (ctx->prepared && pc_cmpl_finish(ctx) && ok) {
    if (em_cfi_load_keys(ctx->em)) return 1;
    pc_err(ctx, "key arrays of the compiled files not built");
  }
  if (ok && !ctx->err_cnt) pc_err(ctx, "process %.30s not compiled", ctx->proc_nam);
  em_destroy(ctx->em);
  ctx->em = nullptr;
  return 0;
}

}  // namespace kivo
