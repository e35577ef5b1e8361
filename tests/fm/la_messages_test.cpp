// Messages and languages against MESSAGE files on disk, written through the
// file manager: translation, parameters, the language stack, the common block's
// words, separators, message memory files; the USER password field.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "fm/fm_record.h"
#include "fm/la.h"
#include "fm/user_pwd.h"
#include "fm_native_util.h"
#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "foundation/foundation.h"
#include "foundation/password.h"

namespace kivo::test {
namespace {

struct msg {
  uint32_t number;
  uint16_t cls;
  std::string text;
  size_t len = MSG_TEXT + text.size();
};

// Record 500 is shorter than its head.
const std::vector<msg> kBase = {{100, 0, "Plain text   "},
                                {200, 2, "Bad value ~1"},
                                {300, 1, "Careful"},
                                {400, 3, "Record ~1 of ~3"},
                                {730, 0, "day       sunday    monday    tuesday"},
                                {105000, 0, "move"},
                                {105960, 0, "LASTWORDX"},
                                {500, 0, "", 5}};

cstr cs(const std::string& s) { return {static_cast<uint16_t>(s.size()), const_cast<char*>(s.data())}; }
const std::string kSeven = "7", kNine = "9";

class LaMessages : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    la_sys_err_clear();
    ASSERT_EQ(la_init(), 1);
    FM_CLOSE(make("00", kBase), 0);
    ASSERT_EQ(la_slct("00 ", 1), 1);
  }
  void TearDown() override {
    if (la_lang* l = la_current()) FM_CLOSE(l->arb, 0);
    NativeFm::TearDown();
  }
  // A MESSAGE file of language `lang` (USER without one) with `rows`.
  static ARB* make(const char* lang, const std::vector<msg>& rows) {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    lang ? INIT_DMSG_FDB(&f, k, s, lang) : INIT_DUSR_FDB(&f, k, s);
    EXPECT_EQ(FM_CREATE(&f, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 15, 15), 1);
    for (const msg& m : rows) {
      uint8_t rec[kMsgRecMax] = {};
      st_le32(rec, MSG_NUMBER, m.number);
      st_le16(rec, MSG_CLASS, m.cls);
      memcpy(rec + MSG_TEXT, m.text.data(), m.text.size());
      f.fdb_arb->arb_rec = rec;
      f.fdb_arb->arb_var_len = static_cast<uint16_t>(m.len);
      EXPECT_EQ(fm_write(f.fdb_arb), 1) << m.number;
    }
    return f.fdb_arb;
  }
  static std::string xl(uint32_t number, size_t width) {
    std::string out(width, '#');
    cstr o = cs(out);
    la_xlate(number, &o, nullptr);
    return out;
  }
};

TEST_F(LaMessages, SubParmReplacesOnlyMarksOfGivenParameters) {
  // text, parameters, room, result
  const std::tuple<const char*, std::vector<std::string>, size_t, const char*> rows[] = {
      {"Record ~1 of ~3", {"12   ", "X"}, 20, "Record 12 of ~3     "},
      {"[~1]", {"    "}, 6, "[ ]   "},
      {"~", {"A"}, 3, "~  "},
      {"~a~0~2", {"A", "B"}, 8, "~a~0B   "},
      {"ab~1cd", {"LONGPARAM"}, 5, "abLON"},
  };
  for (const auto& [text, params, room, want] : rows) {
    std::vector<cstr> p;
    for (const std::string& s : params) p.push_back(cs(s));
    std::string in(text), out(room, '#');
    cstr i = cs(in), o = cs(out);
    size_t n = sub_parm(&o, &i, p);
    EXPECT_EQ(out, want) << text;
    EXPECT_EQ(n, std::string(want).find_last_not_of(' ') + 1) << text;
  }
}

// Labels by class, cut to the buffer, with the full length within it;
// missing and too short records; 200650 once a system error is recorded.
TEST_F(LaMessages, TranslatesWithLabelsCodesAndTheLastSystemError) {
  // number, la_sys_err(null, n) first when n is not 0, width, result, text
  const std::tuple<uint32_t, int, size_t, size_t, const char*> rows[] = {
      {200, 0, 10, 10, "ERROR - Ba"},
      {300, 0, 20, 17, "WARNING - Careful   "},
      {100, 0, 12, 10, "Plain text  "},
      {500, 0, 51, 51, "ERROR - Unable to translate message: 500 (200450,0)"},
      {123, 0, 53, 51, "ERROR - Unable to translate message: 123 (200450,0)  "},
      {MSG_SYS_ERR, 0, 54, 54, "ERROR - Unable to translate message: 200650 (200450,0)"},
      {MSG_SYS_ERR, 5, 34, 32, "ERROR - *System Error 5 Reported  "},
  };
  for (const auto& [number, record, width, ret, want] : rows) {
    if (record) la_sys_err(nullptr, record);
    std::string out(width, '#');
    cstr o = cs(out);
    EXPECT_EQ(la_xlate(number, &o, nullptr), ret) << number;
    EXPECT_EQ(out, want);
  }
  EXPECT_EQ(la_xlate(200, nullptr, nullptr), 20u);
  char buf[8];
  EXPECT_EQ(la_get_str(buf, sizeof buf, 123), nullptr);
}

// Same language, a new level, another language at the same level, back to
// the older one; "MU" only selects what is there; a level that ended gives
// its language back.
TEST_F(LaMessages, LanguageStackFollowsTheLevels) {
  FM_CLOSE(make("01", {{100, 0, "Anders"}}), 0);
  FM_CLOSE(make("02", {}), 0);
  la_lang* base = la_current();
  EXPECT_TRUE(la_slct("00 ", 1) == 1 && la_current() == base && la_slct("MU ", 2) == 0);
  const char mu[] = "MU ";
  uint32_t rc = MARK(MARK_PROCESS, [&] {
    ASSERT_EQ(la_slct("01 ", com.mark_scope), 1);
    EXPECT_EQ(xl(100, 6), "Anders");
    ASSERT_EQ(la_slct(mu, com.mark_scope), 1);  // the older entry, and the caller's text kept
    EXPECT_TRUE(std::string(mu) == "MU " && la_current() == base);
    ASSERT_EQ(la_slct("01 ", com.mark_scope), 1);
    ASSERT_EQ(la_slct("02 ", com.mark_scope), 1);  // replaces 01 at this level
    EXPECT_EQ(std::string(la_current()->lang, 3) + (la_current()->next == base ? "base" : ""), "02 base");
    EXPECT_EQ(la_slct("00 ", com.mark_scope - 1), 0);
    EXPECT_TRUE(reported("la_slct() - invalid scope"));
  });
  EXPECT_TRUE(rc == 1 && la_current() == base);
  captured_errors().clear();
  EXPECT_EQ(xl(100, 10), "Plain text");
}

TEST_F(LaMessages, LoadComFillsWordsAndStatementNames) {
  EXPECT_EQ(std::string(com.day_names[0], 50), "DAY       SUNDAY    MONDAY    TUESDAY             ");
  EXPECT_EQ(std::vector<int>(com.day_lens, com.day_lens + 8), std::vector<int>({3, 6, 6, 7, 0, 0, 0, 0}));
  EXPECT_EQ(std::string(opcode_tbl[0], 16), "move    " + std::string(8, '\0'));  // a missing word is empty
  EXPECT_EQ(std::string(opcode_tbl[96], 8), "LASTWORD");
  EXPECT_EQ(std::string(com.labels[10], 5), "ERROR");  // missing words keep what they had
}

// Currency, flag and each separator from the first source that sets it.
TEST_F(LaMessages, SeparatorsComeFromApplThenSysparmThenDefaults) {
  static uint8_t appl[324], sysparm[600];
  hooks_.set(foundation_hooks.design_recs,
             ut_design_recs{[](const char*, const char*) -> const uint8_t* { return appl; },
                            [] { return static_cast<const uint8_t*>(sysparm); }});
  // bytes 60-65 of APPL and SYSPARM; currency, flag digit, decimal, thousands
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"   \0  ", "   \0  ", "$  0.,"},
      {"EUR\0,.", "   \0  ", "EUR0,."},
      {"   \0 '", "DM \3,.", "DM 3,'"},
      {"   \0  ", "\0\0\0\0;\0", "$  0;,"},
  };
  for (const auto& [a, sp, want] : rows) {
    memcpy(appl + 188 + 60, a, 6);
    memcpy(sysparm + 248 + 60, sp, 6);
    com.currency_flag = 0;
    la_get_dec_sep_cur();
    EXPECT_EQ(std::string(com.currency, 3) + char('0' + com.currency_flag) + char(com.dec_sep) + char(com.thou_sep),
              want);
    EXPECT_EQ(com.currency_len, std::string(com.currency, 3).find_last_not_of(' ') + 1);
  }
}

// Ordered by number, then errors before warnings; parameters substituted; a
// tenth parameter refused; a text of the caller's with parameters.
TEST_F(LaMessages, MessageFileOrdersAndSubstitutes) {
  ARB* f = la_create_fi(40, 1);
  ASSERT_NE(f, nullptr);
  const uint32_t warn = 300, err = 200, rec = 400;
  ASSERT_EQ(la_add_msg(f, &warn, 2, {}), 1);
  ASSERT_EQ(la_add_msg(f, &err, 2, std::vector<cstr>{cs(kSeven)}), 1);
  ASSERT_EQ(la_add_msg(f, &rec, 1, std::vector<cstr>{cs(kSeven), cs(kNine), cs(kNine)}), 1);
  EXPECT_EQ(la_add_msg(f, &warn, 3, std::vector<cstr>(10, cs(kSeven))), 0);
  EXPECT_TRUE(reported("la_add_msg() - too many parameters"));
  captured_errors().clear();
  uint8_t* before = f->arb_rec;
  ASSERT_EQ(la_add_text(f, 1, 0, "got ~1", 6, std::vector<cstr>{cs(kNine)}), 1);
  EXPECT_EQ(f->arb_rec, before);
  // Shortened in its middle to the file's 40.
  ASSERT_EQ(la_add_text(f, 4, 3, (std::string(25, 'y') + std::string(25, 'z')).c_str(), 50), 1);
  std::vector<std::string> got;
  f->arb_keyno = 0;
  f->arb_mod = ARB_FIRST;
  ASSERT_EQ(fm_start(f), 1);
  while (const uint8_t* r = fm_rdnxt_fast(f, 0))
    got.push_back(std::to_string(ld_le32(r, 0)) + ":" + std::to_string(ld_le16(r, 4)) + ":" +
                  std::string(reinterpret_cast<const char*>(r + MSG_TEXT), ld_le16(r, MSG_TEXT_LEN)));
  EXPECT_EQ(got, std::vector<std::string>({"0:1:got 9", "1:3:ERROR - Record 7 of 9", "2:2:ERROR - Bad value 7",
                                           "2:1:WARNING - Careful",
                                           "3:4:" + std::string(14, 'y') + " ... " + std::string(21, 'z')}));
}

// Centred text, and checkstat's message for a status.
TEST_F(LaMessages, CenterAndCheckstatTranslate) {
  std::string out(20, '#');
  cstr o = cs(out);
  ASSERT_EQ(la_center(&o, 400, nullptr, std::vector<cstr>{cs(kSeven)}), 1);
  EXPECT_EQ(out, "ERROR - Record 7 of ");
  checkstat(100, "can't start", "T", 1);
  EXPECT_TRUE(reported("can't start - Plain text"));
  FDB fdb;
  fdb.path = {0, {'0', 'S', 'A'}, {}, {}, {}, {}, {}, 1};
  fdb.fdb_stat = 200;
  CHECK_FI(0, &fdb, "open USER");
  EXPECT_TRUE(reported("open USER - ERROR - Bad value"));
  captured_errors().clear();
}

// Set and read back through USER; a wrong old password of another length
// gives 2, of the same length 3.
TEST_F(LaMessages, PasswordIsSetAndReadBackThroughUser) {
  ARB* user = make(nullptr, {});
  std::string rec = "ABClogin" + std::string(kUserRecLen - 8, ' ');
  user->arb_rec = reinterpret_cast<uint8_t*>(rec.data());
  ASSERT_EQ(fm_write(user), 1);
  FM_CLOSE(user, 0);
  EXPECT_EQ(ut_set_pwd("ABC", "", 0, "secret", 6), 1);
  char pwd[kPwdFieldLen + 1] = {};
  EXPECT_TRUE(ut_get_pwd(pwd, kPwdFieldLen, nullptr, "login", 5) == 6 &&
              std::string(pwd) == "secret" + std::string(24, ' '));
  EXPECT_EQ(ut_set_pwd("ABC", "secre", 5, "x", 1), PWD_LEN_DIFFERS);
  EXPECT_EQ(ut_set_pwd("ABC", "secreT", 6, "x", 1), PWD_TEXT_DIFFERS);
  EXPECT_EQ(ut_set_pass("ABC", "secret                        ", "other                         "), 1);
  EXPECT_TRUE(ut_get_pass("ABC", pwd) == 1 && std::string(pwd, 6) == "other ");
  EXPECT_EQ(ut_get_pwd(pwd, kPwdFieldLen, "XYZ", nullptr, 0), 0u);
}

}  // namespace
}  // namespace kivo::test
