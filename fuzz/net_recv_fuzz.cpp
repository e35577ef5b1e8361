// Message receives over a memory channel, as a peer's bytes reach them.
// Byte 0 picks the role (bits 0-1: terminal server, client, data server,
// data link), forced headers (bit 2) and the expected message (bits 3-5);
// the rest is what the peer sent, received message after message until a
// receive fails. A terminal server's nested requests go to a handler that
// reads the request's own bytes. Properties: the layer never reads past
// the input nor writes past the caller's buffer (allocated to its size);
// success leaves the status OK and a headed message of the expected code
// and length; a failure is a lost connection or a protocol error, which
// ends the process (status 255) in every role but the data link, whose
// connection is dropped instead.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_util.h"
#include "net/tmnet.h"
#include "net/tmnet_channel.h"

using namespace kivo;

namespace {

struct expected {
  uint16_t type;
  size_t length;
};

const expected kExpected[8] = {
    {0x8004, 0},           // any command
    {0x800C, 2},           // SHOW answer
    {0x8013, 0},           // KEYMAP: the header's length
    {0x0015, 2},           // bare data, headed when forced
    {TMNET_LOGIN, 331},    // the LOGIN block
    {TMNET_GET_OPT, 132},  // a client reading an option answer
    {TMNET_REPLY, 2},      // REPLY
    {TMNET_RC_PAIR, 8},    // a (row, column) pair
};

const uint8_t kRoles[4] = {TMNET_ROLE_SERVER, TMNET_ROLE_CLIENT, TMNET_ROLE_DATA_SERVER, TMNET_ROLE_DATA_LINK};

int g_exits = 0;
void count_exit(int status) {
  FUZZ_CHECK(status == kTmnetLostExit, "ended with %d", status);
  ++g_exits;
}

int serve_request(int sock, uint8_t, uint32_t length) {
  uint8_t block[512];
  return tmnet_recv_msg(sock, 0, length < sizeof block ? length : sizeof block, block);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static bool init = [] {
    set_tmnet_exit(count_exit);
    set_tmnet_request_handler(serve_request);
    return true;
  }();
  (void)init;
  tmnet_role = kRoles[data[0] & 3];
  tmnet_force_headers = (data[0] & 4) != 0;
  const expected want = kExpected[(data[0] >> 3) & 7];
  net_memory mem;
  mem.in = data + 1;
  mem.in_len = size - 1;
  net_use_memory(&mem);

  for (int round = 0; round < 64; ++round) {
    g_exits = 0;
    const size_t cap = want.length < 2 ? 2 : want.length;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[cap]);
    const int rc = tmnet_recv_msg(3, want.type, want.length, buf.get());
    FUZZ_CHECK(mem.in_pos <= mem.in_len, "read past the input");
    if (rc == 1) {
      FUZZ_CHECK(tmnet_last_status() == TMNET_OK, "success with status %d", tmnet_last_status());
      FUZZ_CHECK(g_exits == 0, "success after ending the process");
      const bool headed = (want.type & 0x8000) || tmnet_force_headers;
      if (headed && want.length)
        FUZZ_CHECK(tmnet_last_code() == (want.type & 0xFF) && tmnet_last_length() == want.length,
                   "accepted code %d length %u", tmnet_last_code(), tmnet_last_length());
      continue;
    }
    const tmnet_status st = tmnet_last_status();
    FUZZ_CHECK(st == TMNET_LOST || st == TMNET_PROTOCOL, "failed with status %d", st);
    if (tmnet_role == TMNET_ROLE_DATA_LINK) {
      FUZZ_CHECK(g_exits == 0 && mem.dropped, "the data link was ended or not dropped");
    } else {
      FUZZ_CHECK(g_exits >= 1, "a broken connection did not end the process");
    }
    break;
  }
  net_use_memory(nullptr);
  return 0;
}
