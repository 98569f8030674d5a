// Plain loopback sockets for tests that talk to a service directly.
#ifndef HISTFEED_TESTS_SUPPORT_LOOPBACK_H_
#define HISTFEED_TESTS_SUPPORT_LOOPBACK_H_

#include <cstdint>

namespace histfeed::testing {

// A socket connected to 127.0.0.1:port, or -1 when nothing accepted it.
int ConnectLoopback(uint16_t port);

// A loopback port that nothing listens on at the moment.
uint16_t FreeLoopbackPort();

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_LOOPBACK_H_
