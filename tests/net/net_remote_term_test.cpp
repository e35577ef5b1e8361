// The remote terminal between real processes: the window-manager driver
// and the engine on its default installation serving a peer that plays the
// client byte by byte, the character client against them in tmux beside a
// local run, and the images' clipping and item list over a memory channel.
#include <poll.h>
#include <sys/wait.h>
#include <utility>

#include <array>
#include <functional>

#include "../screen/term_harness.h"
#include "../screen/tm_test_util.h"
#include "foundation/bytes.h"
#include "foundation/os.h"
#include "net/tmnet_compress.h"
#include "net/tmnet_srv.h"
#include "net_peer.h"
#include "net_test_util.h"
#include "types/cnv.h"
#include "types/types.h"

using namespace kivo;
using namespace kivo::test;

namespace {

constexpr const char* kForm =
    "srf\nwnd 3 10 5 40\nregion READY\nalpha 2 2 10\nnum 3 2 -99999\nshow \"DATA ENTRY\" 3 3 2\n";
constexpr uint8_t kAttrHeader[] = {0, 0, 0, 2, 22, 0, 0, 0};

// The window-manager driver on a fixture installation, or the engine itself
// on a copy of the default installation, started on `sock`.
struct engine {
  kivo_test::data_dir dir;
  pid_t pid = -1;
  bool real = false;
  bool headers = false;  // KIVO_NET_HEADERS: a header on every message
  explicit engine(const std::string& cmds) {
    std::ofstream(dir.file("cmds")) << cmds;
    EXPECT_EQ(system((std::string(FIXTURE_DIR) + " " + kivo_test::shell_quote(dir.path) + " screen").c_str()), 0);
  }
  engine() : real(true) {
    const std::string kivo = KIVO_BINARY;
    const std::string data = kivo.substr(0, kivo.rfind('/')) + "/shipped_data";
    EXPECT_EQ(system(("cp -r " + data + "/. " + kivo_test::shell_quote(dir.path)).c_str()), 0);
  }
  void start(int sock, const char* ping = nullptr) {
    const std::string d = dir.path;
    std::vector<std::string> a{"/usr/bin/env", "TERM=screen", "KIVOPATH=" + d, "KIVO_0SA_PATH=" + d,
                               "KIVO_TST_DIR=" + d};
    if (ping) a.push_back(std::string("WM_DRIVER_PING=") + ping);
    if (headers) a.push_back("KIVO_NET_HEADERS=1");
    for (const std::string& w :
         real ? std::vector<std::string>{KIVO_BINARY} : std::vector<std::string>{WM_DRIVER, d + "/cmds", d + "/res"})
      a.push_back(w);
    a.push_back("-f=" + std::to_string(sock));
    pid = spawn(a, -1, false);
  }
  int status() {  // exit status, or -1 when killed at the deadline
    const int st = reap(pid);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
};

class NetServer : public NetFixture {};

int count(const std::vector<uint8_t>& v, uint8_t c) { return int(std::count(v.begin(), v.end(), c)); }

TEST_F(NetServer, HandshakeSendsReplyInitFeaturesAndProcessId) {
  engine e(kForm);
  peer p;
  EXPECT_EQ(serve(e, p), 0);
  EXPECT_EQ(p.start, cat(cat({2, 4}, header(10, 0)), {0}));
  ASSERT_GE(p.got.size(), 3u);
  EXPECT_EQ(p.got[0].code, 68);
  EXPECT_EQ(p.got[0].head, (bytes{0, 0, 0x11, 0xff}));
  EXPECT_EQ(p.got[1].code, 69);
  EXPECT_EQ(std::string(p.got[1].data.begin(), p.got[1].data.end()), std::to_string(e.pid));
  EXPECT_EQ(p.got[2].code, 17);
  EXPECT_EQ(p.got.back().code, 14);
}

TEST_F(NetServer, VersionTwoClientGetsSixteenBitCellsAndNoExtendedAttributes) {
  engine e(kForm);
  peer p;
  p.o.version = 2;
  EXPECT_EQ(serve(e, p), 0);
  const std::vector<uint8_t> c = p.codes();
  EXPECT_EQ(count(c, 68) + count(c, 69) + count(c, 27), 0);
  ASSERT_GE(count(c, 22), 1);
  for (const msg& m : p.got) {
    if (m.code == 22) {
      EXPECT_EQ(p.expanded(m.data, 2).size(), 24u * 80 * 2);
    }
    if (m.code != 21) continue;
    const bytes screen = p.expanded(m.data, 1);
    EXPECT_EQ(std::string(screen.begin() + 2 * 80 + 9, screen.begin() + 2 * 80 + 14), "READY");
  }
}

TEST_F(NetServer, ShowWithoutChangeSendsOnlyTheShowBlock) {
  engine e(std::string(kForm) + "show \"DATA ENTRY\" 3 3 2\n");
  peer p;
  EXPECT_EQ(serve(e, p), 0);
  const std::vector<uint8_t> c = p.codes();
  const auto last = std::find(c.rbegin(), c.rend(), 12);
  ASSERT_NE(last, c.rend());
  EXPECT_EQ(count(c, 12), 2);
  EXPECT_EQ(*(last + 1), 12) << "an update between two shows of the same screen";
}

// The server (the engine itself, or the driver showing twice) on a peer set
// up by `set`: its exit status; a refusal ends it at once, without FINISH;
// the frame count of every SHOW is the server's own.
peer expect_end(const std::function<void(peer_opts&)>& set, int want, bool real = true) {
  std::unique_ptr<engine> e =
      real ? std::make_unique<engine>() : std::make_unique<engine>(std::string(kForm) + "show \"DATA ENTRY\" 3 3 2\n");
  peer p;
  set(p.o);
  EXPECT_EQ(serve(*e, p), want);
  EXPECT_EQ(count(p.codes(), 14), want == kTmnetLostExit ? 0 : 1);
  EXPECT_EQ(p.eof, want == kTmnetLostExit) << "the engine went on reading";
  uint32_t first = UINT32_MAX;
  for (const msg& m : p.got) {
    if (m.code != 12) continue;
    if (first == UINT32_MAX) first = ld_be32(m.head.data(), 36);
    EXPECT_EQ(ld_be32(m.head.data(), 36), first);
  }
  return p;
}

TEST_F(NetServer, AttachPairsTheProtocolCannotCarryEndTheServer) {
  for (const std::array<uint32_t, 6>& pairs : std::vector<std::array<uint32_t, 6>>{
           {0, 0, 0, 0, 0, 0}, {1000, 1000, 1000, 1000, 1000, 1000}, {30, 80, 24, 80, 24, 80}}) {
    SCOPED_TRACE(pairs[0]);
    expect_end([&](peer_opts& o) { o.pairs = pairs; }, kTmnetLostExit);
  }
}

TEST_F(NetServer, ShowAnswerClaimingSixtyThousandBytesEndsTheServer) {
  expect_end([](peer_opts& o) { o.claim = 60000; }, kTmnetLostExit, false);
}

TEST_F(NetServer, FrameCountHandedBackStaysTheServers) {
  expect_end([](peer_opts& o) { o.frames = 1000000; }, 0, false);
}

// The engine looks the name up in its installation's option names.
TEST_F(NetServer, GetOptNameLengthIsBoundedAndAnswered) {
  const std::vector<msg> got = expect_end([](peer_opts& o) { o.get_opt = 4096; }, 0, false).got;
  const auto reply = std::find_if(got.begin(), got.end(), [](const msg& m) { return m.code == 34; });
  ASSERT_NE(reply, got.end());
  EXPECT_EQ(ld_be32(reply->data.data(), 0), 304u);  // ENTER
}

TEST(NetClientServer, SilentClientEndsTheServerWithNineAtItsYield) {
  engine e(std::string(kForm) + "yield\n");
  peer p;
  p.o.mute_ping = true;
  EXPECT_EQ(serve(e, p, "0,1"), kRemoteGoneExit);
  EXPECT_EQ(p.codes().back(), 25);
}

// The character client in tmux 80x24 on port `port`, in `dir`.
std::unique_ptr<kivo_test::tmux_pane> client(const kivo_test::data_dir& dir, const std::string& port,
                                             bool headers = false) {
  kivo_test::env_list env{{"TERM", "screen"},  {"HOME", "hm"},      {"KIVO_HOST", "127.0.0.1"}, {"KIVO_PORT", port},
                          {"KIVO_USER", "me"}, {"KIVO_PSWD", "pw"}, {"KIVO_TST_DIR", dir.path}};
  if (headers) env.push_back({"KIVO_NET_HEADERS", "1"});
  return std::make_unique<kivo_test::tmux_pane>(std::string(KIVO_BINARY) + " -c", dir.path, env);
}

TEST(NetClientServer, ClientShowsWhatALocalRunShows) {
  engine local(kForm), remote(kForm);
  kivo_test::data_dir cli;
  kivo_test::tmux_pane here(std::string(WM_DRIVER) + " cmds res", local.dir.path,
                            {{"TERM", "screen"},
                             {"HOME", "hm"},
                             {"KIVO_TST_DIR", local.dir.path},
                             {"KIVOPATH", local.dir.path},
                             {"KIVO_0SA_PATH", local.dir.path}});
  // The test listener starts the driver for the client's login.
  const std::string d = remote.dir.path;
  listener lsn(true,
               {"/usr/bin/env", "TERM=screen", "KIVOPATH=" + d, "KIVO_0SA_PATH=" + d, "KIVO_TST_DIR=" + d, WM_DRIVER,
                d + "/cmds", d + "/res"},
               nullptr);
  auto there = client(cli, lsn.port);
  for (auto* pane : {&here, there.get()}) {
    ASSERT_TRUE(pane->wait_for("READY")) << pane->capture();
    pane->send_text("12");
    ASSERT_TRUE(pane->wait_for("12")) << pane->capture();
  }
  EXPECT_EQ(there->capture(), here.capture());
  EXPECT_EQ(there->cursor(), here.cursor());
  for (auto* pane : {&here, there.get()}) pane->send_hex("\r");
  EXPECT_EQ(here.exit_status(), 0);
  EXPECT_EQ(there->exit_status(), 0) << there->capture();
  EXPECT_TRUE(kivo_test::wait_until(
      [&] { return kivo_test::slurp(remote.dir.file("res")).find("end ") != std::string::npos; }, 10));
  EXPECT_EQ(kivo_test::slurp(remote.dir.file("res")), kivo_test::slurp(local.dir.file("res")));
  EXPECT_EQ(kivo_test::slurp(cli.file("actual/snapshot")), kivo_test::slurp(local.dir.file("actual/snapshot")));
  EXPECT_NE(kivo_test::slurp(cli.file("actual/snapshot")), "");
}

// The character client logged in (as the listener would) and served by `e`.
std::unique_ptr<kivo_test::tmux_pane> served_client(engine& e, const kivo_test::data_dir& cli) {
  acceptor a;
  auto there = client(cli, a.port, e.headers);
  const int s = accept(a.fd, nullptr, nullptr);
  // With headers on every message the LOGIN and the REPLY carry one too.
  uint8_t login[8 + 331];
  const size_t n = e.headers ? sizeof login : 331;
  EXPECT_EQ(recv(s, login, n, MSG_WAITALL), ssize_t(n));
  const bytes reply = cat(e.headers ? header(TMNET_REPLY, 2) : bytes{}, {3, 1});
  EXPECT_EQ(write(s, reply.data(), reply.size()), ssize_t(reply.size()));
  e.start(s);
  close(s);
  return there;
}

// The driver as server: ENTER ends it with FINISH and the client with 0;
// a killed client's connection breaks and ends it with 255 (there with a
// header on every message).
TEST(NetClientServer, ClientEndsWithZeroAtFinishAndKilledEndsTheServerWith255) {
  for (bool killed : {false, true}) {
    engine e(kForm);
    e.headers = killed;
    kivo_test::data_dir cli;
    auto there = served_client(e, cli);
    ASSERT_TRUE(there->wait_for("READY")) << there->capture();
    if (killed) {
      there->kill_command(SIGKILL);
    } else {
      there->send_hex("\r");
      EXPECT_EQ(there->exit_status(), 0) << there->capture();
    }
    EXPECT_EQ(e.status(), killed ? kTmnetLostExit : 0);
  }
}

TEST(NetClientServer, ClientThatCannotLogInSaysWhyAndExitsOne) {
  const std::string refused = [] {  // a port nobody listens on any more
    acceptor gone;
    return gone.port;
  }();
  const struct {
    std::string env, says;
  } cases[] = {
      {"", "KIVO_HOST, KIVO_PORT"},
      {"KIVO_HOST=" + std::string(31, 'h') + " KIVO_PORT=1 KIVO_USER=u KIVO_PSWD=p", "KIVO_HOST is longer than 30"},
      {"KIVO_HOST=127.0.0.1 KIVO_PORT=1 KIVO_USER=" + std::string(21, 'u') + " KIVO_PSWD=p", "KIVO_USER is longer"},
      {"KIVO_HOST=127.0.0.1 KIVO_PORT=" + refused + " KIVO_USER=u KIVO_PSWD=p", "can't connect"},
  };
  for (const auto& k : cases) {
    const std::string cmd = "env -u KIVO_HOST -u KIVO_PORT -u KIVO_USER -u KIVO_PSWD " + k.env + " " + KIVO_BINARY +
                            " -c 2>&1; echo status=$?";
    const std::string out = kivo_test::run_output(cmd);
    EXPECT_NE(out.find(k.says), std::string::npos) << out;
    EXPECT_NE(out.find("status=1"), std::string::npos) << out;
  }
}

// The engine itself on its default installation: END on its first menu,
// "KIVO MENU", ends it with 0 and one FINISH.
TEST_F(NetServer, EngineOnTheDefaultInstallationEndsAtEndOnItsFirstMenu) {
  const peer p = expect_end([](peer_opts& o) { o.key = 274; }, 0);
  EXPECT_FALSE(p.eof);
}

// Over a memory channel: the server's images after updates, the cells
// that go on the wire and the items listed under them.
TEST_F(NetServer, UpdatesAreClippedAndItemsListed) {
  bytes in;
  for (uint32_t v : {24u, 80u, 24u, 80u, 24u, 80u})
    in = cat(in, {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
  net_memory mem;
  mem.in = in.data(), mem.in_len = in.size();
  net_use_memory(&mem);
  int rows[3], cols[3];
  ASSERT_EQ(tmnet_srv_trm_attach(rows, cols), 1);
  const struct {
    int row, col;
    std::string text;
    uint32_t attr;
    int cell;  // where the text's first character lands
    uint32_t want;
  } cases[] = {
      {0, 0, "top", 0x100000, 0, 0x1000B0},
      {2, 5, "b", 0xB0, 80 + 4, 0x1000B0},
      {3, 1, "x", 0x100001, 160, 0x100001},
      {99, 99, "long text", 0x3, 23 * 80 + 79, 0x3},
  };
  for (const auto& k : cases) {
    const tmnet_run run{k.col, int(k.text.size()), k.attr, 0};
    tmnet_srv_upd_scr(k.row, k.col, reinterpret_cast<const uint8_t*>(k.text.data()), int(k.text.size()), &run, 1);
    EXPECT_EQ(tmnet_srv_chars()[k.cell], k.text[0]) << k.text;
    EXPECT_EQ(tmnet_srv_attrs()[k.cell], k.want) << k.text;
  }
  EXPECT_EQ(tmnet_srv_chars()[24 * 80 - 1], 'l');  // the long text cut at the row's end
  EXPECT_EQ(tmnet_srv_attrs()[1], 0x1000B0u);
  // The show sends those cells: the attribute update's first cell is 0x1000B0.
  bytes answer(30);
  for (size_t i = 0; i < 30; i += 2) answer[i] = 0xFF;  // 1920 unchanged characters
  answer = cat(cat(cat(header(12, 2), {0, 30}), answer), bytes(45));
  mem = net_memory{};
  mem.in = answer.data(), mem.in_len = answer.size();
  tmnet_remote_version = 4;
  tmnet_show sd;
  tmnet_srv_show(&sd);
  const auto at = std::search(mem.out.begin(), mem.out.end(), std::begin(kAttrHeader), std::end(kAttrHeader));
  ASSERT_NE(at, mem.out.end());
  std::vector<uint32_t> cells(24 * 80);
  const bytes data(at + 10, at + 10 + ld_be16(&*at, 8));
  ASSERT_EQ(tmnet_expand_u32_record(data.data(), cells.data(), data.size(), cells.size()), long(cells.size()));
  EXPECT_EQ(cells[0], 0x1000B0u);
  // The items under those cells: group 7's token block only for a client
  // that takes them (no stamp names here: blank).
  token_hooks th;
  th.info = [](uint32_t group, uint8_t*, uint8_t*, char* ap, char* ver) {
    return memcpy(ap, "APP", 3), memcpy(ver, "01", 2), int(group == 7);
  };
  hooks_.set(types_hooks.tokens, th);
  hooks_.set(tmnet_srv_hooks.get_itm,
             [](int, int, tmnet_itm* o) { return *o = tmnet_itm{1, 1, 1, 3, "abc", 3, 1, {}, 7}, 1; });
  for (const std::string& want : {std::string(), std::string(16, ' ') + "APP01" + std::string("\0\0\7", 3)}) {
    mem = net_memory{};
    mem.in = answer.data(), mem.in_len = answer.size();
    com_feature_mask = want.empty() ? 0x80 : 0x1080;
    tmnet_srv_show(&sd);
    const std::string out(mem.out.begin(), mem.out.end());
    const std::string items = out.substr(out.find(std::string("\0\0\0\0H\0\0\0", 8)) + 8);
    EXPECT_EQ(items[9], want.empty() ? 1 : 3);  // an item cell; a token block follows
    EXPECT_EQ(items.substr(12, want.size() + 12), want + std::string(12, '\0')) << "then the end record";
  }
  com_feature_mask = 0;
  EXPECT_TRUE(exits().empty());
}

}  // namespace
