/* SPDX-License-Identifier: Apache-2.0 */
/* A program built against an installed histfeed, as a user would build
   one: it includes the installed headers, links the installed library and
   checks a few answers that need no historian service. */
#include <stdio.h>

#include <histfeed.h>
#include <histfeed/tarvo_plugin.h>

int main(void) {
  int32_t key = -1;
  /* No acknowledgement, queue or cache: nothing starts a thread. */
  if (VornMxUniversalInitialize(&key, 0, 0, 0, 0, NULL, NULL) != 0 || key < 0) {
    fprintf(stderr, "consumer: initialize failed\n");
    return 1;
  }
  VornMxSetDebugMsg(1);
  int32_t debug = VornMxIsDebugMsg();
  VornMxSetDebugMsg(0);
  /* Not connected: the frame cannot be delivered, and the flush says so. */
  VornMxAddRec(key, "TIC101", 1700000000, 0, 0, 21.5);
  int32_t flushed = VornMxFlushUniversalRecord(key, 1);
  VornMxUniversalCloseSocket(key);
  if (debug != 1 || flushed == 0 || TARVO_REPLY_SIZE != 256) {
    fprintf(stderr, "consumer: debug %d, flush %d\n", (int)debug, (int)flushed);
    return 1;
  }
  printf("consumer: key %d, undelivered flush %d\n", (int)key, (int)flushed);
  return 0;
}
