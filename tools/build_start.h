// The start of the build-time programs (kivo_design, kivo_dist): the engine's
// own registration of every subsystem's hooks, as main does it, so that
// what they write is what the engine would write.
#pragma once

#include <string>

namespace kivo {

// The common block and the pools (once), the hooks as main registers them,
// every application taken with the native back-end's default class (a
// build has no installation to look them up in) and the file manager on
// `data_dir`, which must outlive the run. False when the file manager does
// not start.
bool build_start(std::string& data_dir);

}  // namespace kivo
