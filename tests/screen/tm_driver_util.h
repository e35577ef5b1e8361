// Running the driver program in a data directory: through tmux (typed
// keys) or on a pseudo-terminal (scripts, signals, output bytes).
#pragma once

#include <fstream>
#include <memory>
#include <string>

#include "term_harness.h"
#include "tm_test_util.h"

namespace kivo_test {

// Two fields inside a frame, and a marker text to wait for.
constexpr const char* kTwoFields =
    "text 1 1 READY\nfield 3 11 10\nfield 5 11 5\nframe 3 10 5 20 88000000\ncursor 3 11\n";

struct driver_run {
  data_dir dir;
  explicit driver_run(const std::string& commands = kTwoFields) { write("cmds", commands); }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(dir.file(name), std::ios::binary) << text;
  }
  std::string read(const std::string& name) const { return slurp(dir.file(name)); }
  std::string command(const std::string& result = "res") const { return std::string(TM_DRIVER) + " cmds " + result; }
  std::unique_ptr<tmux_pane> tmux(const env_list& env = {}, int cols = 80, const std::string& result = "res") const {
    env_list all = {{"TERM", "screen"}, {"HOME", "hm"}};
    all.insert(all.end(), env.begin(), env.end());
    return std::make_unique<tmux_pane>(command(result), dir.path, all, cols, 24);
  }
  std::unique_ptr<pty_child> pty(const env_list& env = {}, const std::string& result = "res") const {
    env_list all = {{"TERM", "xterm"}, {"HOME", "hm"}};
    all.insert(all.end(), env.begin(), env.end());
    return std::make_unique<pty_child>(std::vector<std::string>{TM_DRIVER, "cmds", result}, dir.path, all);
  }
};

}  // namespace kivo_test
