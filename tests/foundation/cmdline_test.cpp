// The command line: every option of the table, where parsing stops, the
// compaction of the kept arguments, and the real executable's usage text,
// two-dash arguments and remote-client branch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "fm/fm.h"
#include "fm/memfile.h"
#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "process/pi.h"
#include "process/process.h"
#include "test_support.h"

using namespace kivo;

namespace {

struct parsed {
  int rc;
  int argc;
  std::vector<std::string> kept;
  INVOC inv;
  char db[3];
  uint8_t mode;
  const char* util_file;
};

// Fresh pools and a file manager for pi_init's work files.
class CmdLine : public test::Fresh {
 protected:
  void SetUp() override {
    Fresh::SetUp();
    fm_init();
    unsetenv("KIVO_KEYMAP");
    setenv("TERM", "vt100", 1);
    pi_init();
  }
  // pi_init's files live in this test's pools, which the next test's fresh
  // start discards: a later pi_exec must find the executive not started, and
  // the design-record hook must not read them.
  void TearDown() override {
    pi_pcb_arb = pi_prop_cache = mhook_arb = nullptr;
    for (ARB*& a : pi_saa_arb) a = nullptr;
    pi_pool = nullptr;
    mm_destroy_all();  // the memory files go before the next test's fresh start drops their pools
    Fresh::TearDown();
  }

  parsed parse(std::vector<std::string> args) {
    storage_ = args;
    storage_.insert(storage_.begin(), "kivo");
    ptrs_.clear();
    for (auto& s : storage_) ptrs_.push_back(s.data());
    ptrs_.push_back(nullptr);
    parsed p{};
    p.inv = pi_invoc;
    memset(p.db, ' ', 3);
    p.argc = static_cast<int>(storage_.size());
    p.rc = os_parse_cmd(&p.argc, ptrs_.data(), &p.inv, p.db, &p.mode, &p.util_file);
    for (int i = 0; i < p.argc; ++i) p.kept.push_back(ptrs_[i]);
    return p;
  }

  std::vector<std::string> storage_;
  std::vector<char*> ptrs_;
  kivo_test::hook_snapshot all_;  // what pi_init fills (the design records) goes back
};

std::string field(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

}  // namespace

TEST_F(CmdLine, ProcessTypesByTheirLetters) {
  const struct {
    const char* value;
    uint8_t type;
  } cases[] = {{"action", 4}, {"input", 2},   {"inquiry", 9},    {"job", 8},    {"menu", 1}, {"output", 3},
               {"query", 5},  {"status", 10}, {"Subroutine", 6}, {"update", 7}, {"IQ", 2}};
  for (const auto& c : cases) {
    parsed p = parse({std::string("-t=") + c.value});
    EXPECT_EQ(p.inv.b[INVOC_PROC_TYPE], c.type) << c.value;
    EXPECT_EQ(p.rc, 1) << c.value;
  }
}

TEST_F(CmdLine, UnknownProcessTypeStopsParsingAndNamesNothing) {
  parsed p = parse({"-p=X", "-t=zzz", "keep"});
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.argc, 4);  // argument vector as it was
  EXPECT_EQ(field(p.inv.b + INVOC_PROC_NAM, 30), field(pi_invoc.b + INVOC_PROC_NAM, 30));
  EXPECT_EQ(parse({"-t"}).rc, 0);
}

TEST_F(CmdLine, ProcessNameTakesUnderscoresAsBlanksAndIsPadded) {
  parsed p = parse({"-p=my_\"menu\""});
  EXPECT_EQ(p.rc, 1);
  EXPECT_EQ(field(p.inv.b + INVOC_PROC_NAM, 30), "MY MENU" + std::string(23, ' '));
  p = parse({"/process=" + std::string(40, 'q')});
  EXPECT_EQ(field(p.inv.b + INVOC_PROC_NAM, 30), std::string(30, 'Q'));
}

TEST_F(CmdLine, ApplicationAndDatabaseNeedExactlyThreeCharacters) {
  parsed p = parse({"-a=abc", "-d=db1"});
  EXPECT_EQ(p.rc, 1);
  EXPECT_EQ(field(p.inv.b + INVOC_AP_ID, 3), "ABC");
  EXPECT_EQ(std::string(p.db, 3), "DB1");
  p = parse({"-a=AB"});
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(field(p.inv.b + INVOC_AP_ID, 3), field(pi_invoc.b + INVOC_AP_ID, 3));
  p = parse({"-d=ABCD"});
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(std::string(p.db, 3), "   ");
}

// A value that can name nothing says why and with which status the start
// ends; an option the engine does not know, -h and --help ask for the
// usage text; settings, "--", "-" and -z pass.
TEST_F(CmdLine, RefusalsSayWhyAndUnknownOptionsAskForTheUsage) {
  const struct {
    std::vector<std::string> args;
    int status;  // of the refusal; 0 = none
    const char* says;
    uint8_t mode;
  } rows[] = {
      {{"-a=AB"}, 20, "application \"AB\" does not exist", MODE_NORMAL},
      {{"-d=ABCD"}, 20, "database \"ABCD\" does not exist", MODE_NORMAL},
      {{"-d="}, 20, "database \"\" does not exist", MODE_NORMAL},
      {{"-t=zzz"}, 4, "process type \"zzz\" does not exist", MODE_NORMAL},
      {{"-q"}, 0, "", MODE_USAGE},
      {{"-h"}, 0, "", MODE_USAGE},
      {{"--help"}, 0, "", MODE_USAGE},
      {{"--verbose"}, 0, "", MODE_USAGE},
      {{"--KIVO_X=1", "--", "-", "-z", "script"}, 0, "", MODE_NORMAL},
      {{"-d=DB1", "-a=ABC"}, 0, "", MODE_NORMAL},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.args[0]);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const parsed p = parse(row.args);
    const std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(p.mode, row.mode);
    EXPECT_EQ(os_cmd_refusal().status, row.status);
    EXPECT_EQ(std::string(os_cmd_refusal().text).substr(0, strlen(row.says)), row.says);
    EXPECT_EQ(out.find("Usage:") != std::string::npos, row.mode == MODE_USAGE) << out;
  }
}

// The word options' modes, and the utility options that end parsing with their file.
TEST_F(CmdLine, ModesOfTheWordAndUtilityOptions) {
  const struct {
    std::vector<std::string> args;
    uint8_t mode;
    const char* file;
  } cases[] = {{{"-b"}, MODE_BOOTSTRAP, nullptr},
               {{"-keymap"}, MODE_KEYDEF, nullptr},
               {{"-fms_server"}, MODE_DATA_SERVER, nullptr},
               {{"/odbc_server"}, MODE_ODBC, nullptr},
               {{"plain"}, MODE_NORMAL, nullptr},
               {{"-d=db1", "-e=data.dat", "-a=BAD"}, MODE_EXPORT, "data.dat"},
               {{"-i", "flat.txt"}, MODE_IMPORT, "flat.txt"},
               {{"-i"}, MODE_IMPORT, nullptr},
               {{"-v=x.dat"}, MODE_VERIFY, "x.dat"},
               {{"-r=z.dat", "-v=x.dat"}, MODE_REPAIR, "z.dat"},
               {{"-an=y.dat"}, MODE_ANALYSE, "y.dat"}};
  for (const auto& c : cases) {
    parsed p = parse(c.args);
    EXPECT_EQ(p.mode, c.mode) << c.args[0];
    EXPECT_STREQ(p.util_file, c.file) << c.args[0];
  }
  EXPECT_EQ(std::string(parse({"-d=db1", "-e=data.dat", "-a=BAD"}).db, 3), "DB1");
  testing::internal::CaptureStdout();
  uint8_t mode = parse({"-u"}).mode;
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(mode, MODE_USAGE);
  EXPECT_EQ(out.rfind("Usage:  -k ", 0), 0u);
}

TEST_F(CmdLine, SessionNamesTheStartAndMeansNoTerminal) {
  parsed p = parse({"-s=night_1"});
  EXPECT_EQ(p.rc, 1);
  EXPECT_EQ(std::string(ss_session, 8), "NIGHT 1 ");
  EXPECT_EQ(com.no_term, 1);
  parse({});
  EXPECT_EQ(std::string(ss_session, 8), "        ");
}

TEST_F(CmdLine, SocketDescriptorMustBeADecimalNumber) {
  parse({"-f=7"});
  EXPECT_EQ(com.rmt_sock, 7);
  com.rmt_sock = 0;
  // A socket that is no descriptor ends the start: never a local session.
  for (const char* bad : {"-f=", "-f=x7", "-f=70000", "-f=0"}) {
    EXPECT_EQ(parse({bad}).rc, 0) << bad;
    EXPECT_EQ(os_cmd_refusal().status, 1) << bad;
    EXPECT_EQ(com.rmt_sock, 0) << bad;
  }
}

TEST_F(CmdLine, KeymapFromTerminalOptionAndEnvironment) {
  memcpy(com.user_id, "U01", 3);
  parse({});
  EXPECT_EQ(std::string(com.keymap_id, 13), "vt100     U01");
  parse({"-m=wyse"});
  EXPECT_EQ(std::string(com.keymap_id, 13), "wyse      U01");
  parse({"-m=abc:mine"});
  EXPECT_EQ(std::string(com.keymap_id, 13), "mine      ABC");
  setenv("KIVO_KEYMAP", "zz:ansi", 1);
  parse({});
  EXPECT_EQ(std::string(com.keymap_id, 13), "ansi      ZZ ");
  unsetenv("TERM");
  unsetenv("KIVO_KEYMAP");
  parse({});
  EXPECT_EQ(std::string(com.trm_type, 10), "None      ");
}

TEST_F(CmdLine, KeptArgumentsAreCompactedInOrder) {
  parsed p = parse({"one", "-b", "--KIVO_X=1", "two", "-z", "-", "/data/x", "/vol/x"});
  EXPECT_EQ(p.rc, 0);
  ASSERT_EQ(p.argc, 7);  // paths are arguments, not a bad -d or a -v
  EXPECT_EQ(p.kept, (std::vector<std::string>{"kivo", "one", "two", "-z", "-", "/data/x", "/vol/x"}));
  EXPECT_EQ(ptrs_[7], nullptr);
}

// A stand-in for the remote protocols' connect: a descriptor of its own
// (a pipe's end), or none when asked for port "refused".
std::vector<std::string> g_connects;
std::vector<int> g_made;

int fake_connect(const char* host, const char* port) {
  g_connects.push_back(std::string(host) + ":" + port);
  if (strcmp(port, "refused") == 0) return 0;
  int p[2];
  if (pipe(p) != 0) return 0;
  close(p[1]);
  g_made.push_back(p[0]);
  return p[0];
}

bool is_open(int fd) { return fcntl(fd, F_GETFD) >= 0; }

TEST_F(CmdLine, OutgoingConnectionIsKeptOnlyWhenParsingSucceeds) {
  kivo_test::scoped_hook connect(ss_remote_hooks.connect, fake_connect);
  const struct {
    std::vector<std::string> args;
    std::vector<bool> open;  // of each connection made, in order
    bool kept;               // com.rmt_sock holds the last one
  } cases[] = {
      {{"-x=8000", "keep"}, {true}, true},
      {{"-x=1", "-x=srv:2"}, {false, true}, true},
      {{"-x=1", "-f=7"}, {false}, false},
  };
  for (const auto& c : cases) {
    g_connects.clear();
    g_made.clear();
    com.rmt_sock = 0;
    parse(c.args);
    ASSERT_EQ(g_made.size(), c.open.size()) << c.args[0];
    for (size_t i = 0; i < g_made.size(); ++i) EXPECT_EQ(is_open(g_made[i]), c.open[i]) << c.args[0] << " " << i;
    if (c.kept) {
      EXPECT_EQ(com.rmt_sock, g_made.back());
    }
    for (int fd : g_made)
      if (is_open(fd)) close(fd);
  }
  com.rmt_sock = 0;
  g_connects.clear();
  parse({"-x=8000"});
  EXPECT_EQ(g_connects, std::vector<std::string>{"127.0.0.1:8000"});
  close(com.rmt_sock);
  com.rmt_sock = 0;
}

TEST_F(CmdLine, OutgoingConnectionThatFailsEndsStartUp) {
  {
    kivo_test::scoped_hook connect(ss_remote_hooks.connect, fake_connect);
    EXPECT_EXIT(parse({"-x=srv:refused"}), ::testing::ExitedWithCode(1), "");
    // An option that stops parsing leaves a refusal for a start for a remote
    // peer, so it ends and never runs a local session, wherever the remote
    // option stands; the option's own status holds where it gave one.
    const struct {
      std::vector<std::string> args;
      int status;
    } cases[] = {
        {{"-x=8000", "-t=zzz"}, 4}, {{"-t=zzz", "-x=8000"}, 4}, {{"-x=host:", "keep"}, 1}, {{"-f=7", "-a=AB"}, 20}};
    for (const auto& c : cases) {
      const parsed p = parse(c.args);
      EXPECT_EQ(p.rc, 0) << c.args[0];
      EXPECT_NE(os_cmd_refusal().text[0], '\0') << c.args[0] << " " << c.args[1];
      EXPECT_EQ(os_cmd_refusal().status, c.status) << c.args[0] << " " << c.args[1];
    }
  }
  kivo_test::scoped_hook none(ss_remote_hooks.connect, nullptr);
  EXPECT_EXIT(parse({"-x=8000"}), ::testing::ExitedWithCode(1), "");
}

TEST_F(CmdLine, OutgoingConnectionSplitsHostAndPort) {
  const struct {
    std::string word;
    const char *host, *port;  // null: refused
  } cases[] = {{"8000", "127.0.0.1", "8000"}, {"srv.example:telnet", "srv.example", "telnet"},
               {"", nullptr, nullptr},        {"h:", nullptr, nullptr},
               {":1", nullptr, nullptr},      {std::string(100, 'h') + ":1", nullptr, nullptr}};
  for (const auto& c : cases) {
    char host[64], port[16];
    ASSERT_EQ(split_host_port(c.word.c_str(), host, sizeof host, port, sizeof port), c.host != nullptr) << c.word;
    if (c.host) {
      EXPECT_STREQ(host, c.host);
      EXPECT_STREQ(port, c.port);
    }
  }
}

TEST_F(CmdLine, OnlyAnOptionWordStartsTheRemoteClient) {
  auto wants = [](std::vector<std::string> a) {
    a.insert(a.begin(), "kivo");
    std::vector<char*> v;
    for (auto& s : a) v.push_back(s.data());
    return wants_remote_client(static_cast<int>(v.size()), v.data());
  };
  EXPECT_TRUE(wants({"-c"}));
  EXPECT_TRUE(wants({"x", "/client=host:1"}));
  EXPECT_FALSE(wants({"xc"}));
  EXPECT_FALSE(wants({"acme"}));
  EXPECT_FALSE(wants({"--cfoo=1"}));
  EXPECT_FALSE(wants({"/cust/a"}));  // a path
}

// ---- the real executable ----

namespace {

struct run_result {
  int status;
  std::string out;
};

run_result run(const std::string& args) {
  std::string cmd = std::string("'") + KIVO_BINARY + "' " + args + " </dev/null 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

const char kUsage[] =
    "Usage:  -k                          define a new keymap\n"
    "        -m=<[user_id:]keymap_name>  override keymap ID\n"
    "        -d=<database_id>            override startup database\n"
    "        -a=<application_id>         override startup application\n"
    "        -t=<process_type>           override startup process type\n"
    "        -p=<process_name>           override startup process name\n"
    "        -i=<flat_file_name>         convert a flat file into UNIXIO format\n"
    "        -e=<data_file_name>         convert a UNIXIO file into a flat format\n"
    "        -v=<data_file_name>         verify the integrity of a UNIXIO file\n"
    "        -r=<data_file_name>         repair the keys of a UNIXIO file\n"
    "        -an=<data_file_name>        analyze a UNIXIO file\n"
    "Restrictions:\n"
    "  An application_id and process_type must always be included when specifying\n"
    "  a process_name.  If an application_id is included without specifying a\n"
    "  process_type/name, the startup menu for the application will be used.\n"
    "\n"
    "  If no application_id is specified, the startup application and menu for the\n"
    "  database will be used.  If no database_id is specified, the startup database\n"
    "  defined for the user within System Administration is used.  If the startup\n"
    "  database is also unspecified, the Kivo main menu is used.\n"
    "\n"
    "  The valid process_types are Menu, Job, Input, Output, Update, Action,\n"
    "  Inquiry, Query, Status, and Subroutine.\n"
    "  Use underscores (_) in place of any embedded spaces within parameters.\n";

}  // namespace

// Also with the conversions' compatibility switches, read at start-up.
TEST(KivoBinary, UsagePrintsTheTextExactlyAndExitsOne) {
  for (const char* env : {"", "--KIVO_184_MASKS=1 ", "--KIVO_200_ALIGNMENT=1 "}) {
    run_result r = run(std::string(env) + "-u");
    EXPECT_EQ(r.status, 1) << env;
    EXPECT_EQ(r.out, kUsage) << env;
  }
}

// Against the real executable: exit status, and a text the output must (or
// must not) hold.
TEST(KivoBinary, StatusAndOutputOfStartUpPaths) {
  const struct {
    const char* args;
    int status;
    const char* text;
    bool present;
  } cases[] = {
      // A fake time that is no date is reported by start-up: the two-dash
      // argument reached the environment before the clock was set.
      {"--KIVO_FAKE_TIME=notadate -u", 1, "KIVO_FAKE_TIME (notadate)", true},
      {"-u", 1, "KIVO_FAKE_TIME", false},
      {"-c", 1, "name the remote session", true},  // no session in the environment
      {"xc -u", 1, "name the remote session", false},
      {"-v=none.dat", 0, "none:  Can't open file (status 3: file not found)", true},  // brfanal's "bad" result
      {"-r=none.dat", 0, "none:  Can't repair file (status 3: file not found)", true},
      {"-e", 1, "Error:  Missing file name", true},
      // An empty data directory: start-up, conversions included, ends at
      // the message file with status 1.
      {"--KIVOPATH=/nonexistent/kivo-empty", 1, "Unable to open System Administration files", true},
  };
  for (const auto& c : cases) {
    run_result r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_EQ(r.out.find(c.text) != std::string::npos, c.present) << c.args << ": " << r.out;
  }
}
