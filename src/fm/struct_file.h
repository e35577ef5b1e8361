// Structure files: each data file of class 1 has one (the same path in
// class 2) holding a copy of the file's design records, whose stamp must
// match the stamp its opener expects; and the stamps of the system
// applications' files, cached at start-up.
//
// A structure file has no keys; its 1016-byte records are addressed by
// number: 1 the counts, 2 the FILE record, then the INITIAL records, then
// the ELEMENT records.
//
// Callers: open, create, scratch and locate (fm_open.cpp, fm_close.cpp);
// fm_init.
#pragma once

#include <cstdint>
#include <vector>

namespace kivo {

struct ARB;
struct FDB;
struct FDB_PATH;

constexpr uint16_t kStructFileRecLen = 1016;

// Record 1 of a structure file.
enum : uint16_t { STRUCT_N_INITIAL = 0, STRUCT_N_ELEMENT = 4 };

// Fills the descriptor's stamp from the start-up cache (system
// applications) or the FILE design record. 0 with fdb_stat FM_NO_DESIGN or
// FM_NO_FILE_DEF, unless LFB_NO_STRUCT_CHK: then 1 and the stamp unknown;
// so too for a system application whose FILE design file is not there. A
// file whose stamp stays unknown has no structure file to make or check.
int get_struct_date(FDB* fdb);
// Fills a new structure file (the handle of its create) from the design
// records of the file its path names; 0 with arb_stat on failure.
int create_struct(ARB* arb);
// Checks a structure file against the stamp it was opened with: 0 with
// arb_stat FM_NO_STRUCT_REC or FM_STAMP_DIFF.
int verify_struct(ARB* arb);
// Opens the structure file of the data file at `path` for reading, at
// level 0: its handle, or null when it does not open or, with a known
// `stamp` (two words; null or kStampUnknown: none), its FILE record carries
// another. The caller closes the handle (FM_CLOSE).
ARB* get_struct_arb(const FDB_PATH& path, const uint32_t* stamp);
// Gives a design file of a version being designed (a disk file of "0AD"
// whose source is not a system application's version "00"), whether it
// exists yet or not, the structure file its opens check: made from the
// design dictionary's FILE record when missing or when it carries another
// stamp. Nothing to do (1) for any other file, or while no dictionary
// describes the file. 0 with fdb_stat of `design` when the structure file
// cannot be made.
int fm_design_struct(FDB* design, uint32_t scope);
struct anal_layout;
// The verifier's hook (store_hooks.anal_headerless): whether the data file at `base` (no
// ".dat") keeps no header, and its layout. Such a file is a structure file,
// a file whose structure file gives fixed-length records and no keys, or an
// engine's own single-record file (PARAM, SYSPARM). The path is read as the
// fixed layout builds it, ".../<kind>/<name>".
bool struct_file_layout(const char* base, anal_layout* out);
// The record length the structure file describing the data file at `base`
// gives it (store_hooks.described_rec_len): 0 for variable-length records,
// -1 when there is none naming the file.
int struct_file_rec_len(const char* base);
// The FILE record and the ELEMENT records of the structure file that
// describes the data file at `base` (".../Data/<name>", no ".dat"), read as
// struct_file_layout reads it; false when there is none naming the file.
bool struct_file_design(const char* base, std::vector<uint8_t>* file_rec, std::vector<std::vector<uint8_t>>* elements);
// Caches the structure stamps of an application's FILE records (version
// "00"). Start-up step 8.
void fill_date_cache(const char* ap);

}  // namespace kivo
