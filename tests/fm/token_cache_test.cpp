// The token caches over TOKEN, ELEMENT and DOMAIN design files of "0DN"
// (memory files written through the file manager): loading once, look-ups,
// lists in code order, stamp names, closing, and a failed open.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

std::string pad(const char* s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }
int32_t code_of(const uint8_t* rec) { return rec ? static_cast<int32_t>(ld_le32(rec, kTokenRecCode)) : -99; }

class Tokens : public Fresh {
 protected:
  ARB *token_ = nullptr, *elem_ = nullptr, *dom_ = nullptr;
  const std::string region_ = pad("REGION", kTokenGroupLen);

  void SetUp() override {
    Fresh::SetUp();
    ASSERT_EQ(fm_init(), 1);
    token_register_hooks();
    set_stamp_name_hook(pl_gen_nam);
    ASSERT_EQ(cv_init(), 1);
    token_ = design(INIT_DTOKEN_FDB);
    elem_ = design(INIT_DELEM_FDB);
    dom_ = design(INIT_DDOM_FDB);
    // REGION of the element: five codes written out of order; of the domain
    // (kind '1' only): two others.
    for (int code : {40, 10, 50, 20, 30}) row(1, code, ("R" + std::to_string(code)).c_str());
    row(0, 10, "NORTH");
    row(0, 20, "SOUTH");
    uint8_t e[kElementSize] = {};
    memcpy(e + ELEM_NAME, region_.data(), kTokenGroupLen);
    memcpy(e + ELEM_BINARIES, "\1\2\3\4\5\6\7\10", 8);
    memcpy(e + ELEM_STAMP, "\11\12\13\14\15\16\17\20", 8);
    put(elem_, e);
    uint8_t d[kDomRecLen] = {};
    d[DOM_KIND] = '1';
    memcpy(d + DOM_NAME, region_.data(), kTokenGroupLen);
    memset(d + DOM_STAMP1, 0x21, 8);
    memset(d + DOM_STAMP2, 0x42, 8);
    put(dom_, d);
  }
  void TearDown() override {
    for (auto& e : captured_errors()) ADD_FAILURE() << "system error: " << e;
    set_token_hooks({});
    set_stamp_name_hook(nullptr);
    mm_destroy_all();
    Fresh::TearDown();
  }

  static ARB* design(void (*init)(FDB*, KDB*, SDB*, const char*, const char*)) {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    init(&f, k, s, "0DN", "01");
    f.fdb_fs_type = FS_MEMORY;
    return FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW, 0x0f, 0x0f) ? f.fdb_arb : nullptr;
  }
  static void put(ARB* a, uint8_t* rec) { ASSERT_EQ(fm_slot(a, &fms_fn::write, 0, rec), 1); }
  void row(uint8_t src, int32_t code, const char* text) {
    uint8_t r[kTokRecLen] = {};
    r[TOK_SRC] = src;
    memcpy(r + TOK_GROUP, region_.data(), kTokenGroupLen);
    st_le32(r, TOK_CODE, static_cast<uint32_t>(code));
    memcpy(r + TOK_TEXT, pad(text, kTokenTextLen).data(), kTokenTextLen);
    put(token_, r);
  }
  uint16_t load(uint8_t src) { return cv_load_token("0DN", "01", src, region_.c_str()); }
};

TEST_F(Tokens, AGroupLoadsOnceAndAChangedTokenFileIsNotSeen) {
  CNV c{};
  c.ta.alp.token_id = 1;
  c.ta.alp.token_src = 1;
  memcpy(c.ta.alp.token_grp, region_.data(), kTokenGroupLen);
  memcpy(c.ta.alp.token_ap, "0DN", 3);
  memcpy(c.ta.alp.token_ver, "01", 2);
  EXPECT_EQ(cv_load_token_of(&c), 1u);  // through the conversions' hook
  row(1, 5, "LATE");
  EXPECT_EQ(load(1), 1);
  EXPECT_EQ(cv_get_token_list(1, 0, 0, nullptr), 5);
  EXPECT_EQ(load(0), 2);  // the domain's group of the same name is another
  EXPECT_EQ(cv_get_token_list(2, 0, 0, nullptr), 2);
}

TEST_F(Tokens, ListsGiveTheLowestCodesInOrder) {
  ASSERT_EQ(load(1), 1);
  uint8_t out[6 * kTokenRecLen];
  memset(out, 0xEE, sizeof out);
  ASSERT_EQ(cv_get_token_list(1, 0, 2, out), 2);
  EXPECT_EQ(code_of(out) * 100 + code_of(out + kTokenRecLen), 1020);
  EXPECT_EQ(out[2 * kTokenRecLen], 0xEE);  // nothing past the maximum
  ASSERT_EQ(cv_get_token_list(1, 0, 0, out), 5);
  EXPECT_EQ(code_of(out + 4 * kTokenRecLen), 50);
  EXPECT_EQ(cv_get_token_list(9, 0, 0, out), 0);
}

TEST_F(Tokens, LookUpsByTextAndCodeStayInTheirGroup) {
  ASSERT_EQ(load(1), 1);
  ASSERT_EQ(load(0), 2);
  struct {
    uint32_t group;
    const char* text;  // null: by code
    int32_t code;
    int check;
    int32_t want;  // -99: none
  } rows[] = {{1, "R30", 0, 0, 30},    {1, "R30", 0, 1, 30}, {1, "NORTH", 0, 0, -1},  {1, "NORTH", 0, 1, -99},
              {2, "NORTH", 0, 0, 10},  {1, "", 0, 0, -1},    {1, nullptr, 40, 0, 40}, {2, nullptr, 40, 0, -99},
              {1, nullptr, -1, 0, -1}, {7, "R30", 0, 1, -99}};
  for (auto& r : rows) {
    const std::string t = r.text ? pad(r.text, kTokenTextLen) : "";
    const uint8_t* rec = cv_get_token(r.group, r.text ? t.c_str() : nullptr, r.code, r.check);
    EXPECT_EQ(code_of(rec), r.want) << r.group << (r.text ? r.text : "-") << r.code;
    if (rec && r.want >= 0) {
      EXPECT_EQ(ld_le16(rec, 0), r.group);
    }
  }
}

TEST_F(Tokens, InfoNamesTheStampsOfTheElementOrDomain) {
  ASSERT_EQ(load(1), 1);
  ASSERT_EQ(load(0), 2);
  const uint8_t dom1[8] = {0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21};
  char want1[8], want2[8], n1[8], n2[8], ap[3], ver[2];
  for (uint32_t group : {1u, 2u}) {
    pl_gen_nam(0, group == 1 ? reinterpret_cast<const uint8_t*>("\1\2\3\4\5\6\7\10") : dom1, want1);
    pl_gen_nam(0, reinterpret_cast<const uint8_t*>(group == 1 ? "\11\12\13\14\15\16\17\20" : "BBBBBBBB"), want2);
    ASSERT_EQ(cv_get_token_info(group, n1, n2, ap, ver), 1);
    EXPECT_EQ(std::string(n1, 8) + std::string(n2, 8), std::string(want1, 8) + std::string(want2, 8));
    EXPECT_EQ(std::string(ap, 3) + std::string(ver, 2), "0DN01");
  }
  EXPECT_EQ(cv_get_token_info(3, n1, n2, ap, ver), 0);
}

// Closing forgets TOKEN only: the next new group opens it again. An
// application whose TOKEN cannot be opened ends the level with 3, caching
// nothing.
TEST_F(Tokens, ClosingReopensAndAFailedOpenUnwinds) {
  ASSERT_EQ(load(1), 1);
  cv_close_token();
  EXPECT_EQ(load(0), 2);
  EXPECT_EQ(cv_get_token_list(2, 0, 0, nullptr), 2);
  uint16_t id = 0;
  EXPECT_EQ(MARK(MARK_PROCESS, [&] { id = cv_load_token("APP", "01", 1, region_.c_str()); }), 3u);
  EXPECT_EQ(id, 0);
  EXPECT_TRUE(reported("cv_load_token() - Bad TOKEN file open "));
  captured_errors().clear();
  EXPECT_EQ(load(1), 1);
}

}  // namespace
}  // namespace kivo::test
