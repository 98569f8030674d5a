// SPDX-License-Identifier: Apache-2.0
// Giving up deliveries when the library unloads. Once the library's code
// is about to be unmapped, the sender must not spend minutes retrying a
// service that is down: while abandoned, DeliverServiceBuffer makes no
// further attempt and its pauses end at once.
#ifndef HISTFEED_CLASSIC_DELIVERY_ABANDON_H_
#define HISTFEED_CLASSIC_DELIVERY_ABANDON_H_

#include <cstdint>

namespace histfeed::classic {

// Sets (true) or clears (false) the abandon mark; setting it wakes every
// pause below.
void AbandonDeliveries(bool abandon);

// Whether the abandon mark is set.
bool DeliveriesAbandoned();

// Sleeps `ms` of library time, or less when deliveries are abandoned.
void PauseDelivery(int64_t ms);

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_DELIVERY_ABANDON_H_
