// SPDX-License-Identifier: Apache-2.0
// The DLL's entry point. It only notes why the library is being unloaded;
// the unloading hook (a static object's destructor, which the C runtime
// runs right after this function) reads that to choose what it may do.
#include <windows.h>

#include "platform/unloading.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
  using histfeed::platform::NoteUnloading;
  using histfeed::platform::Unloading;
  if (reason == DLL_PROCESS_DETACH) {
    // A non-null `reserved` means the process is ending.
    NoteUnloading(reserved != nullptr ? Unloading::kProcessExit : Unloading::kLibraryUnload);
  }
  return TRUE;
}
