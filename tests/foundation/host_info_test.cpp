// Host, user and terminal facts, error texts and directory creation.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "foundation/os.h"
#include "test_dir.h"

using namespace kivo;

TEST(HostInfo, HostUserAndInfoCodes) {
  cstr id, unused, os, host;
  ASSERT_EQ(ss_host_info(&id, &unused, &os, &host), 1);
  char name[256];
  gethostname(name, sizeof name);
  EXPECT_EQ(std::string(os.ptr, os.len) + "/" + std::string(host.ptr, host.len), std::string("LINUX/") + name);
  EXPECT_EQ(id.len, 0);
  EXPECT_GT(ss_uid().len, 0);  // the login name is never empty
  for (int code : {11, 99}) {  // an unknown code gives the last string again
    cstr pid = ss_info(code);
    EXPECT_EQ(std::string(pid.ptr, pid.len), std::to_string(getpid()));
  }
  if (!isatty(0)) {
    cstr t = ss_info(12);
    EXPECT_EQ(std::string(t.ptr, t.len), "background");
    cstr tid;
    EXPECT_EQ(ss_trm_id(&tid), 1);
    EXPECT_EQ(tid.len, 0);
  }
}

TEST(HostInfo, ErrorTextsAndBeyondTheTable) {
  EXPECT_STREQ(ss_msg(ENOENT), "No such file or directory");
  EXPECT_STREQ(ss_msg(99999), "No message string for #99999");
}

TEST(HostInfo, MakePathCreatesEveryMissingDirectory) {
  kivo_test::scratch_dir d;
  std::string target = d.path + "/a/b/c/file.dat";
  EXPECT_EQ(ss_make_path(target.c_str()), 1);
  struct stat st;
  EXPECT_EQ(stat((d.path + "/a/b/c").c_str(), &st), 0);
  EXPECT_EQ(stat(target.c_str(), &st), -1);
  d.write("plain", "x");
  EXPECT_EQ(ss_make_path((d.path + "/plain/sub/f").c_str()), 0);
}
