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

/* Sends an empty 12-byte frame every `seconds` seconds while the key is
 * open; 0 or less stops it. Returns 0, -1 (key not in use) or -2 (the
 * heartbeat thread could not be started; a later call tries again). */
HISTFEED_API int32_t VornMxSetHeartBeat(int32_t key, int32_t seconds); /* 1130 */

/* ---- Universal family: record buffers ---------------------------------
 * Records gather per key and record type and leave together as one frame
 * when the type is flushed, when a record arrives for a full buffer, or
 * when a block entry point sees a new identifier or time. Frames are sent
 * at once, or queued when the key has a queue and the frame cannot go.
 * Results: 0; -1 (not a record type); -100, -102, -113 (block frame
 * without its point, long or extended identifier); -101 (time block
 * without a time); -114 (no memory for the buffer); or the transport's
 * code: -106 (not delivered), -110 (queue full), -111 (rejected). */

/* Adds `count` packed records of `recordType` (record layouts in the
 * README). Returns 0, or the code of a flush made while adding. */
HISTFEED_API int32_t VornMxAddUniversalRecord(int32_t key, int32_t recordType,
                                              const void* records, int32_t count); /* 1108 */

/* Sends every record buffered for `recordType` of the key. */
HISTFEED_API int32_t VornMxFlushUniversalRecord(int32_t key, int32_t recordType); /* 1103 */

/* Header fields of block frames: the identifier of type 2, 7 and 16
 * frames (cut to 9, 61 and 128 characters) and the time of type 3, 8 and
 * 17 frames. */
HISTFEED_API void VornMxSetPointId(int32_t key, const char* pointId);   /* 1104 */
HISTFEED_API void VornMxSetLongId(int32_t key, const char* longId);     /* 1105 */
HISTFEED_API void VornMxSetExtId(int32_t key, const char* extId);       /* 1106 */
HISTFEED_API void VornMxSetTime(int32_t key, int32_t time, int16_t msec); /* 1107 */

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

/*
 * Classic family: shutdown and diagnostics.
 *
 * StopProcess flushes every buffer, lets the sender deliver what is queued
 * and what is still in use, and stops it, waiting at most 5 seconds. The
 * next add call starts a new sender. Returns 0, or -4 when a buffer could
 * not be queued (it is still delivered while stopping); 0 at once when no
 * sender runs. The library calls it itself when it is unloaded.
 *
 * SnapShotDebug appends a text dump of all 500 buffers (name, record
 * count, state and every record) to the file at path. Returns 0, or -1
 * when path is null or empty or the file cannot be opened or closed.
 */
HISTFEED_API int32_t StopProcess(void);                /* 32 */
HISTFEED_API int32_t SnapShotDebug(const char* path); /* 50 */

#ifdef __cplusplus
}
#endif

#endif /* HISTFEED_H */
