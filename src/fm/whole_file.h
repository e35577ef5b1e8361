// Operations on whole files: the transaction commit across the back-ends,
// emptying a file, copying one, and saving a file's records into another
// file's record stream and loading them back (save_load.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace kivo {

// Mode 0: phase 0 then, when it succeeds, phase 1; mode 1: phase 1 only;
// mode 2: phase 0 then, when it succeeds, phase 2. The result is the last
// phase run (failure when phase 0 failed). Another mode is a system error.
int fm_commit(int mode);

struct ARB;
// Empties the handle's file (opened first when deferred). 1 only when the
// end of the file is reached; a record it cannot hold or read fails with
// that status.
int fm_del_all(ARB* arb);

struct FDB;
// Replaces the old file by the new one (the new name is gone after), or
// with `discard` deletes the new one and keeps the old. The old name holds
// a whole data file, old or new, at every moment. Failure codes go to the
// descriptors' fdb_stat/fdb_stat2.
int fm_replace(FDB* old_fdb, FDB* new_fdb, int discard);
// The operating-system name of the descriptor's file (for a native file
// its path without ".dat"), into *name; 0 when its back-end cannot name it.
int fm_os_name(FDB* fdb, std::string* name);
// Creates the target and copies every record of the source into it; both
// are closed again. Failure codes go to the source descriptor.
int fm_copy(FDB* target, FDB* source);
// Writes every record of the source's file to the target's as a record
// stream (a memory file: mm_save_fi). 1 only when the stream is complete;
// otherwise no end record is written and the status is in the target (in
// the source when it has no current stream).
int fm_save_fi(ARB* target, ARB* source);
// Creates the descriptor's file at `scope` and loads it from the stream
// read through `source` (a memory file: mm_load_fi). On success fdb_arb is
// the new handle started at its first record; on failure the new file is
// scratched and fdb_stat says why: FM_EOF for a stream without its end,
// FM_REC_TOO_LONG or FM_REC_LEN_DIFF for a record the file cannot hold.
int fm_load_fi(FDB* fdb, ARB* source, uint32_t scope);

}  // namespace kivo
