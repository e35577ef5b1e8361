// The checks a design source passes before any of its records is written:
// what the process compiler would refuse when the process first runs, named
// at the source line that causes it. Every item and characteristic ends
// inside its image, every field an item, a statement, a selection
// statement or a sort line names is an element of its application or of
// "0LA": one the source defines (FILE, WORK, or FIELD of the dictionary
// design), or one the design files hold; a query's selection statement
// compares a date field with a date by a relation there is. Besides, what
// the engine would cut, hide or fail on later: a row of text past its
// image, two items on the same cells, a numeric mask the conversions do not
// take, an indexed file without a primary key, and a child whose range
// names no query; a file name with a blank, a field name stored for another
// file, a STMTS event point its owner never runs, an item on no image, a
// window off the screen, a break frame that never prints, a child naming
// no process of its type, a date mask that does not compile, and a FILE
// whose changed layout would misread the records of its data file. A
// number mask narrower than its field is a warning. design_compile runs
// the process compiler itself, once the source is written.
//
// The reader of design sources (design_source.h) feeds it every record of
// a source, then asks for the faults; records may come in any order. Callers:
// that reader, for kivo_design.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "design/design_builder.h"

namespace kivo {

struct design_fault {
  int line;
  std::string what;
};

// One error of the process compiler: the statement's key (STMT bytes
// 0-51: owner, event point and sequence; empty for an error of the process
// itself) and the compiler's words, as the engine reports them.
struct compile_error {
  std::string key;
  std::string what;
};
// Compiles process `type` `name` of `ap`/`ver` as its design files hold it
// now, as the engine will when the process first runs: its errors, none
// when it compiles. The module is not kept. With `if_there`, a process
// without a PROCESS record (statements alone, which never run) is none.
std::vector<compile_error> design_compile(const std::string& ap, const std::string& ver, uint8_t type,
                                          const std::string& name, bool if_there = false);

class design_check {
 public:
  // A source of `ap`/`ver`. With `replace` the version's stored design does
  // not count: it is removed before the source is written. Stored design
  // files are opened at scope level `scope`, each for one look-up.
  design_check(const std::string& ap, const std::string& ver, bool replace, uint32_t scope);

  // A field of a FILE or a WORK field of the source, at `line`.
  void field(const dd_field& f, int line = 0);
  // A FILE at `line` whose fields come next (each through field()), up to
  // file_end().
  void file(const dd_file& f, int line);
  void file_end();
  // A PROCESS record: a query names the range of a child.
  void process(const uint8_t* pr, int line);
  // A FRAME record: a break frame (heading or total of a range field).
  void frame(const uint8_t* fr, int line);
  // A STMTS block's event point.
  void stmts(const stmt_key& key, int line);
  void row(const uint8_t* ro, int line);
  void child(const uint8_t* ch, int line);
  // A FIELD of the dictionary design: an element only once compiled, so
  // known by its name alone.
  void field_name(const std::string& name);
  void image(const uint8_t* img, int line);
  void item(const uint8_t* it, int line);
  void chr(const uint8_t* ch, int line);
  // A statement line of the source (80 columns as the editor shows it).
  void stmt(const std::string& text, int line);
  // A SELECT record: a selection statement or a sort line on a field there
  // is; a statement's relation one of the seven, its date constant one the
  // query compiles for its field (CCYYMMDD, or as the field shows dates).
  void select(const uint8_t* sel, int line);

  // What the compiler would refuse, in line order; empty when nothing.
  std::vector<design_fault> faults();
  // What loads but may not show as meant, in line order.
  const std::vector<design_fault>& warnings() const { return warned_; }

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
  void check_row(const std::vector<uint8_t>& ro, int line, std::vector<design_fault>* out);
  void check_child(const std::vector<uint8_t>& ch, int line, std::vector<design_fault>* out);
  void check_invoked(const std::vector<uint8_t>& ch, int line, std::vector<design_fault>* out);
  void check_break(const std::vector<uint8_t>& fr, int line, std::vector<design_fault>* out);
  void check_window(const std::vector<uint8_t>& img, int line, std::vector<design_fault>* out);
  void check_layout(const dd_file& f, int line, std::vector<design_fault>* out);
  void check_names(std::vector<design_fault>* out);
  std::vector<std::string> files_with_records(const std::string& name);
  bool query_there(const std::string& ap, const std::string& name);
  // The type of process `name` of `ap` when it has one of `type` (or when
  // it cannot be told); else another type it has, or 0 for none.
  uint8_t process_type(const std::string& ap, uint8_t type, const std::string& name);
  // The queries that range report `name`: the source's and those stored.
  std::vector<std::string> ranging_queries(const std::string& name);
  void check_overlaps(std::vector<design_fault>* out);
  // The cells of an item, by image and language, to find two on the same.
  struct cells {
    int line;
    std::string name;
    uint32_t row, col, rows, cols;
  };

  std::string ap_, ver_;
  bool replace_;
  uint32_t scope_;
  std::map<std::string, std::optional<std::vector<uint8_t>>> fields_;  // the source's, by name
  std::map<std::string, std::pair<uint32_t, uint32_t>> images_;        // image key: rows, columns
  std::vector<std::pair<int, std::vector<uint8_t>>> items_, chrs_, selects_, rows_, children_, frames_, images_at_,
      procs_;
  std::vector<std::pair<int, dd_file>> files_;  // the source's FILEs with their fields
  // The source's FILE and WORK fields: their lines and files (blank: work).
  std::map<std::string, std::pair<int, std::string>> field_lines_;
  std::vector<design_fault> early_;  // found as the lines came: masks, keys
  std::vector<design_fault> warned_;
  std::map<std::string, std::vector<cells>> placed_;  // image key and language: its items
  std::set<std::string> queries_;                     // "ap|name" of the source's query processes
  struct open_file {
    int line = 0;
    dd_file head;
  };
  std::optional<open_file> file_;
  std::vector<std::pair<int, std::string>> stmts_;
  std::map<std::string, known> looked_up_;  // "ap|name"
};

}  // namespace kivo
