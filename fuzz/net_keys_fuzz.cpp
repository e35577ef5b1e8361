// The remote key definition's server over a memory channel: the input is
// what the client sends after the server's REMAP, file status, terminal
// type and user (its status, key count, codes, compressed length and
// cells). Properties: the process ends with one of the key definition's
// codes or, for a short input, 255; the keys are stored only once a whole
// table came, at most 999 keys, with the count and codes as sent; nothing
// is stored after an abort.
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "fuzz_util.h"
#include "net/tmnet.h"
#include "net/tmnet_channel.h"
#include "net/tmnet_keys.h"

using namespace kivo;

namespace {

int g_end = -1;
int g_stores;
const uint8_t* g_in;
size_t g_in_len;
int g_file;

void on_exit(int status) {
  FUZZ_CHECK(status == kTmnetLostExit || (status >= TMNET_KEYS_ABORTED && status <= TMNET_KEYS_FAILED), "ended with %d",
             status);
  if (g_end < 0) g_end = status;
}

uint32_t store(ARB*, const char*, const char*, const uint16_t* codes, const uint16_t* keys, size_t count) {
  ++g_stores;
  FUZZ_CHECK(count <= kMaxRemoteKeys, "stored %zu keys", count);
  FUZZ_CHECK(g_in_len >= 4 + count * 2 && g_in[1] && ld_be16(g_in, 2) == count, "stored %zu keys unsent", count);
  for (size_t i = 0; i < count; ++i) FUZZ_CHECK(codes[i] == ld_be16(g_in, 4 + i * 2), "code %zu changed", i);
  volatile uint16_t sink = 0;
  for (size_t i = 0; i < count * kKeystrokeCells; ++i) sink = uint16_t(sink ^ keys[i]);
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    set_tmnet_exit(on_exit);
    tmnet_keymap_file = {[] { return reinterpret_cast<ARB*>(&g_file); }, store, [](ARB*) {}};
    return true;
  }();
  (void)init;
  net_memory mem;
  mem.in = g_in = data;
  mem.in_len = g_in_len = size;
  net_use_memory(&mem);
  com.rmt_sock = 3;
  memcpy(com.keymap_id, "xterm     ---", 13);
  g_end = -1, g_stores = 0;
  const int code = tmnet_srv_kivokeys();
  FUZZ_CHECK(g_end >= 0 && g_stores <= 1, "ended %d after %d stores", g_end, g_stores);
  FUZZ_CHECK(!g_stores || g_end == code, "stored, then ended with %d", g_end);
  FUZZ_CHECK(g_stores || g_end != TMNET_KEYS_STORED, "ended stored without a store");
  net_use_memory(nullptr);
  return 0;
}
