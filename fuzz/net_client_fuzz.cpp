// The character client's command stream over a memory channel, as a
// server's bytes reach it: ATTACH first (so that the screen exists), then
// the input as commands, each run through its handler (tmnet_cli_show for
// SHOW). Byte 0 picks the server's version (bit 0: below 3). Properties:
// nothing is read past the input, every update and paint stays on the
// screen (the fake terminal checks each row and run), a show's keymap is
// one the client handed out, and a failure ends the loop or the process
// with status 255.
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "fuzz_util.h"
#include "net/tmnet.h"
#include "net/tmnet_channel.h"
#include "net/tmnet_cli.h"

using namespace kivo;

namespace {

constexpr int kRows = 24, kCols = 80;
int g_keymap_token;  // what keymap handles point at

void on_exit(int status) { FUZZ_CHECK(status == kTmnetLostExit, "ended with %d", status); }

int attach(int rows[3], int cols[3]) {
  for (int i = 0; i < 3; ++i) rows[i] = kRows, cols[i] = kCols;
  return 1;
}

void update(int row, const uint8_t*, int len, const tmnet_run* runs, int nruns) {
  FUZZ_CHECK(row >= 1 && row <= kRows && len == kCols, "row %d of %d", row, len);
  int end = 0;
  for (int i = 0; i < nruns; ++i) {
    FUZZ_CHECK(runs[i].col == end + 1 && runs[i].len > 0, "run %d at %d", i, runs[i].col);
    end += runs[i].len;
  }
  FUZZ_CHECK(end == kCols, "runs cover %d", end);
}

uint32_t show(tmnet_show* sd, void* km) {
  FUZZ_CHECK(!km || km == &g_keymap_token, "a keymap handle not given out");
  FUZZ_CHECK(sd->nframes == 0 || sd->frames, "frames missing");
  for (uint32_t i = 0; i < sd->nframes * 5; ++i) (void)sd->frames[i];
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static bool init = [] {
    set_tmnet_exit(on_exit);
    tmnet_cli_term = {
        nullptr, [](int) {}, attach,  [](const char*, const int16_t*) -> void* { return &g_keymap_token; },
        update,  show,       nullptr, nullptr};
    return true;
  }();
  (void)init;
  tmnet_cli_reset();
  tmnet_role = TMNET_ROLE_CLIENT;
  tmnet_remote_version = (data[0] & 1) ? 2 : 4;
  std::vector<uint8_t> in(8, 0);
  in[4] = TMNET_ATTACH;
  in.insert(in.end(), data + 1, data + size);
  net_memory mem;
  mem.in = in.data();
  mem.in_len = in.size();
  net_use_memory(&mem);
  com.rmt_sock = 3;
  for (int round = 0; round < 256 && tmnet_cli_command(); ++round)
    FUZZ_CHECK(mem.in_pos <= mem.in_len, "read past the input");
  net_use_memory(nullptr);
  return 0;
}
