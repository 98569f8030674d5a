// SPDX-License-Identifier: Apache-2.0
// The exported message sink. It does nothing on purpose: observers
// receive every diagnostic line by intercepting it. On Linux an
// application defines its own function of this name (the library's calls
// go through the dynamic linker); on Windows an observer patches this
// function's first bytes at run time. So it lives alone in this file, is
// never inlined, and every diagnostic line of the library is passed
// through this one function.
//
// Its entry is hot-patchable on Windows: the first instruction is two
// bytes long and padding before the entry has room for a jump to the
// observer. A patcher writes that jump into the padding, then replaces
// the first instruction with a two-byte jump back into it, in one store,
// so that no thread ever runs half a patch. On 32-bit x86 this is the
// usual "mov edi, edi" prologue with five bytes of padding at least (a
// near jump). On 64-bit x86 a near jump may not reach the observer, so the
// padding holds fourteen bytes (an absolute indirect jump).
#include "histfeed.h"

#if defined(_WIN32) && defined(__x86_64__)

// Fourteen bytes of padding, then "xchg ax, ax" (a two-byte no-op) and a
// return: the function does nothing with its argument.
extern "C" __attribute__((naked, noinline, patchable_function_entry(14, 14)))
HISTFEED_API void HISTFEED_CALL VornMxUniversalMessage(const char* /*text*/) {
  __asm__(".byte 0x66, 0x90\n\tret");
}

#else

#if defined(_WIN32) && defined(__i386__)
// GCC's hot-patch prologue: "mov edi, edi" after sixteen bytes of padding.
#define HISTFEED_HOT_PATCHABLE __attribute__((noinline, ms_hook_prologue))
#else
#define HISTFEED_HOT_PATCHABLE __attribute__((noinline))
#endif

extern "C" HISTFEED_HOT_PATCHABLE HISTFEED_API void HISTFEED_CALL
VornMxUniversalMessage(const char* text) {
  // Keeps the body from being folded with another empty function.
  __asm__ __volatile__("" : : "r"(text) : "memory");
}

#endif
