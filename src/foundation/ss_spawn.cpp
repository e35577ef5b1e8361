// Running commands: shell commands the user asked for, calls of external
// routines with a counted argument list, and background jobs.
//
// A background job's options come from values the user controls (session,
// priority, queue, user name), so the submit script (and the print script)
// is started with fork and exec and each option is one argument: blanks and
// shell characters pass as data.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "foundation/os.h"
#include "foundation/paths.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

int decode_status(int st) {
  if (st == -1) return -1;
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  if (WIFSTOPPED(st)) return 256 + WSTOPSIG(st);
  return st;
}

template <size_t... I>
intptr_t call_n(void* fn, const intptr_t* a, std::index_sequence<I...>) {
  using F = intptr_t (*)(decltype(I, intptr_t{})...);
  return reinterpret_cast<F>(fn)(a[I]...);
}

template <size_t N>
intptr_t call_fixed(void* fn, const intptr_t* a) {
  return call_n(fn, a, std::make_index_sequence<N>{});
}

std::string trimmed(const char* p, size_t n) {
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
  return std::string(p, n);
}

// A command the engine starts meets the file-size limit as the system
// leaves it, not with the engine's own ignoring of SIGXFSZ.
struct xfsz_default {
  struct sigaction was {};
  xfsz_default() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGXFSZ, &dfl, &was);
  }
  ~xfsz_default() { sigaction(SIGXFSZ, &was, nullptr); }
};

}  // namespace

int ss_spawn(const cstr* command, int* status) {
  std::string cmd(command->ptr ? command->ptr : "", command->ptr ? command->len : 0);
  xfsz_default dfl;
  *status = decode_status(system(cmd.c_str()));
  return 1;
}

int os_spawn(const cstr* command, int* status) { return ss_spawn(command, status); }

intptr_t ss_call(const intptr_t* args, void* fn) {
  using caller = intptr_t (*)(void*, const intptr_t*);
  static const caller kCallers[17] = {call_fixed<0>,  call_fixed<1>,  call_fixed<2>,  call_fixed<3>,  call_fixed<4>,
                                      call_fixed<5>,  call_fixed<6>,  call_fixed<7>,  call_fixed<8>,  call_fixed<9>,
                                      call_fixed<10>, call_fixed<11>, call_fixed<12>, call_fixed<13>, call_fixed<14>,
                                      call_fixed<15>, call_fixed<16>};
  const intptr_t n = args[0];
  if (n < 0 || n > 16) {
    sys_err("SSUNIX", __LINE__, "ss_call - %ld arguments, at most 16", static_cast<long>(n));
    return 0;
  }
  return kCallers[n](fn, args + 1);
}

intptr_t os_call(const intptr_t* args, void* fn) { return ss_call(args, fn); }

int ss_run_script(const char* script, const char* const* args, size_t n) {
  std::string path(com.data_dir.ptr ? com.data_dir.ptr : "", com.data_dir.ptr ? com.data_dir.len : 0);
  path += '/';
  path += script;
  // The shell only runs the script (so one without an interpreter line still
  // runs as a shell script); the arguments reach it as "$@", never as text.
  std::vector<char*> argv = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                             const_cast<char*>("exec \"$0\" \"$@\""), path.data()};
  for (size_t i = 0; i < n; ++i) argv.push_back(const_cast<char*>(args[i]));
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    signal(SIGXFSZ, SIG_DFL);
    execv("/bin/sh", argv.data());
    _exit(127);
  }
  int st;
  while (waitpid(pid, &st, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return st;
}

int ss_submit(const char* session, const SUBMIT_BLK* blk) {
  static const char* const kModes[5] = {"INVALID", "HOLD", "SPOOL", "KEEP", "ONLINE"};
  if (blk->mode > 4 && blk->mode != 255) {
    sys_err("SSUNIX", __LINE__, "Invalid SUBMIT MODE value (%d)", blk->mode);
    return -1;
  }
  const char* mode = blk->mode == 255 ? "" : kModes[blk->mode];
  const char* notify = blk->notify == ' ' ? "" : blk->notify == '1' ? "Yes" : "No";
  std::string date;
  if (blk->day != 0xFFFFFFFFu) {
    char digits[16];
    ss_clock c{blk->day, blk->hsec};
    ss_host_time(digits, &c);
    date.assign(digits, 16);
  }
  // Without a user record the user is empty, never a read through null.
  std::string user = com.user_rec ? trimmed(reinterpret_cast<const char*>(com.user_rec) + 3, 80) : "";
  const char* script = getenv("KIVO_BG_SCRIPT");
  if (!script || !*script) script = "kivo_submit";

  cstr image = ss_info(10);
  std::vector<std::string> opts = {
      "-image=" + std::string(image.ptr, image.len),
      "-session=" + std::string(session, 8),
      std::string("-mode=") + mode,
      std::string("-notify=") + notify,
      "-date=" + date,
      "-priority=" + trimmed(blk->priority, 10),
      "-queue=" + trimmed(blk->queue, 10),
      "-user=" + user,
  };
  std::vector<const char*> args;
  for (auto& o : opts) args.push_back(o.c_str());
  return ss_run_script(script, args.data(), args.size());
}

int os_submit(const char* session, const SUBMIT_BLK* blk) { return ss_submit(session, blk); }

}  // namespace kivo
