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

// Each function looked up in turn; the first one missing ends the load.
#define QUORVEL_API_FIND(member, function) &&find(lib, soname, #function, api.member, error)

bool curlLoad(CurlApi& api, std::string& error) {
  const char* soname = QUORVEL_CURL_SONAME;
  void* lib = open(soname, error);
  if (lib QUORVEL_CURL_FUNCTIONS(QUORVEL_API_FIND)) return true;
  return api = {}, false;
}

bool mhdLoad(MhdApi& api, std::string& error) {
  const char* soname = QUORVEL_MHD_SONAME;
  void* lib = open(soname, error);
  if (lib QUORVEL_MHD_FUNCTIONS(QUORVEL_API_FIND)) return true;
  return api = {}, false;
}
