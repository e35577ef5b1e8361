// A compile context over a scratch data directory that holds the shipped
// "0LA" dictionary and the design files of a fixture application TST built
// from a design source.
#pragma once

#include <filesystem>
#include <string>

#include "../design/design_test_util.h"
#include "compiler/pc.h"
#include "em_test_util.h"
#include "foundation/maddr.h"

namespace kivo::test {

class PcFixture : public DesignFiles {
 protected:
  void SetUp() override {
    DesignFiles::SetUp();
    std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/data/00", data_ + "/00",
                          std::filesystem::copy_options::recursive);
    build(golden("compiler/pc_tst.dsgn"), "TST");
    fm_clr_scope(kScope);  // the builder's files closed: the compile opens its own
    set_maddr_reader(nullptr);
    em_ = em_create();
    ASSERT_NE(em_, nullptr);
    memcpy(em_->em_ap, "TST", 3), memcpy(em_->em_ver, "01", 2);
    memcpy(ctx_.ap, "TST", 3), memcpy(ctx_.ver, "01", 2);
    ctx_.em = em_;
  }
  void TearDown() override {
    pc_cmpl_finish(&ctx_);
    em_destroy(em_);
    DesignFiles::TearDown();
  }
  static std::string pad(const char* s, size_t n) {
    std::string t(s);
    t.resize(n, ' ');
    return t;
  }
  // Prepares the compile of a process whose PCF is CUST (number 2).
  void prep() {
    em_->em_pcf_id = 2, memcpy(em_->em_pcf_ap, "TST", 3);
    ASSERT_EQ(pc_prep(&ctx_), 1) << err();
  }
  int fi(const char* name, uint8_t* cfi, uint8_t use = PC_FI_OPENED, uint8_t acc = kPcAccUpdate) {
    return pc_fi(pc_ap("TST", em_, &ctx_), pad(name, 8).c_str(), cfi, &ctx_, use, acc);
  }
  // A reference {occurrence, 0, application, name} as selections hold it.
  static std::vector<uint8_t> ref(const char* ap, const std::string& name, uint16_t occ = 1) {
    std::vector<uint8_t> r(kRefSize, ' ');
    st_le32(r.data(), REF_OCC, occ);
    memcpy(r.data() + REF_AP, ap, 3), memcpy(r.data() + REF_NAME, name.data(), std::min<size_t>(name.size(), 22));
    return r;
  }
  std::string err() const {
    std::string s(ctx_.err_text, sizeof ctx_.err_text);
    return s.substr(0, s.find_last_not_of(' ') + 1);
  }
  // pc_fld of `ap`/`name` with `occ`; the output, empty when refused.
  std::vector<uint8_t> fld(const char* ap, const char* name, pc_occ occ = {0, PC_OCC_NONE, {}}) {
    std::vector<uint8_t> out(kPcFldOut);
    if (!pc_fld(ap, pad(name, 22).c_str(), occ, out.data(), &ctx_)) out.clear();
    return out;
  }

  EM* em_ = nullptr;
  PC_CTX ctx_{};
};

}  // namespace kivo::test
