// Utilities: fixed-width text, centring that stays inside its destination,
// text grids, hex dumps, rectangle subdivision, the key trie, the password
// scramble, growable buffers and the OPT and date-mask lookups.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "../fixtures/hook_override.h"
#include "foundation/app_date_mask.h"
#include "foundation/foundation.h"
#include "foundation/hex_dump.h"
#include "foundation/key_trie.h"
#include "foundation/opt_token.h"
#include "foundation/password.h"
#include "foundation/rect.h"
#include "foundation/scratch.h"
#include "foundation/text.h"
#include "foundation/text_grid.h"
#include "test_support.h"

namespace kivo {
namespace {

class Utilities : public test::Fresh {};

TEST_F(Utilities, FixedWidthTextHelpers) {
  EXPECT_EQ(2u, ut_buflen("AB  ", 4));
  EXPECT_EQ(0u, ut_buflen("    ", 4));
  char f[7] = "xxxxxx";
  ut_cpy_fill(f, "ABC", 6);
  EXPECT_EQ("ABC   ", std::string(f, 6));
  ut_cpy_fill(f, "QRSTUVWX", 6);  // no NUL within n: n bytes as they are
  EXPECT_EQ("QRSTUV", std::string(f, 6));
  struct {
    int width;
    uint32_t value;
    const char* want;
  } itoa_cases[] = {{4, 7, "0007|"}, {3, 12345, "345|"}, {10, 4294967295u, "4294967295|"}, {11, 7, "|"}};
  for (auto& c : itoa_cases) {
    char buf[16];
    memset(buf, '|', sizeof buf);
    ut_itoa(buf, c.width, c.value);
    EXPECT_EQ(c.want, std::string(buf, strlen(c.want))) << c.width << " " << c.value;
  }
  EXPECT_EQ(124, ut_xlate_secr("12 4"));
  EXPECT_EQ(-1, ut_xlate_secr("    "));
  struct {
    char mode;
    size_t dst_len;
    const char* want;
  } case_cases[] = {{'U', 8, "mIxED Ca"}, {'L', 8, "mixed ca"}, {'C', 8, "mixed ca"}, {'L', 3, "mix#####"}};
  for (auto& c : case_cases) {
    char dst[8];
    memset(dst, '#', sizeof dst);
    EXPECT_EQ(c.dst_len, ut_cpy_case(c.mode, dst, c.dst_len, "mIxED CaSE", 10));
    EXPECT_EQ(c.want, std::string(dst, 8)) << c.mode;
  }
  char dst[4] = "abc";
  EXPECT_EQ(0u, ut_cpy_case('X', dst, 3, "xyz", 3));
  EXPECT_TRUE(reported("cpy_case() - bad cnv type"));
  EXPECT_EQ("abc", std::string(dst, 3));
}

TEST_F(Utilities, CenterStaysInsideItsDestination) {
  struct {
    size_t dst_len;
    const char* src;
    const char* want;
  } cases[] = {
      {8, "AB", "...AB..."},           {8, "AB    ", "...AB..."}, {8, "ABCDEFGH", "ABCDEFGH"},
      {8, "ABCDEFGHIJKL", "ABCDEFGH"}, {5, "ABC  ", ".ABC."},     {4, "    ", "...."},
  };
  for (auto& c : cases) {
    char area[16];
    memset(area, '.', sizeof area);
    ut_center(area + 4, c.dst_len, c.src, strlen(c.src));
    EXPECT_EQ("....", std::string(area, 4)) << c.src;  // nothing before the destination
    EXPECT_EQ(c.want, std::string(area + 4, c.dst_len)) << c.src;
    EXPECT_EQ(std::string(12 - c.dst_len, '.'), std::string(area + 4 + c.dst_len, 12 - c.dst_len)) << c.src;
  }
  com.scr_cols = 20;
  testing::internal::CaptureStdout();
  center("HELLO   ", 8);
  center("HI", 0);
  center("A LINE LONGER THAN THE SCREEN", 0);
  EXPECT_EQ("       HELLO\n         HI\nA LINE LONGER THAN THE SCREEN\n", testing::internal::GetCapturedStdout());
}

TEST_F(Utilities, TextGridWritesAreCutToTheirRow) {
  ut_bg* g = ut_alloc_bg(mm_pool_id, 3, 10);
  ASSERT_NE(nullptr, g);
  ut_bg_cpy(g, "ABCDE", 1, 8);
  ut_bg_ncpy(g, "123456", 2, 1, 3);
  ut_bg_center(g, "MID", 3);
  struct {
    const char* text;
    int row, col;
    size_t max;
  } ignored[] = {{"X", 0, 1, 5}, {"X", 4, 1, 5}, {"X", 1, 0, 5}, {"X", 1, 11, 5}, {nullptr, 1, 1, 5}, {"X", 2, 5, 0}};
  for (auto& w : ignored) ut_bg_ncpy(g, w.text, w.row, w.col, w.max);
  EXPECT_EQ("       ABC", std::string(ut_bg_row(g, 1), 10));
  EXPECT_EQ("123       ", std::string(ut_bg_row(g, 2), 10));
  EXPECT_EQ("   MID    ", std::string(ut_bg_row(g, 3), 10));
  ut_bg_center(g, "A TEXT WIDER THAN THE ROW", 2);
  EXPECT_EQ("A TEXT WID", std::string(ut_bg_row(g, 2), 10));
  EXPECT_EQ("   MID    ", std::string(ut_bg_row(g, 3), 10));
  EXPECT_EQ(nullptr, ut_alloc_bg(mm_pool_id, 0, 10));
  uint32_t blocks = mm_total_blocks();
  ut_free_bg(g);
  EXPECT_EQ(blocks - 1, mm_total_blocks());
}

std::string dump(const std::string& bytes) {
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  ut_hex_dump(f, bytes.data(), bytes.size());
  fclose(f);
  std::string out(text, size);
  free(text);
  return out;
}

TEST_F(Utilities, HexDumpLines) {
  const std::string head = "          0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F\n";
  const std::string sixteen = "0123456789ABCDE\x7f";
  const std::string full = "     0   30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 7f 0123456789ABCDE.\n";
  struct {
    std::string bytes;
    std::string want;
  } cases[] = {
      {"", head},
      {"\n", head + "     0   0a " + std::string(45, ' ') + "." + std::string(15, ' ') + "\n"},
      {sixteen, head + full},
      {sixteen + "z", head + full + "    10   7a " + std::string(45, ' ') + "z" + std::string(15, ' ') + "\n"},
  };
  for (auto& c : cases) EXPECT_EQ(c.want, dump(c.bytes)) << c.bytes.size() << " bytes";
}

// Every cell of B lies in exactly one of the intersection and the pieces,
// and no piece touches A.
void expect_partition(const ut_rect& a, const ut_rect& b, const ut_subdiv_out& out) {
  auto in = [](const ut_rect& r, int row, int col) {
    return row >= r.tl.row && row <= r.br.row && col >= r.tl.col && col <= r.br.col;
  };
  for (int row = b.tl.row; row <= b.br.row; ++row)
    for (int col = b.tl.col; col <= b.br.col; ++col) {
      int hits = in(out.inter, row, col);
      for (int i = 0; i < out.count; ++i) {
        hits += in(out.piece[i], row, col);
        EXPECT_FALSE(in(out.piece[i], row, col) && in(a, row, col)) << "piece " << i << " inside A";
      }
      EXPECT_EQ(1, hits) << row << "," << col;
    }
}

TEST_F(Utilities, SubdivInsideApartAndOverlappingEachSide) {
  const ut_rect a{{5, 10}, {10, 20}};
  struct {
    const char* name;
    ut_rect b;
    int met, count;
    ut_rect inter;
  } cases[] = {
      {"inside", {{6, 12}, {8, 15}}, 1, 0, {{6, 12}, {8, 15}}},
      {"apart above", {{1, 10}, {4, 20}}, 0, 0, {}},
      {"apart right", {{5, 21}, {10, 30}}, 0, 0, {}},
      {"over the top", {{2, 12}, {6, 15}}, 1, 1, {{5, 12}, {6, 15}}},
      {"over the bottom", {{9, 12}, {14, 15}}, 1, 1, {{9, 12}, {10, 15}}},
      {"over the left", {{6, 4}, {8, 11}}, 1, 1, {{6, 10}, {8, 11}}},
      {"over the right", {{6, 19}, {8, 25}}, 1, 1, {{6, 19}, {8, 20}}},
      {"covering A", {{1, 1}, {20, 40}}, 1, 4, {{5, 10}, {10, 20}}},
      {"corner", {{9, 18}, {12, 24}}, 1, 2, {{9, 18}, {10, 20}}},
  };
  for (auto& c : cases) {
    ut_subdiv_out out{};
    ASSERT_EQ(c.met, ut_subdiv(a.tl, a.br, c.b.tl, c.b.br, &out)) << c.name;
    if (!c.met) continue;
    EXPECT_EQ(c.count, out.count) << c.name;
    EXPECT_EQ(0, memcmp(&c.inter, &out.inter, sizeof(ut_rect))) << c.name;
    expect_partition(a, c.b, out);
  }
  ut_subdiv_out out{};
  const ut_rect above{{1, 12}, {4, 15}};
  ut_subdiv(a.tl, a.br, ut_point{1, 12}, ut_point{6, 15}, &out);
  EXPECT_EQ(0, memcmp(&above, &out.piece[0], sizeof above));
}

std::vector<int> level(const trie_node* n) {
  std::vector<int> codes;
  for (; n; n = n->sibling) codes.push_back(n->code);
  return codes;
}

TEST_F(Utilities, TrieInsertsInOrderAndRefusesRepeats) {
  trie_node root{};
  const uint16_t s1[] = {27, 91, 65, kTrieSeqEnd}, s2[] = {27, 91, kTrieSeqEnd}, s3[] = {10, kTrieSeqEnd},
                 s4[] = {30, kTrieSeqEnd}, s5[] = {20, 5, kTrieSeqEnd}, empty[] = {kTrieSeqEnd};
  trie_node* last = add_trie(&root, s1);
  ASSERT_NE(nullptr, last);
  EXPECT_EQ(65, last->code);
  EXPECT_TRUE(last->end);
  trie_node* inner = add_trie(&root, s2);
  ASSERT_EQ(root.child->child, inner);
  EXPECT_TRUE(inner->end);
  EXPECT_EQ(nullptr, add_trie(&root, s1));
  EXPECT_EQ(nullptr, add_trie(&root, s2));
  EXPECT_EQ(nullptr, add_trie(&root, empty));
  ASSERT_NE(nullptr, add_trie(&root, s4));
  ASSERT_NE(nullptr, add_trie(&root, s3));
  trie_node* t20 = add_trie(&root, s5);
  ASSERT_NE(nullptr, t20);
  EXPECT_EQ((std::vector<int>{10, 20, 27, 30}), level(root.child));
  EXPECT_FALSE(root.child->sibling->end);  // 20 is only a prefix of 20, 5
  uint32_t before = mm_total_blocks();
  free_trie(root.child);
  EXPECT_EQ(before - 7, mm_total_blocks());
  ut_buf b{};  // growable buffers share the scratch pool
  void* p = ut_chk_buf(&b, 100);
  EXPECT_EQ(p, ut_chk_buf(&b, 50));
  ASSERT_NE(nullptr, ut_chk_buf(&b, 4000));
  EXPECT_EQ(4000u, b.size);
  EXPECT_EQ(before - 6, mm_total_blocks());  // the smaller block went back
}

TEST_F(Utilities, PasswordScrambleRoundTripsHidesAndChecksTheOldOne) {
  struct {
    const char* uid;
    const char* pwd;
  } cases[] = {{"ABC", "secret"}, {"BCD", "secret"}, {"ACB", "x"}, {"ZZ9", "29 characters, the most: 1234"}};
  uint8_t field[4][kPwdFieldLen], f2[kPwdFieldLen];
  char out[kPwdFieldLen];
  for (int i = 0; i < 4; ++i) {
    const char *uid = cases[i].uid, *pwd = cases[i].pwd;
    ASSERT_EQ(1, ut_pwd_scramble(field[i], uid, pwd, strlen(pwd))) << uid;
    EXPECT_EQ(std::string::npos, std::string((char*)field[i], kPwdFieldLen).find(pwd)) << uid;
    ASSERT_EQ(strlen(pwd), ut_pwd_unscramble(field[i], uid, out, sizeof out)) << uid;
    EXPECT_EQ(std::string(pwd) + std::string(kPwdFieldLen - strlen(pwd), ' '), std::string(out, sizeof out));
  }
  EXPECT_NE(0, memcmp(field[0], field[1], kPwdFieldLen));  // keyed on the user
  EXPECT_EQ(0, ut_pwd_scramble(f2, "ABC", "a thirty-character password!!!", 30));
  EXPECT_EQ(1, ut_pwd_scramble(f2, "ABC", "    ", 4));
  EXPECT_TRUE(ut_is_all(f2, ' ', kPwdFieldLen));
  memcpy(f2, "plain text                    ", kPwdFieldLen);  // a field never scrambled
  EXPECT_EQ(10u, ut_pwd_unscramble(f2, "ABC", out, sizeof out));
  EXPECT_EQ(4u, ut_pwd_unscramble(field[0], "ABC", out, 4));  // cut, never read as no password
  EXPECT_EQ(PWD_OK, ut_pwd_check_old("secret  ", 8, "secret", 6));
  EXPECT_EQ(PWD_OK, ut_pwd_check_old("    ", 4, "anything", 8));
  EXPECT_EQ(PWD_LEN_DIFFERS, ut_pwd_check_old("secret", 6, "secre", 5));
  EXPECT_EQ(PWD_TEXT_DIFFERS, ut_pwd_check_old("secret", 6, "Secret", 6));
}

int opt_by_name(const char* name, int32_t* code) {
  if (memcmp(name, "PRINT", 5) != 0 || !ut_is_all(name + 5, ' ', kOptNameLen - 5)) return 0;
  *code = 12;
  return 1;
}
int opt_by_code(int32_t code, char* name) {
  if (code != 12) return 0;
  ut_cpy_fill(name, "PRINT", kOptNameLen);
  return 1;
}

TEST_F(Utilities, OptLookupBothWays) {
  kivo_test::scoped_hook lookup(foundation_hooks.opt_lookup, ut_opt_lookup{opt_by_name, opt_by_code});
  char name[kOptNameLen + 1] = "PRINT   ";
  EXPECT_EQ(12, ut_get_opt(name, 8, 0));
  EXPECT_EQ(OPT_UNKNOWN_NAME, ut_get_opt(name, 4, 0));
  EXPECT_EQ(5, ut_get_opt(name, 0, 12));
  EXPECT_STREQ("PRINT", name);
  strcpy(name, "STALE");
  EXPECT_EQ(0, ut_get_opt(name, 0, 13));
  EXPECT_STREQ("", name);  // an unknown code never reads as the last name found
  kivo_test::scoped_hook no_lookup(foundation_hooks.opt_lookup, ut_opt_lookup{});
  EXPECT_EQ(OPT_UNKNOWN_NAME, ut_get_opt(name, 5, 0));
  EXPECT_TRUE(reported("can't open token file"));
}

uint8_t g_appl[324], g_sysparm[400];
const uint8_t* test_dap(const char* ap, const char*) { return memcmp(ap, "ABC", 3) == 0 ? g_appl : nullptr; }
const uint8_t* test_sysparm() { return g_sysparm; }

TEST_F(Utilities, DateMaskFallsBackInOrder) {
  kivo_test::scoped_hook recs(foundation_hooks.design_recs, ut_design_recs{test_dap, test_sysparm});
  struct {
    const char* ap;
    const char* appl;
    const char* sysparm;
    const char* sample;
    const char* want;
  } cases[] = {{"ABC", "APPL MASK", "SYS MASK", "SAMPLE", "APPL MASK"},
               {"ABC", "", "SYS MASK", "SAMPLE", "SYS MASK"},
               {"XYZ", "APPL MASK", "SYS MASK", "SAMPLE", "SYS MASK"},
               {"ABC", "", "", "SAMPLE", "SAMPLE"},
               {"ABC", "", "", "", kBuiltinDateMask}};
  for (auto& c : cases) {
    ut_cpy_fill(reinterpret_cast<char*>(g_appl) + kApplDateMaskOffset, c.appl, kAppDateMaskLen);
    ut_cpy_fill(reinterpret_cast<char*>(g_sysparm) + kSysparmDateMaskOffset, c.sysparm, kAppDateMaskLen);
    ut_cpy_fill(com.dt_sample, c.sample, kAppDateMaskLen);
    char mask[kAppDateMaskLen];
    ASSERT_EQ(1, ut_get_date_msk(c.ap, "01", mask));
    EXPECT_EQ(c.want, std::string(mask, ut_buflen(mask, kAppDateMaskLen))) << c.ap << "/" << c.appl;
  }
  EXPECT_EQ(0, ut_get_date_msk("ABC", "01", nullptr));
  EXPECT_TRUE(reported("ut_get_date_msk - missing date_msk"));
}

}  // namespace
}  // namespace kivo
