// The native descriptor of a data file built from its FILE record and the
// ELEMENT records of its key fields: the one builder of the process
// compiler and of the migration and file routines, so that a file created
// by either opens with the same keys in the other.
//
// Each key takes its order from its element's order byte ("-" descending)
// and allows duplicates when the element's key flag is "1". A segment per
// occurrence of the key's field, or per member of a key group; binaries and
// binary dates compare as numbers (an 8-byte date as its two words), packed
// numbers as packed, everything else as characters.
#pragma once

#include <cstdint>
#include <string>

namespace kivo {

struct FDB;
struct KDB;
struct SDB;
struct KEY_DESC;

// Reads element `seq` of the file named by the 8 characters at `file` into
// `elem` (592 bytes); false when there is none.
using fdb_elem_reader = bool (*)(void* ctx, const uint8_t* file, uint32_t seq, uint8_t* elem);

constexpr int kFdbMaxSegsPerKey = 16;

// Key `k` of the FILE record `fi` into `kdb` and its segments into `sdb`
// (room for kFdbMaxSegsPerKey), the sequence of each segment's field into
// `fields` (may be null). The segment count, or 0 with `why` set.
int bld_kdb(const uint8_t* fi, int k, fdb_elem_reader read, void* ctx, KDB* kdb, SDB* sdb, uint32_t* fields,
            std::string* why);

// The descriptor of FILE record `fi` without its path: record length,
// variable flag, file-system type, organisation, structure stamp, option
// bits from bytes 20 and 21, and every key (`max_segs` segments at most over
// all keys). 1, or 0 with `why` set.
int bld_file_fdb(const uint8_t* fi, fdb_elem_reader read, void* ctx, FDB* fdb, KDB* kdb, SDB* sdb, int max_segs,
                 uint32_t* fields, std::string* why);

struct KEY_DESC;
// The keys the structure file beside the data file at `base` (no ".dat")
// describes, as the file's key file defines them (store_hooks.described_keys):
// their number, or -1 when there is no such structure file.
int file_described_keys(const char* base, KEY_DESC* out);

}  // namespace kivo
