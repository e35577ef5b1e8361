// What the rest of the engine calls of the data dictionary and design build.
#pragma once

namespace kivo {

// Bootstrap of the system applications; the result is the exit status.
signed char bs_bootstrap();
void dd_init();

}  // namespace kivo
