// kivo_design: writes design sources (src/design/design_source.md) into the
// native design files of a data directory. The build runs it to make the
// default installation's "0LA" dictionary; later shipped designs use it the
// same way.
//
//   kivo_design [-r] -d <data directory> <source> ...
//
// Each source names its application and version; with -r the version's
// design files are removed first, so that writing a source again (the
// build does, whenever it changes) gives the same files. Exit status 0 when every
// source was written, 1 at the first fault (printed with its line).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "design/design_source.h"
#include "fm/fm_switch.h"
#include "fm/scope_clear.h"
#include "fm/unix_fm.h"
#include "foundation/com.h"
#include "foundation/pool.h"

using namespace kivo;

namespace {

int usage() {
  fprintf(stderr, "usage: kivo_design [-r] -d <data directory> <source> ...\n");
  return 1;
}

// A build-time run has no installation to look applications up in: every
// application is taken with the default class of the native back-end.
const uint8_t* any_application(const char*, const char*) {
  static uint8_t appl[324];
  memset(appl, ' ', sizeof appl);
  return appl;
}

bool start(std::string& data_dir) {
  com_fill(0, nullptr);
  mm_init();
  fm_register_hooks();
  fms_select.get_dap = any_application;
  com.data_dir = cstr{static_cast<uint16_t>(data_dir.size()), data_dir.data()};
  com.path_root = cstr{0, nullptr};
  return fm_init() == 1;
}

int write_source(const char* path, bool replace) {
  std::ifstream in(path);
  if (!in) {
    fprintf(stderr, "kivo_design: cannot read %s\n", path);
    return 0;
  }
  std::stringstream text;
  text << in.rdbuf();
  design_source_result r = design_source_build(text.str(), path, com.sys_scope, nullptr, replace);
  if (!r.ok) fprintf(stderr, "kivo_design: %s\n", r.error.c_str());
  return r.ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool replace = argc > 1 && strcmp(argv[1], "-r") == 0;
  const int at = replace ? 2 : 1;
  if (argc < at + 3 || strcmp(argv[at], "-d") != 0) return usage();
  static std::string data_dir = argv[at + 1];
  if (!start(data_dir)) {
    fprintf(stderr, "kivo_design: the file manager does not start in %s\n", data_dir.c_str());
    return 1;
  }
  int ok = 1;
  for (int i = at + 2; i < argc && ok; ++i) ok = write_source(argv[i], replace);
  return ok ? 0 : 1;
}
