// A key typed at a remote terminal has the effect it has at a local one.
// Each script of a table is played twice on a fresh copy of the shipped
// installation in the same directory: by the real kivo under tmux, and by
// kivo -c under tmux through kivo_listen on 127.0.0.1, whose engine has for
// standard input a pipe that holds one unread line. The screens at the
// script's marks are the same, the two exports of the customer file
// (kivo -e) are byte-identical and hold the values typed, and the server
// reads nothing of its standard input. A refused file is shown whole in a
// window, naming the file, at either terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"

namespace {

using kivo_test::shell_quote;
using kivo_test::slurp;
using kivo_test::tmux_pane;

constexpr double kWait = 60;  // only a hung session takes so long
constexpr char kCustomer[] = "DEM/DEM/Data/CUSTOMER";

using kivo_test::squeezed;

// Keys by tmux's names, or text to type after "="; then the texts the
// screen shows once they took effect (none: no mark, nothing compared).
struct step {
  std::vector<std::string> keys;
  std::vector<std::string> mark;
};

// The demonstration's CUSTOMER ENTRY from its menu, in ADD MODE.
const step kAddMode = {{"F1", "=1", "F10"}, {"CUSTOMERENTRY", "USER:ADD"}};  // the mode on the status line
const step kLeave = {{"S-F1"}, {"DEMMENU", "UPandDOWN"}};

step add(const std::string& no, const std::string& name, const std::string& balance, const std::string& msg) {
  return {{"=" + no, "Tab", "=" + name, "Tab", "=" + balance, "Enter"}, {msg}};
}

// One session on the installation in `dir`, local or remote.
class session {
 public:
  session(const std::string& dir, bool remote, const std::string& as_user) : dir_(dir) {
    kivo_test::env_list env = kivo_test::engine_env(dir);
    env.push_back({"KIVO_FAKE_TIME", "2026120709300000"});
    const std::string engine = as_user + shell_quote(KIVO_BINARY);
    if (!remote) {
      pane_ = std::make_unique<tmux_pane>(engine + " -d=DEM", dir, env);
      return;
    }
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return;
    // A line in the server's standard input that it must leave there.
    if (write(in[1], "\n", 1) != 1) return;
    listener_ = fork();
    if (listener_ == 0) {
      if (chdir(dir.c_str()) != 0) _exit(126);
      for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      dup2(in[0], 0), dup2(out[1], 1), dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      const std::string cmd = "exec " + shell_quote(KIVO_LISTEN) + " --once " + engine + " -d=DEM";
      execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]), close(err[1]);
    in_r_ = in[0], in_w_ = in[1], err_ = err[0];
    std::string port;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (poll(&p, 1, int(kWait * 1000)) == 1 && read(out[0], &c, 1) == 1 && c != '\n') port += c;
    close(out[0]);
    env.insert(env.end(), {{"KIVO_HOST", "127.0.0.1"}, {"KIVO_PORT", port}, {"KIVO_USER", "me"}, {"KIVO_PSWD", "pw"}});
    pane_ = std::make_unique<tmux_pane>(shell_quote(KIVO_BINARY) + " -c", dir, env);
  }
  ~session() {
    pane_.reset();
    if (listener_ > 0) kill(listener_, SIGKILL), waitpid(listener_, nullptr, 0);
    for (int fd : {in_r_, in_w_, err_})
      if (fd >= 0) close(fd);
  }
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  tmux_pane& pane() { return *pane_; }
  bool shows(const std::vector<std::string>& texts) {
    const std::string s = squeezed(pane_->capture());
    return std::all_of(texts.begin(), texts.end(),
                       [&](const std::string& t) { return s.find(squeezed(t)) != std::string::npos; });
  }
  // Plays `steps`, waiting for each mark; the screens at the marks.
  std::vector<std::string> play(const std::vector<step>& steps) {
    std::vector<std::string> screens;
    for (const step& s : steps) {
      for (const std::string& k : s.keys) k[0] == '=' ? pane_->send_text(k.substr(1)) : pane_->send_keys(k);
      if (s.mark.empty()) continue;
      EXPECT_TRUE(kivo_test::wait_until([&] { return shows(s.mark); }, kWait)) << s.mark[0] << "\n" << pane_->capture();
      // The mark's screen once it stands still (the rest of the change painted).
      std::string now = pane_->capture(), before;
      kivo_test::wait_until([&] { return before = now, now = pane_->capture(), now == before; }, kWait);
      screens.push_back(now);
    }
    return screens;
  }
  // The session's end: the terminal's exit status; for a remote one the
  // server's end too (its standard error closes), with its input unread.
  int end(size_t* unread = nullptr, std::string* server_err = nullptr) {
    const int status = pane_->exit_status(kWait);
    if (err_ < 0) return status;
    pollfd p{err_, POLLIN, 0};
    char buf[512];
    for (ssize_t n = 1; n > 0 && poll(&p, 1, int(kWait * 1000)) == 1;)
      if ((n = read(err_, buf, sizeof buf)) > 0 && server_err) server_err->append(buf, size_t(n));
    int queued = -1;
    ioctl(in_r_, FIONREAD, &queued);
    if (unread) *unread = size_t(queued);
    return status;
  }
  // The customer file exported (kivo -e), its bytes.
  std::string exported() const {
    const std::string cmd =
        "cd " + shell_quote(dir_) + " && " + shell_quote(KIVO_BINARY) + " -e=" + kCustomer + " >/dev/null 2>&1";
    if (system(cmd.c_str()) < 0) return "";
    return slurp(dir_ + "/" + kCustomer);
  }

 private:
  std::string dir_;
  std::unique_ptr<tmux_pane> pane_;
  pid_t listener_ = -1;
  int in_r_ = -1, in_w_ = -1, err_ = -1;
};

// A fresh copy of the shipped installation in `dir`, emptied first.
void fresh(const std::string& dir) {
  ASSERT_EQ(system(("rm -rf " + shell_quote(dir) + "/* " + shell_quote(dir) + "/.[!.]*").c_str()), 0);
  ASSERT_TRUE(kivo_test::copy_shipped_installation(dir));
  ASSERT_EQ(mkdir((dir + "/tst").c_str(), 0777), 0);
}

// The export line of a customer: number (6), name (30), balance (packed,
// 5 bytes, sign 0xC or 0xD), the day number of SINCE (u32, little-endian;
// all ones: none) and a line feed.
constexpr uint32_t kNoDate = 0xFFFFFFFF;
std::string record(const std::string& no, const std::string& name, long cents, uint32_t since = kNoDate) {
  std::string r = no + std::string(6 - no.size(), ' ') + name + std::string(30 - name.size(), ' ');
  std::string digits = std::to_string(cents < 0 ? -cents : cents);
  digits = std::string(9 - digits.size(), '0') + digits + (cents < 0 ? 'D' : 'C');
  for (size_t i = 0; i < 10; i += 2) r += char(std::stoi(digits.substr(i, 2), nullptr, 16));
  for (int i = 0; i < 4; ++i) r += char(since >> (8 * i));
  return r + "\n";
}

// Day numbers as SINCE stores them: 12/25/2024 is 739241.
uint32_t day(int y, int m, int d) {
  auto civil = [](int y, int m, int d) {  // days from 1970-01-01
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400, yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  };
  return uint32_t(739241 + civil(y, m, d) - civil(2024, 12, 25));
}

struct parity_case {
  const char* name;
  std::function<void(const std::string& dir)> prepare;  // null: the installation as shipped
  std::vector<step> steps;
  std::string records;  // the export expected
};

struct played {
  std::vector<std::string> screens;
  std::string exported, server_err;
  int status = -1;
  size_t unread = 0;
};

played play(const std::string& dir, const parity_case& c, bool remote) {
  played out;
  fresh(dir);
  if (c.prepare) c.prepare(dir);
  session s(dir, remote, "");
  EXPECT_TRUE(kivo_test::wait_until([&] { return s.shows({"DEMMENU", "UPandDOWN"}); }, kWait)) << s.pane().capture();
  out.screens = s.play(c.steps);
  s.pane().send_keys("S-F1");
  out.status = s.end(&out.unread, &out.server_err);
  out.exported = s.exported();
  return out;
}

TEST(RemoteParity, KeysTypedAtARemoteTerminalStoreWhatTheyStoreAtALocalOne) {
  const std::string refused = "BALANCE MAY NOT BE NEGATIVE";
  auto retype = [](const std::string& balance, const std::string& msg) {
    return step{{"Tab", "Tab", "=" + balance, "Enter"}, {msg}};
  };
  auto inquire = [](const std::string& no) { return step{{"F12", "=" + no, "Enter"}, {"RECORD READ", no}}; };
  const step change_mode = {{"S-F2"}, {"CHANGE MODE"}};
  const parity_case cases[] = {
      {"a refused negative balance, then a shorter one and a longer one",
       nullptr,
       {kAddMode, add("X0005", "Five", "-123.45", refused), retype("8", "RECORD ADDED"),
        add("X0006", "Six", "-7", refused), retype("7", "RECORD ADDED"), add("X0007", "Seven", "-1", refused),
        retype("98765.43", "RECORD ADDED"), kLeave},
       record("X0005", "Five", 800) + record("X0006", "Six", 700) + record("X0007", "Seven", 9876543)},
      {"the same after a CHANGE",
       nullptr,
       {kAddMode, add("X0008", "Eight", "5", "RECORD ADDED"), inquire("X0008"), change_mode, retype("-123.45", refused),
        retype("8", "RECORD CHANGED"), inquire("X0008"), change_mode, retype("-7", refused),
        retype("12345", "RECORD CHANGED"), kLeave},
       record("X0008", "Eight", 1234500)},
      {"date digits typed over the slashes in ADD and CHANGE",
       nullptr,
       {kAddMode,
        {{"=X0009", "Tab", "=Nine", "Tab", "=1", "Tab", "=12252024", "Enter"}, {"RECORD ADDED"}},
        inquire("X0009"),
        change_mode,
        {{"Tab", "Tab", "Tab", "=01012021", "Enter"}, {"RECORD CHANGED"}},
        inquire("X0009"),
        {{}, {"01/01/2021"}},
        kLeave},
       record("X0009", "Nine", 100, day(2021, 1, 1))},
      {"Backspace at the start of a fresh screen, then an add",
       nullptr,
       {kAddMode, {{"BSpace"}, {"MM/DD/CCYY"}}, add("X0010", "Ten", "10", "RECORD ADDED"), kLeave},
       record("X0010", "Ten", 1000)},
      {"Delete over a placeholder reached with the arrows, then an add",
       nullptr,
       {kAddMode,
        {{"Down", "Down", "Down", "DC"}, {"SINCE: / /"}},
        {{"Up", "Up", "Up"}, {}},
        add("X0011", "Eleven", "11", "RECORD ADDED"),
        kLeave},
       record("X0011", "Eleven", 1100)},
      {"a refused file's message acknowledged, then END",
       [](const std::string& dir) { ASSERT_EQ(truncate((dir + "/" + kCustomer + ".dat").c_str(), 100), 0); },
       {{{"F1", "=1"}, {"fileCUSTOMERofapplicationDEM", "keepsitswholerecords"}}, {{"Enter"}, {"2 CUSTOMER LIST"}}},
       ""},
  };
  kivo_test::data_dir d;
  for (const parity_case& c : cases) {
    SCOPED_TRACE(c.name);
    const played local = play(d.path, c, false);
    const played remote = play(d.path, c, true);
    EXPECT_EQ(local.status, 0);
    EXPECT_EQ(remote.status, 0);
    const auto marked = std::count_if(c.steps.begin(), c.steps.end(), [](const step& s) { return !s.mark.empty(); });
    ASSERT_EQ(local.screens.size(), size_t(marked));
    ASSERT_EQ(remote.screens.size(), local.screens.size());
    for (size_t i = 0; i < local.screens.size(); ++i) EXPECT_EQ(remote.screens[i], local.screens[i]) << "mark " << i;
    EXPECT_EQ(remote.exported, local.exported);
    EXPECT_EQ(local.exported, c.records);
    EXPECT_EQ(remote.unread, 1u) << "the server read its standard input";
    EXPECT_EQ(remote.server_err.find("Press Return"), std::string::npos) << remote.server_err;
  }
}

// A process whose file is refused names the file and the reason in a
// window over the screen, whole (the repair's advice where there is one),
// with no mark before the reason; ENTER brings the menu back as it was, at
// a local terminal and a remote one.
TEST(RemoteParity, ARefusedFileIsShownWholeNamingTheFile) {
  const std::string dat = std::string(kCustomer) + ".dat", key = std::string(kCustomer) + ".key";
  // An unreadable file: for root only another user meets its mode.
  const bool root = geteuid() == 0;
  const std::string nobody = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  const struct {
    const char* name;
    std::function<void(const std::string& dir)> damage;
    std::string as_user;
    std::vector<std::string> says;
  } cases[] = {
      {"a data file cut short",
       [&](const std::string& dir) { ASSERT_EQ(truncate((dir + "/" + dat).c_str(), 100), 0); },
       "",
       {"is damaged: header's end of file 512 lies past the file's end (100 bytes)",
        "\"kivo -r=", "keeps its whole records"}},
      {"a directory in place of the data file",
       [&](const std::string& dir) {
         ASSERT_EQ(unlink((dir + "/" + dat).c_str()), 0);
         ASSERT_EQ(mkdir((dir + "/" + dat).c_str(), 0755), 0);
       },
       "",
       {"ERROR - Is a directory"}},
      {"an unreadable key file",
       [&](const std::string& dir) {
         if (root) {
           ASSERT_EQ(system(("chown -R 65534:65534 " + shell_quote(dir)).c_str()), 0);
         }
         ASSERT_EQ(chmod((dir + "/" + key).c_str(), 0), 0);
       },
       nobody,
       {"ERROR - Permission denied"}},
  };
  kivo_test::data_dir d;
  for (const auto& c : cases)
    for (bool remote : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (remote ? ", remote" : ", local"));
      fresh(d.path);
      c.damage(d.path);
      session s(d.path, remote, c.as_user);
      ASSERT_TRUE(kivo_test::wait_until(
          [&] {
            return s.shows({"DEMMENU", "UPandDOWN"});
          },
          kWait))
          << s.pane().capture();
      const std::string menu = s.pane().capture();
      s.pane().send_keys("F1"), s.pane().send_text("1");
      std::vector<std::string> says = {
          "A file of the process cannot be opened or created: file CUSTOMER of "
          "application DEM, database DEM",
          "ENTER, END or CANCEL goes back"};
      says.insert(says.end(), c.says.begin(), c.says.end());
      if (c.says[0].find("kivo -r") != std::string::npos || c.says.size() > 1)
        says.push_back("\"kivo -r=" + d.path + "/" + kCustomer + "\" keeps its whole records");
      EXPECT_TRUE(kivo_test::wait_until([&] { return s.shows(says); }, kWait)) << s.pane().capture();
      const std::string box = s.pane().capture();
      EXPECT_EQ(squeezed(box).find("-*"), std::string::npos) << box;
      s.pane().send_keys("Enter");
      EXPECT_TRUE(kivo_test::wait_until([&] { return s.pane().capture() == menu; }, kWait)) << s.pane().capture();
      s.pane().send_keys("S-F1");
      EXPECT_EQ(s.end(), 0);
    }
}

}  // namespace
