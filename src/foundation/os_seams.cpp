// Least operating-system layer until the full one lands.
#include "foundation/os.h"

#include <cstring>
#include <ctime>

namespace kivo {

int ss_unix_init() { return 1; }

void ss_time(uint8_t* out) { memset(out, 0, 8); }

void ss_bob_path() {}

void ss_trm_id(cstr* out) { *out = cstr{0, nullptr}; }

}  // namespace kivo
