// Flat-file import (flat2brf_run): the input is the flat file, imported into
// a new data file in a scratch directory. Properties: a failed import
// leaves no data file; a successful one holds exactly the input's non-empty
// lines (after up to two carriage returns are taken off each), in order;
// a line still ending in a carriage return then, or too long, fails it.
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"
#include "store/data_file.h"
#include "store/flat_file.h"
#include "store/record_ops.h"

using namespace kivo;

namespace {

// The records the import should make of the input.
std::vector<std::string> expected(const uint8_t* data, size_t size, bool* refused) {
  std::vector<std::string> out;
  *refused = false;
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    at = nl == std::string::npos ? text.size() : nl + 1;
    for (int i = 0; i < 2 && !line.empty() && (line.back() == '\r' || line.back() == '\n'); ++i) line.pop_back();
    if (line.size() > kFlatMaxLine || (!line.empty() && line.back() == '\r')) *refused = true;
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    mm_init();
    foundation_seams.err_presenter = fuzz::quiet_sys_err;
    return true;
  }();
  (void)init;
  const std::string flat = fuzz::scratch() + "/flat";
  const std::string dat = flat + ".dat";
  unlink(dat.c_str());
  if (!fuzz::write_file(flat, data, size)) abort();

  const int rc = flat2brf_run(flat.c_str());
  bool refused = false;
  const std::vector<std::string> want = expected(data, size, &refused);
  if (rc != 0) {
    FUZZ_CHECK(access(dat.c_str(), F_OK) != 0, "a failed import left its data file");
    FUZZ_CHECK(refused, "an import of %zu acceptable lines failed", want.size());
    return 0;
  }
  FUZZ_CHECK(!refused, "a line too long or ending in a carriage return was imported");

  int status = 0;
  BRF_FILE* f = brfopen(&status, flat.c_str(), BRF_NO_KEYS, 0, false);
  FUZZ_CHECK(f != nullptr, "the imported file does not open (%d)", status);
  BRF_RCB* r = brfaccess(&status, f, 0, false);
  FUZZ_CHECK(r != nullptr, "the imported file cannot be accessed (%d)", status);
  std::vector<uint8_t> buf(kMaxRecordLength + 1);
  size_t n = 0;
  for (;;) {
    uint32_t len = 0;
    const int st = brfnext(r, buf.data(), buf.size(), &len);
    if (st == BRF_EOF) break;
    FUZZ_CHECK(st == BRF_OK, "record %zu: status %d", n + 1, st);
    FUZZ_CHECK(n < want.size(), "more records than lines");
    FUZZ_CHECK(want[n].size() == len && memcmp(want[n].data(), buf.data(), len) == 0, "record %zu differs", n + 1);
    ++n;
  }
  FUZZ_CHECK(n == want.size(), "%zu records of %zu lines", n, want.size());
  brfdeaccess(r);
  brfclose(f);
  unlink(dat.c_str());
  return 0;
}
