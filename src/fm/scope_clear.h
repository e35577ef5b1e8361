// File-manager services that start-up and scope clearing use.
#pragma once

#include <cstdint>

namespace kivo {

// Start-up of the file manager. Returns 1 on success.
int fm_init();

// Closes the files of `level` and deeper (temporary files are scratched).
void fm_clr_scope(uint32_t level);

}  // namespace kivo
