// SPDX-License-Identifier: Apache-2.0
// Plain loopback sockets for tests that talk to a service directly.
#ifndef HISTFEED_TESTS_SUPPORT_LOOPBACK_H_
#define HISTFEED_TESTS_SUPPORT_LOOPBACK_H_

#include <cstddef>
#include <cstdint>

namespace histfeed::testing {

// A socket connected to 127.0.0.1:port, or -1 when nothing accepted it.
int ConnectLoopback(uint16_t port);

// A loopback port that nothing listens on at the moment.
uint16_t FreeLoopbackPort();

// Blocking reads and writes on such a socket. ReadExactly is false on an
// end of stream or an error, WriteAll when the connection failed.
bool ReadExactly(int socket, void* data, size_t size);
bool WriteAll(int socket, const void* data, size_t size);

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_LOOPBACK_H_
