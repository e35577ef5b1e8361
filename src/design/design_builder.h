// DesignBuilder: writes the design records of one application version that
// the process compiler reads (FILE, ELEMENT, INITIAL, BITMAP, TOKEN,
// PROCESS, FRAME, IMAGE, ROW, ITEM, CHR, CHILD, SELECT, STMT and PARAM), and
// the dictionary design (DOMAIN, RECORD, FIELD) the dictionary compiler
// reads, through the
// file manager, into the version's design files: the memory design files of
// "0DN", or the native files of any other application.
//
// Invariants: file and work-field numbers come from the application's
// BITMAP (the next free sequence of a data area, or an explicit number that
// is marked taken); a file's second number (a unique key of FILE) is the
// next free one of its first number's data area; every element of a file carries the file's first number
// and the FILE record's compile stamp; each PROCESS gets a design stamp of
// its own. A call that fails writes nothing more and leaves `error()`.
//
// Callers: the design-source reader (design_source.h), which the build-time
// tool and the tests use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fm/set_aside.h"
#include "foundation/os.h"

namespace kivo {

struct ARB;

// The design files the builder writes, in the order it keeps their handles.
enum design_file : int {
  DF_FILE,
  DF_ELEMENT,
  DF_INITIAL,
  DF_BITMAP,
  DF_TOKEN,
  DF_PROCESS,
  DF_FRAME,
  DF_IMAGE,
  DF_ROW,
  DF_ITEM,
  DF_CHR,
  DF_CHILD,
  DF_SELECT,
  DF_STMT,
  DF_PARAM,  // the application's start menus: one record, read as record 1
  DF_DOMAIN,
  DF_RECORD,
  DF_FIELD,
  kDesignFiles
};
// The record length and design-file name of each.
size_t design_rec_len(design_file f);
const char* design_file_name(design_file f);

// One field of a file or one work field.
struct dd_field {
  std::string name;
  uint8_t type = 1;      // ELEMENT data type
  uint16_t size = 0;     // alpha, and dates of types 3, 4 and 15; derived for the rest
  uint8_t digits = 0;    // numbers: integer digits; dates: the highest level
  uint8_t decimals = 0;  // numbers: decimals; dates: the lowest level
  bool is_signed = false;
  uint16_t occurs = 1;
  int offset = -1;   // -1: right after the previous field
  std::string mask;  // blank: a default for the type
  std::string init, null_text;
  uint8_t key_role = 255;   // 0 primary, 1-254 alternate, 255 none
  bool key_desc = false;    // the key runs in descending order
  char key_flag = ' ';      // ELEMENT byte 192: "1" or blank a key with duplicates, "0" one without
  uint8_t special_use = 0;  // FILE special-use slot index 1-10 (0 none)
  bool group = false;       // a group header over the fields inside its bytes
  uint16_t code_len = 0;    // a coded field: the length of its token texts
  bool xlate = false;       // its text is translated between languages (an alpha field)
};

struct dd_file {
  std::string name;
  uint32_t number = 0;  // 0: the next free number of data area `area`
  uint8_t area = 0;
  uint8_t fs_type = 1;  // 0 never opened (record area only), 1 disk, 2 memory
  uint8_t org = 3;      // 1 single record, 2 sequential, 3 indexed
  bool var = false;
  uint16_t rec_len = 0;  // 0: the end of the last field
  uint8_t class_bytes[3] = {0, 0, 0};
  std::vector<dd_field> fields;
};

// The ELEMENT bytes of field `f` that its display is compiled from (name,
// kind, size, occurrences, type, mask and format; numbers, stamps and the
// place in a record zero); the size, or 0 when its type gives none.
uint16_t dd_field_element(const dd_field& f, uint8_t* e);

// "status <number> (<its message text>)" for a file manager's status, the
// text left out when the message file does not have it.
std::string status_words(uint32_t status);

// The key of a statement's event point (STMT bytes 0-47).
struct stmt_key {
  uint8_t proc_type = 0;
  std::string proc_name;
  uint8_t frm_part = 0;
  uint32_t frm_no = 0;
  uint8_t img_no = 0;
  uint8_t chld_pos = 0;
  uint32_t chld_no = 0;
  uint8_t ep = 0;
};

class DesignBuilder {
 public:
  // Writes into the design files of `ap`/`ver`, opened at scope level `scope`.
  DesignBuilder(const char* ap, const char* ver, uint32_t scope);
  // Leaves the files open: the scope level owns them (memory files keep
  // their records as long as they are open).
  ~DesignBuilder() = default;
  DesignBuilder(const DesignBuilder&) = delete;
  DesignBuilder& operator=(const DesignBuilder&) = delete;

  const std::string& error() const { return error_; }
  // The design file's handle, opened (or created) on first use; null on failure.
  ARB* handle(design_file f);
  // Closes every file the builder opened, with the close `options` (0x200
  // scratches: a memory file loses its records). 1 when all closed.
  int close_all(uint16_t options = 0);
  // Gives every design file of the version, there yet or not, the
  // structure file of the design dictionary's description
  // (fm_design_struct), so that the engine's checked opens find one; done
  // at the first file the builder opens, and by the build for versions
  // written before the dictionary was installed. 1 on success.
  int record_structures();
  // Removes the version's design files that exist (none open through this
  // builder yet), so that what follows starts afresh. 1 on success.
  int scratch_all();

  // A load that leaves the version as it was when it fails. begin_load,
  // before the first change, refuses (0 with error(), nothing changed) when
  // another process has a design file of the version open, then sets every
  // existing design file aside under a name of its own (a rename) and, for
  // a load that adds (`replace` false), copies its records back under the
  // design file's name; a replace starts from no files. undo_load closes
  // what the load opened, removes what it wrote and puts the set-aside files
  // back as they were, byte for byte; keep_load removes them. The load
  // keeps a record of what it set aside in the design files' folder
  // (fm/set_aside.h) from before the first change to its end, so that a
  // load killed part-way is finished by the next process that uses the
  // folder: the next load, or the engine's start of the application. The
  // memory designs of "0DN" and "0DO" set nothing aside (a replace scratches
  // them). 1, or 0 with error().
  int begin_load(bool replace);
  int undo_load();
  int keep_load();

  // The checks of file() and work_field() on a definition, without a
  // number, a file opened or a record written: 1, or 0 with error().
  int check_file(const dd_file& def);
  // The ELEMENT records file() would write for `def` (their numbers and
  // stamps aside), by the same checks: 1, or 0 with error().
  int elements_of(const dd_file& def, std::vector<std::vector<uint8_t>>* elems);
  int check_work(const dd_field& def);
  // Whether `line` reads as a statement (as stmt() reads it): 1, or 0 with error().
  int check_stmt(const std::string& line);

  // FILE, its ELEMENT records and its INITIAL chunks. Returns the file's
  // first number, 0 on failure.
  uint32_t file(const dd_file& def);
  // A work field's ELEMENT in data area `area`; `number` 0 takes the next
  // free one. Returns the number, 0 on failure.
  uint32_t work_field(const dd_field& def, uint8_t area, uint32_t number = 0);
  // The next free number of data area `area`, marked taken; 0 on failure.
  uint32_t bit_search(uint8_t area);
  // Marks `number` taken; 0 when it was taken already or on failure.
  int bit_mark(uint32_t number);
  // Marks `number` taken for a later file or work field that names it, so
  // that numbers drawn before never land on it.
  int reserve(uint32_t number);

  // A record given whole (PROCESS, FRAME, IMAGE, ROW, ITEM, CHR, CHILD,
  // SELECT, TOKEN, PARAM). A PROCESS record gets its design stamp here. `len` 0
  // means the file's record length.
  int put(design_file f, uint8_t* rec, size_t len = 0);
  // A DOMAIN, RECORD or FIELD design record (key 0 in `rec`): it replaces
  // the stored one of its key, unless that one differs only in the bytes
  // the dictionary compiler sets (`compiled`, pairs of first and last
  // byte), so that only a changed record compiles at the next run. The
  // caller gives the record its null date.
  int put_design(design_file f, const uint8_t* rec, const std::vector<std::pair<size_t, size_t>>& compiled);

  // A statement line (80 columns) as the next statement of the event point
  // `key`: sequence numbers 1, 2, 3 ... per event point. A line that does
  // not fit its verb's layout is refused with its column in `error()`.
  int stmt(const stmt_key& key, const std::string& line);
  // The key and sequence (STMT bytes 0-51) of the statement stmt() wrote last.
  const std::string& last_stmt() const { return last_stmt_; }

  // A stamp later than every one given out before in this process.
  static ss_clock unique_stamp() { return next_unique_stamp(); }
  // Gives the PROCESS record of `key` (type, 30-character name) in `ap`/`ver`
  // a design stamp later than its own, so that a module compiled from its
  // earlier design is no longer taken. 1, also when the version holds no
  // such process; 0 with the file's status in *stat.
  static int restamp_process(const char* ap, const char* ver, const uint8_t* key, uint32_t scope, uint32_t* stat);
  // The two binaries of a new field or element: a unique stamp that is also
  // later than every pair the version's FIELD and ELEMENT records hold
  // already, so that a run started within the hundredths an earlier one ran
  // ahead of the clock does not draw that run's pairs again (a unique key
  // of ELEMENT).
  ss_clock new_binaries();

  // The stamp every FILE and ELEMENT written from now gets (default: now).
  void set_stamp(const ss_clock& c) { stamp_ = c; }

 private:
  int fail(const std::string& what);
  int write(design_file f, const uint8_t* rec, size_t len);
  bool element(const dd_field& f, const std::string& file, uint32_t number, uint32_t seq, uint16_t offset,
               uint8_t* elem);
  int take(uint32_t number);  // a reserved number, or one marked now
  bool lay_fields(const dd_file& def, uint32_t number, std::vector<std::vector<uint8_t>>* elems, uint32_t* end);
  bool key_slots(const dd_file& def, uint8_t* fi, std::vector<std::vector<uint8_t>>* elems);
  bool images(const std::vector<std::vector<uint8_t>>& elems, std::vector<uint8_t>* init, std::vector<uint8_t>* nulls);
  bool add_key(uint8_t* fi, const dd_field& f, uint8_t* elem, uint32_t seq);
  int outdate_file(const uint8_t* name);  // the FILE record's stamp null-dated
  int outdate_users(const uint8_t* dom);  // those of the fields of the DOMAIN `dom`
  bool put_initial(const std::string& name, const std::vector<uint8_t>& init, const std::vector<uint8_t>& nulls);
  // Later than every one given out before, and than `after`.
  static ss_clock next_unique_stamp(ss_clock after = {});

  char ap_[4], ver_[3];
  uint32_t scope_;
  ARB* arb_[kDesignFiles] = {};
  std::string error_;
  ss_clock stamp_{};
  bool described_ = false;  // record_structures has run
  bool dry_ = false;        // a check: no file is read for the binaries
  // The design files begin_load set aside, by design file: their names
  // then (8 characters), empty when the file was not there.
  std::string aside_[kDesignFiles];
  bool existed_[kDesignFiles] = {};  // there when begin_load began
  bool loading_ = false;             // begin_load ran and neither undo_load nor keep_load yet
  set_aside_run run_;                // the load's record, from begin_load to its end
  int name_files(std::string* dir, std::string* names, std::string* asides);
  bool lay_out(const dd_file& def, uint32_t number, uint32_t number2, uint8_t* fi,
               std::vector<std::vector<uint8_t>>* elems, std::vector<uint8_t>* init, std::vector<uint8_t>* nulls);
  int in_use_check(bool replace);
  int file_named(const dd_file& def);  // 1-8 characters
  int copy_back(design_file f);
  int read_stmt(const std::string& line, uint8_t* rec);  // the operands of an 80-column line
  std::set<uint32_t> reserved_;
  struct stmt_count {
    uint32_t lines = 0, seq = 0;  // lines written, the last one's sequence number
  };
  std::map<std::string, stmt_count> seq_;  // per event-point key
  std::string last_stmt_;
  bool binaries_read_ = false;  // binaries_floor_ holds the stored pairs' highest
  ss_clock binaries_floor_{};
};

}  // namespace kivo
