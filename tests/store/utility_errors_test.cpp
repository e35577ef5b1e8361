// The flat-file tools as real processes killed while they work: an import
// leaves no data file or the whole one and the next import cleans up after
// it; an export's temporary never outlives the next export or a signal, and
// the flat file keeps its mode.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "analyser_test_util.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using test::slurp;

int scale() {
  const char* s = getenv("KIVO_STRESS_SCALE");
  return s && atoi(s) > 0 ? atoi(s) : 1;
}

pid_t start_kivo(const std::string& arg) {
  pid_t pid = fork();
  if (pid == 0) {
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    execl(KIVO_BINARY, KIVO_BINARY, arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

int wait_status(pid_t pid) {
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

int run(const std::string& arg) { return wait_status(start_kivo(arg)); }

// Names in the directory that contain `part`.
std::vector<std::string> names_with(const std::string& dir, const std::string& part) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr)
    if (std::string(e->d_name).find(part) != std::string::npos) out.push_back(e->d_name);
  if (d) closedir(d);
  return out;
}

off_t size_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Waits until the temporary of the tool `pid` (its name holds `part`, which
// holds the pid) reaches `bytes`, or the tool ends; the bound is one only a
// hung tool reaches.
void wait_for_growth(const std::string& dir, const std::string& part, off_t bytes, pid_t pid) {
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < bound) {
    for (const std::string& n : names_with(dir, part))
      if (size_of(dir + "/" + n) >= bytes) return;
    siginfo_t ended{};
    if (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid != 0) return;
    std::this_thread::yield();
  }
  ADD_FAILURE() << "no growth of " << part;
}

class UtilityErrors : public ::testing::Test {
 protected:
  // A flat file of n lines of 40 bytes.
  void write_flat(int n) {
    FILE* f = fopen(base_.c_str(), "w");
    for (int i = 0; i < n; ++i) fprintf(f, "record %08d of the import under test....\n", i);
    fclose(f);
  }
  test::scratch_dir dir_;
  std::string base_ = dir_.file("flat");
};

TEST_F(UtilityErrors, AKilledImportLeavesNoPairOrTheWholeOneAndTheNextImportSucceeds) {
  const int n = 100000 * scale();
  write_flat(n);
  const off_t full = static_cast<off_t>(n) * (40 + 16);
  int cut = 0;  // kills that landed while the import was writing
  for (int moment = 0; moment < 10; ++moment) {
    SCOPED_TRACE(moment);
    unlink((base_ + ".dat").c_str());
    pid_t pid = start_kivo("-i=" + base_);
    if (moment > 0) wait_for_growth(dir_.path(), "flat.import-" + std::to_string(pid), full * moment / 10, pid);
    kill(pid, SIGKILL);
    wait_status(pid);
    int32_t count = -1;
    if (access((base_ + ".dat").c_str(), F_OK) == 0) {
      EXPECT_EQ(test::verify_in_child(base_), 1);
      EXPECT_EQ(brfanal((base_ + ".dat").c_str(), 0, 0, &count), 1);
      EXPECT_EQ(count, n);
      continue;
    }
    if (!names_with(dir_.path(), "flat.import-").empty()) {
      ++cut;
      // The verifier names what the cut import left.
      std::string cmd = std::string(KIVO_BINARY) + " -v=" + base_ + " 2>&1";
      FILE* p = popen(cmd.c_str(), "r");
      char buf[4096] = {};
      fread(buf, 1, sizeof buf - 1, p);
      EXPECT_EQ(WEXITSTATUS(pclose(p)), 0);
      EXPECT_NE(std::string(buf).find("import of this file was cut off"), std::string::npos) << buf;
    }
    ASSERT_EQ(run("-i=" + base_), 0);
    EXPECT_TRUE(names_with(dir_.path(), "flat.import-").empty());
    EXPECT_EQ(brfanal((base_ + ".dat").c_str(), 0, 0, &count), 1);
    EXPECT_EQ(count, n);
  }
  EXPECT_GT(cut, 0);
}

TEST_F(UtilityErrors, AKilledExportLeavesNoTemporaryAfterTheNextAndTheFlatFileKeepsItsMode) {
  const int n = 300000 * scale();
  write_flat(n);
  ASSERT_EQ(run("-i=" + base_), 0);
  const std::vector<uint8_t> whole = slurp(base_);
  for (int sig : {SIGKILL, SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    // On a loaded machine the export can end between its growth and the
    // signal: that whole export is checked and another one is cut instead.
    int status = 0;
    for (int tries = 0; tries < 20 && status == 0; ++tries) {
      pid_t pid = start_kivo("-e=" + base_);
      wait_for_growth(dir_.path(), "flat.export-" + std::to_string(pid), 1 << 20, pid);
      kill(pid, sig);
      if ((status = wait_status(pid)) == 0) {
        EXPECT_EQ(slurp(base_), whole);
      }
    }
    EXPECT_EQ(status, 128 + sig);  // ended by the signal, mid-way
    // A signal the export can catch takes its temporary with it.
    if (sig != SIGKILL) {
      EXPECT_TRUE(names_with(dir_.path(), "flat.export-").empty());
    }
    EXPECT_EQ(slurp(base_), whole);
  }
  chmod(base_.c_str(), 0640);
  ASSERT_EQ(run("-e=" + base_), 0);
  EXPECT_TRUE(names_with(dir_.path(), "flat.export-").empty());
  EXPECT_EQ(slurp(base_), whole);
  struct stat st;
  ASSERT_EQ(stat(base_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // A new flat file gets the user's default mode.
  unlink(base_.c_str());
  const mode_t old = umask(027);
  ASSERT_EQ(run("-e=" + base_), 0);
  umask(old);
  ASSERT_EQ(stat(base_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

}  // namespace
}  // namespace kivo
