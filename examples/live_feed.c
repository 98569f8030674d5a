/* SPDX-License-Identifier: Apache-2.0 */
/*
 * live_feed: a data source that streams values to a historian service
 * until stopped, for watching them arrive on the service's pages.
 *
 *   live_feed PORT [POINTS [SECONDS [PERIOD_MS]]]
 *
 * Connects one universal key (with acknowledgement) to 127.0.0.1:PORT,
 * configures POINTS points LIVE001.. (default 3), then every PERIOD_MS
 * milliseconds (default 200) sends one value of each, a slow wave with a
 * little noise, stamped with the current time. Runs for SECONDS seconds
 * (default 0: until interrupted). Prints one line per second.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "histfeed.h"

enum { kMaxPoints = 999 };

static volatile sig_atomic_t stopping;

static void Stop(int signal) {
  (void)signal;
  stopping = 1;
}

static long Argument(int argc, char **argv, int index, long fallback, long low, long high) {
  long value = index < argc ? strtol(argv[index], NULL, 10) : fallback;
  return value < low ? low : value > high ? high : value;
}

/* A triangle wave of period `period` rounds, from -1 to 1. */
static double Wave(long round, long period) {
  double phase = (double)(round % period) / (double)period;
  return phase < 0.5 ? 4.0 * phase - 1.0 : 3.0 - 4.0 * phase;
}

static void Configure(int32_t key, long points) {
  long point;
  for (point = 0; point < points; ++point) {
    char id[16], description[32];
    snprintf(id, sizeof id, "LIVE%03ld", point + 1);
    snprintf(description, sizeof description, "Live wave %ld", point + 1);
    VornMxAddConfigRec(key, id, "", description, "degC", "AI", 0, 0, "LOW", "HIGH", 0, 100, 0,
                       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                       "", "streamed by live_feed");
  }
  VornMxFlushUniversalRecord(key, 5);
}

int main(int argc, char **argv) {
  int32_t key = -1, result;
  long port, points, seconds, periodMs, round, sent = 0, refused = 0;
  time_t started, reported;
  if (argc < 2) {
    fprintf(stderr, "usage: live_feed PORT [POINTS [SECONDS [PERIOD_MS]]]\n");
    return 2;
  }
  port = Argument(argc, argv, 1, 0, 1, 65535);
  points = Argument(argc, argv, 2, 3, 1, kMaxPoints);
  seconds = Argument(argc, argv, 3, 0, 0, 86400 * 365);
  periodMs = Argument(argc, argv, 4, 200, 1, 60000);
  signal(SIGINT, Stop);
  signal(SIGTERM, Stop);

  result = VornMxUniversalInitialize(&key, 1, 0, 0, 0, "", "");
  if (result == 0) result = VornMxUniversalDataConnect(key, "127.0.0.1", (int32_t)port, "", 0);
  /* -105: not connected yet; the key keeps trying in the background. */
  if (result != 0 && result != -105) {
    fprintf(stderr, "live_feed: cannot connect to 127.0.0.1:%ld (%d)\n", port, (int)result);
    return 1;
  }
  Configure(key, points);
  started = reported = time(NULL);
  for (round = 0; !stopping && (seconds == 0 || time(NULL) - started < seconds); ++round) {
    struct timespec now, pause;
    long point;
    clock_gettime(CLOCK_REALTIME, &now);
    for (point = 0; point < points; ++point) {
      char id[16];
      double value = 50.0 + 40.0 * Wave(round + point * 7, 150) + (double)(rand() % 100) / 50.0;
      snprintf(id, sizeof id, "LIVE%03ld", point + 1);
      VornMxAddRec(key, id, (int32_t)now.tv_sec, (int32_t)(now.tv_nsec / 1000000), 0, value);
    }
    if (VornMxFlushUniversalRecord(key, 1) == 0) {
      sent += points;
    } else {
      refused += points;
    }
    if (time(NULL) != reported) {
      reported = time(NULL);
      printf("live_feed: %ld values sent, %ld not delivered\n", sent, refused);
      fflush(stdout);
    }
    pause.tv_sec = periodMs / 1000;
    pause.tv_nsec = (periodMs % 1000) * 1000000L;
    nanosleep(&pause, NULL);
  }
  VornMxUniversalCloseSocket(key);
  printf("live_feed: stopped after %ld values sent, %ld not delivered\n", sent, refused);
  return 0;
}
