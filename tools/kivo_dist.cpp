// kivo_dist: writes the distribution of the four system applications from a
// data directory, the form a new installation receives them in and `kivo
// -b` reads back.
//
//   kivo_dist -d <data directory> -o <distribution directory>
//
// The data directory is the default installation, design dictionary "0AD"
// included (its FILE, ELEMENT and INITIAL records describe every design
// file).
//
// Each summary is written afresh from the application's stored FILE,
// ELEMENT and INITIAL records (into the data directory, by the dictionary's
// own summary writer) and goes to 00/<application>/Data/SUMMARY with its
// record images in raw form ("0DB" has only the line "1"); every file a
// summary selects gets its raw record file in the
// "Portdata" directory where the bootstrap looks for it: the design files
// of 0AD, 0LA, 0DB and 0SA by the summary of 0AD, the data files of 0LA and
// 0SA by their own. A file the data directory lacks gets no raw file (the
// bootstrap creates it empty). Exit status 0, or 1 at the first fault.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "build_start.h"
#include "design/bs_blocks.h"
#include "design/bs_boot.h"
#include "design/bs_dist.h"
#include "design/dd.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/fm_switch.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/paths.h"
#include "foundation/pool.h"
#include "foundation/std_fds.h"

using namespace kivo;
namespace fs = std::filesystem;

namespace {

bool start(std::string& data_dir) {
  if (build_start(data_dir)) return true;
  fprintf(stderr, "kivo_dist: the file manager does not start in %s\n", data_dir.c_str());
  return false;
}

std::string os_path(std::string root, const FDB_PATH& p) {
  cstr r{static_cast<uint16_t>(root.size()), root.data()};
  const cstr* s = ss_bld_path(&p, 0, &r, nullptr, nullptr);
  return s ? std::string(s->ptr) : std::string();
}

ARB* open_design(void (*init)(FDB*, KDB*, SDB*, const char*, const char*), const char* ap) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  init(&f, k, s, ap, "00");
  return FM_OPEN(&f, com.sys_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0x0f) ? f.fdb_arb : nullptr;
}

// The summary of `ap` in the data directory, written afresh from its
// stored FILE records; false when one is not described.
bool describe_files(const char* ap) {
  remove(dd_summary_path(ap, "00").c_str());
  ARB* fi = open_design(INIT_DFI_FDB, ap);
  if (!fi) return true;  // no files: a summary of its header alone
  dd_ctx ctx{};
  memcpy(ctx.ap, ap, 3), memcpy(ctx.ver, "00", 2);
  ctx.arb[DD_ELEM] = open_design(INIT_DELEM_FDB, ap);
  uint8_t rec[kFileRecSize];
  PROTO_FULL(fi, 0, rec);
  fi->arb_len = kFileRecSize, fi->arb_mod = ARB_FIRST;
  bool ok = ctx.arb[DD_ELEM] && fm_start(fi);
  fi->arb_mod = 0;
  while (ok && fm_rdnxt(fi)) {
    ok = bld_sum_fi(&ctx, rec) == 1;
    if (!ok) fprintf(stderr, "kivo_dist: %.8s of %s is not described\n", rec + FI_NAME, ap);
  }
  if (ctx.arb[DD_ELEM]) FM_CLOSE(ctx.arb[DD_ELEM], ARB_CLOSE_NOW);
  FM_CLOSE(fi, ARB_CLOSE_NOW);
  return ok;
}

void put_image(FILE* f, std::vector<uint8_t> image, const std::vector<bs_field>& flds, bool stmt) {
  raw_form(image.data(), image.size(), flds.data(), static_cast<int>(flds.size()), stmt);
  for (size_t i = 0; i < image.size(); ++i)
    fprintf(f, "%02X%s", image[i], i % 40 == 39 || i + 1 == image.size() ? "\n" : "");
}

// One block in the summary's line formats, its images in raw form.
void put_block(FILE* f, const bs_block& b) {
  const bs_file& x = b.file;
  fprintf(f, "FILE:  %.8s %d %d %d %d %d %d %d\n", x.name, x.fs_type, x.org, x.alloc, x.rec_len, x.var, x.nkeys,
          x.nfields);
  for (const bs_key& k : x.keys) {
    fprintf(f, "KEY:  %.22s %c %d %d %d\n", k.name, k.order, k.keyno, k.flags, k.nsegs);
    for (const bs_seg& g : k.segs)
      fprintf(f, "SEGMENT:  %.22s %c %d %d %d %d\n", g.name, g.order, g.segno, g.offset, g.len, g.type);
  }
  for (size_t i = 0; i < b.fields.size(); ++i)
    fprintf(f, "%.22s %d %d %d %d\n", x.field_names[i].c_str(), b.fields[i].occurs, b.fields[i].type, b.fields[i].pos,
            b.fields[i].size);
  const bool stmt = memcmp(x.name, "STMT    ", 8) == 0;
  put_image(f, x.init, b.fields, stmt);
  put_image(f, x.nulls, b.fields, stmt);
}

// The summary of `ap` from the data directory into the distribution, its
// images in raw form.
bool copy_summary(const std::string& dist, const char* ap) {
  FDB_PATH p;
  bs_summary_path(&p, ap);
  const fs::path to = os_path(dist, p);
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  FILE* f = fopen(to.c_str(), "w");
  if (!f) return false;
  fputs("1\n", f);
  int ok = 1;
  if (strcmp(ap, "0DB") != 0 && fs::exists(dd_summary_path(ap, "00")))
    ok = bs_read_summary(&p, [&](bs_block& b) { return put_block(f, b), 1; });
  return fclose(f) == 0 && ok;
}

// The raw files of every file the summary at `summary` gives the target.
bool write_raws(const std::string& dist, const std::string& summary, const FDB_PATH& target, long* files) {
  if (!fs::exists(summary)) return true;  // no files
  bool ok = true;
  const int read = bs_read_summary_file(summary, [&](bs_block& b) {
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
  kivo::os_std_descriptors();  // before anything is opened
  if (argc != 5 || strcmp(argv[1], "-d") != 0 || strcmp(argv[3], "-o") != 0) {
    fprintf(stderr, "usage: kivo_dist -d <data directory> -o <distribution directory>\n");
    return 1;
  }
  static std::string data = argv[2];
  const std::string dist = argv[4];
  setenv("DD_SUMMARY_FILE", "1", 1);
  long files = 0;
  FDB_PATH target;
  if (!start(data)) return 1;
  // The design dictionary, and the design files of the four applications
  // by its summary; the data files of 0LA and 0SA by their own.
  for (const char* ap : {"0AD", "0LA", "0DB", "0SA"})
    if ((strcmp(ap, "0DB") != 0 && !describe_files(ap)) || !copy_summary(dist, ap)) return 1;
  const std::string design_summary = dd_summary_path("0AD", "00");
  for (const char* ap : {"0AD", "0LA", "0DB", "0SA"}) {
    bs_design_target(&target, ap, "00");
    if (!write_raws(dist, design_summary, target, &files)) return 1;
  }
  bs_la_target(&target);
  if (!write_raws(dist, dd_summary_path("0LA", "00"), target, &files)) return 1;
  bs_sa_target(&target);
  if (!write_raws(dist, dd_summary_path("0SA", "00"), target, &files)) return 1;
  printf("kivo_dist: %ld raw files in %s\n", files, dist.c_str());
  return 0;
}
