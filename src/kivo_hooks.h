// The registration of every subsystem's hooks, which main runs first thing.
#pragma once

namespace kivo {

// Each subsystem puts what the lower ones call of it in their hooks, in
// layer order from the bottom.
void kivo_register_hooks();

}  // namespace kivo
