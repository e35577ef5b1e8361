// Print files: overstrike bytes and their decoding, lines and pages read back,
// the name search, the ".cfg" file against a golden copy, the print script
// run as a real process, planted links and a full disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utility>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "../store/store_test_util.h"
#include "fm/fm.h"
#include "fm/print_file.h"
#include "foundation/foundation.h"
#include "foundation/os.h"
#include "foundation/os_calls.h"
#include "foundation/text.h"

namespace kivo {
namespace {

using kivo_test::slurp;
bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void put(char* field, size_t n, const char* text) {
  SET_BLANK(field, n);
  memcpy(field, text, strlen(text));
}

// Attributes as letters, one a character: '.' none, B bold, U underline,
// X both, M marker, N marker and bold.
std::string letters(const PM_LINE& l) {
  std::string s;
  for (size_t i = 0; i < l.len; ++i) {
    const uint32_t a = l.attrs[i];
    const bool b = a & PM_ATTR_BOLD, u = a & PM_ATTR_UNDERLINE, m = a & PM_ATTR_MARKED;
    s += m ? (b ? 'N' : 'M') : b && u ? 'X' : b ? 'B' : u ? 'U' : '.';
  }
  return s;
}

class PrintFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, test::quiet_presenter);
    hooks_.set(fm_hooks.pm_user, nullptr);
    dir_ = root_.path() + "/";
    setenv("KIVO_PRT_FI_DIR", dir_.c_str(), 1);
    setenv("KIVO_PRT_SCRIPT", "print.sh", 1);
    com.data_dir = cstr{static_cast<uint16_t>(root_.path().size()), const_cast<char*>(root_.path().c_str())};
    // The script notes its arguments and copies what it was handed.
    std::ofstream(root_.file("print.sh")) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << root_.file("args")
                                          << "'\ncat \"$2\" > '" << root_.file("copy") << "'\n";
    chmod(root_.file("print.sh").c_str(), 0755);
    memset(&blk_, ' ', sizeof blk_);  // every text field blank; the rest set below
    blk_.file = nullptr;
    blk_.line = blk_.page = blk_.status = 0;
    blk_.blank_lines = blk_.marker_len = blk_.notify = blk_.banner = 0;
    blk_.mode = PM_MODE_SPOOL;
    blk_.disposition = PM_DISP_SCRATCH;
    blk_.copies = 1;
    blk_.request_time = {kPmNoTime, 0};
    blk_.print = 1;
  }
  void TearDown() override {
    if (blk_.file) pm_close(&blk_);
    unsetenv("KIVO_PRT_FI_DIR");
    unsetenv("KIVO_PRT_SCRIPT");
  }
  std::string build() {
    char path[kPmPathLen];
    EXPECT_EQ(pm_bld(&blk_, path), 1) << blk_.status;
    return std::string(path, ut_buflen(path, kPmPathLen));
  }
  int write(uint8_t kind, uint16_t count, const std::string& text = "", std::vector<PM_RUN> runs = {}) {
    PM_LINE l{};
    l.kind = kind;
    l.count = count;
    l.text = text.data();
    l.len = static_cast<uint16_t>(text.size());
    l.runs = runs.data();
    l.run_count = static_cast<uint8_t>(runs.size());
    return pm_write(&blk_, &l);
  }
  // The status of a refused call; a call that went through gives kWentThrough.
  static constexpr uint32_t kWentThrough = ~0u;
  uint32_t refused(int rc) const { return rc ? kWentThrough : blk_.status; }
  // Opens a file of the given bytes for reading.
  void open_raw(const std::string& bytes) {
    std::ofstream(dir_ + "RAW", std::ios::binary) << bytes;
    put(blk_.name, kPmNameLen, "RAW");
    ASSERT_EQ(pm_open(&blk_), 1) << blk_.status;
  }
  test::scratch_dir root_;
  std::string dir_;
  PM_BLK blk_;
  PM_LINE line_{};
  kivo_test::hook_overrides hooks_;
};

// ---- writing and decoding overstrikes ----------------------------------------

TEST_F(PrintFiles, OverstrikesAreWrittenByAttributeAndDecodedBack) {
  struct row {
    uint32_t attr;
    const char* marker;
    std::string bytes;
    const char* text;
    const char* attrs;
  } rows[] = {
      {0, "am", "x", "x", "."},
      {PM_ATTR_BOLD, "am", "x\bx\bx", "x", "B"},
      {PM_ATTR_UNDERLINE, "am", "x\b_", "x", "U"},
      {PM_ATTR_BOLD | PM_ATTR_UNDERLINE, "am", "x\b_\bx\b_\bx\b_", "x", "X"},
      {PM_ATTR_MARKER, "am", "a\bm", " ", "M"},
      {PM_ATTR_MARKER | PM_ATTR_BOLD, "am", "a\bm\ba\bm\ba\bm", " ", "N"},
      {PM_ATTR_MARKER | PM_ATTR_UNDERLINE, "am", "a\b_\bm\b_", " ", "M"},
      {PM_ATTR_MARKER, "amw", "a\bm\bw", " ", "M"},
      {PM_ATTR_MARKER, "", " ", " ", "."},
      {PM_ATTR_BLANK, "am", " ", " ", "."},
      {PM_ATTR_BLANK | PM_ATTR_UNDERLINE, "am", " \b_", " ", "U"},
  };
  for (const row& r : rows) {
    put(blk_.name, kPmNameLen, "");
    const std::string path = build();
    memcpy(blk_.marker, "amw ", 4);
    blk_.marker_len = static_cast<uint8_t>(strlen(r.marker));
    ASSERT_EQ(write(PM_NEW_PAGE, 0), 1);
    ASSERT_EQ(write(PM_ADVANCE, 0, "x", {{r.attr, 1, 1, 0}}), 1);
    ASSERT_EQ(pm_close(&blk_), 1);
    EXPECT_EQ(slurp(path), r.bytes) << r.attr;
    ASSERT_EQ(pm_open(&blk_), 1);
    ASSERT_EQ(pm_rdnxt(&blk_, &line_), 1);
    EXPECT_EQ(std::string(line_.text, line_.len), r.text) << r.attr;
    EXPECT_EQ(letters(line_), r.attrs) << r.attr;
    pm_close(&blk_);
    unlink(path.c_str());
  }
  // Stray backspaces and unknown strikes read as plain characters.
  struct stray {
    std::string bytes, text;
    const char* attrs;
  } strays[] = {
      {"\b_x", "_x", ".."},                                          // before any character: dropped
      {"x\by", "xy", ".."},                                          // before another character: dropped
      {"ab\b", "ab", ".."},                                          // at the end of the line
      {"x\b\b_", "x", "U"},                                          // doubled
      {"m\bm", "m", "B"},                                            // the marker's byte struck twice is bold
      {"_\b_", "_", "U"},                                            // an underline and a bold underscore look alike
      {std::string("A\r\0B", 4), std::string("A\r\0B", 4), "...."},  // other bytes are characters
  };
  for (const stray& r : strays) {
    open_raw(r.bytes);
    memcpy(blk_.marker, "amw ", 4);
    ASSERT_EQ(pm_rdnxt(&blk_, &line_), 1);
    EXPECT_EQ(std::string(line_.text, line_.len), r.text);
    EXPECT_EQ(letters(line_), r.attrs);
    pm_close(&blk_);
  }
}

// ---- lines and pages ----------------------------------------------------------

struct written {
  uint8_t kind;
  uint16_t count;
  std::string text;
  std::vector<PM_RUN> runs;
  std::string want_text, want_attrs;
  uint16_t want_feeds;  // line feeds the reader passes before it
  uint32_t line;        // line of the file
};
const std::vector<written> kReport = {
    {PM_NEW_PAGE, 0, "", {}, "", "", 0, 0},
    {PM_ADVANCE, 1, "Total  12.50   ", {{PM_ATTR_BOLD, 1, 5, 0}}, "Total  12.50", "BBBBB.......", 1, 1},
    {PM_ADVANCE, 2, "name", {{PM_ATTR_UNDERLINE, 1, 4, 0}}, "name", "UUUU", 2, 3},
    {PM_TO_LINE, 6, "x", {{PM_ATTR_BOLD | PM_ATTR_UNDERLINE, 1, 1, 0}}, "x", "X", 3, 6},
    {PM_NEW_PAGE, 0, "", {}, "", "", 0, 7},
    {PM_ADVANCE, 1, "secret 1234", {{PM_ATTR_BLANK, 8, 4, 0}}, "secret     ", "...........", 1, 8},
    {PM_ADVANCE, 3, "ab", {{PM_ATTR_MARKER, 3, 2, 0}}, "ab  ", "..MM", 3, 11},
    {PM_NEW_PAGE, 0, "", {}, "", "", 0, 12},
    {PM_ADVANCE, 1, "mb", {{PM_ATTR_MARKER | PM_ATTR_BOLD, 1, 1, 0}, {PM_ATTR_UNDERLINE, 2, 1, 0}}, " b", "NU", 1, 13},
};

TEST_F(PrintFiles, ReportReadsBackByLineAndByPageWithItsAttributes) {
  build();
  for (const written& w : kReport) ASSERT_EQ(write(w.kind, w.count, w.text, w.runs), 1);
  ASSERT_EQ(pm_close(&blk_), 1);
  ASSERT_EQ(pm_open(&blk_), 1);
  uint32_t page = 1;
  for (size_t i = 1; i < kReport.size(); ++i) {
    const written& w = kReport[i];
    ASSERT_EQ(pm_rdnxt(&blk_, &line_), 1) << i;
    EXPECT_EQ(line_.count, w.want_feeds) << i;
    if (w.kind == PM_NEW_PAGE) {
      EXPECT_EQ(line_.kind, PM_NEW_PAGE) << i;
      EXPECT_EQ(blk_.page, ++page) << i;
      EXPECT_EQ(blk_.line, w.line) << i;
      continue;
    }
    EXPECT_EQ(line_.kind, PM_ADVANCE) << i;
    EXPECT_EQ(std::string(line_.text, line_.len), w.want_text) << i;
    EXPECT_EQ(letters(line_), w.want_attrs) << i;
  }
  EXPECT_EQ(refused(pm_rdnxt(&blk_, &line_)), PM_EOF);

  // (page, line) asked; then the text of the line that pm_rdnxt gives after
  // a page, or of the line found.
  struct step {
    uint32_t page, line;
    const char* text;
  } steps[] = {
      {3, 0, " b"},                                    // forward from a fresh file
      {1, 0, "Total  12.50"},                          // an earlier page: rewound
      {2, 0, "secret     "},                           // a later page: read on
      {2, 0, "secret     "},                           // the current page again
      {0, 11, "ab  "},                                 // a line on the current page, ahead
      {0, 8, "secret     "},                           // a line of the current page, behind
      {0, 2, "name"},                                  // before the page: rewound, the next line at or after it
      {0, 0, "Total  12.50"},                          // the very start is the first page
      {0, 13, " b"},          {1, 0, "Total  12.50"},  // the first page from the last
  };
  for (const step& s : steps) {
    blk_.page = s.page;
    blk_.line = s.line;
    ASSERT_EQ(pm_read(&blk_, &line_), 1) << s.page << "/" << s.line;
    if (line_.kind == PM_NEW_PAGE) {
      if (s.page) {
        EXPECT_EQ(blk_.page, s.page);
      }
      ASSERT_EQ(pm_rdnxt(&blk_, &line_), 1);
    }
    EXPECT_EQ(std::string(line_.text, line_.len), s.text) << s.page << "/" << s.line;
  }
  blk_.page = 4;
  EXPECT_EQ(refused(pm_read(&blk_, &line_)), PM_EOF);
}

TEST_F(PrintFiles, LinesLongerThanTheBuffersAreCutNotOverrun) {
  // 20000 bold characters are 100000 bytes on one line, then a short line.
  build();
  ASSERT_EQ(write(PM_NEW_PAGE, 0), 1);
  std::string big(20000, 'q');
  big[0] = 'Z';
  ASSERT_EQ(write(PM_ADVANCE, 0, big, {{PM_ATTR_BOLD, 1, 20000, 0}}), 1);
  ASSERT_EQ(write(PM_ADVANCE, 1, "end"), 1);
  ASSERT_EQ(pm_close(&blk_), 1);
  ASSERT_EQ(pm_open(&blk_), 1);
  ASSERT_EQ(pm_rdnxt(&blk_, &line_), 1);
  ASSERT_EQ(line_.len, kPmLineChars);
  EXPECT_EQ(std::string(line_.text, line_.len), big.substr(0, kPmLineChars));
  EXPECT_EQ(letters(line_), std::string(kPmLineChars, 'B'));
  ASSERT_EQ(pm_rdnxt(&blk_, &line_), 1);
  EXPECT_EQ(std::string(line_.text, line_.len), "end");
  EXPECT_EQ(line_.count, 1);
}

// ---- names ------------------------------------------------------------------------

TEST_F(PrintFiles, NamesCountUpAndLoseAPrefixCharacterWhenAllAreTaken) {
  struct row {
    const char* name;
    std::vector<std::string> taken;
    const char* made;
  } rows[] = {
      {"", {}, "PRTFI000"},
      {"", {"PRTFI000", "PRTFI001"}, "PRTFI002"},
      {"", {"PRTFI000..PRTFI999"}, "PRTF0000"},
      {"REPORTAB", {}, "REPORTAB"},
      {"REPORTAB", {"REPORTAB", "REPORTA0"}, "REPORTA1"},
      {"RPT", {}, "RPT00000"},
  };
  for (const row& r : rows) {
    test::scratch_dir d;
    setenv("KIVO_PRT_FI_DIR", (d.path() + "/").c_str(), 1);
    char name[16];
    for (int n = 0; r.taken.size() == 1 && r.taken[0].size() > 8 && n < 1000; ++n) {
      snprintf(name, sizeof name, "PRTFI%03d", n);
      std::ofstream(d.file(name)) << "keep";
    }
    for (const std::string& t : r.taken) std::ofstream(d.file(t)) << "keep";
    put(blk_.name, kPmNameLen, r.name);
    char path[kPmPathLen];
    ASSERT_EQ(pm_bld(&blk_, path), 1) << r.made;
    EXPECT_EQ(std::string(path, kPmPathLen), (d.file(r.made) + std::string(kPmPathLen, ' ')).substr(0, kPmPathLen));
    EXPECT_EQ(std::string(blk_.name, kPmNameLen), r.made);
    struct stat st;
    ASSERT_EQ(stat(d.file(r.made).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "readable by its user only";
    pm_close(&blk_);
    for (const std::string& t : r.taken) {
      if (t.size() == 8) {
        EXPECT_EQ(slurp(d.file(t)), "keep");
      }
    }
  }
}

// ---- finishing --------------------------------------------------------------------

TEST_F(PrintFiles, ConfigurationFileMatchesTheGoldenCopy) {
  std::vector<uint8_t> user(436, ' ');
  memcpy(user.data(), "ADALovelace", 3);
  memcpy(&user[3], "Ada Lovelace", 12);
  static const uint8_t* g_user;
  g_user = user.data();
  hooks_.set(fm_hooks.pm_user, [] { return g_user; });
  const std::string path = build();
  blk_.mode = PM_MODE_KEEP;
  blk_.disposition = PM_DISP_SAVE;  // on an empty file: SCRATCH
  blk_.copies = 0;                  // written as 1
  blk_.notify = 1;
  blk_.request_time = {ss_day_number(2024, 3, 15), ((13 * 60 + 5) * 60 + 7) * 100 + 9};
  put(blk_.format, sizeof blk_.format, "WIDE");
  put(blk_.priority, sizeof blk_.priority, "HIGH");
  put(blk_.printer_name, sizeof blk_.printer_name, "LP1");
  put(blk_.printer_id, sizeof blk_.printer_id, "Main floor laser");
  memset(blk_.printer_ctl, 0, sizeof blk_.printer_ctl);  // a field of NULs is empty
  put(blk_.printer_queue, sizeof blk_.printer_queue, "q;1 $(x)");
  put(blk_.form_name, sizeof blk_.form_name, "INVOICE");
  put(blk_.rpt_options, sizeof blk_.rpt_options, "duplex");
  ASSERT_EQ(pm_cleanup(&blk_), 1) << blk_.status;
  EXPECT_EQ(slurp(path + ".cfg"), slurp(KIVO_SOURCE_DIR "/tests/fm/golden/print_keep.cfg"));
  struct stat st;
  ASSERT_EQ(stat((path + ".cfg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(PrintFiles, OptionValuesAreMendedAndKeepRunsNoScriptAndNoPrintRemovesTheFile) {
  struct row {
    uint8_t mode, disposition, copies, print;
    const char* options;
    const char* want;  // lines that must be in the file, or null for no file
    bool file_stays, script_ran;
  } rows[] = {
      {0, 0, 255, 1, "", "-mode=HOLD\n-disposition=SCRATCH\n-copies=1\n", true, true},
      {9, 7, 3, 1, "a\nb\rc", "-mode=HOLD\n-disposition=SCRATCH\n-copies=3\n", true, true},
      {PM_MODE_KEEP, PM_DISP_SAVE, 2, 1, "", "-disposition=SAVE\n-copies=2\n", true, false},
      {PM_MODE_HOLD, 0, 1, 0, "", nullptr, false, false},
      {PM_MODE_SPOOL, 0, 1, 1, "", "-mode=SPOOL\n", true, true},
  };
  for (const row& r : rows) {  // no USER record: the user is empty
    unlink(root_.file("args").c_str());
    put(blk_.name, kPmNameLen, "");
    const std::string path = build();
    ASSERT_EQ(write(PM_ADVANCE, 0, "one line"), 1);
    blk_.mode = r.mode;
    blk_.disposition = r.disposition;
    blk_.copies = r.copies;
    put(blk_.rpt_options, sizeof blk_.rpt_options, r.options);
    blk_.print = r.print;
    ASSERT_EQ(pm_cleanup(&blk_), 1) << blk_.status;
    EXPECT_EQ(blk_.file, nullptr);
    EXPECT_EQ(exists(path), r.file_stays) << int(r.mode);
    EXPECT_EQ(exists(root_.file("args")), r.script_ran) << int(r.mode);
    EXPECT_EQ(exists(path + ".cfg"), r.want != nullptr) << int(r.mode);
    if (!r.want) continue;
    const std::string cfg = slurp(path + ".cfg");
    EXPECT_NE(cfg.find(r.want), std::string::npos) << cfg;
    EXPECT_EQ(std::count(cfg.begin(), cfg.end(), '\n'), 17) << cfg;
    EXPECT_NE(cfg.find("\n-user=\n"), std::string::npos) << cfg;
    if (*r.options) {
      EXPECT_NE(cfg.find("\n-rpt_options=a b c\n"), std::string::npos) << cfg;
    }
  }
}

TEST_F(PrintFiles, ScriptGetsThePathsAsDataAndFindsThePrintComplete) {
  const std::string odd = root_.file("pr int;dir");
  ASSERT_EQ(mkdir(odd.c_str(), 0700), 0);
  setenv("KIVO_PRT_FI_DIR", odd.c_str(), 1);  // without its slash
  put(blk_.name, kPmNameLen, "A B;C");
  const std::string path = build();
  EXPECT_EQ(path, odd + "/A B;C000");
  std::string expect;
  for (int i = 0; i < 3000; ++i) {  // several buffers' worth
    const std::string text = "line " + std::to_string(i) + " ;$(touch x) `id`";
    ASSERT_EQ(write(PM_ADVANCE, 1, text), 1);
    expect += "\n" + text;
  }
  ASSERT_EQ(pm_cleanup(&blk_), 1) << blk_.status;
  EXPECT_EQ(slurp(root_.file("args")), "-config=" + path + ".cfg\n" + path + "\n");
  EXPECT_EQ(slurp(root_.file("copy")), expect);
  EXPECT_FALSE(exists(root_.file("x")));
}

TEST_F(PrintFiles, APlantedConfigurationNameIsNotWrittenThrough) {
  const std::string victim = root_.file("victim");
  struct row {
    const char* what;
    bool link, victim_exists;
  } rows[] = {{"link to a file", true, true}, {"dangling link", true, false}, {"plain file", false, true}};
  for (const row& r : rows) {
    unlink(victim.c_str());
    if (r.victim_exists) std::ofstream(victim) << "precious";
    put(blk_.name, kPmNameLen, "");
    const std::string path = build();
    ASSERT_EQ(write(PM_ADVANCE, 0, "text"), 1);
    const std::string cfg = path + ".cfg";
    if (r.link) ASSERT_EQ(symlink(victim.c_str(), cfg.c_str()), 0);
    else std::ofstream(cfg) << "planted";
    unlink(root_.file("args").c_str());
    EXPECT_EQ(refused(pm_cleanup(&blk_)), PM_CFG_FAILED + EEXIST) << r.what;
    EXPECT_EQ(exists(victim), r.victim_exists) << r.what;
    if (r.victim_exists) {
      EXPECT_EQ(slurp(victim), "precious") << r.what;
    }
    EXPECT_FALSE(exists(root_.file("args"))) << r.what;
    unlink(cfg.c_str());
    unlink(path.c_str());
  }
}

ssize_t full_disk(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}
ssize_t no_progress(int, const void*, size_t) { return 0; }
ssize_t no_room_for_options(int fd, const void* p, size_t n) {
  if (n > 6 && memcmp(p, "-mode=", 6) == 0) return full_disk(fd, p, n);
  return os_real_calls().write(fd, p, n);
}
int close_fails(int fd) {
  os_real_calls().close(fd);
  errno = EIO;
  return -1;
}

TEST_F(PrintFiles, AFullDiskFailsWithTheStatusAndRunsNoScript) {
  struct row {
    const char* what;
    bool while_writing;  // else at the clean-up
    ssize_t (*write)(int, const void*, size_t);
    int (*close)(int);
    uint32_t status;
  } rows[] = {
      {"a buffer spilled by a line", true, full_disk, nullptr, PM_FILE_FAILED + ENOSPC},
      {"the last buffer", false, full_disk, nullptr, PM_FILE_FAILED + ENOSPC},
      {"a write that makes no progress", false, no_progress, nullptr, PM_FILE_FAILED + ENOSPC},
      {"the options", false, no_room_for_options, nullptr, PM_CFG_FAILED + ENOSPC},
      {"the close", false, nullptr, close_fails, PM_FILE_FAILED + EIO},
  };
  for (const row& r : rows) {
    unlink(root_.file("args").c_str());
    put(blk_.name, kPmNameLen, "");
    const std::string path = build();
    ASSERT_EQ(write(PM_ADVANCE, 1, "first"), 1);
    kivo_test::hook_overrides failing;
    if (r.write) failing.set(os_sys.write, r.write);
    if (r.close) failing.set(os_sys.close, r.close);
    if (r.while_writing) {
      EXPECT_EQ(refused(write(PM_ADVANCE, 1, std::string(9000, 'w'))), r.status) << r.what;
      failing.restore();
      EXPECT_EQ(write(PM_ADVANCE, 1, "later"), 0) << "a lost write sticks";
    }
    EXPECT_EQ(pm_cleanup(&blk_), 0) << r.what;
    failing.restore();
    EXPECT_EQ(blk_.status, r.status) << r.what;
    EXPECT_EQ(blk_.file, nullptr) << r.what;
    EXPECT_FALSE(exists(path + ".cfg")) << r.what;
    EXPECT_FALSE(exists(root_.file("args"))) << r.what;
  }
}

TEST_F(PrintFiles, RequestsWithoutAFileOrWithBadValuesAreRefused) {
  PM_LINE bad{};
  bad.kind = 4;
  EXPECT_EQ(refused(pm_write(&blk_, &bad)), PM_NOT_OPEN);
  EXPECT_EQ(refused(pm_rdnxt(&blk_, &line_)), PM_NOT_OPEN);
  EXPECT_EQ(refused(pm_read(&blk_, &line_)), PM_NOT_OPEN);
  EXPECT_EQ(pm_close(&blk_), 0);
  EXPECT_EQ(refused(pm_cleanup(&blk_)), PM_NO_FILE_AT_CLEANUP);
  build();
  EXPECT_EQ(refused(pm_write(&blk_, &bad)), PM_BAD_REQUEST);
  pm_close(&blk_);
  char path[kPmPathLen];
  put(blk_.name, kPmNameLen, "../x");
  EXPECT_EQ(refused(pm_bld(&blk_, path)), PM_BAD_REQUEST);
  EXPECT_EQ(refused(pm_open(&blk_)), PM_BAD_REQUEST);
  std::ofstream(root_.file("victim")) << "precious";
  ASSERT_EQ(symlink(root_.file("victim").c_str(), (dir_ + "LINKED").c_str()), 0);
  put(blk_.name, kPmNameLen, "LINKED");
  EXPECT_EQ(refused(pm_open(&blk_)), PM_FILE_FAILED + ELOOP) << "a planted link is not followed";
  memset(blk_.name, 0, kPmNameLen);  // a name of NULs is blank: the next of PRTFI
  ASSERT_EQ(pm_bld(&blk_, path), 1);
  EXPECT_EQ(std::string(blk_.name, kPmNameLen), "PRTFI001");
  pm_close(&blk_);
  setenv("KIVO_PRT_FI_DIR", root_.file("missing/").c_str(), 1);
  put(blk_.name, kPmNameLen, "");
  EXPECT_EQ(refused(pm_bld(&blk_, path)), PM_FILE_FAILED + ENOENT);
}

}  // namespace
}  // namespace kivo
