// Statements as text: every verb's golden line read and shown back, in the
// built-in and a respelled language; prefixes, "C" lines, BOLD, "---", the
// relational words, required fields, a new line's defaults; a row's runs and
// items; the coded constants.
#include <fstream>
#include <sstream>

#include "fm/fm_open.h"
#include "fm/la.h"
#include "se_test_util.h"

namespace kivo::test {
namespace {

const std::string kGolden = std::string(KIVO_SOURCE_DIR) + "/tests/compiler/stmt_golden.txt";

// Each line's record bytes 78-151 and the line shown back, with `respell`
// applied to the verb columns of what is typed and shown.
std::string convert_all(SeText* t, const std::string& text, std::string (*respell)(std::string)) {
  std::istringstream in(text);
  std::string l, out;
  while (std::getline(in, l)) {
    if (l.rfind("= ", 0) == 0 || l.rfind("> ", 0) == 0) continue;
    uint8_t rec[kStmtSize];
    SeText::fresh(rec);
    int col = 0;
    const bool ok = t->read(respell(l), rec, &col);
    out += l + "\n= " + (ok ? hex(rec + STMT_PREFIX, kStmtSize - STMT_PREFIX) : "refused at " + std::to_string(col)) +
           "\n> " + respell(t->shown(rec)) + "\n";
  }
  return out;
}

std::string same(std::string l) { return l; }

// "*" is "REM" and "SET" is "LET" in language 01.
std::string to_01(std::string l) {
  if (l.size() >= 14 && l.compare(6, 8, "*       ") == 0) l.replace(6, 8, "REM     ");
  else if (l.size() >= 14 && l.compare(6, 8, "SET     ") == 0) l.replace(6, 8, "LET     ");
  return l;
}
std::string from_01(std::string l) {
  if (l.size() >= 14 && l.compare(6, 8, "REM     ") == 0) l.replace(6, 8, "*       ");
  else if (l.size() >= 14 && l.compare(6, 8, "LET     ") == 0) l.replace(6, 8, "SET     ");
  return l;
}

void message_file(const char* lang, std::initializer_list<std::pair<uint32_t, const char*>> rows) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DMSG_FDB(&f, k, s, lang);
  ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 15, 15), 1);
  for (auto [n, text] : rows) {
    uint8_t rec[kMsgRecMax] = {};
    st_le32(rec, MSG_NUMBER, n);
    memcpy(rec + MSG_TEXT, text, strlen(text));
    f.fdb_arb->arb_rec = rec;
    f.fdb_arb->arb_var_len = static_cast<uint16_t>(MSG_TEXT + strlen(text));
    ASSERT_EQ(fm_write(f.fdb_arb), 1);
  }
  FM_CLOSE(f.fdb_arb, ARB_CLOSE_NOW);
}

void use_language(const char* lang) {
  ASSERT_EQ(la_slct(lang, com.mark_scope), 1);
  memcpy(com.lang_id, lang, 3);
  load_zel_spellings();
}

class StmtText : public SeText {};

TEST_F(StmtText, GoldenLinesOfEveryVerbReadAndShowBackInEachLanguage) {
  const std::string want = read_text("tests/compiler/stmt_golden.txt");
  const std::string got = convert_all(this, want, same);
  if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(kGolden) << got;
  EXPECT_EQ(got, want);
  // Every verb has a line.
  bool verbs[kVerbCount] = {};
  std::istringstream in(want);
  for (std::string l; std::getline(in, l);)
    if (l.rfind("= ", 0) == 0) verbs[std::stoi(l.substr(2 + 12, 2), nullptr, 16)] = true;
  for (int v = 0; v < kVerbCount; ++v) EXPECT_TRUE(verbs[v]) << se_get_verb_spell(v);
  // Language 01 respells "*" and "SET": display and lookup follow; every
  // other word, whose message is missing, stays the built-in one.
  message_file("00", {});
  message_file("01", {{105000, "REM"}, {105690, "LET"}});
  use_language("01 ");
  std::string back;
  std::istringstream rin(convert_all(this, want, to_01));
  for (std::string l; std::getline(rin, l);)
    back += (l.rfind("> ", 0) == 0 ? "> " + from_01(l.substr(2)) : from_01(l)) + "\n";
  EXPECT_EQ(back, want);
  uint8_t rec[kStmtSize];
  fresh(rec);
  int col = 0;
  EXPECT_EQ(read(line_at("*", {{16, "NOTE"}}), rec, &col), 0);
  EXPECT_EQ(col, 7);
  // A changed language reloads the spellings.
  use_language("00 ");
  EXPECT_EQ(read(line_at("*", {{16, "NOTE"}}), rec, &col), 1);
  EXPECT_EQ(shown(rec), "      *        NOTE");
  if (la_lang* l = la_current()) FM_CLOSE(l->arb, 0), l->arb = nullptr;
}

}  // namespace
}  // namespace kivo::test
