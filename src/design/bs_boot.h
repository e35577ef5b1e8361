// The bootstrap of the system applications from their distribution: per
// application a summary (the dictionary's description of its files with
// their initial and null images) and per file a raw record file. The
// images go into the INITIAL design files, the raw files into native files
// (bs_raw.h), and every selected file is created once more so that it
// exists with its structure.
//
// Summaries are the design files "SUMMARY" of "0AD" version "00" with the
// source application; targets are the design files of an application
// version, or the data files of "0LA" or "0SA", with a blank name for every
// file of the summary or one name for that file alone.
//
// Callers: `kivo -b` through `bs_bootstrap` (design/design.h), tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

struct FDB_PATH;

// The exit status of a bootstrap that failed: refused before it changed
// anything (a bad KIVO_BOOT_AP or KIVO_BOOT_VER, a distribution that is not
// whole, another bootstrap running there, the files already built), or
// ended with system errors. The one line why is on standard error.
constexpr signed char kBootFailed = 2;

// The whole bootstrap, steps chosen by KIVO_BOOT_AP, KIVO_BOOT_VER, NO_0AD,
// NO_0LA, NO_0DB and NO_0SA; progress on standard output. First every
// summary the steps read and every raw file they import is read through:
// any fault refuses the run before a file is touched. Then the run takes
// its record (bs_guard.h): what an unfinished run made is removed, and a
// file the run would make that exists refuses it. Returns 1, or
// kBootFailed.
signed char bs_run();

// The summary of source application `ap` (3 characters), version "00".
void bs_summary_path(FDB_PATH* p, const char* ap);
// Targets: the design files of `ap`/`ver`, the data files of "0LA" (version
// "00") and of "0SA"; `name` null for every file.
void bs_design_target(FDB_PATH* p, const char* ap, const char* ver, const char* name = nullptr);
void bs_la_target(FDB_PATH* p, const char* name = nullptr);
void bs_sa_target(FDB_PATH* p, const char* name = nullptr);

// Loads the two images of every file of the summary into the INITIAL file
// of its source application and version; 1, or 0 when the summary is
// missing or malformed.
int bs_load_init(const FDB_PATH* summary);
// Imports the raw file of every selected file of the summary into the
// target: a disk file (type 1) allocated at once (flag 0), named by the
// target or any when it names none, and never the INITIAL design file.
// 1, or 0 when the summary is missing or malformed.
int bs_import(const FDB_PATH* summary, const FDB_PATH* target);
// Creates every file bs_import selects, INITIAL included, once more.
int bs_bld_struct(const FDB_PATH* summary, const FDB_PATH* target);

// Replaces the INITIAL records of one file and image kind (1 initial, 2
// null values) of the design files of `src_ap`/`src_ver` by `image` in
// chunks. 1, or 0 after a system error.
int upd_init(const char* src_ap, const char* src_ver, const char* name, const uint8_t* image, size_t len, uint8_t kind);

}  // namespace kivo
