// The bootstrap of the system applications: the creates it relies on, the
// summary readers, the INITIAL chunks and the choice of files.
#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "../fixtures/hook_override.h"
#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "bs_test_util.h"
#include "compiler/design_records.h"
#include "design/bs_blocks.h"
#include "design/bs_boot.h"
#include "fm/dict_records.h"
#include "fm/struct_file.h"

namespace kivo::test {
namespace {

class Bootstrap : public DesignFiles {
 protected:
  void put_summary(const char* src_ap, const std::string& text) {
    FDB_PATH p;
    bs_summary_path(&p, src_ap);
    const std::string path = os_path(data_, p);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    FILE* f = fopen(path.c_str(), "w");
    fputs(text.c_str(), f);
    fclose(f);
  }
  // A raw file of one record keyed `key` for `name` in the target.
  void put_raw(const FDB_PATH& target, const char* name, int len, const char* key) {
    FDB_PATH p = target;
    memcpy(p.fdb_name, name, strlen(name));
    p.fdb_class = PATH_PORTDATA;
    std::vector<uint8_t> r(static_cast<size_t>(len), 'r');
    memcpy(r.data(), key, strlen(key));
    raw_bytes().rec(r).save(os_path(data_, p));
  }
  bool exists(const FDB_PATH& target, const char* name) {
    FDB_PATH p = target;
    memcpy(p.fdb_name, name, strlen(name));
    return std::filesystem::exists(os_path(data_, p) + ".dat");
  }
  // The INITIAL records of source `ap` version "00": {file name, kind}.
  std::set<std::pair<std::string, int>> initial_of(const char* ap) {
    FDB fdb;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    INIT_DINIT_FDB(&fdb, kdb, sdb, ap, "00");
    std::set<std::pair<std::string, int>> out;
    for (auto& r : read_all(fdb)) out.insert({std::string(reinterpret_cast<const char*>(r.data()), 8), r[INIT_KIND]});
    return out;
  }
  std::string run(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
  }
};

// Creating a file that exists, as the bootstrap does once its records are
// in, succeeds and keeps them: with 0x800 for any file it builds, with
// 0x1882 for the INITIAL file it loads chunk by chunk.
TEST_F(Bootstrap, CreatesOfExistingFilesSucceedAndKeepTheirRecords) {
  struct row {
    const char* what;
    uint32_t opts;
    bool open_after;
  };
  const row rows[] = {
      {"0LA data file, 0x800", 0x800, false}, {"design file, 0x800", 0x800, false}, {"INITIAL, 0x1882", 0x1882, true}};
  for (const row& r : rows) {
    keyed_file f("BOOTED", kInitRecMax, 1);
    if (r.opts == 0x1882) INIT_DINIT_FDB(&f.fdb, f.kdb, f.sdb, "TST", "01");
    else if (strstr(r.what, "design")) INIT_SRC_PATH(&f.fdb.path, "TST", "01", "BOOTED", PATH_DATA);
    else INIT_LA_PATH(&f.fdb.path, "00", "BOOTED", PATH_DATA);
    std::vector<std::vector<uint8_t>> recs;
    for (int i = 0; i < 3; ++i) {
      std::vector<uint8_t> rec(20, 'r');
      memcpy(rec.data(), "BOOTED  ", 8), rec[7] = static_cast<uint8_t>('0' + i), rec[8] = 1,
                                         st_le32(rec.data(), 9, static_cast<uint32_t>(i + 1));
      recs.push_back(rec);
    }
    ASSERT_EQ(write_all(f.fdb, recs), 1) << r.what;
    FDB again = f.fdb;
    ASSERT_EQ(FM_CREATE(&again, com.sys_scope, 0, r.opts, 0x0f, 0), 1) << r.what << ": status " << again.fdb_stat;
    if (r.open_after) {
      ASSERT_NE(again.fdb_arb, nullptr);
      FM_CLOSE(again.fdb_arb, ARB_CLOSE_NOW);
    }
    EXPECT_EQ(read_all(f.fdb), recs) << r.what;
  }
}

// INITIAL records of one file and kind as {chunk, length, first data byte}.
std::vector<std::array<uint32_t, 3>> chunks(const char* name, uint8_t kind) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DINIT_FDB(&fdb, kdb, sdb, "TST", "01");
  std::vector<std::array<uint32_t, 3>> out;
  for (auto& r : read_all(fdb))
    if (memcmp(r.data(), name, strlen(name)) == 0 && r[INIT_KIND] == kind)
      out.push_back({ld_le32(r.data(), INIT_CHUNK), static_cast<uint32_t>(r.size()), r[INIT_DATA]});
  return out;
}

TEST_F(Bootstrap, ImagesAreCutIntoChunksThatReplaceTheirKindOnly) {
  std::vector<uint8_t> image(2500);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i / 1000 + 1);
  ASSERT_EQ(upd_init("TST", "01", "CUST", image.data(), 2500, INIT_NULLS), 1);
  ASSERT_EQ(upd_init("TST", "01", "OTHER", image.data(), 1001, INIT_VALUES), 1);
  using rows = std::vector<std::array<uint32_t, 3>>;
  struct row {
    size_t len;
    rows want;
  };
  const row rows_[] = {{1000, {{1, 1013, 1}}}, {2500, {{1, 1013, 1}, {2, 1013, 2}, {3, 513, 3}}}, {1, {{1, 14, 1}}}};
  for (const row& r : rows_) {
    ASSERT_EQ(upd_init("TST", "01", "CUST", image.data(), r.len, INIT_VALUES), 1);
    EXPECT_EQ(chunks("CUST", INIT_VALUES), r.want) << r.len;
    EXPECT_EQ(chunks("CUST", INIT_NULLS).size(), 3u);
    EXPECT_EQ(chunks("OTHER", INIT_VALUES), (rows{{1, 1013, 1}, {2, 14, 2}}));
  }
}

// ---- summaries written by hand in the dictionary's line formats ----

struct sum_file {
  const char* name;
  int fs, alloc, len;
  std::vector<bs_field> fields;  // the first is the one-field primary key
};

std::string hex_lines(const std::vector<uint8_t>& image) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < image.size(); ++i) {
    snprintf(b, sizeof b, "%02X", image[i]);
    out += b;
    if (i % 40 == 39 || i + 1 == image.size()) out += "\n";
  }
  return out;
}

// The image of a file: byte i is i + kind, the field at 8 holds 0x0102 in
// raw (most significant first) form.
std::vector<uint8_t> image_of(int len, int kind) {
  std::vector<uint8_t> im(static_cast<size_t>(len));
  for (size_t i = 0; i < im.size(); ++i) im[i] = static_cast<uint8_t>(i + static_cast<size_t>(kind));
  if (len >= 10) im[8] = 1, im[9] = 2;
  return im;
}

std::string summary_text(int header, const std::vector<sum_file>& files) {
  std::string s = std::to_string(header) + "\n";
  char line[160];
  for (const sum_file& f : files) {
    snprintf(line, sizeof line, "FILE:  %-8.8s %d %d %d %d %d %d %zu\n", f.name, f.fs, 3, f.alloc, f.len, 1, 1,
             f.fields.size());
    s += line;
    snprintf(line, sizeof line, "KEY:  %-22.22s %s %d %d %d\n", "THE KEY", "+", 0, 4, 1);
    s += line;
    snprintf(line, sizeof line, "SEGMENT:  %-22.22s %s %d %d %d %d\n", "THE KEY", "+", 1, f.fields[0].pos,
             f.fields[0].size, 1);
    s += line;
    for (const bs_field& d : f.fields) {
      snprintf(line, sizeof line, "%-22.22s %d %d %d %d\n", "A FIELD", d.occurs, d.type, d.pos, d.size);
      s += line;
    }
    s += hex_lines(image_of(f.len, 1)) + hex_lines(image_of(f.len, 2));
  }
  return s;
}

TEST_F(Bootstrap, ASummaryWithAnotherFormatNumberLoadsNothing) {
  put_summary("0AD", summary_text(2, {{"ONE", 1, 0, 20, {{1, 0, 8, 1}}}}));
  FDB_PATH s;
  bs_summary_path(&s, "0AD");
  EXPECT_EQ(bs_load_init(&s), 0);
  EXPECT_TRUE(reported("bs_import() - bad summary header"));
  captured_errors().clear();
  EXPECT_TRUE(initial_of("0AD").empty());
  bs_summary_path(&s, "0SA");  // no summary at all
  EXPECT_EQ(bs_load_init(&s), 0);
  EXPECT_TRUE(reported("bs_import() - missing summary file"));
  captured_errors().clear();
}

// One application's design files alone, version "00": only the disk files
// allocated at once come from their raw files; every file gets its images;
// the INITIAL file is made, never imported.
TEST_F(Bootstrap, OneApplicationTakesItsSelectedDesignFilesOnly) {
  const std::vector<bs_field> f = {{1, 0, 8, 1}, {5, 8, 2, 1}};
  put_summary("0AD", summary_text(1, {{"ONE", 1, 0, 20, f},
                                      {"LATER", 1, 1, 20, f},
                                      {"MEMORY", 2, 0, 20, f},
                                      {"INITIAL", 1, 0, 1013, f},
                                      {"BIG", 1, 0, 2500, f}}));
  FDB_PATH tst, la;
  bs_design_target(&tst, "TST", "00");
  bs_design_target(&la, "0LA", "00");
  for (const char* n : {"ONE", "LATER", "MEMORY", "INITIAL"}) put_raw(tst, n, n[0] == 'I' ? 30 : 20, "KEY00001");
  put_raw(la, "ONE", 20, "KEY00001");
  setenv("KIVO_BOOT_AP", "TST", 1);
  unsetenv("KIVO_BOOT_VER");
  const std::string out = run([] { bs_run(); });
  unsetenv("KIVO_BOOT_AP");
  FDB_PATH raw = tst;
  memcpy(raw.fdb_name, "ONE", 3), raw.fdb_class = PATH_PORTDATA;
  EXPECT_EQ(out, os_path(data_, raw) + "\n");
  keyed_file one("ONE", 20, 0);
  one.fdb.path = tst, memcpy(one.fdb.path.fdb_name, "ONE", 3);
  auto recs = read_all(one.fdb);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(ld_le16(recs[0].data(), 8), ('r' << 8) | 'r');
  EXPECT_TRUE(exists(tst, "BIG"));      // no raw file: created empty
  EXPECT_TRUE(exists(tst, "INITIAL"));  // created, its raw record left out
  EXPECT_FALSE(exists(tst, "LATER"));
  EXPECT_FALSE(exists(tst, "MEMORY"));
  EXPECT_FALSE(exists(la, "ONE"));
  FDB init;
  KDB ik[kInitMaxKeys];
  SDB is[kInitMaxSegs];
  INIT_DINIT_FDB(&init, ik, is, "TST", "00");
  EXPECT_TRUE(read_all(init).empty());
  // Every file's two images, converted: the binary at 8 in the engine's order.
  const auto loaded = initial_of("0AD");
  for (const char* n : {"ONE     ", "LATER   ", "MEMORY  ", "INITIAL ", "BIG     "})
    for (int kind : {1, 2}) EXPECT_TRUE(loaded.count({n, kind})) << n << kind;
  INIT_DINIT_FDB(&init, ik, is, "0AD", "00");
  int big = 0;
  for (auto& r : read_all(init)) {
    big += memcmp(r.data(), "BIG     ", 8) == 0;
    if (memcmp(r.data(), "ONE     ", 8) == 0) {
      EXPECT_EQ(ld_le16(r.data(), INIT_DATA + 8), 0x0102);
    }
  }
  EXPECT_EQ(big, 6);
}

std::string build_dir() {
  const std::string kivo = KIVO_BINARY;
  return kivo.substr(0, kivo.rfind('/'));
}

// Each file a system dictionary describes has the descriptor the engine
// opens it with: record length, form, keys and their segments, orders and
// duplicate flags. The design dictionary describes every design file, the
// system-administration one each of its files the engine has a descriptor
// for.
using init_fn = void (*)(FDB*, KDB*, SDB*, const char*, const char*);
template <void (*F)(FDB*, KDB*, SDB*)>
void sa(FDB* f, KDB* k, SDB* s, const char*, const char*) {
  F(f, k, s);
}

void same_descriptor(const std::string& name, const bs_file& file, const bs_block_fdb& got, const FDB& want) {
  EXPECT_EQ(got.fdb.fdb_rec_len, want.fdb_rec_len) << name;
  EXPECT_EQ(got.fdb.fdb_var, want.fdb_var) << name;
  EXPECT_EQ(got.fdb.fdb_org == ORG_RELATIVE, want.fdb_org == ORG_RELATIVE) << name;
  EXPECT_EQ(file.fs_type, want.fdb_fs_type) << name;
  EXPECT_EQ(got.fdb.fdb_nkeys, want.fdb_nkeys) << name;
  for (int k = 0; k < want.fdb_nkeys; ++k) {
    const KDB& w = want.fdb_kdb[k];
    const KDB* found = nullptr;
    for (int i = 0; i < got.fdb.fdb_nkeys; ++i)
      if (got.kdb[i].kdb_keyno == w.kdb_keyno) found = &got.kdb[i];
    if (!found) {
      ADD_FAILURE() << name << " has no key " << int{w.kdb_keyno};
      continue;
    }
    const KDB& g = *found;
    EXPECT_EQ(g.kdb_order, w.kdb_order) << name << " key " << k;
    EXPECT_EQ(g.kdb_flags & KDB_DUP, w.kdb_flags & KDB_DUP) << name << " key " << k;
    EXPECT_EQ(g.kdb_nsegs, w.kdb_nsegs) << name << " key " << k;
    for (int i = 0; i < std::min(g.kdb_nsegs, w.kdb_nsegs); ++i) {
      const SDB &gs = g.kdb_sdb[i], &ws = w.kdb_sdb[i];
      EXPECT_EQ(std::make_tuple(gs.sdb_offset, gs.sdb_len, gs.sdb_type),
                std::make_tuple(ws.sdb_offset, ws.sdb_len, ws.sdb_type))
          << name << " key " << k << " segment " << i;
    }
  }
}

TEST_F(Bootstrap, TheSystemDictionariesDescribeTheEnginesDescriptors) {
  const std::map<std::string, init_fn> design = {
      {"FILE    ", INIT_DFI_FDB},     {"ELEMENT ", INIT_DELEM_FDB}, {"INITIAL ", INIT_DINIT_FDB},
      {"BITMAP  ", INIT_DBITMAP_FDB}, {"PROCESS ", INIT_DPROC_FDB}, {"IMAGE   ", INIT_DIMG_FDB},
      {"ROW     ", INIT_DROW_FDB},    {"ITEM    ", INIT_DITM_FDB},  {"CHR     ", INIT_DCHR_FDB},
      {"CHILD   ", INIT_DCHLD_FDB},   {"SELECT  ", INIT_DSLCT_FDB}, {"STMT    ", INIT_DSTMT_FDB},
      {"PARAM   ", INIT_DPARM_FDB},   {"RECORD  ", INIT_DREC_FDB},  {"DOMAIN  ", INIT_DDOM_FDB},
      {"FIELD   ", INIT_DFLD_FDB},    {"MESSAGE1", INIT_MSG1_FDB},  {"MESSAGE2", INIT_MSG2_FDB},
      {"TOKEN   ", INIT_DTOKEN_FDB},  {"FRAME   ", INIT_DFRM_FDB},  {"EXCEPT  ", INIT_DXCEPT_FDB}};
  const std::map<std::string, init_fn> sysadm = {
      {"APPL    ", sa<INIT_DAP_FDB>},      {"DATABASE", sa<INIT_DDB_FDB>},      {"DBXAP   ", sa<INIT_DDBXAP_FDB>},
      {"DFLTMAP ", sa<INIT_DDFLTMAP_FDB>}, {"FORM    ", sa<INIT_DFORM_FDB>},    {"KEYMAP  ", sa<INIT_DKEYMAP_FDB>},
      {"PROFILE ", sa<INIT_DPROF_FDB>},    {"PRINTER ", sa<INIT_DPRTR_FDB>},    {"SYSDFLT ", sa<INIT_DSYSDFLT_FDB>},
      {"SYSDIR  ", sa<INIT_DSYSDIR_FDB>},  {"SYSPARM ", sa<INIT_DSYSPARM_FDB>}, {"USER    ", sa<INIT_DUSR_FDB>}};
  // Files only the system-administration application keeps: the engine
  // opens them through their dictionary alone.
  const std::set<std::string> dictionary_only = {"DESIGNER", "MANAGER ", "MAPDEF  ", "MAPKEY  ",
                                                 "MAPTYPE ", "TERMKEY ", "TERMTYPE"};
  std::filesystem::copy(build_dir() + "/dist", data_, std::filesystem::copy_options::recursive);
  for (const auto& [ap, engine] : {std::make_pair("0AD", &design), std::make_pair("0SA", &sysadm)}) {
    FDB_PATH sum, target;
    bs_summary_path(&sum, ap);
    bs_design_target(&target, "TST", "01");
    std::set<std::string> seen;
    auto check = [&](bs_block& b) {
      const std::string name(b.file.name, 8);
      auto it = engine->find(name);
      if (it == engine->end() && engine == &sysadm && dictionary_only.count(name)) {
        seen.insert(name);
        return 1;
      }
      if (it == engine->end()) {
        ADD_FAILURE() << "no descriptor for " << name;
        return 1;
      }
      seen.insert(name);
      FDB want;
      KDB kdb[kInitMaxKeys];
      SDB sdb[kInitMaxSegs * 2];
      it->second(&want, kdb, sdb, "TST", "01");
      same_descriptor(name, b.file, bs_block_fdb(b.file, target), want);
      return 1;
    };
    EXPECT_EQ(bs_read_summary(&sum, check), 1) << ap;
    EXPECT_EQ(seen.size(), engine->size() + (engine == &sysadm ? dictionary_only.size() : 0)) << ap;
  }
}

// The full run's steps and their switches: each NO_ variable leaves out
// the design files of its application (and NO_0AD the design images too);
// the data files of 0LA and 0SA come whatever is set.
TEST_F(Bootstrap, TheSwitchesLeaveOutTheirApplicationsDesignFilesOnly) {
  const std::vector<bs_field> f = {{1, 0, 8, 1}, {5, 8, 2, 1}};
  put_summary("0AD", summary_text(1, {{"ONE", 1, 0, 20, f}}));
  put_summary("0LA", summary_text(1, {{"LADATA", 1, 0, 20, f}}));
  put_summary("0SA", summary_text(1, {{"SADATA", 1, 0, 20, f}}));
  put_summary("0DB", "1\n");
  const char* const apps[] = {"0AD", "0LA", "0DB", "0SA"};
  FDB_PATH t, la, sa;
  for (const char* ap : apps) bs_design_target(&t, ap, "00"), put_raw(t, "ONE", 20, "KEY00001");
  bs_la_target(&la), put_raw(la, "LADATA", 20, "KEY00001");
  bs_sa_target(&sa), put_raw(sa, "SADATA", 20, "KEY00001");
  for (int skip = -1; skip < 4; ++skip) {
    std::string var;
    if (skip >= 0) setenv((var = std::string("NO_") + apps[skip]).c_str(), "", 1);
    const std::string out = run([] { bs_run(); });
    if (skip >= 0) unsetenv(var.c_str());
    for (int i = 0; i < 4; ++i) {
      bs_design_target(&t, apps[i], "00");
      EXPECT_EQ(exists(t, "ONE"), i != skip) << var << " " << apps[i];
    }
    EXPECT_EQ(initial_of("0AD").count({"ONE     ", 1}), skip == 0 ? 0u : 1u) << var;
    EXPECT_TRUE(initial_of("0LA").count({"LADATA  ", 2})) << var;
    EXPECT_TRUE(exists(la, "LADATA") && exists(sa, "SADATA")) << var;
    size_t raws = 0;
    for (size_t at = 0; (at = out.find("/Portdata/ONE\n", at)) != std::string::npos; ++at) ++raws;
    EXPECT_EQ(raws, skip >= 0 ? 3u : 4u) << var << out;
    std::filesystem::remove(data_ + "/00/0AD/Data/INITIAL.dat"),
        std::filesystem::remove(data_ + "/00/0AD/Data/INITIAL.key");
    // The next run makes them again: files it would make refuse it.
    for (const char* ext : {".dat", ".key"}) {
      for (const char* ap : apps) std::filesystem::remove(data_ + "/00/" + ap + "/Data/ONE" + ext);
      std::filesystem::remove(os_path(data_, la) + "LADATA" + ext);
      std::filesystem::remove(os_path(data_, sa) + "SADATA" + ext);
    }
  }
}

// ---- the build's distribution, from outside ----

// The engine on `data` with `args`, its standard input empty; the exit
// status, the standard output in *out.
int engine(const std::string& data, const std::string& args, std::string* out) {
  const std::string cmd = "KIVOPATH='" + data + "' " + KIVO_BINARY + " " + args + " </dev/null 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  char buf[4096];
  size_t n;
  out->clear();
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  const int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Every file the summaries give the design files of `aps` (and with
// `data_files` the data files of 0LA and 0SA), by its path under `data`,
// with its records as the file manager reads them now.
using file_records = std::map<std::string, std::vector<std::vector<uint8_t>>>;
file_records system_files(const std::string& data, std::initializer_list<const char*> aps, bool data_files,
                          const std::string& design_summary) {
  file_records out;
  auto add = [&](const std::string& summary, const FDB_PATH& target) {
    if (!std::filesystem::exists(summary)) return;  // no files described
    bs_read_summary_file(summary, [&](bs_block& b) {
      if (!bs_selected(b.file, target)) return 1;
      bs_block_fdb n(b.file, target);
      out[os_path(data, n.fdb.path).substr(data.size())] = read_all(n.fdb);
      return 1;
    });
  };
  FDB_PATH t;
  for (const char* ap : aps) {
    bs_design_target(&t, ap, "00");
    add(design_summary, t);
  }
  if (!data_files) return out;
  bs_la_target(&t);
  add(dd_summary_path("0LA", "00"), t);
  bs_sa_target(&t);
  add(dd_summary_path("0SA", "00"), t);
  return out;
}

// With the design dictionary installed, the design files of a version being
// designed open with their structure checked against it. The builder
// records a structure file for each design file of its version, absent ones
// too (which then still read as absent); one removed or of another stamp
// fails the checked open until it is recorded again. Versions "00" of the
// system applications, and installations without the dictionary, get none.
TEST_F(Bootstrap, DesignFilesOfAVersionAreCheckedAgainstTheDesignDictionary) {
  auto fdb_of = [](init_fn init, const char* ap, FDB* f, KDB* k, SDB* s) { init(f, k, s, ap, "01"); };
  auto checked_open = [&](init_fn init, const char* ap) {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    fdb_of(init, ap, &f, k, s);
    if (!FM_OPEN(&f, kScope, LFB_ANY_DIR, 0x01, 0x0f)) return f.fdb_stat;
    FM_CLOSE(f.fdb_arb, 0);
    return uint32_t{0};
  };
  auto struct_file = [&](init_fn init, const char* ap) {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    fdb_of(init, ap, &f, k, s);
    f.path.fdb_class = PATH_STRUCT;
    return os_path(data_, f.path) + ".dat";
  };
  auto record = [&](init_fn init, const char* ap) {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    fdb_of(init, ap, &f, k, s);
    return fm_design_struct(&f, kScope) ? uint32_t{0} : f.fdb_stat;
  };
  // Without the dictionary: nothing recorded, nothing checked.
  build("APPLICATION APP 01\nPROCESS 1 \"MAIN MENU\"\n", "APP");
  EXPECT_FALSE(std::filesystem::exists(struct_file(INIT_DPROC_FDB, "APP")));
  EXPECT_EQ(checked_open(INIT_DPROC_FDB, "APP"), 0u);
  fm_clr_scope(kScope);
  stop_native();
  copy_dictionary();
  ASSERT_TRUE(std::filesystem::exists(data_ + "/00/0AD/Data/FILE.dat"));
  ASSERT_EQ(start_native(data_), 1);
  hooks_.set(fms_select.get_dap, [](const char*, const char*) -> const uint8_t* {
    static uint8_t appl[kApplRecLen];
    memset(appl, ' ', sizeof appl);
    return appl;
  });
  // A version written before the dictionary came fails its checked opens
  // until its structures are recorded.
  EXPECT_EQ(checked_open(INIT_DPROC_FDB, "APP"), uint32_t{FM_NO_STRUCT_FILE});
  build("APPLICATION NEW 01\nPROCESS 1 \"MAIN MENU\"\n", "NEW");
  fm_clr_scope(kScope);
  {
    DesignBuilder b("APP", "01", kScope);
    ASSERT_EQ(b.record_structures(), 1) << b.error();
  }
  struct damage_case {
    const char* what;
    std::function<void(const std::string&)> damage;
    uint32_t status;
  };
  const damage_case cases[] = {
      {"recorded", [](const std::string&) {}, 0},
      {"removed", [](const std::string& p) { std::filesystem::remove(p); }, FM_NO_STRUCT_FILE},
      {"another stamp",
       [](const std::string& p) {
         std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(kStructFileRecLen + FI_STRUCT);
         f.put('\x55');
       },
       FM_STAMP_DIFF},
  };
  for (const char* ap : {"APP", "NEW"})
    for (const damage_case& c : cases) {
      SCOPED_TRACE(std::string(ap) + ": " + c.what);
      c.damage(struct_file(INIT_DPROC_FDB, ap));
      EXPECT_EQ(checked_open(INIT_DPROC_FDB, ap), c.status);
      EXPECT_EQ(record(INIT_DPROC_FDB, ap), 0u);
      EXPECT_EQ(checked_open(INIT_DPROC_FDB, ap), 0u);
      // A design file the version has no records of stays absent.
      EXPECT_TRUE(std::filesystem::exists(struct_file(INIT_DCHR_FDB, ap)));
      EXPECT_EQ(checked_open(INIT_DCHR_FDB, ap), uint32_t{FM_NO_FILE});
    }
  // The system applications' own versions keep no structure files.
  FDB la;
  KDB lk[kInitMaxKeys];
  SDB ls[kInitMaxSegs];
  INIT_DPROC_FDB(&la, lk, ls, "0LA", "00");
  EXPECT_EQ(fm_design_struct(&la, kScope), 1);
  la.path.fdb_class = PATH_STRUCT;
  EXPECT_FALSE(std::filesystem::exists(os_path(data_, la.path) + ".dat"));
}

// A whole distribution whose run meets a system error (a folder where a
// data file of 0SA goes, so its create fails) goes on with the rest, as
// the operator's "continue" would, and ends with 2, the count said last.
TEST_F(Bootstrap, ARunThatMeetsASystemErrorEndsWithTwo) {
  std::filesystem::copy(build_dir() + "/dist", data_, std::filesystem::copy_options::recursive);
  std::filesystem::create_directories(data_ + "/0SA/Data/PRINTER.dat");
  std::string out;
  EXPECT_EQ(engine(data_, "-b", &out), 2) << out;
  EXPECT_NE(out.find("system error(s): the bootstrap is not complete; the next kivo -b starts it again\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(std::filesystem::exists(data_ + "/0SA/Data/USER.dat"));
}

TEST_F(Bootstrap, TheDistributionGivesBackTheDefaultInstallation) {
  std::filesystem::copy(build_dir() + "/dist", data_, std::filesystem::copy_options::recursive);
  std::string out;
  ASSERT_EQ(engine(data_, "-b", &out), 1) << out;
  // Each raw path with its dots, one line each, and nothing else.
  std::istringstream lines(out);
  int raw_lines = 0;
  for (std::string line; std::getline(lines, line); ++raw_lines) {
    EXPECT_EQ(line.rfind(data_ + "/", 0), 0u) << line;
    EXPECT_NE(line.find("/Portdata/"), std::string::npos) << line;
  }
  EXPECT_GE(raw_lines, 10);
  // Every native file it made verifies good, those of organisation 1 too.
  for (auto& e : std::filesystem::recursive_directory_iterator(data_))
    if (e.path().extension() == ".dat" && e.path().parent_path().filename() == "Data") {
      std::string v;
      EXPECT_EQ(engine(data_, "-v=" + e.path().string(), &v), 1) << e.path() << v;
    }
  // Every file of the four applications holds its namesake's records of
  // the default installation, the design dictionary's own files included.
  const std::string design = dd_summary_path("0AD", "00");
  const file_records booted = system_files(data_, {"0AD", "0LA", "0DB", "0SA"}, true, design);
  // A second run is refused with one line, and changes nothing.
  const auto before = kivo_test::tree_sums(data_);
  ASSERT_EQ(engine(data_, "-b", &out), 2) << out;
  EXPECT_NE(out.find("kivo -b: nothing changed: " + data_ + "/00/0AD/Data/"), std::string::npos) << out;
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  EXPECT_EQ(kivo_test::tree_changes(before, kivo_test::tree_sums(data_)), std::vector<std::string>{});
  const std::string design_copy = data_ + "/design_summary";
  std::filesystem::copy_file(design, design_copy);
  scratch_dir installed;
  stop_native();
  std::string dir = installed.path();
  std::filesystem::copy(build_dir() + "/shipped_data", dir, std::filesystem::copy_options::recursive);
  ASSERT_EQ(start_native(dir), 1);
  const file_records want = system_files(dir, {"0AD", "0LA", "0DB", "0SA"}, true, design_copy);
  ASSERT_EQ(booted.size(), want.size());
  size_t records = 0;
  for (auto b = booted.cbegin(), w = want.cbegin(); b != booted.cend(); ++b, ++w) {
    EXPECT_EQ(b->first, w->first);
    EXPECT_EQ(b->second, w->second) << b->first;
    records += b->second.size();
  }
  EXPECT_GT(records, 100u);
  // The engine starts on the copy as on the default installation: the
  // runtime's first menu, the same screen.
  std::string screens[2];
  for (int i = 0; i < 2; ++i) {
    const std::string dir = i ? installed.path() : data_;
    kivo_test::tmux_pane p(kivo_test::shell_quote(KIVO_BINARY), dir, kivo_test::engine_env(dir));
    EXPECT_TRUE(p.wait_for("KIVO MENU")) << dir << "\n" << p.capture();
    screens[i] = p.capture();
  }
  EXPECT_EQ(screens[0], screens[1]);
}

}  // namespace
}  // namespace kivo::test
