// The restructure of a data file: the comparison of its old layout (its
// STRUCT file) with the dictionary's new one, the INITIAL chunks of a long
// record, and whole runs of the generated process with the real engine:
// conversions against a model, unchanged and compatible files, and the
// failures that must keep the old file, its structure and SYSDIR intact.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "db_run_util.h"
#include "design/design.h"
#include "design/rt_file.h"
#include "fm/fm_sysadm.h"
#include "foundation/scope.h"
#include "interp/rt_fns.h"

namespace kivo::test {
namespace {

std::string with(const char* from, const char* to) {
  std::string s = kOld;
  return s.replace(s.find(from), strlen(from), to);
}

class Restructure : public DbRunFixture {
 protected:
  uint32_t compare(const char* name, restruct_ctx* keep = nullptr) {
    restruct_ctx ctx{};
    uint32_t fm = 0;
    const uint32_t open = db_open_files(path(name), &ctx, &fm);
    if (open) return db_close_files(&ctx), open;
    const uint32_t r = comp_struct_fi(path(name), &ctx);
    if (keep) *keep = ctx;
    else db_close_files(&ctx);
    return r;
  }
  // The size and digest of every file under the data directory whose name holds
  // "DATA" (data, keys, structure), by path.
  std::map<std::string, std::string> data_files() {
    std::map<std::string, std::string> out;
    for (auto& d : std::filesystem::recursive_directory_iterator(data_))
      if (d.is_regular_file() && d.path().filename().string().find("DATA") != std::string::npos) {
        std::ifstream in(d.path(), std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(in), {});
        out[d.path().string().substr(data_.size())] =
            std::to_string(bytes.size()) + ":" + std::to_string(std::hash<std::string>{}(bytes));
      }
    return out;
  }
  static std::vector<uint8_t> sysdir_all() {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_DSYSDIR_FDB(&f, k, s);
    std::vector<uint8_t> all;
    if (!FM_OPEN(&f, com.sys_scope, 0x500, 15, 15)) return all;
    uint8_t r[kSysdirLen] = {};
    PROTO_FULL(f.fdb_arb, 0, r);
    f.fdb_arb->arb_len = kSysdirLen, f.fdb_arb->arb_mod = ARB_FIRST;
    if (fm_start(f.fdb_arb))
      while ((f.fdb_arb->arb_mod = 0, fm_rdnxt(f.fdb_arb))) all.insert(all.end(), r, r + kSysdirLen);
    FM_CLOSE(f.fdb_arb, 0);
    return all;
  }
};

// Each change of the dictionary against the verdict it must give.
TEST_F(Restructure, TheComparisonGivesEachChangeItsVerdict) {
  // new source, structure date, forced, verdict
  const std::tuple<std::string, uint32_t, bool, uint32_t> rows[] = {
      {kOld, 1, false, RS_SAME},
      {kOld, 2, false, RS_COMPATIBLE},
      {kOld, 1, true, RS_CONVERT},
      {with("ID      A8", "ID      A10"), 2, false, RS_CONVERT},
      {with("AMT     P7.2S", "AMT     P9.2S"), 2, false, RS_CONVERT},
      {with("LIST    A4    occurs=3", "LIST    A4    occurs=5"), 2, false, RS_CONVERT},
      {with("AMT     P7.2S", "AMT     P7.2S mask=\"-999999.99\""), 2, false, RS_CONVERT},
      {with("END", "  EXTRA   A2\nEND"), 2, false, RS_CONVERT},
      {with("CNT     B5S", "CNT     B5"), 2, false, RS_CONVERT},
  };
  for (auto& [src, date, forced, verdict] : rows) {
    SCOPED_TRACE(src);
    dictionary(kOld, 1);
    create();
    dictionary(src, date);
    if (forced) setenv("KIVO_VFY_RESTRUCT", "", 1);
    else unsetenv("KIVO_VFY_RESTRUCT");
    EXPECT_EQ(compare("DATA"), verdict);
    scratch();
  }
}

// A dictionary whose FILE was never compiled, or whose elements carry
// another stamp, is not compared; a file without a structure file is named.
TEST_F(Restructure, AFileNotCompiledOrWithoutStructureIsRefused) {
  dictionary(kOld, 1);
  create();
  {
    DesignBuilder b("APP", "01", com.sys_scope);
    ARB* a = b.handle(DF_FILE);
    uint8_t fi[kFileRecSize] = {};
    memcpy(fi + FI_NAME, "DATA    ", 8);
    ASSERT_EQ(dd_read(a, 0, fi, kFileRecSize, true), 1);
    st_le32(fi, FI_STAMP + 4, ld_le32(fi, FI_STAMP + 4) + 1);  // no element has it
    ASSERT_EQ(dd_rewrite(a, fi, kFileRecSize), 1);
    b.close_all();
  }
  EXPECT_EQ(compare("DATA"), RS_NOT_COMPILED);
  EXPECT_EQ(compare("NONE"), RS_NO_STRUCT);
  // Through the routine each is filed under its file.
  for (const char* name : {"DATA", "NONE"}) {
    db_restruct(nullptr, path(name), m1_, m2_);
    uint8_t r[kMsg1Size] = {};
    memcpy(r, "APP01", 5), snprintf(reinterpret_cast<char*>(r + 5), 9, "%-8s", name);
    ASSERT_EQ(dd_read(m1_, 0, r, kMsg1Size, false), 1) << name;
    EXPECT_EQ(ld_le32(r, M1_COUNT), 1u) << name;
  }
  captured_errors().clear();
}

// A record of 2500 bytes keeps three chunks per image in its STRUCT file,
// of 1013, 1013 and 513 bytes; loaded into 0DO they keep those lengths.
TEST_F(Restructure, LongRecordsCarryTheirInitialChunksWithTheirLengths) {
  // record length, chunk count, lengths
  const std::tuple<size_t, uint32_t, std::vector<size_t>> rows[] = {
      {2500, 6, {1013, 1013, 513, 1013, 1013, 513}},
      {2000, 4, {1013, 1013, 1013, 1013}},
      {1000, 2, {1013, 1013}},
      {40, 2, {53, 53}},
      {1001, 4, {1013, 14, 1013, 14}},
  };
  for (auto& [len, count, lengths] : rows)
    for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(struct_chunk_len(i, count, len), lengths[i]) << len << " " << i;

  dictionary("APPLICATION APP 01\nFILE LONG\n  ID A8 key=primary\n  BODY A2492\nEND\n", 1);
  create("LONG");
  restruct_ctx ctx{};
  EXPECT_EQ(compare("LONG", &ctx), RS_SAME);
  ARB* a = ctx.arb[RC_OLD_INIT];
  ASSERT_NE(a, nullptr);
  std::vector<uint8_t> rec(kInitRecMax);
  PROTO_FULL(a, 0, rec.data());
  a->arb_len = kInitRecMax, a->arb_mod = ARB_FIRST;
  ASSERT_EQ(fm_start(a), 1);
  std::string got;
  for (;;) {
    a->arb_rec = rec.data(), a->arb_len = kInitRecMax, a->arb_var_len = 0, a->arb_mod = 0;
    if (!fm_rdnxt(a)) break;
    got += std::to_string(rec[INIT_KIND]) + "." + std::to_string(ld_le32(rec.data(), INIT_CHUNK)) + ":" +
           std::to_string(a->arb_var_len) + " ";
  }
  EXPECT_EQ(got, "1.1:1013 1.2:1013 1.3:513 2.1:1013 2.2:1013 2.3:513 ");
  db_close_files(&ctx);
}

// A changed layout converts every record: widened alpha and packed fields,
// a new field at its initial value, 3 occurrences into 5; the new file is
// read through its key. SYSDIR is as before the run.
TEST_F(Restructure, AChangedLayoutConvertsEveryRecord) {
  const int n = 1000;
  old_file(n);
  dictionary(R"(APPLICATION APP 01
FILE DATA
  ID      A10   key=primary
  AMT     P9.2S
  CNT     B5S
  WHEN    D7:8-1
  LIST    A4    occurs=5 init="NEW"
  EXTRA   A6    init="EXTRA"
END
)",
             2);
  const std::vector<uint8_t> sysdir = sysdir_all();
  ASSERT_EQ(sysdir.size(), kSysdirLen);
  EXPECT_EQ(db_restruct(nullptr, path(), m1_, m2_), RS_CONVERTED) << findings();
  for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
  EXPECT_EQ(sysdir_all(), sysdir);
  auto fl = fields();
  uint16_t len = 0;
  const auto recs = all_records(&len);
  ASSERT_EQ(recs.size(), size_t(n));
  int wrong = 0;
  for (int i = 0; i < n; ++i) {
    const uint8_t* r = recs[i].data();
    char id[16];
    snprintf(id, sizeof id, "R%07d  ", i);
    std::string list;
    for (int o = 0; o < 3; ++o) list += "L" + std::to_string(o) + (i % 100 < 10 ? "0" : "") + std::to_string(i % 100);
    list += "NEW NEW ";
    const bool ok = std::string(reinterpret_cast<const char*>(r + fl["ID"].first), 10) == id &&
                    pd_cvb(r + fl["AMT"].first, fl["AMT"].second) == i * 37 - 5000 &&
                    static_cast<int32_t>(ld_le32(r, fl["CNT"].first)) == -i &&
                    std::string(reinterpret_cast<const char*>(r + fl["LIST"].first), 20) == list &&
                    std::string(reinterpret_cast<const char*>(r + fl["EXTRA"].first), 6) == "EXTRA ";
    if (!ok && ++wrong < 4) ADD_FAILURE() << "record " << i;
  }
  EXPECT_EQ(wrong, 0);
  // Nothing of the run's new files is left beside the old.
  for (auto& [name, bytes] : data_files()) EXPECT_NE(name.find("/DB1/APP/"), std::string::npos) << name;
}

// A field renamed in the dictionary is found by its two binaries and
// moved from its old name; a value too big for its narrowed field leaves
// the field at its initial value and the record is still written.
TEST_F(Restructure, RenamedFieldsMoveAndOverflowsTakeTheInitialValue) {
  const int n = 500;
  old_file(n);
  uint8_t binaries[8];
  {
    DesignBuilder b("APP", "01", com.sys_scope);
    uint8_t e[kElementSize] = {};
    memcpy(e + ELEM_NAME, "CNT                   ", 22);
    ASSERT_EQ(dd_read(b.handle(DF_ELEMENT), 0, e, kElementSize, false), 1);
    memcpy(binaries, e + ELEM_BINARIES, 8);
    b.close_all();
  }
  std::string src = with("CNT     B5S", "COUNT   B5S");
  // Two bytes of packed decimal hold -9.99 to 9.99: records 109 to 162 fit.
  src.replace(src.find("AMT     P7.2S"), 13, "AMT     P1.2S init=\"1.25\"");
  dictionary(src, 2);
  {
    DesignBuilder b("APP", "01", com.sys_scope);
    ARB* a = b.handle(DF_ELEMENT);
    uint8_t e[kElementSize] = {};
    memcpy(e + ELEM_NAME, "COUNT                 ", 22);
    ASSERT_EQ(dd_read(a, 0, e, kElementSize, true), 1);
    memcpy(e + ELEM_BINARIES, binaries, 8);
    ASSERT_EQ(dd_rewrite(a, e, kElementSize), 1);
    b.close_all();
  }
  EXPECT_EQ(db_restruct(nullptr, path(), m1_, m2_), RS_CONVERTED) << findings();
  for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
  auto fl = fields();
  uint16_t len = 0;
  const auto recs = all_records(&len);
  ASSERT_EQ(recs.size(), size_t(n));
  int wrong = 0;
  for (int i = 0; i < n; ++i) {
    const uint8_t* r = recs[i].data();
    const int amt = i * 37 - 5000, want = amt > 999 || amt < -999 ? 125 : amt;
    const bool ok = pd_cvb(r + fl["AMT"].first, fl["AMT"].second) == want &&
                    static_cast<int32_t>(ld_le32(r, fl["COUNT"].first)) == -i;
    if (!ok && ++wrong < 4)
      ADD_FAILURE() << "record " << i << " " << pd_cvb(r + fl["AMT"].first, fl["AMT"].second) << " "
                    << static_cast<int32_t>(ld_le32(r, fl["COUNT"].first));
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(pd_cvb(recs[n - 1].data() + fl["AMT"].first, fl["AMT"].second), 125);
}

// An unchanged file (same structure date) and a compatible change keep
// every byte of the data; the structure file is written anew and the file
// opens by it. Forced, an unchanged file converts to identical records.
TEST_F(Restructure, UnchangedAndCompatibleFilesKeepTheirData) {
  // structure date of the new dictionary, forced, result
  const std::tuple<uint32_t, bool, uint32_t> rows[] = {
      {1, false, RS_SAME}, {2, false, RS_COMPATIBLE}, {1, true, RS_CONVERTED}};
  for (auto [date, forced, result] : rows) {
    SCOPED_TRACE(result);
    old_file(50);
    uint16_t len = 0;
    const auto before = all_records(&len);
    const auto files = data_files();
    dictionary(kOld, date);
    if (forced) setenv("KIVO_VFY_RESTRUCT", "1", 1);
    EXPECT_EQ(db_restruct(nullptr, path(), m1_, m2_), result) << findings();
    unsetenv("KIVO_VFY_RESTRUCT");
    for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
    EXPECT_EQ(all_records(&len), before);
    if (!forced) {
      for (auto& [name, bytes] : data_files()) {
        if (name.find("Struct") != std::string::npos) continue;
        EXPECT_EQ(bytes, files.at(name)) << name;
      }
    }
    scratch();
  }
}

// A run that fails keeps the old data file and its structure as they were,
// scratches the new ones and puts SYSDIR back: a write refused by the new
// file (two records whose new key would be the same), a cancel and a fatal
// end of the generated process.
TEST_F(Restructure, AFailedRunKeepsTheOldFile) {
  // new source, what the trap does, status
  const std::tuple<std::string, uint32_t, uint32_t> rows[] = {
      {with("ID      A8    key=primary", "ID      A6    key=primary"), 0, RS_WRITE},
      {with("AMT     P7.2S", "AMT     P9.2S"), PI_END_CANCEL, RS_CANCELLED},
      {with("AMT     P7.2S", "AMT     P9.2S"), PI_END_FATAL, RS_FAILED},
  };
  for (auto& [src, end, status] : rows) {
    SCOPED_TRACE(status);
    old_file(20);
    const auto files = data_files();
    const std::vector<uint8_t> sysdir = sysdir_all();
    ASSERT_EQ(sysdir.size(), kSysdirLen);
    dictionary(src, 2);
    static uint32_t leave;
    leave = end;
    if (end) setenv("KIVO_TRAP_RESTRUCT", "1", 1);
    com.no_db_traps = 0;
    ii_dbg_hooks.inst_trap = [](II_RUN*, uint8_t*) {
      if (leave) mark_leave(leave);
    };
    EXPECT_EQ(db_restruct(nullptr, path(), m1_, m2_), status) << findings();
    unsetenv("KIVO_TRAP_RESTRUCT");
    com.no_db_traps = 1;
    ii_dbg_hooks = {};
    captured_errors().clear();
    EXPECT_EQ(data_files(), files);
    EXPECT_EQ(sysdir_all(), sysdir);
    dictionary(kOld, 1);
    scratch();
  }
}

// The 0SA loop twice in one run: the second starts from empty message
// files instead of failing on the first one's.
TEST_F(Restructure, TheSystemLoopRunsTwiceInOneSession) {
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(db_restruct_0sa(), 1);
    for (auto& e : std::exchange(captured_errors(), {}))
      EXPECT_EQ(e.find("Bad message create"), std::string::npos) << e;
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_MSG1_FDB(&f, k, s, "0AD", "00");
    ASSERT_EQ(FM_OPEN(&f, com.sys_scope, 0, 15, 15), 1);
    uint8_t r[kMsg1Size] = {};
    PROTO_FULL(f.fdb_arb, 0, r);
    f.fdb_arb->arb_len = kMsg1Size, f.fdb_arb->arb_mod = ARB_FIRST;
    int files = 0;
    if (fm_start(f.fdb_arb))
      while ((f.fdb_arb->arb_mod = 0, fm_rdnxt(f.fdb_arb))) {
        ++files;
        EXPECT_EQ(ld_le32(r, M1_COUNT), 1u) << std::string(reinterpret_cast<char*>(r), 13);
      }
    FM_CLOSE(f.fdb_arb, 0);
    EXPECT_EQ(files, 18);
  }
}

}  // namespace
}  // namespace kivo::test

namespace kivo::test {
namespace {

// The design routines called by name as a CALL statement reaches them:
// "DB_RESTRUCT" converts a changed file and files its verdict, "DB_VFY" checks it, "MU_INIT" and
// "MU_XLATE" carry it out to its portable form; each files under the file
// in the caller's MESSAGE1 and MESSAGE2, and a call with another argument
// count is refused.
TEST_F(Restructure, DesignRoutinesByNameReportThroughTheMessageFiles) {
  old_file(30);
  dictionary(with("AMT     P7.2S", "AMT     P9.2S"), 2);
  dd_init();
  size_t count = 0;
  const rt_fn_row* rows = int_fns_tbl(&count);
  auto row_of = [&](const char* name) {
    uint32_t r = 0;
    while (r < count && strcmp(rows[r].name, name) != 0) ++r;
    return r;
  };
  uint8_t req[64] = {};
  fdb_path_store(path(), req);
  auto call_it = [&](const char* name, size_t len, int argc = 3) {
    RT_CALL call{};
    call.argc = argc;
    call.args[0] = {1, 1, static_cast<uint16_t>(len), req};
    call.args[1] = {2, 0, 0, reinterpret_cast<uint8_t*>(m1_)};
    call.args[2] = {2, 0, 0, reinterpret_cast<uint8_t*>(m2_)};
    std::string err;
    const uint32_t r = row_of(name);
    EXPECT_LT(r, count) << name;
    return rt_call_row(r, call, &err);
  };
  auto summary = [&] {
    uint8_t r[kMsg1Size] = {};
    memcpy(r, "APP01DATA    ", 13);
    return dd_read(m1_, 0, r, kMsg1Size, false)
               ? std::to_string(ld_le32(r, M1_COUNT)) + "/" + std::to_string(ld_le32(r, M1_CLASS))
               : std::string("none");
  };
  EXPECT_EQ(call_it("DB_RESTRUCT", 28, 2), -1);
  // The verdict, no failure, is filed for the caller to read (104260; this
  // installation has no message texts, so its number stands in the text).
  EXPECT_EQ(call_it("DB_RESTRUCT", 28), 1);
  EXPECT_EQ(summary().substr(0, 2), "1/") << findings();
  EXPECT_NE(findings().find("104260"), std::string::npos) << findings();
  uint16_t len = 0;
  EXPECT_EQ(all_records(&len).size(), 30u);
  EXPECT_EQ(len, fields()["LIST"].first + 12);

  req[28] = '0', req[29] = '1';
  EXPECT_EQ(call_it("DB_VFY", 30), 1);
  EXPECT_EQ(summary(), "0/0") << findings();
  EXPECT_EQ(call_it("DB_VFY", 28), 0);  // the flags are missing

  EXPECT_EQ(call_it("MU_INIT", 1), 1);
  uint8_t xl[kMuReqSize] = {};
  memcpy(xl, req, kMuPathSize);
  xl[MU_DIR] = 0, xl[MU_MODE] = MU_ADD_STOP, xl[MU_STRUCT] = '1';
  memcpy(req, xl, kMuReqSize);
  EXPECT_EQ(call_it("MU_XLATE", kMuReqSize), 1);
  EXPECT_EQ(summary(), "0/0") << findings();
  for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
}

}  // namespace
}  // namespace kivo::test

namespace kivo::test {
namespace {

// The file routines: create from the dictionary (with its structure, or
// the structure alone with flag '0'), the path, the scratch; a file the
// dictionary does not describe is filed as a message under the file.
TEST_F(Restructure, FileRoutinesCreateScratchAndPlaceFromTheDictionary) {
  dictionary(kOld, 1);
  ASSERT_EQ(rt_create(nullptr, path(), m1_, m2_, '1'), 1) << findings();
  auto exists = [&](const char* rel) { return std::filesystem::exists(data_ + rel); };
  EXPECT_TRUE(exists("/DB1/APP/Data/DATA.dat"));
  EXPECT_TRUE(exists("/DB1/APP/Struct/DATA.dat"));
  const std::string where = rt_get_path(nullptr, path(), m1_, m2_);
  EXPECT_EQ(where, data_ + "/DB1/APP/Data/DATA");  // the back-end adds its extensions

  // The structure alone, recorded again after it was lost; the data stays.
  std::filesystem::remove(data_ + "/DB1/APP/Struct/DATA.dat");
  ASSERT_EQ(rt_create(nullptr, path(), m1_, m2_, '0'), 1) << findings();
  EXPECT_TRUE(exists("/DB1/APP/Struct/DATA.dat"));
  uint16_t len = 0;
  ARB* a = open_data(&len);
  ASSERT_NE(a, nullptr);
  FM_CLOSE(a, 0);

  ASSERT_EQ(rt_scratch(nullptr, path(), m1_, m2_), 1) << findings();
  EXPECT_FALSE(exists("/DB1/APP/Data/DATA.dat"));
  EXPECT_FALSE(exists("/DB1/APP/Struct/DATA.dat"));

  EXPECT_EQ(rt_create(nullptr, path("NONE"), m1_, m2_, '1'), 0);
  uint8_t r[kMsg1Size] = {};
  memcpy(r, "APP01NONE    ", 13);
  ASSERT_EQ(dd_read(m1_, 0, r, kMsg1Size, false), 1);
  EXPECT_EQ(ld_le32(r, M1_COUNT), 1u);
  captured_errors().clear();
}

}  // namespace
}  // namespace kivo::test
