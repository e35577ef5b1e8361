// The base name the flat-file tools and the analyser share: the data file is
// "<B>.dat", the flat file B itself.
#include <strings.h>

#include <cstring>

#include "store/flat_file.h"

namespace kivo {

std::string brf_strip_ext(const char* name) {
  size_t n = strlen(name);
  while (n > 0 && name[n - 1] == ' ') --n;
  if (n >= 4 && strncasecmp(name + n - 4, ".dat", 4) == 0) n -= 4;
  return std::string(name, n);
}

}  // namespace kivo
