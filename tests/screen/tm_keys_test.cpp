// The key reader: sequences decided byte by byte, data characters, dropped
// partial sequences, full rows, the key meta map file,
// and the message signal and time-out ending a read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>

#include <utility>

#include "../fixtures/hook_override.h"
#include "../foundation/test_dir.h"
#include "tm_test_util.h"

namespace kivo {
namespace {

using kivo_test::feed;
using key_seq = std::vector<int16_t>;

struct reader_case {
  const char* name;
  std::vector<std::pair<uint16_t, key_seq>> rows;
  std::string input;
  std::vector<std::pair<int, int>> want;  // (key, kind) in order, then (-1, 0)
};

// Keys as an xterm-like terminal sends them in keypad mode: INQUIRE MODE
// (F12), DOWN, ENTER, and CANCEL as GO (F2) then END (Shift-F1).
const std::vector<std::pair<uint16_t, key_seq>> kTermKeys = {
    {LK_INQUIRE_MODE, {27, '[', '2', '4', '~'}},
    {LK_DOWN, {27, 'O', 'B'}},
    {LK_ENTER, {13}},
    {LK_CANCEL, {27, 'O', 'Q', 27, '[', '1', ';', '2', 'P'}},
};

const reader_case kReaderCases[] = {
    {"ShorterSequenceWins",
     {{LK_UP, {27, '[', 'A'}}, {LK_CANCEL, {27}}},
     "\x1b[A",
     {{LK_CANCEL, KIND_KEY}, {'[', KIND_CHAR}, {'A', KIND_CHAR}}},
    {"PartialSequenceGivesZeroAndDropsBytes", {{LK_UP, {27, '[', 'A'}}}, "\x1bxq", {{0, KIND_CHAR}, {'q', KIND_CHAR}}},
    {"UnmatchedFirstByteIsData", {{LK_UP, {27, '[', 'A'}}}, "z[", {{'z', KIND_CHAR}, {'[', KIND_CHAR}}},
    {"FirstDefinitionStays", {{LK_ENTER, {13}}, {LK_TAB, {13}}}, "\r", {{LK_ENTER, KIND_KEY}}},
    {"FullRowWithoutEndMark",
     {{LK_HOME, key_seq(25, 'a')}, {LK_TAB, {9}}},
     std::string(25, 'a') + "\t",
     {{LK_HOME, KIND_KEY}, {LK_TAB, KIND_KEY}}},
    {"SiblingsInAnyOrder",
     {{LK_DOWN, {27, '[', 'B'}}, {LK_UP, {27, '[', 'A'}}, {LK_RIGHT, {27, '[', 'C'}}},
     "\x1b[C\x1b[A\x1b[B",
     {{LK_RIGHT, KIND_KEY}, {LK_UP, KIND_KEY}, {LK_DOWN, KIND_KEY}}},
    // '|' is a pause longer than the escape delay.
    {"LoneEscapeLeavesTheKeysAfterItsPauseWhole",
     kTermKeys,
     "\x1b|\x1b[24~\x1b|\x1bOB\x1b|\r\x1b|x",
     {{0, KIND_CHAR},
      {LK_INQUIRE_MODE, KIND_KEY},
      {0, KIND_CHAR},
      {LK_DOWN, KIND_KEY},
      {0, KIND_CHAR},
      {LK_ENTER, KIND_KEY},
      {0, KIND_CHAR},
      {'x', KIND_CHAR}}},
    {"EscapeRightBeforeASequenceIsDroppedAlone",
     kTermKeys,
     "\x1b\x1bOB\x1b\x1b[24~",
     {{0, KIND_CHAR}, {LK_DOWN, KIND_KEY}, {0, KIND_CHAR}, {LK_INQUIRE_MODE, KIND_KEY}}},
    {"UnknownSequenceIsDroppedWhole",
     kTermKeys,
     "\x1b[29~a\x1b[15~b\x1bOza\x1b[1;5Ac",
     {{0, KIND_CHAR},
      {'a', KIND_CHAR},
      {0, KIND_CHAR},
      {'b', KIND_CHAR},
      {0, KIND_CHAR},
      {'a', KIND_CHAR},
      {0, KIND_CHAR},
      {'c', KIND_CHAR}}},
    {"EscapeSequenceOfAKeymapWithoutOneIsNoData",
     {{LK_ENTER, {13}}},
     "\x1b[Aq\r",
     {{0, KIND_CHAR}, {'q', KIND_CHAR}, {LK_ENTER, KIND_KEY}}},
    {"CombinationWaitsForItsSecondKey", kTermKeys, "\x1bOQ|\x1b[1;2P", {{LK_CANCEL, KIND_KEY}}},
};

class TmKeys : public kivo_test::TmFresh, public ::testing::WithParamInterface<reader_case> {};

tm_keymap_h* keymap_of(const char* name, const std::vector<std::pair<uint16_t, key_seq>>& rows) {
  std::vector<int16_t> table;
  for (auto& [code, seq] : rows) {
    key_seq row(kKeymapRowWords, -1);
    row[0] = static_cast<int16_t>(code);
    for (size_t i = 0; i < seq.size(); ++i) row[1 + i] = seq[i];
    table.insert(table.end(), row.begin(), row.end());
  }
  table.push_back(-1);
  return tm_keymap(name, table.data());
}

// Each key as read; every dropped sequence (a 0 character) beeps.
TEST_P(TmKeys, Reader) {
  const reader_case& c = GetParam();
  tm_keymap_h* km = keymap_of(c.name, c.rows);
  for (char ch : c.input) {
    if (ch == '|') kivo_test::scripted_bytes().push_back(kByteLate);
    else feed(std::string(1, ch));
  }
  const unsigned beeps = tm_beep_count();
  unsigned dropped = 0;
  for (auto [key, kind] : c.want) {
    int got_kind = -1;
    EXPECT_EQ(key, get_a_c(nullptr, km, &got_kind));
    EXPECT_EQ(kind, got_kind);
    dropped += key == 0 && kind == KIND_CHAR;
  }
  int kind;
  EXPECT_EQ(-1, get_a_c(nullptr, km, &kind));
  EXPECT_EQ(dropped, tm_beep_count() - beeps);
}

INSTANTIATE_TEST_SUITE_P(Sequences, TmKeys, ::testing::ValuesIn(kReaderCases),
                         [](const auto& info) { return std::string(info.param.name); });

class TmKeysMap : public kivo_test::TmFresh {};

TEST_F(TmKeysMap, KeyMetaMapOfBadShapeIsIgnored) {
  kivo_test::scratch_dir dir;
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(dir.path.c_str()));
  setenv("TERM", "kivotest", 1);
  std::string node(16, '\0');
  std::string bad_index = node + node;
  bad_index[0] = 5;  // child of node 0 is node 5 of 2
  struct {
    std::string bytes;
    size_t want;
  } cases[] = {{node + node, 32}, {node.substr(0, 15), 0}, {node + node.substr(0, 8), 0}, {bad_index, 0}};
  for (auto& c : cases) {
    dir.write("kivotest.kdef", c.bytes);
    tm_term* t = tm_image_new(24, 80);
    tm_load_kdef(t);
    EXPECT_EQ(c.want, t->kdef.size()) << c.bytes.size();
    tm_image_free(t);
  }
  ASSERT_EQ(0, chdir(cwd));
}

// A read on an empty pipe, ended by a signal: the key is 272.
SHOW_DATA blocked_read(tm_term* t, uint32_t timeout, bool send_usr2) {
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  kivo_test::scoped_hook terminal(tm_hooks.read_byte, nullptr);
  int old_fd = tm_input_fd;
  tm_input_fd = fds[0];
  pid_t child = -1;
  if (send_usr2) {
    pid_t parent = getpid();
    child = fork();
    if (child == 0) {
      usleep(200 * 1000);
      kill(parent, SIGUSR2);
      _exit(0);
    }
  }
  tm_keymap_h* km = keymap_of("SIG", {{LK_ENTER, {13}}});
  SHOW_DATA sd{};
  sd.term = t;
  sd.keymap = km;
  sd.row = sd.col = 1;
  sd.timeout = timeout;
  sd.key = NO_KEY;
  sd.status = KEY_STATUS_NONE;
  do_input(t, &sd, false);
  if (child > 0) waitpid(child, nullptr, 0);
  tm_input_fd = old_fd;
  close(fds[0]);
  close(fds[1]);
  return sd;
}

TEST_F(TmKeysMap, MessageSignalOrTimeOutDuringReadEndsInputWith272) {
  for (bool usr2 : {true, false}) {
    tm_term* t = tm_image_new(24, 80);
    SHOW_DATA sd = blocked_read(t, usr2 ? 0 : 1, usr2);
    EXPECT_EQ(LK_DIRECT_PROC1, sd.key) << usr2;
    EXPECT_EQ(KEY_STATUS_KEY, sd.status);
    EXPECT_FALSE(tm_msg_pending());
    tm_image_free(t);
  }
}

TEST_F(TmKeysMap, WithoutTerminalShowEndsAtOnceAndNoKeymapIsBuilt) {
  com.no_term = 1;
  tm_term* t = tm_image_new(24, 80);
  int16_t table[] = {LK_ENTER, 13, -1, -1};
  EXPECT_EQ(nullptr, tm_keymap("NONE", table));
  SHOW_DATA sd{};
  sd.term = t;
  sd.flags = SHOW_REFRESH | SHOW_INPUT;
  EXPECT_EQ(1u, tm_show(&sd));
  EXPECT_EQ(LK_END, sd.key);
  EXPECT_EQ(KEY_STATUS_KEY, sd.status);
  sd.flags = SHOW_COMPARE;
  EXPECT_EQ(0u, tm_show(&sd));
  com.no_term = 0;
  tm_image_free(t);
}

}  // namespace
}  // namespace kivo
