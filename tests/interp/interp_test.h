// A module under construction with two work areas bound, and runs of its
// code under a scope level that catches the unwinds.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "../compiler/em_test_util.h"
#include "foundation/dbg_ctl.h"
#include "foundation/scope.h"
#include "interp/ii_run.h"

namespace kivo::test {

using bytes = std::vector<uint8_t>;

class InterpBase : public EmFixture {
 protected:
  static constexpr size_t kArea = 4096;
  void SetUp() override {
    EmFixture::SetUp();
    ii_init();
    rt_err_arb = nullptr, rt_init();
    dbg_ctl_reset();
    memset(rt_last_err, 0, sizeof rt_last_err);
    ASSERT_EQ(bld_start(&ctx, m = module()), 1);
    m->em_area_cnt = 2, m->em_area_addr = addr, addr[1] = a1.data(), addr[2] = a2.data();
    pcb.pcb_em = m;
  }
  void TearDown() override { dbg_ctl_reset(), EmFixture::TearDown(); }
  em_entry e(const inst_buf& b) { return bld_emit(&ctx, b); }
  uint32_t k(const bytes& v) { return bld_cnst(&ctx, v.data(), static_cast<uint16_t>(v.size())); }
  uint32_t k(const char* s) { return bld_cnst(&ctx, reinterpret_cast<const uint8_t*>(s), strlen(s)); }
  void finish() { ASSERT_EQ(bld_finish(&ctx), 1) << int{ctx.err}; }
  // The end code: 1 for a plain end, else the code it unwound with.
  uint32_t run(em_entry at = {1, 0}) {
    call = {}, call.pcb = &pcb, call.entry.at = at, call.ep_no = 1;
    return MARK(MARK_SUBPROCESS, [&] { ii_exec_em(m, &call); });
  }
  uint32_t outcome() const { return (call.result >> 8) & 3; }
  std::string err() const {
    std::string s(reinterpret_cast<const char*>(rt_last_err) + 49, 80);
    return s.substr(0, s.find_last_not_of(' ') + 1);
  }
  void put(std::vector<uint8_t>& area, size_t off, const bytes& v) { memcpy(area.data() + off, v.data(), v.size()); }

  EM* m = nullptr;
  PCB pcb{};
  BLD_CTX ctx{};
  EP_CALL call{};
  std::vector<uint8_t> a1 = std::vector<uint8_t>(kArea), a2 = std::vector<uint8_t>(kArea);
  uint8_t* addr[3]{};
};

}  // namespace kivo::test
