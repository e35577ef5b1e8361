// Flat-file export and import: round trips, the records a line cannot carry
// (written whole, the export failing), empty lines, line ends, existing files left as they
// were; every system call of an export and an import failing in turn; and 200,000 records through "kivo -i", "kivo -v"
// and "kivo -e" of the real executable, byte for byte.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include "../fixtures/hook_override.h"
#include "analyser_test_util.h"
#include "fault_util.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "store/flat_file.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using test::slurp;
using test::spill;

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

class FlatTransfer : public ::testing::Test {
 protected:
  void SetUp() override { com_fill(0, nullptr); }
  kivo_test::scoped_hook<sys_err_presenter> quiet_{foundation_seams.err_presenter, test::quiet_presenter};

  int import_text(const std::string& text) {
    spill(base_, bytes(text));
    return flat2brf_run(base_.c_str());
  }
  int run(const std::string& args) {
    std::string cmd = std::string(KIVO_BINARY) + " " + args + " >/dev/null 2>&1";
    int st = system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

  test::scratch_dir dir_;
  std::string base_ = dir_.file("flat");
};

TEST_F(FlatTransfer, NameLosesDatInAnyCaseAndTrailingBlanks) {
  EXPECT_EQ(brf_strip_ext("cust.dat"), "cust");
  EXPECT_EQ(brf_strip_ext("cust.DaT  "), "cust");
  EXPECT_EQ(brf_strip_ext("cust.data"), "cust.data");
  EXPECT_EQ(brf_strip_ext(".dat"), "");
  EXPECT_EQ(brf_strip_ext("   "), "");
}

TEST_F(FlatTransfer, RoundTripKeepsRecordsAndOrderAndSkipsEmptyLines) {
  ASSERT_EQ(import_text("alpha\r\nbeta\n\n\r\ngamma 3\n" + std::string(3000, 'z') + "\nlast-without-end"), 0);
  ASSERT_EQ(brfanal((base_ + ".dat").c_str(), 0, 0, nullptr), 1);
  unlink(base_.c_str());
  ASSERT_EQ(brf2flat_run((base_ + ".dat").c_str()), 0);
  EXPECT_EQ(slurp(base_), bytes("alpha\nbeta\ngamma 3\n" + std::string(3000, 'z') + "\nlast-without-end\n"));
}

// A failed import leaves no data file of its own, an existing one as it was.
TEST_F(FlatTransfer, RefusedImportsAndExportsLeaveFilesAsTheyWere) {
  EXPECT_EQ(import_text("short\n" + std::string(3001, 'y') + "\nmore\n"), 1);  // over 3000 bytes
  EXPECT_NE(access((base_ + ".dat").c_str(), F_OK), 0);
  ASSERT_EQ(import_text("one\ntwo\n"), 0);
  auto before = slurp(base_ + ".dat");
  EXPECT_EQ(import_text("three\n"), 1);
  EXPECT_EQ(slurp(base_ + ".dat"), before);
  EXPECT_EQ(flat2brf_run(dir_.file("absent").c_str()), 1);
  EXPECT_NE(access(dir_.file("absent.dat").c_str(), F_OK), 0);
  EXPECT_EQ(brf2flat_run(dir_.file("absent").c_str()), 1);
  EXPECT_NE(access(dir_.file("absent").c_str(), F_OK), 0);
}

TEST_F(FlatTransfer, DeletedRecordsAreNotExported) {
  {
    test::pair_builder b(base_, 0);
    b.put(bytes("keep 1"));
    uint32_t s = b.put(bytes("gone"));
    b.put(bytes("keep 2"));
    b.del(s, bytes("gone"));
  }
  ASSERT_EQ(brf2flat_run(base_.c_str()), 0);
  EXPECT_EQ(slurp(base_), bytes("keep 1\nkeep 2\n"));
}

// Written as they are, so the flat file holds every byte; the export then
// ends with 1, having named them.
TEST_F(FlatTransfer, RecordsALineCannotCarryAreWrittenWholeAndTheExportFails) {
  const std::vector<std::vector<uint8_t>> not_whole = {bytes("two\nlines"), bytes("ends in return\r"),
                                                       std::vector<uint8_t>(3001, 'x')};
  for (size_t i = 0; i < not_whole.size(); ++i) {
    std::string b = dir_.file("r" + std::to_string(i));
    {
      test::pair_builder pb(b, 0);
      pb.put(bytes("fine"));
      pb.put(not_whole[i]);
    }
    spill(b, bytes("previous export\n"));
    EXPECT_EQ(brf2flat_run(b.c_str()), 1) << i;
    std::vector<uint8_t> want = bytes("fine\n");
    want.insert(want.end(), not_whole[i].begin(), not_whole[i].end());
    want.push_back('\n');
    EXPECT_EQ(slurp(b), want) << i;
  }
}

// Names in the directory, to find a temporary file left behind.
std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') out.push_back(e->d_name);
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(FlatTransfer, EveryFailedCallLeavesNoDataFileOrTheOldFlatFile) {
  const std::string text = "alpha\nbeta\n" + std::string(2000, 'g') + "\nlast\n";
  const std::vector<uint8_t> old_export = bytes("previous export\n");
  const test::fault_kind kinds[] = {test::fault_kind::eio, test::fault_kind::enospc, test::fault_kind::short_write};
  for (test::fault_kind kind : kinds) {
    for (bool import : {true, false}) {
      for (long n = 1;; ++n) {
        std::string where =
            std::string(import ? "import" : "export") + ", call " + std::to_string(n) + ", " + test::fault_name(kind);
        unlink(base_.c_str());
        if (import) {
          unlink((base_ + ".dat").c_str());
          spill(base_, bytes(text));
        } else {
          spill(base_, old_export);
        }
        std::vector<std::string> before = names_in(dir_.path());
        test::fault_arm(kind, n);
        int rc = import ? flat2brf_run(base_.c_str()) : brf2flat_run(base_.c_str());
        bool fired = test::fault_disarm();
        where += std::string(" (") + test::g_fault.failed + ")";
        if (rc != 0) {
          ASSERT_TRUE(fired) << where;
          if (import) ASSERT_NE(access((base_ + ".dat").c_str(), F_OK), 0) << where << ": data file left";
          else ASSERT_EQ(slurp(base_), old_export) << where << ": old flat file lost";
          ASSERT_EQ(names_in(dir_.path()), before) << where << ": a file left behind";
          continue;
        }
        // Done (the failed call, if any, was one the transfer could do without).
        if (import) ASSERT_EQ(brfanal((base_ + ".dat").c_str(), 0, 0, nullptr), 1) << where;
        else ASSERT_EQ(slurp(base_), bytes(text)) << where;
        if (!fired) break;
      }
    }
  }
}

// Import and export start the device write of their output as they go; that
// start is only advice, so when every one fails both still finish whole.
TEST_F(FlatTransfer, FailedWritebackStartsChangeNothing) {
  static long starts;
  starts = 0;
  std::string text;
  for (int i = 0; i < 90000; ++i) text += std::to_string(i) + std::string(100, 'w') + "\n";
  int imported, exported;
  {
    kivo_test::scoped_hook failing(os_sys.sync_file_range, [](int, off_t, off_t, unsigned) {
      ++starts;
      errno = EIO;
      return -1;
    });
    imported = import_text(text);
    unlink(base_.c_str());
    exported = brf2flat_run(base_.c_str());
  }
  EXPECT_EQ(imported, 0);
  EXPECT_EQ(exported, 0);
  EXPECT_GE(starts, 2) << "both tools start the write of their output";
  EXPECT_EQ(slurp(base_), bytes(text));
  EXPECT_EQ(brfanal((base_ + ".dat").c_str(), 0, 0, nullptr), 1);
}

TEST_F(FlatTransfer, TwoHundredThousandRecordsThroughTheExecutableByteForByte) {
  std::string text;
  text.reserve(200000 * 60);
  for (int i = 0; i < 200000; ++i) {
    char line[128];
    int n = snprintf(line, sizeof line, "%07d|Customer %d|%d Harbour Road|%c%c|%d.%02d\n", i, i * 7919 % 100003,
                     i % 400 + 1, 'A' + i % 26, 'a' + i * 3 % 26, i % 90000, i % 100);
    text.append(line, static_cast<size_t>(n));
  }
  std::string src = dir_.file("src.flat");
  spill(src, bytes(text));
  spill(base_, bytes(text));
  ASSERT_EQ(run("-i=" + base_), 0);
  unlink(base_.c_str());
  EXPECT_EQ(run("-v=" + base_ + ".dat"), 1);  // the verdict is the exit status: 1 good
  ASSERT_EQ(run("-e=" + base_ + ".DAT"), 0);
  EXPECT_TRUE(slurp(base_) == slurp(src));
}

}  // namespace
}  // namespace kivo
