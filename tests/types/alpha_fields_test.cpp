// Alpha fields: masks, alignment and fill, justification, word wrap, unknown
// values, the round trip of display and stored text, and token fields over a
// token table put behind the look-up hooks.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "cnv_test_util.h"
#include "foundation/bytes.h"
#include "foundation/com.h"

namespace kivo {
namespace {

constexpr const char* kPhone = "(###) ###-####";
constexpr const char kUnknownPhone[] = {'(', '?', '?', '?', ')', ' ', '?', '?', '?', '-', '?', '?', '?', '?', 0};

class AlphaFields : public ::testing::Test {
 protected:
  void SetUp() override { com_fill(0, nullptr); }
};

TEST_F(AlphaFields, PhoneMaskKeepsItsLiterals) {
  char out[14];
  apply_msk(out, 14, "5551234567", 10, kPhone, ALN_ASIS, ' ');
  EXPECT_EQ(std::string(out, 14), "(555) 123-4567");
  cnv_fix f(14, 0, ' ', kPhone);
  f.type("(555) 123-4567");
  ASSERT_EQ(cv_etoi(&f.c), 1);
  EXPECT_EQ(f.stored(), "(555) 123-4567");
  f.dsp[7] = '9';  // a changed digit
  f.dsp[5] = 'x';  // typing over a literal changes nothing
  ASSERT_EQ(cv_etoi(&f.c), 1);
  EXPECT_EQ(f.stored(), "(555) 193-4567");
  EXPECT_EQ(f.show(f.stored()), "(555) 193-4567");
}

TEST_F(AlphaFields, AlignmentAndFill) {
  struct row {
    int mode;
    char fill;
    const char* src;
    const char* shown;
  } rows[] = {
      {ALN_RIGHT, '*', "ABC", "*****ABC"},  {ALN_CENTRE, '*', "ABC", "***ABC**"},
      {ALN_LEFT, '*', "ABC  ", "ABC*****"}, {ALN_ASIS, '*', " AB ", "*AB*****"},
      {ALN_RIGHT, ' ', "ABC", "     ABC"},  {ALN_CENTRE, ' ', "ABCD", "  ABCD  "},
      {ALN_RIGHT, '*', "   ", "        "},  {ALN_LEFT, '*', "ABCDEFGHIJ", "ABCDEFGH"},
  };
  for (const row& r : rows) {
    char out[9] = "########";
    align_txt(out, 8, r.src, static_cast<int>(strlen(r.src)), r.mode, r.fill);
    EXPECT_EQ(std::string(out, 8), r.shown) << r.mode << r.src;
  }
}

// Each gap keeps its blank and takes its share of the free columns, the
// first gaps one more, so the row ends at its last column.
TEST_F(AlphaFields, JustifiedRowsEndAtTheLastColumn) {
  struct row {
    int width;
    const char* src;
    const char* shown;
  } rows[] = {{12, "A BB CCC", "A   BB   CCC"},
              {13, "A BB CCC", "A    BB   CCC"},
              {10, "WORD", "WORD      "},
              {6, "A B C D", "A  B C"}};
  for (const row& r : rows) {
    char out[16];
    align_txt(out, r.width, r.src, static_cast<int>(strlen(r.src)), ALN_JUST, '*');
    EXPECT_EQ(std::string(out, r.width), r.shown);
  }
  cnv_fix f(30, 2, ' ', nullptr, 3, 10, true);  // wrapped rows keep their last column free
  EXPECT_EQ(f.show("aa bb cc dd ee ff gg"), "aa  bb cc dd  ee ff gg        ");
}

TEST_F(AlphaFields, WordWrapWithParagraphMarks) {
  const std::string mark(1, static_cast<char>(com.parag_char));
  const std::string second(1, static_cast<char>(com.uscore_char));
  struct row {
    uint8_t rule;
    bool entry;
    std::string stored;
    std::string shown;
  } rows[] = {
      {1, true, "the quick brown fox", "the quick brown fox "},
      {1, true, "one" + mark + "two three", "one" + mark + "      two three   "},
      {1, false, "one" + mark + "two" + second + "x", "one       two x                "},
      {1, true, "abcdefghijklmnop", "abcdefghijklmnop    "},
      {3, true, "abcdefghijklmnop", "    abcdefghijklmnop"},
  };
  for (const row& r : rows) {
    cnv_fix f(40, r.rule, ' ', nullptr, 3, 10, true, r.entry);
    std::string want = r.shown;
    want.resize(30, ' ');
    EXPECT_EQ(f.show(r.stored), want) << r.stored;
    EXPECT_TRUE(f.guards());
  }
}

TEST_F(AlphaFields, OnlyFillCharactersStoreOneFillCharacter) {
  for (uint8_t rule : {1, 3, 4}) {
    cnv_fix f(8, rule, '*');
    f.type("********");
    ASSERT_EQ(cv_etoi(&f.c), 1);
    EXPECT_EQ(f.stored(), "*       ") << int(rule);
    f.type("        ");
    ASSERT_EQ(cv_etoi(&f.c), 1);
    EXPECT_EQ(f.stored(), "        ");
  }
}

TEST_F(AlphaFields, UnknownValueShowsQuestionMarksAroundTheLiterals) {
  cnv_fix f(14, 0, ' ', kPhone);
  f.c.addr_mode = 3;
  EXPECT_EQ(cv_itoe(&f.c), 1);
  EXPECT_EQ(f.shown(), kUnknownPhone);
  f.vp = nullptr;  // no value at all
  f.c.addr_mode = 0;
  EXPECT_EQ(cv_itoe(&f.c), 0);
  EXPECT_EQ(f.shown(), kUnknownPhone);
  f.c.addr_mode = 2;
  EXPECT_EQ(cv_itoe(&f.c), 1);
  EXPECT_EQ(f.shown(), std::string(14, ' '));
}

// Over several rows the text flows on, aligned over the whole area; the
// bytes between rows are not the field's.
TEST_F(AlphaFields, SeveralRowsStayInsideTheirRows) {
  cnv_fix f(20, 3, '.', nullptr, 2, 6);
  EXPECT_EQ(f.show("abcdefgh"), "....abcdefgh");
  EXPECT_TRUE(f.guards());
  ASSERT_EQ(cv_etoi(&f.c), 1);
  EXPECT_EQ(f.stored(), "abcdefgh" + std::string(12, ' '));
  cnv_fix m(11, 0, ' ', "##-##-##-##", 2, 6);
  EXPECT_EQ(m.show("ab-cd-ef-gh"), "ab-cd-ef-gh ");
  EXPECT_TRUE(m.guards());
}

TEST_F(AlphaFields, TranslationRunsBothWays) {
  set_xlate_fld_hook([](const CNV*, const char* dir, char* t, int n) {
    for (int i = 0; i < n; ++i) t[i] = static_cast<char>(dir[0] == 'D' ? tolower(t[i]) : toupper(t[i]));
    return 1;
  });
  cnv_fix f(6, 1);
  cv_set_xlate(&f.c, "0LA", "0LA", "00", "T", 1);
  EXPECT_EQ(f.show("abc"), "ABC   ");
  ASSERT_EQ(cv_etoi(&f.c), 1);
  EXPECT_EQ(f.stored(), "abc   ");
  set_xlate_fld_hook(nullptr);
}

// A stored value shown and read back is stored again unchanged, for every
// alignment, fill and mask kind, given a text as the field would store it.
TEST(AlphaRoundTrip, ShownAndReadBackStoresTheSame) {
  com_fill(0, nullptr);
  std::mt19937 rng(7);
  const char* masks[] = {nullptr, kPhone, "##/##-@@"};
  const char alphabet[] = "ABCxyz019";
  for (int iter = 0; iter < 600; ++iter) {
    const uint8_t rule = static_cast<uint8_t>(iter % 5);
    const char fill = (iter / 5) % 2 ? '*' : ' ';
    const char* mask = masks[(iter / 10) % 3];
    cnv_fix f(14, rule, fill, mask);
    // Words of the alphabet separated by single blanks, no leading blank.
    std::string data;
    const int n = static_cast<int>(rng() % (mask ? 11 : 15));
    for (int k = 0; k < n; ++k)
      data += (k && k + 1 < n && data.back() != ' ' && rng() % 4 == 0) ? ' ' : alphabet[rng() % 9];
    char v[14];
    if (mask && n) apply_msk(v, 14, data.data(), n, f.c.ta.alp.mask, f.c.ta.alp.align_mode, fill);
    else align_txt(v, 14, data.data(), n, ALN_ASIS, ' ');
    const std::string stored(v, 14);
    const std::string shown = f.show(stored);
    ASSERT_EQ(cv_etoi(&f.c), 1);
    EXPECT_EQ(f.stored(), stored) << int(rule) << fill << (mask ? mask : "") << "|" << shown;
  }
}

// --- tokens: a table of two groups behind the hooks ---

struct token_table {
  std::map<std::pair<uint32_t, int32_t>, std::string> rows{
      {{7, 5}, "EAST"}, {{7, 1}, "NORTH"}, {{7, 9}, "WEST"}, {{7, 3}, "SOUTH"}, {{7, 2}, "CENTRE"}};
  int loads = 0, text_reads = 0;
};
token_table* g_tab;

void fill_rec(uint32_t g, int32_t code, const std::string& text, uint8_t* rec) {
  memset(rec, 0, kTokenRecLen);
  st_le16(rec, 0, static_cast<uint16_t>(g));
  st_le32(rec, kTokenRecCode, static_cast<uint32_t>(code));
  memset(rec + kTokenRecText, ' ', kTokenTextLen);
  memcpy(rec + kTokenRecText, text.data(), text.size());
}

const token_hooks kTableHooks{
    [](const char*, const char*, uint8_t, const char* grp) -> uint32_t {
      ++g_tab->loads;
      return memcmp(grp, "REGION", 6) == 0 ? 7 : 0;
    },
    [](uint32_t g, const char* text, uint8_t* rec) {
      ++g_tab->text_reads;
      for (const auto& [k, t] : g_tab->rows)
        if (k.first == g && std::string(text, kTokenTextLen).substr(0, t.size()) == t &&
            std::string(text + t.size(), kTokenTextLen - t.size()).find_first_not_of(' ') == std::string::npos)
          return fill_rec(g, k.second, t, rec), 1;
      return 0;
    },
    [](uint32_t g, int32_t code, uint8_t* rec) {
      auto it = g_tab->rows.find({g, code});
      return it == g_tab->rows.end() ? 0 : (fill_rec(g, code, it->second, rec), 1);
    },
    [](uint32_t g, int max, uint8_t* out) {
      int n = 0;
      for (const auto& [k, t] : g_tab->rows)
        if (k.first == g && (!max || n < max)) fill_rec(g, k.second, t, out + kTokenRecLen * n++);
      return n;
    },
    nullptr,
};

class Tokens : public ::testing::Test {
 protected:
  token_table tab;
  void SetUp() override {
    com_fill(0, nullptr);
    g_tab = &tab;
    set_token_hooks(kTableHooks);
  }
  void TearDown() override { set_token_hooks({}); }
  // A field of `size` bytes with the token of domain REGION.
  void field(cnv_fix& f, uint8_t type, int size) {
    INIT_ALP_DELEM(f.elem, static_cast<uint16_t>(size));
    f.elem[ELEM_TYPE] = type;
    memcpy(f.elem + ELEM_DOMAIN, "REGION", 6);
    st_le16(f.elem, ELEM_CODE_LEN, 10);
    cv_get_cnv(&f.c, f.elem);
    f.bind();
  }
};

TEST_F(Tokens, GroupIsLoadedOnce) {
  cnv_fix f;
  field(f, ELEM_BIN, 2);
  EXPECT_EQ(f.c.cnv_type, ELEM_ALP);
  EXPECT_EQ(f.c.ext_cols, 10);
  EXPECT_EQ(f.c.ta.alp.token_id, 7u);
  st_le16(f.val, 0, 3);
  cv_itoe(&f.c);
  EXPECT_EQ(f.shown(), "SOUTH     ");
  EXPECT_EQ(tab.loads, 1);
}

TEST_F(Tokens, BlankTextIsNoCodeWithoutALookUp) {
  const uint8_t* r = cv_get_token(7, std::string(30, ' ').data(), 0, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(static_cast<int32_t>(ld_le32(r, kTokenRecCode)), -1);
  EXPECT_EQ(tab.text_reads, 0);
  std::string t = "NOWHERE";
  t.resize(30, ' ');
  EXPECT_EQ(static_cast<int32_t>(ld_le32(cv_get_token(7, t.data(), 0, 0), kTokenRecCode)), -1);
  EXPECT_EQ(cv_get_token(7, t.data(), 0, 1), nullptr);
  EXPECT_EQ(cv_get_token(7, nullptr, 4, 0), nullptr);
  EXPECT_EQ(static_cast<int32_t>(ld_le32(cv_get_token(7, nullptr, -1, 0), kTokenRecCode)), -1);
  uint8_t list[5 * kTokenRecLen];
  EXPECT_EQ(cv_get_token_list(7, 0, 2, list), 2);
  EXPECT_EQ(ld_le32(list + kTokenRecLen, kTokenRecCode), 2u);
}

TEST_F(Tokens, CodesShowTheirTextBlankOrQuestionMarks) {
  struct row {
    int32_t code;
    const char* shown;
    int result;
  } rows[] = {{1, "NORTH     ", 1}, {-1, "          ", 1}, {4, "??????????", 0}};
  cnv_fix f;
  field(f, ELEM_BIN, 4);
  for (const row& r : rows) {
    st_le32(f.val, 0, static_cast<uint32_t>(r.code));
    EXPECT_EQ(cv_itoe(&f.c), r.result);
    EXPECT_EQ(f.shown(), r.shown);
  }
}

// A mistyped entry is refused and the stored code stays; only a blank
// entry stores "no code".
TEST_F(Tokens, EntriesStoreCodesAndRefuseUnknownTexts) {
  struct row {
    const char* typed;
    int result;
    int32_t code;
  } rows[] = {{"WEST      ", 1, 9}, {"WESTX     ", 0, 9}, {"          ", 1, -1}, {"east      ", 0, -1}};
  cnv_fix f;
  field(f, ELEM_BIN, 2);
  for (const row& r : rows) {
    f.type(r.typed);
    EXPECT_EQ(cv_etoi(&f.c), r.result) << r.typed;
    EXPECT_EQ(static_cast<int16_t>(ld_le16(f.val, 0)), r.code) << r.typed;
    EXPECT_EQ(f.c.cnv_status, r.result ? CV_OK : CV_NOT_TOKEN);
  }
}

TEST_F(Tokens, CheckedTextsAreRefusedBeforeStoring) {
  cnv_fix f;
  field(f, ELEM_ALP, 10);
  EXPECT_EQ(f.c.ta.alp.token_check, 1);
  f.type("EAST      ");
  ASSERT_EQ(cv_etoi(&f.c), 1);
  f.type("EASTT     ");
  EXPECT_EQ(cv_etoi(&f.c), 0);
  EXPECT_EQ(f.c.cnv_status, CV_NOT_TOKEN);
  EXPECT_EQ(f.stored(), "EAST      ");
  char n1[8], n2[8], ap[3], ver[2];
  EXPECT_EQ(cv_get_token_info(99, n1, n2, ap, ver), 0);
}

}  // namespace
}  // namespace kivo
