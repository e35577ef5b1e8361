// The temporaries of the flat-file export and import: a file beside its
// target, named "<target>.<tag>-<pid><suffix>", that only becomes the target
// (by a rename) once it is complete.
//
// Invariants: the process that makes a temporary holds an flock on it until
// it is renamed or removed, so a temporary is stale only when no process
// holds it and its maker is gone (or it has not changed for a while). A
// signal that ends the maker removes it first (flat_temp_guard).
// Callers: flat_transfer.cpp; the analyser asks whether an import was cut.
#pragma once

#include <string>
#include <vector>

namespace kivo {

// Tags of the two tools' temporaries.
constexpr char kFlatExportTag[] = "export";
constexpr char kFlatImportTag[] = "import";

// This process's temporary for `target`.
std::string flat_temp_name(const std::string& target, const char* tag, const char* suffix);

// Temporaries of `target` with this tag that lie in its directory; with
// `stale_only`, only those no living process is writing.
std::vector<std::string> flat_temp_list(const std::string& target, const char* tag, const char* suffix,
                                        bool stale_only);

// Removes the stale temporaries of `target`: how many were removed.
int flat_temp_remove_stale(const std::string& target, const char* tag, const char* suffix);

// Takes the writer's flock on an existing temporary: the descriptor to keep
// open while writing, or -1.
int flat_temp_hold(const std::string& path);

// While a guard is set, SIGINT, SIGTERM, SIGHUP and SIGQUIT remove `path`
// before they end the process; clearing it (nullptr) puts the handlers back.
void flat_temp_guard(const char* path);

}  // namespace kivo
