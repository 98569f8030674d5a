/* SPDX-License-Identifier: Apache-2.0 */
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

/*
 * HISTFEED_CALL is the calling convention of every exported function:
 * __stdcall on 32-bit Windows (the called function removes its arguments,
 * as in the Windows API; see the README), the platform's only convention
 * elsewhere. The DLL exports the names undecorated, at their ordinals.
 * Code that links the library statically defines HISTFEED_STATIC.
 */
#if defined(_WIN32)
#  if defined(_WIN64)
#    define HISTFEED_CALL
#  elif defined(__GNUC__) && !defined(_MSC_VER)
#    define HISTFEED_CALL __attribute__((stdcall))
#  else
#    define HISTFEED_CALL __stdcall
#  endif
#  if defined(HISTFEED_BUILDING_LIBRARY) || defined(HISTFEED_STATIC)
#    define HISTFEED_API
#  else
#    define HISTFEED_API __declspec(dllimport)
#  endif
#else
#  define HISTFEED_CALL
#  define HISTFEED_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes -------------------------------------------------------
 * Several meanings share -1; each family's functions below say which they
 * return. */
#define HISTFEED_OK 0

/* Universal family. */
/* The socket layer did not start, or the key is not initialized or not in use. */
#define HISTFEED_KEY_NOT_READY (-1)
#define HISTFEED_NOT_A_RECORD_TYPE (-1)
#define HISTFEED_HEARTBEAT_NOT_STARTED (-2)
#define HISTFEED_MISSING_POINT_ID (-100)
#define HISTFEED_MISSING_BLOCK_TIME (-101)
#define HISTFEED_MISSING_LONG_ID (-102)
#define HISTFEED_HOST_NOT_RESOLVED (-103)
#define HISTFEED_SOCKET_NOT_CREATED (-104)
#define HISTFEED_CONNECT_FAILED (-105)      /* the reconnect thread keeps trying */
#define HISTFEED_NOT_SENT (-106)
#define HISTFEED_FRAME_TOO_LONG (-107)
#define HISTFEED_QUEUE_NOT_CREATED (-108)
#define HISTFEED_CACHE_NOT_ENABLED (-109)
#define HISTFEED_QUEUE_FULL (-110)
#define HISTFEED_REJECTED (-111)
#define HISTFEED_NO_FREE_KEY (-112)
#define HISTFEED_MISSING_EXT_ID (-113)
#define HISTFEED_NO_RECORD_BUFFER (-114)

/* Classic family. */
#define HISTFEED_INVALID_ARGUMENT (-1)
#define HISTFEED_NO_SERVICE_BUFFER (-3)     /* no buffer was available for the value */
#define HISTFEED_NOT_QUEUED (-4)            /* a buffer could not be queued for sending */
#define HISTFEED_SERVICE_NOT_IN_LIST (-5)   /* nothing of that service to flush */

/* ---- Universal family: connections ------------------------------------
 * Up to 100 connection keys (0..99), each with a primary and an optional
 * alternate historian service reached over TCP. */

/* Takes the lowest free connection key and stores it in *key. A nonzero
 * ackEnabled makes every frame wait for a one-byte acknowledgement.
 * Returns 0, -108 or -109 (queue set-up), or -112 when no key is free or
 * key is null. */
HISTFEED_API int32_t HISTFEED_CALL VornMxUniversalInitialize(int32_t* key, int32_t ackEnabled,
                                               int32_t queueEnabled, int32_t cacheEnabled,
                                               int32_t cacheSize, const char* cachePrefix,
                                               const char* cacheDirectory); /* 1100 */

/* Connects the key to its primary service and, when alternateHost is
 * neither null nor empty, to its alternate; background threads reconnect
 * every 5 seconds until the key is closed. Returns 0, -1 (socket layer
 * start-up failed, or the key is not initialized), -103 (host not
 * resolved), -104 (no socket) or -105 (connect failed; retried). */
HISTFEED_API int32_t HISTFEED_CALL VornMxUniversalDataConnect(int32_t key, const char* primaryHost,
                                                int32_t primaryPort, const char* alternateHost,
                                                int32_t alternatePort); /* 1101 */

/* Stops the key's threads, closes its connections and frees the key.
 * Keys outside 0..99 are ignored. */
HISTFEED_API void HISTFEED_CALL VornMxUniversalCloseSocket(int32_t key); /* 1102 */

/* Every diagnostic line of the universal family is passed here. Does
 * nothing; intercept it to observe the lines. */
HISTFEED_API void HISTFEED_CALL VornMxUniversalMessage(const char* text); /* 1126 */

/* 1 when the key's primary or alternate service is connected, else 0. */
HISTFEED_API int32_t HISTFEED_CALL ISVornMxUniversalConnected(int32_t key); /* 1127 */

/* Sets the debug message flag (nonzero: trace lines are passed too) and
 * returns it. */
HISTFEED_API int32_t HISTFEED_CALL VornMxSetDebugMsg(int32_t flag); /* 1128 */

/* The debug message flag. */
HISTFEED_API int32_t HISTFEED_CALL VornMxIsDebugMsg(void); /* 1129 */

/* Sends an empty 12-byte frame every `seconds` seconds while the key is
 * open; 0 or less stops it. Returns 0, -1 (key not in use) or -2 (the
 * heartbeat thread could not be started; a later call tries again). */
HISTFEED_API int32_t HISTFEED_CALL VornMxSetHeartBeat(int32_t key, int32_t seconds); /* 1130 */

/* ---- Universal family: record buffers ---------------------------------
 * Records gather per key and record type and leave together as one frame
 * when the type is flushed, when a record arrives for a full buffer, or
 * when a block entry point sees a new identifier or time. Frames are sent
 * at once, or queued when the key has a queue and the frame cannot go.
 * Results: 0; -1 (not a record type); -100, -102, -113 (block frame
 * without its point, long or extended identifier); -101 (time block
 * without a time); -114 (no memory for the buffer); or the transport's
 * code: -106 (not delivered), -110 (queue full), -111 (rejected). A key
 * outside 0..99 or not initialized (never, or closed since) gets -106 and
 * keeps nothing. */

/* Adds `count` packed records of `recordType` (record layouts in
 * docs/formats.md, installed as share/doc/histfeed/formats.md). Returns 0,
 * -1 when `recordType` is not a record type and count is above 0 (count 0
 * returns 0), or the code of a flush made while adding. */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddUniversalRecord(int32_t key, int32_t recordType,
                                              const void* records, int32_t count); /* 1108 */

/* Sends every record buffered for `recordType` of the key. */
HISTFEED_API int32_t HISTFEED_CALL VornMxFlushUniversalRecord(int32_t key, int32_t recordType); /* 1103 */

/* Header fields of block frames: the identifier of type 2, 7 and 16
 * frames (cut to 9, 61 and 128 characters) and the time of type 3, 8 and
 * 17 frames. */
HISTFEED_API void HISTFEED_CALL VornMxSetPointId(int32_t key, const char* pointId);   /* 1104 */
HISTFEED_API void HISTFEED_CALL VornMxSetLongId(int32_t key, const char* longId);     /* 1105 */
HISTFEED_API void HISTFEED_CALL VornMxSetExtId(int32_t key, const char* extId);       /* 1106 */
HISTFEED_API void HISTFEED_CALL VornMxSetTime(int32_t key, int32_t time, int16_t msec); /* 1107 */

/* ---- Universal family: point values ------------------------------------
 * Each call adds one record to the key's buffer of its type; the buffer
 * leaves as a frame when flushed (VornMxFlushUniversalRecord with the type
 * given below), when full, or, for the block forms, when the identifier or
 * the time changes. Identifiers are cut to 9 (point), 61 (long) and 129
 * characters (extended; 128 in a block frame's header), text values to 17.
 * Null texts count as empty. Results as for VornMxAddUniversalRecord; a
 * block record with an empty identifier or a by-time record with time 0
 * is refused at once (-100, -102, -113 or -101). */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddRec(int32_t key, const char* pointId, int32_t time, int32_t msec,
                                  int32_t status, double value); /* 1109, type 1 */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddAsciiRec(int32_t key, const char* pointId, int32_t time,
                                       int32_t msec, int32_t status,
                                       const char* text); /* 1110, type 11 */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddLongIdRec(int32_t key, const char* longId, int32_t time,
                                        int32_t msec, int32_t status,
                                        double value); /* 1111, type 6 */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddLongIdAsciiRec(int32_t key, const char* longId, int32_t time,
                                             int32_t msec, int32_t status,
                                             const char* text); /* 1112, type 12 */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddExtIdRec(int32_t key, const char* extId, int32_t time,
                                       int32_t msec, int32_t status,
                                       double value); /* 1113, type 15 */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddExtIdAsciiRec(int32_t key, const char* extId, int32_t time,
                                            int32_t msec, int32_t status,
                                            const char* text); /* 1114, type 18 */
/* Block records of one point: the identifier travels once per frame. */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddBlockRecByPointId(int32_t key, const char* pointId, int32_t time,
                                                int32_t msec, int32_t status,
                                                double value); /* 1115, type 2 */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddLongIdBlockRecByLongId(int32_t key, const char* longId,
                                                     int32_t time, int32_t msec, int32_t status,
                                                     double value); /* 1116, type 7 */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddExtIdBlockRecByExtId(int32_t key, const char* extId, int32_t time,
                                                   int32_t msec, int32_t status,
                                                   double value); /* 1117, type 16 */
/* Block records of one time stamp: the time travels once per frame. */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddBlockRecByTime(int32_t key, const char* pointId, int32_t time,
                                             int32_t msec, int32_t status,
                                             double value); /* 1118, type 3 */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddLongIdRecByTime(int32_t key, const char* longId, int32_t time,
                                              int32_t msec, int32_t status,
                                              double value); /* 1119, type 8 */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddExtIdRecByTime(int32_t key, const char* extId, int32_t time,
                                             int32_t msec, int32_t status,
                                             double value); /* 1120, type 17 */

/* ---- Universal family: configurations and deletions --------------------
 * Configuration frames go to every configured service, the alternate
 * first. The library copies the fields unchanged; their meaning is the
 * service's. Texts are cut to their fields: pointId 9, longId 61,
 * description 25, units 9, pointClass 3, state texts 17, extId 129,
 * comment 225, attributes 33. Flush type 5 (ConfigRec), 10 (extended),
 * 13, 14 or 19 (deletions by point, long or extended identifier). */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddConfigRec(int32_t key, const char* pointId, const char* longId,
                                        const char* description, const char* units,
                                        const char* pointClass, int32_t option1,
                                        int32_t option2, const char* lowStateText,
                                        const char* highStateText, int32_t setting1,
                                        int32_t setting2, int32_t setting3, int32_t setting4,
                                        int32_t setting5, int32_t setting6, int32_t setting7,
                                        int32_t setting8, int32_t setting9, int32_t setting10,
                                        int32_t setting11, int32_t setting12,
                                        int32_t setting13, int32_t setting14,
                                        int32_t setting15, int32_t setting16,
                                        int32_t setting17, int32_t setting18,
                                        int32_t setting19, int32_t setting20,
                                        int32_t setting21, int32_t setting22,
                                        int32_t setting23, int32_t setting24,
                                        int32_t setting25, int32_t setting26,
                                        const char* extId, const char* comment); /* 1121 */
HISTFEED_API int32_t HISTFEED_CALL VornMxAddConfigExtendedRec(int32_t key, const char* pointId,
                                                const char* longId, const char* description,
                                                const char* units, const char* pointClass,
                                                int32_t option1, int32_t option2,
                                                const char* lowStateText,
                                                const char* highStateText, int32_t setting1,
                                                int32_t setting2, int32_t setting3,
                                                int32_t setting4, int32_t setting5,
                                                int32_t setting6, int32_t setting7,
                                                int32_t setting8, int32_t setting9,
                                                int32_t setting10, int32_t setting11,
                                                int32_t setting12, int32_t setting13,
                                                int32_t setting14, int32_t setting15,
                                                int32_t setting16, int32_t setting17,
                                                int32_t setting18, int32_t setting19,
                                                int32_t setting20, int32_t setting21,
                                                int32_t setting22, int32_t setting23,
                                                int32_t setting24, int32_t setting25,
                                                int32_t setting26, const char* extId,
                                                const char* comment, const char* attribute1,
                                                const char* attribute2,
                                                const char* attribute3,
                                                const char* attribute4,
                                                const char* attribute5,
                                                const char* attribute6,
                                                const char* attribute7,
                                                const char* attribute8,
                                                const char* attribute9); /* 1122 */
HISTFEED_API int32_t HISTFEED_CALL VornMxDeleteConfigurationRec(int32_t key,
                                                  const char* pointId); /* 1123, type 13 */
HISTFEED_API int32_t HISTFEED_CALL VornMxDeleteLongIdConfigurationRec(int32_t key,
                                                        const char* longId); /* 1124, type 14 */
HISTFEED_API int32_t HISTFEED_CALL VornMxDeleteExtIdConfigurationRec(int32_t key,
                                                       const char* extId); /* 1125, type 19 */

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
HISTFEED_API int32_t HISTFEED_CALL KelFlushShortIdRecords(const char* service, char* message,
                                            int32_t messageSize); /* 12 */
HISTFEED_API int32_t HISTFEED_CALL KelFlushLongIdRecords(const char* service, char* message,
                                           int32_t messageSize); /* 15 */
HISTFEED_API int32_t HISTFEED_CALL KelFlushAllRecords(const char* service, char* message,
                                        int32_t messageSize); /* 33 */

/*
 * Classic family: adding point values.
 *
 * Each call adds one value of one point to the buffer of its service and
 * identifier kind; full buffers are delivered by a background sender
 * that the first call starts. Before the value is stored the calling
 * thread may be slowed down: 10 s while the last delivery found a service
 * busy, or 1000, 500 or 50 ms by the service's last reported load, then
 * up to 10 s by the number of buffers waiting to be sent.
 *
 * service: the service name (white space around it is ignored; at most 19
 * characters are used). point: the point identifier (at most 8 characters
 * are kept in ShortId records, 60 in LongId records); the ExtId functions
 * take an extended point name instead, which the client library resolves
 * to an identifier stored in a ShortId record. time: seconds since
 * 1970-01-01 00:00:00 UTC. milliseconds: 0 to 999 (low 16 bits used;
 * functions without it store 0). Analog values are stored as "%16.9G"
 * text, value and state texts as their first 16 characters.
 *
 * Analog flags 1 to 8 build the status word from 0x0003: flag1 makes it
 * 0x0023, then flag2 to flag8 add 0x0040, 0x0010, 0x0080, 0x0018, 0x0088,
 * 0x0004 and 0x0100. Digital flags 1 to 5 build it from 0x1003: flag1
 * makes it 0x1043, then flag2 to flag5 add 0x0080, 0x0010, 0x0004 and
 * 0x0100. NoStatus functions store status word 0.
 *
 * Returns 0 when stored; -1 when service or point is missing or blank,
 * milliseconds exceed 999, or an extended name could not be resolved; -3
 * when no buffer was available.
 */
HISTFEED_API int32_t HISTFEED_CALL KelAddShortIdRecord(const char* service, const char* point, int32_t time,
                                         const char* valueText, int32_t status,
                                         int32_t milliseconds); /* 31 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogShortIdRecord(const char* service, const char* point,
                                               int32_t time, double value, int32_t flag1,
                                               int32_t flag2, int32_t flag3, int32_t flag4,
                                               int32_t flag5, int32_t flag6, int32_t flag7,
                                               int32_t flag8); /* 10 */
HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalShortIdRecord(const char* service, const char* point,
                                                int32_t time, int32_t flag1,
                                                const char* stateText, int32_t flag2,
                                                int32_t flag3, int32_t flag4,
                                                int32_t flag5); /* 11 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogShortIdRecordNoStatus(const char* service, const char* point,
                                                       int32_t time, double value); /* 17 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogLongIdRecord(const char* service, const char* point,
                                              int32_t time, double value, int32_t flag1,
                                              int32_t flag2, int32_t flag3, int32_t flag4,
                                              int32_t flag5, int32_t flag6, int32_t flag7,
                                              int32_t flag8); /* 13 */
HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalLongIdRecord(const char* service, const char* point,
                                               int32_t time, int32_t flag1,
                                               const char* stateText, int32_t flag2,
                                               int32_t flag3, int32_t flag4,
                                               int32_t flag5); /* 14 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogLongIdRecordNoStatus(const char* service, const char* point,
                                                      int32_t time, double value); /* 18 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogExtIdRecord(const char* service, const char* extendedName,
                                             int32_t time, double value, int32_t flag1,
                                             int32_t flag2, int32_t flag3, int32_t flag4,
                                             int32_t flag5, int32_t flag6, int32_t flag7,
                                             int32_t flag8); /* 19 */
HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalExtIdRecord(const char* service, const char* extendedName,
                                              int32_t time, int32_t flag1,
                                              const char* stateText, int32_t flag2,
                                              int32_t flag3, int32_t flag4,
                                              int32_t flag5); /* 20 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogExtIdRecordNoStatus(const char* service,
                                                     const char* extendedName, int32_t time,
                                                     double value); /* 21 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogShortIdMsecRecord(const char* service, const char* point,
                                                   int32_t time, double value, int32_t flag1,
                                                   int32_t flag2, int32_t flag3, int32_t flag4,
                                                   int32_t flag5, int32_t flag6, int32_t flag7,
                                                   int32_t flag8, int32_t milliseconds); /* 22 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogLongIdMsecRecord(const char* service, const char* point,
                                                  int32_t time, double value, int32_t flag1,
                                                  int32_t flag2, int32_t flag3, int32_t flag4,
                                                  int32_t flag5, int32_t flag6, int32_t flag7,
                                                  int32_t flag8, int32_t milliseconds); /* 23 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogExtIdMsecRecord(const char* service, const char* extendedName,
                                                 int32_t time, double value, int32_t flag1,
                                                 int32_t flag2, int32_t flag3, int32_t flag4,
                                                 int32_t flag5, int32_t flag6, int32_t flag7,
                                                 int32_t flag8, int32_t milliseconds); /* 24 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogExtIdMsecRecordNoStatus(const char* service,
                                                         const char* extendedName, int32_t time,
                                                         double value,
                                                         int32_t milliseconds); /* 25 */
HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalShortIdMsecRecord(const char* service, const char* point,
                                                    int32_t time, int32_t flag1,
                                                    const char* stateText, int32_t flag2,
                                                    int32_t flag3, int32_t flag4, int32_t flag5,
                                                    int32_t milliseconds); /* 26 */
HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalLongIdMsecRecord(const char* service, const char* point,
                                                   int32_t time, int32_t flag1,
                                                   const char* stateText, int32_t flag2,
                                                   int32_t flag3, int32_t flag4, int32_t flag5,
                                                   int32_t milliseconds); /* 27 */
HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalExtIdMsecRecord(const char* service, const char* extendedName,
                                                  int32_t time, int32_t flag1,
                                                  const char* stateText, int32_t flag2,
                                                  int32_t flag3, int32_t flag4, int32_t flag5,
                                                  int32_t milliseconds); /* 28 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogShortIdMsecRecordNoStatus(const char* service,
                                                           const char* point, int32_t time,
                                                           double value,
                                                           int32_t milliseconds); /* 29 */
HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogLongIdMsecRecordNoStatus(const char* service,
                                                          const char* point, int32_t time,
                                                          double value,
                                                          int32_t milliseconds); /* 30 */

/*
 * Classic family: describing a point.
 *
 * Sends one configuration record at once, in the calling thread, and
 * waits for the service's answer. pointName is the service name up to its
 * second dot, that dot and the point identifier (white space around it is
 * ignored, letters are taken in upper case; "plant.unit1.tag" names point
 * TAG of service PLANT.UNIT1). The other arguments fill the record's
 * fields in order. The record gives its fields no meaning (the service
 * interprets them), so each argument is named after the kind of field it
 * fills and its place among the fields of that kind: flag1 is the first
 * flag of the record, value1 its first floating-point number.
 *   - texts are cut to their field: firstText 60 characters, trimmed and
 *     upper-cased; secondText 24; thirdText 8; shortText1 and shortText2
 *     16; field1 to field9 32 each (null leaves a field empty);
 *   - analog selects "AI" or "DI"; each flag is stored as "Y" (non-zero)
 *     or "N";
 *   - shortNumber1 to shortNumber3 as at least four digits of their low 16
 *     bits; longNumber1 and longNumber2 as at least six digits; value1 to
 *     value9 as "%16.9G" texts;
 *   - rows row1 to row10 (32 characters each, null: empty) are used only
 *     by services that do not take firstText and secondText split into
 *     rows.
 *
 * Returns 0 when the service accepted the record; -1 when the client
 * library did not start or the point name has no service and identifier;
 * otherwise the client library's non-zero result of connecting or of the
 * exchange, or the service's refusal code (1 to 65535). On failure, when
 * message is given and the low 16 bits of messageSize are not 0, message
 * receives at most messageSize - 1 characters of a description and a
 * terminator.
 */
HISTFEED_API int32_t HISTFEED_CALL KelSendConfigRecord(
    const char* pointName, const char* firstText, const char* secondText, const char* thirdText,
    int32_t analog, int32_t flag1, int32_t shortNumber1, int32_t flag2, const char* shortText1,
    const char* shortText2, int32_t flag3, double value1, int32_t flag4, double value2,
    int32_t flag5, double value3, int32_t flag6, double value4, int32_t flag7, double value5,
    int32_t flag8, double value6, int32_t flag9, int32_t flag10, int32_t longNumber1,
    int32_t longNumber2, int32_t shortNumber2, double value7, int32_t shortNumber3, double value8,
    double value9, const char* field1, const char* field2, const char* field3, const char* field4,
    const char* field5, const char* field6, const char* field7, const char* field8,
    const char* field9, const char* row1, const char* row2, const char* row3, const char* row4,
    const char* row5, const char* row6, const char* row7, const char* row8, const char* row9,
    const char* row10, char* message, int32_t messageSize); /* 16 */

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
HISTFEED_API int32_t HISTFEED_CALL StopProcess(void);                /* 32 */
HISTFEED_API int32_t HISTFEED_CALL SnapShotDebug(const char* path); /* 50 */

#ifdef __cplusplus
}
#endif

#endif /* HISTFEED_H */
