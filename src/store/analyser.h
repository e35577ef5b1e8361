// The native file analyser: verification of a ".dat"/".key" pair (good or
// bad) and the interactive inspection loop behind the prompt "BRF> ".
//
// Neither ever writes the files. A good verification means: the data file's
// records can all be walked from its header to its end, its free list is
// sound (no loops, every member a deleted record of the entry's length), and
// each key's tree is well formed, in key order, and references every active
// record with a non-null key exactly once and nothing else. A file without
// a header (store_hooks.anal_headerless) is good when it holds whole records, no more
// than its kind allows.
#pragma once

#include <cstdint>
#include <string>

namespace kivo {

// What an inspection session returns when the user ends it (EXIT or QUIT):
// the engine's exit status for it.
constexpr int kAnalSessionEnd = 0;

// Verifies (interactive 0) or inspects (interactive 1, returning
// kAnalSessionEnd at EXIT or QUIT) the named file; a ".dat" ending is taken
// off. 1 good, 0 bad. The report goes to the standard error stream, except
// for a verification that asks for the record count (`records` not null):
// that one is silent. `unused` is kept for callers of the routine form.
int brfanal(const char* name, int interactive, int unused, int32_t* records);

// The same without the unused argument.
int analyze(const char* name, int interactive, int32_t* records);

// Why a key definition of the pair at `base` (no ".dat") can hold no record
// of its data file (a segment outside the record); empty when none. The
// repair does not rebuild keys from such a definition.
std::string anal_key_outside(const char* base);

// Why the keys of the pair at `base` cannot hold each record once: records
// repeat values of one of its key file's keys (whose definitions then do
// not fit the file, unless they are the file's description's,
// store_hooks.described_keys), or, the key file holding no key, of a key of
// the description, which the next open builds. Empty when none. The repair
// rebuilds no key then; the verifier fails the pair with it.
std::string anal_key_misfit(const char* base);

// A data file that keeps no header: a fixed-length file without keys, its
// record n at n x rec_len. Only the file manager knows such a file, from its
// structure file or as one of its own.
struct anal_layout {
  uint32_t rec_len = 0;
  bool single = false;    // organisation 1: empty, or its one record
  int64_t records = -1;   // the count the file must hold; -1 any
  const char* what = "";  // how the file is known, for the report
};
// Whether a file keeps no header: store_hooks.anal_headerless (store/store.h).

}  // namespace kivo
