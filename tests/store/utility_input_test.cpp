// The file utilities on bad input, through the real kivo on copies of the
// shipped installation: damaged and malformed data files get one verdict
// line from -v, -r, -e, -i and -an (never a signal, never a leftover file,
// the file as it was) and the engine's open refuses a contradictory header;
// missing names fail; the import refuses a stale key file and a line the
// export could not write back, and names the line where a file would pass
// 2 GiB; a read-only file is verified and exported by an ordinary user; the
// analyser answers each bad command with one line and drops no input line.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../fixtures/hook_override.h"
#include "../screen/term_harness.h"
#include "foundation/bytes.h"
#include "foundation/os_calls.h"
#include "store/data_file.h"
#include "store/flat_file.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using kivo_test::slurp;

struct ran {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out, err;
  bool has(const std::string& s) const { return (out + err).find(s) != std::string::npos; }
};

bool has_text(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A scratch tree any user may enter: the installation copy in inst/, the
// files under test beside it.
struct tree {
  test::scratch_dir dir;
  std::string inst = dir.file("inst");
  tree() {
    chmod(dir.path().c_str(), 0777);
    EXPECT_TRUE(kivo_test::copy_shipped_installation(inst));
  }
  std::string file(const std::string& name) const { return dir.file(name); }

  // kivo with `args` in the tree, `input` on its standard input; as user
  // nobody when `as_nobody`. Only a hung utility reaches the bound.
  ran kivo(const std::vector<std::string>& args, const std::string& input = "", bool as_nobody = false) const {
    put(file("in"), input);
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir.path().c_str()) != 0) _exit(126);
      freopen(file("in").c_str(), "r", stdin);
      freopen(file("out").c_str(), "w", stdout);
      freopen(file("err").c_str(), "w", stderr);
      setenv("KIVOPATH", inst.c_str(), 1);
      std::vector<std::string> all;
      if (as_nobody) all = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
      all.push_back(KIVO_BINARY);
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    ran r;
    int st = 0;
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (waitpid(pid, &st, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > bound) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        ADD_FAILURE() << "kivo hung: " << args[0];
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = slurp(file("out"));
    r.err = slurp(file("err"));
    return r;
  }
  // Names in the tree's top directory holding `part`.
  std::vector<std::string> names_with(const std::string& part) const {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.path().c_str())) {
      while (dirent* e = readdir(d))
        if (has_text(e->d_name, part)) out.push_back(e->d_name);
      closedir(d);
    }
    return out;
  }
};

// A data file of 1,000 records imported from a flat file; its bytes.
std::string imported(const tree& t, const std::string& name) {
  std::string flat;
  for (int i = 0; i < 1000; ++i) flat += "record " + std::to_string(i) + " of the damaged file under test\n";
  put(t.file(name), flat);
  EXPECT_EQ(t.kivo({"-i=" + name}).status, 0);
  unlink(t.file(name).c_str());
  return slurp(t.file(name + ".dat"));
}

std::string with_u16(std::string b, size_t at, uint16_t v) {
  st_le16(reinterpret_cast<uint8_t*>(b.data()), at, v);
  return b;
}
std::string with_u32(std::string b, size_t at, uint32_t v) {
  st_le32(reinterpret_cast<uint8_t*>(b.data()), at, v);
  return b;
}

TEST(UtilityInput, DamagedAndMalformedFilesGetOneVerdictFromEveryUtility) {
  tree t;
  const std::string good = imported(t, "base");
  std::string overwritten = with_u16(good, kHdrVersionOff, 1);
  overwritten.replace(2000, 8000, std::string(8000, '\xa5'));
  const struct {
    const char* what;
    std::string bytes;
    int v, r, e, an;   // exit statuses of -v, -r, -e, -an (QUIT typed)
    const char* said;  // in what -v says
  } cases[] = {
      {"version 1, records overwritten", overwritten, 0, 0, 1, 0, "failed verification"},
      {"version 1, sound", with_u16(good, kHdrVersionOff, 1), 1, 1, 0, 0, "needs to be upgraded (version 1)"},
      {"flags byte 1", with_u16(good, kHdrFlagsOff, kHdrFixed), 0, 0, 1, 2, "say it has no version"},
      {"fixed length of record length 0", with_u16(good, kHdrFlagsOff, kHdrFixed | kHdrHasVersion), 0, 0, 1, 2,
       "fixed-length file with record length 0"},
      {"variable length with a record length", with_u32(good, kHdrRecLenOff, 100), 0, 0, 1, 2,
       "variable-length file with record length 100"},
      {"7 bytes", good.substr(0, 7), 0, 0, 1, 2, "7 bytes, shorter than the 512-byte header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    put(t.file("x.dat"), c.bytes);
    const ran v = t.kivo({"-v=x"}), r = t.kivo({"-r=x"}), e = t.kivo({"-e=x"}), an = t.kivo({"-an=x"}, "QUIT\n");
    EXPECT_EQ(v.status, c.v) << v.err;
    EXPECT_TRUE(v.has(c.said)) << v.err;
    EXPECT_EQ(r.status, c.r) << r.out << r.err;
    EXPECT_EQ(r.has("sound, nothing repaired"), c.r == 1) << r.out;
    EXPECT_EQ(e.status, c.e) << e.err;
    EXPECT_EQ(an.status, c.an) << an.err;
    EXPECT_EQ(an.has("BRF> "), c.an == 0) << an.err;
    put(t.file("x"), "a line\n");
    const ran i = t.kivo({"-i=x"});
    EXPECT_TRUE(i.status == 1 && i.has("already exists")) << i.err;
    EXPECT_EQ(slurp(t.file("x.dat")), c.bytes);
    EXPECT_TRUE(t.names_with("x.").size() == 1 && t.names_with(".aside").empty()) << "a file left behind";
    unlink(t.file("x").c_str());
  }
}

// The demonstration's ranking opens ACCOUNT: a header of flags 1 ends it
// with the line naming the file and the fault, and leaves the file as it was.
TEST(UtilityInput, TheEnginesOpenRefusesAContradictoryHeaderWithItsLine) {
  tree t;
  const std::string dat = t.inst + "/DEM/DEM/Data/ACCOUNT.dat";
  const std::string damaged = with_u16(slurp(dat), kHdrFlagsOff, kHdrFixed);
  put(dat, damaged);
  ASSERT_EQ(mkdir((t.inst + "/tst").c_str(), 0700), 0);
  kivo_test::env_list env = kivo_test::engine_env(t.inst);
  env.push_back({"KIVO_PRT_FI_DIR", t.file("")});
  kivo_test::tmux_pane p(kivo_test::shell_quote(KIVO_BINARY) + " -d=DEM -a=DEM -t=Output -p=ACCOUNT_RANKING", t.inst,
                         env);
  using kivo_test::squeezed;  // the line as the screen wraps it
  ASSERT_TRUE(kivo_test::wait_until(
      [&] { return has_text(squeezed(p.capture()), squeezed("ACCOUNT.dat is damaged: header flags 0x0001 say")); }, 60))
      << p.capture();
  p.send_keys("Enter");
  EXPECT_EQ(p.exit_status(60), 4) << p.capture();
  EXPECT_EQ(slurp(dat), damaged);
}

TEST(UtilityInput, MissingFileNamesFailWithTheirLine) {
  tree t;
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {{{"-i"}, 1}, {{"-i="}, 1}, {{"-i=", "x"}, 1}, {{"-i= "}, 1}, {{"-e"}, 1},  {{"-e="}, 1},
               {{"-v"}, 0}, {{"-v="}, 0}, {{"-r"}, 0},       {{"-an"}, 2},  {{"-an="}, 2}};
  for (const auto& c : cases) {
    const ran r = t.kivo(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(r.err, "Error:  Missing file name\n") << c.args[0];
  }
}

TEST(UtilityInput, AnImportBesideALeftoverKeyFileIsRefusedUntilItIsRemoved) {
  tree t;
  put(t.file("cust"), "C0001 Ann\nC0002 Bob\n");
  put(t.file("cust.key"), slurp(t.inst + "/DEM/DEM/Data/CUSTOMER.key"));
  ran r = t.kivo({"-i=cust"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.has("\"cust.key\" is left of a data file that is gone") && r.has("nothing is imported")) << r.err;
  EXPECT_EQ(access(t.file("cust.dat").c_str(), F_OK), -1);
  EXPECT_TRUE(t.names_with("import-").empty());
  unlink(t.file("cust.key").c_str());
  EXPECT_EQ(t.kivo({"-i=cust"}).status, 0);
  EXPECT_EQ(t.kivo({"-v=cust"}).status, 1);
}

// What the import stores the export writes back: a line still ending in a
// carriage return once its line end is off is refused, naming it.
TEST(UtilityInput, CarriageReturnLinesRoundTripOrAreRefused) {
  tree t;
  const struct {
    std::string flat;
    int status;
    const char* exported;  // null: refused
  } cases[] = {
      {"one\nabc\r\r\r\nthree\n", 1, nullptr},
      {"one\nabc\r\r\r", 1, nullptr},
      {"one\nabc\r\r\nthree\n", 0, "one\nabc\nthree\n"},
      {"one\r\nabc\rdef\r\n", 0, "one\nabc\rdef\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flat);
    unlink(t.file("cr.dat").c_str());
    put(t.file("cr"), c.flat);
    const ran i = t.kivo({"-i=cr"});
    EXPECT_EQ(i.status, c.status) << i.err;
    if (!c.exported) {
      EXPECT_TRUE(i.has("Line 2 of \"cr\" ends in a carriage return")) << i.err;
      EXPECT_EQ(access(t.file("cr.dat").c_str(), F_OK), -1);
      continue;
    }
    EXPECT_EQ(t.kivo({"-e=cr"}).status, 0);
    EXPECT_EQ(slurp(t.file("cr")), c.exported);
  }
}

// The user may read the files but not write them: the verifier, the export
// and the analyser open them read-only. Root writes any file, so a test run
// as root runs the utilities as nobody.
TEST(UtilityInput, AReadOnlyGoodFileIsVerifiedAndExportedByAnOrdinaryUser) {
  const bool as_nobody = geteuid() == 0;
  if (as_nobody && (access("/usr/bin/setpriv", X_OK) != 0 || system("id nobody >/dev/null 2>&1") != 0))
    GTEST_SKIP() << "run as root without setpriv or user nobody: no user here is kept from writing the files";
  tree t;
  ASSERT_EQ(system(("chmod -R a+rwX " + kivo_test::shell_quote(t.inst)).c_str()), 0);
  const std::string base = t.inst + "/DEM/DEM/Data/ACCOUNT";
  ASSERT_EQ(t.kivo({"-e=" + base}).status, 0);
  const std::string flat = slurp(base);
  unlink(base.c_str());
  for (const char* ext : {".dat", ".key"}) chmod((base + ext).c_str(), 0444);
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    const char* said;
  } cases[] = {
      {{"-v=" + base}, "", 1, ""},
      {{"-e=" + base}, "", 0, "ACCOUNT - 50 records"},
      {{"-an=" + base}, "COUNT REC\nVERIFY KEY # ALL\nQUIT\n", 0, "50 active records"},
  };
  for (const auto& c : cases) {
    const ran r = t.kivo(c.args, c.input, as_nobody);
    EXPECT_EQ(r.status, c.status) << c.args[0] << r.err;
    EXPECT_TRUE(r.has(c.said)) << r.out << r.err;
    EXPECT_FALSE(r.has("Invalid key count")) << r.err;
  }
  EXPECT_EQ(slurp(base), flat);
}

// Each bad command gets its one line, the next line still runs, and no
// system-error text appears.
TEST(UtilityInput, EachBadCommandOfTheAnalyserGetsOneLine) {
  tree t;
  imported(t, "an");
  const struct {
    std::string command;
    const char* line;
  } cases[] = {
      {"NEXT", "NEXT follows DUMP REC @ or DUMP PAGE @"},
      {"AGAIN", "AGAIN: no command before it"},
      {"UNLOCK BYTE @ 5", "Byte 5 is not locked"},
      {"DUMP REC @ 99999999999999999999", "99999999999999999999 is out of range: from 0 to 2147483647"},
      {"DUMP REC @", "DUMP REC @ needs a number"},
      {"DUMP PAGE @ 12x", "\"12X\" is no decimal number"},
      {"VERIFY KEY # -1", "Sorry, bad key number"},
      {"SET BUF SIZE 0", "0 is out of range: from 1"},
      {std::string("COUNT\0 REC", 10), "A command holds no NUL byte"},
      {std::string(2000, 'x'), "A command has at most 1024 characters"},
      {"BOGUS", "huh?\a\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const ran r = t.kivo({"-an=an"}, c.command + "\nCOUNT REC\nQUIT\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.has(c.line)) << r.err;
    EXPECT_TRUE(r.has("1000 active records")) << r.err;
    for (const char* never : {"KIVOMSG", "do_cmd()", "del_lock()", "Seek (0)", "Byte 5 unlocked", "Looking for"})
      EXPECT_FALSE(r.has(never)) << never << "\n" << r.err;
  }
}

// An import that would take its data file past 2 GiB names the line and the
// limit, never a full disk. The input's lines are made as they are read and
// the data file's large writes are dropped, so nothing of 2 GiB is written.
TEST(UtilityInput, AnImportPastTwoGiBNamesTheLineAndTheLimit) {
  com_fill(0, nullptr);
  test::scratch_dir dir;
  const std::string base = dir.file("big");
  put(base, "");
  constexpr size_t kLine = 2984;  // 3,000 bytes a record in the data file
  static long made;
  made = 0;
  kivo_test::scoped_hook lines(os_sys.fopen, [](const char*, const char*) -> FILE* {
    cookie_io_functions_t io{};
    io.read = [](void*, char* buf, size_t n) -> ssize_t {
      for (size_t i = 0; i < n;) {
        const size_t at = static_cast<size_t>(made % (kLine + 1));
        const size_t run = at == kLine ? 1 : std::min(n - i, kLine - at);
        memset(buf + i, at == kLine ? '\n' : 'w', run);
        i += run;
        made += static_cast<long>(run);
      }
      return static_cast<ssize_t>(n);
    };
    return fopencookie(nullptr, "r", io);
  });
  kivo_test::scoped_hook dropped(os_sys.pwrite, [](int fd, const void* b, size_t n, off_t off) -> ssize_t {
    return n > kDataHeaderSize ? static_cast<ssize_t>(n) : pwrite(fd, b, n, off);
  });
  testing::internal::CaptureStderr();
  const int rc = flat2brf_run(base.c_str());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, 1);
  const long fit = (kMaxSeek - kDataHeaderSize) / (kLine + kRecOverhead);
  EXPECT_EQ(err, "Line " + std::to_string(fit + 1) + " of \"" + base +
                     "\" does not fit: a data file holds at most 2147483647 bytes (2 GiB) and the " +
                     std::to_string(fit) + " records before it take " +
                     std::to_string(kDataHeaderSize + fit * (kLine + kRecOverhead)) + "; nothing is imported\n");
  EXPECT_EQ(access((base + ".dat").c_str(), F_OK), -1);
}

}  // namespace
}  // namespace kivo
