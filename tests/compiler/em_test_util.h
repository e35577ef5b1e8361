// Module sub-files in the place of the file manager's open: records by
// number in plain vectors, with the fixed-length rule of the descriptor, and
// a common block, pools and captured system errors for each test.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "compiler/bld.h"
#include "foundation/com.h"
#include "foundation/maddr.h"
#include "foundation/sys_err.h"

namespace kivo::test {

// A golden file under tests/, whole.
inline std::string golden(const char* name) {
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/tests/" + name);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct em_fake {
  struct file {
    FDB fdb;
    std::vector<std::vector<uint8_t>> recs;
  };
  static inline std::vector<std::unique_ptr<file>> open;
  static inline int fail_at = -1;  // the create call that fails, -1 none
  static inline int creates = 0;
  static inline int errors = 0;

  static file* of(ARB* a) { return reinterpret_cast<file*>(a); }
  static ARB* create(FDB* fdb, uint32_t) {
    if (creates++ == fail_at) return nullptr;
    open.push_back(std::make_unique<file>(file{*fdb, {}}));
    return reinterpret_cast<ARB*>(open.back().get());
  }
  static uint32_t append(ARB* a, const uint8_t* rec, uint16_t len) {
    file* f = of(a);
    if (len > f->fdb.fdb_rec_len || (!f->fdb.fdb_var && len != f->fdb.fdb_rec_len)) return 0;
    f->recs.emplace_back(rec, rec + len);
    return static_cast<uint32_t>(f->recs.size());
  }
  static void close(ARB* a) {
    if (!std::erase_if(open, [&](auto& f) { return f.get() == of(a); })) ADD_FAILURE() << "not open";
  }
  static uint8_t* read(void* h, uint32_t n) {
    file* f = static_cast<file*>(h);
    return n >= 1 && n <= f->recs.size() ? f->recs[n - 1].data() : nullptr;
  }
  static void presenter(const char*, int, const char*) { ++errors; }
};

class EmFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    mm_init();
    em_fake::open.clear();
    em_fake::errors = em_fake::creates = 0;
    em_fake::fail_at = -1;
    em_files = {em_fake::create, em_fake::append, em_fake::close};
    old_reader_ = set_maddr_reader(em_fake::read);
    old_presenter_ = set_sys_err_presenter(em_fake::presenter);
  }
  void TearDown() override {
    em_destroy(em_);
    em_files = {};
    set_maddr_reader(old_reader_);
    set_sys_err_presenter(old_presenter_);
  }
  EM* module() {
    em_ = em_create();
    return em_;
  }

  EM* em_ = nullptr;
  maddr_reader old_reader_ = nullptr;
  sys_err_presenter old_presenter_ = nullptr;
};

}  // namespace kivo::test
