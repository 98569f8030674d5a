// SPDX-License-Identifier: Apache-2.0
// A do-nothing function that observers intercept: HISTFEED_HOT_PATCHABLE
// goes before its declaration and HISTFEED_HOT_PATCHABLE_EMPTY_BODY(arg)
// is its whole body. It is never inlined and never folded with another
// empty function, so every call reaches its own entry. On Windows its
// entry can also be patched at run time (platform/windows/hot_patch.h);
// elsewhere an application intercepts it by defining the same name, as
// the calls go through the dynamic linker.
#ifndef HISTFEED_PLATFORM_HOT_PATCH_H_
#define HISTFEED_PLATFORM_HOT_PATCH_H_

#if defined(_WIN32)
#include "platform/windows/hot_patch.h"
#else
#define HISTFEED_HOT_PATCHABLE __attribute__((noinline))
#define HISTFEED_HOT_PATCHABLE_EMPTY_BODY(argument) \
  __asm__ __volatile__("" : : "r"(argument) : "memory")
#endif

#endif  // HISTFEED_PLATFORM_HOT_PATCH_H_
