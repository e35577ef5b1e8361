// The terminal as a user meets it, through the real engine on a copy of the
// default installation under tmux: a lone Escape never types the bytes of
// the key pressed after it into a field, a keystroke script is typed whole
// however long, the end of the terminal's input ends the session that no
// key could end, and a script that cannot be read fails the start.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../net/net_test_util.h"
#include "term_harness.h"

namespace kivo::test {
namespace {

using kivo_test::data_dir;
using kivo_test::env_list;
using kivo_test::lone_escape_then;
using kivo_test::shell_quote;
using kivo_test::tmux_pane;

// CUSTOMER ENTRY's rows on the screen (1-based) and the start of its fields.
constexpr size_t kNoRow = 5, kNameRow = 6, kStatusRow = 22;
constexpr size_t kFieldCol = 24;

class TerminalRemoteMends : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kivo_test::copy_shipped_installation(d_.path)); }
  void TearDown() override { EXPECT_EQ(kivo_test::slurp(d_.file("syserr")), "") << "system errors"; }
  // kivo on DEM under tmux with `env` added, its standard input `input`
  // (a shell redirection or pipe; empty: the pane's terminal), in a pane
  // `cols` wide.
  std::unique_ptr<tmux_pane> session(const env_list& extra = {}, const std::string& input = "",
                                     const std::string& args = "-d=DEM", int cols = 80) const {
    env_list e = kivo_test::engine_env(d_.path);
    for (auto& x : extra) e.push_back(x);
    const std::string cmd = shell_quote(KIVO_BINARY) + " " + args;
    return std::make_unique<tmux_pane>(input.empty() ? cmd : "sh -c " + shell_quote(input + cmd), d_.path, e, cols);
  }
  // The stored customers: number -> name, both without their trailing blanks.
  std::map<std::string, std::string> customers() const {
    std::map<std::string, std::string> out;
    auto trim = [](std::string s) { return s.erase(s.find_last_not_of(' ') + 1); };
    for (const std::string& r : kivo_test::native_records(d_.file("DEM/DEM/Data/CUSTOMER.dat")).records)
      out[trim(r.substr(0, 6))] = trim(r.substr(6, 30));
    return out;
  }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(d_.file(name)) << text;
    return d_.file(name);
  }
  data_dir d_;
};

// Row r of the pane from the fields' column on.
std::string field_text(tmux_pane& p, size_t r) {
  const std::string row = p.row(r);
  return row.size() >= kFieldCol ? row.substr(kFieldCol - 1) : "";
}

// In CUSTOMER ENTRY, Escape and after a pause each key a user pressed:
// every key acts as it would alone, no byte of its escape sequence reaches
// a field, and only the customer typed is stored.
void escape_then_each_key(tmux_pane* p) {
  ASSERT_TRUE(p->wait_for("DEM MENU", 60)) << p->capture();
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("CUSTOMER ENTRY")) << p->capture();
  p->send_keys("F10");
  ASSERT_TRUE(p->wait_for("MM/DD/CCYY")) << p->capture();
  const std::string at_name = std::to_string(kNameRow) + " ";
  const struct {
    const char* what;
    const char* typed;  // before the Escape
    const char* key;    // after the pause, by tmux's name (text when `literal`)
    bool literal;
    std::function<bool()> done;  // what the key alone does
  } rows[] = {
      {"F12, INQUIRE MODE", "7001", "F12", false, [&] { return p->row(kStatusRow).ends_with("INQUIRE"); }},
      {"F10, ADD MODE", "", "F10", false, [&] { return p->row(kStatusRow).ends_with("ADD"); }},
      {"Down", "2002", "Down", false, [&] { return p->cursor().starts_with(at_name); }},
      {"a letter", "", "x", true, [&] { return field_text(*p, kNameRow).find('x') != std::string::npos; }},
      {"Enter", "", "Enter", false, [&] { return p->capture().find("RECORD ADDED") != std::string::npos; }},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (*row.typed) {
      p->send_text(row.typed);
      ASSERT_TRUE(p->wait_for(row.typed)) << p->capture();
    }
    ASSERT_TRUE(lone_escape_then(*p, row.key, row.literal)) << "no bell for the Escape\n" << p->capture();
    ASSERT_TRUE(kivo_test::wait_until(row.done, kivo_test::kScreenWait)) << p->capture();
    for (size_t r = kNoRow; r <= kNameRow + 2; ++r) {
      const std::string text = field_text(*p, r);
      EXPECT_EQ(text.find_first_of("[~\x1b"), std::string::npos) << r << ": " << text;
      EXPECT_EQ(text.find("OB"), std::string::npos) << r << ": " << text;
    }
  }
  p->send_keys("S-F1");
  ASSERT_TRUE(p->wait_for("DEM MENU")) << p->capture();
  p->send_keys("S-F1");
  ASSERT_EQ(p->exit_status(), 0) << p->capture();
}

TEST_F(TerminalRemoteMends, LoneEscapeLeavesTheNextKeyWholeAndTypesNoSequenceByte) {
  auto p = session();
  escape_then_each_key(p.get());
  EXPECT_EQ(customers(), (std::map<std::string, std::string>{{"2002", "x"}}));
}

// The same keys on a remote terminal: the character client reads them with
// the same reader, and the server stores the same customer.
TEST_F(TerminalRemoteMends, LoneEscapeOnARemoteTerminalLeavesTheNextKeyWhole) {
  env_list server_env = {{"TERM", "tmux-256color"}};
  for (auto& [k, v] : kivo_test::engine_env(d_.path))
    if (k != "TERM") server_env.push_back({k, v});
  std::vector<std::string> server = {"/usr/bin/env"};
  for (auto& [k, v] : server_env) server.push_back(k + "=" + v);
  server.insert(server.end(), {KIVO_BINARY, "-d=DEM"});
  listener lsn(true, server, nullptr);
  ASSERT_FALSE(lsn.port.empty());
  data_dir cli;
  const env_list client = {{"TERM", "tmux-256color"}, {"HOME", cli.path},  {"KIVO_HOST", "127.0.0.1"},
                           {"KIVO_PORT", lsn.port},   {"KIVO_USER", "me"}, {"KIVO_PSWD", "pw"}};
  tmux_pane p(shell_quote(KIVO_BINARY) + " -c", cli.path, client);
  escape_then_each_key(&p);
  EXPECT_EQ(customers(), (std::map<std::string, std::string>{{"2002", "x"}}));
}

// A script of more than 100,000 typed characters adds every customer it
// types, each with its own number and name, and ends the session.
TEST_F(TerminalRemoteMends, LongScriptStoresEveryRecordItTypes) {
  constexpr int kTyped = 100000;
  std::string script = "#ENTER\n#ADD MODE\n";
  std::map<std::string, std::string> typed;
  int chars = 0;
  for (int i = 0; chars < kTyped; ++i) {
    char no[16], name[40];
    snprintf(no, sizeof no, "K%05d", i);
    snprintf(name, sizeof name, "Customer %-21d", i);  // 30: the field's end moves on
    typed[no] = std::string(name).erase(std::string(name).find_last_not_of(' ') + 1);
    const std::string line = std::string(no) + name + std::to_string(i % 1000) + ".25";
    script += line + "\n#ENTER\n";
    chars += static_cast<int>(line.size());
  }
  script += "#END\n#END\n";
  auto p = session({{"KIVO_SCRIPT_IN", write("long.script", script)}});
  ASSERT_EQ(p->exit_status(300), 0) << p->capture();
  const auto stored = customers();
  EXPECT_EQ(stored.size(), typed.size());
  std::string first_wrong;
  for (auto& [no, name] : typed)
    if (!stored.count(no) || stored.at(no) != name) {
      first_wrong = no;
      break;
    }
  EXPECT_EQ(first_wrong, "") << "not stored as typed";
}

// A script that ends on a screen that refuses to leave (an invalid date),
// with standard input at its end: the session ends at once, the terminal
// put back, with one line and the status of a lost terminal; nothing is
// stored.
TEST_F(TerminalRemoteMends, EndOfInputEndsTheSessionAScriptLeftOnARefusedScreen) {
  const std::string script =
      write("refused.script", "#ENTER\n#ADD MODE\nQ00001Refused\n#TAB\n1.00\n#TAB\n13452024\n#ENTER\n");
  const struct {
    const char* what;
    const char* input;
  } rows[] = {{"/dev/null", "exec </dev/null; "}, {"a pipe whose writer ended", "true | "}};
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    auto p = session({{"KIVO_SCRIPT_IN", script}}, row.input);
    EXPECT_EQ(p->exit_status(), 255) << p->capture_history();
    const std::string out = p->capture_history();
    EXPECT_NE(out.find("kivo: input from the terminal ended"), std::string::npos) << out;
    EXPECT_TRUE(customers().empty());
  }
}

// A script that cannot be read ends the start with its line and status 1,
// before any screen.
TEST_F(TerminalRemoteMends, UnreadableScriptFailsTheStart) {
  const std::string missing = d_.file("missing.script");
  const struct {
    const char* what;
    env_list env;
    std::string args;
    std::string says;
  } rows[] = {
      {"missing", {{"KIVO_SCRIPT_IN", missing}}, "-d=DEM", missing + " cannot be played: No such file or directory"},
      {"a directory", {{"KIVO_SCRIPT_IN", d_.path}}, "-d=DEM", d_.path + " cannot be played: it is not a file"},
      {"named by -z", {}, "-z " + shell_quote(missing) + " -d=DEM", missing + " cannot be played"},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    auto p = session(row.env, "", row.args, 200);  // the line whole on one row
    EXPECT_EQ(p->exit_status(), 1) << p->capture();
    const std::string out = p->capture_history();
    EXPECT_NE(out.find("KIVO Startup Failure: the keystroke script " + row.says), std::string::npos) << out;
    EXPECT_EQ(out.find("DEM MENU"), std::string::npos) << out;
  }
}

}  // namespace
}  // namespace kivo::test
