// The dictionary compiler's run: element numbers from the BITMAP, the
// domain pass with borrowed domains, the work-field pass, the routine
// through the built-in table, and kivo_design -c.
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "compiler/design_records.h"
#include "dd_test_util.h"
#include "design/design.h"
#include "interp/rt_fns.h"
#include "process/startup.h"

namespace kivo::test {
namespace {

class DictDriver : public DictFiles {
 protected:
  // The APPL file with the applications a borrowed domain may name.
  static void applications(std::initializer_list<const char*> aps) {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_DAP_FDB(&f, k, s);
    ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 15, 15), 1);
    for (const char* ap : aps) {
      uint8_t rec[324];
      init_dap(rec, ap, "01", "TEST");
      ASSERT_EQ(dd_write(f.fdb_arb, rec, sizeof rec), 1);
    }
    FM_CLOSE(f.fdb_arb, 0);
  }
  // The record of `f` whose name (at `off`, `len` characters) is `name`.
  static std::vector<uint8_t> find(design_file f, const std::string& name, size_t off, size_t len,
                                   const char* ap = "APP") {
    for (auto& r : records(f, "01", ap))
      if (trimmed(r.data() + off, len) == name) return r;
    return {};
  }
  static std::vector<uint8_t> domain_rec(const std::string& name, const char* ap = "APP") {
    return find(DF_DOMAIN, name, DOM_NAME, 22, ap);
  }
  static std::vector<uint8_t> element(const std::string& name) { return find(DF_ELEMENT, name, ELEM_NAME, 22); }
  static std::vector<uint8_t> field_rec(const std::string& name) { return find(DF_FIELD, name, FLD_NAME, 22); }
  static std::vector<uint8_t> page(DesignBuilder& b, uint32_t area, uint32_t p) {
    std::vector<uint8_t> pg(kBitmapSize, 0);
    st_le32(pg.data(), BM_AREA, area);
    st_le32(pg.data(), BM_PAGE, p);
    EXPECT_EQ(dd_read(b.handle(DF_BITMAP), 0, pg.data(), kBitmapSize, false), 1) << p;
    return pg;
  }
};

TEST_F(DictDriver, SequencesLieInTheirPageByteAndBit) {
  DesignBuilder b("APP", "01", kScope);
  dd_ctx c = context(b);
  for (uint32_t i = 1; i <= 401; ++i) {
    uint32_t s = 0;
    ASSERT_EQ(bit_find(&c, &s, 3), 1);
    ASSERT_EQ(s, i);
  }
  EXPECT_EQ(page(b, 3, 1)[BM_BITS + 49], 0xFF);
  EXPECT_EQ(ld_le32(page(b, 3, 1).data(), BM_HIGH), 401u);
  EXPECT_EQ(page(b, 3, 2)[BM_BITS + 0], 0x01);
  EXPECT_EQ(bit_free(&c, 3 * kAreaSpan + 400), 1);
  EXPECT_EQ(page(b, 3, 1)[BM_BITS + 49], 0x7F);  // bit 7 of byte 49
  struct {
    uint32_t given, want;
  } rows[] = {{0, 400}, {5, 5}, {401, 401}, {402, 402}, {900, 403}};
  for (auto r : rows) {
    uint32_t s = r.given;
    ASSERT_EQ(bit_find(&c, &s, 3), 1);
    EXPECT_EQ(s, r.want) << r.given;
  }
}

TEST_F(DictDriver, NumbersHeldElsewhereArePassedOver) {
  DesignBuilder b("APP", "01", kScope);
  dd_ctx c = context(b, "MINE    ");
  uint8_t fi[kFileRecSize] = {};
  memcpy(fi, "OTHER   ", 8);
  st_le32(fi, FI_NUMBER, 1000001);
  st_le32(fi, FI_NUMBER2, 9000001);
  ASSERT_EQ(b.put(DF_FILE, fi), 1);
  uint8_t e[kElementSize] = {};
  SET_BLANK(e + ELEM_NAME, 22);
  memcpy(e + ELEM_NAME, "X", 1);
  memcpy(e + ELEM_FILE, "OTHER   ", 8);
  st_le32(e, ELEM_NUMBER, 1000002);
  ASSERT_EQ(b.put(DF_ELEMENT, e), 1);
  uint32_t n = 0;
  ASSERT_EQ(proc_ano(&c, &n, 1, 0, 3, nullptr), 1);
  EXPECT_EQ(n, 1000003u);
  // An element keeps its own number; one of another data area is given
  // back and a number of the new area drawn.
  const uint8_t* self = reinterpret_cast<const uint8_t*>("X                     ");
  n = 1000002;
  ASSERT_EQ(proc_ano(&c, &n, 1, 0, 4, self), 1);
  EXPECT_EQ(n, 1000002u);
  n = 1000003;
  ASSERT_EQ(proc_ano(&c, &n, 2, 1, 4, self), 1);
  EXPECT_EQ(n, 6000001u);
  EXPECT_EQ(page(b, 1, 1)[BM_BITS], 0x03);  // 3 freed
  n = 0;                                    // modes 1 and 2 stay within area 2
  ASSERT_EQ(proc_ano(&c, &n, 3, 3, 1, nullptr), 1);
  EXPECT_EQ(n, 2000001u);
}

TEST_F(DictDriver, FullDataAreaStopsAt999999) {
  DesignBuilder b("APP", "01", kScope);
  dd_ctx c = context(b);
  ARB* bm = b.handle(DF_BITMAP);
  uint8_t pg[kBitmapSize] = {};
  st_le32(pg, BM_AREA, 7);
  memset(pg + BM_BITS, 0xFF, 50);
  for (uint32_t p = 2500; p >= 1; --p) {
    st_le32(pg, BM_PAGE, p);
    st_le32(pg, BM_HIGH, p == 1 ? 999999 : 0);
    if (p == 2500) pg[BM_BITS + 49] = 0x7F;  // 999,999 taken; the bit after it is the next area's
    ASSERT_EQ(dd_write(bm, pg, kBitmapSize), 1);
    pg[BM_BITS + 49] = 0xFF;
  }
  uint32_t s = 0;
  EXPECT_EQ(bit_find(&c, &s, 7), 0);
  EXPECT_EQ(b.bit_search(7), 0u);
  uint32_t n = 0;
  EXPECT_EQ(proc_ano(&c, &n, 2, 2, 4, reinterpret_cast<const uint8_t*>("FULL                  ")), 0);
  EXPECT_EQ(n, 0u);
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].number, DD_AREA_FULL);
  EXPECT_EQ(m[0].kind, DD_KIND_FIELD);
  EXPECT_EQ(m[0].subject, "FULL                  ");
  EXPECT_EQ(page(b, 7, 2500)[BM_BITS + 49], 0x7F);
}

const char* kSource = R"(APPLICATION SRC 01
DOMAIN 1 COLOUR kind=4 alpha_form=0 sub_kind=2 mask="99" label="COLOUR" heading1="THE COLOUR"
DOMAIN 1 LENT kind=0 source_ap=SRC source=COLOUR
TOKEN COLOUR 1 RED
TOKEN COLOUR 12 GREEN
TOKEN OTHER 5 BLUE
)";

const char* kApp = R"(APPLICATION APP 01
DOMAIN 1 OWN kind=1 sub_kind=1 mask="99"
DOMAIN 1 USED kind=1 sub_kind=1 mask="99"
DOMAIN 1 HUE kind=0 source_ap=SRC source=COLOUR label="MY HUE"
DOMAIN 1 LOST kind=0 source_ap=SRC source=NOSUCH
DOMAIN 1 NOAP kind=0 source_ap=ZZZ source=COLOUR
DOMAIN 1 NOFILE kind=0 source_ap=NOD source=COLOUR
DOMAIN 1 SECOND kind=0 source_ap=SRC source=LENT
DOMAIN 1 SELF kind=0 source_ap=APP source=OWN
FIELD W1 class=1 domain=USED domain_kind=1
FIELD W2 class=1 domain=HUE domain_kind=1
)";

TEST_F(DictDriver, DomainPassCompilesNullDatedDomainsAndCopiesBorrowedOnes) {
  applications({"SRC", "APP", "NOD"});
  build(kSource, "SRC");
  build(kApp, "APP");
  const auto hue_before = domain_rec("HUE"), src = domain_rec("COLOUR", "SRC");
  ASSERT_FALSE(hue_before.empty());
  run("");
  // NOD has no DOMAIN file: its open status, and the domain is left.
  EXPECT_EQ(numbers(), (std::vector<uint32_t>{100740, 100730, FM_NO_FILE, 100190, 100540}));
  auto m = messages();
  EXPECT_EQ(m[2].subject, "NOFILE                ");
  EXPECT_EQ(m[4].subject.substr(0, 3), "APP");
  EXPECT_EQ(m[3].subject, "LENT                  ");
  EXPECT_EQ(summary("").first, 5);
  EXPECT_EQ(domain_rec("NOFILE"), find(DF_DOMAIN, "NOFILE", DOM_NAME, 22));
  EXPECT_TRUE(dd_is_null_date(domain_rec("NOFILE").data() + DOM_STAMP2));
  auto own = domain_rec("OWN"), used = domain_rec("USED");
  EXPECT_FALSE(dd_is_null_date(own.data() + DOM_STAMP2));
  EXPECT_EQ(own[DOM_EFF_KIND], 1);
  EXPECT_TRUE(dd_is_null_date(used.data() + DOM_STAMP2));  // compiled with its first field
  // The borrowed domain: the source's bytes but for its own, null-dated.
  std::vector<uint8_t> want = src;
  for (auto [a, z] : kBorrowedOwn) memcpy(want.data() + a, hue_before.data() + a, z - a + 1);
  memset(want.data() + DOM_STAMP2, 0xFF, 8);
  EXPECT_EQ(domain_rec("HUE"), want);
  EXPECT_EQ(trimmed(want.data() + DOM_LABEL, 30), "COLOUR");
  EXPECT_EQ(domain_rec("LOST"), find(DF_DOMAIN, "LOST", DOM_NAME, 22));
  // The work fields compile their domains: the borrowed one takes the
  // source's code table under its own name.
  run("*");
  auto tokens = records(DF_TOKEN, "01", "APP");
  ASSERT_EQ(tokens.size(), 2u);
  for (auto& t : tokens) EXPECT_EQ(trimmed(t.data() + TOK_GROUP, 22), "HUE");
  EXPECT_EQ(ld_le32(tokens[1].data(), TOK_CODE), 12u);
  auto w2 = element("W2");
  ASSERT_FALSE(w2.empty());
  EXPECT_EQ(w2[ELEM_TYPE], 5);
  EXPECT_EQ(ld_le16(w2.data(), ELEM_SIZE), 1);
  EXPECT_EQ(trimmed(w2.data() + ELEM_LABEL, 30), "COLOUR");  // the source's label
  EXPECT_EQ(domain_rec("HUE")[DOM_EFF_KIND], 4);
}

TEST_F(DictDriver, UnreadableApplicationRewritesNothing) {
  build(kSource, "SRC");
  build(kApp, "APP");
  const auto hue = domain_rec("HUE"), w2 = field_rec("W2");
  run("*");
  EXPECT_EQ(domain_rec("HUE"), hue);
  EXPECT_TRUE(records(DF_TOKEN, "01", "APP").empty());
  EXPECT_TRUE(element("W2").empty());
  EXPECT_TRUE(element("W1").empty());  // compiled before W2 failed, and not written
  captured_errors().clear();
}

TEST_F(DictDriver, DomainChangeMakesItsFilesAndWorkFieldsOutOfDate) {
  build(R"(APPLICATION APP 01
DOMAIN 1 AMT kind=1 sub_kind=1 mask="999"
FIELD W1 class=1 domain=AMT domain_kind=1
FIELD F1 file=CUST domain=AMT domain_kind=1
FIELD F2 file=OTHER domain=AMT domain_kind=2
)",
        "APP");
  run("*");
  ASSERT_FALSE(element("W1").empty());
  ASSERT_FALSE(dd_is_null_date(field_rec("W1").data() + FLD_STAMP));
  DesignBuilder b("APP", "01", kScope);
  for (const char* name : {"CUST    ", "OTHER   "}) {
    uint8_t fi[kFileRecSize] = {};
    memcpy(fi, name, 8);
    st_le32(fi, FI_NUMBER, name[0] == 'C' ? 1000001 : 1000002);
    st_le32(fi, FI_NUMBER2, name[0] == 'C' ? 1000003 : 1000004);
    memset(fi + FI_STAMP, 1, 8);
    ASSERT_EQ(b.put(DF_FILE, fi), 1);
  }
  dd_ctx c = context(b);
  c.arb[DD_DOM] = b.handle(DF_DOMAIN);
  c.arb[DD_FLD] = b.handle(DF_FIELD);
  auto dom = domain_rec("AMT");
  ASSERT_EQ(dd_read(c.arb[DD_DOM], 0, dom.data(), kDomRecLen, true), 1);
  ASSERT_EQ(cmpl_dom(&c, dom.data()), 1);
  EXPECT_TRUE(dd_is_null_date(field_rec("W1").data() + FLD_STAMP));
  EXPECT_TRUE(dd_is_null_date(find(DF_FILE, "CUST", 0, 8).data() + FI_STAMP));
  EXPECT_FALSE(dd_is_null_date(find(DF_FILE, "OTHER", 0, 8).data() + FI_STAMP));  // another domain kind
}

const char* kWork = R"(APPLICATION APP 01
DOMAIN 1 AMT kind=1 sub_kind=1 mask="-999.99"
FIELD A class=1 domain=AMT domain_kind=1 row=1 column=2
FIELD B class=1 domain=AMT domain_kind=1
FIELD C class=1 domain=AMT domain_kind=1 low="1" high="2"
FIELD OLDN class=1 domain=AMT domain_kind=1 binary1=77 binary2=88
)";

TEST_F(DictDriver, WorkFieldPass) {
  build(kWork, "APP");
  run("*");
  EXPECT_TRUE(messages().empty());
  auto elems = records(DF_ELEMENT, "01", "APP");
  ASSERT_EQ(elems.size(), 4u);
  EXPECT_EQ(ld_le32(element("A").data(), ELEM_NUMBER), 3000001u);  // row 1, column 2
  EXPECT_EQ(ld_le32(field_rec("A").data(), FLD_NUMBER), 3000001u);
  EXPECT_EQ(ld_le32(element("B").data(), ELEM_NUMBER), 1u);
  EXPECT_EQ(ld_le16(element("B").data(), ELEM_SIZE), 4);
  // Again: everything is up to date.
  run("*");
  EXPECT_EQ(records(DF_ELEMENT, "01", "APP"), elems);
  EXPECT_EQ(summary("*"), (std::pair<int64_t, int64_t>{0, 0}));
  // A changed field keeps its element's number.
  build(R"(APPLICATION APP 01
FIELD B class=1 domain=AMT domain_kind=1 label="CHANGED"
)",
        "APP");
  EXPECT_EQ(trimmed(field_rec("B").data() + ELEM_LABEL, 30), "CHANGED");
  EXPECT_TRUE(dd_is_null_date(field_rec("B").data() + FLD_STAMP));
  run("*");
  EXPECT_EQ(trimmed(element("B").data() + ELEM_LABEL, 30), "CHANGED");
  EXPECT_EQ(ld_le32(element("B").data(), ELEM_NUMBER), 1u);
  // One failing field: no ELEMENT changes, though A compiled before it.
  elems = records(DF_ELEMENT, "01", "APP");
  build(R"(APPLICATION APP 01
FIELD A class=1 domain=AMT domain_kind=1 row=1 column=2 label="NEW A"
FIELD C class=1 domain=AMT domain_kind=1 low="1x" high="12345"
)",
        "APP");
  run("*");
  EXPECT_EQ(numbers(), (std::vector<uint32_t>{100490, 100520}));
  EXPECT_EQ(records(DF_ELEMENT, "01", "APP"), elems);
  // A renamed field finds its element by the binaries.
  DesignBuilder b("APP", "01", kScope);
  auto old = field_rec("OLDN");
  ASSERT_EQ(dd_delete(b.handle(DF_FIELD), 0, old.data(), kFieldSize), 1);
  build(R"(APPLICATION APP 01
FIELD C class=1 domain=AMT domain_kind=1 low="1" high="2"
FIELD NEWN class=1 domain=AMT domain_kind=1 binary1=77 binary2=88
)",
        "APP");
  run("*");
  EXPECT_TRUE(element("OLDN").empty());
  EXPECT_EQ(ld_le32(element("NEWN").data(), ELEM_BINARIES), 77u);
  EXPECT_EQ(trimmed(element("A").data() + ELEM_LABEL, 30), "NEW A");
}

TEST_F(DictDriver, RoutineThroughTheTableCompilesAsAStandAloneRun) {
  const std::string body =
      "DOMAIN 1 AMT kind=1 sub_kind=1 mask=\"-99.99\"\n"
      "DOMAIN 1 DAY kind=2 sub_kind=1 mask=\"77/66/55\"\n"
      "FIELD RATE class=1 domain=AMT domain_kind=1\n"
      "FIELD WHEN class=1 domain=DAY domain_kind=1\n";
  build("APPLICATION APP 01\n" + body, "APP");
  build("APPLICATION APQ 01\n" + body, "APQ");
  dd_init();
  size_t count = 0;
  const rt_fn_row* rows = int_fns_tbl(&count);
  uint32_t row = 0;
  while (row < count && strcmp(rows[row].name, "DD_CMPL") != 0) ++row;
  ASSERT_LT(row, count);
  uint8_t req[13];
  memcpy(req, "APP01*       ", 13);
  RT_CALL call{};
  call.argc = 3;
  call.args[0] = {1, 1, 13, req};
  call.args[1] = {2, 0, 0, reinterpret_cast<uint8_t*>(m1_)};
  call.args[2] = {2, 0, 0, reinterpret_cast<uint8_t*>(m2_)};
  std::string err;
  ASSERT_EQ(rt_call_row(row, call, &err), 1) << err;
  call.argc = 2;
  EXPECT_EQ(rt_call_row(row, call, &err), -1);
  testing::internal::CaptureStdout();
  run("*", "APQ", 0);
  const std::string listing = testing::internal::GetCapturedStdout();
  EXPECT_NE(listing.find("RATE                   (work field)\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("\t\t\tAMT                    (domain)\n"), std::string::npos) << listing;
  const std::string app = design_element_listing("APP", "01", kScope);
  EXPECT_EQ(app, design_element_listing("APQ", "01", kScope));
  EXPECT_NE(app.find("RATE"), std::string::npos);
  EXPECT_TRUE(messages().empty());
}

// kivo_design -c on a copy of the default installation.
TEST_F(DictDriver, KivoDesignCompilesItsSources) {
  const std::string kivo = KIVO_BINARY, dir = data_ + "/inst";
  std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/shipped_data", dir,
                        std::filesystem::copy_options::recursive);
  const std::string src = data_ + "/work.dsgn";
  FILE* f = fopen(src.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs(
      "APPLICATION WRK 01\n"
      "DOMAIN 1 AMOUNT kind=1 sub_kind=1 mask=\"-99.99\"\n"
      "DOMAIN 1 SPARE kind=3\n"
      "FIELD RATE class=1 domain=AMOUNT domain_kind=1\n"
      "FIELD ODD class=1 domain=AMOUNT domain_kind=1 low=\"1x\" high=\"5\"\n",
      f);
  fclose(f);
  auto run_tool = [&](int* status) {
    const std::string cmd = std::string(KIVO_DESIGN) + " -c -d " + dir + " " + src + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    *status = p ? pclose(p) : -1;
    return out;
  };
  int status = 0;
  std::string out = run_tool(&status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status << "\n" << out;
  for (const char* line : {"\t\t\tSPARE                  (domain)\n", "ODD                    (work field)\n",
                           "\t\t\tAMOUNT                 (domain)\n", "RATE                   (work field)\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  EXPECT_NE(out.find("100490 2 "), std::string::npos) << out;
  out = run_tool(&status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace kivo::test
