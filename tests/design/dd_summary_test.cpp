// The dictionary summary: the writer's blocks against a golden file, every
// block read back against the FILE record and the INITIAL records it came
// from, and the reader's refusals of malformed and out-of-range lines.
#include <sys/wait.h>
#include <utility>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../fixtures/hook_override.h"
#include "design/bs_summary.h"
#include "design/dd.h"
#include "design_test_util.h"
#include "foundation/bytes.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"
#include "types/element.h"

namespace kivo::test {
namespace {

std::vector<std::string> g_errors;
void capture(const char*, int, const char* text) { g_errors.emplace_back(text); }

// The fixture application written by the builder from FILE blocks.
const char* const kBuilderFixture = "tests/design/dd_fixture_builder.dsgn";

class DictSummary : public DesignFiles {
 protected:
  void SetUp() override {
    DesignFiles::SetUp();
    setenv("DD_SUMMARY_FILE", "1", 1);
    g_errors.clear();
    hooks_.set(foundation_seams.err_presenter, capture);
  }
  void TearDown() override {
    unsetenv("DD_SUMMARY_FILE");
    DesignFiles::TearDown();
  }
  // The summary of every file of `ap` `ver` that the builder wrote, in the
  // order given; its text.
  std::string summarise(const char* ap, const char* ver, const std::vector<std::string>& files) {
    DesignBuilder b(ap, ver, kScope);
    dd_ctx c{};
    memcpy(c.ap, ap, 3);
    memcpy(c.ver, ver, 2);
    c.arb[DD_ELEM] = b.handle(DF_ELEMENT);
    for (const std::string& name : files) {
      std::vector<uint8_t> fi = file_rec(ap, ver, name);
      EXPECT_FALSE(fi.empty()) << name;
      if (!fi.empty()) {
        EXPECT_EQ(bld_sum_fi(&c, fi.data()), 1) << name;
      }
    }
    b.close_all();
    return slurp(dd_summary_path(ap, ver));
  }
  static std::vector<uint8_t> file_rec(const char* ap, const char* ver, const std::string& name) {
    for (auto& f : records(DF_FILE, ver, ap))
      if (std::string(reinterpret_cast<char*>(f.data()), name.size()) == name && f[name.size()] == ' ') return f;
    return {};
  }
  // The image of `kind` of file `name` as its INITIAL records hold it.
  static std::vector<uint8_t> image(const char* ap, const char* ver, const std::string& name, uint8_t kind) {
    std::vector<uint8_t> out;
    for (auto& r : records(DF_INITIAL, ver, ap))
      if (std::string(reinterpret_cast<char*>(r.data()), name.size()) == name && r[INIT_KIND] == kind)
        out.insert(out.end(), r.begin() + INIT_DATA, r.end());
    return out;
  }
  static std::string slurp(const std::string& path) { return kivo_test::slurp(path); }
  std::string write_summary(const std::string& text) {
    const std::string p = data_ + "/summary.txt";
    std::ofstream(p) << text;
    return p;
  }
  // Every block of the summary at `path`; `ok` whether it read to its end.
  static std::vector<bs_file> read_all(const std::string& path, bool* ok) {
    std::vector<bs_file> out;
    bs_summary r;
    *ok = r.open(path);
    bs_file f;
    while (*ok && r.next(&f)) out.push_back(f);
    if (r.failed()) *ok = false;
    return out;
  }
};

TEST_F(DictSummary, FixtureApplicationMatchesGolden) {
  build(read_text(kBuilderFixture), "SUM");
  const std::string text = summarise("SUM", "01", {"ALPHA", "DATED", "HIST"});
  EXPECT_EQ(text, read_text("tests/design/dd_summary_golden.txt"));
  EXPECT_TRUE(g_errors.empty());
}

// kivo_design -c with DD_SUMMARY_FILE set compiles the fixture dictionary
// (groups, a substring, a synonym and a field without storage among its
// fields) and appends one block per file: the same text as the builder's
// files give. Run again without it, every file is up to date: nothing is
// compiled and nothing appended.
TEST_F(DictSummary, KivoDesignAppendsOneBlockPerCompiledFile) {
  const std::string kivo = KIVO_BINARY, dir = data_ + "/inst";
  std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/shipped_data", dir,
                        std::filesystem::copy_options::recursive);
  const std::string src = std::string(KIVO_SOURCE_DIR) + "/tests/design/dd_fixture.dsgn";
  auto run_tool = [&](bool summary, int* status) {
    const std::string cmd = std::string(summary ? "DD_SUMMARY_FILE=1 " : "env -u DD_SUMMARY_FILE ") + KIVO_DESIGN +
                            " -c -d " + dir + " " + src + " </dev/null 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    *status = p ? pclose(p) : -1;
    return out;
  };
  const std::string path = dir + dd_summary_path("FIX", "01").substr(data_.size());
  int status = 0;
  std::string out = run_tool(true, &status);
  EXPECT_TRUE(WIFEXITED(status)) << status;
  for (const char* line : {"ALPHA    (file)\n", "DATED    (file)\n", "HIST     (file)\n",
                           "\t\tALPHA PART             (syn. or substring)\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  const std::string text = slurp(path);
  EXPECT_EQ(text, read_text("tests/design/dd_summary_golden.txt"));
  out = run_tool(false, &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(out, "");
  EXPECT_EQ(slurp(path), text);
}

// Each block gives back the FILE record's numbers, exactly the segments its
// keys announce (the FILE record's counts) and the INITIAL images.
TEST_F(DictSummary, EveryBlockReadsBackAsStored) {
  build(read_text(kBuilderFixture), "SUM");
  const std::vector<std::string> names = {"ALPHA", "DATED", "HIST"};
  summarise("SUM", "01", names);
  bool ok = false;
  std::vector<bs_file> blocks = read_all(dd_summary_path("SUM", "01"), &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(blocks.size(), 3u);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const bs_file& b = blocks[i];
    std::vector<uint8_t> fi = file_rec("SUM", "01", names[i]);
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(std::string(b.name, 8).substr(0, names[i].size()), names[i]);
    EXPECT_EQ(b.fs_type, fi[FI_FS_TYPE]);
    EXPECT_EQ(b.org, fi[FI_ORG]);
    EXPECT_EQ(b.rec_len, ld_le16(fi.data(), FI_REC_LEN));
    EXPECT_EQ(b.nkeys, fi[FI_NKEYS]);
    for (int k = 0; k < b.nkeys; ++k) {
      EXPECT_EQ(b.keys[k].nsegs, fi[FI_KEY_SEGS + k]) << k;
      int len = 0;
      for (auto& s : b.keys[k].segs) len += s.len;
      EXPECT_EQ(len, ld_le16(fi.data(), FI_KEY_LEN + 2 * k)) << k;
    }
    EXPECT_EQ(b.fld_tab.size(), kBsFldEntry * static_cast<size_t>(b.nfields));
    EXPECT_EQ(b.init, image("SUM", "01", names[i], INIT_VALUES));
    EXPECT_EQ(b.nulls, image("SUM", "01", names[i], INIT_NULLS));
  }
  // The 8-byte date inside the group: occurrence o at 4 + 8o and 8 + 8o,
  // numbered 2 + 2o and 3 + 2o after the id's segment 1.
  const bs_key& hk = blocks[2].keys[0];
  ASSERT_EQ(hk.segs.size(), 5u);
  const int16_t want[5][3] = {{1, 0, 4}, {2, 4, 4}, {3, 8, 4}, {4, 12, 4}, {5, 16, 4}};
  for (int s = 0; s < 5; ++s) {
    EXPECT_EQ(hk.segs[s].segno, want[s][0]) << s;
    EXPECT_EQ(hk.segs[s].offset, want[s][1]) << s;
    EXPECT_EQ(hk.segs[s].len, want[s][2]) << s;
  }
  // The field table: type, position, size, occurrences of ALPHA CODE.
  const uint8_t* f0 = blocks[0].fld_tab.data();
  EXPECT_EQ(ld_le16(f0, BS_FLD_TYPE), 1);
  EXPECT_EQ(ld_le16(f0, BS_FLD_POS), 0);
  EXPECT_EQ(ld_le16(f0, BS_FLD_SIZE), 10);
  EXPECT_EQ(ld_le16(f0, BS_FLD_OCCURS), 2);
}

// 0LA's QPARM, written by the builder from its FILE block, reads back whole.
TEST_F(DictSummary, BuilderWrittenFileReadsBackWhole) {
  build(read_text("share/design/0LA.dsgn"), "0LA");
  const std::string text = summarise("0LA", "00", {"QPARM"});
  EXPECT_NE(text.find("KEY:  QPARM KEY              + 0 21 2\n"), std::string::npos) << text;
  bool ok = false;
  std::vector<bs_file> blocks = read_all(dd_summary_path("0LA", "00"), &ok);
  ASSERT_TRUE(ok) << (g_errors.empty() ? "" : g_errors[0]);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].rec_len, 1644);
  EXPECT_EQ(blocks[0].init.size(), 1644u);
  EXPECT_EQ(blocks[0].nulls, image("0LA", "00", "QPARM", INIT_NULLS));
}

// A new summary starts with "1"; a second run appends after it and never
// writes the header again.
TEST_F(DictSummary, HeaderWrittenOnceBlocksAppended) {
  build(read_text(kBuilderFixture), "SUM");
  const std::string one = summarise("SUM", "01", {"DATED"});
  ASSERT_EQ(one.rfind("1\nFILE:  DATED    1 3 0 ", 0), 0u) << one;
  const std::string two = summarise("SUM", "01", {"ALPHA"});
  EXPECT_EQ(two.substr(0, one.size()), one);
  EXPECT_EQ(two.find("\n1\n", 1), std::string::npos);
  unsetenv("DD_SUMMARY_FILE");
  EXPECT_EQ(summarise("SUM", "01", {}), two);
  DesignBuilder b("SUM", "01", kScope);
  dd_ctx c{};
  memcpy(c.ap, "SUM", 3), memcpy(c.ver, "01", 2);
  c.arb[DD_ELEM] = b.handle(DF_ELEMENT);
  EXPECT_EQ(bld_sum_fi(&c, file_rec("SUM", "01", "HIST").data()), 0);  // not asked
  EXPECT_EQ(slurp(dd_summary_path("SUM", "01")), two);
}

// Group headers, fields without storage, substrings and synonyms are no
// field lines and not counted; a key on one field has a segment per
// occurrence, two for an 8-byte binary date; a group whose last field
// never comes, or a key of a type no segment has, is an internal error and
// no block.
TEST_F(DictSummary, BlockLeavesOutUnstoredKindsAndRefusesBadKeys) {
  std::vector<std::vector<uint8_t>> elems;
  auto elem = [&](const char* name, uint8_t kind, uint16_t off, uint16_t size, uint8_t type, const char* ref = "",
                  uint16_t occurs = 1, uint16_t segno = 0) {
    std::vector<uint8_t> e(kElementSize, ' ');
    memcpy(e.data() + ELEM_NAME, name, strlen(name));
    e[ELEM_KIND] = kind;
    memcpy(e.data() + ELEM_DOMAIN, ref, strlen(ref));
    st_le16(e.data(), ELEM_OFFSET, off), st_le16(e.data(), ELEM_SIZE, size), st_le16(e.data(), ELEM_OCCURS, occurs);
    st_le32(e.data(), ELEM_SEQ, static_cast<uint32_t>(elems.size() + 1));
    st_le16(e.data(), ELEM_SEGMENT, segno ? segno : static_cast<uint16_t>(elems.size() + 1));
    e[ELEM_TYPE] = type, e[ELEM_KEY_NO] = 0, e[ELEM_KEY_ROLE] = 0, e[ELEM_KEY_ORDER] = '-', e[ELEM_KEY_FLAG] = '1';
    elems.push_back(e);
  };
  elem("G", 2, 0, 6, 0, "B");
  elem("A", 1, 0, 4, 1);
  elem("NONE", 3, 0, 0, 0);
  elem("B", 1, 4, 2, 5);
  elem("SUB", 4, 1, 2, 1, "A");
  elem("SYN", 5, 0, 4, 1, "A");
  elem("R", 1, 6, 2, 1, "", 3, 7);    // a one-field key occurring 3 times
  elem("D", 1, 12, 8, 7, "", 2, 10);  // an 8-byte binary date occurring twice
  uint8_t fi[kFileRecSize] = {};
  memcpy(fi, "T       ", 8);
  fi[FI_FS_TYPE] = 1, fi[FI_ORG] = 3, fi[FI_ALLOC] = ' ', fi[FI_VAR] = 0, fi[FI_NKEYS] = 3;
  st_le16(fi, FI_REC_LEN, 28);
  st_le32(fi, FI_KEY_SEQ, 1), st_le32(fi, FI_KEY_SEQ + 4, 7), st_le32(fi, FI_KEY_SEQ + 8, 8);
  uint8_t img[28];
  for (int i = 0; i < 28; ++i) img[i] = static_cast<uint8_t>(i == 27 ? 0xFF : 0x41 + i);
  std::string out;
  ASSERT_TRUE(dd_sum_block(fi, elems, img, img, &out));
  const std::string hex = "4142434445464748494A4B4C4D4E4F505152535455565758595A5BFF\n";
  EXPECT_EQ(out,
            "FILE:  T        1 3 0 28 0 3 4\n"
            "KEY:  G                      - 0 5 2\n"
            "SEGMENT:  A                      - 2 0 4 1\n"
            "SEGMENT:  B                      - 4 4 2 8\n"
            "KEY:  R                      - 0 5 3\n"
            "SEGMENT:  R                      + 7 6 2 1\n"
            "SEGMENT:  R                      + 8 8 2 1\n"
            "SEGMENT:  R                      + 9 10 2 1\n"
            "KEY:  D                      - 0 5 4\n"
            "SEGMENT:  D                      + 10 12 4 8\n"
            "SEGMENT:  D                      + 11 16 4 8\n"
            "SEGMENT:  D                      + 12 20 4 8\n"
            "SEGMENT:  D                      + 13 24 4 8\n"
            "A                      1 1 0 4\n"
            "B                      1 5 4 2\n"
            "R                      3 1 6 2\n"
            "D                      2 7 12 8\n" +
                hex + hex);
  const struct {
    const char* what;
    int elem;
    size_t off;
    uint8_t value;
    const char* error;
  } bad[] = {{"group's last field missing", 0, ELEM_DOMAIN, 'Z', "bld_sum_fi() group thru not found"},
             {"member of no key type", 3, ELEM_TYPE, 14, "bld_sum_fi() inv key segment"}};
  for (auto& b : bad) {
    auto copy = elems;
    copy[b.elem][b.off] = b.value;
    g_errors.clear();
    std::string o;
    EXPECT_FALSE(dd_sum_block(fi, copy, img, img, &o)) << b.what;
    ASSERT_EQ(g_errors.size(), 1u) << b.what;
    EXPECT_EQ(g_errors[0], b.error);
  }
}

// A line that does not read gives its text and stops the reader: blocks
// before it are read, nothing after it.
TEST_F(DictSummary, MalformedOrOutOfRangeLineStopsTheReader) {
  build(read_text(kBuilderFixture), "SUM");
  const std::string good = summarise("SUM", "01", {"ALPHA", "DATED", "HIST"});
  std::vector<std::string> lines;
  std::stringstream ss(good);
  for (std::string l; std::getline(ss, l);) lines.push_back(l);
  // The line index of the n-th line that starts with `tag` in the second
  // block (DATED), or of the header.
  auto nth = [&](const std::string& tag, int n) {
    int block = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].rfind("FILE:", 0) == 0) ++block;
      if (block == 2 && lines[i].rfind(tag, 0) == 0 && n-- == 0) return i;
    }
    return size_t{0};
  };
  const size_t file = nth("FILE:", 0), key = nth("KEY:", 0), seg = nth("SEGMENT:", 1), fld = nth("DATED NOTE", 0);
  const size_t hex = fld + 1;
  const struct {
    const char* what;
    size_t line;
    std::string text;
    const char* error;
    size_t blocks;
  } rows[] = {
      {"header 2", 0, "2", kBsBadHeader, 0},
      {"header not a number", 0, "x", kBsBadHeader, 0},
      {"file line cut short", file, "FILE:  DATED    1 3", kBsBadFile, 1},
      {"18 keys", file, "FILE:  DATED    1 3 0 12 0 18 2", kBsBadFile, 1},
      {"record length 0", file, "FILE:  DATED    1 3 0 0 0 1 2", kBsBadFile, 1},
      {"record length over 32767", file, "FILE:  DATED    1 3 0 40000 0 1 2", kBsBadFile, 1},
      {"negative field count", file, "FILE:  DATED    1 3 0 12 0 1 -1", kBsBadFile, 1},
      {"key count not a number", key, "KEY:  DATED WHEN             + 0 21 x", kBsBadFile, 1},
      {"key of 17 segments", key, "KEY:  DATED WHEN             + 0 21 17", kBsBadFile, 1},
      {"segment number not a number", seg, "SEGMENT:  DATED WHEN             + ? 4 4 8", kBsBadSeg, 1},
      {"segment past the record", seg, "SEGMENT:  DATED WHEN             + 2 10 4 8", kBsBadSeg, 1},
      {"segment at a negative offset", seg, "SEGMENT:  DATED WHEN             + 2 -4 4 8", kBsBadSeg, 1},
      {"field line cut short", fld, "DATED NOTE             1", kBsBadFld, 1},
      {"field occurrences past the record", fld, "DATED NOTE             3 1 8 4", kBsBadFld, 1},
      {"image not hexadecimal", hex, "ZZ", kBsBadProto, 1},
  };
  for (auto& r : rows) {
    auto copy = lines;
    copy[r.line] = r.text;
    std::string text;
    for (auto& l : copy) text += l + "\n";
    g_errors.clear();
    bool ok = true;
    std::vector<bs_file> blocks = read_all(write_summary(text), &ok);
    EXPECT_FALSE(ok) << r.what;
    EXPECT_EQ(blocks.size(), r.blocks) << r.what;
    ASSERT_EQ(g_errors.size(), 1u) << r.what;
    EXPECT_EQ(g_errors[0], r.error) << r.what;
  }
  g_errors.clear();
  bool ok = true;
  EXPECT_TRUE(read_all(data_ + "/absent.txt", &ok).empty());
  EXPECT_FALSE(ok);
  ASSERT_EQ(g_errors.size(), 1u);
  EXPECT_EQ(g_errors[0], kBsNoSummary);
}

}  // namespace
}  // namespace kivo::test
