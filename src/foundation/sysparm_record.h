// The system-parameter record (SYSPARM design file, record 1) as the engine
// reads it: one table of offsets for start-up, the window manager, the
// date masks and the number settings. The rest of the record belongs to the
// design files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

constexpr uint16_t kSysparmRecLen = 508;
enum : size_t {
  SYSPARM_DB = 30,              // 3: the database id
  SYSPARM_FORMATS = 248,        // 60: the default date mask, then currency and separators
  SYSPARM_OPTIMIZE = 355,       // '0': the terminal layer does not optimise output
  SYSPARM_KEATERM_AP = 380,     // 3
  SYSPARM_KEATERM_VER = 383,    // 2
  SYSPARM_KEATERM_START = 385,  // 30: the start-up process's name
  SYSPARM_KEATERM_EXIT = 475,   // 30: the exit process's name
};
static_assert(SYSPARM_KEATERM_EXIT + 30 < kSysparmRecLen);

}  // namespace kivo
