// A remote-terminal client played byte by byte on the test's end of a
// loopback connection, and the server started on the other end: what the
// server sent, the screen its updates drew, and the answers it was given.
#pragma once

#include <poll.h>

#include <array>
#include <cstring>
#include <functional>

#include "foundation/bytes.h"
#include "net/tmnet_compress.h"
#include "net_test_util.h"

namespace kivo::test {

constexpr uint8_t kEnterStatus[8] = {0, 0, 1, 0x30, 0, 0, 0, 1};  // key 304, status 1

struct peer_opts {
  uint8_t version = 4;
  uint32_t mask = 0x6;
  std::array<uint32_t, 6> pairs{24, 80, 24, 80, 24, 80};
  int claim = -1;          // compressed length claimed in the show answer
  uint32_t frames = 0;     // nonzero: the frame count handed back
  uint32_t get_opt = 0;    // nonzero: a GET_OPT "ENTER" of that name length before answering
  bool mute_ping = false;  // pings go unanswered
  uint16_t key = 304;      // the key every show answers with (ENTER)
  // When set, runs before each show's answer (nested requests may go out
  // first) and sets the key, status and cursor in the block it returns.
  std::function<void(struct peer&, bytes& block)> on_show;
};

struct msg {
  uint8_t code;
  bytes head, data;  // the payload inside the header, the data after it
};

// A client played byte by byte on the test's end of the connection.
struct peer {
  int fd = -1;
  peer_opts o;
  bytes start;  // the first bytes the server sent
  std::vector<msg> got;
  bool eof = false;    // the server closed the connection (rather than went quiet)
  std::string screen;  // the characters the updates drew, row after row
  bool exact = true;   // every UPDATE SCREEN held exactly the screen's cells
  bytes take(size_t n) {
    bytes b(n);
    size_t have = 0;
    pollfd p{fd, POLLIN, 0};
    while (have < n && poll(&p, 1, 20000) == 1) {
      const ssize_t r = read(fd, b.data() + have, n - have);
      eof = r == 0;
      if (r <= 0) break;
      have += size_t(r);
    }
    b.resize(have);
    return b;
  }
  void put(const bytes& b) { (void)!write(fd, b.data(), b.size()); }
  bytes expanded(const bytes& data, size_t width) {
    bytes out(size_t(o.pairs[4]) * o.pairs[5] * width);
    long n = width == 1 ? tmnet_expand_record(data.data(), out.data(), data.size(), out.size())
                        : tmnet_expand_u16_record(data.data(), reinterpret_cast<uint16_t*>(out.data()), data.size(),
                                                  out.size() / 2);
    out.resize(n < 0 ? 0 : size_t(n) * width);
    return out;
  }
  void answer_show(const bytes& block) {
    bytes b = block;
    memcpy(b.data() + 28, kEnterStatus, 8);
    st_be32(b.data(), 28, o.key);
    if (o.on_show) o.on_show(*this, b);
    if (o.get_opt) {
      bytes q(132);
      st_be32(q.data(), 4, o.get_opt);
      memcpy(q.data() + 8, "ENTER", 5);
      put(cat(header(23, 132), q));
      got.push_back({34, {}, take(132)});
    }
    bytes zeros(size_t(o.pairs[4]) * o.pairs[5]);
    zeros.resize(tmnet_compressed_cap(zeros.size()));
    zeros.resize(tmnet_compress_record(zeros.data(), size_t(o.pairs[4]) * o.pairs[5]));
    const size_t n = o.claim >= 0 ? size_t(o.claim) : zeros.size();
    put(cat(header(12, 2), {uint8_t(n >> 8), uint8_t(n)}));
    if (o.claim >= 0) return;
    if (o.frames) st_be32(b.data(), 36, o.frames);
    put(cat(cat(zeros, b), {1}));
  }
  // An UPDATE SCREEN's cells into the screen; 0 leaves a character as it was.
  void draw(const bytes& data) {
    const bytes out = expanded(data, 1);
    exact = exact && out.size() == size_t(o.pairs[4]) * o.pairs[5];
    screen.resize(out.size(), ' ');
    for (size_t i = 0; i < out.size(); ++i) screen[i] = out[i] ? char(out[i]) : screen[i];
  }
  // Serves the server's commands until FINISH or the end of the connection.
  void run() {
    start = take(11);
    put(cat(header(3, 2), {0, o.version}));
    for (bytes h; (h = take(8)).size() == 8;) {
      msg m{h[4], take(ld_be32(h.data(), 0)), {}};
      const auto u16 = [&] { return size_t(ld_be16(m.head.data(), 0)); };
      switch (m.code) {
        case 68: put({uint8_t(o.mask >> 24), uint8_t(o.mask >> 16), uint8_t(o.mask >> 8), uint8_t(o.mask)}); break;
        case 69: m.data = take(u16()); break;
        case 17:
          for (uint32_t v : o.pairs) put({uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
          break;
        case 19: {
          m.data = take(12);
          if (ld_be16(m.data.data(), 10)) m.data = cat(m.data, take(ld_be16(take(2).data(), 0)));
          put({uint8_t(got.size()), 0, 0, 0});
          break;
        }
        case 21: draw(m.data = take(u16())); break;
        case 22:
        case 27: m.data = take(u16()); break;
        case 12: {
          m.data = take(size_t(ld_be32(m.head.data(), 36)) * 20);
          got.push_back(m);
          answer_show(m.head);
          continue;
        }
        case 25:
          if (!o.mute_ping) put({0, 0});
          break;
      }
      got.push_back(m);
      if (m.code == 14) return;
    }
  }
  std::vector<uint8_t> codes() const {
    std::vector<uint8_t> c;
    for (const msg& m : got) c.push_back(m.code);
    return c;
  }
};

// The engine serving a peer over loopback (`e` starts it on the socket it
// is given); the engine's exit status.
template <class engine>
int serve(engine& e, peer& p, const char* ping = nullptr) {
  acceptor a;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(atoi(a.port.c_str())));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  p.fd = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(connect(p.fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  const int s = accept(a.fd, nullptr, nullptr);
  e.start(s, ping);
  close(s);
  p.run();
  close(p.fd);
  return e.status();
}

}  // namespace kivo::test
