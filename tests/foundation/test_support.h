// Shared fixture pieces for foundation tests: a fresh common block and pools,
// and a capture of system errors instead of the text prompt.
#pragma once

#include <gtest/gtest.h>
#include <utility>

#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"

namespace kivo::test {

inline std::vector<std::string>& captured_errors() {
  static std::vector<std::string> errors;
  return errors;
}

inline void capture_presenter(const char*, int, const char* text) { captured_errors().push_back(text); }

class Fresh : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    mm_init();
    captured_errors().clear();
    la_sys_err_clear();  // a system error an earlier test recorded is not this session's
    os_ready = 0;        // nor is the screen of an earlier test: system errors take the text form
    hooks_.set(foundation_seams.err_presenter, capture_presenter);
  }
  // What this fixture and the ones built on it put into hooks goes back.
  void TearDown() override { hooks_.restore(); }

  bool reported(const std::string& text) const {
    for (auto& e : captured_errors())
      if (e.find(text) != std::string::npos) return true;
    return false;
  }

  kivo_test::hook_overrides hooks_;
};

}  // namespace kivo::test
