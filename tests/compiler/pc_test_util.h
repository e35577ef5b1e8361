// A compile context over a scratch data directory that holds the shipped
// "0LA" dictionary and the design files of a fixture application TST built
// from a design source.
#pragma once

#include <filesystem>
#include <string>

#include "../design/design_test_util.h"
#include "compiler/pc.h"
#include "foundation/maddr.h"

namespace kivo::test {

inline const char* kTstSource = R"(APPLICATION TST 01
STAMP 739591 0
FILE CUST number=2 fs=1 org=3 class=200
  ID      A8    key=primary
  NAME    A20   key=1
  REGION  B4S
  BAL     P9.2S init="12.5"
  OPENED  D7:8-5
  FLAGS   A1    occurs=3 init="Y"
  STATE   B2S   code=8
  ACTIVE  L
  CITY    A6
  LIMIT   P5S
  CLOSED  D7:8-5
END
FILE ORDERS number=3 fs=1 org=3
  OKEY    G12   key=primary
  OCUST   A8
  ONO     B9
  AMOUNT  P7.2S
END
WORK TOTAL P9.2S area=4 null="0"
WORK NOTE  A10 area=7 occurs=5 mask="XXXXXXXXXX"
TOKEN STATE 1 OPEN
TOKEN STATE 2 CLOSED
)";

class PcFixture : public DesignFiles {
 protected:
  void SetUp() override {
    DesignFiles::SetUp();
    std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/data/00", data_ + "/00",
                          std::filesystem::copy_options::recursive);
    build(kTstSource, "TST");
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
