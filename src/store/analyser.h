// The native file analyser: verification of a ".dat"/".key" pair (good or
// bad) and the interactive inspection loop behind the prompt "BRF> ".
//
// Neither ever writes the files, and both open them read-only when the user
// may not write them. A good verification means: the header's fields hold
// together, the data file's records can all be walked from its header to its
// end, its free list is sound (no loops, every member a deleted record of
// the entry's length; not checked in format version 1, whose upgrade at the
// engine's next open builds it anew), and
// each key's tree is well formed, in key order, and references every active
// record with a non-null key exactly once and nothing else. A file without
// a header (store_hooks.anal_headerless) is good when it holds whole records, no more
// than its kind allows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/record_ops.h"

namespace kivo {

struct brf_progress;

// What an inspection session returns when the user ends it (EXIT, QUIT or
// the end of input), and what it returns when no session could start (no
// name, a file that cannot be opened, that is no data file or whose format
// it cannot read): the engine's exit statuses for them.
constexpr int kAnalSessionEnd = 0;
constexpr int kAnalRefused = 2;

// Verifies (interactive 0: 1 good, 0 bad) or inspects (interactive 1:
// kAnalSessionEnd or kAnalRefused) the named file; a ".dat" ending is taken
// off. Good means the engine and the export can read every record through
// every key; a file that cannot be checked is bad. The report goes to the standard error stream, except
// for a verification that asks for the record count (`records` not null):
// that one is silent. `unused` is kept for callers of the routine form.
int brfanal(const char* name, int interactive, int unused, int32_t* records);

// The same without the unused argument; `progress`, when given, says how
// far a long check has got.
int analyze(const char* name, int interactive, int32_t* records, const brf_progress* progress = nullptr);

// The command line's verification (-v) and inspection session (-an): as
// brfanal, with the progress of a long check on the terminal.
int brfanal_tool(const char* name, int interactive);

// Why a key definition of the pair at `base` (no ".dat") can hold no record
// of its data file (a segment outside the record); empty when none. The
// repair does not rebuild keys from such a definition.
std::string anal_key_outside(const char* base);

// Why the keys of the pair at `base` cannot hold each record once: records
// repeat values of one of its key file's keys (whose definitions then do
// not fit the file, unless they are the file's description's,
// store_hooks.described_keys), or, the key file holding no key, of a key of
// the description, which the next open builds. Empty when none. The repair
// rebuilds no key then; the verifier fails the pair with it. With
// `unique_mended`, repeats of the description's keys are not looked for:
// the repair sets them aside (anal_misfits).
std::string anal_key_misfit(const char* base, bool unique_mended = false);

// The whole live records of the pair at `base` that no index may hold as
// they stand, each with why: a record flagged deleted that a key still names
// with its own key, and each later record (by place) repeating a value of a
// key the file's description keeps unique. The repair sets them aside
// (brf_put_aside) before it rebuilds the keys. Empty when none, or when the
// records cannot all be walked.
std::vector<brf_misfit> anal_misfits(const char* base);

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
