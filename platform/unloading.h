// SPDX-License-Identifier: Apache-2.0
// What the system loader is doing to the library right now. On Windows
// the unloading hook runs inside the loader (under its lock), either for
// a FreeLibrary, while the process's other threads still run, or at
// process exit, after the system has already ended them. Both change
// what the hook and a thread join may safely do. Elsewhere the hook runs
// as an ordinary destructor and the state stays kNotUnloading.
#ifndef HISTFEED_PLATFORM_UNLOADING_H_
#define HISTFEED_PLATFORM_UNLOADING_H_

namespace histfeed::platform {

enum class Unloading {
  kNotUnloading,
  // The library alone is unloaded; other threads still run.
  kLibraryUnload,
  // The process is ending; every other thread is gone.
  kProcessExit,
};

Unloading CurrentUnloading();

// Set by the operating system layer's entry point.
void NoteUnloading(Unloading state);

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_UNLOADING_H_
