// Alpha fields: masks, alignment, fill, justification, word wrap, unknown
// values, the display round trip, and token fields over a table of tokens.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "../fixtures/hook_override.h"
#include "cnv_test_util.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/text.h"
#include "types/types.h"

namespace kivo {
namespace {

constexpr const char* kPhone = "(###) ###-####";
constexpr const char kUnknownPhone[] = {'(', '?', '?', '?', ')', ' ', '?', '?', '?', '-', '?', '?', '?', '?', 0};

std::string placed(const char* src, int width, int mode, char fill) {
  std::string out(width, '#');
  align_txt(out.data(), width, src, static_cast<int>(strlen(src)), mode, fill);
  return out;
}

TEST(AlphaFields, PhoneMaskKeepsItsLiterals) {
  cnv_fix f(14, 0, ' ', kPhone);
  char out[14];
  apply_msk(out, 14, "5551234567", 10, f.c.ta.alp.mask, ALN_ASIS, ' ');
  EXPECT_EQ(std::string(out, 14), "(555) 123-4567");
  EXPECT_EQ(f.read("(555) 123-4567"), "(555) 123-4567");
  // A changed digit; typing over a literal changes nothing.
  EXPECT_EQ(f.show(f.read("(555)x193-4567")), "(555) 193-4567");
}

TEST(AlphaFields, AlignmentAndFill) {
  const std::tuple<int, char, const char*, const char*> rows[] = {
      {ALN_RIGHT, '*', "ABC", "*****ABC"},  {ALN_CENTRE, '*', "ABC", "***ABC**"},
      {ALN_LEFT, '*', "ABC  ", "ABC*****"}, {ALN_ASIS, '*', " AB ", "*AB*****"},
      {ALN_RIGHT, ' ', "ABC", "     ABC"},  {ALN_CENTRE, ' ', "ABCD", "  ABCD  "},
      {ALN_RIGHT, '*', "   ", "        "},  {ALN_LEFT, '*', "ABCDEFGHIJ", "ABCDEFGH"},
  };
  for (auto [mode, fill, src, shown] : rows) EXPECT_EQ(placed(src, 8, mode, fill), shown) << mode << src;
}

// Each gap keeps its blank and takes its share of the free columns, the
// first gaps one more, so the row ends at its last column.
TEST(AlphaFields, JustifiedRowsEndAtTheLastColumn) {
  EXPECT_EQ(placed("A BB CCC", 12, ALN_JUST, '*'), "A   BB   CCC");
  EXPECT_EQ(placed("A BB CCC", 13, ALN_JUST, '*'), "A    BB   CCC");
  EXPECT_EQ(placed("A B C D", 6, ALN_JUST, '*'), "A  B C");
  cnv_fix f(30, 2, ' ', nullptr, 3, 10, true);  // wrapped rows keep their last column free
  EXPECT_EQ(f.show("aa bb cc dd ee ff gg"), "aa  bb cc dd  ee ff gg        ");
}

TEST(AlphaFields, WordWrapWithParagraphMarks) {
  com_fill(0, nullptr);
  const std::string mark(1, char(com.parag_char)), second(1, char(com.uscore_char));
  std::tuple<uint8_t, bool, std::string, std::string> rows[] = {
      {1, true, "the quick brown fox", "the quick brown fox "},
      {1, true, "one" + mark + "two three", "one" + mark + "      two three"},
      {1, false, "one" + mark + "two" + second + "x", "one       two x"},
      {1, true, "abcdefghijklmnop", "abcdefghijklmnop"},
      {3, true, "abcdefghijklmnop", "    abcdefghijklmnop"},
  };
  for (auto& [rule, entry, stored, shown] : rows) {
    cnv_fix f(40, rule, ' ', nullptr, 3, 10, true, entry);
    shown.resize(30, ' ');
    EXPECT_EQ(f.show(stored), shown) << stored;
    EXPECT_TRUE(f.guards());
  }
}

TEST(AlphaFields, OnlyFillCharactersStoreOneFillCharacter) {
  for (uint8_t rule : {1, 3, 4}) {
    cnv_fix f(8, rule, '*');
    EXPECT_EQ(f.read("********"), "*       ") << int(rule);
    EXPECT_EQ(f.read("        "), "        ");
  }
}

TEST(AlphaFields, UnknownValueShowsQuestionMarksAroundTheLiterals) {
  cnv_fix f(14, 0, ' ', kPhone);
  for (const auto& [mode, value, result, shown] :
       {std::tuple<uint8_t, bool, int, std::string>{3, true, 1, kUnknownPhone},
        {0, false, 0, kUnknownPhone},
        {2, true, 1, std::string(14, ' ')}}) {
    f.c.addr_mode = mode;
    f.vp = value ? f.val : nullptr;
    EXPECT_EQ(cv_itoe(&f.c), result);
    EXPECT_EQ(f.shown(), shown);
  }
}

// Over several rows the text flows on, aligned over the whole area.
TEST(AlphaFields, SeveralRowsStayInsideTheirRows) {
  cnv_fix f(20, 3, '.', nullptr, 2, 6);
  EXPECT_EQ(f.read(f.show("abcdefgh")), "abcdefgh" + std::string(12, ' '));
  cnv_fix m(11, 0, ' ', "##-##-##-##", 2, 6);
  EXPECT_EQ(m.show("ab-cd-ef-gh"), "ab-cd-ef-gh ");
  EXPECT_TRUE(f.guards() && m.guards());
}

TEST(AlphaFields, TranslationRunsBothWays) {
  kivo_test::scoped_hook xlate(types_hooks.xlate_fld, [](const CNV*, const char* dir, char* t, int n) {
    for (int i = 0; i < n; ++i) t[i] = static_cast<char>(dir[0] == 'D' ? tolower(t[i]) : toupper(t[i]));
    return 1;
  });
  cnv_fix f(6, 1);
  cv_set_xlate(&f.c, "0LA", "0LA", "00", std::string(22, 'T').data(), 1);
  EXPECT_EQ(f.show("abc"), "ABC   ");
  EXPECT_EQ(f.read("ABC   "), "abc   ");
}

// A stored value shown and read back is stored again unchanged, for every
// alignment, fill and mask kind, given a text as the field would store it.
TEST(AlphaRoundTrip, ShownAndReadBackStoresTheSame) {
  std::mt19937 rng(7);
  const char* masks[] = {nullptr, kPhone, "##/##-@@"};
  for (int iter = 0; iter < 600; ++iter) {
    const char fill = (iter / 5) % 2 ? '*' : ' ';
    const char* mask = masks[(iter / 10) % 3];
    cnv_fix f(14, static_cast<uint8_t>(iter % 5), fill, mask);
    std::string data;  // words separated by single blanks
    const int n = static_cast<int>(rng() % (mask ? 11 : 15));
    for (int k = 0; k < n; ++k)
      data += (k && k + 1 < n && data.back() != ' ' && rng() % 4 == 0) ? ' ' : "ABCxyz019"[rng() % 9];
    char v[14];
    if (mask && n) apply_msk(v, 14, data.data(), n, f.c.ta.alp.mask, f.c.ta.alp.align_mode, fill);
    else align_txt(v, 14, data.data(), n, ALN_ASIS, ' ');
    const std::string stored(v, 14), shown = f.show(stored);
    EXPECT_EQ(f.read(shown), stored) << iter << "|" << shown;
  }
}

// --- tokens: group 7 (domain REGION) behind the hooks ---

const char* const kTokens[] = {"", "NORTH", "CENTRE", "SOUTH", "", "EAST", "", "", "", "WEST"};  // by code
int g_loads, g_text_reads;
int32_t code_of(const uint8_t* rec) { return static_cast<int32_t>(ld_le32(rec, kTokenRecCode)); }

int token_rec(int32_t code, uint8_t* rec) {
  if (code < 0 || code > 9 || !*kTokens[code]) return 0;
  memset(rec, 0, kTokenRecLen);
  st_le16(rec, 0, 7);
  st_le32(rec, kTokenRecCode, static_cast<uint32_t>(code));
  ut_cpy_fill(reinterpret_cast<char*>(rec + kTokenRecText), kTokens[code], kTokenTextLen);
  return 1;
}

const token_hooks kTableHooks{
    [](const char*, const char*, uint8_t, const char* grp) -> uint32_t {
      return ++g_loads, memcmp(grp, "REGION ", 7) == 0 ? 7 : 0;
    },
    [](uint32_t g, const char* text, uint8_t* rec) {
      ++g_text_reads;
      for (int32_t code = 0; code <= 9; ++code)
        if (g == 7 && token_rec(code, rec) && memcmp(rec + kTokenRecText, text, kTokenTextLen) == 0) return 1;
      return 0;
    },
    [](uint32_t g, int32_t code, uint8_t* rec) -> int { return g == 7 && token_rec(code, rec); }, nullptr, nullptr};

class Tokens : public ::testing::Test {
 protected:
  cnv_fix f;
  void SetUp() override {
    g_loads = g_text_reads = 0;
    hooks_.set(types_hooks.tokens, kTableHooks);
  }
  kivo_test::hook_overrides hooks_;
  void field(uint8_t type, uint16_t size) {
    f.make(type, size);
    memcpy(f.elem + ELEM_DOMAIN, "REGION", 6);
    st_le16(f.elem, ELEM_CODE_LEN, 10);
    cv_get_cnv(&f.c, f.elem);
    f.bind();
  }
};

TEST_F(Tokens, GroupIsLoadedOnce) {
  field(ELEM_BIN, 2);
  EXPECT_EQ(f.c.cnv_type * 100 + f.c.ext_cols, ELEM_ALP * 100 + 10);
  EXPECT_EQ(f.c.ta.alp.token_id, 7u);
  st_le16(f.val, 0, 3);
  cv_itoe(&f.c);
  EXPECT_EQ(f.shown(), "SOUTH     ");
  EXPECT_EQ(g_loads, 1);
}

TEST_F(Tokens, BlankTextIsNoCodeWithoutALookUp) {
  std::string t(30, ' ');
  EXPECT_EQ(code_of(cv_get_token(7, t.data(), 0, 0)), -1);
  EXPECT_EQ(g_text_reads, 0);
  t.replace(0, 7, "NOWHERE");
  EXPECT_EQ(code_of(cv_get_token(7, t.data(), 0, 0)), -1);
  EXPECT_EQ(cv_get_token(7, t.data(), 0, 1), nullptr);
  EXPECT_EQ(cv_get_token(7, nullptr, 4, 0), nullptr);
  EXPECT_EQ(code_of(cv_get_token(7, nullptr, -1, 0)), -1);
}

TEST_F(Tokens, CodesShowTheirTextBlankOrQuestionMarks) {
  field(ELEM_BIN, 4);
  const std::tuple<int32_t, const char*, int> rows[] = {
      {1, "NORTH     ", 1}, {-1, "          ", 1}, {4, "??????????", 0}};
  for (auto [code, shown, result] : rows) {
    st_le32(f.val, 0, static_cast<uint32_t>(code));
    EXPECT_EQ(cv_itoe(&f.c), result);
    EXPECT_EQ(f.shown(), shown);
  }
}

// A mistyped entry is refused, the stored code kept; a blank stores "no code".
TEST_F(Tokens, EntriesStoreCodesAndRefuseUnknownTexts) {
  field(ELEM_BIN, 2);
  const std::tuple<const char*, int, int32_t> rows[] = {
      {"WEST      ", 1, 9}, {"WESTX     ", 0, 9}, {"          ", 1, -1}, {"east      ", 0, -1}};
  for (auto [typed, result, code] : rows) {
    f.type(typed);
    EXPECT_EQ(cv_etoi(&f.c), result) << typed;
    EXPECT_EQ(static_cast<int16_t>(ld_le16(f.val, 0)), code) << typed;
    EXPECT_EQ(f.c.cnv_status, result ? CV_OK : CV_NOT_TOKEN);
  }
  f.type("EAST      ");  // a typed constant takes the code
  ASSERT_EQ(cv_universal(&f.c, 1, nullptr, nullptr), 1);
  EXPECT_EQ(ld_le16(f.c.int_addr, 0), 5);
}

TEST_F(Tokens, CheckedTextsAreRefusedBeforeStoring) {
  field(ELEM_ALP, 10);
  EXPECT_EQ(f.c.ta.alp.token_check, 1);
  EXPECT_EQ(f.read("EAST      "), "EAST      ");
  EXPECT_EQ(f.read("EASTT     "), "refused");
  EXPECT_EQ(f.c.cnv_status, CV_NOT_TOKEN);
  EXPECT_EQ(f.stored(), "EAST      ");
  char n1[8], n2[8], ap[3], ver[2];
  EXPECT_EQ(cv_get_token_info(99, n1, n2, ap, ver), 0);
}

}  // namespace
}  // namespace kivo
