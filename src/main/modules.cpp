#include "main/modules.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace calbridge {

std::string programFolder() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string program(path, static_cast<std::size_t>(n));
  auto slash = program.rfind('/');
  return slash == std::string::npos ? std::string() : program.substr(0, slash);
}

std::string modulePath(std::string_view file) {
  const std::string folder = programFolder();
  if (folder.empty()) return {};
  const std::string name(file);
  for (std::string candidate : {folder + "/" + name, folder + "/../" CALBRIDGE_MODULE_SUBDIR "/" + name}) {
    if (::access(candidate.c_str(), R_OK) == 0) return candidate;
  }
  return {};
}

void* moduleSymbol(std::string_view file, const char* symbol, std::string* why) {
  const std::string path = modulePath(file);
  if (path.empty()) {
    if (why != nullptr) *why = std::string(file) + " is not installed beside calbridge";
    return nullptr;
  }
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* error = ::dlerror();
    if (why != nullptr) *why = path + " cannot be loaded: " + (error != nullptr ? error : "no reason given");
    return nullptr;
  }
  void* found = ::dlsym(module, symbol);
  if (found == nullptr && why != nullptr) *why = path + " is not the module it should be (no " + symbol + ")";
  return found;
}

}  // namespace calbridge
