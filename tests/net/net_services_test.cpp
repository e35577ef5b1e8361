// The client services and the remote key definition's server over loopback
// TCP: the test plays the client, loading its answers before the server's
// call and reading what the server sent after it.
#include <filesystem>
#include <fstream>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "net/tmnet_cli.h"
#include "net/tmnet_keys.h"
#include "net/tmnet_svc.h"
#include "net_test_util.h"

using namespace kivo;
using namespace kivo::test;
namespace fs = std::filesystem;

namespace {

bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }
bytes join(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class NetServices : public NetFixture {
 protected:
  void SetUp() override {
    NetFixture::SetUp();
    acceptor a;
    sockaddr_in in{AF_INET, htons(uint16_t(std::stoi(a.port))), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(connect(far_ = socket(AF_INET, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&in), sizeof in), 0);
    com.rmt_sock = uint16_t(accept(a.fd, nullptr, nullptr));
    com_feature_mask = TMNET_FEAT_SEND_FILE | TMNET_FEAT_RECV_FILE;
    fs::create_directories(dir_);
  }
  void TearDown() override {
    close(com.rmt_sock), close(far_), fs::remove_all(dir_), NetFixture::TearDown();
    com.rmt_sock = 0, com_feature_mask = 0;
  }
  void put(const bytes& b) { ASSERT_EQ(write(far_, b.data(), b.size()), ssize_t(b.size())); }
  bytes sent() {  // what the server wrote, once it is quiet
    bytes got;
    uint8_t b;
    for (pollfd p{far_, POLLIN, 0}; poll(&p, 1, 100) == 1 && read(far_, &b, 1) == 1;) got.push_back(b);
    return got;
  }
  std::string file(const char* name, const std::string& content) {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return dir_ / name;
  }
  size_t files() { return size_t(std::distance(fs::directory_iterator(dir_), {})); }
  int far_ = -1;
  fs::path dir_ = fs::temp_directory_path() / ("net_svc_" + std::to_string(getpid()));
};
class NetObjects : public NetServices {};
class NetFileTransfer : public NetServices {};
class NetUrl : public NetServices {};

const tmnet_obj_arg kArgs[] = {{kElemAlpContig, 3, "abc"}, {2, 4, "\1\2\3\4"}};

TEST_F(NetObjects, CreateObjectSendsGoldenBytesAndTakesTheReply) {
  put(join({be32(7), be32(0x01020304)}));
  const tmnet_obj_req req{"Excel", 5, 2, kArgs, nullptr, 0, 0};
  uint32_t handle = 0;
  EXPECT_TRUE(tmnet_srv_create_object(&req, &handle) == 0x01020304 && handle == 7);
  EXPECT_EQ(sent(),
            join({header(64, 4), {0, 5, 2, 0}, text("Excel"), be32(11), be32(3), text("abc"), be32(0), be32(0)}));
}

TEST_F(NetObjects, MethodsSendGoldenBytesAndKeepTheStatusAsReceived) {
  put(join({{1, 2, 3, 4}, be32(11), be32(2), text("ok")}));
  uint8_t area[4] = {};
  const tmnet_obj_req req{"Run", 3, 1, kArgs + 1, area, sizeof area, 9};
  EXPECT_EQ(tmnet_srv_invoke_method(&req), ld_le32(reinterpret_cast<const uint8_t*>("\1\2\3\4"), 0));
  EXPECT_EQ(memcmp(area, "ok\0\0", 4), 0);
  EXPECT_EQ(sent(), join({header(65, 4), {0, 3, 1, 9}, text("Run"), be32(0), be32(0)}));
  EXPECT_TRUE(tmnet_srv_destroy_object(9) && sent() == join({header(66, 4), {0, 0, 0, 9}}));
}

TEST_F(NetObjects, OnlyVoidAndABlankSkipsTheAnswer) {
  for (const char* m : {"void x", "voidx", "void", "Void x"}) {
    put(join({be32(5), be32(0), be32(0)}));  // status 5, an empty result
    const tmnet_obj_req req{m, strlen(m), 0, nullptr, nullptr, 0, 1};
    const bool skips = m[4] == ' ' && m[0] == 'v';
    EXPECT_EQ(tmnet_srv_invoke_method(&req), skips ? 0u : htonl(5)) << m;
    uint8_t left[12];
    EXPECT_EQ(recv(com.rmt_sock, left, sizeof left, MSG_DONTWAIT), skips ? 12 : -1) << m;
    sent();
  }
}

TEST_F(NetObjects, ALongResultIsCutToTheAreaAndTheNextExchangeStaysInStep) {
  put(join({be32(0), be32(11), be32(10), text("0123456789"), be32(3), be32(42)}));  // and an event
  uint8_t area[5] = {};
  const tmnet_obj_req req{"Get", 3, 0, nullptr, area, 4, 1};
  tmnet_srv_invoke_method(&req);
  EXPECT_EQ(memcmp(area, "0123\0", 5), 0);
  uint32_t handle = 0;
  EXPECT_TRUE(tmnet_srv_wait_for_event(&handle) == 42 && handle == 3);
}

// The client's SEND_FILE answers: acknowledgement, name, final answer.
bytes send_answers(const std::string& name, uint8_t final_ack = 1) {
  return join({{0, 1}, be32(uint32_t(name.size())), text(name), {0, final_ack}});
}

TEST_F(NetFileTransfer, SendFileGoesInChunksOf2048EndedByZero) {
  const std::pair<size_t, std::vector<uint32_t>> cases[] = {{0, {0}}, {2048, {2048, 0}}, {5000, {2048, 2048, 904, 0}}};
  for (const auto& [size, chunks] : cases) {
    const std::string src = file("src", std::string(size, 'x'));
    put(send_answers("C:\\got"));
    char name[8] = "dst";
    EXPECT_EQ(tmnet_srv_send_file(src.c_str(), name, sizeof name), 1);
    bytes want = join({header(71, 0), be32(uint32_t(size)), be32(3), text("dst")});
    for (uint32_t n : chunks) want = join({want, be32(n), bytes(n, 'x')});
    EXPECT_EQ(sent(), want) << size;
    EXPECT_EQ(std::string(name, 8), "C:\\got  ") << size;
  }
}

TEST_F(NetFileTransfer, ReturnedNamesAreCutOrPadded) {
  const std::string src = file("src", "abc");
  const std::tuple<bytes, int, const char*> cases[] = {{send_answers("LONGER NAME"), 1, "LONGE"},
                                                       {send_answers("ab"), 1, "ab   "},
                                                       {send_answers("ab", 0), 0, "ab   "},
                                                       {{0, 0}, 0, "dst  "}};
  for (const auto& [answers, result, after] : cases) {
    put(answers);
    char name[5] = {'d', 's', 't', ' ', ' '};
    EXPECT_EQ(tmnet_srv_send_file(src.c_str(), name, sizeof name), result);
    EXPECT_EQ(std::string(name, 5), after);
    sent();
  }
}

TEST_F(NetFileTransfer, ANameOver2048BytesBreaksTheExchange) {
  put(join({{0, 1}, be32(2049)}));
  char name[5] = "dst";
  EXPECT_EQ(tmnet_srv_send_file(file("src", "abc").c_str(), name, sizeof name), 0);
  EXPECT_EQ(exits(), std::vector<int>{kTmnetLostExit});
}

TEST_F(NetFileTransfer, ReceivedFileReplacesTheTargetOnlyWhenComplete) {
  const bytes good = join({{0, 1}, be32(3), be32(3), text("new"), be32(0), be32(1), text("n")});
  const std::vector<int> ok, lost{kTmnetLostExit};
  const std::tuple<bytes, int, const char*, std::vector<int>> cases[] = {
      {join({good, {0, 1}}), 1, "new", ok},
      {join({good, {0, 0}}), 0, "old", ok},
      {{0, 0}, 0, "old", ok},
      {join({{0, 1}, be32(4096), be32(4096)}), 0, "old", lost},
      {join({{0, 1}, be32(3), be32(3), text("ne")}), 0, "old", lost}};  // the client drops
  for (const auto& [answers, result, after, ends] : cases) {
    exits().clear();
    const std::string target = file("target", "old");
    put(answers);
    if (&answers == &std::get<0>(cases[4])) shutdown(far_, SHUT_WR);
    char name[6] = "a.txt";
    EXPECT_EQ(tmnet_srv_recv_file(name, target.c_str(), 5), result);
    EXPECT_EQ(sent(), join({header(73, 0), be32(5), text("a.txt")}));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(std::ifstream(target).rdbuf()), {}), after);
    EXPECT_EQ(files(), 1u) << "no temporary file left";
    EXPECT_EQ(exits(), ends);
  }
}

TEST_F(NetFileTransfer, AFileOver2GiBIsRefusedBeforeAnyByte) {
  const std::string src = file("src", "");
  ASSERT_EQ(truncate(src.c_str(), off_t(1) << 31), 0);  // sparse
  char name[4] = "abc";
  EXPECT_EQ(tmnet_srv_send_file(src.c_str(), name, sizeof name), 0);
  EXPECT_TRUE(sent().empty());
}

TEST_F(NetFileTransfer, WithoutTheFeatureBitNoByteGoesOnTheWire) {
  const std::string src = file("src", "abc");
  com_feature_mask = 0;
  char name[4] = "abc";
  EXPECT_EQ(tmnet_srv_send_file(src.c_str(), name, sizeof name) + tmnet_srv_recv_file(name, "t", sizeof name), 0);
  EXPECT_TRUE(sent().empty() && files() == 1);
}

TEST_F(NetUrl, LoadUrlGoldenBytesAndTheCharacterClientPassesOver) {
  EXPECT_EQ(tmnet_srv_load_url("http://x", 8), 1);
  const bytes wire = sent();
  EXPECT_EQ(wire, join({header(26, 0), {0, 8}, text("http://x")}));
  put(join({wire, header(25, 0)}));  // the client goes on to a PING
  tmnet_role = TMNET_ROLE_CLIENT;
  EXPECT_EQ(tmnet_cli_command() + tmnet_cli_command(), 2);
  EXPECT_EQ(sent(), bytes({0, 0}));
}

// The server's KEYMAP played by a recorder.
struct {
  int closed = 0;
  uint32_t store_result = 1;
  std::vector<uint16_t> codes, keys;
} g_km;

class NetRemoteKeys : public NetServices {
 protected:
  void SetUp() override {
    NetServices::SetUp();
    g_km = {};
    memcpy(com.keymap_id, "xterm     abc", 13);
    hooks_.set(tmnet_keymap_file,
               tmnet_keymap_ops{[] { return reinterpret_cast<ARB*>(&g_km); },
                                [](ARB*, const char*, const char*, const uint16_t* c, const uint16_t* k, size_t n) {
                                  g_km.codes.assign(c, c + n), g_km.keys.assign(k, k + n * kKeystrokeCells);
                                  return g_km.store_result;
                                },
                                [](ARB*) { ++g_km.closed; }});
  }
  // The client's half, sent ahead of the server's run.
  void client_sends(const std::vector<uint16_t>& codes, const std::vector<uint16_t>& keys) {
    const uint16_t near = com.rmt_sock;
    com.rmt_sock = uint16_t(far_);
    tmnet_cli_keys_send(codes.data(), keys.data(), codes.size());
    com.rmt_sock = near;
  }
};

TEST_F(NetRemoteKeys, TheClientsTableIsStoredWhole) {
  for (size_t count : {size_t(0), size_t(20), kMaxRemoteKeys}) {
    exits().clear();
    std::vector<uint16_t> codes(count), keys(count * kKeystrokeCells, 65535);
    for (size_t i = 0; i < count; ++i) codes[i] = uint16_t(257 + i), keys[i * kKeystrokeCells] = uint16_t(i);
    client_sends(codes, keys);
    EXPECT_EQ(tmnet_srv_kivokeys(), TMNET_KEYS_STORED);
    EXPECT_EQ(sent(), join({header(24, 0), {2, 1}, text("xterm     ABC")}));
    EXPECT_TRUE(g_km.codes == codes && g_km.keys == keys) << count;
    EXPECT_EQ(exits(), std::vector<int>{TMNET_KEYS_STORED});
  }
}

TEST_F(NetRemoteKeys, AnAbortADropOrABadTableLeavesTheKeymaps) {
  const bytes two = {2, 1, 0, 2, 1, 1, 1, 2};  // two keys: codes 257, 258
  const std::vector<int> failed{TMNET_KEYS_FAILED};
  const std::pair<bytes, std::vector<int>> cases[] = {
      {{2, 0}, {TMNET_KEYS_ABORTED}},
      {{2, 1, 0x03, 0xE8}, failed},                               // 1000 keys
      {join({two, be32(2 * 51 + 2)}), failed},                    // over the worst case
      {join({two, be32(4), {0, 127 + 49, 0xFF, 0xFF}}), failed},  // 49 of 50 cells
      {join({two, be32(4), {0, 127 + 51, 0xFF, 0xFF}}), failed},  // 51 cells
      {two, {kTmnetLostExit, TMNET_KEYS_FAILED}}};                // the client drops
  for (const auto& [client, ends] : cases) {
    g_km = {}, exits().clear();
    put(client);
    if (&client == &cases[5].first) shutdown(far_, SHUT_WR);
    EXPECT_EQ(tmnet_srv_kivokeys(), ends.back());
    EXPECT_EQ(exits(), ends);
    EXPECT_TRUE(g_km.codes.empty() && g_km.closed == 1) << "nothing stored, the file closed";
    sent();
  }
}

TEST_F(NetRemoteKeys, AFailedWriteOrNoFileEndsWith2) {
  g_km.store_result = 200450;
  client_sends({257}, std::vector<uint16_t>(kKeystrokeCells, 65535));
  EXPECT_EQ(tmnet_srv_kivokeys(), TMNET_KEYS_FAILED);
  EXPECT_EQ(g_km.codes.size(), 1u);
  sent();
  hooks_.set(tmnet_keymap_file.open, [] { return static_cast<ARB*>(nullptr); });
  EXPECT_EQ(tmnet_srv_kivokeys(), TMNET_KEYS_FAILED);
  EXPECT_EQ(sent(), join({header(24, 0), {2, 0}}));
}

}  // namespace
