// SPDX-License-Identifier: Apache-2.0
#include "platform/dynamic_library.h"

#include <windows.h>

namespace histfeed::platform {

// The module handle is the library.
class DynamicLibrary {};

DynamicLibrary* LoadDynamicLibrary(const char* path, std::string* error) {
  if (path == nullptr || *path == '\0') {
    if (error != nullptr) *error = "no library path given";
    return nullptr;
  }
  HMODULE module = LoadLibraryA(path);
  if (module == nullptr && error != nullptr) {
    *error = "cannot load " + std::string(path) + " (error " + std::to_string(GetLastError()) + ")";
  }
  return reinterpret_cast<DynamicLibrary*>(module);
}

// Windows libraries are bound by export ordinal; the name serves only
// where no ordinal is given.
void* FindLibraryFunction(DynamicLibrary* library, const char* name, int32_t ordinal) {
  if (library == nullptr) return nullptr;
  HMODULE module = reinterpret_cast<HMODULE>(library);
  FARPROC address = nullptr;
  if (ordinal > 0 && ordinal <= 0xFFFF) {
    address = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
  } else if (name != nullptr) {
    address = GetProcAddress(module, name);
  }
  return reinterpret_cast<void*>(address);
}

void UnloadDynamicLibrary(DynamicLibrary* library) {
  if (library != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(library));
}

}  // namespace histfeed::platform
