/* SPDX-License-Identifier: Apache-2.0 */
/*
 * feed_demo: a data source that feeds plant values to a pair of historian
 * services through both families of histfeed, using nothing but its
 * public header.
 *
 *   feed_demo PRIMARY_PORT ALTERNATE_PORT CLASSIC_SERVICE WORK_DIR
 *             [UNIVERSAL_VALUES [POINTS [CLASSIC_VALUES]]]
 *
 * Universal: one key with acknowledgement, a queue and a disk cache in
 * WORK_DIR/cache/, connected to 127.0.0.1:PRIMARY_PORT with the alternate
 * 127.0.0.1:ALTERNATE_PORT. It sends a configuration per point, then the
 * values, one frame per round of all points. Classic: values for the
 * service CLASSIC_SERVICE, found through HISTFEED_SERVICES.
 *
 * Every value the library accepted is written, in order, to
 * WORK_DIR/sent.csv (seq,family,service,point,time,msec,value), so that
 * what the services stored can be checked against it. Progress goes to
 * standard output; the last two lines are "summary ..." lines.
 *
 * The counts of acknowledged values and configuration frames, failovers
 * and queued and replayed frames come from the library's own diagnostic
 * lines: this program defines VornMxUniversalMessage, which receives them
 * in place of the library's empty one, and turns debug messages on. The
 * classic family reports no acknowledgement per value: what its services
 * stored is read from their databases by scripts/demo.sh.
 *
 * Each family's elapsed time runs from its first value to the moment its
 * last value was delivered: the last acknowledgement (universal), or the
 * return of StopProcess, which drains the classic buffers (classic).
 */
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "histfeed.h"

#if defined(_WIN32)
#include <windows.h>
static void SleepMilliseconds(int ms) { Sleep((DWORD)ms); }
#else
static void SleepMilliseconds(int ms) {
  struct timespec pause = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}
#endif

enum { kRoundPauseMs = 30, kAckWaitSeconds = 60, kMaxPoints = 999 };

/* Filled by the message sink, which library threads call. */
static atomic_long acknowledgedValues;
static atomic_long failovers;
static atomic_long framesQueued;
static atomic_long framesReplayed;
static atomic_llong lastAcknowledgementMicros;
static atomic_long primaryConfigFrames;
static atomic_long alternateConfigFrames;

static long CountAfter(const char *text, const char *marker) {
  const char *at = strstr(text, marker);
  return at != NULL ? atol(at + strlen(marker)) : -1;
}

/* Receives every diagnostic line of the universal family: on Linux by
 * defining the library's sink function, on Windows by patching it (see
 * ObserveLibraryLines below). */
/* Microseconds on the wall clock (Windows' C runtime lacks timespec_get). */
static long long MicrosNow(void) {
#if defined(_WIN32)
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (long long)((((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime) / 10);
#else
  struct timespec now;
  timespec_get(&now, TIME_UTC);
  return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
#endif
}

#if defined(_WIN32)
static void HISTFEED_CALL DemoMessageSink(const char *text) {
#else
void VornMxUniversalMessage(const char *text) {
#endif
  long records;
  if (text == NULL) return;
  if ((records = CountAfter(text, "Data good ACK - records=")) >= 0) {
    atomic_store(&lastAcknowledgementMicros, MicrosNow());
    atomic_fetch_add(&acknowledgedValues, records);
  } else if (strcmp(text, "SendData() data moved to ALT") == 0) {
    atomic_fetch_add(&failovers, 1);
    printf("  library: data moved to the alternate service\n");
  } else if (strcmp(text, "SendData() data moved to PRI") == 0) {
    printf("  library: data moved back to the primary service\n");
  } else if (CountAfter(text, "frame queued - records=") >= 0) {
    atomic_fetch_add(&framesQueued, 1);
  } else if (CountAfter(text, "frame replayed - records=") >= 0) {
    atomic_fetch_add(&framesReplayed, 1);
  } else if (strcmp(text, "SendData() PRI Config good ACK") == 0) {
    atomic_fetch_add(&primaryConfigFrames, 1);
  } else if (strcmp(text, "SendData() ALT Config good ACK") == 0) {
    atomic_fetch_add(&alternateConfigFrames, 1);
  } else if (strncmp(text, "Error", 5) == 0 ||
             (strncmp(text, "QueueThread", 11) == 0 && strstr(text, "SendData()") == NULL)) {
    /* Errors, and what the queue thread says of frames it holds or sets aside. */
    printf("  library: %s\n", text);
  }
  fflush(stdout);
}

#if defined(_WIN32)
/* histfeed.dll's sink is hot-patchable: a two-byte first instruction with
 * room before it for a jump. Writes the jump to DemoMessageSink into that
 * room, then turns the first instruction into a short jump back to it. */
static int ObserveLibraryLines(void) {
#if defined(_WIN64)
  static const unsigned char kEntry[2] = {0x66, 0x90};
  enum { kRoom = 14 };
#else
  static const unsigned char kEntry[2] = {0x8B, 0xFF};
  enum { kRoom = 5 };
#endif
  unsigned char *entry =
      (unsigned char *)GetProcAddress(GetModuleHandleA("histfeed.dll"), "VornMxUniversalMessage");
  unsigned char jump[kRoom];
  DWORD old;
  if (entry == NULL || memcmp(entry, kEntry, 2) != 0) return -1;
#if defined(_WIN64)
  {
    unsigned long long target = (unsigned long long)(uintptr_t)DemoMessageSink;
    jump[0] = 0xFF; jump[1] = 0x25; memset(jump + 2, 0, 4);
    memcpy(jump + 6, &target, 8);
  }
#else
  {
    int32_t distance = (int32_t)((uintptr_t)DemoMessageSink - (uintptr_t)entry);
    jump[0] = 0xE9;
    memcpy(jump + 1, &distance, 4);
  }
#endif
  if (!VirtualProtect(entry - kRoom, kRoom + 2, PAGE_EXECUTE_READWRITE, &old)) return -1;
  memcpy(entry - kRoom, jump, kRoom);
  {
    unsigned char back[2] = {0xEB, (unsigned char)-(kRoom + 2)};
    uint16_t word;
    memcpy(&word, back, 2);
    *(volatile uint16_t *)entry = word; /* one store: callers see old or new */
  }
  VirtualProtect(entry - kRoom, kRoom + 2, old, &old);
  FlushInstructionCache(GetCurrentProcess(), entry - kRoom, kRoom + 2);
  return 0;
}
#else
static int ObserveLibraryLines(void) { return 0; }
#endif

struct Demo {
  int primaryPort, alternatePort;
  const char *classicService;
  char cacheDirectory[1024];
  FILE *sent;
  long universalValues, points, classicValues;
  long universalSent, universalRefused, classicSent, classicRefused;
  long configFrames;
  int32_t key;
  int32_t baseTime;
};

/* Seconds on the wall clock, with a fraction. */
static double Now(void) { return (double)MicrosNow() / 1e6; }

static double UniversalValue(long round, long point) { return 20.0 + point + (round % 400) * 0.25; }
static double ClassicValue(long index) { return 100.0 + (index % 4000) * 0.5; }

static int ConnectUniversal(struct Demo *demo) {
  int32_t result = VornMxUniversalInitialize(&demo->key, 1, 1, 1, 4090, "DemoQueue",
                                             demo->cacheDirectory);
  if (result != 0) {
    fprintf(stderr, "feed_demo: VornMxUniversalInitialize failed: %d\n", (int)result);
    return -1;
  }
  result = VornMxUniversalDataConnect(demo->key, "127.0.0.1", demo->primaryPort, "127.0.0.1",
                                      demo->alternatePort);
  /* -105: not connected yet; the key keeps trying in the background. */
  if (result != 0 && result != -105) {
    fprintf(stderr, "feed_demo: VornMxUniversalDataConnect failed: %d\n", (int)result);
    return -1;
  }
  printf("universal key %d: primary 127.0.0.1:%d, alternate 127.0.0.1:%d, ack on, queue and "
         "cache in %s\n",
         (int)demo->key, demo->primaryPort, demo->alternatePort, demo->cacheDirectory);
  return 0;
}

static void PointName(char *out, size_t size, const char *prefix, long point) {
  snprintf(out, size, "%s%03ld", prefix, point + 1);
}

enum { kConfigRecordType = 5, kDeletePointIdRecordType = 13, kConfigsPerFrame = 12 };

/* One configuration per point, plus one for a retired point that is then
 * deleted again. The frames are handed over now, and delivered (to both
 * services) when both are up: they may wait in the queue. */
static void SendConfigurations(struct Demo *demo) {
  long point;
  int32_t result;
  demo->configFrames = (demo->points + 1 + kConfigsPerFrame - 1) / kConfigsPerFrame + 1;
  for (point = 0; point <= demo->points; ++point) {
    char id[32], description[32];
    int retired = point == demo->points;
    if (retired) {
      snprintf(id, sizeof id, "FIC999");
    } else {
      PointName(id, sizeof id, "FIC", point);
    }
    snprintf(description, sizeof description, "%s flow", retired ? "Retired" : "Feed");
    result = VornMxAddConfigRec(demo->key, id, "", description, "m3/h", "AI", 0, 0, "LOW",
                                "HIGH", 0, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                0, 0, 0, 0, 0, 0, 0, 0, 0, "", "demo point");
    if (result != 0) printf("  configuration of %s: %d\n", id, (int)result);
  }
  result = VornMxFlushUniversalRecord(demo->key, kConfigRecordType);
  if (result == 0) result = VornMxDeleteConfigurationRec(demo->key, "FIC999");
  if (result == 0) result = VornMxFlushUniversalRecord(demo->key, kDeletePointIdRecordType);
  if (result != 0) {
    printf("configurations: handing over failed (%d)\n", (int)result);
  } else {
    printf("configurations: %ld points and FIC999, then FIC999's deletion, handed over in %ld "
           "frames\n", demo->points, demo->configFrames);
  }
}

static void ReportConfigurations(const struct Demo *demo) {
  printf("configurations: %ld of %ld frames acknowledged by the primary, %ld by the alternate\n",
         atomic_load(&primaryConfigFrames), demo->configFrames,
         atomic_load(&alternateConfigFrames));
}

/* One round: a value of every point at the same second, sent as one frame.
 * Values count as sent once their frame was delivered or queued. */
static void SendUniversalRound(struct Demo *demo, long round) {
  long point, accepted = 0;
  int32_t time = demo->baseTime + (int32_t)round;
  int32_t result = 0;
  for (point = 0; point < demo->points && result == 0; ++point) {
    char id[32];
    PointName(id, sizeof id, "FIC", point);
    result = VornMxAddRec(demo->key, id, time, 0, 0, UniversalValue(round, point));
    if (result == 0) ++accepted;
  }
  if (result == 0) result = VornMxFlushUniversalRecord(demo->key, 1);
  if (result != 0) {
    printf("  round %ld refused: %d\n", round, (int)result);
    demo->universalRefused += demo->points;
    return;
  }
  for (point = 0; point < accepted; ++point) {
    char id[32];
    PointName(id, sizeof id, "FIC", point);
    fprintf(demo->sent, "%ld,universal,,%s,%d,0,%.2f\n", ++demo->universalSent, id, (int)time,
            UniversalValue(round, point));
  }
}

static void SendClassicValues(struct Demo *demo, long from, long to) {
  long index;
  for (index = from; index < to; ++index) {
    char id[32];
    long point = index % demo->points;
    int32_t time = demo->baseTime + (int32_t)(index / demo->points);
    PointName(id, sizeof id, "TIC", point);
    if (KelAddAnalogShortIdMsecRecord(demo->classicService, id, time, ClassicValue(index), 0, 0,
                                      0, 0, 0, 0, 0, 0, 500) != 0) {
      ++demo->classicRefused;
      continue;
    }
    fprintf(demo->sent, "%ld,classic,%s,%s,%d,500,%.2f\n", ++demo->classicSent,
            demo->classicService, id, (int)time, ClassicValue(index));
  }
}

static void PrintProgress(const struct Demo *demo, long percent) {
  printf("progress: %3ld%%  universal %ld sent, %ld acknowledged, %ld failovers, %ld frames "
         "queued, %ld replayed | classic %ld sent\n",
         percent, demo->universalSent, atomic_load(&acknowledgedValues), atomic_load(&failovers),
         atomic_load(&framesQueued), atomic_load(&framesReplayed), demo->classicSent);
  fflush(stdout);
}

/* Frames still queued are replayed by the key's queue thread; closing the
 * key before they are acknowledged would leave them in the cache files. */
static void WaitForAcknowledgements(const struct Demo *demo) {
  long waited;
  for (waited = 0; waited < kAckWaitSeconds * 10; ++waited) {
    if (atomic_load(&acknowledgedValues) >= demo->universalSent) return;
    if (waited % 20 == 0) {
      printf("waiting for %ld values to be acknowledged\n",
             demo->universalSent - atomic_load(&acknowledgedValues));
      fflush(stdout);
    }
    SleepMilliseconds(100);
  }
}

/* Delivers what the classic buffers still hold: StopProcess flushes every
 * buffer and lets the sender drain its queue. */
static void FinishClassic(void) {
  int32_t flushed = KelFlushAllRecords(NULL, NULL, 0);
  int32_t stopped = StopProcess();
  printf("classic: flushed (%d), stopped (%d)\n", (int)flushed, (int)stopped);
}

static long Argument(int argc, char **argv, int index, long fallback, long low, long high) {
  long value = index < argc ? strtol(argv[index], NULL, 10) : fallback;
  return value < low ? low : value > high ? high : value;
}

int main(int argc, char **argv) {
  struct Demo demo;
  char sentPath[1100];
  long rounds, round, lastPercent = -1;
  double started, universalElapsed, classicElapsed;
  if (argc < 5) {
    fprintf(stderr,
            "usage: feed_demo PRIMARY_PORT ALTERNATE_PORT CLASSIC_SERVICE WORK_DIR "
            "[UNIVERSAL_VALUES [POINTS [CLASSIC_VALUES]]]\n");
    return 2;
  }
  memset(&demo, 0, sizeof demo);
  demo.primaryPort = atoi(argv[1]);
  demo.alternatePort = atoi(argv[2]);
  demo.classicService = argv[3];
  demo.universalValues = Argument(argc, argv, 5, 20000, 1, 100000000);
  demo.points = Argument(argc, argv, 6, 50, 1, kMaxPoints);
  demo.classicValues = Argument(argc, argv, 7, 5000, 0, 100000000);
  demo.baseTime = (int32_t)time(NULL) - 3600;
  snprintf(demo.cacheDirectory, sizeof demo.cacheDirectory, "%s/cache/", argv[4]);
  snprintf(sentPath, sizeof sentPath, "%s/sent.csv", argv[4]);
  demo.sent = fopen(sentPath, "w");
  if (demo.sent == NULL) {
    fprintf(stderr, "feed_demo: cannot write %s\n", sentPath);
    return 1;
  }

  if (ObserveLibraryLines() != 0) {
    fprintf(stderr, "feed_demo: cannot observe the library's lines\n");
    return 1;
  }
  VornMxSetDebugMsg(1);
  if (ConnectUniversal(&demo) != 0) return 1;
  SendConfigurations(&demo);

  rounds = (demo.universalValues + demo.points - 1) / demo.points;
  started = Now();
  for (round = 0; round < rounds; ++round) {
    long percent = round * 100 / rounds;
    SendUniversalRound(&demo, round);
    SendClassicValues(&demo, round * demo.classicValues / rounds,
                      (round + 1) * demo.classicValues / rounds);
    if (percent % 10 == 0 && percent != lastPercent) PrintProgress(&demo, percent);
    lastPercent = percent;
    SleepMilliseconds(kRoundPauseMs);
  }
  PrintProgress(&demo, 100);

  FinishClassic();
  classicElapsed = Now() - started;
  WaitForAcknowledgements(&demo);
  universalElapsed = (double)atomic_load(&lastAcknowledgementMicros) / 1e6 - started;
  if (universalElapsed < 0) universalElapsed = 0;
  ReportConfigurations(&demo);
  VornMxUniversalCloseSocket(demo.key);
  fclose(demo.sent);

  printf("summary universal sent=%ld refused=%ld acknowledged=%ld failovers=%ld queued=%ld "
         "replayed=%ld elapsed=%.1f\n",
         demo.universalSent, demo.universalRefused, atomic_load(&acknowledgedValues),
         atomic_load(&failovers), atomic_load(&framesQueued), atomic_load(&framesReplayed),
         universalElapsed);
  printf("summary classic sent=%ld refused=%ld elapsed=%.1f\n", demo.classicSent,
         demo.classicRefused, classicElapsed);
  return 0;
}
