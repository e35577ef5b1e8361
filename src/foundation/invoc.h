// The invocation record: 144 bytes that name a process to run and receive
// its end code. Kept as bytes with named offsets because the same record is
// stored in session files and copied into the process control block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

constexpr size_t kInvocSize = 144;

// Byte offsets of INVOC fields.
enum : size_t {
  INVOC_AP_ID = 0,        // 3
  INVOC_VER = 3,          // 2
  INVOC_PROC_TYPE = 5,    // 1
  INVOC_PROC_NAM = 6,     // 30
  INVOC_INVOC_TYPE = 36,  // 0 subprocess, 1 related, 2 detached
  INVOC_AUTO_RUN = 37,
  INVOC_CHAIN_MODE = 38,
  INVOC_INTERRUPT_OK = 39,
  INVOC_BG_RUN = 40,
  INVOC_ONE_SHOT = 41,
  INVOC_CALLER_CODE = 42,  // 4
  INVOC_PCF_KEY_NO = 65,
  INVOC_RNG_AP = 66,        // 3
  INVOC_RNG_NAM = 69,       // 30
  INVOC_CNSTR_AP = 125,     // 3
  INVOC_CNSTR_STAMP = 128,  // u32: the number of the file the constraint was built for
  INVOC_END_CODE = 132,     // u32
};
constexpr size_t kProcNameLen = 30;

struct INVOC {
  uint8_t b[kInvocSize];
};
static_assert(sizeof(INVOC) == kInvocSize);

}  // namespace kivo
