// Compiling a process into a module: the header from the PROCESS record and
// the PCF, the files, frames, children with their constraint templates,
// default selections and the code of every event point.
//
// Map: pc_cmpl (pc_cmpl.cpp: header, files, frames, event points);
// pc_cmpl_images (pc_cmpl_image.cpp: IM, IT, CR); pc_cmpl_totals
// (pc_cmpl_total.cpp: SR);
// pc_cmpl_children (pc_cmpl_child.cpp: CL records, INVOC templates,
// constraint templates); compiler_hooks.invoc_template, the hook through which the
// process engine gives its invocation template.
//
// Invariants: a module with a compile error is never handed out: pc_cmpl
// destroys it. Event-point entries are {block, offset} of code or 65535.
//
// Callers: the module loader (pl_get), tests.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "compiler/pc.h"
#include "compiler/sc.h"
#include "foundation/invoc.h"

namespace kivo {

struct PCB;

// The template the process engine keeps is compiler_hooks.invoc_template.

// The defaults of an invocation record into `out`.
void pc_invoc_defaults(INVOC* out);

// PROCESS record of `type`/`name` of `ap`/`ver` into `rec` (kProcRecSize).
// 1 found; else 0 with the status of the open or read in `stat` when given
// (a missing record or file, or a file that could not be read).
int pc_read_process(const char* ap, const char* ver, uint8_t type, const char* name, uint8_t* rec,
                    uint32_t* stat = nullptr);
// The PROCESS design reads made so far in this engine process (tests).
uint32_t pc_process_reads();

// Compiles the process named by the PCB's invocation in the PCB's language
// into a new module. The caller gives a zeroed context; on success
// ctx->em is the finished module (run-time tables built) and 1 is returned;
// on failure 0, no module is left and the errors are in the context (and in
// `errs`, statement by statement, when given). The module stays guarded
// (em_guard) until its taker's em_unguard or em_destroy.
int pc_cmpl(const PCB* pcb, PC_CTX* ctx, std::vector<sc_error>* errs = nullptr);

// ---- design records a process compile reads (pc_cmpl_read.cpp) ----

// Opens a design file of `ap`/`ver` ("0DN", "0DO": its memory file) for
// reading at the current level; null when it cannot be opened, with the
// open's status in `stat` when given.
ARB* pc_open_design(pc_dfdb_init init, const char* ap, const char* ver, uint32_t* stat = nullptr);

// A design file of the compile's application, open for one scope. A design
// holds files only for the kinds of records it has (the generated processes'
// memory designs, an application without frames): a file that does not
// exist reads as empty (`arb` null, ok() true). One that exists and does
// not open is a compile error naming it (ok() false).
struct pc_dsn_file {
  ARB* arb;
  bool absent = false;
  bool ok() const { return arb || absent; }
  pc_dsn_file(PC_CTX* ctx, pc_dfdb_init init);
  ~pc_dsn_file();
  pc_dsn_file(const pc_dsn_file&) = delete;
  pc_dsn_file& operator=(const pc_dsn_file&) = delete;
};

// Calls `f(record)` for each record of `arb` in the order of key 0 whose
// first `prefix` bytes equal those of `key` (a `len`-byte record image);
// stops at the first false. 1 when every call returned true (a null `arb`,
// an absent design file, has no records). A read that fails before the
// records end is 0 too, its status in `*failed` when that is given (else
// 0 there).
int pc_each_rec(ARB* arb, const uint8_t* key, size_t prefix, uint16_t len, bool (*f)(void*, const uint8_t*), void* arg,
                uint32_t* failed = nullptr);
template <class F>
int pc_each(ARB* arb, const uint8_t* key, size_t prefix, uint16_t len, F&& f, uint32_t* failed = nullptr) {
  auto tramp = [](void* a, const uint8_t* rec) -> bool { return (*static_cast<F*>(a))(rec); };
  return pc_each_rec(arb, key, prefix, len, tramp, &f, failed);
}
// pc_each over design file `init` of `ap` in a compile: a read that fails
// before the records end is the compile error that names the file.
template <class F>
int pc_each_design(PC_CTX* ctx, pc_dfdb_init init, const char* ap, ARB* arb, const uint8_t* key, size_t prefix,
                   uint16_t len, F&& f) {
  uint32_t failed = 0;
  const int ok = pc_each(arb, key, prefix, len, std::forward<F>(f), &failed);
  return failed ? pc_read_end(ctx, init, ap, failed) : ok;
}
// The FR record of design frame number `no`, the CL record of compiled
// child `no` (the file's own records), or null.
uint8_t* pc_frame(EM* em, uint32_t no);
uint8_t* pc_child(EM* em, uint32_t no);
// The access a file named by the process's statements is compiled with (a
// blank application in a statement is the process's own):
// kPcAccStmt when an OPEN or CREATE names it, kPcAccUpdate when WRITE,
// REWRITE, DELETE or SCRATCH does, else kPcAccRead.
uint8_t pc_stmt_access(PC_CTX* ctx, const uint8_t* ap, const uint8_t* name);

// ---- parts of the compile (pc_cmpl_child.cpp) ----

// Compiles the statements of event point `ep` of the owner whose STMT key
// bytes 0-43 are at `owner`; its TO row names `owner_no`. The entry of the
// code, or {65535, 0} when the event point has no statements (or failed:
// the error is in the context).
em_entry pc_cmpl_ep(PC_CTX* ctx, const uint8_t* owner, uint8_t ep, uint16_t owner_no, std::vector<sc_error>* errs);

// Appends the CL record of every CHILD of the process with its INVOC and
// constraint templates. 1 on success.
int pc_cmpl_children(PC_CTX* ctx);
// The IM, IT and CR records of the images of the FR record `fr` (the file's
// own record: its first image and image count are set). 1 on success.
int pc_cmpl_images(PC_CTX* ctx, uint8_t* fr);
// Conversions compiled for items and fields take their application's date
// mask and tokens from the current application, which at a first start is
// still blank: a compile runs as its process's application when that has
// an APPL record (the memory designs of a restructure have none and keep the
// session's), and gives the session's back, also when an error unwinds it.
// The image editor sizes its items the same way.
class pc_as_application {
 public:
  pc_as_application(const char* ap, const char* ver);
  ~pc_as_application();
  pc_as_application(const pc_as_application&) = delete;
  pc_as_application& operator=(const pc_as_application&) = delete;

 private:
  char ap_[3], ver_[2];
};

// Display rows and columns of an ITEM record `it` whose field (ELEMENT
// `elem`) shows `len` characters, in an image `img_cols` wide. Given sides
// are kept; a side to derive is rounded up, so the last row holds the rest.
void display_size(const uint8_t* it, const uint8_t* elem, uint32_t len, uint32_t img_cols, uint32_t* rows,
                  uint32_t* cols);
// The display rows and columns of ITEM `it` whose field is ELEMENT `elem`,
// in an image `img_cols` wide, as the compiled item takes them: 1, or 0
// with the conversion's status in `status` when the field's display does
// not compile.
int pc_item_size(const uint8_t* it, const uint8_t* elem, uint32_t img_cols, uint32_t* rows, uint32_t* cols,
                 uint32_t* status);
// Whether ITEM `it`, `rows` x `cols` from its row and column, ends inside
// an image of `img_rows` x `img_cols`, as the compile requires.
bool pc_item_inside(const uint8_t* it, uint32_t rows, uint32_t cols, uint32_t img_rows, uint32_t img_cols);
// Whether CHR `ch` lies inside such an image, as the compile requires.
bool pc_chr_inside(const uint8_t* ch, uint32_t img_rows, uint32_t img_cols);
// The SR records of the TOTAL statements' source fields when the FR record
// is a total frame. 1 on success.
int pc_cmpl_totals(PC_CTX* ctx, const uint8_t* fr);
// The image index of image `no` of compiled frame `frm`; 0 when none.
uint32_t pc_image_index(EM* em, uint32_t frm, uint8_t no);

// Compiles the children's event points 61 and 62 into their CL records.
int pc_cmpl_children_code(PC_CTX* ctx, std::vector<sc_error>* errs);

}  // namespace kivo
