// The check of a module read from a module file: every count against its
// sub-file, the area table, every instruction and every reference in it,
// the event-point entries and rows, the compiled fields and constraint
// templates, and the compile stamps of the compiled files against the
// design. A module that fails any of it is compiled again.
//
// Invariant: nothing here follows a number from the file before it has been
// compared with the bounds it must lie in.
#include <cstring>
#include <vector>

#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/em_child.h"
#include "compiler/em_field.h"
#include "compiler/em_file.h"
#include "compiler/em_item.h"
#include "compiler/em_records.h"
#include "compiler/inst.h"
#include "compiler/pc.h"
#include "compiler/pc_cmpl.h"
#include "compiler/pl.h"
#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/bytes.h"
#include "foundation/maddr.h"
#include "types/cnv.h"
#include "types/element.h"

namespace kivo {

namespace {

constexpr uint16_t kComConstEnd = kComConstBase + 460;
constexpr size_t kSubRecMax = sizeof(CITM);  // the longest keyed record walked here
static_assert(kSubRecMax >= CIMG_LEN && kSubRecMax <= kFrameRecSize);

// What the check knows of the module once its tables are built.
struct view {
  EM* em;
  std::vector<uint16_t> cn_len;                // by constant number
  std::vector<uint32_t> area_size;             // by area number; 0 = no area
  std::vector<std::vector<bool>> inst_starts;  // by block, by offset
  std::vector<const CNV*> cv;                  // by CV record number; [0] null
  std::string* why;
  bool fail(const std::string& w) { return *why = w, false; }
};

// Record lengths of a sub-file in record order.
std::vector<uint16_t> rec_lens(EM* em, em_sub sub) {
  ARB* a = em_sub_arb(em, sub);
  std::vector<uint16_t> out;
  static uint8_t buf[32767];
  a->arb_rec = buf, a->arb_len = sizeof buf, a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return out;
  for (a->arb_mod = 0; fm_rdnxt(a);) out.push_back(a->arb_var_len ? a->arb_var_len : a->arb_len);
  a->arb_mod = 0;
  return out;
}

bool counts(view& v) {
  EM* em = v.em;
  const struct {
    em_sub sub;
    uint32_t count;
  } rows[] = {{EM_IN, em->em_inst_cnt}, {EM_CN, em->em_cnst_cnt}, {EM_FI, em->em_cfi_cnt},  {EM_FL, em->em_fld_cnt},
              {EM_LF, em->em_area_cnt}, {EM_FR, em->em_frm_cnt},  {EM_IM, em->em_img_cnt},  {EM_IT, em->em_itm_cnt},
              {EM_CL, em->em_chld_cnt}, {EM_TO, em->em_toc_cnt},  {EM_TP, em->em_trap_cnt}, {EM_LI, em->em_lib_cnt}};
  for (auto& r : rows)
    if (pl_sub_count(em, r.sub) != r.count) return v.fail("count of sub-file " + std::to_string(r.sub));
  if (em->em_cnst_cnt > kMaxConstants || em->em_inst_cnt > 0xFFFE) return v.fail("counts out of range");
  v.cn_len = rec_lens(em, EM_CN);
  v.cn_len.insert(v.cn_len.begin(), 0);
  return true;
}

// Areas numbered 1..count, each once, with their sizes.
bool areas(view& v) {
  EM* em = v.em;
  if (!pc_build_tables(em, 0)) return v.fail("run-time tables");
  v.area_size.assign(em->em_area_cnt + 1, 0);
  for (uint32_t i = 0; i < em->em_area_cnt; ++i) {
    const AREA_DESC& a = em->em_area_tbl[i];
    if (a.area_no == 0 || a.area_no > em->em_area_cnt || v.area_size[a.area_no] || a.size == 0)
      return v.fail("area " + std::to_string(a.area_no));
    v.area_size[a.area_no] = a.size;
  }
  return true;
}

bool const_ok(const view& v, uint32_t no, uint32_t len) {
  if (no >= kComConstBase) return no + len <= kComConstEnd && no < kComConstEnd;
  return no >= 1 && no < v.cn_len.size() && len <= v.cn_len[no];
}

bool field_ok(const view& v, uint32_t area, uint32_t off, uint32_t len) {
  return area >= 1 && area < v.area_size.size() && uint64_t{off} + len <= v.area_size[area];
}

bool at_start(const view& v, uint16_t blk, uint16_t off) {
  return blk >= 1 && blk < v.inst_starts.size() && off < kInstRecLen && v.inst_starts[blk][off];
}

bool entry_ok(const view& v, const uint8_t* e) {
  return ld_le16(e, 0) == kNoCode || at_start(v, ld_le16(e, 0), ld_le16(e, 2));
}

// Pass 1: every block decodes from offset 0 to its zero tail.
bool decode_blocks(view& v) {
  EM* em = v.em;
  v.inst_starts.assign(em->em_inst_cnt + 1, std::vector<bool>(kInstRecLen, false));
  for (uint32_t b = 1; b <= em->em_inst_cnt; ++b) {
    const uint8_t* blk = em->em_blk[b];
    for (size_t off = 0; off + kInstHead <= kInstRecLen && inst_op(blk + off) != 0;) {
      opnd ops[kInstMaxSlots];
      if (blk[off + 2] != 0 || (inst_op(blk + off) & 1) ||
          inst_decode(blk + off, kInstRecLen - off, ops, kInstMaxSlots) < 0)
        return v.fail("instruction at " + std::to_string(b) + "/" + std::to_string(off));
      v.inst_starts[b][off] = true;
      off += inst_len(blk + off);
    }
  }
  return true;
}

bool operand_ok(const view& v, const uint8_t* p, const opnd& o) {
  const uint32_t w0 = inst_slot(p, o.slot);
  const uint32_t w1 = o.nslots > 1 ? inst_slot(p, o.slot + 1) : 0;
  switch (o.kind) {
    case K_R: return at_start(v, static_cast<uint16_t>(w0), static_cast<uint16_t>(w0 >> 16));
    case K_K: return const_ok(v, w0, w1 >> 16);
    case K_N: return const_ok(v, w0, 1);
    case K_X: return (w0 >> 16) >= 1 && (w0 >> 16) <= v.em->em_cfi_cnt && (w0 & 0xFFFF) < v.area_size.size();
    case K_F: {
      const uint16_t area = static_cast<uint16_t>(w0), off = static_cast<uint16_t>(w0 >> 16);
      if (area == kRegArea ? off > 3 : !field_ok(v, area, off, w1 >> 16)) return false;
      return o.nslots < 3 || inst_slot(p, o.slot + 2) == 0 || const_ok(v, inst_slot(p, o.slot + 2), 1);
    }
    default: return true;
  }
}

// A conversion the interpreter can follow: no address (the indirect flags
// are set at each use), a display of rows x columns that its length holds,
// masks within their arrays.
bool cv_sound(const CNV& c) {
  if (c.int_addr || c.alt_addr || c.aux_addr || c.ext_addr || c.addr_mode) return false;
  if (c.int_len == 0 || c.int_len > 32767 || c.ext_rows < 1 || c.ext_cols < 1 ||
      int64_t{c.ext_rows} * c.ext_cols != c.ext_len)
    return false;
  if (IS_ELEM_NUM(c.cnv_type)) return c.ta.num.mask_len <= kNumMaskLen && c.ta.num.tot_digits <= 38;
  if (is_date_type(c.cnv_type)) return c.ta.dat.stor_len <= kCvMaskLen && c.ta.dat.dspl_len <= kCvMaskLen;
  if (IS_ELEM_ALP(c.cnv_type)) return c.ta.alp.token_id <= 1;
  return c.cnv_type == 11;  // logic
}

// The CV records, each sound on its own.
bool cv_records(view& v) {
  const uint32_t n = pl_sub_count(v.em, EM_CV);
  v.cv.assign(n + 1, nullptr);
  for (uint32_t i = 1; i <= n; ++i) {
    const uint8_t* r = MADDR(v.em->em_cnv_arb, i);
    if (!r || !cv_sound(*reinterpret_cast<const CNV*>(r))) return v.fail("conversion record " + std::to_string(i));
    v.cv[i] = reinterpret_cast<const CNV*>(r);
  }
  return true;
}

// CV record `no` converts the value of field operand `slot`: its type and length.
bool cv_fits(const view& v, const uint8_t* p, int slot, uint32_t no) {
  const uint32_t w1 = inst_slot(p, slot + 1);
  return no >= 1 && no < v.cv.size() && v.cv[no]->cnv_type == (w1 & 0x7F) && v.cv[no]->int_len == (w1 >> 16);
}

// The immediates that name records or counts: VERIFY's occurrences lie in
// the field's area and its CV record and name constant exist; CNV TEXT's
// direction and CV record agree with its value operand.
bool immediates_ok(const view& v, const uint8_t* p, const opnd* ops, int n) {
  switch (inst_op(p) & ~1u) {
    case OP_VERIFY: {
      if (n != 4 || ops[0].kind != K_F) return false;
      const uint32_t w0 = inst_slot(p, ops[0].slot), len = inst_slot(p, ops[0].slot + 1) >> 16;
      const uint32_t occurs = inst_slot(p, ops[1].slot) >> 16;
      if (occurs == 0 || !cv_fits(v, p, ops[0].slot, inst_slot(p, ops[2].slot))) return false;
      if ((w0 & 0xFFFF) != kRegArea && !field_ok(v, w0 & 0xFFFF, w0 >> 16, occurs * len)) return false;
      return const_ok(v, inst_slot(p, ops[3].slot), 22);
    }
    case OP_CNVTXT: {
      const uint32_t dir = inst_slot(p, ops[3].slot) & 0xFF;
      return (dir == 1 || dir == 2) && cv_fits(v, p, ops[dir == 1 ? 1 : 0].slot, inst_slot(p, ops[2].slot));
    }
    default: return true;
  }
}

// Pass 2: every operand of every instruction refers inside the module.
bool references(view& v) {
  for (uint32_t b = 1; b <= v.em->em_inst_cnt; ++b)
    for (size_t off = 0; off < kInstRecLen; ++off) {
      if (!v.inst_starts[b][off]) continue;
      const uint8_t* p = v.em->em_blk[b] + off;
      opnd ops[kInstMaxSlots];
      const int n = inst_decode(p, kInstRecLen - off, ops, kInstMaxSlots);
      for (int i = 0; i < n; ++i)
        if (!operand_ok(v, p, ops[i]))
          return v.fail("operand " + std::to_string(i + 1) + " at " + std::to_string(b) + "/" + std::to_string(off));
      if (!immediates_ok(v, p, ops, n)) return v.fail("immediates at " + std::to_string(b) + "/" + std::to_string(off));
    }
  return true;
}

// Walks the records of a keyed sub-file in key order.
template <class F>
bool each(EM* em, em_sub sub, uint16_t len, F&& f) {
  uint8_t key[kSubRecMax] = {};
  return pc_each(em_sub_arb(em, sub), key, 0, len, std::forward<F>(f)) != 0;
}

bool entries(view& v) {
  EM* em = v.em;
  for (const em_entry& e : em->em_ep)
    if (e.blk != kNoCode && !at_start(v, e.blk, e.off)) return v.fail("event-point entry");
  bool ok = each(em, EM_FR, CFRM_LEN, [&](const uint8_t* r) {
    for (size_t i = 0; i < 5; ++i)
      if (!entry_ok(v, r + CFRM_EP + 4 * i)) return false;
    return ld_le32(r, CFRM_SLCT) == 0 || const_ok(v, ld_le32(r, CFRM_SLCT), 1);
  });
  ok = ok && each(em, EM_IM, CIMG_LEN, [&](const uint8_t* r) {
         for (size_t i = 0; i < 4; ++i)
           if (!entry_ok(v, r + CIMG_EP + 4 * i)) return false;
         return true;
       });
  ok = ok && each(em, EM_CL, CCHLD_LEN, [&](const uint8_t* r) {
         for (size_t i = 0; i < 2; ++i)
           if (!entry_ok(v, r + CCHLD_EP + 4 * i)) return false;
         const uint32_t c = cchld_view(r).cnstr();
         if (!c) return true;
         if (!const_ok(v, c, cnstr_view::size_for(0))) return false;
         const cnstr_view t(em->em_cn[c]);
         const uint32_t n = t.count();
         if (!const_ok(v, c, cnstr_view::size_for(n))) return false;
         for (uint32_t i = 0; i < n; ++i) {
           const cnstr_view::entry e = t.at(i);
           if (!field_ok(v, e.area(), e.offset(), e.fld_len())) return false;
         }
         return true;
       });
  return ok || v.fail("frame, image or child record");
}

// TO rows: slots below N, traps 1..M, first not above last; TP records:
// code at an instruction start or none, their slot below N.
bool rows(view& v) {
  EM* em = v.em;
  for (uint32_t n = 1; n <= em->em_toc_cnt; ++n) {
    const uint8_t* r = MADDR(em->em_toc_arb, n);
    if (!r) return v.fail("event-point row " + std::to_string(n));
    const uint32_t first = ld_le32(r, TOC_FIRST), last = ld_le32(r, TOC_LAST);
    if (r[TOC_SLOT] >= em->em_toc_cnt || first < 1 || first > last || last > em->em_trap_cnt)
      return v.fail("event-point row " + std::to_string(n));
  }
  for (uint32_t n = 1; n <= em->em_trap_cnt; ++n) {
    const uint8_t* r = MADDR(em->em_trap_arb, n);
    if (!r || (ld_le32(r, TRAP_CODE) && !at_start(v, ld_le16(r, TRAP_CODE), ld_le16(r, TRAP_CODE + 2))) ||
        r[TRAP_SLOT] >= em->em_toc_cnt)
      return v.fail("trap record " + std::to_string(n));
  }
  return true;
}

// Compiled fields inside their areas with constants that exist; compiled
// files with their areas, and their FILE compile stamps as the design has them.
bool fields_and_files(view& v) {
  EM* em = v.em;
  bool ok = each(em, EM_FL, CFLD_LEN, [&](const uint8_t* f) {
    const cfld_view fl(f);
    const uint32_t occurs = fl.occurs() ? fl.occurs() : 1;
    return field_ok(v, fl.area(), fl.offset(), fl.size() * occurs) && const_ok(v, fl.init_const(), 1) &&
           (fl.null_const() == 0 || const_ok(v, fl.null_const(), 1));
  });
  if (!ok) return v.fail("compiled field");
  ok = each(em, EM_IT, static_cast<uint16_t>(sizeof(CITM)), [&](const uint8_t* r) {
    CITM c;
    memcpy(static_cast<void*>(&c), r, sizeof c);
    return c.citm_img >= 1 && c.citm_img <= em->em_img_cnt && c.citm_itemno >= 1 && c.citm_itemno <= em->em_itm_cnt &&
           !c.citm_status && cv_sound(c.citm_cnv) && field_ok(v, c.citm_area, c.citm_off, c.citm_cnv.int_len);
  });
  if (!ok) return v.fail("compiled item");
  ok = each(em, EM_SR, SR_LEN, [&](const uint8_t* r) {
    const uint32_t fld = ld_le32(r, SR_FLD), frm = ld_le32(r, SR_FRM);
    return fld >= 1 && fld <= em->em_fld_cnt && frm >= 1 && frm <= em->em_frm_cnt &&
           field_ok(v, ld_le32(r, SR_AREA), ld_le32(r, SR_OFF), ld_le16(r, SR_FLD_LEN)) && r[SR_TYPE] >= 1 &&
           r[SR_TYPE] <= 15;
  });
  if (!ok) return v.fail("summary reference");
  ok = each(em, EM_FI, CFI_LEN, [&](const uint8_t* c) {
    const cfi_view cfi(c);
    const uint32_t rec = cfi.rec_area(), fb = cfi.fb_area();
    if (!field_ok(v, rec, 0, 1) || (fb && !field_ok(v, fb, 0, 1))) return false;
    ARB* f = pc_open_design(INIT_DFI_FDB, cfi.ap(), cfi.ver());
    uint8_t fi[kFileRecSize] = {};
    memcpy(fi + FI_NAME, cfi.name(), 8);
    const bool same = f && pc_read(f, 0, fi, kFileRecSize) && memcmp(fi + FI_STAMP, cfi.stamp(), 8) == 0;
    if (f) FM_CLOSE(f, 0);
    return same;
  });
  if (!ok) return v.fail("compiled file or its FILE stamp");
  return em_cfi_load_keys(em) || v.fail("keys of a compiled file");
}

}  // namespace

uint32_t pl_sub_count(EM* em, em_sub sub) { return static_cast<uint32_t>(rec_lens(em, sub).size()); }

int pl_check_em(EM* em, std::string* why) {
  std::string local;
  view v{em, {}, {}, {}, {}, why ? why : &local};
  return counts(v) && areas(v) && cv_records(v) && decode_blocks(v) && references(v) && entries(v) && rows(v) &&
         fields_and_files(v);
}

}  // namespace kivo
