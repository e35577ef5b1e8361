// A memory file driven through its slots: the PFB, LFB and LFN of one open
// and handles with their streams, as the file manager's open will build them.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "fm/memfile.h"
#include "fm_objects_test_util.h"

namespace kivo::test {

struct mem_handle {
  ARB* arb;
  STRM* strm;
  mpb* m() const { return static_cast<mpb*>(strm->strm_fms_path); }
};

class mem_file {
 public:
  mem_file(const char* name, uint16_t rec_len, const std::vector<key_def>& keys, bool var, uint32_t cr_size,
           uint32_t scope = 0)
      : desc_(rec_len, keys) {
    desc_.fdb.fdb_fs_type = FS_MEMORY;
    desc_.fdb.fdb_var = var;
    pfb_ = create_pfb(&desc_.fdb);
    pfb_->TYPE = FS_MEMORY;
    INIT_SA_PATH(&lfn_.lfn_path, name, PATH_DATA);
    lfn_.lfn_pfb = pfb_;
    lfb_.lfb_pfb = pfb_;
    lfb_.lfb_lfn = &lfn_;
    lfb_.lfb_cr_size = cr_size;
    lfb_.lfb_scope = scope;
    lfb_.lfb_opt = LFB_OPEN_NEW;
    ut_add_to_lst(&lfb_, &lfb_.lfb_in_pfb, &pfb_->pfb_lfb);
    mm_alloc_id(&lfb_, nullptr, nullptr, nullptr, nullptr);
    mem_handle h = handle();
    EXPECT_EQ(mm_create(h.arb, h.strm), 1);
  }
  ~mem_file() {
    for (auto& h : handles_) {
      mm_detach(h.arb, h.strm);
      mm_free(h.arb->arb_sarb);
    }
    for (auto& s : strms_) ut_remove_from_lst(s.get(), &s->strm_in_lfb, &lfb_.lfb_strm);
    if (pfb_->pfb_fms_data) {
      f()->exists = 0;
      mm_free_id(pfb_);
    }
    free_pfb_block(pfb_);
  }

  // A new handle with its stream, attached and current.
  mem_handle handle() {
    SARB* sarb = alloc_sarb();
    strms_.push_back(std::make_unique<STRM>());
    STRM* s = strms_.back().get();
    *s = STRM{};
    s->strm_sarb = sarb;
    s->strm_lfb = &lfb_;
    ut_add_to_lst(s, &s->strm_in_lfb, &lfb_.lfb_strm);
    sarb->sarb_cur_strm = s;
    mm_attach(sarb->sarb_arb, s);
    s->strm_active = 1;
    handles_.push_back({sarb->sarb_arb, s});
    return handles_.back();
  }

  mfb* f() const { return static_cast<mfb*>(pfb_->pfb_fms_data); }

 private:
  owned_fdb desc_;
  PFB* pfb_;
  LFN lfn_{};
  LFB lfb_{};
  std::vector<std::unique_ptr<STRM>> strms_;
  std::vector<mem_handle> handles_;
};

}  // namespace kivo::test
