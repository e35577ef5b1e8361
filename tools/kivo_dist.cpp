// kivo_dist: writes the distribution of the four system applications from a
// data directory, the form a new installation receives them in and `kivo
// -b` reads back.
//
//   kivo_dist -d <data directory> -o <distribution directory>
//
// Each summary goes to 00/<application>/Data/SUMMARY ("0DB" has only the
// line "1"); every file a summary selects gets its raw record file in the
// "Portdata" directory where the bootstrap looks for it: the design files
// of 0AD, 0LA, 0DB and 0SA by the summary of 0AD, the data files of 0LA and
// 0SA by their own. A file the data directory lacks gets no raw file (the
// bootstrap creates it empty). Exit status 0, or 1 at the first fault.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "design/bs_blocks.h"
#include "design/bs_boot.h"
#include "design/bs_dist.h"
#include "fm/fm_open.h"
#include "fm/fm_status.h"
#include "fm/fm_switch.h"
#include "fm/scope_clear.h"
#include "foundation/com.h"
#include "foundation/paths.h"
#include "foundation/pool.h"

using namespace kivo;
namespace fs = std::filesystem;

namespace {

const char* const kApps[] = {"0AD", "0LA", "0DB", "0SA"};

// A build-time run has no installation to look applications up in.
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

std::string os_path(std::string root, const FDB_PATH& p) {
  cstr r{static_cast<uint16_t>(root.size()), root.data()};
  const cstr* s = ss_bld_path(&p, 0, &r, nullptr, nullptr);
  return s ? std::string(s->ptr) : std::string();
}

// The summary of `ap` from the data directory into the distribution.
bool copy_summary(const std::string& data, const std::string& dist, const char* ap) {
  FDB_PATH p;
  bs_summary_path(&p, ap);
  const fs::path from = os_path(data, p), to = os_path(dist, p);
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  if (fs::exists(from)) return fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (strcmp(ap, "0DB") != 0) {
    fprintf(stderr, "kivo_dist: no summary of %s at %s\n", ap, from.c_str());
    return false;
  }
  FILE* f = fopen(to.c_str(), "w");  // nothing of 0DB is distributed
  return f && fputs("1\n", f) >= 0 && fclose(f) == 0;
}

// The raw files of every file the summary gives the target.
bool write_raws(const std::string& dist, const FDB_PATH& summary, const FDB_PATH& target, long* files) {
  bool ok = true;
  const int read = bs_read_summary(&summary, [&](bs_block& b) {
    if (!bs_imported(b.file, target)) return 1;
    bs_block_fdb n(b.file, target);
    if (!FM_OPEN(&n.fdb, com.sys_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) {
      if (n.fdb.fdb_stat == FM_NO_FILE) return 1;
      fprintf(stderr, "kivo_dist: %.8s does not open: status %u\n", b.file.name, n.fdb.fdb_stat);
      return int(ok = false);
    }
    FDB_PATH raw = n.fdb.path;
    raw.fdb_class = PATH_PORTDATA;
    std::string err;
    if (native_to_raw(&n.fdb, os_path(dist, raw), b.fields.data(), static_cast<int>(b.fields.size()), &err) < 0) {
      fprintf(stderr, "kivo_dist: %s\n", err.c_str());
      ok = false;
    }
    FM_CLOSE(n.fdb.fdb_arb, ARB_CLOSE_NOW);
    ++*files;
    return int(ok);
  });
  return ok && read;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || strcmp(argv[1], "-d") != 0 || strcmp(argv[3], "-o") != 0) {
    fprintf(stderr, "usage: kivo_dist -d <data directory> -o <distribution directory>\n");
    return 1;
  }
  static std::string data = argv[2];
  const std::string dist = argv[4];
  if (!start(data)) {
    fprintf(stderr, "kivo_dist: the file manager does not start in %s\n", data.c_str());
    return 1;
  }
  for (const char* ap : kApps)
    if (!copy_summary(data, dist, ap)) return 1;
  FDB_PATH summary, target;
  long files = 0;
  bs_summary_path(&summary, "0AD");
  for (const char* ap : kApps) {
    bs_design_target(&target, ap, "00");
    if (!write_raws(dist, summary, target, &files)) return 1;
  }
  bs_summary_path(&summary, "0LA");
  bs_la_target(&target);
  if (!write_raws(dist, summary, target, &files)) return 1;
  bs_summary_path(&summary, "0SA");
  bs_sa_target(&target);
  if (!write_raws(dist, summary, target, &files)) return 1;
  printf("kivo_dist: %ld raw files in %s\n", files, dist.c_str());
  return 0;
}
