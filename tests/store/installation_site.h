// A copy of the shipped installation for tests that meet damaged files as a
// user meets them: the real kivo and its utilities run in it, and its
// CUSTOMER file is filled with customers through the import.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "store_test_util.h"

namespace kivo::test {

using kivo_test::shell_quote;
using kivo_test::slurp;
using kivo_test::tmux_pane;

constexpr char kCustomer[] = "DEM/DEM/Data/CUSTOMER";
constexpr double kEngineWait = 60;  // only a hung engine takes so long

// A CUSTOMER record as CUSTOMER ENTRY writes it: number (6), name (30),
// balance packed with 2 decimals (5), customer since (4, no date).
inline std::string customer(const std::string& number, const std::string& name) {
  std::string r = number;
  r.resize(6, ' ');
  r += name;
  r.resize(36, ' ');
  return r + std::string("\0\0\0\x12\x0c\xff\xff\xff\xff", 9);
}
inline std::vector<std::string> numbered(int n) {
  std::vector<std::string> out;
  char no[16];  // any int the format may meet
  for (int i = 1; i <= n; ++i)
    snprintf(no, sizeof no, "C%04d", i), out.push_back(customer(no, std::string("Name ") + no));
  return out;
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct run_result {
  int status = -1;
  std::string out, err;
};

// A copy of the shipped installation, with the engine and its utilities run
// in it.
struct site {
  scratch_dir dir;
  site() {
    EXPECT_TRUE(kivo_test::copy_shipped_installation(run()));
    EXPECT_EQ(mkdir(dir.file("prt").c_str(), 0700) | mkdir((run() + "/tst").c_str(), 0700), 0);
  }
  std::string run() const { return dir.file("run"); }
  std::string file(const std::string& rel) const { return run() + "/" + rel; }
  kivo_test::env_list env(kivo_test::env_list extra = {}) const {
    kivo_test::env_list e = kivo_test::engine_env(run());
    e.insert(e.end(), {{"KIVO_PRT_FI_DIR", dir.file("prt") + "/"}, {"KIVO_FAKE_TIME", "2026120709300000"}});
    e.insert(e.end(), extra.begin(), extra.end());
    return e;
  }
  std::unique_ptr<tmux_pane> engine(const std::string& args, kivo_test::env_list extra = {}) const {
    return std::make_unique<tmux_pane>(shell_quote(KIVO_BINARY) + " " + args, run(), env(extra));
  }
  // An unattended session of the demonstration; its exit status.
  int scripted(const std::string& script) const {
    write_bytes(dir.file("script"), script);
    return engine("-d=DEM", {{"KIVO_SCRIPT_IN", dir.file("script")}})->exit_status(kEngineWait);
  }
  // kivo with `args` in the installation (in its folder `in`), `redirect`
  // added to its command line and `extra` to its environment; bounded, as a
  // session without a terminal must end.
  run_result kivo(const std::string& args, const std::string& redirect = "", const std::string& in = ".",
                  kivo_test::env_list extra = {}) const {
    std::string cmd = "cd " + shell_quote(file(in)) + " && env";
    for (const auto& [k, v] : env(extra)) cmd += " " + shell_quote(k + "=" + v);
    cmd += " timeout 60 " + shell_quote(KIVO_BINARY) + " " + args + " >" + shell_quote(dir.file("out")) + " 2>" +
           shell_quote(dir.file("err")) + " " + redirect;
    const int st = system(cmd.c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(dir.file("out")), slurp(dir.file("err"))};
  }
  // CUSTOMER holding `records`, in that order, through kivo -i, and its key
  // file built by the engine's first open of it.
  void customers(const std::vector<std::string>& records) const {
    const std::string base = file(kCustomer);
    unlink((base + ".dat").c_str());
    unlink((base + ".key").c_str());
    std::string flat;
    for (const std::string& r : records) flat += r + "\n";
    write_bytes(base, flat);
    ASSERT_EQ(kivo(std::string("-i=") + kCustomer).status, 0);
    unlink(base.c_str());
    ASSERT_EQ(scripted("#ENTER\n#END\n#END\n"), 0);
    ASSERT_EQ(kivo(std::string("-v=") + kCustomer).status, 1);
  }
  // `n` customers C0001... added through CUSTOMER ENTRY to the shipped
  // CUSTOMER, which the engine made: fixed-length, 45-byte records.
  void added(int n) const {
    std::string script = "#ENTER\n#ADD MODE\n";
    char line[64];
    for (int i = 1; i <= n; ++i) snprintf(line, sizeof line, "C%04d\n#TAB\nName C%04d\n#ENTER\n", i, i), script += line;
    ASSERT_EQ(scripted(script + "#END\n#END\n"), 0);
    ASSERT_EQ(kivo(std::string("-v=") + kCustomer).status, 1);
  }
  // The customer numbers the customer list prints, once a session printed it.
  std::vector<std::string> listed() const {
    EXPECT_EQ(system(("rm -f " + shell_quote(dir.file("prt")) + "/*").c_str()), 0);
    EXPECT_EQ(scripted("#DOWN\n#ENTER\n#END\n"), 0);
    std::vector<std::string> out;
    const std::regex line("^C[0-9]{4} ", std::regex::ECMAScript | std::regex::multiline);
    for (const auto& e : std::filesystem::directory_iterator(dir.file("prt"))) {
      const std::string text = slurp(e.path().string());
      if (e.path().string().find(".cfg") != std::string::npos) continue;
      for (std::sregex_iterator m(text.begin(), text.end(), line), end; m != end; ++m)
        out.push_back(m->str(0).substr(0, 5));
    }
    return out;
  }
  // Every file of the installation and its bytes.
  std::map<std::string, std::string> contents() const {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(run()))
      if (e.is_regular_file()) out[e.path().string()] = slurp(e.path().string());
    return out;
  }
};

}  // namespace kivo::test
