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

/*
 * Classic family: flushing.
 *
 * Hand the partly filled buffers of a service (service empty or null: of
 * every service) to the sender at once. 0 when queued; -5 when the named
 * service has no buffer of that kind in use; -4 when a buffer could not be
 * queued (it stays in use). On failure, when message is given and the low
 * 16 bits of messageSize are not 0, message is zero-filled and receives at
 * most messageSize - 1 characters of a description.
 * KelFlushAllRecords flushes both kinds and returns the bitwise OR of the
 * two results.
 */
HISTFEED_API int32_t KelFlushShortIdRecords(const char* service, char* message,
                                            int32_t messageSize); /* 12 */
HISTFEED_API int32_t KelFlushLongIdRecords(const char* service, char* message,
                                           int32_t messageSize); /* 15 */
HISTFEED_API int32_t KelFlushAllRecords(const char* service, char* message,
                                        int32_t messageSize); /* 33 */

#ifdef __cplusplus
}
#endif

#endif /* HISTFEED_H */
