// Raw record files into native files: the byte-order conversions against
// golden bytes, the copy over hand-made raw files (dead records, endings,
// duplicates, bad lengths, images), and the distribution writer against
// the import over random records of every data type and statements of
// every verb.
#include <map>
#include <random>

#include "bs_test_util.h"
#include "compiler/stmt_layout.h"
#include "design/bs_dist.h"
#include "foundation/com.h"

namespace kivo::test {
namespace {

using bytes = std::vector<uint8_t>;

class RawImport : public DesignFiles {
 protected:
  // Saves `raw` as the file's raw file and imports it; the standard output.
  std::string import(keyed_file& f, const raw_bytes& raw, const std::vector<bs_field>& flds = {}) {
    raw.save(os_path(data_, f.raw()));
    return import_saved(f, flds);
  }
  std::string import_saved(keyed_file& f, const std::vector<bs_field>& flds) {
    FDB_PATH rp = f.raw();
    testing::internal::CaptureStdout();
    result_ = raw_to_native(&rp, &f.fdb, flds.data(), static_cast<int>(flds.size()));
    return testing::internal::GetCapturedStdout();
  }
  int result_ = -1;
};

uint8_t neg() { return pd_neg_sign(); }
uint8_t pos() { return pd_pos_sign(); }

TEST_F(RawImport, FieldsTakeTheEnginesByteOrderAndSigns) {
  struct row {
    bs_field f;
    bytes in, want;
  };
  const row rows[] = {
      {{5, 0, 2, 1}, {1, 2}, {2, 1}},
      {{5, 0, 4, 1}, {1, 2, 3, 4}, {4, 3, 2, 1}},
      {{5, 0, 1, 1}, {7}, {7}},
      {{5, 0, 2, 3}, {1, 2, 3, 4, 5, 6}, {2, 1, 4, 3, 6, 5}},
      {{6, 0, 8, 1}, {1, 2, 3, 4, 5, 6, 7, 8}, {4, 3, 2, 1, 8, 7, 6, 5}},
      {{7, 0, 4, 1}, {1, 2, 3, 4}, {4, 3, 2, 1}},
      {{6, 0, 6, 1}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
      {{8, 0, 2, 1}, {0x12, 0x1D}, {0x12, static_cast<uint8_t>(0x10 | neg())}},
      {{9, 0, 1, 1}, {0x1F}, {static_cast<uint8_t>(0x10 | pos())}},
      {{10, 0, 1, 1}, {0x1C}, {static_cast<uint8_t>(0x10 | pos())}},
      {{12, 0, 3, 1}, {0x01, 0x2D, 0x02}, {0x01, static_cast<uint8_t>(0x20 | neg()), 0x02}},
      {{1, 0, 2, 1}, {1, 2}, {1, 2}},
      {{5, 1, 2, 0}, {1, 2, 3}, {1, 2, 3}},  // no occurrence: nothing
      {{5, 1, 2, 1}, {9, 1, 2}, {9, 2, 1}},
  };
  for (const row& r : rows) {
    bytes b = r.in;
    EXPECT_EQ(adjust_rec(b.data(), b.size(), &r.f, 1), 0);
    EXPECT_EQ(b, r.want) << "type " << r.f.type << " size " << r.f.size;
  }
  // An entry reaching past the record is left alone, and counted.
  bytes b = {1, 2, 3, 4, 5};
  const bs_field past[] = {{5, 4, 2, 1}, {5, 0, 2, 3}, {5, 0, 2, 1}};
  EXPECT_EQ(adjust_rec(b.data(), 4, past, 3), 2);
  EXPECT_EQ(b, (bytes{2, 1, 3, 4, 5}));
}

TEST_F(RawImport, OccurrenceOperandsByKindAndVerb) {
  const bytes in[] = {{0, 3, 0, 0}, {'A', 'I', 0, 1}, {' ', ' ', 0, 2}},
              want[] = {{3, 0, 0, 0}, {'A', 'I', 1, 0}, {' ', ' ', 2, 0}};
  for (int i = 0; i < 3; ++i) {
    bytes b = in[i];
    adjust_occ(b.data());
    EXPECT_EQ(b, want[i]);
  }
  // Every verb's operands, the six verbs the old table left out included.
  std::map<int, std::vector<uint16_t>> want_offs;
  for (int v : {3,  4,  5,  9,  10, 11, 16, 17, 18, 19, 20, 23, 24, 25, 27, 28, 38, 41,
                46, 48, 49, 50, 52, 56, 66, 69, 71, 72, 74, 78, 81, 82, 92, 93, 94, 95})
    want_offs[v] = {0, 30};
  want_offs[77] = {30};
  want_offs[6] = want_offs[30] = {12};
  want_offs[7] = {0, 4, 8, 12};
  for (int v : {12, 13, 31, 55, 61, 62, 63, 65, 70, 75, 96, 97}) want_offs[v] = {0};
  want_offs[57] = {0, 30, 34, 38};
  want_offs[73] = {0, 4, 12, 16};
  want_offs[98] = want_offs[100] = {28};
  for (int v = 0; v < kVerbCount; ++v) {
    std::vector<uint16_t> got = stmt_occ_offsets(v);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want_offs[v]) << "verb " << v;
  }
}

bytes rec(int id, size_t len, uint8_t fill = 'x') {
  bytes r(len, fill);
  char k[16];
  snprintf(k, sizeof k, "K%07d", id % 10000000);
  memcpy(r.data(), k, 8);
  return r;
}

TEST_F(RawImport, DeadRecordsAreSkippedAndCountedAndATrailerEndsTheFile) {
  keyed_file f("LIVE", 20, 1);
  raw_bytes raw;
  for (int i = 1; i <= 250; ++i) raw.rec(rec(i, 12 + i % 8), i % 3 == 0 ? (i % 2 ? 1 : 2) : 0);
  const std::string out = import(f, raw);
  EXPECT_EQ(result_, 1);
  EXPECT_EQ(out, os_path(data_, f.raw()) + "..\n");  // 250 counted: two dots
  auto got = read_all(f.fdb);
  ASSERT_EQ(got.size(), 250u - 83u);
  EXPECT_EQ(got[1], rec(2, 14));
}

TEST_F(RawImport, DuplicateKeysAreReportedAndDroppedAndLengthsOfBothForms) {
  for (bool short_len : {true, false}) {
    keyed_file f(short_len ? "DUPS" : "DUPL", 20, 0);
    raw_bytes raw(short_len);
    raw.rec(rec(1, 20, 'a')).rec(rec(2, 20)).rec(rec(1, 20, 'b'));
    const std::string out = import(f, raw);
    EXPECT_EQ(out, os_path(data_, f.raw()) + "Already on file at record 3 in " + os_path(data_, f.raw()) + "\n\n");
    auto got = read_all(f.fdb);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], rec(1, 20, 'a'));
  }
}

TEST_F(RawImport, BadLengthsAndFieldsPastTheRecordAreReported) {
  struct row {
    const char* name;
    std::vector<int> lens;  // record lengths in the raw file, 20 the file's
    size_t kept;
    const char* error;
    int result;
  };
  const row rows[] = {
      {"SHORT", {20, 12, 20}, 2, "copy_recs() - bad rec len", 1},  // skipped, the copy goes on
      {"LONG", {20, 24, 20}, 1, "copy_recs() - rec to long", 0},
  };
  for (const row& r : rows) {
    keyed_file f(r.name, 20, 0);
    raw_bytes raw;
    int id = 0;
    for (int n : r.lens) raw.rec(rec(++id, static_cast<size_t>(n)));
    captured_errors().clear();
    import(f, raw);
    EXPECT_EQ(result_, r.result) << r.name;
    EXPECT_EQ(read_all(f.fdb).size(), r.kept) << r.name;
    EXPECT_TRUE(reported(r.error)) << r.name;
  }
  // A field table entry past the record: reported once, the rest converted.
  keyed_file f("PAST", 20, 0);
  raw_bytes raw;
  bytes r1 = rec(1, 20), r2 = rec(2, 20);
  r1[10] = r2[10] = 1, r1[11] = r2[11] = 2;
  raw.rec(r1).rec(r2);
  captured_errors().clear();
  import(f, raw, {{5, 18, 4, 1}, { 5, 10, 2, 1 }});
  EXPECT_EQ(captured_errors().size(), 1u);
  auto got = read_all(f.fdb);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1][10], 2);
  EXPECT_EQ(got[1][18], 'x');
  captured_errors().clear();
}

TEST_F(RawImport, AnOrganisationOneFileIsItsImage) {
  struct row {
    const char* name;
    uint8_t var;
    size_t given;
    size_t kept;  // 0: no record
  };
  const row rows[] = {{"IMGFULL", 0, 30, 30}, {"IMGSHRT", 0, 12, 0}, {"IMGVAR", 1, 12, 12}, {"IMGNONE", 1, 0, 0}};
  for (const row& r : rows) {
    keyed_file f(r.name, 30, r.var, 0, ORG_RELATIVE);
    raw_bytes raw;
    raw.b.assign(r.given, 'i');
    if (r.given) st_be16(raw.b.data(), 2, 0x0102);
    import(f, raw, {{ 5, 2, 2, 1 }});
    auto got = read_all(f.fdb);
    ASSERT_EQ(got.size(), r.kept ? 1u : 0u) << r.name;
    if (!r.kept) continue;
    EXPECT_EQ(got[0].size(), r.kept);
    EXPECT_EQ(ld_le16(got[0].data(), 2), 0x0102) << r.name;
  }
  // Once more: the record is on file already, and stays the one.
  keyed_file f("IMGFULL", 30, 0, 0, ORG_RELATIVE);
  raw_bytes raw;
  raw.b.assign(30, 'j');
  EXPECT_NE(import(f, raw).find("Already on file at record 1"), std::string::npos);
  EXPECT_EQ(read_all(f.fdb).size(), 1u);
}

// ---- the writer against the import ----

// A field table over every data type, with records of random bytes whose
// packed fields carry the engine's signs.
struct random_file {
  std::vector<bs_field> flds;
  uint16_t len = 8;
  random_file() {
    const std::pair<uint16_t, uint16_t> types[] = {{1, 5},  {2, 3},  {3, 6},  {4, 8},  {5, 1},  {5, 2}, {5, 4},
                                                   {6, 4},  {6, 8},  {7, 4},  {7, 8},  {8, 1},  {8, 5}, {9, 4},
                                                   {10, 6}, {11, 1}, {12, 9}, {13, 4}, {14, 3}, {15, 6}};
    for (auto [t, s] : types) {
      const uint16_t occ = t % 3 ? 1 : 2;
      flds.push_back({t, len, s, occ});
      len = static_cast<uint16_t>(len + s * occ);
    }
  }
  bytes make(int id, std::mt19937& g) const {
    bytes r = rec(id, len);
    for (size_t i = 8; i < r.size(); ++i) r[i] = static_cast<uint8_t>(g());
    for (const bs_field& f : flds)
      for (int k = 0; k < f.occurs; ++k) {
        const int at = f.type == 12 ? f.size - 2 : f.size - 1;
        if (f.type >= 8 && f.type <= 12 && f.type != 11)
          r[f.pos + k * f.size + at] =
              static_cast<uint8_t>((r[f.pos + k * f.size + at] & 0xF0) | (g() % 2 ? neg() : pos()));
      }
    return r;
  }
};

TEST_F(RawImport, WriterThenImportGivesEveryRecordBackByteForByte) {
  random_file rf;
  std::mt19937 g(57);
  std::vector<bytes> recs;
  for (int i = 1; i <= 300; ++i) recs.push_back(rf.make(i, g));
  keyed_file src("RSRC", rf.len, 0), dst("RDST", rf.len, 0);
  ASSERT_EQ(write_all(src.fdb, recs), 1);
  ASSERT_TRUE(FM_OPEN(&src.fdb, com.sys_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0x0f));
  std::string err;
  EXPECT_EQ(native_to_raw(&src.fdb, os_path(data_, dst.raw()), rf.flds.data(), static_cast<int>(rf.flds.size()), &err),
            300)
      << err;
  FM_CLOSE(src.fdb.fdb_arb, ARB_CLOSE_NOW);
  // The raw form itself: the 4-byte binary most significant byte first, the
  // packed sign as 0xD or 0xC.
  const bytes raw = slurp(os_path(data_, dst.raw()));
  const uint8_t* r1 = raw.data() + kRawFileHdr + kRawRecHdr;
  ASSERT_GT(raw.size(), kRawFileHdr + kRawRecHdr + rf.len);
  EXPECT_EQ(ld_be16(raw.data(), RAW_FLAGS), kRawShortAllowed | 1);
  EXPECT_EQ(ld_be32(r1, rf.flds[6].pos), ld_le32(recs[0].data(), rf.flds[6].pos));
  const uint8_t raw_sign = r1[rf.flds[12].pos + 4] & 0x0F, native_sign = recs[0][rf.flds[12].pos + 4] & 0x0F;
  EXPECT_EQ(raw_sign, native_sign == neg() ? 0x0D : 0x0C);
  import_saved(dst, rf.flds);
  EXPECT_EQ(result_, 1);
  EXPECT_EQ(read_all(dst.fdb), recs);
}

TEST_F(RawImport, StatementsOfEveryVerbGoOutAndBackWithTheirOccurrences) {
  const std::vector<bs_field> flds = {{5, 32, 4, 1}, {5, 40, 4, 1}, {5, 48, 4, 1}, {5, 84, 2, 1}};
  std::mt19937 g(105);
  std::vector<bytes> recs;
  for (int v = 0; v < kVerbCount; ++v) {
    bytes r(kStmtSize);
    for (auto& b : r) b = static_cast<uint8_t>(g());
    r[0] = 4, memset(r.data() + 1, ' ', 30), memcpy(r.data() + 1, "P", 1);
    memset(r.data() + 31, 0, 17);
    st_le32(r.data(), STMT_SEQ, static_cast<uint32_t>(v + 1));
    st_le16(r.data(), STMT_VERB, static_cast<uint16_t>(v));
    for (uint16_t off : stmt_occ_offsets(v)) {
      uint8_t* o = r.data() + STMT_OPND + off;
      const uint16_t kind = static_cast<uint16_t>(g() % 3);
      st_le16(o, 2, kind);
      if (kind == OCC_NUMBER) st_le16(o, 0, static_cast<uint16_t>(v * 7 + off));
      if (kind == OCC_INDEX) o[0] = 'A', o[1] = static_cast<uint8_t>('A' + v % 26);
      if (kind == OCC_NONE) o[0] = o[1] = ' ';
    }
    recs.push_back(r);
  }
  keyed_file src("x", kStmtSize, 0), dst("x", kStmtSize, 0);
  INIT_DSTMT_FDB(&src.fdb, src.kdb, src.sdb, "TST", "01");
  INIT_DSTMT_FDB(&dst.fdb, dst.kdb, dst.sdb, "TST", "02");
  ASSERT_EQ(write_all(src.fdb, recs), 1);
  ASSERT_TRUE(FM_OPEN(&src.fdb, com.sys_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0x0f));
  std::string err;
  ASSERT_EQ(native_to_raw(&src.fdb, os_path(data_, dst.raw()), flds.data(), 4, &err), kVerbCount) << err;
  FM_CLOSE(src.fdb.fdb_arb, ARB_CLOSE_NOW);
  // In the raw form every occurrence's kind, and a literal's value, is
  // stored most significant byte first.
  const bytes raw = slurp(os_path(data_, dst.raw()));
  for (int v = 0; v < kVerbCount; ++v) {
    const uint8_t* r =
        raw.data() + kRawFileHdr + static_cast<size_t>(v) * (kRawRecHdr + kStmtSize + kRawTrailer) + kRawRecHdr;
    ASSERT_EQ(ld_be16(r, STMT_VERB), v);
    for (uint16_t off : stmt_occ_offsets(v)) {
      const uint8_t* o = recs[static_cast<size_t>(v)].data() + STMT_OPND + off;
      EXPECT_EQ(ld_be16(r + STMT_OPND + off, 2), ld_le16(o, 2)) << "verb " << v << " at " << off;
      if (ld_le16(o, 2) == OCC_NUMBER) {
        EXPECT_EQ(ld_be16(r + STMT_OPND + off, 0), ld_le16(o, 0)) << "verb " << v;
      }
    }
  }
  import_saved(dst, flds);
  EXPECT_EQ(result_, 1);
  EXPECT_EQ(read_all(dst.fdb), recs);
}

}  // namespace
}  // namespace kivo::test
