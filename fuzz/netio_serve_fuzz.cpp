// The data server's request stream: the input is everything a client sends
// after the server's REPLY (the probes, the pause, the options, then any
// requests), read from a memory channel by netio_serve against a data
// directory in a temporary folder, emptied before each input so that one
// input alone reproduces a finding. Properties: the server never reads past
// the input nor crashes, ends its loop when the input ends, and leaves no
// file of the connection open.
#include <string>

#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/unix_fm.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"
#include "net/net.h"
#include "net/netio.h"
#include "net/tmnet_channel.h"

using namespace kivo;

namespace {

uint32_t open_files() {
  uint32_t n = 0;
  for (auto* p = static_cast<PFB*>(fm_pfb_list.head); p; p = static_cast<PFB*>(p->pfb_all.next))
    if (p->pfb_id16 == kUioId16) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::string dir = kivo::fuzz::scratch();
  static bool init = [] {
    com_fill(0, nullptr);
    mm_init();
    foundation_seams.err_presenter = kivo::fuzz::quiet_sys_err;
    com.data_dir = cstr{static_cast<uint16_t>(dir.size()), dir.data()};
    com.path_root = cstr{0, nullptr};
    return fm_init() == 1;
  }();
  if (!init) return 0;
  kivo::fuzz::clear_tree(dir);  // files an earlier input made must not shape this one
  const uint32_t before = open_files();
  net_memory mem;
  mem.in = data;
  mem.in_len = size;
  net_use_memory(&mem);
  netio_max_pause = 0;
  com.rmt_sock = 3;  // the memory channel stands in for it
  FUZZ_CHECK(netio_serve() == 1, "the loop did not end normally");
  net_use_memory(nullptr);
  FUZZ_CHECK(mem.in_pos <= mem.in_len, "read %zu of %zu bytes", mem.in_pos, mem.in_len);
  FUZZ_CHECK(open_files() == before, "%u files left open", open_files() - before);
  return 0;
}
