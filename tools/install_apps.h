// The shipped applications of the default installation, written by
// kivo_install from a text source (share/install/demo.txt), one record a
// line, blanks between words, "quoted texts" keep theirs, # a comment:
//
//   APPL <ap> <ver> <description>         the application's APPL record
//   DATABASE <db> <ap> <ver>              its database: default application, version
//   DBXAP <db> <ap> <kind>                the database's kind for the application (1-3)
//   DATAFILE <db> <ap> <ver> <file>       the SYSDIR entry of the database's data file,
//                                         and the file itself, empty, from the design
//   DIRENTRY <db> <ap> <file>             the SYSDIR entry alone (a file made later)
//
// A data file is made from the FILE and ELEMENT design records of the
// application version, which must be written before; one that exists is
// left as it is. A record of a key already there is replaced by the line's
// (a SYSDIR entry keeps the structure stamp its file's create gave it).
// Every line is read and checked (ids, the design of each data file)
// before anything is written: a fault writes nothing. Callers: kivo_install's
// main, after the file manager started in the data directory (a new one,
// or one installed before).
#pragma once

#include <cstdint>

namespace kivo {

// Writes the records of `path`; false after printing each fault
// ("<path>:<line>: <what>") and whether anything was written.
bool write_applications(const char* path);

// The DATABASE record of `db` as this run wrote it, else as the DATABASE
// file holds it (the back-end selection of a data file needs it); null
// when there is none.
const uint8_t* install_database(const char* db);

}  // namespace kivo
