/*
 * histfeed: a data-source interface library for a process historian.
 *
 * Two independent families of flat C functions deliver point values,
 * point configurations and deletions to historian services:
 *   - the universal family (VornMx...), over TCP connections of its own;
 *   - the classic family (Kel...), through the maker's client library.
 *
 * Every function returns 0 on success or a negative code, unless stated.
 * The number after each declaration is its export ordinal.
 */
#ifndef HISTFEED_H
#define HISTFEED_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(HISTFEED_BUILDING_LIBRARY)
#    define HISTFEED_API __declspec(dllexport)
#  else
#    define HISTFEED_API __declspec(dllimport)
#  endif
#else
#  define HISTFEED_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* HISTFEED_H */
