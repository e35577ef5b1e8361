// The data server against a peer written from the wire format alone, in
// either byte order: conversion of blocks and binary fields through the
// field map, and hostile requests refused without harm. The server runs in
// a forked engine on one end of a socket pair.
#include <algorithm>
#include <tuple>

#include "fm/struct_file.h"
#include "types/element.h"

#include "net_data_util.h"

namespace kivo::test {
namespace {

bytes head(bytes b, size_t n) {
  b.resize(n);
  return b;
}

// The structure file of `f`: a text field, two binary fields, a group
// header that holds no storage and a binary field of nine occurrences, the
// last ones leaving the record.
void make_struct(const rt_file& f) {
  FDB s;
  INIT_FDB(&s, FS_DISK, kStructFileRecLen, 0, nullptr, 0);
  s.path = f.fdb.path;
  s.path.fdb_class = PATH_STRUCT;
  ASSERT_EQ(FM_CREATE(&s, com.sys_scope, 0, kAnyFile | LFB_NO_STRUCT_FILE | LFB_OPEN_NEW, 0x0f, 0x0f), 1) << s.fdb_stat;
  const uint16_t fields[][5] = {
      {0, 0, 8, 1, 1}, {0, 16, 4, 5, 1}, {0, 20, 2, 5, 1}, {2, 22, 2, 5, 1}, {0, 50, 4, 5, 9}};
  uint8_t rec[kStructFileRecLen] = {};
  s.fdb_arb->arb_rec = rec;
  st_le32(rec, 0, 1), st_le32(rec, 4, 5);
  for (int i = 0; i < 3; ++i, memset(rec, 0, sizeof rec)) ASSERT_EQ(fm_write(s.fdb_arb), 1);  // counts, FILE, INITIAL
  for (auto [kind, off, size, type, occurs] : fields) {
    rec[ELEM_KIND] = uint8_t(kind), rec[ELEM_TYPE] = uint8_t(type);
    st_le16(rec, ELEM_OFFSET, off), st_le16(rec, ELEM_SIZE, size), st_le16(rec, ELEM_OCCURS, occurs);
    ASSERT_EQ(fm_write(s.fdb_arb), 1);
  }
  FM_CLOSE(s.fdb_arb, 0);
}

struct peer {
  int fd;
  bool rev;
  // A value of n bytes in the peer's order.
  bytes num(uint32_t v, size_t n) const {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(v >> (8 * i));
    if (rev) std::reverse(b.begin(), b.end());
    return b;
  }
  uint32_t val(const bytes& b, size_t at, size_t n) const {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= uint32_t(b[at + (rev ? n - 1 - i : i)]) << (8 * i);
    return v;
  }
  void send(const bytes& b) const { ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size())); }
  bytes recv(size_t n) const {
    bytes b(n);
    size_t got = 0;
    pollfd p{fd, POLLIN, 0};
    for (ssize_t r = 1; got < n && r > 0 && poll(&p, 1, 30000) == 1; got += size_t(std::max<ssize_t>(r, 0)))
      r = read(fd, b.data() + got, n - got);
    b.resize(got);
    return b;
  }
  void request(uint8_t code, const bytes& data) const {
    send(header(code, 0));
    send(data);
  }
  bytes block(const bytes& handle, uint32_t keyno, uint32_t len, uint32_t off, uint16_t mod) const {
    bytes b = cat(cat(cat(cat(handle, num(keyno, 4)), num(len, 4)), num(off, 4)), num(kRtLen, 4));
    return cat(cat(b, num(mod, 2)), bytes{0, 0});
  }
  // The open request of `f`; `keys` and `segs` override the counts sent.
  bytes open_req(const rt_file& f, int keys = -1, int segs = -1) const {
    FDB d = f.fdb;
    d.fdb_opt = kAnyFile;
    bytes b(kFdbStoredSize);
    fdb_store(d, b.data());
    if (keys >= 0) b[FDB_NKEYS] = uint8_t(keys);
    for (size_t at : {size_t{FDB_CR_SIZE}, size_t{FDB_OPT}, size_t{FDB_DATE}, size_t{FDB_DATE + 4}})
      if (rev) std::reverse(b.begin() + at, b.begin() + at + 4);
    if (rev) std::swap(b[FDB_REC_LEN], b[FDB_REC_LEN + 1]);
    for (int k = 0; k < d.fdb_nkeys && keys < 0; ++k) {
      bytes kd(kKdbStoredSize);
      kdb_store(d.fdb_kdb[k], kd.data());
      if (segs >= 0) kd[KDB_NSEGS] = uint8_t(segs);
      b = cat(b, kd);
      if (segs >= 0) return b;
      const SDB& s = d.fdb_kdb[k].kdb_sdb[0];
      b = cat(cat(cat(cat(b, num(s.sdb_segno, 2)), num(s.sdb_offset, 2)), num(s.sdb_len, 2)),
              {s.sdb_type, s.sdb_order});
    }
    return b;
  }
  // A record of id i, its binary fields in the peer's order.
  bytes record(int i, int g) const {
    bytes r(kRtLen);
    rt_fill(r.data(), i, g);
    bytes w = num(ld_le32(r.data(), 16), 4), h = num(ld_le16(r.data(), 20), 2);
    std::copy(w.begin(), w.end(), r.begin() + 16);
    std::copy(h.begin(), h.end(), r.begin() + 20);
    return r;
  }
};

class NetDataByteOrder : public NetData {
 protected:
  // A data server on a socket pair; the peer's end.
  peer serve(bool rev) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    setenv("KIVO_NETIO_SERVER", log_.c_str(), 1);
    server_pid_ = fork_engine([&] {
      close(sv[0]);
      com.rmt_sock = sv[1];
      return netio_serve();
    });
    unsetenv("KIVO_NETIO_SERVER");
    close(sv[1]);
    peer p{sv[0], rev};
    EXPECT_EQ(p.recv(2), (bytes{0, 4}));
    p.send(cat(cat(cat(p.num(1, 2), p.num(0x00010203, 4)), bytes{0}), cat(p.num(NETLOG_SERVER, 4), p.num(0, 4))));
    return p;
  }
  int end(peer& p) {
    close(p.fd);
    return wait_exit(server_pid_);
  }
  bytes open(const peer& p, const rt_file& f) {
    p.request(NETIO_CREATE, p.open_req(f));
    EXPECT_EQ(p.val(p.recv(4), 0, 4), 1u);
    p.request(NETIO_OPEN, p.open_req(f));
    bytes h = p.recv(4);
    EXPECT_EQ(p.val(p.recv(2), 0, 2), 4u) << "record-id length";
    return h;
  }
  // A status block: the success flag and the status, in the peer's order.
  std::pair<int, uint32_t> status(const peer& p) {
    bytes st = p.recv(kNetstatSize);
    return st.size() == kNetstatSize ? std::pair{int(st[NETSTAT_OK]), p.val(st, NETSTAT_CODE, 4)} : std::pair{-1, 0u};
  }
  pid_t server_pid_ = -1;
  std::string log_ = dir_.file("netio.log");
};

TEST_F(NetDataByteOrder, BinaryFieldsOfAPeerReachTheFileInTheServersOrderAndComeBackInThePeers) {
  for (bool rev : {true, false}) {
    peer p = serve(rev);
    rt_file f(rev ? "REVERSED" : "SAME", 0);
    memcpy(f.fdb.path.fdb_db, "   ", 3);  // a structure file needs no DATABASE record then
    make_struct(f);
    bytes h = open(p, f);
    p.request(NETIO_WRITE, cat(p.block(h, 0, kRtLen, 0, 0), p.record(7, 3)));
    EXPECT_EQ(status(p), (std::pair{1, 0u}));
    EXPECT_EQ(p.recv(4).size(), 4u);
    p.request(NETIO_READ, cat(p.block(h, 0, kRtLen, 0, ARB_EQUAL), p.record(7, 0)));
    bytes st = p.recv(kNetstatSize);
    EXPECT_EQ(p.val(st, NETSTAT_LEN, 4), kRtLen);
    EXPECT_EQ(p.recv(kRtLen), p.record(7, 3)) << rev;
    EXPECT_EQ(p.recv(4).size(), 4u);
    p.request(NETIO_READ, cat(p.block(h, 0, kRtLen, 0, ARB_EQUAL), p.record(8, 0)));
    EXPECT_EQ(status(p), (std::pair{0, uint32_t{FM_NOT_FOUND}}));
    p.request(NETIO_START, cat(p.block(h, 0, 8, 0, ARB_PARTIAL), head(p.record(9, 0), 8)));
    EXPECT_EQ(p.recv(1), bytes{1});
    EXPECT_EQ(end(p), 1);
    EXPECT_EQ(slurp(log_).find("bld_fld_map() - 4 fields, 1 initial records") != std::string::npos, rev);
    rt_side l{local(&f.fdb, false)};
    ASSERT_NE(l.arb, nullptr);
    ASSERT_EQ(rt_get(l, 7), 1);
    EXPECT_EQ(ld_le32(l.rec, 16), 7u | 0x80808080u);
    EXPECT_EQ(ld_le16(l.rec, 20), 0x8083);
    EXPECT_EQ(l.rec[22], 'a');
    FM_CLOSE(l.arb, 0);
  }
}

TEST_F(NetDataByteOrder, HostileRequestsAreRefusedAndLeaveTheFileAsItWas) {
  peer p = serve(false);
  rt_file f("HOSTILE", 0);
  bytes h = open(p, f), unknown = p.num(0xDEAD0001, 4);
  auto refused_read = [&](const bytes& handle, uint32_t len, uint32_t off, uint32_t want) {
    p.request(NETIO_READ, cat(p.block(handle, 0, len, off, ARB_EQUAL), head(p.record(1, 0), len)));
    EXPECT_EQ(status(p), (std::pair{0, want})) << len << " " << off;
  };
  refused_read(unknown, kRtLen, 0, FM_NOT_OPEN);
  refused_read(h, 4, 0, FM_BAD_KEY_LEN);                 // the key leaves the data
  refused_read(h, kRtLen, kRtLen + 40, FM_BAD_KEY_LEN);  // an offset past the data
  for (uint32_t len : {kRtLen - 1u, kRtLen + 1u}) {
    p.request(NETIO_WRITE, cat(p.block(h, 0, len, 0, 0), head(p.record(1, 0), std::min<uint32_t>(len, kRtLen))));
    if (len > kRtLen) p.send(bytes{0});
    EXPECT_EQ(status(p).first, 0) << len;
  }
  refused_read(h, kRtLen, 0, FM_NOT_FOUND);  // nothing was written
  p.request(NETIO_CLOSE, p.block(h, 0, 0, 0, 0));
  EXPECT_EQ(status(p).first, 1);
  refused_read(h, kRtLen, 0, FM_NOT_OPEN);  // stale
  p.request(NETIO_DETACH, p.block(h, 0, 0, 0, 0));
  EXPECT_EQ(status(p), (std::pair{0, uint32_t{FM_NOT_OPEN}}));
  rt_file shorter("HOSTILE", 0);
  shorter.fdb.fdb_rec_len = kRtLen / 2;  // a write would be padded from past it
  const std::tuple<const rt_file*, int, int, uint32_t> opens[] = {
      {&f, 255, -1, FM_BAD_KEY_LEN}, {&f, -1, 200, FM_BAD_KEY_LEN}, {&shorter, -1, -1, FM_REC_LEN_DIFF}};
  for (auto [file, keys, segs, want] : opens) {
    p.request(NETIO_OPEN, p.open_req(*file, keys, segs));
    EXPECT_EQ(p.val(p.recv(4), 0, 4), 0u);
    EXPECT_EQ(p.val(p.recv(4), 0, 4), want);
  }
  EXPECT_EQ(end(p), 1);
}

}  // namespace
}  // namespace kivo::test
