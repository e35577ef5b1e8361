// `kivo -b` on what is not a whole distribution: the default installation
// (no raw files, no summary of 0DB), a distribution with a summary or a raw
// file missing or cut short, a bad KIVO_BOOT_AP. Each run is refused with
// one line and a non-zero end before it creates or rewrites anything.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"

namespace kivo::test {
namespace {

namespace fs = std::filesystem;

using kivo_test::tree_changes;
using kivo_test::tree_sums;

struct run_result {
  int status;
  std::string out;  // standard output and error
};

// `kivo -b` in `dir` with its standard input empty, `env` ("NAME=value ...")
// added to the environment.
run_result bootstrap(const std::string& dir, const std::string& env) {
  const std::string d = kivo_test::shell_quote(dir);
  const std::string cmd = "cd " + d + " && env HOME=" + d + " KIVOPATH=" + d + " KIVO_0SA_PATH=" + d + " " + env + " " +
                          kivo_test::shell_quote(KIVO_BINARY) + " -b </dev/null 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

// Cuts `bytes` off the end of the file.
void cut(const std::string& path, uintmax_t bytes) { fs::resize_file(path, fs::file_size(path) - bytes); }

TEST(DamagedFiles, BootstrapOfWhatIsNoWholeDistributionChangesNothing) {
  const std::string shipped = kivo_test::shipped_installation(), dist = kivo_test::engine_dir() + "/dist";
  struct row {
    const char* what;
    const std::string& source;
    std::function<void(const std::string&)> damage;  // on the copy, before the run
    const char* env;
    const char* why;  // in the line
  };
  const row rows[] = {
      {"the default installation", shipped, [](const std::string&) {}, "",
       "00/0DB/Data/SUMMARY: bs_import() - missing summary file"},
      {"no summary of 0SA", dist, [](const std::string& d) { fs::remove(d + "/00/0SA/Data/SUMMARY"); }, "",
       "00/0SA/Data/SUMMARY: bs_import() - missing summary file"},
      {"0LA's summary cut in its last image", dist, [](const std::string& d) { cut(d + "/00/0LA/Data/SUMMARY", 7); },
       "", "bs_import() - bad proto in summary"},
      {"0AD's summary of another format", dist,
       [](const std::string& d) { fs::resize_file(d + "/00/0AD/Data/SUMMARY", 0); }, "",
       "bs_import() - bad summary header"},
      {"the design STMT raw file cut in its last record", dist,
       [](const std::string& d) { cut(d + "/00/0LA/Portdata/STMT", 9); }, "", "00/0LA/Portdata/STMT: record "},
      {"a raw file of 0SA's data without its header", dist,
       [](const std::string& d) { fs::resize_file(d + "/0SA/Portdata/USER", 100); }, "",
       "0SA/Portdata/USER: copy_recs() - bad fi hdr"},
      {"one application named by four characters", dist, [](const std::string&) {}, "KIVO_BOOT_AP=DEMO",
       "KIVO_BOOT_AP \"DEMO\" is not 1 to 3 characters"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    kivo_test::scratch_dir d;
    fs::copy(r.source, d.path, fs::copy_options::recursive);
    r.damage(d.path);
    const auto before = tree_sums(d.path);
    const run_result got = bootstrap(d.path, r.env);
    EXPECT_EQ(got.status, 2) << got.out;
    // One line, saying why.
    ASSERT_FALSE(got.out.empty());
    EXPECT_EQ(got.out.find('\n'), got.out.size() - 1) << got.out;
    EXPECT_NE(got.out.find(r.why), std::string::npos) << got.out;
    EXPECT_EQ(tree_changes(before, tree_sums(d.path)), std::vector<std::string>{}) << got.out;
  }
}

}  // namespace
}  // namespace kivo::test
