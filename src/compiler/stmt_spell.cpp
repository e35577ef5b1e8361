// The statement words of the current language: verbs (opcode_tbl, fm/la.h),
// area words, FROM and INTO, invocation types and the clause templates.
//
// Invariant: every entry is readable at any time; before the first load it
// is the built-in word, so the design sources read without a language.
// Loaded entries are the tables' own heap copies (the compiler reads them
// too, below the editor and its pool), freed when replaced.
#include <cstdlib>
#include <cstring>
#include <set>

#include "compiler/stmt_layout.h"
#include "fm/la.h"
#include "foundation/com.h"

namespace kivo {

namespace {

const char* const kAreaBuiltIn[kAreaCount + 1] = {nullptr,        "FIELD",       "FILE",           "RECORD",
                                                  "STORE RECORD", "STORE FIELD", "DEFAULT RECORD", "DEFAULT FIELD"};
constexpr uint32_t kAreaMsg[kAreaCount + 1] = {0, 106000, 106010, 106040, 106020, 106030, 106060, 106050};
const char* const kTempBuiltIn[3] = {nullptr, "FROM", "INTO"};
constexpr uint32_t kTempMsg[3] = {0, 106070, 106080};
const char* const kInvocBuiltIn[3] = {"SUBPROCESS", "RELATED", "DETACHED"};
constexpr uint32_t kInvocMsg[3] = {106260, 106270, 106280};

// The clause templates: message (0 none), the template, its verbs.
struct zel_template {
  uint32_t msg;
  const char* text;
  const char* verbs;
};
const zel_template kTemplates[] = {
    {106090, "   =     TO      STEP", "7"},
    {106100, "              HOLD                KEY IS", "8 60"},
    {106110, "              HOLD      FAIL      KEY IS", "59"},
    {106120, "                                  KEY IS", "68"},
    {106130, "                               (AT APPEARANCE #    )",
     "5 9 10 11 25 27 28 41 46 48 49 50 56 81 82 92 93 94 95"},
    {0, "   =", "12"},
    {0, "                               =", "16 18 66 69 74 97 98 101 102"},
    {106140, "                                                  END?    FAIL", "44 2 40 53 58 76 87 88 89 90 91"},
    {106150, "                               RESIDENT?    END?    FAIL", "13"},
    {106160, "                                            END?    FAIL", "65"},
    {106170, "              PHYSICAL?", "15"},
    {106180, "SYSTEM?", "43"},
    {106190, "                               TYPE               FAIL", "96"},
    {106200, "                                                SHARE?", "55"},
    {106210, "                                                  FAIL", "61"},
    {106220, "      AT     FOR              OF", "73"},
    {106230, "                               AT     ROWS     COLUMNS", "57"},
    {106240, "                        FAIL", "84 64 39 67"},
    {106250, "              SHARE?    FAIL", "22 51"},
};

std::set<const void*>& loaded() {
  static std::set<const void*> s;
  return s;
}

bool g_ever_loaded = false;
char g_loaded_lang[sizeof com.lang_id];

}  // namespace

const char* area_spell_tbl[kAreaCount + 1] = {kAreaBuiltIn[0], kAreaBuiltIn[1], kAreaBuiltIn[2], kAreaBuiltIn[3],
                                              kAreaBuiltIn[4], kAreaBuiltIn[5], kAreaBuiltIn[6], kAreaBuiltIn[7]};
const char* temp_spell_tbl[3] = {nullptr, "FROM", "INTO"};
const char* invoc_spell_tbl[3] = {"SUBPROCESS", "RELATED", "DETACHED"};
const char* zel_spell_tbl[kVerbCount] = {};

namespace {
// Points the template table at the built-in templates once, at load.
struct template_init {
  template_init() {
    for (const zel_template& t : kTemplates)
      for (const char* p = t.verbs; *p;) {
        char* end;
        const long v = strtol(p, &end, 10);
        zel_spell_tbl[v] = t.text;
        p = end;
        while (*p == ' ') ++p;
      }
  }
} g_template_init;
}  // namespace

void load_spell(const char** table, int index, uint32_t msg, size_t width, const char* dflt) {
  char text[81];
  const char* src = msg && la_get_str(text, sizeof text, msg) ? text : dflt;
  if (!src) src = "";
  const size_t n = strlen(src);
  const size_t size = width ? width : n + 1;
  char* p = static_cast<char*>(malloc(size + 1));
  if (!p) return;  // the old entry stays
  memset(p, ' ', size);
  memcpy(p, src, width ? std::min(n, width) : n + 1);
  p[size] = '\0';  // a blank-filled entry is a string of its width too
  const char* old = table[index];
  table[index] = p;
  loaded().insert(p);
  if (old && loaded().erase(old)) free(const_cast<char*>(old));
}

void load_zel_spellings() {
  if (g_ever_loaded && memcmp(g_loaded_lang, com.lang_id, sizeof g_loaded_lang) == 0) return;
  // Before the first language the built-in words serve, and the language's
  // are loaded once one is chosen.
  const bool lang = la_current() != nullptr;
  g_ever_loaded = lang;
  memcpy(g_loaded_lang, com.lang_id, sizeof g_loaded_lang);
  if (lang) load_opcode_words(kVerbCount);
  else memset(opcode_tbl, 0, sizeof opcode_tbl);
  auto msg = [lang](uint32_t m) { return lang ? m : 0; };
  for (int i = 1; i <= kAreaCount; ++i) load_spell(area_spell_tbl, i, msg(kAreaMsg[i]), kAreaWordLen, kAreaBuiltIn[i]);
  for (int i = 1; i < 3; ++i) load_spell(temp_spell_tbl, i, msg(kTempMsg[i]), kTempWordLen, kTempBuiltIn[i]);
  for (int i = 0; i < 3; ++i) load_spell(invoc_spell_tbl, i, msg(kInvocMsg[i]), kInvocWordLen, kInvocBuiltIn[i]);
  for (const zel_template& t : kTemplates)
    for (const char* p = t.verbs; *p;) {
      char* end;
      const long v = strtol(p, &end, 10);
      load_spell(zel_spell_tbl, static_cast<int>(v), msg(t.msg), 0, t.text);
      p = end;
      while (*p == ' ') ++p;
    }
}

}  // namespace kivo
