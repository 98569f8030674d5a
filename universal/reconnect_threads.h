// SPDX-License-Identifier: Apache-2.0
// The reconnect threads: each watches one link of a key and rebuilds its
// connection every 5 seconds while it is marked not connected.
#ifndef HISTFEED_UNIVERSAL_RECONNECT_THREADS_H_
#define HISTFEED_UNIVERSAL_RECONNECT_THREADS_H_

#include "universal/key.h"

namespace histfeed::universal {

// Starts the reconnect thread of `link`, one of the key's two links. A
// failed start is ignored: the link then stays as connecting left it.
void StartReconnectThread(Key& key, ServiceLink& link);

// Stops the key's reconnect threads and waits for them to end (a
// repeated connect replaces them). The caller holds key.lifecycle.
void StopReconnectThreads(Key& key) REQUIRES(key.lifecycle);

// Stops every background thread of the key and waits for it to end.
// The caller holds key.lifecycle.
void StopKeyThreads(Key& key) REQUIRES(key.lifecycle);

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_RECONNECT_THREADS_H_
