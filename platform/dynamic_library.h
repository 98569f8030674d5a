// SPDX-License-Identifier: Apache-2.0
// Shared libraries loaded at run time, and the functions they export.
#ifndef HISTFEED_PLATFORM_DYNAMIC_LIBRARY_H_
#define HISTFEED_PLATFORM_DYNAMIC_LIBRARY_H_

#include <cstdint>
#include <string>

namespace histfeed::platform {

class DynamicLibrary;

// Loads the shared library at `path`. Returns null and puts a readable
// reason into *error (when given) if it cannot be loaded.
DynamicLibrary* LoadDynamicLibrary(const char* path, std::string* error);

// The address of the function the library exports as `name`; platforms
// that bind by export ordinal use `ordinal` instead. Null when absent.
void* FindLibraryFunction(DynamicLibrary* library, const char* name, int32_t ordinal);

// Unloads a library loaded by LoadDynamicLibrary (null is ignored).
void UnloadDynamicLibrary(DynamicLibrary* library);

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_DYNAMIC_LIBRARY_H_
