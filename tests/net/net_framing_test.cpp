// The message layer over a memory channel: golden bytes of every form,
// the receive rules and their protocol errors in each role, the nested
// requests, the buffer pool and the debug log's exact form.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "net/tmnet_login.h"
#include "net_test_util.h"

using namespace kivo;
using namespace kivo::test;

namespace {

class NetFraming : public NetFixture {
 protected:
  void SetUp() override {
    NetFixture::SetUp();
    net_use_memory(&mem_);
  }
  // Feeds `in` as what the peer sent.
  void peer_sends(const bytes& in) {
    in_ = in;
    mem_ = net_memory{};
    mem_.in = in_.data();
    mem_.in_len = in_.size();
  }
  net_memory mem_;
  bytes in_;
};

bytes host16(uint16_t v) {
  bytes b(2);
  memcpy(b.data(), &v, 2);
  return b;
}

struct golden_case {
  const char* name;
  bool forced;
  uint16_t type;
  bytes payload;
  bytes wire;
};

TEST_F(NetFraming, SendsGoldenBytesInEveryForm) {
  const golden_case cases[] = {
      {"command header without payload", false, 0x800E, {}, header(14, 0)},
      {"command header with payload", false, 0x8015, {1, 2}, cat(header(21, 2), {1, 2})},
      {"bare data", false, 0x0015, {1, 2}, {1, 2}},
      {"forced header on data", true, 0x0015, {1, 2}, cat(header(21, 2), {1, 2})},
      {"code 0 never has a header", true, 0x8000, {9}, {9}},
      {"bits 8-11 make a header due, code 0 on the wire", false, 0x8100, {}, header(0, 0)},
      {"REPLY bare", false, TMNET_REPLY, {3, 1}, {3, 1}},
      {"REPLY forced", true, TMNET_REPLY, {3, 1}, cat(header(3, 2), {3, 1})},
  };
  for (const golden_case& c : cases) {
    peer_sends({});
    tmnet_force_headers = c.forced;
    EXPECT_EQ(tmnet_send_msg(3, c.type, c.payload.size(), c.payload.data()), 1) << c.name;
    EXPECT_EQ(mem_.out, c.wire) << c.name;
  }
  peer_sends({});
  tmnet_force_headers = false;
  const tmnet_rc pair{24, 80};
  ASSERT_EQ(tmnet_send_rc(3, &pair), 1);
  EXPECT_EQ(mem_.out, (bytes{0, 0, 0, 24, 0, 0, 0, 80}));
  peer_sends(mem_.out);
  tmnet_rc back{};
  ASSERT_EQ(tmnet_recv_rc(3, &back), 1);
  EXPECT_EQ(back.row, 24u);
  EXPECT_EQ(back.col, 80u);
  EXPECT_TRUE(exits().empty());
}

TEST_F(NetFraming, LoginBlockGoldenAndBoundedTexts) {
  uint8_t b[kLoginSize];
  ASSERT_TRUE(login_build(tmnet_login{"alice", "secret", true, kLoginDataServer, 4}, b));
  bytes want(kLoginSize, 0);
  memcpy(&want[0], "alice", 5);
  memcpy(&want[21], "secret", 6);
  want[73] = 1;
  memcpy(&want[74], "-fms_server", 11);
  want[330] = 4;
  EXPECT_EQ(bytes(b, b + kLoginSize), want);
  tmnet_login back;
  ASSERT_TRUE(login_parse(b, &back));
  EXPECT_EQ(back.user + "/" + back.password + "/" + back.start, "alice/secret/-fms_server");
  EXPECT_TRUE(back.remap);
  // Each text field filled to its last byte has no terminating zero.
  for (auto [off, size] :
       {std::pair{LOGIN_USER, kLoginUserSize}, {LOGIN_PSWD, kLoginPswdSize}, {LOGIN_START, kLoginStartSize}}) {
    uint8_t bad[kLoginSize];
    memcpy(bad, b, sizeof bad);
    memset(bad + off, 'x', size);
    EXPECT_FALSE(login_parse(bad, &back)) << "field at " << off;
  }
  EXPECT_FALSE(login_build(tmnet_login{std::string(21, 'u'), "", false, "", 4}, b));
}

struct recv_case {
  const char* name;
  uint8_t role;
  bool forced;
  bytes in;
  uint16_t type;
  size_t length;
  int rc;
  tmnet_status status;
  bool ends_process;  // with status 255
  bytes out;          // the buffer's first bytes
  size_t consumed;
};

TEST_F(NetFraming, ReceiveTakesOnlyTheHeaderTheExchangeAllows) {
  const uint8_t S = TMNET_ROLE_SERVER, C = TMNET_ROLE_CLIENT, L = TMNET_ROLE_DATA_LINK;
  const bytes opt_req = cat(header(23, 132), bytes(132, 'o'));
  const tmnet_status K = TMNET_OK, P = TMNET_PROTOCOL, G = TMNET_LOST;
  const recv_case cases[] = {
      {"any command", S, 0, cat(header(12, 44), bytes(44)), 0x8004, 0, 1, K, 0, {12}, 8},
      {"length 0: header's", S, 0, header(19, 0x1234), 0x8013, 0, 1, K, 0, host16(0x1234), 8},
      {"exact length", S, 0, cat(header(21, 2), {7, 8}), 0x8015, 2, 1, K, 0, {7, 8}, 10},
      {"longer than expected", S, 0, cat(header(21, 3), {7, 8, 9}), 0x8015, 2, 0, P, 1, {}, 8},
      {"shorter than expected", S, 0, cat(header(21, 1), {7}), 0x8015, 2, 0, P, 1, {}, 8},
      {"unexpected code", S, 0, cat(header(22, 2), {7, 8}), 0x8015, 2, 0, P, 1, {}, 8},
      {"length over 16 bits", S, 0, header(19, 0x10000), 0x8013, 0, 0, P, 1, {}, 8},
      {"data link survives", L, 0, cat(header(22, 2), {7, 8}), 0x8015, 2, 0, P, 0, {}, 8},
      {"bare: its length", S, 0, {3, 1, 99}, TMNET_REPLY, 2, 1, K, 0, {3, 1}, 2},
      {"forced: behind header", S, 1, cat(header(3, 2), {3, 1}), TMNET_REPLY, 2, 1, K, 0, {3, 1}, 10},
      {"gone inside header", S, 0, {0, 0, 0}, 0x8015, 2, 0, G, 1, {}, 3},
      {"gone in payload, link", L, 0, cat(header(21, 2), {7}), 0x8015, 2, 0, G, 0, {}, 9},
      {"client: request waiting", C, 0, opt_req, 0x800C, 2, 0, P, 1, {}, 8},
      {"client: request as any", C, 0, opt_req, 0x8004, 0, 0, P, 1, {}, 8},
      {"client: code expected", C, 1, opt_req, TMNET_GET_OPT, 132, 1, K, 0, {'o'}, 140},
      {"server: no handler", S, 0, opt_req, 0x800C, 2, 0, P, 1, {}, 8},
  };
  for (const recv_case& c : cases) {
    exits().clear();
    peer_sends(c.in);
    tmnet_role = c.role;
    tmnet_force_headers = c.forced;
    uint8_t buf[256] = {};
    EXPECT_EQ(tmnet_recv_msg(3, c.type, c.length, buf), c.rc) << c.name;
    EXPECT_EQ(tmnet_last_status(), c.status) << c.name;
    EXPECT_EQ(exits(), c.ends_process ? std::vector<int>{255} : std::vector<int>{}) << c.name;
    EXPECT_EQ(bytes(buf, buf + c.out.size()), c.out) << c.name;
    EXPECT_EQ(mem_.in_pos, c.consumed) << c.name;
    // The data link's connection is shut down after a failure.
    EXPECT_EQ(mem_.dropped, c.role == L && c.rc == 0) << c.name;
  }
}

int g_requests = 0;

// Serves GET_OPT as the terminal server does: reads the 132-byte block that
// travels in the header, answers with 132 bytes of code 34.
int serve_get_opt(int sock, uint8_t code, uint32_t length) {
  ++g_requests;
  uint8_t block[132];
  if (code != TMNET_GET_OPT || length != sizeof block) return 0;
  if (!tmnet_recv_msg(sock, 0, sizeof block, block)) return 0;
  block[0] = 'r';
  return tmnet_send_msg(sock, TMNET_OPT_REPLY, sizeof block, block);
}

TEST_F(NetFraming, NestedRequestGoesToTheHookAndTheWaitGoesOn) {
  g_requests = 0;
  set_tmnet_request_handler(serve_get_opt);
  const bytes get_opt = cat(header(23, 132), bytes(132, 'o'));
  peer_sends(cat(cat(get_opt, get_opt), cat(header(12, 2), {5, 6})));
  uint8_t buf[2] = {};
  ASSERT_EQ(tmnet_recv_msg(3, 0x800C, 2, buf), 1);
  EXPECT_EQ(bytes(buf, buf + 2), (bytes{5, 6}));
  EXPECT_EQ(g_requests, 2);
  ASSERT_EQ(mem_.out.size(), 264u);
  EXPECT_EQ(mem_.out[0], 'r');
  EXPECT_EQ(mem_.out[1], 'o');

  // Waiting for any command, the requests are served on the way too.
  g_requests = 0;
  peer_sends(cat(get_opt, header(14, 0)));
  ASSERT_EQ(tmnet_recv_msg(3, 0x8004, 0, buf), 1);
  EXPECT_EQ(buf[0], 14);
  EXPECT_EQ(g_requests, 1);

  // A data link never reaches the editor's services.
  g_requests = 0;
  tmnet_role = TMNET_ROLE_DATA_LINK;
  peer_sends(cat(get_opt, cat(header(12, 2), {5, 6})));
  EXPECT_EQ(tmnet_recv_msg(3, 0x800C, 2, buf), 0);
  EXPECT_EQ(g_requests, 0);
  EXPECT_EQ(tmnet_last_status(), TMNET_PROTOCOL);
}

TEST_F(NetFraming, BufferSlotsAreReusedInOrderAndTheThirtyFirstEndsTheProcess) {
  EXPECT_EXIT(
      {
        set_tmnet_exit(nullptr);
        for (int i = 0; i < 31; ++i) tmnet_alloc_buffer(16);
        _exit(0);
      },
      ::testing::ExitedWithCode(1), "");
  uint8_t* held[kTmnetBufferSlots];
  for (auto& p : held) p = tmnet_alloc_buffer(100);
  tmnet_free_buffer(held[4]);
  tmnet_free_buffer(held[9]);
  EXPECT_EQ(tmnet_alloc_buffer(50), held[4]);  // the first free slot, its memory kept
  tmnet_alloc_buffer(5000)[4999] = 1;          // the slot's memory replaced by enough
  EXPECT_TRUE(exits().empty());
  tmnet_free_buffer(nullptr);
  uint8_t stray[4];
  tmnet_free_buffer(stray);
  EXPECT_EQ(exits(), std::vector<int>{1});
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(NetFraming, DebugLogWritesOnlyItsMaskInTheExactForm) {
  char path[] = "/tmp/kivo_netlog_XXXXXX";
  close(mkstemp(path));
  setenv("KIVO_NET_LOG", path, 1);
  const uint8_t data[] = {'H', 'e', 'l', 'l', 'o', 0x0A, 0x00, 0x7F, 0x80,
                          ' ', '~', '!', 'a', 'b', 'c',  'd',  'Z',  0x1F};
  const std::string dump =
      "*** 18 Bytes read from socket ***\n"
      "00000000: 48 65 6C 6C 6F 0A 00 7F 80 20 7E 21 61 62 63 64 |Hello~~~~ ~!abcd|\n"
      "00000010: 5A 1F .. .. .. .. .. .. .. .. .. .. .. .. .. .. |Z~~~~~~~~~~~~~~~|\n";
  struct {
    const char* mask;
    const char* started;  // the mask as the first entry shows it
    bool dumped;
  } cases[] = {{nullptr, nullptr, false}, {"4", nullptr, true}, {"0x5", "       5", true}, {"01", "       1", false}};
  for (auto& c : cases) {
    ASSERT_EQ(truncate(path, 0), 0);
    if (c.mask) setenv("KIVO_NET_LOG_MASK", c.mask, 1);
    else unsetenv("KIVO_NET_LOG_MASK");
    tmnet_dbg_log_init();
    tmnet_dbg_log_hexdump(TMNET_LOG_DUMP, data, sizeof data, "read from socket");
    tmnet_dbg_log_close();
    const std::string got = read_all(path);
    // The time's own line end comes before the entry.
    const std::string start = std::string("\n: *** KIVO NET logging Started: mask=") + (c.started ? c.started : "");
    EXPECT_EQ(got.find(start + " ***\n") != std::string::npos, c.started != nullptr) << got;
    EXPECT_EQ(got.size() >= dump.size() && got.compare(got.size() - dump.size(), dump.size(), dump) == 0, c.dumped)
        << got;
  }
  unsetenv("KIVO_NET_LOG");
  unsetenv("KIVO_NET_LOG_MASK");
  unlink(path);
}

}  // namespace
