// The token caches over TOKEN, ELEMENT and DOMAIN design files in three
// places at once: memory files of "0DN", native files of an application
// listed in SYSDIR and APPL, and native files of the system application
// "0LA" (asked for as "-"). Loading once, look-ups, lists in code order,
// stamp names, closing, a failed open, a field showing codes; and the date
// mask a conversion takes from the application's APPL record on disk.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "compiler/compiler.h"
#include "fm/fm_sysadm.h"
#include "fm/token_cache.h"
#include "fm_native_util.h"
#include "foundation/app_date_mask.h"
#include "foundation/foundation.h"
#include "process/process.h"
#include "types/cnv.h"
#include "types/element.h"
#include "types/types.h"

namespace kivo::test {
namespace {

std::string pad(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }
int32_t code_of(const uint8_t* rec) { return rec ? static_cast<int32_t>(ld_le32(rec, kTokenRecCode)) : -99; }
std::string text_of(const uint8_t* rec) {
  const std::string t(reinterpret_cast<const char*>(rec + kTokenRecText), kTokenTextLen);
  return t.substr(0, t.find(' '));
}
const std::string kRegion = pad("REGION", kTokenGroupLen);

// The design files' application and version, and what the loader is asked for.
struct place {
  const char *ap, *ver, *load_ap, *load_ver;
  bool on_disk;
};
const place kPlaces[] = {
    {"0DN", "01", "0DN", "01", false}, {"TST", "01", "TST", "01", true}, {"0LA", "00", "-", "07", true}};
using design_init = decltype(&INIT_DTOKEN_FDB);
constexpr design_init kDesignInits[] = {INIT_DTOKEN_FDB, INIT_DELEM_FDB, INIT_DDOM_FDB};

std::string appl(const char* ap, const char* date_mask = "") {
  std::string r(kApplRecLen, ' ');
  r.replace(4, 5, std::string(ap) + "01");
  r.replace(kApplDateMaskOffset, strlen(date_mask), date_mask);
  return r;
}

// A SYSDIR entry of TST's design file `name` on the native back-end.
std::string listed(const char* name) {
  std::string e(kSysdirLen, ' ');
  e.replace(SYSDIR_AP, 5, "TST01");
  e.replace(SYSDIR_NAME, strlen(name), name);
  st_le16(reinterpret_cast<uint8_t*>(e.data()), SYSDIR_FS_TYPE, FMS_NATIVE);
  return e;
}

// Each place holds REGION: five element codes written out of order (texts
// "R<code><ap>"), two of the domain (kind '1'), and stamps naming the place.
class Tokens : public NativeFm {
 protected:
  struct design {
    FDB fdb;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
  };

  void SetUp() override {
    NativeFm::SetUp();
    design d;
    INIT_DAP_FDB(&d.fdb, d.kdb, d.sdb);
    write(d.fdb, {appl("TST"), appl("TSM", "06/05/88")}, LFB_OPEN_NEW | kAnyFile);
    INIT_DSYSDIR_FDB(&d.fdb, d.kdb, d.sdb);
    write(d.fdb, {listed("TOKEN"), listed("ELEMENT"), listed("DOMAIN")}, LFB_OPEN_NEW | kAnyFile);
    ASSERT_EQ(fm_init(), 1);  // a new start finds them
    token_fill_hooks();
    hooks_.set(types_hooks.stamp_name, pl_gen_nam);
    ASSERT_EQ(cv_init(), 1);
    for (const place& p : kPlaces) {
      std::vector<std::string> rows;
      for (char code : {40, 10, 50, 20, 30}) rows.push_back(row(1, code, "R" + std::to_string(code) + p.ap));
      rows.push_back(row(0, 10, std::string("N") + p.ap));
      rows.push_back(row(0, 20, std::string("S") + p.ap));
      // Created as the engine creates them, from their disk descriptors:
      // "0DN"'s become memory files, the others get structure files.
      put(p, 0, rows, LFB_OPEN_NEW);
      put(p, 1, {element(p)}, LFB_OPEN_NEW);
      put(p, 2, {domain(p)}, LFB_OPEN_NEW);
    }
  }
  // Writes `recs` to the file of `fdb`, made first with `create` options
  // (0: opened as the token loader opens it), and closes it.
  static void write(FDB& fdb, const std::vector<std::string>& recs, uint32_t create) {
    const int ok =
        create ? FM_CREATE(&fdb, com.sys_scope, 0, create, 0x0f, 0x0f) : FM_OPEN(&fdb, com.sys_scope, 0, 0x0f, 0x0f);
    ASSERT_EQ(ok, 1) << fdb.fdb_stat;
    for (std::string r : recs) {
      fdb.fdb_arb->arb_rec = reinterpret_cast<uint8_t*>(r.data());
      fdb.fdb_arb->arb_var_len = static_cast<uint16_t>(r.size());
      EXPECT_EQ(fm_write(fdb.fdb_arb), 1) << fdb.fdb_arb->arb_stat;
    }
    ASSERT_EQ(FM_CLOSE(fdb.fdb_arb, ARB_CLOSE_NOW), 1);
  }
  // Design file `file` (TOKEN, ELEMENT, DOMAIN) of place `p`.
  static void put(const place& p, int file, const std::vector<std::string>& recs, uint32_t create = 0) {
    design d;
    kDesignInits[file](&d.fdb, d.kdb, d.sdb, p.ap, p.ver);
    write(d.fdb, recs, create);
  }
  static std::string row(char src, char code, const std::string& text) {
    std::string r(kTokRecLen, '\0');
    r[TOK_SRC] = src;
    r.replace(TOK_GROUP, kTokenGroupLen, kRegion);
    r[TOK_CODE] = code;
    r.replace(TOK_TEXT, kTokenTextLen, pad(text, kTokenTextLen));
    return r;
  }
  // Stamp n (0, 1) of the element ('e') or domain ('d') of `p`.
  static std::string stamp(const place& p, char kind, int n) {
    return pad(std::string(p.ap) + '-' + kind + char('1' + n), 8);
  }
  // REGION's element: a 4-byte binary field whose codes show in 10 columns.
  static std::string element(const place& p) {
    std::string e(kElementSize, '\0');
    auto* b = reinterpret_cast<uint8_t*>(e.data());
    INIT_NUM_DELEM(b, 4, 9);
    e.replace(ELEM_MASK, kMaskLen, std::string(kMaskLen, ' '));
    e.replace(ELEM_NAME, kTokenGroupLen, kRegion);
    st_le16(b, ELEM_CODE_LEN, 10);
    e.replace(ELEM_BINARIES, 8, stamp(p, 'e', 0));
    e.replace(ELEM_STAMP, 8, stamp(p, 'e', 1));
    return e;
  }
  static std::string domain(const place& p) {
    std::string d(kDomRecLen, '\0');
    d[DOM_KIND] = '1';
    d.replace(DOM_NAME, kTokenGroupLen, kRegion);
    d.replace(DOM_STAMP1, 8, stamp(p, 'd', 0));
    d.replace(DOM_STAMP2, 8, stamp(p, 'd', 1));
    return d;
  }
  static uint16_t load(const place& p, uint8_t src) {
    return cv_load_token(p.load_ap, p.load_ver, src, kRegion.c_str());
  }
  // Whether the place's TOKEN is a native file where its path puts it.
  bool on_disk(const place& p) const {
    return access((data_ + "/" + p.ver + "/" + p.ap + "/Data/TOKEN.dat").c_str(), F_OK) == 0;
  }
};

// Groups of the three places loaded in turn keep apart; a second load reads
// nothing (a row added since is not seen); lists keep code order.
TEST_F(Tokens, AGroupLoadsOnceFromEachPlaceAndListsItsLowestCodes) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(load(kPlaces[i], 1), i + 1);
  for (int i = 0; i < 3; ++i) {
    put(kPlaces[i], 0, {row(1, 5, "LATE")});
    EXPECT_EQ(load(kPlaces[i], 1), i + 1);
    EXPECT_EQ(load(kPlaces[i], 0), i + 4);  // the domain's group of the same name is another
  }
  for (int i = 0; i < 3; ++i) {
    const std::string ap = kPlaces[i].ap;
    uint8_t out[6 * kTokenRecLen];
    memset(out, 0xEE, sizeof out);
    ASSERT_EQ(cv_get_token_list(i + 1, 0, 2, out), 2);
    EXPECT_EQ(std::make_tuple(code_of(out), text_of(out + kTokenRecLen), out[2 * kTokenRecLen]),
              std::make_tuple(10, "R20" + ap, uint8_t{0xEE}));  // nothing past the maximum
    ASSERT_EQ(cv_get_token_list(i + 1, 0, 0, out), 5);
    EXPECT_EQ(code_of(out + 4 * kTokenRecLen), 50);
    ASSERT_EQ(cv_get_token_list(i + 4, 0, 0, out), 2);
    EXPECT_EQ(text_of(out), "N" + ap);
  }
  EXPECT_EQ(cv_get_token_list(9, 0, 0, nullptr), 0);
  for (const place& p : kPlaces) EXPECT_EQ(on_disk(p), p.on_disk) << p.ap;
}

// Look-ups stay in their group and place; the stamps are named from the
// element or domain of that place, with its application and version.
TEST_F(Tokens, LookUpsAndNamesBelongToTheirGroup) {
  for (int i = 0; i < 3; ++i) {
    const place& p = kPlaces[i];
    const uint32_t e = load(p, 1), d = load(p, 0);
    const std::string ap = p.ap, other = kPlaces[(i + 1) % 3].ap;
    // group, text (null: by code), code, check only, the code found (-99: none)
    const std::tuple<uint32_t, std::string, int32_t, int, int32_t> rows[] = {
        {e, "R30" + ap, 0, 0, 30}, {e, "R30" + ap, 0, 1, 30}, {e, "R30" + other, 0, 1, -99}, {e, "N" + ap, 0, 0, -1},
        {d, "N" + ap, 0, 0, 10},   {e, "", 0, 0, -1},         {e, "-", 40, 0, 40},           {d, "-", 40, 0, -99},
        {e, "-", -1, 0, -1},       {7, "R30" + ap, 0, 1, -99}};
    for (auto [group, text, code, check, want] : rows) {
      const std::string t = pad(text, kTokenTextLen);
      const uint8_t* rec = cv_get_token(group, text == "-" ? nullptr : t.c_str(), code, check);
      EXPECT_EQ(code_of(rec), want) << ap << " " << group << text << code;
      EXPECT_TRUE(!rec || want < 0 || ld_le16(rec, 0) == group);
    }
    for (auto [group, kind] : {std::pair{e, 'e'}, {d, 'd'}}) {
      char want[21], got[21];
      for (int n : {0, 1}) pl_gen_nam(0, reinterpret_cast<const uint8_t*>(stamp(p, kind, n).data()), want + 8 * n);
      memcpy(want + 16, (ap + p.ver).data(), 5);
      ASSERT_EQ(cv_get_token_info(group, got, got + 8, got + 16, got + 19), 1);
      EXPECT_EQ(std::string(got, 21), std::string(want, 21));
    }
  }
  char got[21];
  EXPECT_EQ(cv_get_token_info(7, got, got + 8, got + 16, got + 19), 0);
}

// Closing forgets TOKEN only: the next new group opens it again. A TOKEN
// that cannot be opened (no such application) ends the level with 3,
// caching nothing.
TEST_F(Tokens, ClosingReopensAndAFailedOpenUnwinds) {
  ASSERT_EQ(load(kPlaces[1], 1), 1);
  cv_close_token();
  EXPECT_EQ(load(kPlaces[1], 0), 2);
  EXPECT_EQ(cv_get_token_list(2, 0, 0, nullptr), 2);
  uint16_t id = 0;
  EXPECT_EQ(MARK(MARK_PROCESS, [&] { id = cv_load_token("APP", "01", 1, kRegion.c_str()); }), 3u);
  EXPECT_TRUE(id == 0 && reported("cv_load_token() - Bad TOKEN file open "));
  captured_errors().clear();
  EXPECT_EQ(load(kPlaces[2], 1), 3);
}

// A field of REGION's element storing codes, compiled for the current
// application, shows the texts of its TOKEN file on disk.
TEST_F(Tokens, AFieldStoringCodesShowsTheTextsOnDisk) {
  memcpy(com.cur_ap, "TST", 3);
  memcpy(com.cur_ver, "01", 2);
  const std::string elem = element(kPlaces[1]);
  CNV c{};
  ASSERT_EQ(cv_get_cnv(&c, reinterpret_cast<const uint8_t*>(elem.data())), 1);
  ASSERT_EQ(c.ext_cols, 10);
  uint8_t val[4], *vp = val;
  char shown[10];
  c.int_addr = reinterpret_cast<uint8_t*>(&vp);
  c.ext_addr = shown;
  for (auto [code, want] : {std::pair{20, "R20TST    "}, {-1, "          "}, {99, "??????????"}}) {
    st_le32(val, 0, static_cast<uint32_t>(code));
    cv_itoe(&c);
    EXPECT_EQ(std::string(shown, 10), want) << code;
  }
  EXPECT_EQ(cv_get_token_list(1, 0, 0, nullptr), 5) << "the element's group, loaded by the compile";
}

// A date element with no mask of its own takes the current application's
// mask from its APPL record on disk, else the last default; an application
// without an APPL record is a broken design and ends the level with 3.
TEST_F(Tokens, DateMasksComeFromTheApplicationRecord) {
  pi_init();
  uint8_t elem[kElementSize];
  INIT_NUM_DELEM(elem, 32, 8);
  elem[ELEM_TYPE] = ELEM_ALP_DATE_MD;
  elem[ELEM_LO] = 5;
  memset(elem + ELEM_MASK, ' ', kMaskLen);
  auto mask_of = [&](const char* ap) {
    memcpy(com.cur_ap, ap, 3);
    memcpy(com.cur_ver, "01", 2);
    sitm s;
    std::string m = "unwound";
    if (MARK(MARK_PROCESS, [&] { cv_bld_sitm(&s, elem, nullptr); }) == 1) m.assign(s.mask, kCvMaskLen);
    return m;
  };
  EXPECT_EQ(mask_of("XYZ"), "unwound");
  EXPECT_TRUE(reported("cv_bld_sitm - missing dap"));
  // A failure of the run: a session whose first process it ends is none of success.
  EXPECT_STREQ(os_run_failure(), "cv_bld_sitm - missing dap");
  os_clear_run_failure();
  captured_errors().clear();
  EXPECT_EQ(mask_of("TSM"), pad("06/05/88", kCvMaskLen));
  const std::string fallback = mask_of("TST");
  hooks_.set(foundation_hooks.design_recs, ut_design_recs{});  // nothing above the conversions: the same fallback
  EXPECT_EQ(mask_of("XYZ"), fallback);
  EXPECT_NE(fallback.find_first_not_of(' '), std::string::npos);
}

}  // namespace
}  // namespace kivo::test
