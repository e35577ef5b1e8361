// The start of the window manager: keymap passes over DFLTMAP and KEYMAP
// records made through the file manager, their precedence, the fallback to
// DATA ENTRY, and the orderly failures.
#include "fm/fm_open.h"
#include "wm_session_util.h"

namespace kivo::test {
namespace {

using WmStart = WmSession;

// The logical key `bytes` send in the named keymap (chosen by a prepare), or -1.
int key_of(const char* name, const std::string& bytes) {
  SHOW_BLK b = WmSession::block(name, 0);
  prep_scr(&b, nullptr);
  const trie_node* n = &wms.sd.keymap->root;
  for (char c : bytes) {
    for (n = n->child; n && n->code != uint8_t(c);) n = n->sibling;
    if (!n) return -1;
  }
  return n->end ? n->key : -1;
}

TEST_F(WmStart, DefaultKeymapsGiveMenuEntryAndDataEntry) {
  defaults();
  ASSERT_EQ(start(), 1u);
  EXPECT_EQ(key_of("MENU ENTRY", "\x1bOP"), 1);
  EXPECT_EQ(key_of("DATA ENTRY", "\r"), 304);
}

TEST_F(WmStart, TerminalKeymapReplacesMenuEntryWhole) {
  defaults();
  ASSERT_TRUE(kivo_test::write_keymap(false, "xterm", "", "MENU ENTRY", {{3, "\x1bOR"}}));
  ASSERT_EQ(start(), 1u);
  EXPECT_EQ(key_of("MENU ENTRY", "\x1bOR"), 3);
  EXPECT_EQ(key_of("MENU ENTRY", "\x1bOP"), -1);  // only the default had it
  EXPECT_EQ(key_of("DATA ENTRY", "\r"), 304);
}

TEST_F(WmStart, UserKeymapAppliesToItsUserOnly) {
  defaults();
  ASSERT_TRUE(kivo_test::write_keymap(false, "xterm", "ABC", "MENU ENTRY", {{5, "\x1bOS"}}));
  for (const char* user : {"ABC", "XYZ"}) {
    memcpy(com.keymap_id + 10, user, 3);
    ASSERT_EQ(start(), 1u);
    EXPECT_EQ(key_of("MENU ENTRY", "\x1bOS"), *user == 'A' ? 5 : -1) << user;
    EXPECT_EQ(key_of("MENU ENTRY", "\x1bOP"), *user == 'A' ? -1 : 1) << user;
  }
}

TEST_F(WmStart, NameNeverCompiledFallsBackToDataEntry) {
  defaults();
  ASSERT_EQ(start(), 1u);
  EXPECT_EQ(key_of("NO SUCH   ", "\r"), 304);
}

TEST_F(WmStart, NoDataEntryForTheTerminalGives300530AndFinishes) {
  ASSERT_TRUE(kivo_test::write_keymap(true, "xterm", "", "MENU ENTRY", {{1, "\x1bOP"}}));
  ASSERT_TRUE(kivo_test::write_keymap(true, "vt100", "", "DATA ENTRY", {{304, "\r"}}));
  EXPECT_EQ(start(), NO_KEYMAP);
  EXPECT_EQ(g_rec.log.back(), "finish");
}

TEST_F(WmStart, NoDfltmapGivesTheOpensStatus) {
  FDB f;
  KDB k[2];
  SDB s[8];
  INIT_DDFLTMAP_FDB(&f, k, s);
  EXPECT_EQ(FM_OPEN(&f, com.sys_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 15, 15), 0);
  uint32_t status = 0;
  EXPECT_EQ(wm_init(&status), 0);
  EXPECT_EQ(status, f.fdb_stat);
  EXPECT_EQ(g_rec.log.back(), "finish");
}

TEST_F(WmStart, WithoutTerminalStartSucceedsWithNoKeymaps) {
  defaults();
  com.no_term = 1;
  ASSERT_EQ(start(), 1u);
  EXPECT_EQ(wms.data_entry, nullptr);
  EXPECT_EQ(g_rec.keymaps.size(), 2u);  // handed in; the layer keeps none
}

TEST_F(WmStart, GroupOf1200CodesIsCutAt999) {
  defaults();
  std::vector<kivo_test::keymap_row> rows;
  for (uint16_t i = 0; i < 1200; ++i) rows.push_back({i, "\x1b" + std::to_string(i) + "~"});
  ASSERT_TRUE(kivo_test::write_keymap(false, "xterm", "", "BIG", rows));
  ASSERT_EQ(start(), 1u);
  EXPECT_EQ(g_rec.keymaps.back(), std::make_pair(std::string("BIG       "), kKeymapMaxCodes));
  EXPECT_EQ(key_of("BIG       ", std::string("\x1b") + "998~"), 998);
  EXPECT_EQ(key_of("BIG       ", std::string("\x1b") + "999~"), -1);
}

}  // namespace
}  // namespace kivo::test
