// SPDX-License-Identifier: Apache-2.0
// The library's unloading hook: one static object whose destructor stops
// the classic family when the library is unloaded (or the process ends),
// so that partly filled buffers are still delivered by an application
// that never calls StopProcess.
//
// The library must really unload at dlclose for this to run then: g++ is
// told not to emit unique symbols (-fno-gnu-unique), and the library is
// not linked with -z nodelete.
//
// On Windows the hook runs in the loader's DLL_PROCESS_DETACH. For a
// FreeLibrary the sender still runs and delivers as above, and the
// platform layer ends each finished thread before it could return into
// unmapped code (platform/windows/thread.cc). At process exit the system
// has already ended every other thread, maybe inside the library with its
// locks held: waiting for them would hang the exit, so the hook does
// nothing then, and records not yet delivered are lost as with any
// abrupt end. Applications call StopProcess before they exit.
//
// The hook frees no locks: when it runs at process exit, application
// threads may still be inside the library and hold them. A library that is
// loaded and unloaded again and again thus leaves its client library
// backend behind on each unloading, and its few locks where the system
// allocates a mutex on its first use.
#include "classic/stop_process.h"
#include "platform/unloading.h"

namespace histfeed {
namespace {

class UnloadHook {
 public:
  UnloadHook() = default;
  UnloadHook(const UnloadHook&) = delete;
  UnloadHook& operator=(const UnloadHook&) = delete;
  ~UnloadHook() {
    if (platform::CurrentUnloading() == platform::Unloading::kProcessExit) return;
    classic::StopForUnloading();
  }
};

UnloadHook unloadHook;

}  // namespace
}  // namespace histfeed
