/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The plug-in interface of the classic family's client library.
 *
 * A plug-in is a shared library that exports the nine plain C functions
 * below. histfeed loads it from the path in the environment variable
 * HISTFEED_CLIENT_LIBRARY on the first call into the client library and
 * keeps it loaded. A plug-in that cannot be loaded, or lacks any of the
 * nine functions, is not used: every call then fails and the classic
 * family reports that the client library did not start.
 *
 * Every function returns 0 for success and any other value for failure,
 * and may be called from several threads at once.
 *
 * This header is plain C and depends on nothing but <stdint.h>, so that a
 * plug-in author can compile against it alone.
 */
#ifndef HISTFEED_TARVO_PLUGIN_H_
#define HISTFEED_TARVO_PLUGIN_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Name of the environment variable that names the plug-in. */
#define TARVO_PLUGIN_ENVIRONMENT_VARIABLE "HISTFEED_CLIENT_LIBRARY"

/*
 * The functions, with the export ordinal each has in tarvoapi.dll (the
 * Windows build binds by ordinal, other builds by name).
 */

/* 1406: start the client library; reserved is 0. */
#define TARVO_ORDINAL_STARTUP 1406
typedef int (*TarvoStartupFunction)(int reserved);

/* 1410: connect to a service; 0 = connected. */
#define TARVO_ORDINAL_CONNECT 1410
typedef int (*TarvoConnectFunction)(const char *service);

/* 1403: drop the connection to a service; the result is not used. */
#define TARVO_ORDINAL_DISCONNECT 1403
typedef int (*TarvoDisconnectFunction)(const char *service);

/* 1404: fill the stamp field (request offset 8, size 64) of a request just
   before it is exchanged; the content is the plug-in's own. */
#define TARVO_ORDINAL_STAMP 1404
typedef int (*TarvoStampFunction)(void *field, int size);

/* 2004: data request of short-identifier records (code 8101, 4072 bytes).
   2005: data request of long-identifier records (code 8102, 4032 bytes).
   2006: configuration request (code 8103, 1016 bytes).
   The reply is a block of TARVO_REPLY_SIZE bytes, zeroed by the caller.
   0 = exchange done; the reply status then tells the service's answer. */
#define TARVO_ORDINAL_SHORT_ID_EXCHANGE 2004
#define TARVO_ORDINAL_LONG_ID_EXCHANGE 2005
#define TARVO_ORDINAL_CONFIG_EXCHANGE 2006
typedef int (*TarvoExchangeFunction)(const char *service, const void *request, void *reply);

/* 1519: service kind query; 0 selects the split-text form of the
   configuration record. */
#define TARVO_ORDINAL_SERVICE_KIND 1519
typedef int (*TarvoServiceKindFunction)(const char *service);

/* 1527: resolve an extended point name to a point identifier: 0 = `out`
   holds the identifier, NUL-terminated, within `size` (10) bytes. */
#define TARVO_ORDINAL_RESOLVE_POINT 1527
typedef int (*TarvoResolvePointFunction)(const char *service, const char *extendedName,
                                         char *out, int size);

/* Exported symbol names, one per ordinal. */
#define TARVO_SYMBOL_STARTUP "TarvoStartup"
#define TARVO_SYMBOL_CONNECT "TarvoConnect"
#define TARVO_SYMBOL_DISCONNECT "TarvoDisconnect"
#define TARVO_SYMBOL_STAMP "TarvoStamp"
#define TARVO_SYMBOL_SHORT_ID_EXCHANGE "TarvoShortIdExchange"
#define TARVO_SYMBOL_LONG_ID_EXCHANGE "TarvoLongIdExchange"
#define TARVO_SYMBOL_CONFIG_EXCHANGE "TarvoConfigExchange"
#define TARVO_SYMBOL_SERVICE_KIND "TarvoServiceKind"
#define TARVO_SYMBOL_RESOLVE_POINT "TarvoResolvePoint"

/*
 * Requests. All multi-byte integers are little-endian.
 *
 *   offset  size  field
 *        0     2  message code (8101, 8102 or 8103)
 *        2     2  number of records (8103: always 1)
 *        4     4  zero
 *        8    64  stamp field, filled by TarvoStamp just before the exchange
 *       72   ...  records
 */
#define TARVO_CODE_SHORT_ID_DATA 8101
#define TARVO_CODE_LONG_ID_DATA 8102
#define TARVO_CODE_CONFIG 8103
#define TARVO_SHORT_ID_REQUEST_SIZE 4072
#define TARVO_LONG_ID_REQUEST_SIZE 4032
#define TARVO_CONFIG_REQUEST_SIZE 1016
#define TARVO_REQUEST_HEADER_SIZE 72
#define TARVO_STAMP_OFFSET 8
#define TARVO_STAMP_SIZE 64

typedef struct TarvoRequestHeader {
  uint16_t code;
  uint16_t recordCount;
  uint8_t reserved[4];
  uint8_t stamp[TARVO_STAMP_SIZE];
} TarvoRequestHeader;

/*
 * Short-identifier record (code 8101), 40 bytes, record i at 72 + 40 i,
 * at most 100 records:
 *   0 time stamp, seconds since 1970-01-01 UTC (signed 32-bit)
 *   4 milliseconds 0..999 (u16)
 *   6 point identifier, 8 bytes, NUL-padded, no terminator when full
 *  14 unused
 *  15 status word (u16)
 *  17 value text, 17 bytes, NUL-terminated
 *  34 unused, 6 bytes
 *
 * Long-identifier record (code 8102), 88 bytes, record i at 72 + 88 i, at
 * most 45 records:
 *   0 time stamp, 4 milliseconds, 6 point identifier (60 bytes), 66 unused,
 *  67 status word, 69 value text (17 bytes), 86 unused, 2 bytes
 */
#define TARVO_SHORT_ID_RECORD_SIZE 40
#define TARVO_LONG_ID_RECORD_SIZE 88
#define TARVO_SHORT_ID_RECORDS_MAX 100
#define TARVO_LONG_ID_RECORDS_MAX 45

/*
 * Reply block, TARVO_REPLY_SIZE bytes:
 *   0 unused by histfeed
 *   4 status (u32): low 16 bits 0 = accepted; bits 0x110 both set = busy
 *   8 NUL-terminated text of at most 248 bytes: an error text, or after a
 *     data request optionally the service's load "count,capacity" (a
 *     slash may stand for the comma)
 */
#define TARVO_REPLY_SIZE 256
#define TARVO_REPLY_STATUS_OFFSET 4
#define TARVO_REPLY_TEXT_OFFSET 8
#define TARVO_REPLY_TEXT_SIZE 248
#define TARVO_STATUS_BUSY_BITS 0x110u

typedef struct TarvoReplyBlock {
  uint8_t unused[4];
  uint32_t status;
  char text[TARVO_REPLY_TEXT_SIZE];
} TarvoReplyBlock;

#ifdef __cplusplus
}
#endif

#endif /* HISTFEED_TARVO_PLUGIN_H_ */
