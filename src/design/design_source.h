// The text form of design records (src/design/design_source.md describes
// it) read into a DesignBuilder: an application's files and fields, work
// fields, tokens, processes, frames, images with rows, items and
// characteristics, children, selections, and statements as 80-column lines.
//
// Callers: the build-time tool kivo_design and the tests. A source that
// does not read is refused with every line that does not.
#pragma once

#include <string>

#include "design/design_builder.h"

namespace kivo {

struct design_source_result {
  int ok = 0;
  std::string error;     // "<name>:<line>: <what>" when not ok
  std::string warnings;  // "<name>:<line>: warning: <what>", a line each: what loads but may not show as meant
  std::string ap, ver;   // the application version the source wrote
};

// Reads the source `text` (named `name` in messages) and writes its records
// through builders opened at scope level `scope`. `ap_override`, when not
// null, replaces the application the source names (for instance "0DN", so
// that a shipped source can be built into memory files).
// With `replace`, the application version's design files are removed
// first, so that a source written again gives the same files. With `check`,
// the source is refused before anything is written when the process
// compiler would refuse it (design_check.h): `error` then holds each fault
// as a line of its own. Every line is read before anything is written, and
// a line that does not read refuses the source the same way. With
// `undoable` (a tool that holds no design file open itself) the load puts
// the version's design files back as they were when a write fails, and
// refuses before any change when another process has one of them open;
// a load killed part-way is finished by the next process that uses the
// version's design folder (DesignBuilder::begin_load).
design_source_result design_source_build(const std::string& text, const std::string& name, uint32_t scope,
                                         const char* ap_override = nullptr, bool replace = false, bool check = false,
                                         bool undoable = false);

// The element listing of a built dictionary: one line per ELEMENT record in
// name order: name, number, offset, size, type, occurrences.
std::string design_element_listing(const char* ap, const char* ver, uint32_t scope);

}  // namespace kivo
