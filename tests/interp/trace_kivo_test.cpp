// The statement-trace hook: nothing without an open trace file, and the
// system applications only when KIVO_TRACE_0APPS asks for them.
#include "interp/trace_kivo.h"

#include <cstdlib>

#include "../foundation/test_support.h"
#include "interp/seams.h"

namespace kivo {
namespace {

class SharedMacros : public test::Fresh {
 protected:
  void TearDown() override {
    rt_trace_arb = nullptr;
    unsetenv("KIVO_TRACE_0APPS");
    trace_kivo_reload();
    test::Fresh::TearDown();
  }
};

TEST_F(SharedMacros, TraceKivoFollowsTheFileAndTheSystemAppSwitch) {
  int file = 0;
  struct {
    bool open;
    const char* sys_apps;
    bool system_ap;
    bool want;
  } cases[] = {
      {false, nullptr, false, false}, {false, "1", true, false}, {true, nullptr, false, true},
      {true, nullptr, true, false},   {true, "1", true, true},   {true, "1", false, true},
  };
  for (auto& c : cases) {
    rt_trace_arb = c.open ? &file : nullptr;
    if (c.sys_apps) setenv("KIVO_TRACE_0APPS", c.sys_apps, 1);
    else unsetenv("KIVO_TRACE_0APPS");
    trace_kivo_reload();
    EXPECT_EQ(c.want, trace_kivo_wanted(c.system_ap)) << c.open << (c.sys_apps ? "+0apps" : "") << c.system_ap;
  }
  // Read once: a later change of the variable is not seen without a reload.
  rt_trace_arb = &file;
  unsetenv("KIVO_TRACE_0APPS");
  trace_kivo_reload();
  setenv("KIVO_TRACE_0APPS", "1", 1);
  EXPECT_FALSE(trace_kivo_wanted(true));
}

}  // namespace
}  // namespace kivo
