// The portable load of kivo_design -l on bad input and after a kill
// (UtilityInput): a load killed part-way is finished by the next run; a
// header, a record length, a value or a key it cannot take refuses the load
// with its line and adds nothing; CRLF lines load as LF ones; and a system
// error on the way is a plain line, never a Return prompt. Through the real
// kivo_design and kivo on copies of the shipped installation, whose DEM
// ledger ACCOUNT holds 50 accounts (A00001 ...).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"

namespace {

using kivo_test::shell_quote;
using kivo_test::slurp;

constexpr const char* kHeader = "0 ACCOUNT  000060+";
constexpr size_t kShipped = 50;

// An account line of the portable file: number, name, region, balance
// (sign last), opening date; 60 characters.
std::string account(const std::string& no, const std::string& date = "20200102") {
  char l[80];
  snprintf(l, sizeof l, "%-6.6s %-30.30s R1 %09d+ %-8.8s", no.c_str(), ("NEW " + no).c_str(), 1250, date.c_str());
  return l;
}

// Account number i of a load, apart from the shipped ones: "B" and five
// base-36 digits.
std::string number(size_t i) {
  std::string n = "B00000";
  for (size_t at = 5; at >= 1 && i; --at, i /= 36) n[at] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[i % 36];
  return n;
}

struct run_result {
  int status;
  std::string out;
};

run_result run(const std::string& cmd) {
  FILE* p = popen(("ASAN_OPTIONS=detect_leaks=0 " + cmd + " 2>&1").c_str(), "r");
  std::string out;
  char buf[512];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

class installation {
 public:
  installation() { EXPECT_TRUE(kivo_test::copy_shipped_installation(d_.path)); }
  std::string file(const std::string& name) const { return d_.file(name); }
  std::string account_file() const { return d_.file("DEM/DEM/Data/ACCOUNT"); }
  size_t accounts() const { return kivo_test::native_records(account_file() + ".dat").records.size(); }
  // The arguments of a load of `lines` into ACCOUNT.
  std::string load_args(const std::string& lines) const {
    return "-d " + shell_quote(d_.path) + " -l DEM DEM 01 ACCOUNT " + shell_quote(lines);
  }
  run_result load(const std::string& lines) const { return run(std::string(KIVO_DESIGN) + " " + load_args(lines)); }

 private:
  kivo_test::scratch_dir d_;
};

// A portable file of the header and `n` new accounts.
std::string write_accounts(const std::string& path, size_t n) {
  std::ofstream out(path);
  out << kHeader << "\n";
  for (size_t i = 0; i < n; ++i) out << account(number(i)) << "\n";
  return path;
}

// Killed once its records are being written, the load leaves part of them;
// the next run adds the rest and passes over the ones there, saying how
// many of each; the run after says all were there. The file is then good
// and holds every record once.
TEST(UtilityInput, PortableLoadKilledPartWayIsFinishedByTheNextRun) {
  installation inst;
  const size_t n = 60000 * size_t(kivo_test::stress_scale());
  const std::string lines = write_accounts(inst.file("accounts.port"), n);
  const uintmax_t before = std::filesystem::file_size(inst.account_file() + ".dat");
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string cmd = std::string(KIVO_DESIGN) + " " + inst.load_args(lines) + " >/dev/null 2>&1";
    execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), nullptr);
    _exit(127);
  }
  // Some hundred records are in: the writing has begun.
  const bool writing = kivo_test::wait_until(
      [&] {
        std::error_code ec;
        return std::filesystem::file_size(inst.account_file() + ".dat", ec) > before + 64 * 1024;
      },
      60);
  kill(pid, SIGKILL);
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(writing);
  ASSERT_TRUE(WIFSIGNALED(st)) << "the load ended before it was killed";
  const size_t kept = inst.accounts() - kShipped;
  ASSERT_LT(kept, n);

  const run_result again = inst.load(lines);
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_NE(again.out.find(std::to_string(n - kept) + " records added to ACCOUNT, " + std::to_string(kept) +
                           " there already"),
            std::string::npos)
      << again.out;
  EXPECT_EQ(inst.accounts(), kShipped + n);
  EXPECT_EQ(run(std::string(KIVO_BINARY) + " -v=" + shell_quote(inst.account_file())).status, 1);
  const run_result third = inst.load(lines);
  EXPECT_EQ(third.status, 0) << third.out;
  EXPECT_NE(third.out.find("all " + std::to_string(n) + " records were in ACCOUNT already: nothing added"),
            std::string::npos)
      << third.out;
  EXPECT_EQ(inst.accounts(), kShipped + n);
}

// Each bad portable file is refused with its line and why, before a record
// is added (the data file's bytes stay); a CRLF file loads as its LF form.
// A system error on the way is a plain line of the tool's; no line is a
// message-number fallback or a Return prompt.
TEST(UtilityInput, PortableLinesAreCheckedAndNamedByTheirLine) {
  installation inst;
  const std::string h = std::string(kHeader) + "\n";
  const struct {
    const char* what;
    std::string text;
    int status;
    std::string said;
    size_t added;
  } rows[] = {
      {"a header one character short", "0 ACCOUNT  00060+\n" + account("C00001") + "\n", 3,
       ":1: the header line is \"0 ACCOUNT  00060+\", not", 0},
      {"a header of another file", "0 CUSTOMER 000060+\n" + account("C00001") + "\n", 3,
       ":1: the header names the file \"CUSTOMER\", not \"ACCOUNT \"", 0},
      {"a record one character short", h + account("C00001") + "\n" + account("C00002").substr(0, 59) + "\n", 3,
       ":3: the record is 59 characters, not the header's 60\n", 0},
      {"a date that does not convert", h + account("C00001") + "\n" + account("C00002", "2020ab03") + "\n", 3,
       "kivo_design: MU - port_to_native() - bad portable date\nkivo_design: "
       "IN:3: it does not convert: port_to_native() - bad portable date; nothing was added",
       0},
      {"a key of an earlier line", h + account("C00001") + "\n" + account("C00001") + "\n", 3,
       ":3: its key is that of an earlier record; nothing was added", 0},
      {"a record there with other values", h + account("C00001") + "\n" + account("A00002") + "\n", 3,
       ":3: a record of its key is there already with other values; nothing was added", 0},
      {"CRLF line ends", "0 ACCOUNT  000060+\r\n" + account("C00001") + "\r\n" + account("C00002") + "\r\n", 0,
       "2 records added to ACCOUNT, 0 there already", 2},
  };
  size_t accounts = inst.accounts();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    std::ofstream(inst.file("in.port"), std::ios::binary) << r.text;
    const std::string dat = slurp(inst.account_file() + ".dat");
    const run_result got = inst.load(inst.file("in.port"));
    EXPECT_EQ(got.status, r.status) << got.out;
    EXPECT_NE(got.out.find(std::regex_replace(r.said, std::regex("IN:"), inst.file("in.port:"))), std::string::npos)
        << got.out;
    EXPECT_EQ(got.out.find("Unable to translate"), std::string::npos) << got.out;
    EXPECT_EQ(got.out.find("Press Return"), std::string::npos) << got.out;
    accounts += r.added;
    EXPECT_EQ(inst.accounts(), accounts);
    if (!r.added) {
      EXPECT_EQ(slurp(inst.account_file() + ".dat"), dat);
    }
  }
}

}  // namespace
