/* SPDX-License-Identifier: Apache-2.0 */
/*
 * soak_source: a data source for the soak test. It streams numbered values
 * of one point through one universal key with acknowledgement, a queue and
 * a disk cache, and logs what the library said about each frame.
 *
 *   soak_source PORT CACHE_DIR LOG_FILE FIRST_VALUE [COUNT]
 *
 * Values FIRST_VALUE, FIRST_VALUE + 1, ... go to point "SOAK1", 20 to a
 * frame. After each flush that returned 0 one line is appended to LOG_FILE:
 *   "A FIRST LAST ACKED"
 * ACKED is 1 when the frame went out at once in this thread and the
 * service acknowledged it, 0 when it was queued. The line is written with
 * one write() call, so a kill leaves whole lines (or one last cut line).
 * After COUNT values (no limit when it is missing or negative) the program
 * only waits, while the library delivers what it holds. SIGTERM stops it:
 * the key is closed and the program ends.
 */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "histfeed.h"

enum { kValuesPerFrame = 20, kFramePauseUs = 2000 };

static volatile sig_atomic_t stopping;
/* Set by the message sink while the main thread flushes. */
static _Thread_local int sawDirectAck;
static _Thread_local int sawQueued;

void VornMxUniversalMessage(const char *text) {
  if (text == NULL) return;
  if (strstr(text, "Data good ACK") != NULL) sawDirectAck = 1;
  if (strstr(text, "frame queued") != NULL) sawQueued = 1;
  if (strncmp(text, "Error", 5) == 0 || strstr(text, "Cache") != NULL ||
      strstr(text, "cache") != NULL || strstr(text, "lost") != NULL) {
    fprintf(stderr, "soak_source: %s\n", text);
  }
}

static void Stop(int signal) {
  (void)signal;
  stopping = 1;
}

int main(int argc, char **argv) {
  if (argc != 5 && argc != 6) {
    fprintf(stderr, "usage: soak_source PORT CACHE_DIR LOG_FILE FIRST_VALUE [COUNT]\n");
    return 2;
  }
  int port = atoi(argv[1]);
  long value = atol(argv[4]);
  long last = argc == 6 && atol(argv[5]) >= 0 ? value + atol(argv[5]) : -1;
  int log = open(argv[3], O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (log < 0) {
    perror("soak_source: log");
    return 1;
  }
  signal(SIGTERM, Stop);
  VornMxSetDebugMsg(1);
  int32_t key = -1;
  int32_t result = VornMxUniversalInitialize(&key, 1, 1, 1, 409 * 1000, "Soak", argv[2]);
  if (result != 0) {
    fprintf(stderr, "soak_source: initialize failed: %d\n", (int)result);
    return 1;
  }
  result = VornMxUniversalDataConnect(key, "127.0.0.1", port, NULL, 0);
  if (result != 0 && result != -105) {
    fprintf(stderr, "soak_source: connect failed: %d\n", (int)result);
    return 1;
  }
  int32_t baseTime = (int32_t)time(NULL);
  while (!stopping) {
    if (last >= 0 && value >= last) {
      usleep(20000);
      continue;
    }
    long first = value;
    for (int i = 0; i < kValuesPerFrame; ++i, ++value) {
      VornMxAddRec(key, "SOAK1", baseTime + (int32_t)(value / 1000), (int32_t)(value % 1000), 0,
                   (double)value);
    }
    sawDirectAck = 0;
    sawQueued = 0;
    result = VornMxFlushUniversalRecord(key, 1);
    if (result == 0) {
      char line[96];
      int length = snprintf(line, sizeof line, "A %ld %ld %d\n", first, value - 1,
                            sawDirectAck && !sawQueued);
      if (write(log, line, (size_t)length) != length) perror("soak_source: log");
    } else {
      fprintf(stderr, "soak_source: flush of %ld..%ld refused: %d\n", first, value - 1,
              (int)result);
    }
    usleep(kFramePauseUs);
  }
  VornMxUniversalCloseSocket(key);
  close(log);
  return 0;
}
