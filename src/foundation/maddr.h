// Record addresses in memory files by record number: compiled modules keep
// their instruction blocks, constants and tables as numbered records, and
// relocation turns a record number into the record's address.
//
// Reading by number is the file manager's, which sits above this layer: it
// fills the reader when it starts. Until then (and in tests that set none)
// MADDR reports and gives null.
#pragma once

#include <cstdint>

namespace kivo {

// Stores `rec_no` as the handle's record number, reads that record by number
// (fast read, mode 0) and returns the record's address, or null when the
// read fails.
using maddr_reader = uint8_t* (*)(void* handle, uint32_t rec_no);
// The reader is foundation_hooks.maddr (foundation/foundation.h).

// Address of record `n` of the memory file open on `handle`, or null.
uint8_t* MADDR(void* handle, uint32_t n);

}  // namespace kivo
