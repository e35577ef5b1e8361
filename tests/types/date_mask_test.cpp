// Date masks: chunks, compilation per storage type, translation both ways.
#include "date_test_util.h"
#include "foundation/bytes.h"

namespace kivo::date_test {
namespace {

class DateMask : public DateTest {};

constexpr const char* kDefaultMask = "06/05/8877 44:33:22.11 am";

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

// Translation of the user's mask language into stored tokens (xlate) and
// back (unxlate); each unxlated mask translates back to where it came from.
TEST_F(DateMask, TranslationTable) {
  const std::string long_mask(60, '8');
  const struct {
    bool unxlate;
    std::string in;
    int rc;
    const char* out;  // the mask afterwards; status 1 on success, 2 on refusal
  } cases[] = {
      {false, "Mon, Jan 05th 8877 44:03 am", 1, "~DC, ~MC 05~SL 8877 44:03 ~AL"},
      {false, "MONDAY 555ST \"am\"", 1, "~dU 555~SU \"am\""},
      {false, "JANUARY 555ST", 1, "~mU \"555\"ST"},  // a month and a day of year share one place
      {false, "06/06 Jan 005 PM am", 1, "06/\"06\" ~MC \"005\" ~AU \"am\""},
      {false, "06~05", 0, "06~05"},
      {false, long_mask, 0, nullptr},
      {false, "06 \"open", 0, nullptr},
      {true, "~DC, ~MC 05~SL 8877 44:03 ~AL", 1, "Mon, Jan 05th 8877 44:03 am"},
      {true, "~dU ~mL 555~SC", 1, "MONDAY january 555Th"},
      // Literal words that would read as names are quoted.
      {true, kDefaultMask, 1, "06/05/8877 44:33:22.11 \"am\""},
      {false, "06/05/8877 44:33:22.11 \"am\"", 1, "06/05/8877 44:33:22.11 \"am\""},
      {true, "55th x~MCuary", 1, "55\"th\" x\"\"Jan\"\"uary"},
      {false, "55\"th\" x\"\"Jan\"\"uary", 1, "55\"th\" x\"\"~MC\"\"uary"},
      {true, "~6Z/~5Z", 0, "~6Z/~5Z"},  // compiled level tokens
  };
  for (const auto& c : cases) {
    msk_arg a(c.in);
    EXPECT_EQ(c.unxlate ? cv_unxlate_dat_msk(nullptr, a.bytes) : cv_xlate_dat_msk(nullptr, a.bytes), c.rc) << c.in;
    EXPECT_EQ(a.status(), c.rc ? 1u : 2u) << c.in;
    if (c.out) {
      EXPECT_EQ(a.mask(), c.out) << c.in;
    }
  }
}

}  // namespace
}  // namespace kivo::date_test
