// The fixture installations of the image editor's process tests: a copy of
// the default installation with design sources written by kivo_design, and
// the flat export of a copy of one of its design files.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
