// The record a bootstrap keeps of its run, "bootstrap.run" in the
// installation's root: it keeps two runs apart (a lock on it lasts while its
// process lives) and lists the native files found, before anything was
// made, in the folders the run writes. A run that ends well removes it; one
// killed part-way or ended by system errors leaves it, and the next run
// removes every native file (".dat", ".key") of those folders that the
// list does not name, so that it starts again from the distribution as it
// was.
//
// Callers: the bootstrap's driver (bs_boot.cpp), tests.
#pragma once

#include <string>
#include <vector>

namespace kivo {

// The record's name in the root.
constexpr char kBootRunFile[] = "bootstrap.run";

// What an unfinished run left in `root` removed (said in one line), before
// the engine's start opens any file: the file manager must never hold a
// file this removes. Nothing when no run left a record, or one runs.
void bs_finish_unfinished(const std::string& root);

class bs_guard {
 public:
  bs_guard() = default;
  bs_guard(const bs_guard&) = delete;
  bs_guard& operator=(const bs_guard&) = delete;
  ~bs_guard();

  // Takes the record in `root` for a run that writes into `dirs` and makes
  // the native files `made` (paths without extension). What an earlier run
  // left is removed first (said in one line on standard output). False,
  // with *why, when the run must not start: another bootstrap runs here,
  // one of `made` exists already (the applications are built here), or the
  // record cannot be written; nothing of the installation is changed then.
  bool begin(const std::string& root, const std::vector<std::string>& dirs, const std::vector<std::string>& made,
             std::string* why);
  // The run's end: a run that ended well removes the record; one that did
  // not keeps it for the next run. The lock goes either way.
  void end(bool complete);

 private:
  void release();
  int fd_ = -1;
  std::string path_;
};

}  // namespace kivo
