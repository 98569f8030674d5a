// SPDX-License-Identifier: Apache-2.0
// A hot-patchable function entry on Windows. An observer patches a
// do-nothing function at run time: the first instruction is two bytes
// long and padding before the entry has room for a jump to the observer.
// A patcher writes that jump into the padding, then replaces the first
// instruction with a two-byte jump back into it, in one store, so that no
// thread ever runs half a patch. On 32-bit x86 this is the usual
// "mov edi, edi" prologue with five bytes of padding at least (a near
// jump). On 64-bit x86 a near jump may not reach the observer, so the
// padding holds fourteen bytes (an absolute indirect jump).
#ifndef HISTFEED_PLATFORM_WINDOWS_HOT_PATCH_H_
#define HISTFEED_PLATFORM_WINDOWS_HOT_PATCH_H_

#if defined(__x86_64__)

// Fourteen bytes of padding, then "xchg ax, ax" (a two-byte no-op) and a
// return: the function does nothing with its argument.
#define HISTFEED_HOT_PATCHABLE __attribute__((naked, noinline, patchable_function_entry(14, 14)))
#define HISTFEED_HOT_PATCHABLE_EMPTY_BODY(argument) __asm__(".byte 0x66, 0x90\n\tret")

#elif defined(__i386__)

// GCC's hot-patch prologue: "mov edi, edi" after sixteen bytes of padding.
#define HISTFEED_HOT_PATCHABLE __attribute__((noinline, ms_hook_prologue))
#define HISTFEED_HOT_PATCHABLE_EMPTY_BODY(argument) \
  __asm__ __volatile__("" : : "r"(argument) : "memory")

#else
#error "hot-patchable entries are made for x86 Windows only"
#endif

#endif  // HISTFEED_PLATFORM_WINDOWS_HOT_PATCH_H_
