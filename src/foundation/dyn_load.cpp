// Shared libraries of external routines: each library is opened once and
// each of its functions looked up once; both live until the library is
// unloaded. Failures are written to the debug log (mask 2) for the caller
// to report.
#include <dlfcn.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/os.h"

namespace kivo {

struct ss_lib {
  std::string path;
  void* handle;
  struct fn {
    std::string name;
    void* address;
  };
  std::vector<fn> fns;
};

namespace {

std::vector<std::unique_ptr<ss_lib>> lib_list;

// "library,function" without trailing blanks, split at the first comma.
bool split_spec(const cstr* spec, std::string* lib, std::string* fn) {
  if (!spec || !spec->ptr) return false;
  std::string s(spec->ptr, strnlen(spec->ptr, spec->len));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  size_t comma = s.find(',');
  if (comma == std::string::npos) return false;
  *lib = s.substr(0, comma);
  *fn = s.substr(comma + 1);
  return true;
}

}  // namespace

ss_lib* ss_load_lib(const char* dir, const char* name) {
  std::string path = name;
  if (dir) {
    std::string d = dir;
    path = d + (d.empty() || d.back() != '/' ? "/" : "") + name;
  }
  for (auto& lib : lib_list)
    if (lib->path == path) return lib.get();
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_GLOBAL);
  if (!handle) {
    const char* err = dlerror();
    dbg_log(2, "dynamic load of %s failed with %s\n", path.c_str(), err ? err : "");
    return nullptr;
  }
  lib_list.push_back(std::make_unique<ss_lib>(ss_lib{path, handle, {}}));
  return lib_list.back().get();
}

void* ss_load_fn(ss_lib* lib, const char* name) {
  if (!lib) return nullptr;
  for (auto& f : lib->fns)
    if (f.name == name) return f.address;
  dlerror();
  void* address = dlsym(lib->handle, name);
  if (!address) {
    const char* err = dlerror();
    dbg_log(2, "load of function %s failed with error %s\n", name, err ? err : "");
    return nullptr;
  }
  lib->fns.push_back(ss_lib::fn{name, address});
  return address;
}

void ss_unload_lib(ss_lib* lib) {
  for (auto it = lib_list.begin(); it != lib_list.end(); ++it) {
    if (it->get() != lib) continue;
    dlclose(lib->handle);
    lib_list.erase(it);
    return;
  }
}

int ss_dyn_load(const cstr* spec, void** address) {
  std::string lib_name, fn_name;
  *address = nullptr;
  if (!split_spec(spec, &lib_name, &fn_name)) return 0;
  ss_lib* lib = ss_load_lib(nullptr, lib_name.c_str());
  if (!lib) return 0;
  *address = ss_load_fn(lib, fn_name.c_str());
  return *address != nullptr;
}

void ss_dyn_free(const cstr* spec) {
  std::string lib_name, fn_name;
  if (!split_spec(spec, &lib_name, &fn_name)) return;
  for (auto& lib : lib_list) {
    if (lib->path == lib_name) {
      ss_unload_lib(lib.get());
      return;
    }
  }
}

int ss_lib_count() { return static_cast<int>(lib_list.size()); }

}  // namespace kivo
