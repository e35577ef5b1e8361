// The remote data back-end against real data servers started by the test
// listener: every answer checked against a local native file, a killed
// server, a shared connection, and the data-server texts.
#include <signal.h>

#include <algorithm>

#include <string>
#include <tuple>

#include "net_data_util.h"

namespace kivo::test {
namespace {

// Runs `op` on the local and the remote side alike: both agree on the
// outcome, the status of a failure and the record of a success.
template <class Op>
::testing::AssertionResult agree(rt_side& l, rt_side& r, Op op, const std::string& what) {
  int a = op(l), b = op(r);
  if (a != b || (!a && l.arb->arb_stat != r.arb->arb_stat))
    return ::testing::AssertionFailure() << what << ": " << a << "/" << b << " status " << l.arb->arb_stat << " / "
                                         << r.arb->arb_stat;
  if (a && (l.arb->arb_var_len != r.arb->arb_var_len || memcmp(l.rec, r.rec, l.arb->arb_var_len) != 0))
    return ::testing::AssertionFailure() << what << ": the records differ";
  return ::testing::AssertionSuccess();
}

int get_by_id(rt_side& s) {
  ARB* a = s.arb;
  a->arb_rec = s.rec, a->arb_len = kRtLen, a->arb_rec_id_area = s.id, a->arb_rec_id_len = 4, a->arb_mod = ARB_REC_ID;
  int ok = fm_read(a);
  a->arb_mod = 0;
  return ok;
}

// A start on `keyno`: from the first record, or from a partial key.
int start(rt_side& s, uint8_t keyno, const char* partial) {
  ARB* a = s.arb;
  a->arb_keyno = keyno, a->arb_rec = s.rec, a->arb_len = kRtLen;
  a->arb_mod = partial ? ARB_PARTIAL : ARB_FIRST;
  if (partial) memcpy(s.key, partial, strlen(partial));
  a->arb_key = partial ? s.key : nullptr;
  a->arb_key_len = partial ? static_cast<uint16_t>(strlen(partial)) : 0;
  int ok = fm_start(a);
  a->arb_mod = 0, a->arb_key = nullptr;
  return ok;
}

int next(rt_side& s) {
  s.arb->arb_rec = s.rec, s.arb->arb_len = kRtLen;
  return fm_rdnxt(s.arb);
}

int run(const std::string& args) {
  int st = system((std::string(KIVO_BINARY) + " " + args + " >/dev/null 2>&1").c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

class NetDataRoundTrip : public NetData {};

TEST_F(NetDataRoundTrip, EveryAnswerEqualsTheLocalFileAndTheServersFileExportsTheSame) {
  start_server();
  rt_file lf("LOCAL"), rf("ROUND");
  rt_side l{local(&lf.fdb, true)}, r{remote(&rf.fdb, true)};
  ASSERT_TRUE(l.arb && r.arb) << lf.fdb.fdb_stat << " / " << rf.fdb.fdb_stat;
  const int n = 10000;
  auto both = [&](auto op, const std::string& what) { return agree(l, r, op, what); };
  auto scan = [&](uint8_t key, const char* partial) {
    ASSERT_TRUE(both([&](rt_side& s) { return start(s, key, partial); }, "start"));
    for (int k = 0; k <= n; ++k) ASSERT_TRUE(both(next, "read next " + std::to_string(k)));
  };
  for (int i = 0; i < n; ++i) ASSERT_TRUE(both([&](rt_side& s) { return rt_put(s, i, i % 97); }, "write"));
  ASSERT_TRUE(both([&](rt_side& s) { return rt_put(s, 5, 1); }, "duplicate"));
  for (int i = 0; i < n; ++i) {
    ASSERT_TRUE(both([&](rt_side& s) { return rt_get(s, i); }, "read " + std::to_string(i)));
    ASSERT_TRUE(both(get_by_id, "read by id"));
  }
  for (auto [key, partial] : {std::pair<uint8_t, const char*>{0, nullptr}, {1, nullptr}, {0, "R00012"}, {1, "G0004"}})
    ASSERT_NO_FATAL_FAILURE(scan(key, partial));
  auto rewrite = [&](rt_side& s, int i) {
    if (!rt_get(s, i, ARB_HOLD)) return 0;
    s.arb->arb_var_len = rt_fill(s.rec, i, i % 5);
    return fm_rewrite(s.arb);
  };
  for (int i = 0; i < n; i += 3) ASSERT_TRUE(both([&](rt_side& s) { return rewrite(s, i); }, "rewrite"));
  for (int i = 1; i < n; i += 4)
    ASSERT_TRUE(both([&](rt_side& s) { return rt_get(s, i, ARB_HOLD) && fm_del(s.arb); }, "delete"));
  ASSERT_TRUE(both([&](rt_side& s) { return rt_get(s, 1); }, "read of a deleted record"));
  ASSERT_NO_FATAL_FAILURE(scan(1, nullptr));  // after the updates
  ASSERT_EQ(FM_CLOSE(l.arb, 0), 1);
  ASSERT_EQ(FM_CLOSE(r.arb, 0), 1);
  EXPECT_EQ(run("-v=" + server_file("ROUND.dat")), 1);
  ASSERT_EQ(run("-e=" + server_file("ROUND.dat")), 0);
  ASSERT_EQ(run("-e=" + path("LOCAL.dat")), 0);
  EXPECT_EQ(slurp(server_file("ROUND")), slurp(path("LOCAL")));
  EXPECT_GT(slurp(path("LOCAL")).size(), 0u);
}

class NetDataReconnect : public NetData {};

// A killed server: the next operation of any kind fails with FM_IO_ERR, and
// the one after it reaches a new server.
TEST_F(NetDataReconnect, KilledServerFailsTheNextOperationAndTheOneAfterConnectsAgain) {
  start_server();
  rt_file f("KILLED");
  rt_side r{remote(&f.fdb, true)};
  ASSERT_NE(r.arb, nullptr);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(rt_put(r, i, 0), 1);
  const std::pair<const char*, int (*)(rt_side&)> ops[] = {
      {"write", [](rt_side& s) { return rt_put(s, 20, 1); }},
      {"read", [](rt_side& s) { return rt_get(s, 3); }},
      {"start", [](rt_side& s) { return start(s, 0, nullptr); }},
      {"read next", next},
  };
  for (auto [name, op] : ops) {
    const std::vector<pid_t> live = servers();
    ASSERT_EQ(live.size(), 1u) << name;
    kill(live[0], SIGKILL);
    // The listener reaps it as it ends.
    ASSERT_TRUE(servers_become([&](const std::vector<pid_t>& now) { return now.empty(); })) << name;
    EXPECT_EQ(op(r), 0) << name;
    EXPECT_EQ(r.arb->arb_stat, uint32_t{FM_IO_ERR}) << name;
    ASSERT_EQ(rt_get(r, 7), 1) << name << ": " << r.arb->arb_stat;
    EXPECT_EQ(memcmp(r.rec, "R0000007", 8), 0);
  }
  FM_CLOSE(r.arb, 0);
}

// Rows by option word: 1 puts a length-check message before every message.
TEST_F(NetDataReconnect, FilesOnOneHostAndPortShareOneConnection) {
  start_server();
  for (auto [opts, first, second] : {std::tuple{"0", "FIRST0", "SECOND0"}, std::tuple{"1", "FIRST1", "SECOND1"}}) {
    setenv("KIVO_NET_OPTIONS", opts, 1);
    rt_file a(first), b(second), a2(first);
    rt_side ra{remote(&a.fdb, true)}, rb{remote(&b.fdb, true)}, ra2{remote(&a2.fdb, false)};
    ASSERT_TRUE(ra.arb && rb.arb && ra2.arb) << opts << " " << a.fdb.fdb_stat;
    EXPECT_EQ(netio_options & kNetOptLenCheck, uint32_t(atoi(opts)));
    ASSERT_EQ(rt_put(ra, 1, 1), 1);
    ASSERT_EQ(rt_put(rb, 2, 2), 1);
    EXPECT_EQ(rt_get(ra2, 1), 1);
    EXPECT_EQ(rt_get(rb, 1), 0);
    EXPECT_EQ(servers().size(), 1u);
    for (ARB* h : {ra2.arb, rb.arb, ra.arb}) EXPECT_EQ(FM_CLOSE(h, 0), 1);
    net_fm_reset();  // the server ends with its connection, and the listener reaps it
    ASSERT_TRUE(servers_become([](const std::vector<pid_t>& now) { return now.empty(); })) << opts;
  }
  unsetenv("KIVO_NET_OPTIONS");
}

TEST(NetDataIds, DataServerTextsGiveUserPasswordHostAndPort) {
  const std::pair<const char*, net_addr> rows[] = {
      // a port of 0: refused
      {"alice:pw@dbhost:7000", {"alice", "pw", "dbhost", 7000}},
      {"dbhost:7000", {"", "", "dbhost", 7000}},
      {"alice@dbhost:7000", {"alice", "", "dbhost", 7000}},
      {"dbhost:7000   trailing", {"", "", "dbhost", 7000}},
      {"dbhost:65535", {"", "", "dbhost", 65535}},
      {"dbhost", {}},
      {"alice@dbhost", {}},
      {"dbhost:0", {}},
      {"dbhost:65536", {}},
      {"dbhost:70x", {}},
      {"dbhost:", {}},
      {":7000", {}},
  };
  for (const auto& [text, want] : rows) {
    net_addr got;
    std::string why;
    ASSERT_EQ(net_parse_server(text, strlen(text), &got, &why), want.port != 0) << text;
    if (!want.port) EXPECT_FALSE(why.empty()) << text;
    else
      EXPECT_EQ(std::tie(got.user, got.password, got.host, got.port),
                std::tie(want.user, want.password, want.host, want.port))
          << text;
  }
}

}  // namespace
}  // namespace kivo::test
