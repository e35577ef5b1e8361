// Byte-range locks between engine processes: one-byte fcntl locks on data and
// key files, the waits for them, and the session's own list of held locks.
//
// Lock bytes:
//   data file byte 1  header lock  shared/exclusive open, never waits (lock_hdr)
//   key file byte 0   tree lock    around every B-tree operation, waits
//   data file byte 0  update lock  around space allocation and index upkeep, waits
//   data file byte kRelLockSpill + 2  update turnstile: held by a writer while
//     it waits for the update lock, and passed by a shared holder before it
//     takes it, so that no stream of shared holders keeps a writer out
//   data file, first byte of the record header: record lock
//   relative file (no header, no key file): the record's first byte; the records
//     whose first byte is 0 or 1 lock kRelLockSpill + that byte instead, so a
//     record lock never overlaps the update or header lock
//   relative file, kRelWriteGuard + the record's first byte: its write guard,
//     held by a rewrite through its write and shared by a read through its
//     copy (the file has no header to keep a rewrite word in)
//
// The operating system never lets one process conflict with itself, so every
// lock taken is entered in the file's held list: locking a byte that the
// session already holds fails at once, which makes two streams of one session
// conflict too. A file with any lock held keeps its descriptor (fd_cache.h).
// A file that no other process can open (fd_lock_state::alone) keeps the
// list and takes no fcntl lock at all.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kivo {

// The `kind` of a lock: only how a long wait is explained depends on it.
enum lock_kind : int {
  LOCK_TREE = 1,
  LOCK_UPDATE = 2,
  LOCK_RECORD = 3,
  LOCK_RELATIVE = 4,
};

constexpr off_t kUpdateLockByte = 0;             // data file
constexpr off_t kTreeLockByte = 0;               // key file
constexpr off_t kHeaderLockByte = 1;             // data file
constexpr off_t kRelLockSpill = off_t{1} << 32;  // past any u32 seek
constexpr off_t kUpdateTurnstile = kRelLockSpill + 2;
constexpr off_t kRelWriteGuard = off_t{1} << 33;

// Lock flags of a record control block.
constexpr uint8_t RCB_LOCK_WANTED = 0x02;  // lock with the next read
constexpr uint8_t RCB_LOCK_HELD = 0x04;
constexpr uint8_t RCB_LOCK_WAIT = 0x08;  // wait for the lock

// Owner stamps: a session number in a record header's link word or the key
// file header's owner word carries bit 31, so 0 can never be mistaken for it.
constexpr uint32_t kOwnerBit = 0x80000000u;
constexpr size_t kKeyHdrOwnerOffset = 1168;
inline uint32_t owner_word(uint32_t session) { return kOwnerBit | session; }

// The session's number for owner stamps; 0 = none.
extern uint32_t lock_session_number;

// Locks (lock != 0) or unlocks the one byte `byte` of the slot's file.
// Locking with wait blocks until granted; after lock_wait_notice_ms it shows
// the wait's explanation on the status line and goes on waiting. Returns 1 on
// success, 0 when refused, when the byte is already held by this session,
// on a deadlock the system detects, when store_hooks.lock_break_requested says the
// user broke in, or when the wait reached lock_wait_limit_ms.
int bt_share_at(int slot, off_t byte, int wait, int lock, int kind);

// The same at the slot's current position (kivo_seek).
int bt_share(int slot, int wait, int lock, int kind);

// The update lock held by a utility for a whole verification or repair of a
// pair (or one checking command of the analyser), so that what it sees and
// leaves is a consistent file: every engine writer waits for it as it waits
// for another writer. A shared hold (a verification, whose descriptor may
// be read-only) keeps writers away but lets other verifications run; an
// exclusive one (a repair) keeps every other holder away. It waits as a
// writer does, the file named on the lock-wait line. A hold taken while
// this process holds the lock already (the steps of a repair) takes and
// gives back nothing, so the outer hold lasts until its own end.
class update_hold {
 public:
  update_hold(int slot, bool exclusive);
  ~update_hold();
  update_hold(const update_hold&) = delete;
  update_hold& operator=(const update_hold&) = delete;
  // Whether the lock is held (by this hold or an outer one).
  bool held() const { return held_; }

 private:
  int slot_;
  bool held_ = false;
  bool took_ = false;
};

// A utility's hold on the pair whose data file is `dat`, for its whole run:
// a slot of its own on the data file, open until the end, so that no close
// of another slot drops the lock, and the update lock on it (update_hold).
// Nothing is held when the data file cannot be opened.
class pair_hold {
 public:
  pair_hold(const std::string& dat, bool exclusive);
  ~pair_hold();
  pair_hold(const pair_hold&) = delete;
  pair_hold& operator=(const pair_hold&) = delete;
  bool held() const { return hold_ && hold_->held(); }
  bool opened() const { return slot_ >= 0; }

 private:
  int slot_ = -1;
  std::optional<update_hold> hold_;
};

// The header lock on byte 1: shared or exclusive, never waiting. Returns 1, or
// 0 with errno EAGAIN when another process holds a conflicting lock. It is
// kept until the file's descriptor is closed (kivo_close of its last slot).
int lock_hdr(int slot, int exclusive);

// The held-lock list of the slot's file.
void add_lock(int slot, off_t byte);
bool get_lock(int slot, off_t byte);
void del_lock(int slot, off_t byte);

// A record control block's lock: embedded by the record operations.
struct rec_lock {
  uint8_t flags = 0;  // RCB_LOCK_*
  int64_t seek = -1;  // record seek of the held lock, -1 = none
};

// The lock byte of the record at `seek` (relative: no header, no key file).
off_t record_lock_byte(uint32_t seek, bool relative);

// Takes the record lock at `seek` when one is wanted. Status 0 (locked, or
// none wanted), BRF_LOCK_HELD (15) or BRF_LOCK_REFUSED (20).
int brflock(int slot, rec_lock* rl, uint32_t seek, bool relative);
// Releases the held record lock, if any; the locked seek becomes -1.
void brfunlock(int slot, rec_lock* rl, bool relative);
// Takes (lock) or gives back the write guard of the relative file's record
// at `seek`: a writer's alone, a reader's shared with other readers,
// waiting as long as the write under way (a reader never waits for a user
// who holds the record's lock). Nothing is taken in a file no other
// process can open. 1, or 0 when it could not be had.
int rel_write_guard(int slot, uint32_t seek, bool writer, bool lock);

// Explains who holds `byte` of the slot's file, into `text` (size bytes).
// Returns 1 when a text was made.
int get_locker(int slot, off_t byte, char* text, size_t size, int kind);

// The lock-wait status line: shows `text`, or removes the line (null).
void bt_upd_stat(const char* text);
// Until a screen exists the line goes to stderr; the window manager puts its
// presenter in store_hooks.lock_status (store/store.h).
using lock_status_presenter = void (*)(const char* text);
// The line on stderr, fitted to the status width; null writes nothing.
void lock_status_text(const char* text);

// The text as it fits a line of `width` columns: when too long and holding a
// "/", the path in it keeps up to the first "/", then "...", then from the
// last "/" on. Writes at most width - 1 characters and a NUL into out.
void lock_fit_status(const char* text, size_t width, char* out, size_t out_size);

// Set by the SIGALRM handler timeout_fn when a wait passes the notice time.
extern volatile sig_atomic_t bt_lock_timed_out;
void timeout_fn(int sig);

// Whether the user asked to break off a wait: store_hooks.lock_break_requested.

// Milliseconds of waiting before the status line appears (10 seconds).
extern unsigned lock_wait_notice_ms;
// Milliseconds after which a wait gives up (the lock refused); 0, as in an
// engine with a user who can break off, waits until the lock is granted.
// The data server sets it: no request waits longer than its client does.
extern unsigned lock_wait_limit_ms;
// Whether the last wait ended because it reached lock_wait_limit_ms.
extern bool lock_wait_gave_up;

}  // namespace kivo
