// The token caches over TOKEN, ELEMENT and DOMAIN memory files of "0DN": loading
// once, look-ups, lists in code order, stamp names, closing, a failed open.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "compiler/seams.h"
#include "fm/fm_open.h"
#include "fm/memfile.h"
#include "fm/scope_clear.h"
#include "fm/token_cache.h"
#include "fm_objects_test_util.h"
#include "foundation/bytes.h"
#include "foundation/scope.h"
#include "types/cnv.h"
#include "types/element.h"

namespace kivo::test {
namespace {

std::string pad(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }
int32_t code_of(const uint8_t* rec) { return rec ? static_cast<int32_t>(ld_le32(rec, kTokenRecCode)) : -99; }
const std::string kRegion = pad("REGION", kTokenGroupLen);

class Tokens : public Fresh {
 protected:
  ARB* files_[3] = {};  // TOKEN, ELEMENT, DOMAIN

  void SetUp() override {
    Fresh::SetUp();
    ASSERT_EQ(fm_init(), 1);
    token_register_hooks();
    set_stamp_name_hook(pl_gen_nam);
    ASSERT_EQ(cv_init(), 1);
    decltype(&INIT_DTOKEN_FDB) inits[] = {INIT_DTOKEN_FDB, INIT_DELEM_FDB, INIT_DDOM_FDB};
    for (int i = 0; i < 3; ++i) {
      FDB f;
      KDB k[kInitMaxKeys];
      SDB s[kInitMaxSegs];
      inits[i](&f, k, s, "0DN", "01");
      f.fdb_fs_type = FS_MEMORY;
      ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW, 0x0f, 0x0f), 1);
      files_[i] = f.fdb_arb;
    }
    // REGION: five codes of the element out of order, two of the domain (kind '1').
    for (char code : {40, 10, 50, 20, 30}) row(1, code, "R" + std::to_string(code));
    row(0, 10, "NORTH");
    row(0, 20, "SOUTH");
    put(1, kElementSize, ELEM_NAME, {{ELEM_BINARIES, "stamp-e1"}, {ELEM_STAMP, "stamp-e2"}});
    put(2, kDomRecLen, DOM_NAME, {{DOM_KIND, "1"}, {DOM_STAMP1, "stamp-d1"}, {DOM_STAMP2, "stamp-d2"}});
  }
  void TearDown() override {
    for (auto& e : captured_errors()) ADD_FAILURE() << "system error: " << e;
    set_token_hooks({});
    set_stamp_name_hook(nullptr);
    mm_destroy_all();
    Fresh::TearDown();
  }
  // A record of `len` bytes to design file `file`: REGION at `name`, `bytes` at their offsets.
  void put(int file, size_t len, size_t name, std::initializer_list<std::pair<size_t, std::string>> bytes) {
    std::string rec(len, '\0');
    rec.replace(name, kTokenGroupLen, kRegion);
    for (auto& [off, b] : bytes) rec.replace(off, b.size(), b);
    ASSERT_EQ(fm_slot(files_[file], &fms_fn::write, 0, rec.data()), 1);
  }
  void row(char src, char code, const std::string& text) {
    put(0, kTokRecLen, TOK_GROUP, {{TOK_SRC, {src}}, {TOK_CODE, {code}}, {TOK_TEXT, pad(text, kTokenTextLen)}});
  }
  static uint16_t load(uint8_t src) { return cv_load_token("0DN", "01", src, kRegion.c_str()); }
};

// A second load reads nothing (a row added since is not seen); lists keep code order.
TEST_F(Tokens, AGroupLoadsOnceAndListsItsLowestCodes) {
  EXPECT_EQ(load(1), 1);
  row(1, 5, "LATE");
  EXPECT_EQ(load(1), 1);
  EXPECT_EQ(load(0), 2);  // the domain's group of the same name is another
  uint8_t out[6 * kTokenRecLen];
  memset(out, 0xEE, sizeof out);
  ASSERT_EQ(cv_get_token_list(1, 0, 2, out), 2);
  const int32_t after = out[2 * kTokenRecLen];  // 0xEE: nothing past the maximum
  EXPECT_EQ(std::vector<int32_t>({code_of(out), code_of(out + kTokenRecLen), after}),
            std::vector<int32_t>({10, 20, 0xEE}));
  ASSERT_EQ(cv_get_token_list(1, 0, 0, out), 5);
  EXPECT_EQ(code_of(out + 4 * kTokenRecLen), 50);
  EXPECT_EQ(cv_get_token_list(2, 0, 0, nullptr), 2);
  EXPECT_EQ(cv_get_token_list(9, 0, 0, out), 0);
}

// Look-ups stay in their group; the stamps are named from the element or domain.
TEST_F(Tokens, LookUpsAndNamesBelongToTheirGroup) {
  ASSERT_EQ(load(1), 1);
  ASSERT_EQ(load(0), 2);
  // group, text (null: by code), code, check only, the code found (-99: none)
  const std::tuple<uint32_t, const char*, int32_t, int, int32_t> rows[] = {
      {1, "R30", 0, 0, 30},    {1, "R30", 0, 1, 30}, {1, "NORTH", 0, 0, -1},  {1, "NORTH", 0, 1, -99},
      {2, "NORTH", 0, 0, 10},  {1, "", 0, 0, -1},    {1, nullptr, 40, 0, 40}, {2, nullptr, 40, 0, -99},
      {1, nullptr, -1, 0, -1}, {7, "R30", 0, 1, -99}};
  for (auto [group, text, code, check, want] : rows) {
    const std::string t = text ? pad(text, kTokenTextLen) : "";
    const uint8_t* rec = cv_get_token(group, text ? t.c_str() : nullptr, code, check);
    EXPECT_EQ(code_of(rec), want) << group << (text ? text : "-") << code;
    EXPECT_TRUE(!rec || want < 0 || ld_le16(rec, 0) == group);
  }
  char want[16], got[21];
  for (auto [group, stamps] : {std::pair{1u, "stamp-e1stamp-e2"}, {2u, "stamp-d1stamp-d2"}}) {
    pl_gen_nam(0, reinterpret_cast<const uint8_t*>(stamps), want);
    pl_gen_nam(0, reinterpret_cast<const uint8_t*>(stamps + 8), want + 8);
    ASSERT_EQ(cv_get_token_info(group, got, got + 8, got + 16, got + 19), 1);
    EXPECT_EQ(std::string(got, 21), std::string(want, 16) + "0DN01");
  }
  EXPECT_EQ(cv_get_token_info(3, got, got + 8, got + 16, got + 19), 0);
}

// Closing forgets TOKEN only: the next new group opens it again. A TOKEN
// that cannot be opened ends the level with 3, caching nothing.
TEST_F(Tokens, ClosingReopensAndAFailedOpenUnwinds) {
  ASSERT_EQ(load(1), 1);
  cv_close_token();
  EXPECT_EQ(load(0), 2);
  EXPECT_EQ(cv_get_token_list(2, 0, 0, nullptr), 2);
  uint16_t id = 0;
  EXPECT_EQ(MARK(MARK_PROCESS, [&] { id = cv_load_token("APP", "01", 1, kRegion.c_str()); }), 3u);
  EXPECT_TRUE(id == 0 && reported("cv_load_token() - Bad TOKEN file open "));
  captured_errors().clear();
  EXPECT_EQ(load(1), 1);
}

}  // namespace
}  // namespace kivo::test
