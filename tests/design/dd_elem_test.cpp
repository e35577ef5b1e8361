// Elements built from a FIELD and its DOMAIN: types and sizes by mask and
// sub-kind, alpha forms, coded numbers by their largest token, ranges,
// headings, stored null and initial values; and the design builder giving
// the same element for the same field.
#include <cstring>

#include "compiler/design_records.h"
#include "dd_test_util.h"
#include "types/typed_value.h"

namespace kivo::test {
namespace {

using ElementBuild = DictFiles;

struct dom_def {
  dom_def(uint8_t k = 1, uint8_t s = 1, std::string m = "", std::string n = "", uint8_t r = 255, std::string g = "")
      : kind(k), sub(s), mask(std::move(m)), null_text(std::move(n)), rel1(r), rng1(std::move(g)) {}
  uint8_t kind, sub;
  std::string mask, null_text;
  uint8_t rel1;
  std::string rng1;
  uint8_t alp_form = 0;
  uint16_t size = 0;
  std::string name = "DOM";
};

std::vector<uint8_t> domain(const dom_def& d) {
  std::vector<uint8_t> r(kDomRecLen, 0);
  SET_BLANK(r.data() + DOM_NAME, DOM_STAMP1 - DOM_NAME);
  memcpy(r.data() + DOM_NAME, d.name.data(), d.name.size());
  SET_BLANK(r.data() + DOM_MASK, DOM_REL - DOM_MASK);
  SET_BLANK(r.data() + DOM_RNG1, DOM_FORM_BYTE - DOM_RNG1);
  r[DOM_KIND] = '1';
  r[DOM_OWN_KIND] = r[DOM_EFF_KIND] = d.kind;
  r[DOM_SUB_KIND] = d.sub;
  memcpy(r.data() + DOM_MASK, d.mask.data(), std::min<size_t>(d.mask.size(), 60));
  memcpy(r.data() + DOM_NULL, d.null_text.data(), d.null_text.size());
  r[DOM_REL] = d.rel1, r[DOM_REL + 1] = 255;
  memcpy(r.data() + DOM_RNG1, d.rng1.data(), d.rng1.size());
  r[DOM_ALP_FORM] = d.alp_form;
  st_le16(r.data(), DOM_SIZE, d.size);
  r[DOM_DSPL_CHAR] = ' ', r[DOM_CHAR_FLAG] = '0', r[DOM_FILL] = ' ', r[DOM_WORD_FLOW] = '0';
  return r;
}

std::vector<uint8_t> field(const std::string& name = "RATE") {
  std::vector<uint8_t> f(kFieldSize, 0);
  SET_BLANK(f.data() + FLD_NAME, 22);
  memcpy(f.data() + FLD_NAME, name.data(), name.size());
  SET_BLANK(f.data() + FLD_REF, 22);
  SET_BLANK(f.data() + ELEM_LABEL, 90);
  SET_BLANK(f.data() + ELEM_RNG_LO, ELEM_SEGMENT - ELEM_RNG_LO);
  SET_BLANK(f.data() + FLD_INIT, 60);
  f[FLD_CLASS] = '1', f[FLD_KIND] = 1, f[ELEM_DSPL_CHAR] = ' ';
  f[FLD_RNG_ABSENT] = f[FLD_RNG_ABSENT + 1] = 0xFF;
  return f;
}

struct built {
  std::vector<uint8_t> e = std::vector<uint8_t>(kMelemSize);
  int ok = 0;
  uint8_t type() const { return e[ELEM_TYPE]; }
  uint16_t size() const { return ld_le16(e.data(), ELEM_SIZE); }
};

TEST_F(ElementBuild, NumbersAndDatesTakeTheirTypeAndSizeFromTheMask) {
  struct row {
    dom_def d;
    uint8_t type;
    uint16_t size;
    uint8_t hi, lo;
    char sign;
  } rows[] = {
      {{1, 1, "-99.99"}, 5, 2, 2, 2, '1'},
      {{1, 1, "9999999999"}, 5, 4, 10, 0, '0'},
      {{1, 1, "999", "", 4, "100"}, 5, 1, 3, 0, '0'},  // narrowed to 0..100
      {{1, 1, "999", "", 4, "300"}, 5, 2, 3, 0, '0'},
      {{1, 1, "99", "-5"}, 5, 1, 2, 0, '1'},  // a negative null text signs it
      {{1, 2, "(9,999.99)"}, 8, 4, 4, 2, '1'},
      {{1, 3, ""}, 12, 9, 15, 15, '1'},
      {{2, 2, "77005"}, 9, 5, 7, 5, '0'},
      {{2, 1, "77/66/55"}, 7, 4, 7, 5, '0'},
      {{2, 1, "77/66/55 44:33"}, 7, 8, 7, 3, '0'},
      {{2, 3, "\\D77-66-55"}, 4, 9, 7, 5, '0'},
      {{2, 1, "77/66/55 \"unclosed 44"}, 7, 4, 7, 5, '0'},  // the quote ends the mask
      {{3, 0, ""}, 11, 1, 0, 0, '0'},
  };
  DesignBuilder b("APP", "01", kScope);
  dd_ctx c = context(b);
  for (auto& r : rows) {
    built x;
    auto dom = domain(r.d);
    auto fld = field();
    x.ok = bld_elem(&c, dom.data(), fld.data(), x.e.data());
    EXPECT_EQ(x.ok, 1) << r.d.mask;
    EXPECT_EQ(x.type(), r.type) << r.d.mask;
    EXPECT_EQ(x.size(), r.size) << r.d.mask;
    EXPECT_EQ(x.e[ELEM_HI], r.hi) << r.d.mask;
    EXPECT_EQ(x.e[ELEM_LO], r.lo) << r.d.mask;
    EXPECT_EQ(x.e[ELEM_SIGNED], r.sign) << r.d.mask;
  }
  EXPECT_TRUE(messages().empty());
}

TEST_F(ElementBuild, TextFormsAndCodedNumbers) {
  DesignBuilder b("APP", "01", kScope);
  // Coded domains: the group's largest value sizes them.
  const int32_t tops[] = {9, 10, 99, 100, 127, 128, 32767, 32768, 99999, 100000};
  for (int32_t t : tops) {
    uint8_t tok[kTokRecLen] = {};
    SET_BLANK(tok + TOK_GROUP, 22);
    const std::string g = "C" + std::to_string(t);
    memcpy(tok + TOK_GROUP, g.data(), g.size());
    SET_BLANK(tok + TOK_TEXT, 30);
    for (int32_t v : {1, t}) {
      st_le32(tok, TOK_CODE, static_cast<uint32_t>(v));
      memcpy(tok + TOK_TEXT, v == 1 ? "ONE" : "TOP", 3);
      ASSERT_EQ(b.put(DF_TOKEN, tok), 1) << b.error();
    }
  }
  dd_ctx c = context(b);
  const uint16_t sizes[] = {1, 1, 1, 1, 1, 2, 2, 4, 4, 4};
  const uint8_t digits[] = {1, 2, 2, 3, 3, 3, 5, 5, 5, 6};
  for (size_t i = 0; i < std::size(tops); ++i) {
    dom_def d{4, 2, "***XX"};
    d.name = "C" + std::to_string(tops[i]);
    auto dom = domain(d);
    built x;
    x.ok = bld_elem(&c, dom.data(), field().data(), x.e.data());
    EXPECT_EQ(x.ok, 1);
    EXPECT_EQ(x.type(), 5) << tops[i];
    EXPECT_EQ(x.size(), sizes[i]) << tops[i];
    EXPECT_EQ(x.e[ELEM_HI], digits[i]) << tops[i];
    EXPECT_EQ(ld_le16(x.e.data(), ELEM_CODE_LEN), 2) << tops[i];
  }
  struct row {
    uint8_t form, sub;
    std::string mask;
    uint16_t dflt, size;
    uint8_t justify;
    char fill;
  } forms[] = {{1, 0, "", 0, 4, 2, '0'},   {2, 0, "", 0, 3, 1, ' '},       {3, 0, "", 0, 256, 1, ' '},
               {3, 0, "", 40, 40, 1, ' '}, {0, 1, "XXXXXX", 0, 6, 0, ' '}, {0, 1, "", 12, 12, 0, ' '}};
  for (auto& r : forms) {
    dom_def d{4, r.sub, r.mask};
    d.alp_form = r.form;
    d.size = r.dflt;
    auto dom = domain(d);
    built x;
    EXPECT_EQ(bld_elem(&c, dom.data(), field().data(), x.e.data()), 1);
    EXPECT_EQ(x.type(), 1);
    EXPECT_EQ(x.size(), r.size) << int(r.form);
    EXPECT_EQ(x.e[ELEM_JUSTIFY], r.justify) << int(r.form);
    EXPECT_EQ(x.e[ELEM_FILL], r.fill) << int(r.form);
  }
  EXPECT_TRUE(messages().empty());
  // A form of no meaning, a text domain of no size, a sub-kind of none.
  for (auto [form, sub, dflt, want] :
       {std::tuple<int, int, int, uint32_t>{7, 1, 5, 100360u}, {0, 1, 0, 102650u}, {0, 5, 5, 100560u}}) {
    dom_def d{4, static_cast<uint8_t>(sub), ""};
    d.alp_form = static_cast<uint8_t>(form);
    d.size = static_cast<uint16_t>(dflt);
    auto dom = domain(d);
    built x;
    EXPECT_EQ(bld_elem(&c, dom.data(), field().data(), x.e.data()), 0);
    EXPECT_EQ(numbers().back(), want);
  }
}

TEST_F(ElementBuild, RangesAndHeadings) {
  DesignBuilder b("APP", "01", kScope);
  dd_ctx c = context(b);
  auto dom = domain({1, 1, "-99.99"});
  // Low bad by two characters, high good: compiles, one 100490 for each.
  auto fld = field();
  fld[FLD_RNG_ABSENT] = fld[FLD_RNG_ABSENT + 1] = 0;
  memcpy(fld.data() + ELEM_RNG_LO, "1x.y", 4);
  memcpy(fld.data() + ELEM_RNG_HI, "5.25", 4);
  built x;
  EXPECT_EQ(bld_elem(&c, dom.data(), fld.data(), x.e.data()), 1);
  EXPECT_EQ(numbers(), (std::vector<uint32_t>{100490, 100490}));
  // Both bad: the field fails; each rejection is filed.
  memcpy(fld.data() + ELEM_RNG_HI, "123.4", 5);  // three digits
  memcpy(fld.data() + ELEM_RNG_LO, "1.234", 5);  // three decimals
  EXPECT_EQ(bld_elem(&c, dom.data(), fld.data(), x.e.data()), 0);
  EXPECT_EQ(numbers(), (std::vector<uint32_t>{100490, 100490, 100510, 100520}));
  // An 11-digit domain range is no 32-bit value: 100350, not a wrapped bound.
  auto wide = domain({1, 1, "9999999999", "", 4, "12345678901"});
  EXPECT_EQ(bld_elem(&c, wide.data(), field().data(), x.e.data()), 0);
  EXPECT_EQ(numbers().back(), 100350u);
  // A negative value where the mask has no sign; a value past one byte.
  auto small = domain({1, 1, "99"});
  fld = field();
  fld[FLD_RNG_ABSENT] = 0;
  memcpy(fld.data() + ELEM_RNG_LO, "-5", 2);
  EXPECT_EQ(bld_elem(&c, small.data(), fld.data(), x.e.data()), 0);
  EXPECT_EQ(numbers().back(), 100530u);
  // Headings: the domain's, else the label with the underscore after it.
  com.uscore_char = '_';
  fld = field("PRICE");
  auto d2 = domain({1, 1, "999"});
  memcpy(d2.data() + DOM_LABEL, "UNIT PRICE", 10);
  EXPECT_EQ(bld_elem(&c, d2.data(), fld.data(), x.e.data()), 1);
  EXPECT_EQ(trimmed(x.e.data() + ELEM_LABEL, 30), "UNIT PRICE");
  EXPECT_EQ(trimmed(x.e.data() + ELEM_HEAD1, 30), "");
  EXPECT_EQ(trimmed(x.e.data() + ELEM_HEAD2, 30), "UNIT PRICE_");
  SET_BLANK(d2.data() + DOM_LABEL, 30);
  memcpy(d2.data() + DOM_HEAD2, "PER UNIT", 8);
  EXPECT_EQ(bld_elem(&c, d2.data(), fld.data(), x.e.data()), 1);
  EXPECT_EQ(trimmed(x.e.data() + ELEM_LABEL, 30), "PRICE");
  EXPECT_EQ(trimmed(x.e.data() + ELEM_HEAD2, 30), "PER UNIT");
}

// Stored images of one element of `type`.
struct image_row {
  dom_def d;
  std::string init;
  std::string want_null, want_init;
};

TEST_F(ElementBuild, NullAndInitialImagesOfEveryType) {
  DesignBuilder b("APP", "01", kScope);
  dd_ctx c = context(b);
  const image_row rows[] = {
      {{4, 1, "XXXX"}, "AB", "    ", "AB  "},
      {{1, 1, "-999"}, "-2", std::string("\0\0", 2), std::string("\xfe\xff", 2)},
      {{1, 1, "99", "7"}, "", std::string("\x07", 1), std::string("\x07", 1)},
      {{1, 2, "999.99"}, "1.5", std::string("\0\0\x0c", 3), std::string("\0\x15\x0c", 3)},
      {{1, 3, ""}, "-1.25", std::string("\0\0\0\0\0\0\0\x0c\0", 9), std::string("\0\0\0\0\0\0\x12\x5d\x02", 9)},
      {{2, 1, "77/66/55"}, "", "\xff\xff\xff\xff", "\xff\xff\xff\xff"},
      {{2, 1, "77/66/55 44:33"}, "", std::string(8, '\xff'), std::string(8, '\xff')},
      {{2, 2, "77/66/55"}, "", std::string("\0\0\0\x1d", 4), std::string("\0\0\0\x1d", 4)},
      {{2, 3, "77/66/55"}, "", "        ", "        "},
      {{2, 1, "77005"}, "", "\xff\xff\xff\xff", "\xff\xff\xff\xff"},
      {{2, 2, "77005"}, "", std::string("\0\0\0\0\x1d", 5), std::string("\0\0\0\0\x1d", 5)},
      {{2, 3, "77005"}, "", "     ", "     "},
      {{3, 0, ""}, "Y", " ", "1"},
  };
  for (auto& r : rows) {
    auto dom = domain(r.d);
    auto fld = field();
    memcpy(fld.data() + FLD_INIT, r.init.data(), r.init.size());
    built x;
    ASSERT_EQ(bld_elem(&c, dom.data(), fld.data(), x.e.data()), 1) << r.d.mask;
    std::vector<uint8_t> init(x.size(), '?'), nulls(x.size(), '?');
    c.init_buf = init.data(), c.null_buf = nulls.data();
    EXPECT_EQ(null_etoi(&c, x.e.data()), 1) << r.d.mask;
    EXPECT_EQ(init_etoi(&c, x.e.data()), 1) << r.d.mask;
    EXPECT_EQ(text(nulls.data(), nulls.size()), r.want_null.substr(0, x.size())) << r.d.mask;
    EXPECT_EQ(text(init.data(), init.size()), r.want_init.substr(0, x.size())) << r.d.mask;
  }
  EXPECT_TRUE(messages().empty());
}

TEST_F(ElementBuild, AlphaPlacementWordFlowAndFailingTexts) {
  DesignBuilder b("APP", "01", kScope);
  dd_ctx c = context(b);
  com.parag_char = 0xB6;
  struct row {
    uint8_t justify;
    char fill, flow;
    std::string init, want;
  } rows[] = {
      {2, '0', '0', "  AB", "0000AB"},
      {4, '.', '0', "AB", "..AB.."},
      {0, ' ', '0', "  AB", "  AB  "},
      {1, ' ', '0', "  AB", "AB    "},
      {2, ' ', '0', "ABCDEFGH", "ABCDEF"},  // too long: its first characters
      {0, ' ', '1', " A  B \xb6  C",
       "A B\xb6"
       "C "},
  };
  for (auto& r : rows) {
    dom_def d{4, 1, ""};
    d.size = 6;
    auto dom = domain(d);
    dom[DOM_JUSTIFY] = r.justify, dom[DOM_FILL] = static_cast<uint8_t>(r.fill),
    dom[DOM_WORD_FLOW] = static_cast<uint8_t>(r.flow);
    auto fld = field();
    memcpy(fld.data() + FLD_INIT, r.init.data(), r.init.size());
    built x;
    ASSERT_EQ(bld_elem(&c, dom.data(), fld.data(), x.e.data()), 1);
    std::vector<uint8_t> init(6, '?');
    c.init_buf = init.data();
    EXPECT_EQ(init_etoi(&c, x.e.data()), 1);
    EXPECT_EQ(text(init.data(), 6), r.want) << r.init;
  }
  // A bad date: 100380, and the field compiles with the null value; a bad
  // variable-point text fails the field.
  for (auto [d, init, ok] :
       {std::tuple<dom_def, const char*, int>{{2, 1, "77/66/55"}, "20241399000000", 1}, {{1, 3, ""}, "1.2.3", 0}}) {
    auto dom = domain(d);
    auto fld = field();
    memcpy(fld.data() + FLD_INIT, init, strlen(init));
    built x;
    ASSERT_EQ(bld_elem(&c, dom.data(), fld.data(), x.e.data()), 1);
    std::vector<uint8_t> buf(x.size(), '?');
    c.init_buf = buf.data();
    EXPECT_EQ(init_etoi(&c, x.e.data()), ok) << init;
    EXPECT_EQ(numbers().back(), 100380u);
  }
  // A good universal date is stored in the element's form.
  auto dom = domain({2, 1, "77/66/55"});
  auto fld = field();
  memcpy(fld.data() + FLD_INIT, "2024030500000000", 16);
  built x;
  ASSERT_EQ(bld_elem(&c, dom.data(), fld.data(), x.e.data()), 1);
  std::vector<uint8_t> buf(4, 0xFF);
  c.init_buf = buf.data();
  const size_t before = messages().size();
  EXPECT_EQ(init_etoi(&c, x.e.data()), 1);
  EXPECT_EQ(messages().size(), before);
  EXPECT_NE(ld_le32(buf.data(), 0), 0xFFFFFFFFu);
}

TEST_F(ElementBuild, TextToBinaryKeepsWithinItsWidth) {
  struct row {
    const char* text;
    int decimals, width;
    bool is_signed;
    uint32_t status;
    int64_t value;
  } rows[] = {
      {"4294967295", 0, 4, false, 0, 4294967295},
      {"4294967296", 0, 4, false, 100350, 0},  // past 32 bits: no wrap
      {"99999999999", 0, 0, false, 100350, 0},
      {"2147483647", 0, 4, true, 0, 2147483647},
      {"-2147483648", 0, 4, true, 0, -2147483648LL},
      {"2147483648", 0, 4, true, 100350, 0},
      {"127", 0, 1, true, 0, 127},
      {"128", 0, 1, true, 100350, 0},
      {"255", 0, 1, false, 0, 255},
      {"65536", 0, 2, false, 100350, 0},
      {" 1.5 ", 2, 2, false, 0, 150},
      {"1.234", 2, 4, true, 100790, 0},
      {"-1", 0, 4, false, 100550, 0},
      {"5-", 0, 4, true, 0, -5},
      {"1 2", 0, 4, true, 100350, 0},
      {"429496729.6", 1, 4, false, 100350, 0},  // made up to its decimals, past 32 bits
  };
  for (auto& r : rows) {
    int64_t v = 0;
    uint32_t st = 7;
    uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    const int ok = bin_etoi(r.text, &v, out, r.decimals, strlen(r.text), r.width, r.is_signed, &st);
    EXPECT_EQ(ok, r.status == 0) << r.text;
    EXPECT_EQ(st, r.status) << r.text;
    if (!ok) continue;
    EXPECT_EQ(v, r.value) << r.text;
    const int w = r.width == 1 || r.width == 2 ? r.width : 4;
    for (int b = 0; b < w; ++b) EXPECT_EQ(out[b], static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * b))) << r.text;
    if (w < 4) {
      EXPECT_EQ(out[w], 0xAA) << r.text;
    }
  }
}

TEST_F(ElementBuild, ElementsOfTheOtherKinds) {
  DesignBuilder b("APP", "01", kScope);
  dd_ctx c = context(b);
  auto base_dom = domain({4, 1, "XXXXXXXXXX"});
  auto base_fld = field("BASE");
  built base;
  ASSERT_EQ(bld_elem(&c, base_dom.data(), base_fld.data(), base.e.data()), 1);
  st_le16(base.e.data(), ELEM_OFFSET, 20);
  // Without storage: its file, sequence and binaries stay, so two such
  // fields are told apart by key 4 and found by their file.
  auto none = field("NOTE");
  none[FLD_KIND] = 3;
  memcpy(none.data() + FLD_FILE, "CUSTOMER", 8);
  st_le32(none.data(), FLD_SEQ, 7);
  st_le32(none.data(), FLD_BINARIES, 11);
  st_le32(none.data(), FLD_BINARIES + 4, 12);
  built x;
  x.e = base.e;
  cpy_elem(none.data(), x.e.data());
  EXPECT_EQ(text(x.e.data() + ELEM_FILE, 8), "CUSTOMER");
  EXPECT_EQ(ld_le32(x.e.data(), ELEM_SEQ), 7u);
  EXPECT_EQ(ld_le32(x.e.data(), ELEM_BINARIES + 4), 12u);
  EXPECT_EQ(ld_le32(x.e.data(), ELEM_NUMBER), 0u);
  EXPECT_EQ(x.size(), 0);
  EXPECT_EQ(x.type(), 0);
  EXPECT_EQ(ld_le16(x.e.data(), ELEM_OCCURS), 1);
  EXPECT_EQ(x.e[ELEM_KEY_ROLE], 255);
  EXPECT_EQ(x.e[ELEM_CLASS], '0');
  EXPECT_EQ(trimmed(x.e.data() + ELEM_MASK, 60), "");
  // A substring over the base: its own place and size, the base's type.
  auto sub = field("PART");
  sub[FLD_KIND] = 4;
  memcpy(sub.data() + FLD_REF, "BASE", 4);
  st_le16(sub.data(), FLD_SUB_FIRST, 3);
  st_le16(sub.data(), FLD_SUB_SIZE, 4);
  x.e = base.e;
  cpy_elem(sub.data(), x.e.data());
  EXPECT_EQ(ld_le16(x.e.data(), ELEM_OFFSET), 22);
  EXPECT_EQ(x.size(), 4);
  EXPECT_EQ(x.type(), 1);
  EXPECT_EQ(trimmed(x.e.data() + ELEM_NAME, 22), "PART");
  EXPECT_EQ(trimmed(x.e.data() + ELEM_DOMAIN, 22), "BASE");
  EXPECT_EQ(trimmed(x.e.data() + ELEM_HEAD2, 30), "PART");
  EXPECT_EQ(trimmed(x.e.data() + ELEM_MASK, 60), "");
  EXPECT_EQ(x.e[ELEM_FORM_BYTE], 2);
  // A synonym: the base's place, size and mask under its own name.
  auto syn = field("ALIAS");
  syn[FLD_KIND] = 5;
  x.e = base.e;
  cpy_elem(syn.data(), x.e.data());
  EXPECT_EQ(ld_le16(x.e.data(), ELEM_OFFSET), 20);
  EXPECT_EQ(x.size(), 10);
  EXPECT_EQ(trimmed(x.e.data() + ELEM_MASK, 60), "XXXXXXXXXX");
  EXPECT_EQ(trimmed(x.e.data() + ELEM_NAME, 22), "ALIAS");
  // A group header: sizes left to the file's compile.
  auto grp = field("GRP");
  grp[FLD_KIND] = 2;
  cpy_elem(grp.data(), x.e.data());
  EXPECT_EQ(x.size(), 0);
  EXPECT_EQ(trimmed(x.e.data() + ELEM_LABEL, 30), "GRP");
  EXPECT_EQ(x.e[ELEM_DOM_REL], 255);
  EXPECT_EQ(x.e[ELEM_CHAR_FLAG], '1');
}

// The builder and the dictionary compiler give one field the same element.
TEST_F(ElementBuild, BuilderAndCompilerAgree) {
  build(R"(APPLICATION APP 01
FILE SAME number=1000001
  AMT  B2.2S mask="-99.99" init="-1.5"
  QTY  P5.2  mask="99999.99" init="12.5"
  DAY  D7:7-5 mask="77/66/55"
  NAME A6    mask="XXXXXX" init="AB"
  FLAG L     init="Y"
END
)",
        "APP");
  DesignBuilder b("APP", "01", kScope);
  dd_ctx c = context(b);
  struct row {
    const char* name;
    dom_def d;
    const char* init;
  } rows[] = {{"AMT", {1, 1, "-99.99"}, "-1.5"},
              {"QTY", {1, 2, "99999.99"}, "12.5"},
              {"DAY", {2, 1, "77/66/55"}, ""},
              {"NAME", {4, 1, "XXXXXX"}, "AB"},
              {"FLAG", {3, 0, ""}, "Y"}};
  auto elems = records(DF_ELEMENT, "01", "APP");
  auto inits = records(DF_INITIAL, "01", "APP");
  ASSERT_EQ(inits.size(), 2u);
  for (auto& r : rows) {
    const uint8_t* be = nullptr;
    for (auto& e : elems)
      if (trimmed(e.data() + ELEM_NAME, 22) == r.name) be = e.data();
    ASSERT_NE(be, nullptr) << r.name;
    auto dom = domain(r.d);
    auto fld = field(r.name);
    memcpy(fld.data() + FLD_INIT, r.init, strlen(r.init));
    built x;
    ASSERT_EQ(bld_elem(&c, dom.data(), fld.data(), x.e.data()), 1) << r.name;
    EXPECT_EQ(x.type(), be[ELEM_TYPE]) << r.name;
    EXPECT_EQ(x.size(), ld_le16(be, ELEM_SIZE)) << r.name;
    EXPECT_EQ(text(x.e.data() + ELEM_MASK, 60), text(be + ELEM_MASK, 60)) << r.name;
    const uint16_t off = ld_le16(be, ELEM_OFFSET);
    std::vector<uint8_t> iv(x.size()), nv(x.size());
    c.init_buf = iv.data() - 0, c.null_buf = nv.data();
    st_le16(x.e.data(), ELEM_OFFSET, 0);
    ASSERT_EQ(init_etoi(&c, x.e.data()), 1) << r.name;
    ASSERT_EQ(null_etoi(&c, x.e.data()), 1) << r.name;
    EXPECT_EQ(text(iv.data(), iv.size()), text(inits[0].data() + INIT_DATA + off, iv.size())) << r.name;
    EXPECT_EQ(text(nv.data(), nv.size()), text(inits[1].data() + INIT_DATA + off, nv.size())) << r.name;
  }
}

}  // namespace
}  // namespace kivo::test
