#include "link/http_libs.h"

#include <dlfcn.h>

namespace {

// The shared object names come from the build (the libraries it was built against).
void* open(const char* soname, std::string& error) {
  void* lib = dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!lib) error = std::string("cannot load ") + soname + ": " + dlerror();
  return lib;
}

template <typename T>
bool find(void* lib, const char* soname, const char* name, T& member, std::string& error) {
  member = reinterpret_cast<T>(dlsym(lib, name));
  if (!member) error = std::string(soname) + " has no " + name;
  return member != nullptr;
}

}  // namespace

#define QUORVEL_API_FIND(member, function) \
  if (!find(lib, soname, #function, api.member, error)) return api = {}, false;

bool curlLoad(CurlApi& api, std::string& error) {
  const char* soname = QUORVEL_CURL_SONAME;
  void* lib = open(soname, error);
  if (!lib) return false;
  QUORVEL_CURL_FUNCTIONS(QUORVEL_API_FIND)
  return true;
}

bool mhdLoad(MhdApi& api, std::string& error) {
  const char* soname = QUORVEL_MHD_SONAME;
  void* lib = open(soname, error);
  if (!lib) return false;
  QUORVEL_MHD_FUNCTIONS(QUORVEL_API_FIND)
  return true;
}
