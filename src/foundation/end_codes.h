// End codes of a scope level: the value a level's MARK returns.
#pragma once

#include <cstdint>

namespace kivo {

enum : uint32_t {
  PI_END_NORMAL = 1,
  PI_END_PROCESS = 2,
  PI_END_EXIT = 3,
  PI_END_CANCEL = 4,
  PI_END_MENU = 5,
  PI_END_CHAIN = 19,
  PI_END_NO_PROC = 20,
  PI_END_LEAVE = 24,
  PI_END_LOGOUT = 25,
  PI_END_REFUSED = 34,
  PI_END_FATAL = 37,
};

// Process types (INVOC.proc_type).
enum : uint8_t {
  PT_MENU = 1,
  PT_INPUT = 2,
  PT_OUTPUT = 3,
  PT_ACTION = 4,
  PT_QUERY = 5,
  PT_SUBROUTINE = 6,
  PT_UPDATE = 7,
  PT_JOB = 8,
  PT_INQUIRY = 9,
  PT_STATUS = 10,
  PT_DISP = 11,
  PT_FILE_PROC = 12,
};

}  // namespace kivo
