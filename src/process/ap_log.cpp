// The action log: the progress window of a run, the family a run joins or
// heads (its ALOGFAM record), the lines of its error file moved into
// STDALOG, and the hand-over of a family's lines by its head.
//
// Invariants: each ACTION-type process has one ALOGFAM record while it runs,
// written or rewritten at its start (a record an earlier run left is taken
// over, never trusted) and removed at its end; no hold outlives a call.
// Callers: ap_exec.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/em.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/sys_err.h"
#include "process/ap.h"
#include "process/fp.h"
#include "process/pi_exec.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"
#include "process/process.h"
#include "screen/wm.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

constexpr char kModule[] = "AP";
constexpr size_t kTitleLen = 60;
constexpr size_t kKeyTextMax = 61;  // fields are added while the text is shorter

bool action_type(uint8_t t) { return t == PT_ACTION || t == PT_UPDATE || t == PT_JOB; }

// ---- ALOGFAM ----

void fam_key(const PCB* p, uint8_t* rec) {
  memset(rec, ' ', kAlogFamLen);
  memcpy(rec + AFAM_AP, p->invoc.ap_id(), 3);
  rec[AFAM_TYPE] = p->invoc.proc_type();
  memcpy(rec + AFAM_NAME, p->invoc.proc_nam(), kProcNameLen);
}

// Reads p's record into `rec` (with `mode`, e.g. a hold); 1 found.
int fam_read(const PCB* p, uint8_t* rec, uint16_t mode) {
  ARB* a = alog_family_arb;
  if (!a) return 0;
  fam_key(p, rec);
  PROTO_FULL(a, 0, rec);
  a->arb_len = kAlogFamLen, a->arb_mod = uint16_t(ARB_EQUAL | mode);
  const int ok = fm_read(a);
  a->arb_mod = 0;
  return ok;
}

bool is_head(const PCB* p, const uint8_t* fam) {
  return fam[AFAM_HEAD_TYPE] == p->invoc.proc_type() &&
         memcmp(fam + AFAM_HEAD_NAME, p->invoc.proc_nam(), kProcNameLen) == 0;
}

// Writes p's record, or rewrites the one an earlier run left under its key.
void fam_put(const PCB* p, uint32_t family, uint8_t head_type, const uint8_t* head_name) {
  ARB* a = alog_family_arb;
  uint8_t old[kAlogFamLen];
  const bool found = fam_read(p, old, ARB_HOLD);
  static uint8_t rec[kAlogFamLen];
  fam_key(p, rec);
  st_le32(rec, AFAM_ID, family);
  rec[AFAM_HEAD_TYPE] = head_type;
  memcpy(rec + AFAM_HEAD_NAME, head_name, kProcNameLen);
  PROTO_FULL(a, 0, rec);
  a->arb_len = a->arb_var_len = kAlogFamLen, a->arb_mod = 0;
  if (!(found ? fm_rewrite(a) : fm_write(a))) {
    checkstat(a->arb_stat, "Bad alog family write", kModule, __LINE__);
    fm_release(a);
  }
}

// Deletes p's record; quietly when there is none.
void fam_delete(const PCB* p) {
  uint8_t rec[kAlogFamLen];
  if (!fam_read(p, rec, ARB_HOLD)) return;
  alog_family_arb->arb_mod = 0;
  if (!fm_del(alog_family_arb)) {
    checkstat(alog_family_arb->arb_stat, "Bad family del ", kModule, __LINE__);
    fm_release(alog_family_arb);
  }
}

// ---- STDALOG ----

// The sequence number of the family's last line, 0 when it has none.
uint32_t last_seq(uint32_t family) {
  ARB* a = alog_arb;
  uint8_t key[kAlogLen] = {};
  st_le32(key, ALOG_FAMILY, family);
  PROTO_FULL(a, 0, key);
  a->arb_mod = 0;
  uint32_t seq = 0;
  if (!fm_start(a)) return 0;
  while (const uint8_t* r = fm_rdnxt_fast(a, 0)) {
    if (ld_le32(r, ALOG_FAMILY) != family) break;
    seq = ld_le32(r, ALOG_SEQ);
  }
  return seq;
}

bool family_has_lines(uint32_t family) { return last_seq(family) != 0; }

// Deletes every line of the family; false after a reported failure.
bool delete_lines(uint32_t family) {
  ARB* a = alog_arb;
  uint8_t rec[kAlogLen];
  for (;;) {
    memset(rec, 0, sizeof rec);
    st_le32(rec, ALOG_FAMILY, family);
    PROTO_FULL(a, 0, rec);
    a->arb_len = kAlogLen, a->arb_mod = 0;
    if (!fm_start(a)) return true;
    a->arb_mod = ARB_HOLD;
    if (!fm_rdnxt(a)) return a->arb_stat == FM_EOF;
    a->arb_mod = 0;
    if (ld_le32(rec, ALOG_FAMILY) != family) return fm_release(a), true;
    if (!fm_del(a)) {
      checkstat(a->arb_stat, "Bad delete all ", kModule, __LINE__);
      fm_release(a);
      return false;
    }
  }
}

// The text of message `no`, blank-padded to `len`.
std::string msg_text(uint32_t no, size_t len) {
  char buf[kMsgTextMax + 1] = {};
  std::string t = la_get_str(buf, sizeof buf, no) ? buf : "";
  t.resize(len, ' ');
  return t;
}

std::string rtrim(std::string s) {
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

// The number of the record just read: a memory file's id carries it (from
// 0) in its second word; otherwise the relative number, else the id.
uint32_t record_number(const ARB* a) {
  if (!a) return 0;
  if (a->arb_rec_id_area && a->arb_rec_id_len >= 8) return ld_le32(a->arb_rec_id_area, 4) + 1;
  if (a->arb_relno || !a->arb_rec_id_area || a->arb_rec_id_len < 4) return a->arb_relno;
  return ld_le32(a->arb_rec_id_area, 0);
}

// The key text of the current PCF record: each key field trimmed and
// followed by "/", added while the text is shorter than 61, the last "/" a
// blank, cut at 60; "Record ID n" for a file without keys.
std::string key_text(PCB* p, const uint8_t* cfi) {
  const uint8_t* rec = pi_pcf_rec(p);
  if (!rec) return "";
  if (cfi[FDB_ORG] == ORG_SEQUENTIAL || cfi[FDB_NKEYS] == 0) {
    char t[32];
    snprintf(t, sizeof t, "Record ID %u", record_number(p->pcb_pcf_arb));
    return t;
  }
  std::string t;
  for (const std::string& f : pi_key_texts(p, rec, kAlogKeyLen)) {
    if (t.size() >= kKeyTextMax) break;
    t += rtrim(f) + "/";
  }
  if (!t.empty()) t.back() = ' ';
  return t.substr(0, kAlogKeyLen);
}

// ---- the progress window ----

void progress_window(PCB* p, bool in_family) {
  p->pcb_act_wnd = nullptr, p->pcb_act_show = nullptr;  // an earlier run's are gone with its levels
  const char* title = p->pcb_em->em_ap_title;
  if (title[0] == '"' && title[1] == '"') return;
  const bool blank = is_blank(title, kTitleLen);
  if (blank && in_family) return;
  std::string text = blank ? msg_text(MSG_ALOG_TITLE, kTitleLen) : rtrim(std::string(title, kTitleLen));
  if (!blank && text.empty()) return;
  if (!com.base_srf || !ap_pool) return;  // no screen to show it on
  SRF_BLK sb{0, 0, 0};
  TSRF* srf = WM_CREATE_SRF(&sb, com.subproc_scope);
  if (!srf) return sys_err(kModule, __LINE__, "log_start() - no surface for the progress window");
  const int32_t width = int32_t(text.size());
  const int32_t row = std::max(1, (int32_t(com.scr_rows) - 3) / 2 - 2);
  const int32_t col = std::max(1, (int32_t(com.scr_cols) - width) / 2);
  WND_BLK b;
  INIT_WND(&b, row, col, 1, width, 0);
  TWND* w = WM_ATTACH(&b, srf, com.subproc_scope);
  if (!w) return sys_err(kModule, __LINE__, "log_start() - progress window refused (%u)", b.status);
  if (!wm_write_reg(w, reinterpret_cast<const uint8_t*>(text.data()), {}, {}))
    sys_err(kModule, __LINE__, "log_start() - progress window text (status %u)", w->status);
  auto* show = static_cast<SHOW_BLK*>(MM_ALLOC(ap_pool, sizeof(SHOW_BLK)));
  if (!show) return;
  *show = SHOW_BLK{};
  show->show_flags = SHOW_REFRESH;
  show->main_srf = p->pcb_main_srf ? static_cast<TSRF*>(p->pcb_main_srf)->id : 0;
  show->pop_srf = srf->id;
  wm_show(show, nullptr);
  p->pcb_act_wnd = w, p->pcb_act_show = show;
}

uint32_t action_log(PCB* p) {
  static const char* const kCodes[] = {"ACT ", nullptr, nullptr, "UPD ", "JOB ", nullptr, "STAT"};
  const uint8_t t = p->invoc.proc_type();
  const char* code = t >= PT_ACTION && t <= PT_STATUS ? kCodes[t - PT_ACTION] : nullptr;
  if (!code) {
    sys_err(kModule, __LINE__, "ap.c, log_end, invalid switch");
    return PI_END_CANCEL;
  }
  INVOC v = pi_invoc;
  memcpy(v.ap_id(), "0LA", 3), memcpy(v.ver(), "00", 2);
  v.set_proc_type(PT_INPUT);
  memset(v.proc_nam(), ' ', kProcNameLen), memcpy(v.proc_nam(), "ACTION LOG", 10);
  v.set_invoc_type(0);
  memcpy(v.caller_code(), code, 4);
  return pi_exec_child(p, &v);
}

// Hands the family's lines to "CONSTRAIN ALOG ID" through ALOGID.
uint32_t hand_over(PCB* p, uint32_t family) {
  ARB* a = alog_id_arb;
  uint8_t rec[kAlogIdLen];
  a->arb_keyno = 0, a->arb_relno = 1, a->arb_key = nullptr, a->arb_rec = rec, a->arb_len = kAlogIdLen;
  a->arb_mod = ARB_EQUAL | ARB_HOLD;
  if (!fm_read(a)) {
    checkstat(a->arb_stat, "Bad alog_id read ", kModule, __LINE__);
  } else {
    st_le32(rec, 0, family);
    a->arb_var_len = kAlogIdLen, a->arb_mod = 0;
    if (!fm_rewrite(a)) checkstat(a->arb_stat, "Bad alog id write ", kModule, __LINE__), fm_release(a);
  }
  a->arb_mod = 0;
  INVOC v = pi_invoc;
  memcpy(v.ap_id(), "0LA", 3), memcpy(v.ver(), "00", 2);
  v.set_proc_type(PT_ACTION);
  memset(v.proc_nam(), ' ', kProcNameLen), memcpy(v.proc_nam(), "CONSTRAIN ALOG ID", 17);
  v.set_invoc_type(2);
  return pi_exec_child(p, &v);
}

}  // namespace

void log_start(PCB* p) {
  pi_upd_stat(p);
  PCB* inv = invoc_parent(p->invoc);
  const bool in_family = inv && action_type(inv->invoc.proc_type());
  p->pcb_mlog_pcb = in_family && inv->pcb_mlog_pcb ? inv->pcb_mlog_pcb : p;
  progress_window(p, in_family);
  if (p->pcb_em->em_alog_mode || !alog_family_arb) return;
  uint8_t fam[kAlogFamLen];
  if (in_family && p->invoc.invoc_type() == 0) {
    if (fam_read(inv, fam, 0)) return fam_put(p, ld_le32(fam, AFAM_ID), fam[AFAM_HEAD_TYPE], fam + AFAM_HEAD_NAME);
    checkstat(alog_family_arb->arb_stat, "Bad alog fam read ", kModule, __LINE__);
  }
  fam_put(p, alog_family_id++, p->invoc.proc_type(), p->invoc.b + INVOC_PROC_NAM);
}

void log_add(PCB* p, uint32_t ctx) {
  ARB* err = p->pcb_err_fi;
  if (!err || !alog_arb) return;
  std::vector<std::string> lines;
  uint8_t dummy[kMsgRecMax] = {};
  PROTO_FULL(err, 0, dummy);
  err->arb_mod = ARB_FIRST;
  if (!fm_start(err)) return;
  while (const uint8_t* r = fm_rdnxt_fast(err, 0)) {
    const size_t n = std::min<size_t>(ld_le16(r, MSG_TEXT_LEN), kAlogTextLen);
    lines.emplace_back(reinterpret_cast<const char*>(r + MSG_TEXT), n);
  }
  err->arb_mod = 0;
  if (lines.empty()) return;
  uint8_t fam[kAlogFamLen];
  if (!fam_read(p, fam, 0)) return checkstat(alog_family_arb->arb_stat, "Bad alog read ", kModule, __LINE__);
  const uint32_t family = ld_le32(fam, AFAM_ID);
  const std::string context = msg_text(ctx, kAlogCtxLen);
  std::string file(8, ' '), key(kAlogKeyLen, ' ');
  if (const uint8_t* cfi = pi_pcf_cfi(p); cfi && p->pcb_pcf_arb) {
    memcpy(file.data(), cfi + FDB_NAME, 8);
    const std::string k = key_text(p, cfi);
    key.replace(0, k.size(), k);
  }
  uint32_t seq = last_seq(family);
  ARB* a = alog_arb;
  for (size_t i = 0; i < lines.size(); ++i) {
    uint8_t rec[kAlogLen];
    memset(rec, ' ', sizeof rec);
    st_le32(rec, ALOG_FAMILY, family), st_le32(rec, ALOG_SEQ, ++seq);
    memcpy(rec + ALOG_PROC, p->invoc.proc_nam(), kProcNameLen);
    memcpy(rec + ALOG_CTX, context.data(), kAlogCtxLen);
    memcpy(rec + ALOG_FILE, file.data(), 8);
    memcpy(rec + ALOG_KEY, key.data(), kAlogKeyLen);
    memcpy(rec + ALOG_TEXT, lines[i].data(), lines[i].size());
    rec[ALOG_FIRST] = i == 0 ? '1' : '0';
    PROTO_FULL(a, 0, rec);
    a->arb_len = a->arb_var_len = kAlogLen, a->arb_mod = 0;
    if (!fm_write(a)) checkstat(a->arb_stat, "Bad alog write ", kModule, __LINE__);
  }
  if (!fm_del_all(err)) checkstat(err->arb_stat, "Del msg file ", kModule, __LINE__);
}

uint32_t log_end(PCB* p) {
  if (p->pcb_em->em_alog_mode == 1) return action_log(p);
  if (!alog_family_arb) return PI_END_PROCESS;
  uint8_t fam[kAlogFamLen];
  if (!fam_read(p, fam, 0)) {
    checkstat(alog_family_arb->arb_stat, "Bad alog read ", kModule, __LINE__);
    return PI_END_PROCESS;
  }
  // A member's record goes with it; the head's with its family.
  if (!is_head(p, fam)) return fam_delete(p), PI_END_PROCESS;
  const uint32_t family = ld_le32(fam, AFAM_ID);
  uint32_t code = PI_END_PROCESS;
  if (family_has_lines(family)) {
    code = hand_over(p, family);
    delete_lines(family);
  }
  fam_delete(p);
  return code;
}

}  // namespace kivo
