// The library's unloading hook: one static object whose destructor stops
// the classic family when the library is unloaded (or the process ends),
// so that partly filled buffers are still delivered by an application
// that never calls StopProcess.
//
// The library must really unload at dlclose for this to run then: g++ is
// told not to emit unique symbols (-fno-gnu-unique), and the library is
// not linked with -z nodelete.
//
// The hook frees no locks: when it runs at process exit, application
// threads may still be inside the library and hold them. A library that is
// loaded and unloaded again and again thus leaves its few lock objects
// and its client library backend behind on each unloading.
#include "classic/stop_process.h"

namespace histfeed {
namespace {

class UnloadHook {
 public:
  UnloadHook() = default;
  UnloadHook(const UnloadHook&) = delete;
  UnloadHook& operator=(const UnloadHook&) = delete;
  ~UnloadHook() { classic::StopForUnloading(); }
};

UnloadHook unloadHook;

}  // namespace
}  // namespace histfeed
