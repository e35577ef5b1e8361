// Environment files and two-dash arguments: precedence, includes, and the
// lines that must not become settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "foundation/cmdline.h"
#include "test_dir.h"

using namespace kivo;
using kivo_test::scratch_dir;

namespace {

std::string env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "<unset>";
}

// The values of several names, joined by '|'.
std::string envs(std::initializer_list<const char*> names) {
  std::string out;
  for (const char* n : names) out += (out.empty() ? "" : "|") + env(n);
  return out;
}

}  // namespace

TEST(EnvFile, ArgumentBeatsHomeBeatsDataDirBeatsInherited) {
  scratch_dir data, home;
  setenv("KEF_A", "inherited", 1);
  setenv("KEF_B", "inherited", 1);
  setenv("KEF_C", "inherited", 1);
  setenv("KEF_D", "inherited", 1);
  data.write("kivo.env", "KEF_A=data\nKEF_B=data\nKEF_C=data\n");
  home.write("kivo.env", "KEF_A=home\nKEF_B=home\n");
  setenv("KEF_NOVALUE", "kept", 1);
  char prog[] = "kivo", arg[] = "--KEF_A=arg", plain[] = "file", a1[] = "--KEF_TWICE=1", a2[] = "--KEF_TWICE=2",
       bad[] = "--KEF_NOVALUE";
  char* argv[] = {prog, arg, plain, a1, a2, bad, nullptr};
  load_env_files(data.path.c_str(), home.path.c_str(), 6, argv);
  // The later argument of a name wins; a word without "=" is no setting.
  EXPECT_EQ(envs({"KEF_A", "KEF_B", "KEF_C", "KEF_D", "KEF_TWICE", "KEF_NOVALUE"}), "arg|home|data|inherited|2|kept");
}

// An include loads at its place in the file; blanks around "=" belong to
// name and value; comments and lines without "=" set nothing.
TEST(EnvFile, IncludesBlanksCommentsAndLinesWithoutEqualsSign) {
  scratch_dir d;
  std::string inc = d.write("inc.env", "KEF_ORDER=included\nKEF_ONLY_INC=yes\n");
  d.write("kivo.env", "KEF_ORDER=before\n  include=" + inc + "\nKEF_AFTER=after\n");
  load_env_fi(d.file("kivo.env").c_str());
  EXPECT_EQ(envs({"KEF_ORDER", "KEF_ONLY_INC"}), "included|yes");
  d.write("k2.env", "Include=" + inc + "\nKEF_ORDER=after include\n");
  load_env_fi(d.file("k2.env").c_str());
  EXPECT_EQ(env("KEF_ORDER"), "after include");
  d.write("k3.env", "   KEF_LEAD=x y\n#KEF_COMMENT=1\nKEF_NOEQ\nKEF_SP = v \nKEF_LAST=no line end");
  unsetenv("KEF_COMMENT");
  load_env_fi(d.file("k3.env").c_str());
  EXPECT_EQ(envs({"KEF_LEAD", "KEF_COMMENT", "KEF_NOEQ", "KEF_SP ", "KEF_LAST"}),
            "x y|<unset>|<unset>| v |no line end");
}

TEST(EnvFile, IncludeCycleIsRefusedAtOnceNotReadAtEveryLevel) {
  // Two includes of itself a level would be read 2^16 times under the depth
  // limit alone; each include of a file already being read is refused.
  scratch_dir d;
  std::string a = d.file("a.env"), b = d.file("b.env");
  d.write("a.env", "KEF_CYCLE_A=1\ninclude=" + a + "\ninclude=" + b + "\nKEF_CYCLE_DONE=1\n");
  d.write("b.env", "KEF_CYCLE_B=1\ninclude=" + a + "\n");
  testing::internal::CaptureStderr();
  load_env_fi(a.c_str());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(envs({"KEF_CYCLE_A", "KEF_CYCLE_B", "KEF_CYCLE_DONE"}), "1|1|1");
  size_t n = 0;
  for (size_t at = err.find("includes itself"); at != std::string::npos; at = err.find("includes itself", at + 1)) ++n;
  EXPECT_EQ(n, 2u) << err;
}

// An overlong line, or one holding a NUL, is refused whole: neither the text
// before the NUL nor a tail past the length one read of a line takes becomes
// a setting of its own.
TEST(EnvFile, OverlongOrNulLineIsRefusedWholeAndItsTailIsNoSetting) {
  scratch_dir d;
  std::string value126(126 - 9, 'v');  // "KEF_FITS=" is 9 characters
  std::string tail = "KEF_TAIL=smuggled";
  std::string longline = "KEF_LONG=" + std::string(130 - 9 - tail.size(), 'x') + tail;
  std::string nul_line = std::string("KEF_NUL_HEAD=x") + '\0' + std::string(130, 'y') + "KEF_NUL_TAIL=smuggled";
  d.write("kivo.env", "KEF_FITS=" + value126 + "\n" + longline + "\nKEF_NEXT=ok\n" + nul_line + "\nKEF_NUL_SHORT=a" +
                          '\0' + "b\nKEF_NUL_AFTER=2\n");
  for (const char* n : {"KEF_TAIL", "KEF_LONG", "KEF_NUL_HEAD", "KEF_NUL_TAIL", "KEF_NUL_SHORT"}) unsetenv(n);
  load_env_fi(d.file("kivo.env").c_str());
  EXPECT_EQ(env("KEF_FITS"), value126);
  for (const char* n : {"KEF_TAIL", "KEF_LONG", "KEF_NUL_HEAD", "KEF_NUL_TAIL", "KEF_NUL_SHORT"})
    EXPECT_EQ(env(n), "<unset>") << n;
  EXPECT_EQ(envs({"KEF_NEXT", "KEF_NUL_AFTER"}), "ok|2");
}

TEST(EnvFile, EndlessIncludeEndsAfterTheFileLimit) {
  scratch_dir d;
  d.write("kivo.env", "KEF_ZERO_BEFORE=1\ninclude=/dev/zero\nKEF_ZERO_AFTER=2\n");
  load_env_fi(d.file("kivo.env").c_str());
  EXPECT_EQ(envs({"KEF_ZERO_BEFORE", "KEF_ZERO_AFTER"}), "1|2");
}

TEST(EnvFile, ReleasedLinesLeaveTheEnvironment) {
  scratch_dir d;
  setenv("KEF_REL_INHERITED", "kept", 1);
  d.write("kivo.env", "KEF_REL_A=1\nKEF_REL_INHERITED=over\n");
  unsetenv("KEF_REL_A");
  load_env_fi(d.file("kivo.env").c_str());
  ASSERT_EQ(env("KEF_REL_A"), "1");
  env_lines_release();
  EXPECT_EQ(envs({"KEF_REL_A", "KEF_REL_INHERITED"}), "<unset>|<unset>");  // it pointed into a released line
}
