// SPDX-License-Identifier: Apache-2.0
#include "platform/dynamic_library.h"

#include <dlfcn.h>

namespace histfeed::platform {

// The handle dlopen gives is the library.
class DynamicLibrary {};

DynamicLibrary* LoadDynamicLibrary(const char* path, std::string* error) {
  if (path == nullptr || *path == '\0') {
    if (error != nullptr) *error = "no library path given";
    return nullptr;
  }
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr && error != nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "cannot load library";
  }
  return static_cast<DynamicLibrary*>(handle);
}

void* FindLibraryFunction(DynamicLibrary* library, const char* name, int32_t /*ordinal*/) {
  if (library == nullptr || name == nullptr) return nullptr;
  return dlsym(library, name);
}

void UnloadDynamicLibrary(DynamicLibrary* library) {
  if (library != nullptr) dlclose(library);
}

}  // namespace histfeed::platform
