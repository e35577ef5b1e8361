// The build-time programs' start; see build_start.h.
#include "build_start.h"

#include <cerrno>
#include <cstring>

#include "fm/fm.h"
#include "fm/fm_switch.h"
#include "foundation/com.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "kivo_hooks.h"

namespace kivo {

namespace {

const uint8_t* any_application(const char*, const char*) {
  static uint8_t appl[324];
  memset(appl, ' ', sizeof appl);
  return appl;
}

}  // namespace

bool build_start(std::string& data_dir) {
  static bool once = false;
  if (!once) {
    com_fill(0, nullptr);
    mm_init();
    kivo_register_hooks();
    sys_err_plain_lines(program_invocation_short_name);  // no one at the terminal answers a prompt
    once = true;
  }
  fms_select.get_dap = any_application;
  com.data_dir = cstr{static_cast<uint16_t>(data_dir.size()), data_dir.data()};
  com.path_root = cstr{0, nullptr};
  return fm_init() == 1;
}

}  // namespace kivo
