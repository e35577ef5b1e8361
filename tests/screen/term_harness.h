// Screens under test: a tmux pane of fixed size on a private server, and a
// child process on a pseudo-terminal whose output bytes are kept. Both wait
// on what the screen shows, within a time limit.
#pragma once

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kivo_test {

using env_list = std::vector<std::pair<std::string, std::string>>;

// The environment of an engine on the installation in `dir` under tmux:
// snapshots in `dir`/`tst`, the system-error log and the trace beside them.
inline env_list engine_env(const std::string& dir, const std::string& tst = "tst") {
  return {{"TERM", "tmux-256color"},
          {"HOME", dir},
          {"KIVOPATH", dir},
          {"KIVO_0SA_PATH", dir},
          {"KIVO_TST_DIR", dir + "/" + tst},
          {"KIVO_SYS_ERR_LOG", dir + "/syserr"},
          {"KIVO_TRACE_FILE", dir + "/trace"}};
}

#ifdef FAIL_WRITES
// The environment under which every write to a file whose path holds `part`
// finds the disk full while the file `trigger` exists
// (tests/fixtures/fail_writes.cpp).
inline env_list disk_full_env(const std::string& trigger, const std::string& part) {
  return {{"LD_PRELOAD", FAIL_WRITES},
          {"KVTEST_FAIL_WRITES", trigger},
          {"KVTEST_FAIL_PATH", part},
          {"KVTEST_FAIL_ERRNO", "28"},
          {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}};
}
#endif

inline std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

inline std::string run_output(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The exit status of shell command `cmd`, all it wrote (standard output and
// error) in `out`.
inline int run_status(const std::string& cmd, std::string* out) {
  *out = run_output("(" + cmd + ") 2>&1; echo $?");
  const size_t end = out->rfind('\n', out->size() - 2), at = end == std::string::npos ? 0 : end + 1;
  const int status = atoi(out->c_str() + at);
  return out->erase(at), status;
}

// `program args` started in `dir` with `env` added (through `as`, a command
// that runs it as another user, when given), standard input empty, standard
// output and error into `out`: its process id, the program's own (the shell
// and env run it in their place).
inline pid_t start_program(const std::string& dir, const std::string& program, const env_list& env,
                           const std::string& args, const std::string& out, const std::string& as = "") {
  std::string line = "cd " + shell_quote(dir) + " && exec " + as + " env";
  for (const auto& [k, v] : env) line += " " + shell_quote(k + "=" + v);
  line += " " + shell_quote(program) + " " + args + " </dev/null >" + shell_quote(out) + " 2>&1";
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// The exit status of a program start_program started, 128 + the signal that
// ended it.
inline int program_status(pid_t pid) {
  int st = 0;
  if (waitpid(pid, &st, 0) != pid) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Seconds a screen test waits for what it expects: only a fault waits so
// long, even on a machine loaded by a parallel build and sanitizer runs.
constexpr double kScreenWait = 30;

// Polls `done` every 20 ms until it holds or `seconds` pass.
template <class F>
bool wait_until(F done, double seconds) {
  auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A screen's text without blanks, line ends and the sides of frames: a
// message the screen wraps, in a window or not, is found whatever the
// lengths of the paths in it.
inline std::string squeezed(std::string s) {
  for (size_t at; (at = s.find("\u2502")) != std::string::npos;) s.erase(at, 3);
  std::erase_if(s, [](char c) { return c == ' ' || c == '\n' || c == '|'; });
  return s;
}

// A tmux session "k" on its own server, running `cmd` in `dir`; the pane
// stays after the command ends so that its exit status can be read.
class tmux_pane {
 public:
  tmux_pane(const std::string& cmd, const std::string& dir, const env_list& env, int cols = 80, int rows = 24) {
    sock_ = "kivo_" + std::to_string(getpid()) + "_" + std::to_string(++serial());
    conf_ = "/tmp/" + sock_ + ".conf";
    bells_ = "/tmp/" + sock_ + ".bells";
    std::ofstream(conf_) << "set -g remain-on-exit on\nset -g default-terminal screen\nset -g status off\n"
                         << "set-hook -g alert-bell \"run-shell 'echo >>" << bells_ << "'\"\n";
    status_ = "/tmp/" + sock_ + ".status";
    // The shell keeps the exit status: tmux does not always reap its pane's
    // child, and then never records a status of its own.
    std::string line = "cd " + shell_quote(dir) + " && env";
    for (auto& [k, v] : env) line += " " + shell_quote(k + "=" + v);
    line += " " + cmd + "; echo $? > " + status_ + ".new && mv " + status_ + ".new " + status_;
    tmux("-f " + conf_ + " new-session -d -x " + std::to_string(cols) + " -y " + std::to_string(rows) + " -s k " +
         shell_quote(line));
  }
  ~tmux_pane() {
    // A command still running is ended by SIGTERM and awaited before the
    // server goes: the server's hangup comes with a SIGCONT, which can catch
    // a sanitizer build's leak check at exit as it stops the process, and
    // leave that process spinning for ever.
    if (!std::ifstream(status_)) {
      kill_command(SIGTERM);
      if (exit_status(10) == -1) kill_command(SIGKILL);
    }
    tmux("kill-server");
    unlink(conf_.c_str());
    unlink(status_.c_str());
    unlink(bells_.c_str());
  }
  tmux_pane(const tmux_pane&) = delete;
  tmux_pane& operator=(const tmux_pane&) = delete;

  // Text as typed; "--" keeps a text such as "-5" from being read as a flag.
  void send_text(const std::string& text) { tmux("send-keys -t k -l -- " + shell_quote(text)); }
  // Keys by tmux's names ("F1", "S-F2", "BSpace").
  void send_keys(const std::string& names) { tmux("send-keys -t k " + names); }
  void send_hex(const std::string& bytes) {
    std::string hex;
    char b[4];
    for (unsigned char c : bytes) {
      snprintf(b, sizeof b, "%02x ", c);
      hex += b;
    }
    tmux("send-keys -t k -H " + hex);
  }
  std::string capture() { return tmux("capture-pane -p -t k"); }
  // The terminal resized, as a user drags its window.
  void resize(int cols, int rows) {
    tmux("resize-window -t k -x " + std::to_string(cols) + " -y " + std::to_string(rows));
  }
  // A tmux format of the pane ("#{window_bell_flag}": 1 once the bell rang).
  std::string display(const std::string& format) {
    std::string out = tmux("display-message -p -t k " + shell_quote(format));
    return out.erase(out.find_last_not_of('\n') + 1);
  }
  // The bells the command rang so far, as tmux counted them (bells close
  // together may count once): a wait for the next one waits for the count
  // to grow.
  int bells() {
    std::ifstream in(bells_);
    int n = 0;
    for (std::string l; std::getline(in, l);) ++n;
    return n;
  }
  // With the lines scrolled off the top.
  std::string capture_history() { return tmux("capture-pane -p -S - -t k"); }
  // With the attributes as escape sequences.
  std::string capture_escapes() { return tmux("capture-pane -e -p -t k"); }
  // The cursor as "row col", 1-based.
  std::string cursor() {
    std::istringstream in(tmux("display-message -p -t k '#{cursor_y} #{cursor_x}'"));
    int r = 0, c = 0;
    in >> r >> c;
    return std::to_string(r + 1) + " " + std::to_string(c + 1);
  }
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    std::string all = capture();
    for (size_t at = 0, nl; at < all.size(); at = nl + 1) {
      nl = all.find('\n', at);
      if (nl == std::string::npos) nl = all.size();
      out.push_back(all.substr(at, nl - at));
    }
    return out;
  }
  // Screen row r (1-based) without its trailing blanks, and as captured
  // with its attributes as escape sequences.
  std::string row(size_t r) {
    auto l = lines();
    std::string s = r <= l.size() ? l[r - 1] : "";
    return s.erase(s.find_last_not_of(' ') + 1);
  }
  std::string attr_row(size_t r) {
    std::istringstream in(capture_escapes());
    std::string l;
    for (size_t i = 0; i < r && std::getline(in, l); ++i) {}
    return l;
  }
  bool wait_for(const std::string& text, double seconds = kScreenWait) {
    return wait_until([&] { return capture().find(text) != std::string::npos; }, seconds);
  }
  // Sends `sig` to the command (the children of the pane's shell).
  void kill_command(int sig) {
    const std::string pid = tmux("display-message -p -t k '#{pane_pid}'");
    std::ifstream in("/proc/" + std::to_string(atoi(pid.c_str())) + "/task/" + std::to_string(atoi(pid.c_str())) +
                     "/children");
    for (int child; in >> child;) kill(child, sig);
  }
  // The command's exit status once it ended (128 + the signal for one a
  // signal ended); -1 when it did not end in time.
  int exit_status(double seconds = kScreenWait) {
    int status = -1;
    wait_until(
        [&] {
          std::ifstream in(status_);
          return bool(in >> status);
        },
        seconds);
    return status;
  }

 private:
  static int& serial() {
    static int n = 0;
    return n;
  }
  std::string tmux(const std::string& args) { return run_output("tmux -L " + sock_ + " " + args + " 2>/dev/null"); }
  std::string sock_, conf_, status_, bells_;
};

// Escape, then `key` once the command has rung the bell for the Escape
// alone: the pause between them is one the command saw, not a guess at a
// time. `literal`: `key` is text to type. False when no bell came.
inline bool lone_escape_then(tmux_pane& p, const std::string& key, bool literal = false) {
  const int bells = p.bells();
  p.send_keys("Escape");
  if (!wait_until([&] { return p.bells() > bells; }, kScreenWait)) return false;
  literal ? p.send_text(key) : p.send_keys(key);
  return true;
}

// A child on a pseudo-terminal of rows x cols; everything it writes is kept.
class pty_child {
 public:
  pty_child(const std::vector<std::string>& argv, const std::string& dir, const env_list& env, int rows = 24,
            int cols = 80) {
    winsize ws{static_cast<unsigned short>(rows), static_cast<unsigned short>(cols), 0, 0};
    pid_ = forkpty(&master_, nullptr, nullptr, &ws);
    if (pid_ == 0) {
      if (chdir(dir.c_str()) != 0) _exit(126);
      for (auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~pty_child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  pty_child(const pty_child&) = delete;
  pty_child& operator=(const pty_child&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& output() const { return out_; }
  void send(const std::string& bytes) {
    if (write(master_, bytes.data(), bytes.size()) < 0) {}
  }
  bool wait_for(const std::string& text, double seconds = kScreenWait) {
    return wait_until([&] { return drain(), out_.find(text) != std::string::npos; }, seconds);
  }
  // The exit status (or 128 + signal); -1 when the child did not end in time.
  int finish(double seconds = kScreenWait) {
    int status = 0;
    bool ended = wait_until(
        [&] {
          drain();
          return waitpid(pid_, &status, WNOHANG) == pid_;
        },
        seconds);
    if (!ended) return -1;
    reaped_ = true;
    drain();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  void drain() {
    pollfd p{master_, POLLIN, 0};
    char buf[4096];
    while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out_.append(buf, static_cast<size_t>(n));
    }
  }
  pid_t pid_ = -1;
  int master_ = -1;
  bool reaped_ = false;
  std::string out_;
};

}  // namespace kivo_test
