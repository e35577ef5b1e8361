// Processes of the fixture application TST compiled whole: the design
// sources pc_tst.dsgn and pc_proc.dsgn in a scratch data directory with the
// shipped "0LA" dictionary, a PCB naming the process, dumps of a module's
// stored block and sub-files, and its areas bound for a run.
#pragma once

#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include "../design/design_test_util.h"
#include "../fixtures/hook_override.h"
#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/em_item.h"
#include "compiler/em_records.h"
#include "compiler/pc_cmpl.h"
#include "compiler/pcb.h"
#include "compiler/pl.h"
#include "em_test_util.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/foundation.h"
#include "interp/interp.h"
#include "stmt_line_util.h"
#include "types/typed_value.h"

namespace kivo::test {

class ProcessFixture : public DesignFiles {
 protected:
  void SetUp() override {
    DesignFiles::SetUp();
    copy_dictionary();
    build(golden("compiler/pc_tst.dsgn"), "TST");
    build(golden("compiler/pc_proc.dsgn"), "TST");
    fm_clr_scope(kScope);
    compiler_register_hooks();  // the module files' layout, MADDR's reader, modules cleared with their level
    ii_init(), sc_init();
    rt_err_arb = nullptr, rt_init(), interp_register_hooks();
  }
  void TearDown() override { em_destroy(em_), em_ = nullptr, DesignFiles::TearDown(); }

  // The PCB of process "<type digit><name>" of TST 01 (or `apver`) in English.
  static void name_pcb(PCB* pcb, const char* proc, const char* apver = "TST01") {
    pc_invoc_defaults(&pcb->invoc);
    memcpy(pcb->invoc.b + INVOC_AP_ID, apver, 5);
    pcb->invoc.b[INVOC_PROC_TYPE] = static_cast<uint8_t>(proc[0] - '0');
    std::string n = (std::string(proc + 1) + std::string(30, ' ')).substr(0, 30);
    memcpy(pcb->invoc.b + INVOC_PROC_NAM, n.data(), 30);
    memcpy(pcb->pcb_lang, "ENG", 3);
  }
  // Compiles the process into em_; 1 when it was built.
  int compile(const char* proc, const char* apver = "TST01") {
    em_destroy(em_), em_ = nullptr;
    pcb_ = PCB{}, name_pcb(&pcb_, proc, apver);
    ctx_ = {};
    const int ok = pc_cmpl(&pcb_, &ctx_);
    em_ = ctx_.em;
    return ok;
  }
  std::string err() const {
    std::string s(ctx_.err_text, sizeof ctx_.err_text);
    return s.erase(s.find_last_not_of(' ') + 1);
  }
  void add_design(const std::string& lines) {
    build("APPLICATION TST 01\n" + lines + "\n", "TST");
    fm_clr_scope(kScope);
  }

  // The non-zero 16-byte rows of the stored block, the design stamp (the
  // time the fixture was built) left out.
  static std::string stored_block(const EM* em) {
    uint8_t b[kEmStoredSize];
    em_store(*em, b);
    memset(b, 0, 8);
    std::string s;
    for (size_t at = 0; at < kEmStoredSize; at += 16) {
      const size_t n = std::min<size_t>(16, kEmStoredSize - at);
      if (std::any_of(b + at, b + at + n, [](uint8_t c) { return c != 0; }))
        s += std::to_string(at) + ": " + hex_lower(b + at, n) + "\n";
    }
    return s;
  }
  // Every record of a sub-file: keyed ones in the order of key 0.
  static std::vector<std::vector<uint8_t>> sub_records(EM* em, em_sub sub) {
    ARB* a = em_sub_arb(em, sub);
    std::vector<std::vector<uint8_t>> out;
    FDB fdb;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    em_sub_fdb(sub, &fdb, kdb, sdb);
    std::vector<uint8_t> buf(fdb.fdb_rec_len);
    a->arb_rec = buf.data(), a->arb_len = static_cast<uint16_t>(buf.size()), a->arb_keyno = 0;
    a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
    if (!fm_start(a)) return out;
    a->arb_mod = 0;
    while (fm_rdnxt(a)) out.emplace_back(buf.begin(), buf.begin() + (fdb.fdb_var ? a->arb_var_len : fdb.fdb_rec_len));
    return out;
  }
  static std::string sub_dump(EM* em, em_sub sub) {
    static const char* const kTags[] = {"IN", "CN", "CV", "FI", "KD", "SD", "FL", "AP", "LF", "FR", "IM", "IT", "CR",
                                        "CL", "TO", "TP", "LI", "QL", "QO", "PK", "SR", "CT", "DL", "RC", "SC", "SB"};
    std::string s;
    for (auto& r : sub_records(em, sub)) s += std::string(kTags[sub]) + " " + hex_lower(r.data(), r.size()) + "\n";
    return s;
  }
  // The fields of each IT record a reader of items relies on.
  static std::string item_dump(EM* em) {
    std::string s;
    for (auto& r : sub_records(em, EM_IT)) {
      CITM c;
      memcpy(static_cast<void*>(&c), r.data(), sizeof c);
      char line[200];
      snprintf(line, sizeof line,
               "IT img %u at %d/%d to %d/%d entry %u %.3s %.22s occ %u elem %u area %u+%u no %u "
               "present %u float %u type %u len %u\n",
               c.citm_img, c.citm_row, c.citm_col, c.citm_bot, c.citm_right, c.citm_entry, c.citm_ap, c.citm_fld,
               c.citm_occ, c.citm_elem, c.citm_area, c.citm_off, c.citm_itemno, c.citm_present, c.citm_float[0],
               c.citm_cnv.cnv_type, c.citm_cnv.int_len);
      s += line;
    }
    return s;
  }
  // The constraint template of each child.
  static std::string constraint_dump(EM* em) {
    std::string s;
    for (auto& r : sub_records(em, EM_CL))
      if (uint32_t c = ld_le32(r.data(), CCHLD_CNSTR))
        s += "CNSTR " + hex_lower(em->em_cn[c], 2 + 12 * ld_le16(em->em_cn[c], 0)) + "\n";
    return s;
  }

  // Each area of `em` gets a zeroed block of its own, in the module's own
  // address array when it has one (a loaded module); the PCB runs it.
  void bind(EM* em) {
    addr_.assign(em->em_area_cnt + 1, nullptr);
    if (!em->em_area_addr) em->em_area_addr = addr_.data();
    for (const AREA_DESC* a = em->em_area_tbl; a < em->em_area_tbl + em->em_area_cnt; ++a)
      em->em_area_addr[a->area_no] = blocks_.emplace_back(a->size + 8, '\0').data();
    pcb_.pcb_em = em;
  }
  // The work field TOTAL of the bound areas (packed 9.2), as its bytes.
  uint8_t* total_at(const uint8_t** fl_out = nullptr) {
    uint8_t key[CFLD_LEN] = {};
    memcpy(key, "TSTTOTAL                 ", 25);
    EM* em = pcb_.pcb_em;
    const uint8_t* fl = em_read_key(em->em_cfld_arb, 0, key);
    if (fl_out) *fl_out = fl;
    return fl ? em->em_area_addr[ld_le32(fl, CFLD_AREA)] + ld_le16(fl, CFLD_OFF) : nullptr;
  }
  static std::vector<uint8_t> packed(const char* text) {
    uint8_t elem[kElementSize] = {};
    elem[ELEM_KIND] = 1, elem[ELEM_TYPE] = 8, elem[ELEM_SIGNED] = '1', elem[ELEM_HI] = 9, elem[ELEM_LO] = 2;
    st_le16(elem, ELEM_SIZE, 6);
    std::vector<uint8_t> v(6);
    elem_typed_value(elem, text, v.data());
    return v;
  }
  void set_total(const char* v) { memcpy(total_at(), packed(v).data(), 6); }
  std::string total() {
    const uint8_t* p = total_at();
    for (const char* c : {"0", "1", "21", "62", "99"})
      if (memcmp(p, packed(c).data(), 6) == 0) return c;
    return "?" + hex_lower(p, 6);
  }

  EM* em_ = nullptr;
  PCB pcb_{};
  PC_CTX ctx_{};
  std::vector<uint8_t*> addr_;
  std::list<std::vector<uint8_t>> blocks_;
};

// The loader installed over the fixture processes; PCBs that pl_get fills.
class LoaderFixture : public ProcessFixture {
 protected:
  void TearDown() override { pl_discard_all(), ProcessFixture::TearDown(); }
  // pl_get for a new PCB of the process; its module or null.
  EM* get(const char* proc, ARB* err_fi = nullptr) {
    pcbs_.emplace_back(), name_pcb(&pcbs_.back(), proc), pcbs_.back().pcb_err_fi = err_fi;
    return pl_get(&pcbs_.back(), 1) ? pcbs_.back().pcb_em : nullptr;
  }
  // Writes the PROCESS record again: it gets a new design stamp.
  void restamp(const char* proc) {
    DesignBuilder b("TST", "01", kScope);
    ARB* a = b.handle(DF_PROCESS);
    uint8_t pr[kProcRecSize] = {};
    PCB p{};
    name_pcb(&p, proc);
    pr[PR_TYPE] = p.invoc.b[INVOC_PROC_TYPE], memcpy(pr + PR_NAME, p.invoc.b + INVOC_PROC_NAM, 30);
    PROTO_FULL(a, 0, pr);
    a->arb_len = kProcRecSize, a->arb_mod = ARB_EQUAL | ARB_HOLD;
    ASSERT_TRUE(fm_read(a) && fm_del(a));
    a->arb_mod = 0;
    ASSERT_EQ(b.put(DF_PROCESS, pr), 1) << b.error();
    b.close_all(), fm_clr_scope(kScope);
  }
  std::list<PCB> pcbs_;
};

}  // namespace kivo::test
