// ap_post_invoc after a child: nothing without a PCF stream or a record id
// (a menu, a process that has read nothing); otherwise the PCB's record id
// goes back into the stream, and a PCF open for update has its record read
// again by that id.
#include "../fm/fm_native_util.h"
#include "process/ap.h"
#include "process/pi.h"

namespace kivo::test {
namespace {

class ApPostInvoc : public NativeFm {
 protected:
  // A memory file with records 1 and 2 (counters 10 and 20).
  ARB* file() {
    f_.fdb.fdb_fs_type = FS_MEMORY;
    ARB* a = create(f_);
    EXPECT_NE(a, nullptr);
    a->arb_len = kTestRecLen, a->arb_mod = 0;  // copies, not references
    EXPECT_EQ(put(a, 1, 10), 1);
    EXPECT_EQ(put(a, 2, 20), 1);
    return a;
  }
  // Record i (from 1) read in sequence, the stream on it.
  int read(ARB* a, int i) {
    a->arb_keyno = 0, a->arb_key = nullptr, a->arb_key_end = nullptr;
    a->arb_rec = buf_, a->arb_len = kTestRecLen, a->arb_mod = ARB_FIRST;
    if (!fm_start(a)) return 0;
    a->arb_mod = 0;
    for (int n = 0; n < i; ++n)
      if (!fm_rdnxt(a)) return 0;
    return 1;
  }
  test_file f_{"PCF"};
  uint8_t cfi_[160] = {};
  pi_file_blk fb_{};
};

TEST_F(ApPostInvoc, WithoutStreamOrRecordIdDoesNothing) {
  uint8_t rid[16] = "ABCD";
  PCB none{};
  none.pcb_rid = rid, none.pcb_rid_len = 4;
  ap_post_invoc(&none);  // no stream: nothing to reach

  ARB* a = file();
  ASSERT_EQ(read(a, 2), 1);
  const std::vector<uint8_t> id(a->arb_rec_id_area, a->arb_rec_id_area + a->arb_rec_id_len);
  const uint32_t held = ld_le32(a->arb_rec, 8);
  PCB p{};
  p.pcb_pcf_arb = a;
  cfi_[FDB_ACC] = 0x0f, fb_.cfi = cfi_, p.pcb_pcf_blk = &fb_;
  ap_post_invoc(&p);  // no record id
  EXPECT_EQ(std::vector<uint8_t>(a->arb_rec_id_area, a->arb_rec_id_area + a->arb_rec_id_len), id);
  EXPECT_EQ(ld_le32(a->arb_rec, 8), held);
  // A copy shorter than the stream's ids is not one of them.
  memset(rid, 0x5a, sizeof rid);
  p.pcb_rid = rid, p.pcb_rid_len = uint16_t(a->arb_rec_id_len - 1);
  ap_post_invoc(&p);
  EXPECT_EQ(std::vector<uint8_t>(a->arb_rec_id_area, a->arb_rec_id_area + a->arb_rec_id_len), id);
}

TEST_F(ApPostInvoc, RecordReadAgainByItsIdWhenOpenForUpdate) {
  ARB* a = file();
  ASSERT_EQ(read(a, 2), 1);
  PCB p{};
  std::vector<uint8_t> rid(a->arb_rec_id_area, a->arb_rec_id_area + a->arb_rec_id_len);
  p.pcb_rid = rid.data(), p.pcb_rid_len = uint16_t(rid.size());
  ASSERT_EQ(read(a, 1), 1);  // the child moved the stream
  p.pcb_pcf_arb = a;
  fb_.cfi = cfi_, p.pcb_pcf_blk = &fb_;
  for (const uint8_t acc : {0x01, 0x0f}) {
    SCOPED_TRACE(int(acc));
    cfi_[FDB_ACC] = acc;
    ASSERT_EQ(read(a, 1), 1);
    a->arb_rec = buf_, a->arb_len = kTestRecLen;
    ap_post_invoc(&p);
    // The id goes back into the stream; only for update is the record read
    // again by it, into the record area.
    if (acc == 0x01) {
      EXPECT_EQ(memcmp(a->arb_rec_id_area, p.pcb_rid, p.pcb_rid_len), 0);
    }
    EXPECT_EQ(ld_le32(a->arb_rec, 8), acc == 0x0f ? 20u : 10u);
  }
}

}  // namespace
}  // namespace kivo::test
