// A change of several native files of one folder that can be undone (a
// design load): before it writes anything it sets each file it replaces
// aside under a name of its own, and it keeps a record of the change in
// the folder ("setaside.run") while it runs, locked as long as its process
// lives. A change that ends, kept or undone, removes the record; one whose
// process was killed leaves it, and the next process that uses the folder
// finishes it:
//
//   - when the change had not marked its new files whole, each file set
//     aside is put back, part by part, over what the change wrote, and
//     each file the change made is removed: the folder is as it was, byte
//     for byte;
//   - when it had, the files set aside are removed.
//
// Either is said in one line. Files a living process has open are never
// replaced under it: the record then waits for a run that finds them free.
//
// Callers: the design load (design/design_builder.cpp); the native
// back-end, at the first file of a folder a process uses (unix_fm_file.cpp).
#pragma once

#include <string>
#include <vector>

namespace kivo {

// The record's name in the folder.
constexpr char kSetAsideFile[] = "setaside.run";

// A file of the change, by its name in the folder (without ".dat" or
// ".key"): set aside under `aside`, or, with `aside` empty, made by it.
struct set_aside_file {
  std::string name;
  std::string aside;
};

class set_aside_run {
 public:
  set_aside_run() = default;
  set_aside_run(const set_aside_run&) = delete;
  set_aside_run& operator=(const set_aside_run&) = delete;
  // The lock goes; the record stays unless end() removed it.
  ~set_aside_run();

  // Takes the record of folder `dir` (made when missing; end() takes away
  // what it made and stays empty) for a change described by `what` ("the
  // load of INV/01"). What a dead change left there is finished
  // first (and said). False with *why, nothing changed: another process
  // holds the record, the dead change's files are in use or cannot be put
  // back, or the record cannot be written.
  bool begin(const std::string& dir, const std::string& what, std::string* why);
  // Lists every file of the change, before the first is touched; whether
  // each file set aside has a key file is noted from the folder now.
  bool plan(const std::vector<set_aside_file>& files, std::string* why);
  // Every file the change wrote is whole: from now a finish removes the
  // files set aside rather than putting them back.
  bool written();
  // The change is over, kept or undone: the record goes.
  void end();

 private:
  bool append(const std::string& text);
  void release();
  int fd_ = -1;
  std::string dir_;
  std::string made_;  // the first folder of dir_ that begin made, if any
  size_t size_ = 0;
};

// What a dead change left in folder `dir` finished, as above: once per
// folder and process, before the first file of the folder is used.
// Nothing when the folder holds no record or a living process holds it.
void set_aside_finish(const std::string& dir);

}  // namespace kivo
