/* SPDX-License-Identifier: Apache-2.0 */
/* A client library plug-in that accepts every request at once. Its reply
   text reports the load "<records in the request>,1000", which lets a test
   see that the request reached it intact. */
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "histfeed/tarvo_plugin.h"

#if defined(_WIN32)
#define PLUGIN_EXPORT /* exported through a module definition file */
#else
#define PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

static long long MonotonicNs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static atomic_long exchanges;
static atomic_long dataRecords;

PLUGIN_EXPORT int TarvoStartup(int reserved) { return reserved == 0 ? 0 : 1; }

PLUGIN_EXPORT int TarvoConnect(const char *service) {
  return service != NULL && service[0] != '\0' ? 0 : 1;
}

PLUGIN_EXPORT int TarvoDisconnect(const char *service) {
  (void)service;
  return 0;
}

PLUGIN_EXPORT int TarvoStamp(void *field, int size) {
  if (field == NULL || size <= 0) return 1;
  memset(field, 'T', (size_t)size);
  return 0;
}

/* Not part of the interface: the exchange that brings the count to a
   target notes the time on the monotonic clock and wakes a benchmark that
   sleeps until then. The benchmark thus neither polls nor wakes up during
   its measure, so it takes nothing from the thread that is exchanging, and
   the measure ends at the noted time, not at its wake-up. */
static atomic_long signalAt;
static atomic_llong reachedAtNs;
static pthread_mutex_t reachedLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t reachedSignal = PTHREAD_COND_INITIALIZER;
static int reached;

static void Reach(void) {
  atomic_store(&reachedAtNs, MonotonicNs());
  pthread_mutex_lock(&reachedLock);
  reached = 1;
  pthread_cond_signal(&reachedSignal);
  pthread_mutex_unlock(&reachedLock);
}

static void CountExchange(void) {
  long count = atomic_fetch_add(&exchanges, 1) + 1;
  if (count == atomic_load(&signalAt)) Reach();
}

PLUGIN_EXPORT void AnsweringPluginSignalAt(long target) {
  pthread_mutex_lock(&reachedLock);
  reached = 0;
  pthread_mutex_unlock(&reachedLock);
  atomic_store(&signalAt, target);
  if (atomic_load(&exchanges) >= target) Reach();
}

/* Sleeps until the target is reached; returns the noted time. */
PLUGIN_EXPORT long long AnsweringPluginWaitUntilReached(void) {
  pthread_mutex_lock(&reachedLock);
  while (!reached) pthread_cond_wait(&reachedSignal, &reachedLock);
  pthread_mutex_unlock(&reachedLock);
  return atomic_load(&reachedAtNs);
}

static int Answer(const void *request, void *reply) {
  const unsigned char *bytes = (const unsigned char *)request;
  TarvoReplyBlock *block = (TarvoReplyBlock *)reply;
  unsigned records = (unsigned)(bytes[2] | (bytes[3] << 8));
  block->status = 0;
  snprintf(block->text, sizeof(block->text), "%u,1000", records);
  CountExchange();
  return 0;
}

/* Not part of the interface: while the gate is closed, a data exchange
   waits in the plug-in until the gate opens, and notes on the monotonic
   clock when it went on. A benchmark parks the sender there while it
   queues work, and times the sender from that moment, so that neither the
   queueing nor the sender's wake-up is in its measure. */
static pthread_mutex_t gateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t gateSignal = PTHREAD_COND_INITIALIZER;
static int gateClosed;
static atomic_int gateInUse;
static atomic_int waitingAtGate;
static atomic_llong passedGateAtNs;

static void PassGate(void) {
  if (!atomic_load_explicit(&gateInUse, memory_order_relaxed)) return;
  pthread_mutex_lock(&gateLock);
  if (gateClosed) {
    atomic_store(&waitingAtGate, 1);
    while (gateClosed) pthread_cond_wait(&gateSignal, &gateLock);
    atomic_store(&waitingAtGate, 0);
    atomic_store(&passedGateAtNs, MonotonicNs());
  }
  pthread_mutex_unlock(&gateLock);
}

PLUGIN_EXPORT void AnsweringPluginCloseGate(void) {
  atomic_store(&gateInUse, 1);
  pthread_mutex_lock(&gateLock);
  gateClosed = 1;
  pthread_mutex_unlock(&gateLock);
}

PLUGIN_EXPORT void AnsweringPluginOpenGate(void) {
  pthread_mutex_lock(&gateLock);
  gateClosed = 0;
  pthread_cond_signal(&gateSignal);
  pthread_mutex_unlock(&gateLock);
}

PLUGIN_EXPORT int AnsweringPluginWaitingAtGate(void) { return atomic_load(&waitingAtGate); }
PLUGIN_EXPORT long long AnsweringPluginPassedGateAtNs(void) { return atomic_load(&passedGateAtNs); }

static int AnswerData(const void *request, void *reply) {
  const unsigned char *bytes = (const unsigned char *)request;
  PassGate();
  atomic_fetch_add(&dataRecords, (long)(bytes[2] | (bytes[3] << 8)));
  return Answer(request, reply);
}

PLUGIN_EXPORT int TarvoShortIdExchange(const char *service, const void *request, void *reply) {
  (void)service;
  return AnswerData(request, reply);
}

PLUGIN_EXPORT int TarvoLongIdExchange(const char *service, const void *request, void *reply) {
  (void)service;
  return AnswerData(request, reply);
}

PLUGIN_EXPORT int TarvoConfigExchange(const char *service, const void *request, void *reply) {
  (void)service;
  return Answer(request, reply);
}

PLUGIN_EXPORT int TarvoServiceKind(const char *service) {
  (void)service;
  return 1;
}

PLUGIN_EXPORT int TarvoResolvePoint(const char *service, const char *extendedName, char *out,
                                    int size) {
  (void)service;
  if (extendedName == NULL || out == NULL || size <= 0) return 1;
  snprintf(out, (size_t)size, "%s", "RESOLVED");
  return 0;
}

/* Not part of the interface: how many exchanges it answered. */
PLUGIN_EXPORT long AnsweringPluginExchanges(void) { return atomic_load(&exchanges); }

/* Not part of the interface: how many records its data requests carried. */
PLUGIN_EXPORT long AnsweringPluginRecords(void) { return atomic_load(&dataRecords); }
