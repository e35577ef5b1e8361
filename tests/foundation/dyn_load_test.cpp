// Shared libraries of external routines, loaded once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "foundation/com.h"
#include "foundation/os.h"
#include "test_dir.h"

using namespace kivo;

namespace {

cstr spec(std::string& s) { return cstr{static_cast<uint16_t>(s.size()), s.data()}; }

}  // namespace

TEST(DynLoad, LibraryLoadedOnceAndItsFunctionFound) {
  const int before = ss_lib_count();
  std::string s1 = "libm.so.6,cos   ", s2 = "libm.so.6,sin";
  cstr c1 = spec(s1), c2 = spec(s2);
  void* cos_fn = nullptr;
  void* sin_fn = nullptr;
  ASSERT_EQ(ss_dyn_load(&c1, &cos_fn), 1);
  ASSERT_EQ(ss_dyn_load(&c2, &sin_fn), 1);
  EXPECT_EQ(ss_lib_count(), before + 1);
  EXPECT_DOUBLE_EQ(reinterpret_cast<double (*)(double)>(cos_fn)(0.0), 1.0);
  ss_lib* a = ss_load_lib(nullptr, "libm.so.6");
  ss_lib* b = ss_load_lib(nullptr, "libm.so.6");
  EXPECT_EQ(a, b);
  EXPECT_EQ(ss_load_fn(a, "cos"), cos_fn);
  ss_dyn_free(&c1);
  EXPECT_EQ(ss_lib_count(), before);
  std::string bad = "no comma";
  cstr c = spec(bad);
  void* fn = reinterpret_cast<void*>(1);
  EXPECT_EQ(ss_dyn_load(&c, &fn), 0);
  EXPECT_EQ(fn, nullptr);
}

TEST(DynLoad, FailuresGoToTheDebugLogUnderMaskTwo) {
  kivo_test::scratch_dir d;
  std::string log = d.file("ss.log");
  setenv("KIVO_SS_LOG", log.c_str(), 1);
  setenv("KIVO_SS_CODE", "0x2", 1);
  com_fill(0, nullptr);
  ss_unix_init();
  EXPECT_EQ(ss_load_lib("/no/such/dir", "libnothing.so"), nullptr);  // the directory joins with one slash
  ss_lib* m = ss_load_lib(nullptr, "libm.so.6");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(ss_load_fn(m, "no_such_function_kivo"), nullptr);
  std::string text = d.read("ss.log");
  EXPECT_NE(text.find("dynamic load of /no/such/dir/libnothing.so failed with "), std::string::npos) << text;
  EXPECT_NE(text.find("load of function no_such_function_kivo failed with error "), std::string::npos) << text;

  setenv("KIVO_SS_CODE", "0", 1);
  ss_unix_init();
  EXPECT_EQ(ss_load_lib(nullptr, "libnothing2.so"), nullptr);
  unsetenv("KIVO_SS_LOG");
  unsetenv("KIVO_SS_CODE");
  ss_unix_init();
  EXPECT_EQ(d.read("ss.log"), "");
  ss_unload_lib(m);
}
