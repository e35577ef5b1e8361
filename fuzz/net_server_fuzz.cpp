// The terminal server's show over a memory channel: the client's answer
// and any nested requests before it (GET_OPT, the design lists, ADD_ITEM,
// GET_TOKENS) come from the input, show after show, on a 24 x 80 screen.
// Byte 0 picks the client's version (bit 0: 2) and the frame count the
// server sends (bits 1-3). Properties: nothing is read past the input, a
// successful show leaves the cursor on the screen and the frame count and
// time-out as the server sent them, and a failure ends the process with
// status 255.
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "fuzz_util.h"
#include "net/tmnet.h"
#include "net/tmnet_channel.h"
#include "net/tmnet_srv.h"

using namespace kivo;

namespace {

int g_exits;
void on_exit(int status) {
  FUZZ_CHECK(status == kTmnetLostExit, "ended with %d", status);
  ++g_exits;
}

int put_char(int row, int col, uint8_t) {
  FUZZ_CHECK(row >= 1 && row <= 24 && col >= 1 && col <= 80, "typed at %d %d", row, col);
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static bool init = [] {
    set_tmnet_exit(on_exit);
    set_tmnet_request_handler(tmnet_srv_request);
    tmnet_srv_hooks.put_char = put_char;
    return true;
  }();
  (void)init;
  tmnet_role = TMNET_ROLE_SERVER;
  tmnet_remote_version = (data[0] & 1) ? 2 : 4;
  std::vector<uint8_t> in;
  for (uint32_t v : {24u, 80u, 24u, 80u, 24u, 80u})
    for (int s = 24; s >= 0; s -= 8) in.push_back(uint8_t(v >> s));
  in.insert(in.end(), data + 1, data + size);
  net_memory mem;
  mem.in = in.data();
  mem.in_len = in.size();
  net_use_memory(&mem);
  com.rmt_sock = 3;
  g_exits = 0;
  int rows[3], cols[3];
  const uint32_t frames[8 * 5] = {};
  if (tmnet_srv_trm_attach(rows, cols)) {
    for (int round = 0; round < 16 && !g_exits; ++round) {
      tmnet_show sd;
      sd.nframes = (data[0] >> 1) & 7;
      sd.frames = frames;
      sd.timeout = 7;
      tmnet_srv_show(&sd);
      FUZZ_CHECK(mem.in_pos <= mem.in_len, "read past the input");
      if (g_exits) break;
      FUZZ_CHECK(sd.row >= 1 && sd.row <= 24 && sd.col >= 1 && sd.col <= 80, "cursor %d %d", sd.row, sd.col);
      FUZZ_CHECK(sd.nframes == uint32_t((data[0] >> 1) & 7) && sd.timeout == 7, "the server's words changed");
    }
  }
  net_use_memory(nullptr);
  return 0;
}
