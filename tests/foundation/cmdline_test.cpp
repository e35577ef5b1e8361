// The command line: every option of the table, where parsing stops, the
// compaction of the kept arguments, and the real executable's usage text,
// two-dash arguments and remote-client branch.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "process/seams.h"

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

class CmdLine : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    unsetenv("KIVO_KEYMAP");
    setenv("TERM", "vt100", 1);
    pi_init();
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

TEST_F(CmdLine, ModesOfTheWordOptions) {
  EXPECT_EQ(parse({"-b"}).mode, MODE_BOOTSTRAP);
  EXPECT_EQ(parse({"-keymap"}).mode, MODE_KEYDEF);
  EXPECT_EQ(parse({"-fms_server"}).mode, MODE_DATA_SERVER);
  EXPECT_EQ(parse({"/odbc_server"}).mode, MODE_ODBC);
  EXPECT_EQ(parse({"plain"}).mode, MODE_NORMAL);
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
  parsed p = parse({"-f=7"});
  EXPECT_EQ(com.rmt_sock, 7);
  com.rmt_sock = 0;
  for (const char* bad : {"-f=", "-f=x7", "-f=70000", "-f=0"}) {
    p = parse({bad});
    EXPECT_EQ(p.argc, 2) << bad;
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
  parsed p = parse({"one", "-b", "--KIVO_X=1", "two", "-z", "-"});
  EXPECT_EQ(p.rc, 0);
  ASSERT_EQ(p.argc, 5);
  EXPECT_EQ(p.kept, (std::vector<std::string>{"kivo", "one", "two", "-z", "-"}));
  EXPECT_EQ(ptrs_[5], nullptr);
}

TEST_F(CmdLine, UtilityOptionsEndParsingWithTheirFile) {
  parsed p = parse({"-d=db1", "-e=data.dat", "-a=BAD"});
  EXPECT_EQ(p.mode, MODE_EXPORT);
  EXPECT_STREQ(p.util_file, "data.dat");
  EXPECT_EQ(std::string(p.db, 3), "DB1");
  p = parse({"-i", "flat.txt"});
  EXPECT_EQ(p.mode, MODE_IMPORT);
  EXPECT_STREQ(p.util_file, "flat.txt");
  p = parse({"-i"});
  EXPECT_EQ(p.mode, MODE_IMPORT);
  EXPECT_EQ(p.util_file, nullptr);
  p = parse({"-v=x.dat"});
  EXPECT_EQ(p.mode, MODE_VERIFY);
  EXPECT_STREQ(p.util_file, "x.dat");
  p = parse({"-r=z.dat", "-v=x.dat"});
  EXPECT_EQ(p.mode, MODE_REPAIR);
  EXPECT_STREQ(p.util_file, "z.dat");
  p = parse({"-an=y.dat"});
  EXPECT_EQ(p.mode, MODE_ANALYSE);
  EXPECT_STREQ(p.util_file, "y.dat");
}

TEST_F(CmdLine, OutgoingConnectionOptionNeedsAPort) {
  testing::internal::CaptureStderr();
  parsed p = parse({"-x=8000", "keep"});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(p.kept, (std::vector<std::string>{"kivo", "keep"}));
  EXPECT_NE(err.find("127.0.0.1:8000"), std::string::npos) << err;
  EXPECT_EQ(com.rmt_sock, 0);  // no connection was made
  p = parse({"-x=host:", "keep"});
  EXPECT_EQ(p.argc, 3);  // parsing stopped
}

TEST_F(CmdLine, OutgoingConnectionSplitsHostAndPort) {
  char host[64], port[16];
  ASSERT_TRUE(split_host_port("8000", host, sizeof host, port, sizeof port));
  EXPECT_STREQ(host, "127.0.0.1");
  EXPECT_STREQ(port, "8000");
  ASSERT_TRUE(split_host_port("srv.example:telnet", host, sizeof host, port, sizeof port));
  EXPECT_STREQ(host, "srv.example");
  EXPECT_STREQ(port, "telnet");
  EXPECT_FALSE(split_host_port("", host, sizeof host, port, sizeof port));
  EXPECT_FALSE(split_host_port("h:", host, sizeof host, port, sizeof port));
  EXPECT_FALSE(split_host_port(":1", host, sizeof host, port, sizeof port));
  EXPECT_FALSE(split_host_port(std::string(100, 'h').append(":1").c_str(), host, sizeof host, port, sizeof port));
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
}

TEST(OptionValue, StuffArgDropsQuotesUpperCasesAndPads) {
  char f[6];
  ss_stuff_arg(f, "\"a_b\"c", 6);
  EXPECT_EQ(std::string(f, 6), "A BC  ");
  ss_stuff_arg(f, "abcdefgh", 6);
  EXPECT_EQ(std::string(f, 6), "ABCDEF");
}

TEST(OptionValue, FindDelimStopsAfterOrAtEnd) {
  const char* t = "user:map";
  ss_find_delim(&t, ':');
  EXPECT_STREQ(t, "map");
  ss_find_delim(&t, ':');
  EXPECT_STREQ(t, "");
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

TEST(KivoBinary, UsagePrintsTheTextExactlyAndExitsOne) {
  run_result r = run("-u");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kUsage);
}

TEST(KivoBinary, TwoDashArgumentSetsTheVariableForTheRun) {
  // A fake time that is no date is reported by start-up: proof that the
  // argument reached the environment before the clock was set.
  run_result r = run("--KIVO_FAKE_TIME=notadate -u");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("KIVO_FAKE_TIME (notadate)"), std::string::npos) << r.out;
  r = run("-u");
  EXPECT_EQ(r.out.find("KIVO_FAKE_TIME"), std::string::npos);
}

TEST(KivoBinary, RemoteClientOnlyForAnOptionWord) {
  run_result r = run("-c");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("remote-terminal client"), std::string::npos);
  r = run("xc -u");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("remote-terminal client"), std::string::npos);
}

TEST(KivoBinary, VerifyOfAMissingFileIsBadAndSaysWhy) {
  run_result r = run("-v=none.dat");
  EXPECT_EQ(r.status, 0);  // brfanal's "bad" result
  EXPECT_NE(r.out.find("none:  Can't open file (status 3)"), std::string::npos) << r.out;
  EXPECT_EQ(run("-e").status, 0);
}
