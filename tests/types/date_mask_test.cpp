// Date masks: chunks, compilation per storage type, translation both ways.
#include "date_test_util.h"
#include "foundation/bytes.h"

namespace kivo::date_test {
namespace {

class DateMask : public DateTest {};

constexpr const char* kDefaultMask = "06/05/8877 44:33:22.11 am";

TEST_F(DateMask, ChunkReaderKnowsEveryStoredToken) {
  struct {
    const char* text;
    uint8_t code, mod;
    uint32_t used, width;
  } cases[] = {
      {"88", '8', 'B', 2, 2},  {"01", '1', 'Z', 2, 2},   {"555", 'J', 'B', 3, 3}, {"005", 'J', 'Z', 3, 3},
      {"055", 'J', 'Z', 3, 3}, {"~mU", 'm', 'U', 3, 10}, {"~MC", 'M', 'C', 3, 3}, {"~dL", 'd', 'L', 3, 10},
      {"~DC", 'D', 'C', 3, 3}, {"~AL", 'A', 'L', 3, 2},  {"~SU", 'S', 'U', 3, 2}, {"~4B", '4', 'B', 3, 2},
      {"~JZ", 'J', 'Z', 3, 3},
  };
  for (auto& c : cases) {
    date_chunk k = cv_get_chunk(c.text, static_cast<int>(strlen(c.text)), 1);
    EXPECT_EQ(k.code, c.code) << c.text;
    EXPECT_EQ(k.mod, c.mod) << c.text;
    EXPECT_EQ(k.used, c.used) << c.text;
    EXPECT_EQ(k.width, c.width) << c.text;
  }
}

TEST_F(DateMask, LiteralsResolveQuotesEscapesAndStrayTildes) {
  date_chunk k = cv_get_chunk("\"88\"\\7x~Q55", 11, 1);
  EXPECT_EQ(k.code, TK_LITERAL);
  EXPECT_EQ(std::string(k.text, k.text_len), "887x~Q");
  EXPECT_EQ(k.used, 9u);
  EXPECT_EQ(k.width, 6u);
  // Names are tokens only in the user's spelling.
  EXPECT_EQ(cv_get_chunk("Jan", 3, 1).code, TK_LITERAL);
  EXPECT_EQ(cv_get_chunk("Jan", 3, 0).code, TK_MONTH_ABBR);
  EXPECT_EQ(cv_get_chunk("January", 7, 0).code, TK_MONTH_NAME);
  EXPECT_EQ(cv_get_chunk("Janx", 4, 0).code, TK_LITERAL);
  EXPECT_EQ(cv_get_chunk("th", 2, 0, 1).code, TK_SUFFIX);
  EXPECT_EQ(cv_get_chunk("th", 2, 0, 0).code, TK_LITERAL);
}

TEST_F(DateMask, DefaultMaskCutsToTheElementsLevels) {
  compiled date = compile(kDefaultMask, 8, 5, 4);
  EXPECT_EQ(date.text(), "~6Z/~5Z/~8B~7B");
  EXPECT_EQ(date.ret, 10);
  EXPECT_EQ(date.blk.first, 8);
  EXPECT_EQ(date.blk.last, 5);
  EXPECT_EQ(date.blk.type, DT_TEXT);
  EXPECT_EQ(date.blk.h24, 1);  // "am" is literal text here

  compiled time = compile(kDefaultMask, 4, 2, 1);
  EXPECT_EQ(time.text(), " ~4B:~3B:~2B");  // the blank before the hour waits for it
  EXPECT_EQ(time.ret, 9);
  EXPECT_EQ(time.blk.first, 4);
  EXPECT_EQ(time.blk.last, 2);
}

TEST_F(DateMask, LengthsFollowTheStorageType) {
  EXPECT_EQ(compile("0807060504030201", 8, 5, 5).ret, 4);
  compiled both = compile("0807060504030201", 8, 1, 5);
  EXPECT_EQ(both.ret, 8);
  EXPECT_EQ(both.blk.type, DT_BIN);
  EXPECT_EQ(compile("04030201", 4, 1, 5).ret, 4);
  compiled pd = compile("06/05/8877", 8, 5, 8);
  EXPECT_EQ(pd.ret, 5);
  EXPECT_EQ(pd.blk.type, DT_PD);
  compiled pd_doy = compile("8877005", 8, 5, 8);
  EXPECT_EQ(pd_doy.ret, 5);
  EXPECT_EQ(pd_doy.blk.type, DT_PD_DOY);
  EXPECT_EQ(pd_doy.blk.doy, 1);
  EXPECT_EQ(compile("8877005", 8, 5, 5).blk.type, DT_BIN_DOY);
  EXPECT_EQ(compile("8877555", 8, 5, 1).blk.type, DT_TEXT_DOY);
  EXPECT_EQ(compile("0807060504030201", 8, 1, 15).ret, kUniversalLen);
}

TEST_F(DateMask, NameTokensAreKeptOnlyWhereTheirLevelsAre) {
  compiled m = compile("~DC, ~mU 05~SL 8877 44:03 ~AL", 8, 3, 1);
  EXPECT_EQ(m.text(), "~DC, ~mU ~5Z~SL ~8B~7B ~4B:~3Z ~AL");
  EXPECT_EQ(m.ret, 3 + 2 + 10 + 1 + 2 + 2 + 1 + 4 + 1 + 5 + 1 + 2);
  EXPECT_EQ(m.blk.h24, 0);
  // Without a year there is no weekday; without hours no am/pm.
  compiled md = compile("~DC ~MC 05~SL", 6, 5, 1);
  EXPECT_EQ(md.text(), " ~MC ~5Z~SL");  // the blank after a dropped token waits for the next
  compiled no_ampm = compile("44:03 ~AL", 4, 3, 1, 0);
  EXPECT_EQ(no_ampm.text(), "~4B:~3Z");
  EXPECT_EQ(no_ampm.blk.h24, 1);
}

TEST_F(DateMask, LevelsWithAGapAreNotAnElement) {
  compiled m = compile("8877 44", 8, 4, 1);
  EXPECT_EQ(m.blk.first, 0);
  EXPECT_EQ(m.blk.last, 0);
  EXPECT_EQ(compile("8877 44", 8, 4, 5).ret, 0);
  EXPECT_EQ(compile("44:03", 8, 5, 1).ret, 0);  // no level left
}

TEST_F(DateMask, BadStorageTypeIsASystemError) {
  const unsigned before = sys_err_count();
  EXPECT_EQ(compile(kDefaultMask, 8, 5, 2).ret, 0);
  EXPECT_EQ(sys_err_count(), before + 1);
}

TEST_F(DateMask, CompiledFormThatDoesNotFitIsRefused) {
  std::string ones(60, '1');
  compiled m = compile(ones.c_str(), 1, 1, 1);
  EXPECT_EQ(m.ret, 0);
  EXPECT_EQ(std::string(m.mask, 60), ones);  // left as it was
}

// --- translation ---

struct msk_arg {
  uint8_t bytes[64];
  explicit msk_arg(const std::string& s) {
    memset(bytes, ' ', 60);
    memcpy(bytes, s.data(), s.size());
    st_le32(bytes, 60, 0);
  }
  std::string mask() const {
    std::string s(reinterpret_cast<const char*>(bytes), 60);
    return s.substr(0, s.find_last_not_of(' ') + 1);
  }
  uint32_t status() const { return ld_le32(bytes, 60); }
};

TEST_F(DateMask, XlateTurnsNamesIntoStoredTokens) {
  msk_arg a("Mon, Jan 05th 8877 44:03 am");
  EXPECT_EQ(cv_xlate_dat_msk(nullptr, a.bytes), 1);
  EXPECT_EQ(a.status(), 1u);
  EXPECT_EQ(a.mask(), "~DC, ~MC 05~SL 8877 44:03 ~AL");

  msk_arg b("MONDAY 555ST \"am\"");
  EXPECT_EQ(cv_xlate_dat_msk(nullptr, b.bytes), 1);
  EXPECT_EQ(b.mask(), "~dU 555~SU \"am\"");

  // A month and a day of year share one place.
  msk_arg c("JANUARY 555ST");
  EXPECT_EQ(cv_xlate_dat_msk(nullptr, c.bytes), 1);
  EXPECT_EQ(c.mask(), "~mU \"555\"ST");
}

TEST_F(DateMask, XlateQuotesRepeatsAndRefusesTildesAndOverflow) {
  msk_arg a("06/06 Jan 005 PM am");
  EXPECT_EQ(cv_xlate_dat_msk(nullptr, a.bytes), 1);
  EXPECT_EQ(a.mask(), "06/\"06\" ~MC \"005\" ~AU \"am\"");

  msk_arg t("06~05");
  EXPECT_EQ(cv_xlate_dat_msk(nullptr, t.bytes), 0);
  EXPECT_EQ(t.status(), 2u);
  EXPECT_EQ(t.mask(), "06~05");

  msk_arg o(std::string(60, '8'));
  EXPECT_EQ(cv_xlate_dat_msk(nullptr, o.bytes), 0);
  EXPECT_EQ(o.status(), 2u);

  msk_arg q("06 \"open");
  EXPECT_EQ(cv_xlate_dat_msk(nullptr, q.bytes), 0);
}

TEST_F(DateMask, UnxlateWritesTheLanguageAndRoundTrips) {
  msk_arg a("~DC, ~MC 05~SL 8877 44:03 ~AL");
  EXPECT_EQ(cv_unxlate_dat_msk(nullptr, a.bytes), 1);
  EXPECT_EQ(a.status(), 1u);
  EXPECT_EQ(a.mask(), "Mon, Jan 05th 8877 44:03 am");
  EXPECT_EQ(cv_xlate_dat_msk(nullptr, a.bytes), 1);
  EXPECT_EQ(a.mask(), "~DC, ~MC 05~SL 8877 44:03 ~AL");

  msk_arg full("~dU ~mL 555~SC");
  EXPECT_EQ(cv_unxlate_dat_msk(nullptr, full.bytes), 1);
  EXPECT_EQ(full.mask(), "MONDAY january 555Th");
}

TEST_F(DateMask, UnxlateKeepsLiteralWordsLiteral) {
  msk_arg a(kDefaultMask);
  EXPECT_EQ(cv_unxlate_dat_msk(nullptr, a.bytes), 1);
  EXPECT_EQ(a.mask(), "06/05/8877 44:33:22.11 \"am\"");
  EXPECT_EQ(cv_xlate_dat_msk(nullptr, a.bytes), 1);
  EXPECT_EQ(a.mask(), "06/05/8877 44:33:22.11 \"am\"");

  msk_arg suffix("55th x~MCuary");
  EXPECT_EQ(cv_unxlate_dat_msk(nullptr, suffix.bytes), 1);
  EXPECT_EQ(suffix.mask(), "55\"th\" x\"\"Jan\"\"uary");
  EXPECT_EQ(cv_xlate_dat_msk(nullptr, suffix.bytes), 1);
  EXPECT_EQ(suffix.mask(), "55\"th\" x\"\"~MC\"\"uary");
}

TEST_F(DateMask, UnxlateRefusesCompiledLevelTokens) {
  msk_arg a("~6Z/~5Z");
  EXPECT_EQ(cv_unxlate_dat_msk(nullptr, a.bytes), 0);
  EXPECT_EQ(a.status(), 2u);
  EXPECT_EQ(a.mask(), "~6Z/~5Z");
}

}  // namespace
}  // namespace kivo::date_test
