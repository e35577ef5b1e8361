// The checks a design source passes before any of its records is written:
// what the process compiler would refuse when the process first runs, named
// at the source line that causes it. Every item and characteristic ends
// inside its image, every field an item or a statement names is an
// element of its application or of "0LA": one the source defines (FILE,
// WORK, or FIELD of the dictionary design), or one the design files hold;
// and a query's selection statement compares a date field with a date.
//
// The reader of design sources (design_source.h) feeds it every record of
// a source, then asks for the faults; records may come in any order. Callers:
// that reader, for kivo_design.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "design/design_builder.h"

namespace kivo {

struct design_fault {
  int line;
  std::string what;
};

class design_check {
 public:
  // A source of `ap`/`ver`. With `replace` the version's stored design does
  // not count: it is removed before the source is written. Stored design
  // files are opened at scope level `scope`, each for one look-up.
  design_check(const std::string& ap, const std::string& ver, bool replace, uint32_t scope);

  // A field of a FILE or a WORK field of the source.
  void field(const dd_field& f);
  // A FIELD of the dictionary design: an element only once compiled, so
  // known by its name alone.
  void field_name(const std::string& name);
  void image(const uint8_t* img);
  void item(const uint8_t* it, int line);
  void chr(const uint8_t* ch, int line);
  // A statement line of the source (80 columns as the editor shows it).
  void stmt(const std::string& text, int line);
  // A SELECT record: a selection statement's date constant must be one the
  // query compiles for its field (CCYYMMDD, or as the field shows dates).
  void select(const uint8_t* sel, int line);

  // What the compiler would refuse, in line order; empty when nothing.
  std::vector<design_fault> faults();

 private:
  // What is known of a field: nothing, its name, or its element.
  struct known {
    bool found = false;
    std::optional<std::vector<uint8_t>> elem;
  };
  known lookup(const std::string& ap, const std::string& name);  // find, once per name
  known find(const std::string& ap, const std::string& name);
  known stored_field(const std::string& ap, const std::string& name);
  bool image_size(const uint8_t* key, uint32_t* rows, uint32_t* cols);
  void check_item(const std::vector<uint8_t>& it, int line, std::vector<design_fault>* out);
  void check_chr(const std::vector<uint8_t>& ch, int line, std::vector<design_fault>* out);
  void check_stmt(const std::string& text, int line, std::vector<design_fault>* out);
  void check_select(const std::vector<uint8_t>& sel, int line, std::vector<design_fault>* out);

  std::string ap_, ver_;
  bool replace_;
  uint32_t scope_;
  std::map<std::string, std::optional<std::vector<uint8_t>>> fields_;  // the source's, by name
  std::map<std::string, std::pair<uint32_t, uint32_t>> images_;        // image key: rows, columns
  std::vector<std::pair<int, std::vector<uint8_t>>> items_, chrs_, selects_;
  std::vector<std::pair<int, std::string>> stmts_;
  std::map<std::string, known> looked_up_;  // "ap|name"
};

}  // namespace kivo
