// Status codes of the storage engine: every data-file and key-file operation
// leaves one of these in its control block or key cursor. The native back-end
// maps them to file-manager statuses.
#pragma once

namespace kivo {

// Leaves `st` in the block's `status` (a record control block or a key
// cursor), where its caller looks for it, and returns it: success as well as
// failure goes through here.
template <class Block>
int set_status(Block* b, int st) {
  b->status = static_cast<decltype(b->status)>(st);
  return st;
}

enum brf_status : int {
  BRF_OK = 0,
  BRF_BAD_CURSOR = 1,      // key cursor not valid
  BRF_NOT_FOUND_FILE = 3,  // file not found (open); with a returned block: created
  BRF_WRITE_ERR = 4,       // short or failed write
  BRF_PERM = 5,            // permission denied (open); short read of a page
  BRF_SEEK_ERR = 6,
  BRF_FILE_LOCKED = 7,  // header lock refused
  BRF_EOF = 8,          // end of file; no current record
  BRF_NO_RECORD = 9,    // record not found; no such position
  BRF_DUP_KEY = 10,
  BRF_NO_MEMORY = 11,
  BRF_PAGE_FULL = 12,  // page full or index structure damaged
  BRF_LOCK_HELD = 15,  // the control block already holds a record lock
  BRF_DELETED = 16,
  BRF_BAD_DATA = 17,      // short read, bad length, unreadable header, wrong file kind
  BRF_KEY_CREATED = 18,   // key created: its index must be built
  BRF_NO_KEY = 19,        // key not found, or the key table is full
  BRF_LOCK_REFUSED = 20,  // held by another process
  BRF_NO_SPACE = 22,
  BRF_TOO_MANY_FILES = 23,
  BRF_SYS_ERR = 24,  // other system error
  // Within the storage engine only: a change found the in-use mark of a
  // writer that died; the pair is repaired and the change made again.
  BRF_ABANDONED = 25,
  // A record control block or data file handed to a close after it was
  // closed (or never opened): the caller's error, refused with no effect.
  BRF_CLOSED = 26,
};

}  // namespace kivo
