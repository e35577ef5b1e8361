// Started by the test listener in place of an engine: writes what it was
// given on the connection named by its -f=N argument and ends. The line is
// "<arguments after the program name> |KIVO_DATA_SERVER=<value or unset>\n".
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  int fd = -1;
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "-f=", 3) == 0) fd = atoi(argv[i] + 3);
    line += argv[i];
    line += ' ';
  }
  const char* ds = getenv("KIVO_DATA_SERVER");
  line += std::string("|KIVO_DATA_SERVER=") + (ds ? ds : "unset") + "\n";
  if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 3;
  return 0;
}
