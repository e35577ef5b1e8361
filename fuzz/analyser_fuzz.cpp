// Verification of a native file pair (brfanal, not interactive). The input's
// first 4 bytes (little-endian) give the length of the data file, modulo
// what is left; the rest after the data file is the key file. Bit 31 of
// that word asks for the silent form that counts records. Properties: the
// analyser ends (a hang is a libFuzzer timeout) with a verdict of 0 or 1,
// and neither file changed.
#include <cstring>
#include <string>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"
#include "store/analyser.h"

using namespace kivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    foundation_seams.err_presenter = fuzz::quiet_sys_err;
    return true;
  }();
  (void)init;
  if (size < 4) return 0;
  const uint32_t word = ld_le32(data, 0);
  const size_t rest = size - 4;
  const size_t dat_len = (word & 0x7FFFFFFF) % (rest + 1);
  const bool counted = word & 0x80000000u;
  const uint8_t* dat = data + 4;
  const uint8_t* key = dat + dat_len;
  const size_t key_len = rest - dat_len;

  const std::string base = fuzz::scratch() + "/pair";
  if (!fuzz::write_file(base + ".dat", dat, dat_len) || !fuzz::write_file(base + ".key", key, key_len)) abort();

  int32_t records = -5;
  const int verdict = brfanal((base + ".dat").c_str(), 0, 0, counted ? &records : nullptr);
  FUZZ_CHECK(verdict == 0 || verdict == 1, "verdict %d", verdict);
  if (counted && verdict == 1) FUZZ_CHECK(records >= 0, "a good file with %d records", records);

  std::vector<uint8_t> after;
  FUZZ_CHECK(fuzz::read_file(base + ".dat", &after) && after.size() == dat_len &&
                 (dat_len == 0 || memcmp(after.data(), dat, dat_len) == 0),
             "the data file changed");
  FUZZ_CHECK(fuzz::read_file(base + ".key", &after) && after.size() == key_len &&
                 (key_len == 0 || memcmp(after.data(), key, key_len) == 0),
             "the key file changed");
  return 0;
}
