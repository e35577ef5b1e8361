// Key-file input and output: the only place the B-tree reaches the operating
// system. A handle is the key file's descriptor-cache slot; all transfers are
// positioned, so nothing depends on a file position. The tree lock is byte 0
// of the file, always waited for.
//
// The B-tree code (btree_*.cpp) calls nothing else for its files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivo {

// Opens the key file read-write; with `create` it is made (mode 0666) when
// missing. Returns a handle, or -1 with errno set.
int bt_io_open(const char* path, bool create);
// Opens the key file for reading only (kBtReadOnly).
int bt_io_open_read(const char* path);
int bt_io_close(int h);

// Reads or writes `n` bytes at `off`, retrying short transfers and EINTR.
// Returns n, fewer bytes at end of file (reads) or -1 with errno set.
long bt_io_read(int h, uint32_t off, void* buf, size_t n);
long bt_io_write(int h, uint32_t off, const void* buf, size_t n);

// The line that names a read of the file failing at `off` with `err`.
std::string bt_io_read_error(int h, uint32_t off, int err);

// The file's size in bytes, or -1 with errno set.
long long bt_io_size(int h);

// The file's first bytes through a shared read-only mapping (every process's
// writes show in it), or null when the file is shorter than `need` bytes or
// cannot be mapped: then read.
const uint8_t* bt_io_head(int h, size_t need);

// Whether no other process can open the file (its pair is held exclusive).
bool bt_io_alone(int h);
// Marks the file as held alone; with `owner` it also names the one open of
// this process whose header image is ahead of the disk.
void bt_io_set_alone(int h, void* owner);
// That open, or null; bt_io_clear_owner forgets it.
void* bt_io_owner(int h);
void bt_io_clear_owner(int h);
// Slots of this process open on the file.
int bt_io_refs(int h);

// Takes (waiting) or releases the tree lock. 1 on success, 0 with errno set.
int bt_io_lock_tree(int h);
int bt_io_unlock_tree(int h);

}  // namespace kivo
