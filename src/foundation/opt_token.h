// The OPT token list: option names and their codes, kept in the TOKEN design
// file of the runtime application.
//
// The file is the file manager's, above this layer: it fills the lookup when
// it starts (opening TOKEN once in the session level). An empty lookup reads
// as a TOKEN file that cannot be opened.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

constexpr size_t kOptNameLen = 30;
constexpr int32_t OPT_UNKNOWN_NAME = 278;  // no option of that name

struct ut_opt_lookup {
  // By the 30-character blank-padded name: 1 and `*code` when found.
  int (*by_name)(const char* name, int32_t* code);
  // By code: 1 and the 30-character blank-padded `name` when found.
  int (*by_code)(int32_t code, char* name);
};

// The lookup is foundation_hooks.opt_lookup (foundation/foundation.h).

// With `len` > 0: the code of the option named by the `len` characters of
// `name` (trailing blanks ignored), or OPT_UNKNOWN_NAME. With `len` 0: the
// name of option `code` into `name` (kOptNameLen + 1 bytes), without
// trailing blanks and NUL-terminated; an unknown code gives an empty name.
// Returns the name's length then.
int32_t ut_get_opt(char* name, size_t len, int32_t code);

}  // namespace kivo
