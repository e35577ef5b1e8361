// Design files built into the memory design files of "0DN" and read back
// through the file manager: every record of a design file in key order, and
// a record found again by each key of the file's descriptor.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "../fm/fm_native_util.h"
#include "design/design_source.h"
#include "design/mu_xlate.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/descriptors.h"

namespace kivo::test {

constexpr uint32_t kScope = 5;  // the level the tests' design files are opened at

class DesignFiles : public NativeFm {
 protected:
  // Applications other than the system's need an APPL record for their
  // design files on disk: one with a blank class serves every one.
  void SetUp() override {
    NativeFm::SetUp();
    hooks_.set(fms_select.get_dap, [](const char*, const char*) -> const uint8_t* {
      static uint8_t appl[324];
      memset(appl, ' ', sizeof appl);
      return appl;
    });
  }
  // The builders leave their files to the scope: clearing it closes them.
  // The migration's session file goes with the pools the next test makes
  // anew: its handle is forgotten with them.
  void TearDown() override {
    fm_clr_scope(kScope);
    mu_forget();
    NativeFm::TearDown();
  }
  // The "0LA" dictionary of the default installation, which compiles read.
  void copy_dictionary() {
    const std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/shipped_data/00", data_ + "/00",
                          std::filesystem::copy_options::recursive);
  }
  // Builds `src` (into "0DN" when `ap` says so) and fails the test on a fault.
  void build(const std::string& src, const char* ap = "0DN") {
    design_source_result r = design_source_build(src, "test", kScope, ap);
    ASSERT_TRUE(r.ok) << r.error;
  }
  // Every record of design file `f` of `ap`/`ver`, in the order of key 0.
  static std::vector<std::vector<uint8_t>> records(design_file f, const char* ver = "01", const char* ap = "0DN") {
    DesignBuilder b(ap, ver, kScope);
    ARB* a = b.handle(f);
    std::vector<std::vector<uint8_t>> out;
    if (!a) return out;
    std::vector<uint8_t> buf(design_rec_len(f));
    a->arb_rec = buf.data();
    a->arb_len = static_cast<uint16_t>(buf.size());
    a->arb_keyno = 0;
    a->arb_key = nullptr;
    a->arb_mod = ARB_FIRST;
    if (!fm_start(a)) return out;
    a->arb_mod = 0;
    while (fm_rdnxt(a)) out.emplace_back(buf.begin(), buf.begin() + (a->arb_var_len ? a->arb_var_len : a->arb_len));
    b.close_all();
    return out;
  }
  static std::string read_text(const std::string& path) {
    std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/" + path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

}  // namespace kivo::test
