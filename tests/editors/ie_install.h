// The fixture installations of the image editor's process tests: a copy of
// the default installation with design sources written by kivo_design, and
// the flat export of a copy of one of its design files.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../compiler/stmt_line_util.h"
#include "../fixtures/hook_override.h"
#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "../screen/tm_test_util.h"

namespace kivo::test {

// The subroutine the engine starts on the fixture image "IES": the image's
// key in text, passed to the harness's image mode.
constexpr const char* kIeRun = R"(APPLICATION 0LA 00
WORK "IET KEY" A30
PROCESS 6 "IET RUN"
STMTS 6 "IET RUN" ep=1
      SET      0LA IET KEY                    =      2:IES:0:1:1:DEM:01
      PASS     0LA IET KEY                    FIELD            SHARE? Y
      CALL         IE_TOOLTEST                          N       N       0
END
)";

inline std::string tools_dir() {
  std::string t = KIVO_TOOLTEST;
  return t.substr(0, t.rfind('/'));
}

// The default installation copied into `d`, then each design source
// written into it; false (with the writer's output reported) on a fault.
inline void write_installation(const kivo_test::data_dir& d, const std::vector<std::string>& sources) {
  std::string kivo = KIVO_BINARY;
  ASSERT_EQ(system(("cp -r " + kivo.substr(0, kivo.rfind('/')) + "/shipped_data/. " + d.path).c_str()), 0);
  std::string files;
  for (size_t i = 0; i < sources.size(); ++i) {
    const std::string f = d.file("source" + std::to_string(i) + ".dsgn");
    std::ofstream(f) << sources[i];
    files += " " + f;
  }
  ASSERT_EQ(system((tools_dir() + "/kivo_design -d " + kivo_test::shell_quote(d.path) + files + " >" +
                    d.file("design.out") + " 2>&1")
                       .c_str()),
            0)
      << kivo_test::slurp(d.file("design.out"));
}

// The records of application `ap`'s design file `file` (version 01) that
// begin with `prefix`, read from the data file's bytes.
inline std::vector<std::string> exported(const kivo_test::data_dir& d, const std::string& ap, const std::string& file,
                                         const std::string& prefix) {
  std::vector<std::string> out;
  for (std::string& r : kivo_test::native_records(d.file("01/" + ap + "/Data/" + file + ".dat")).records)
    if (r.compare(0, prefix.size(), prefix) == 0) out.push_back(std::move(r));
  return out;
}

// One statement line: the verb at column 7, each text at its column.
inline std::string ie_line(const std::string& pfx, const std::string& verb,
                           std::initializer_list<std::pair<int, std::string>> at) {
  std::string l = line_at(verb.c_str(), {}, pfx.c_str());
  for (auto& [col, t] : at) l.replace(col - 1, t.size(), t);
  return l + "\n";
}
inline std::string ie_set(const std::string& f, const std::string& v) {
  return ie_line("", "SET", {{16, "0LA"}, {20, f}, {47, "="}, {54, v}});
}
inline std::string ie_pass(const std::string& f, const char* area) {
  return ie_line("", "PASS", {{16, "0LA"}, {20, f}, {47, area}, {64, "SHARE?"}, {71, "Y"}});
}
inline std::string ie_call(const std::string& routine) {
  return ie_line("", "CALL", {{20, routine}, {57, "N"}, {65, "N"}, {73, "0"}});
}

// The application's side, as a design application calls the editor on
// image 1 of frame 0/1 of the INPUT process `image` of DEM 01 (`rows` x
// `cols`): the IMAGE record and the control block laid out field by field
// in record areas, memory work files keyed on their first bytes, and the
// loop of "IE_EDIT" until the request ends it.
inline std::string ie_caller(const std::string& image, int rows, int cols) {
  std::string s = R"(APPLICATION 0LA 00
FILE IECIMG fs=0 len=228
  IMREC   G228 @0
  IMTYP   B2   @0
  IMNAM   A30  @1 key=primary
  IMFC    B2   @31
  IMFR    B9   @32
  IMNO    B2   @36
  IMROWS  B9   @80
  IMCOLS  B9   @84
END
FILE IECCTL fs=0 len=26
  CTLREC  G26  @0
  CTLAP   A3   @0 key=primary
  CTLVER  A2   @3
  CTLLANG A3   @5
  CTLROW  B9   @8
  CTLCOL  B9   @12
  CTLREQ  B2   @16
  CTLED   A1   @17
  CTLMSG  B9   @18
  CTLST   B9   @22
END
FILE IECITM fs=2 len=212
  ITKEY   A48  @0 key=primary
  ITREST  A164 @48
END
FILE IECROW fs=2 len=296
  RWKEY   A44  @0 key=primary
  RWTEXT  A252 @44
END
FILE IECXC fs=2 len=2196
  XCKEY   A118 @0 key=primary
  XCREST  A2078 @118
END
WORK IECBITM A212
WORK IECBCUR A40
WORK IECBCHR A64
PROCESS 6 "IEC RUN"
STMTS 6 "IEC RUN" ep=1
)";
  s += ie_set("IMTYP", "2") + ie_set("IMNAM", image) + ie_set("IMFC", "0") + ie_set("IMFR", "1") + ie_set("IMNO", "1") +
       ie_set("IMROWS", std::to_string(rows)) + ie_set("IMCOLS", std::to_string(cols)) + ie_set("CTLAP", "DEM") +
       ie_set("CTLVER", "01") + ie_set("CTLED", "1");
  for (const char* f : {"IECITM", "IECROW", "IECXC"})
    s += ie_line("", "CREATE", {{16, "0LA"}, {20, f}, {37, "N"}, {45, "0"}});
  s += ie_pass("IMREC", "FIELD") + ie_pass("IECITM", "FILE") + ie_pass("IMREC", "FIELD") + ie_pass("IMREC", "FIELD") +
       ie_pass("IMREC", "FIELD") + ie_pass("CTLREC", "FIELD") + ie_pass("IECROW", "FILE") + ie_pass("IECXC", "FILE") +
       ie_call("IE_INIT");
  s += ie_line("", "LABEL", {{16, "TOP"}});
  s += ie_pass("IMREC", "FIELD") + ie_pass("IECBITM", "FIELD") + ie_pass("IECBCUR", "FIELD") +
       ie_pass("IECITM", "FILE") + ie_pass("IMREC", "FIELD") + ie_pass("IMREC", "FIELD") + ie_pass("IMREC", "FIELD") +
       ie_pass("IECBCHR", "FIELD") + ie_pass("CTLREC", "FIELD") + ie_pass("IECROW", "FILE") + ie_pass("IECXC", "FILE") +
       ie_call("IE_EDIT");
  s += ie_line("", "IF", {{16, "0LA"}, {20, "CTLREQ"}, {47, "GT"}, {54, "252"}});
  s += ie_line("T", "GOTO", {{16, "DONE"}}) + ie_line("", "GOTO", {{16, "TOP"}}) + ie_line("", "LABEL", {{16, "DONE"}});
  return s + "END\n";
}

// Arrow keys from where the pane's cursor stands to (r, c), the image's
// cell when its window is at the screen's corner; true once it stands there.
inline bool move_cursor(kivo_test::tmux_pane& p, int r, int c) {
  int at_r = 1, at_c = 1;
  std::istringstream(p.cursor()) >> at_r >> at_c;
  std::string keys;
  for (; at_r < r; ++at_r) keys += " Down";
  for (; at_r > r; --at_r) keys += " Up";
  for (; at_c < c; ++at_c) keys += " Right";
  for (; at_c > c; --at_c) keys += " Left";
  if (!keys.empty()) p.send_keys(keys);
  const std::string at = std::to_string(r) + " " + std::to_string(c);
  return kivo_test::wait_until([&] { return p.cursor() == at; }, kivo_test::kScreenWait);
}

}  // namespace kivo::test
