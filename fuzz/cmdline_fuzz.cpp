// The command-line parser. The input is split at NUL bytes and line feeds
// into argument words after the program name. Properties: the parser ends;
// the words it hands back are some of the given ones in their order, ended
// by a null; a refused value leaves the invocation, the database and the
// words as they were (nothing named: invocation and database untouched);
// a utility's file name is one of the words or the tail
// of one; of the connections -x made, only the one com.rmt_sock keeps is
// still open.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/invoc.h"
#include "foundation/os.h"
#include "fuzz_util.h"

using namespace kivo;

namespace {

std::vector<int> g_made;

// -x connects to nothing here: each connection is a descriptor of its own.
int fake_connect(const char*, const char*) {
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd > 0) g_made.push_back(fd);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    ss_remote_hooks.connect = fake_connect;
    return true;
  }();
  (void)init;
  com.rmt_sock = 0;
  g_made.clear();

  std::vector<std::string> parts;
  std::string cur;
  for (size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\0' || c == '\n') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  if (parts.size() > 300) parts.resize(300);  // past the 255 the parser examines

  std::vector<std::vector<char>> bufs;
  bufs.emplace_back(std::vector<char>{'k', 'i', 'v', 'o', '\0'});
  for (const std::string& p : parts) bufs.emplace_back(p.c_str(), p.c_str() + p.size() + 1);
  std::vector<char*> argv;
  for (auto& b : bufs) argv.push_back(b.data());
  argv.push_back(nullptr);
  const std::vector<char*> given = argv;
  const int given_argc = static_cast<int>(argv.size() - 1);

  INVOC inv;
  memset(inv.b, 0x5A, sizeof inv.b);
  const INVOC inv_before = inv;
  char db[3] = {'D', 'B', '1'};
  uint8_t mode = 0xEE;
  const char* util = reinterpret_cast<const char*>(1);
  int argc = given_argc;

  const int named = os_parse_cmd(&argc, argv.data(), &inv, db, &mode, &util);

  FUZZ_CHECK(named == 0 || named == 1, "returned %d", named);
  FUZZ_CHECK(argc >= 1 && argc <= given_argc, "argc %d of %d", argc, given_argc);
  FUZZ_CHECK(mode <= MODE_REPAIR && mode != 4, "mode %d", mode);
  const bool utility = mode >= MODE_EXPORT;
  if (utility) {
    // A utility ends parsing and leaves the words alone.
    FUZZ_CHECK(argc == given_argc && argv == given, "a utility rearranged the words");
    if (util) {
      bool inside = false;
      for (auto& b : bufs) inside |= util >= b.data() && util < b.data() + b.size();
      FUZZ_CHECK(inside, "the utility file points outside the words");
    }
  } else {
    FUZZ_CHECK(util == nullptr, "a file name without a utility");
    if (argc != given_argc || argv != given) {
      FUZZ_CHECK(argv[argc] == nullptr, "no null after the words");
      FUZZ_CHECK(argv[0] == given[0], "the program name moved");
      size_t j = 1;
      for (int i = 1; i < argc; ++i) {
        while (j < given.size() - 1 && given[j] != argv[i]) ++j;
        FUZZ_CHECK(j < given.size() - 1, "word %d is no given word in order", i);
        ++j;
      }
    }
  }
  // Only the naming options change the invocation and the database.
  if (named == 0) {
    FUZZ_CHECK(memcmp(inv.b, inv_before.b, sizeof inv.b) == 0, "the invocation changed, nothing named");
    FUZZ_CHECK(memcmp(db, "DB1", 3) == 0, "the database changed, nothing named");
  }
  for (int fd : g_made) {
    if (fcntl(fd, F_GETFD) < 0) continue;
    FUZZ_CHECK(fd == com.rmt_sock, "connection %d left open, the common block holds %d", fd, com.rmt_sock);
    close(fd);
  }
  return 0;
}
