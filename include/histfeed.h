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

/* ---- Universal family: connections ------------------------------------
 * Up to 100 connection keys (0..99), each with a primary and an optional
 * alternate historian service reached over TCP. */

/* Takes the lowest free connection key and stores it in *key. A nonzero
 * ackEnabled makes every frame wait for a one-byte acknowledgement.
 * Returns 0, -108 or -109 (queue set-up), or -112 when no key is free or
 * key is null. */
HISTFEED_API int32_t VornMxUniversalInitialize(int32_t* key, int32_t ackEnabled,
                                               int32_t queueEnabled, int32_t cacheEnabled,
                                               int32_t cacheSize, const char* cachePrefix,
                                               const char* cacheDirectory); /* 1100 */

/* Connects the key to its primary service and, when alternateHost is
 * neither null nor empty, to its alternate; background threads reconnect
 * every 5 seconds until the key is closed. Returns 0, -1 (socket layer
 * start-up failed, or the key is not initialized), -103 (host not
 * resolved), -104 (no socket) or -105 (connect failed; retried). */
HISTFEED_API int32_t VornMxUniversalDataConnect(int32_t key, const char* primaryHost,
                                                int32_t primaryPort, const char* alternateHost,
                                                int32_t alternatePort); /* 1101 */

/* Stops the key's threads, closes its connections and frees the key.
 * Keys outside 0..99 are ignored. */
HISTFEED_API void VornMxUniversalCloseSocket(int32_t key); /* 1102 */

/* Every diagnostic line of the universal family is passed here. Does
 * nothing; intercept it to observe the lines. */
HISTFEED_API void VornMxUniversalMessage(const char* text); /* 1126 */

/* 1 when the key's primary or alternate service is connected, else 0. */
HISTFEED_API int32_t ISVornMxUniversalConnected(int32_t key); /* 1127 */

/* Sets the debug message flag (nonzero: trace lines are passed too) and
 * returns it. */
HISTFEED_API int32_t VornMxSetDebugMsg(int32_t flag); /* 1128 */

/* The debug message flag. */
HISTFEED_API int32_t VornMxIsDebugMsg(void); /* 1129 */

#ifdef __cplusplus
}
#endif

#endif /* HISTFEED_H */
