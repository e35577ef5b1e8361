// The copy of a shared temporary file from the level of a background
// owner's invoker into the owner's own level (copy_fi), made once: a
// destination that exists already is left as it is.
#include <cstring>
#include <vector>

#include "compiler/em_access.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/sys_err.h"
#include "process/pi.h"
#include "process/pi_internal.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PISHR";
constexpr uint32_t kNoJoin = 0x200;
constexpr uint32_t kDstOpts = 3;
enum : size_t { A7_AP = 66, A7_VER = 69, A9_AP = 124, A9_VER = 127 };

// The application and version whose file a 0AD file stands for: a one-shot
// choice in the owner's area 7 (then cleared), else its database area.
void design_ap(PCB* owner, FDB* fdb) {
  if (memcmp(fdb->path.fdb_ap, "0AD", 3) != 0 || !owner->pcb_areas) return;
  uint8_t* a7 = pi_area(owner, AREA_NEXT, A7_VER + 2);
  uint8_t* a9 = pi_area(owner, AREA_DB, A9_VER + 2);
  char* ap = fdb->path.fdb_src_ap;
  char* ver = fdb->path.fdb_src_ver;
  if (a7 && !is_blank(a7 + A7_AP, 3)) {
    memcpy(ap, a7 + A7_AP, 3), memset(a7 + A7_AP, ' ', 3);
  } else if (a9) {
    memcpy(ap, a9 + A9_AP, 3);
  }
  if (a7 && !is_blank(a7 + A7_VER, 2)) {
    memcpy(ver, a7 + A7_VER, 2), memset(a7 + A7_VER, ' ', 2);
  } else if (a9) {
    memcpy(ver, a9 + A9_VER, 2);
  }
  if (IS_BOB_AP(ap)) memcpy(ver, "00", 2);
}

void close_or_report(ARB* a, const char* text) {
  a->arb_mod = 0;
  if (!FM_CLOSE(a, 0)) sys_err(kModule, __LINE__, "%s", text);
}

// Every record of `src` in order into `dst`, each with its length.
void copy_records(ARB* src, ARB* dst, uint16_t rec_len) {
  std::vector<uint8_t> rec(rec_len ? rec_len : 1);
  PROTO_FULL(src, 0, rec.data());
  src->arb_mod = ARB_FIRST;
  if (!fm_start(src)) return;
  for (;;) {
    PROTO_FULL(src, 0, rec.data());
    src->arb_len = rec_len, src->arb_mod = 0;
    if (!fm_rdnxt(src)) break;
    PROTO_FULL(dst, 0, rec.data());
    dst->arb_len = dst->arb_var_len = src->arb_len, dst->arb_mod = 0;
    if (!fm_write(dst)) return sys_err(kModule, __LINE__, "can't write dst rec");
  }
}

}  // namespace

void copy_fi(PCB* owner, EM* em, pi_file_blk* fb, uint32_t scope) {
  if (!fb->cfi || fb->cfi[FDB_FS_TYPE] == 0) return;
  FDB src, dst;
  if (!em_cfi_desc(em, fb->cfi, &src)) return;
  dst = src;
  src.path.fdb_tmp_id = scope;
  src.fdb_opt &= ~kNoJoin;
  src.fdb_arb = nullptr;
  design_ap(owner, &src);
  if (!FM_OPEN(&src, com.mark_scope, src.fdb_opt, 1, 15)) {
    if (src.fdb_stat != FM_NO_FILE) sys_err(kModule, __LINE__, "copy_fi() - can't open source file");
    return;
  }
  dst.path.fdb_tmp_id = fb->shr_scope;
  dst.fdb_opt = kDstOpts;
  dst.fdb_arb = nullptr;
  design_ap(owner, &dst);
  FDB probe = dst;
  if (FM_OPEN(&probe, com.mark_scope, kDstOpts, 1, 15)) {
    close_or_report(probe.fdb_arb, "can't close dst_arb");
  } else if (!FM_CREATE(&dst, fb->shr_scope, 20, kDstOpts | LFB_OPEN_NEW, 15, 15) || !dst.fdb_arb) {
    sys_err(kModule, __LINE__, "can't create dst file");
  } else {
    copy_records(src.fdb_arb, dst.fdb_arb, src.fdb_rec_len);
    close_or_report(dst.fdb_arb, "can't close dst_arb");
  }
  close_or_report(src.fdb_arb, "can't close src_arb");
}

}  // namespace kivo
