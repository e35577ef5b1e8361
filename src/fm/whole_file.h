// Operations on whole files: the transaction commit across the back-ends.
#pragma once

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

}  // namespace kivo
