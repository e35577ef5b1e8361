// The modification log of an input process: STDMLOG lines (115 bytes, kept
// in write order) for each record added, changed or deleted: a header line
// with the record's key text, then one detail line per field occurrence
// (every one for an add or delete, each changed one for a change).
//
// Invariants: values are shown in display form through the field's ELEMENT
// record, at most 40 characters; fields come in the order of their offsets
// in the record (key 3 of the compiled fields). A file that cannot be read
// or written (a data server's connection lost) ends the log, which then
// says which file and why: the change it logs was made all the same. A
// field the design lacks is an internal error.
// Callers: pi_write, pi_rewrite and pi_del (pi_pcf.cpp).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/em_field.h"
#include "compiler/em_records.h"
#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"
#include "interp/interp.h"
#include "process/pi.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"
#include "types/cnv.h"
#include "types/element.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PIPCF";
constexpr uint32_t CV_TEXT_CUT = 200050;  // the display is cut: accepted here
constexpr uint32_t kPcfKeyFld = 4;        // PK: the FL record of the segment
constexpr size_t kPkKey = 0;
constexpr size_t kApplLen = 324, kApplSettings = 188, kCapSettingsLen = 66;  // date mask to separators

// The date mask and number settings of the PCF's compiled application
// stand for its APPL record while the log converts values.
class cap_settings {
 public:
  explicit cap_settings(const uint8_t* cap) : old_(ut_get_design_recs()) {
    memset(appl_, ' ', kApplLen);
    memcpy(appl_ + kApplSettings, cap + CAP_DATE_MASK, kCapSettingsLen);
    foundation_hooks.design_recs = {[](const char*, const char*) -> const uint8_t* { return appl_; }, old_.dsysparm};
  }
  ~cap_settings() { foundation_hooks.design_recs = old_; }

 private:
  ut_design_recs old_;
  static inline uint8_t appl_[kApplLen];
};

struct field {
  const uint8_t* fl;  // compiled field
  uint8_t elem[kElementSize];
};

// The records of a module sub-file in the order of key `k` (read in locate
// mode: they stay where they are), each with its record number.
std::vector<std::pair<uint32_t, const uint8_t*>> records(ARB* a, uint8_t k, uint16_t len) {
  std::vector<std::pair<uint32_t, const uint8_t*>> out;
  if (!a) return out;
  std::vector<uint8_t> key(len, 0);
  PROTO_FULL(a, k, key.data());
  a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return out;
  while (const uint8_t* r = fm_rdnxt_fast(a, 0)) {
    const bool numbered = a->arb_rec_id_area && a->arb_rec_id_len >= 8;
    out.emplace_back(numbered ? ld_le32(a->arb_rec_id_area, 4) + 1 : 0, r);
  }
  return out;
}

// The ELEMENT records of the PCF's compiled fields, through one open of
// the design file for the run of one log operation, and why a file failed
// it (status 0 while none did).
class log_fields {
 public:
  explicit log_fields(PCB* p) : p_(p) {
    EM* em = p->pcb_em;
    char ver[2];
    pi_get_ver(p, em->em_pcf_ap, ver);
    uint32_t st = 0;
    delem_ = ii_open_delem_fi(em->em_pcf_ap, ver, &st);
    // A design file that does not open, there or not, fails the log once:
    // the change it logs stands, and a report per field would only say
    // the same thing again for each.
    if (!delem_) fail(st ? st : FM_NO_FILE, element_what(st == FM_NO_FILE || st == FM_NOT_FOUND));
  }
  ~log_fields() {
    if (delem_) FM_CLOSE(delem_, 0);
  }
  // The field's ELEMENT record into `f`; false when missing (reported) or
  // when the design file cannot be read (failed() says so).
  bool element(const uint8_t* fl, field* f, const char* what) {
    f->fl = fl;
    memset(f->elem, 0, kElementSize);
    memcpy(f->elem + ELEM_NAME, cfld_view(fl).name(), 22);
    if (failed()) return false;
    PROTO_FULL(delem_, 0, f->elem);
    delem_->arb_len = kElementSize, delem_->arb_mod = ARB_EQUAL;
    if (fm_read(delem_)) return true;
    if (delem_->arb_stat != FM_NOT_FOUND) return fail(delem_->arb_stat, element_what()), false;
    sys_err(kModule, __LINE__, "%s", what);
    return false;
  }
  void fail(uint32_t status, std::string what) {
    if (lost_.status) return;
    lost_.status = status ? status : FM_IO_ERR;
    lost_.what = std::move(what);
  }
  uint32_t failed() const { return lost_.status; }
  const mlog_lost& lost() const { return lost_; }
  // The PCF's fields in the order of their offsets.
  std::vector<field> all() {
    std::vector<field> out;
    EM* em = p_->pcb_em;
    for (auto [no, fl] : records(em->em_cfld_arb, 3, CFLD_LEN)) {
      if (memcmp(cfld_view(fl).ap(), em->em_pcf_ap, 3) || cfld_view(fl).elem() != em->em_pcf_id) continue;
      field f;
      if (element(fl, &f, "can't locate field delem")) out.push_back(f);
      if (failed()) return {};
    }
    return out;
  }

 private:
  std::string element_what(bool absent = false) const {
    return "the design file ELEMENT of " + std::string(p_->pcb_em->em_pcf_ap, 3) +
           (absent ? " is not there" : " could not be read");
  }
  PCB* p_;
  ARB* delem_ = nullptr;
  mlog_lost lost_;
};

// The display text of the value at `v`, at most `room` characters (the
// element's display length when shorter); false when it does not convert.
bool display(const field& f, const uint8_t* v, size_t room, std::string* out) {
  CNV c;
  sitm s;
  cv_bld_sitm(&s, f.elem, nullptr);
  if (!cv_cmpl(&c, &s, nullptr)) return false;
  if ((c.cnv_type == ELEM_ALP || c.cnv_type == ELEM_ALP_BLOCK) && c.ta.alp.token_id) cv_load_token_of(&c);
  const int32_t rows = c.ext_rows > 0 ? c.ext_rows : 1;
  const size_t width = static_cast<size_t>(rows) * static_cast<size_t>(c.ext_cols > 0 ? c.ext_cols : 0);
  std::string text(width ? width : 1, ' ');
  c.int_addr = const_cast<uint8_t*>(v), c.int_indirect = 0, c.addr_mode = 0;
  c.ext_addr = text.data(), c.ext_stride = static_cast<uint32_t>(c.ext_cols),
  c.ext_len = static_cast<uint16_t>(text.size());
  if (!cv_itoe(&c) && c.cnv_status != CV_TEXT_CUT) return false;
  out->assign(text, 0, std::min(room, width));
  return true;
}

uint8_t* pcf_rec_at(const uint8_t* rec, const uint8_t* fl) {
  return const_cast<uint8_t*>(rec) + cfld_view(fl).offset();
}

// A line into the log; a log that cannot be written ends the log's run
// with its status.
void put(PCB* p, log_fields& lf, const uint8_t* line) {
  if (lf.failed()) return;
  ARB* a = pi_mlog_arb(p);
  uint8_t* keep = a->arb_rec;
  a->arb_rec = const_cast<uint8_t*>(line), a->arb_var_len = kMlogRecLen, a->arb_mod = 0;
  const int ok = fm_write(a);
  a->arb_rec = keep;
  if (!ok) lf.fail(a->arb_stat, "its file STDMLOG could not be written");
}

// The segments of key 0 in display form, each cut to `room`; the walk
// stops at a segment it cannot locate or convert (reported).
std::vector<std::string> key_segments(PCB* p, log_fields& lf, const uint8_t* rec, size_t room) {
  EM* em = p->pcb_em;
  std::vector<std::string> out;
  const auto fields = records(em->em_cfld_arb, 0, CFLD_LEN);
  for (auto [pk_no, pk] : records(em->em_pcf_key_arb, 0, PK_LEN)) {
    if (ld_le16(pk, kPkKey) != 0) break;
    const uint8_t* fl = nullptr;
    for (auto [no, r] : fields)
      if (no == ld_le32(pk, kPcfKeyFld)) fl = r;
    if (!fl) {
      sys_err(kModule, __LINE__, "can't locate key segment cfld");
      break;
    }
    field f;
    if (!lf.element(fl, &f, "can't locate key segment delem")) break;
    std::string seg;
    if (!display(f, pcf_rec_at(rec, fl), room, &seg)) {
      sys_err(kModule, __LINE__, "key segment conversion failure");
      break;
    }
    out.push_back(seg);
  }
  return out;
}

// The key text: each segment in the room the text so far leaves; a
// segment that would pass 40 characters ends it.
std::string key_text(PCB* p, log_fields& lf, const uint8_t* rec) {
  std::string text;
  for (const std::string& seg : key_segments(p, lf, rec, kMlogKeyLen)) {
    text.erase(text.find_last_not_of(' ') + 1);
    const size_t room = kMlogKeyLen - text.size();
    if (seg.size() > room) {
      text += seg.substr(0, room);
      break;
    }
    text += seg;
  }
  return text.substr(0, kMlogKeyLen);
}

void header(PCB* p, log_fields& lf, uint8_t kind, const uint8_t* rec) {
  uint8_t line[kMlogRecLen];
  memset(line, ' ', kMlogRecLen);
  line[MLOG_KIND] = kind;
  memcpy(line + MLOG_AP, p->pcb_em->em_pcf_ap, 3);
  memset(line + MLOG_NAME, ' ', 30);
  if (const uint8_t* c = pi_pcf_cfi(p)) memcpy(line + MLOG_NAME, c + FDB_NAME, 8);
  line[MLOG_OCC] = 0;
  const std::string k = key_text(p, lf, rec);
  memcpy(line + MLOG_OLD, k.data(), k.size());
  put(p, lf, line);
}

// A detail line of occurrence `occ` (0: a field without occurrences); `old`
// null for an add or a delete.
void detail(PCB* p, log_fields& lf, const field& f, uint8_t occ, const uint8_t* old, const uint8_t* now) {
  uint8_t line[kMlogRecLen];
  memset(line, ' ', kMlogRecLen);
  line[MLOG_KIND] = MLOG_DETAIL;
  memcpy(line + MLOG_NAME, cfld_view(f.fl).name(), 22);
  line[MLOG_OCC] = occ;
  std::string t;
  if (old) {
    if (!display(f, old, kMlogValLen, &t)) sys_err(kModule, __LINE__, "key field conversion failure");
    memcpy(line + MLOG_OLD, t.data(), t.size());
  }
  t.clear();
  if (!display(f, now, kMlogValLen, &t)) sys_err(kModule, __LINE__, "key field conversion failure");
  memcpy(line + MLOG_NEW, t.data(), t.size());
  put(p, lf, line);
}

bool cap_present(PCB* p) {
  if (pi_cap(p->pcb_em, p->pcb_em->em_pcf_ap)) return true;
  sys_err(kModule, __LINE__, "can't locate pcf cap");
  return false;
}

uint16_t occurs(const field& f) { return cfld_view(f.fl).occurs(); }

}  // namespace

std::vector<std::string> pi_key_texts(PCB* p, const uint8_t* rec, size_t room) {
  EM* em = p->pcb_em;
  if (!rec || !em->em_pcf_key_arb || !cap_present(p)) return {};
  cap_settings settings(pi_cap(em, em->em_pcf_ap));
  log_fields lf(p);
  return key_segments(p, lf, rec, room);
}

ARB* pi_mlog_arb(const PCB* p) { return p->pcb_mlog_pcb ? p->pcb_mlog_pcb->pcb_mlog_arb : nullptr; }

mlog_lost pi_mlog_all(PCB* p, uint8_t kind) {
  const uint8_t* rec = pi_pcf_rec(p);
  if (!rec || !cap_present(p)) return {};
  cap_settings settings(pi_cap(p->pcb_em, p->pcb_em->em_pcf_ap));
  log_fields lf(p);
  header(p, lf, kind, rec);
  for (const field& f : lf.all()) {
    const uint16_t n = occurs(f), size = cfld_view(f.fl).size();
    for (uint16_t i = 0; i < std::max<uint16_t>(n, 1) && !lf.failed(); ++i)
      detail(p, lf, f, n > 1 ? uint8_t(i + 1) : 0, nullptr, pcf_rec_at(rec, f.fl) + size_t(i) * size);
  }
  return lf.lost();
}

mlog_lost pi_mlog_change(PCB* p, const uint8_t* before, const uint8_t* after) {
  const uint16_t len = pi_pcf_len(p);
  auto next_diff = [&](size_t from) {
    while (from < len && before[from] == after[from]) ++from;
    return from;
  };
  size_t d = next_diff(0);
  if (d >= len || !cap_present(p)) return {};
  cap_settings settings(pi_cap(p->pcb_em, p->pcb_em->em_pcf_ap));
  log_fields lf(p);
  header(p, lf, MLOG_CHG, after);
  for (const field& f : lf.all()) {
    const cfld_view fl(f.fl);
    const uint16_t n = fl.occurs(), size = fl.size(), off = fl.offset();
    for (uint16_t i = 0; i < std::max<uint16_t>(n, 1); ++i) {
      const size_t at = off + size_t(i) * size;
      if (at + size <= d || at + size > len || memcmp(before + at, after + at, size) == 0) continue;
      detail(p, lf, f, n > 1 ? uint8_t(i + 1) : 0, before + at, after + at);
      if (lf.failed() || (d = next_diff(at + size)) >= len) return lf.lost();
    }
  }
  return lf.lost();
}

}  // namespace kivo
