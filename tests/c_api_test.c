/* SPDX-License-Identifier: Apache-2.0 */
/* The public header compiles as C and the shipped library links from C
 * (and, built again as C++, from C++): initialize, add, flush, close, as a
 * universal source does. */
#include <stdio.h>

#include "histfeed.h"

static int failures = 0;

static void Expect(int condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

int main(void) {
  int32_t key = -1;
  Expect(VornMxUniversalInitialize(&key, 1, 0, 0, 0, NULL, NULL) == 0, "initialize");
  Expect(key >= 0 && key < 100, "a key from 0 to 99");
  Expect(ISVornMxUniversalConnected(key) == 0, "not connected yet");
  Expect(VornMxAddRec(key, "TIC101", 1700000000, 0, 0, 21.5) == 0, "add buffers the value");
  Expect(VornMxAddBlockRecByPointId(key, "", 1700000000, 0, 0, 1.0) == -100,
         "a block record without identifier is refused");
  /* Without a connection or a queue the frame cannot be delivered. */
  Expect(VornMxFlushUniversalRecord(key, 1) == -106, "flush reports not delivered");
  Expect(VornMxFlushUniversalRecord(key, 4) == -1, "4 is no record type");
  Expect(VornMxSetDebugMsg(5) == 5 && VornMxIsDebugMsg() == 5, "debug flag");
  VornMxSetDebugMsg(0);
  VornMxUniversalCloseSocket(key);
  Expect(VornMxSetHeartBeat(key, 1) == -1, "a closed key has no heartbeat");
  /* Classic family whose client library cannot load: values are still
   * collected, a configuration record reports its failure. */
  {
    char message[64] = "";
    Expect(KelAddAnalogShortIdRecord("Plant", "FIC101", 1700000000, 0.1, 0, 0, 0, 0, 0, 0, 0,
                                     0) == 0,
           "classic add collects the value");
    Expect(KelAddShortIdRecord("Plant", "FIC101", 1700000000, "ON", 3, 1000) == -1,
           "milliseconds above 999 are refused");
    Expect(KelSendConfigRecord("plant.unit1.fic101", "", "", "", 1, 0, 0, 0, "", "", 0, 0, 0, 0,
                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, NULL, NULL,
                               NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
                               NULL, NULL, NULL, NULL, NULL, NULL, message,
                               (int32_t)sizeof(message)) != 0,
           "configuration record without a client library");
    Expect(message[0] != '\0', "its message");
  }
  Expect(StopProcess() == 0, "no classic sender to stop");
  Expect(SnapShotDebug(NULL) == -1, "a snapshot needs a path");
  return failures == 0 ? 0 : 1;
}
