// The client routines called by name as a CALL calls them: each field reaches the remote terminal's operation in
// its place, the answers come back into the fields, and the outcome follows the operation's result. The test plays
// the client on the far end of a socket pair.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "interp/rt_fns.h"
#include "interp_test.h"
#include "net/tmnet.h"
#include "net/tmnet_svc.h"

namespace kivo {
namespace {

using test::bytes;
using BuiltinRoutines = test::InterpBase;

// The 8-byte command header: length big-endian, code, three zeros.
bytes header(uint8_t code, uint32_t n) {
  return {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), code, 0, 0, 0};
}
bytes cat(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
bytes txt(const std::string& s) { return bytes(s.begin(), s.end()); }

// Calls routine `name` with alpha (type 1) and binary (type 5) fields; -1 when it cannot be called.
int by_name(const char* name, std::initializer_list<std::pair<uint8_t, std::string*>> fields) {
  size_t n = 0;
  const rt_fn_row* t = int_fns_tbl(&n);
  uint32_t row = 0;
  while (row < n && strcmp(t[row].name, name) != 0) ++row;
  RT_CALL c{};
  for (auto [type, f] : fields)
    c.args[c.argc++] = {1, type, uint16_t(f->size()), reinterpret_cast<uint8_t*>(f->data())};
  std::string err;
  return row < n ? rt_call_row(row, c, &err) : -1;
}
std::string bin(int32_t v) {
  std::string s(4, '\0');
  st_le32(reinterpret_cast<uint8_t*>(s.data()), 0, uint32_t(v));
  return s;
}

TEST_F(BuiltinRoutines, ClientRoutinesReachTheRemoteTerminal) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  struct closer {
    int* fd;
    ~closer() { close(fd[0]), close(fd[1]), com.rmt_sock = 0; }
  } closing{sv};
  const int far = sv[1];
  auto put = [&](const bytes& b) { ASSERT_EQ(write(far, b.data(), b.size()), ssize_t(b.size())); };
  com.rmt_sock = uint16_t(sv[0]);
  tmnet_init();
  // The next `n` bytes the server wrote; fewer only when they stop coming (a fault).
  auto sent = [&](size_t n) {
    bytes got;
    uint8_t b;
    for (pollfd p{far, POLLIN, 0}; got.size() < n && poll(&p, 1, 10000) == 1 && read(far, &b, 1) == 1;)
      got.push_back(b);
    return got;
  };
  std::string proto = "Excel   ", handle = bin(0), arg = "abc", method = "void run  ", result(4, ' ');
  put(cat(be32(7), be32(1)));  // handle 7, result 1
  EXPECT_EQ(by_name("RT_CLI_CREATE_OBJECT", {{1, &proto}, {5, &handle}, {1, &arg}}), 1);
  EXPECT_EQ(ld_le32(reinterpret_cast<const uint8_t*>(handle.data()), 0), 7u);
  bytes want = cat(header(64, 4), {0, 5, 1, 0});
  for (const bytes& b : {txt("Excel"), be32(11), be32(3), txt("abc")}) want = cat(want, b);
  EXPECT_EQ(sent(want.size()), want);
  // A "void " method does not wait; a handle past one byte is refused before anything is sent.
  EXPECT_EQ(by_name("RT_CLI_INVOKE_METHOD", {{5, &handle}, {1, &method}, {1, &result}}), 1);
  want = cat(header(65, 4), cat({0, 8, 0, 7}, txt("void run")));
  EXPECT_EQ(sent(want.size()), want);
  std::string big = bin(300);
  EXPECT_EQ(by_name("RT_CLI_DESTROY_OBJECT", {{5, &big}}), 0);
  EXPECT_EQ(by_name("RT_CLI_DESTROY_OBJECT", {{5, &handle}}), 1);
  EXPECT_EQ(sent(12), cat(header(66, 4), {0, 0, 0, 7}));
  std::string url = "http://x   ";
  EXPECT_EQ(by_name("RT_LOAD_URL", {{1, &url}}), 1);
  const bytes url_bytes = cat(cat(header(26, 0), {0, 8}), txt("http://x"));
  EXPECT_EQ(sent(url_bytes.size()), url_bytes);
  // Without the client's feature a transfer is refused at once, nothing sent.
  com_feature_mask = 0;
  std::string path = "/tmp/none", name = "x.txt   ";
  EXPECT_EQ(by_name("RT_SEND_FILE", {{1, &path}, {1, &name}}), 0);
  EXPECT_EQ(by_name("RT_RECV_FILE", {{1, &name}, {1, &path}}), 0);
  EXPECT_EQ(by_name("RT_LOAD_URL", {{1, &url}}), 1);  // the next bytes are the URL's: nothing came before
  EXPECT_EQ(sent(url_bytes.size()), url_bytes);
}

}  // namespace
}  // namespace kivo
