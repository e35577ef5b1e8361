// The standard descriptors 0, 1 and 2 of a program that may have been
// started with some of them closed.
//
// A descriptor left closed is the next one open(2) hands out: the first file
// the program opens would become its standard input or output, and its
// screen or its messages would be written into that file. So every
// executable of the project calls os_std_descriptors first thing, before it
// opens anything; header-only, so that a tool linking no library of the
// engine can call it too.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kivo {

// Bit n set: descriptor n was closed when the program started (it is open
// on the null device since). Filled by os_std_descriptors.
inline unsigned& os_std_closed() {
  static unsigned closed = 0;
  return closed;
}

// Opens each of the descriptors 0, 1 and 2 that is closed on the null
// device (0 for reading, 1 and 2 for writing) and notes it in
// os_std_closed. A descriptor that cannot be made safe ends the program at
// once with status 1: nothing it opened could be told from its terminal.
inline void os_std_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower descriptors are open, so the open takes this one.
    const int got = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (got != fd) {
      static const char kLine[] = "standard descriptor closed and /dev/null cannot be opened\n";
      if (fd != 2) static_cast<void>(write(2, kLine, sizeof kLine - 1));
      _exit(1);
    }
    os_std_closed() |= 1u << fd;
  }
}

// Whether descriptor `fd` is open on the null device, as a closed one is
// made to be: standard input there gives no key, ever.
inline bool os_std_is_null(int fd) {
  struct stat on, null;
  return fstat(fd, &on) == 0 && S_ISCHR(on.st_mode) && stat("/dev/null", &null) == 0 && on.st_rdev == null.st_rdev;
}

// Why descriptor 0 cannot be the terminal's input or 1 its output (closed
// when the program started, or open without the access a terminal needs);
// null when both can.
inline const char* os_std_terminal_fault() {
  if (os_std_closed() & 1u) return "its standard input (descriptor 0) was closed";
  if (os_std_closed() & 2u) return "its standard output (descriptor 1) was closed";
  const int in = fcntl(0, F_GETFL), out = fcntl(1, F_GETFL);
  if (in == -1 || (in & O_ACCMODE) == O_WRONLY) return "its standard input (descriptor 0) cannot be read";
  if (out == -1 || (out & O_ACCMODE) == O_RDONLY) return "its standard output (descriptor 1) cannot be written";
  return nullptr;
}

}  // namespace kivo
