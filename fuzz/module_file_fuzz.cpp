// Loading module files (pl_read_em and its checks): a small module is built
// and saved once (code, constants, an area with a compiled field, a
// conversion record that VERIFY and CNV TEXT name, a total frame's summary
// reference); each input then damages a copy of its records and the loader
// reads that. The input's first byte cuts the record list to that
// many records (0: all kept); every further 4 bytes are an edit {record,
// u16 offset, value} (record and offset taken modulo what exists). Property:
// the loader never reads outside what it was given (the sanitizers watch),
// gives either no module or one that checks again, and an undamaged file
// loads.
#include <cstring>
#include <string>
#include <vector>

#include "../tests/compiler/module_file_records.h"
#include "compiler/bld.h"
#include "compiler/em_item.h"
#include "compiler/em_records.h"
#include "compiler/pc.h"
#include "compiler/pl.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "fm/unix_fm.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/maddr.h"
#include "foundation/paths.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"
#include "types/cnv.h"
#include "types/element.h"

using namespace kivo;

namespace {

using recs = std::vector<std::vector<uint8_t>>;

const uint8_t kStamp[8] = {7, 0, 0, 0, 9, 0, 0, 0};

void quiet(const char*, int, const char*) {}

const uint8_t* any_dap(const char*, const char*) {
  static uint8_t appl[324];
  memset(appl, ' ', sizeof appl);
  return appl;
}

constexpr uint16_t kRateLen = 6, kRateOccurs = 2, kTextOff = 16, kTextLen = 20;

// Area 1 of 64 bytes: RATE (packed 9.2, two occurrences) at 0 with its FL
// record and the CV record of its conversion (1); a total frame (1) whose SR
// record lists RATE.
uint32_t records(EM* em) {
  PC_CTX ctx{};
  ctx.em = em, ctx.next_area = 1;
  memcpy(ctx.ap, "TST", 3), memcpy(ctx.ver, "01", 2);
  const uint32_t area = pc_area(&ctx, 0, "TST", 1, 64, 0, 2, 0);
  uint8_t elem[kElementSize] = {};
  elem[ELEM_KIND] = 1, elem[ELEM_TYPE] = 8, elem[ELEM_SIGNED] = '1', elem[ELEM_HI] = 9, elem[ELEM_LO] = 2;
  st_le16(elem, ELEM_SIZE, kRateLen), st_le16(elem, ELEM_OCCURS, kRateOccurs);
  memset(elem + ELEM_MASK, ' ', 60), memcpy(elem + ELEM_MASK, "-999999999.99", 13);
  sitm si;
  cv_bld_sitm(&si, elem, nullptr);
  CNV c{};
  const cv_area width{1, kTextLen};
  if (area != 1 || !cv_cmpl(&c, &si, &width) || !em_append(em, EM_CV, reinterpret_cast<uint8_t*>(&c), sizeof c))
    abort();
  uint8_t fl[CFLD_LEN] = {};
  memset(fl, ' ', CFLD_ELEM), memcpy(fl + CFLD_AP, "TSTRATE", 7);
  fl[CFLD_KIND] = 1, fl[CFLD_TYPE] = 8, fl[CFLD_HI] = 9, fl[CFLD_LO] = 2;
  st_le16(fl, CFLD_SIZE, kRateLen), st_le16(fl, CFLD_OCCURS, kRateOccurs);
  st_le32(fl, CFLD_AREA, area), st_le32(fl, CFLD_INIT, 65158);
  uint8_t fr[CFRM_LEN] = {};
  fr[CFRM_KIND] = 2, st_le32(fr, CFRM_NO, 1), st_le32(fr, CFRM_DESIGN_NO, 1);
  for (size_t i = 0; i < 5; ++i) st_le16(fr, CFRM_EP + 4 * i, kNoCode);
  uint8_t sr[SR_LEN] = {};
  st_le32(sr, SR_FLD, 1), st_le32(sr, SR_FRM, 1), st_le16(sr, SR_SEQ, 1), sr[SR_TYPE] = 8;
  memcpy(sr + SR_AP, "TST", 3), st_le16(sr, SR_FLD_LEN, kRateLen), st_le32(sr, SR_AREA, area);
  if (!em_append(em, EM_FL, fl, CFLD_LEN) || !em_append(em, EM_FR, fr, CFRM_LEN) || !em_append(em, EM_SR, sr, SR_LEN))
    abort();
  em->em_fld_cnt = em->em_frm_cnt = 1;
  return area;
}

// A module of two blocks with constants, the records above, VERIFY and CNV
// TEXT, and an event point, saved.
EM* saved_module() {
  EM* em = em_create();
  if (!em) abort();
  memcpy(em->em_ap, "TST", 3), memcpy(em->em_ver, "01", 2), em->em_proc_type = 6;
  memset(em->em_proc_nam, ' ', 30), memcpy(em->em_proc_nam, "FUZZ", 4), memcpy(em->em_lang, "ENG", 3);
  em->em_stamp1 = ld_le32(kStamp, 0), em->em_stamp2 = ld_le32(kStamp, 4);
  BLD_CTX b{};
  if (!bld_start(&b, em)) abort();
  const uint16_t area = static_cast<uint16_t>(records(em));
  const uint8_t text[] = "constant", name[] = "RATE                  ";
  const uint32_t k = bld_cnst(&b, text, 8), n = bld_cnst(&b, name, 22);
  em->em_ep[0] = bld_emit(&b, inst_buf(OP_NOP));
  bld_emit(&b, inst_buf(OP_VERIFY).f(area, 0, 8, 2, kRateLen).i(1u | uint32_t{kRateOccurs} << 16).i(1).i(n));
  bld_emit(&b, inst_buf(OP_CNVTXT).f(area, kTextOff, 1, 0, kTextLen).f(area, 0, 8, 2, kRateLen).i(1).i(1));
  for (int i = 0; i < 300; ++i) bld_emit(&b, inst_buf(OP_MSG).i(1).k(k, 1, 0, 8));
  bld_end(&b, 1);
  if (!bld_finish(&b) || !pc_build_tables(em, 1)) abort();
  if (!write_em(em)) abort();
  return em;
}

recs read_all(const EM* em) {
  recs out;
  if (!read_module_records(em, PATH_EM, 0, &out)) abort();
  return out;
}

void write_all(const EM* em, const recs& r) {
  FUZZ_CHECK(write_module_records(em, r, 0), "the module file refused its %zu records", r.size());
}

EM* load(const EM* like) { return pl_read_em(like->em_ap, like->em_ver, 6, like->em_proc_nam, "ENG", kStamp); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static EM* base = nullptr;
  static recs good;
  static bool init = [] {
    com_fill(0, nullptr);
    mm_init();
    foundation_seams.err_presenter = quiet;
    static std::string data = kivo::fuzz::scratch();
    com.data_dir = cstr{static_cast<uint16_t>(data.size()), data.data()}, com.path_root = cstr{0, nullptr};
    if (fm_init() != 1) return false;
    fms_select.get_dap = any_dap;
    em_set_layout();
    em_install_reader();
    base = saved_module();
    good = read_all(base);
    FUZZ_CHECK(good.size() > 2 * EM_SUB_COUNT, "the module file holds %zu records", good.size());
    EM* em = load(base);
    FUZZ_CHECK(em != nullptr, "the undamaged module file does not load");
    em_destroy(em);
    return true;
  }();
  if (!init || size == 0) return 0;
  recs r = good;
  if (data[0] && data[0] < r.size()) r.resize(data[0]);
  for (size_t at = 1; at + 4 <= size && !r.empty(); at += 4) {
    auto& rec = r[data[at] % r.size()];
    if (!rec.empty()) rec[ld_le16(data, at + 1) % rec.size()] = data[at + 3];
  }
  write_all(base, r);
  if (EM* em = load(base)) {
    std::string why;
    FUZZ_CHECK(pl_check_em(em, &why), "a loaded module fails its check again: %s", why.c_str());
    em_destroy(em);
  }
  return 0;
}
