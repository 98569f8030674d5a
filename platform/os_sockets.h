// SPDX-License-Identifier: Apache-2.0
// The operating system's socket calls, one definition per system
// (posix/socket.cc, windows/socket.cc). Only the default SocketSystem
// calls them; everything else goes through Sockets().
#ifndef HISTFEED_PLATFORM_OS_SOCKETS_H_
#define HISTFEED_PLATFORM_OS_SOCKETS_H_

#include <cstdint>

#include "platform/socket.h"

namespace histfeed::platform::os {

int32_t StartSockets();
bool ResolveIpv4(const char* host, uint8_t address[4]);
SocketHandle OpenStreamSocket();
bool ConnectSocket(SocketHandle socket, const Ipv4Address& address);
bool ConnectSocketWithin(SocketHandle socket, const Ipv4Address& address, int64_t timeoutMs);
int32_t SendAll(SocketHandle socket, const void* data, int32_t length);
WaitResult WaitReadable(SocketHandle socket, int64_t timeoutMs);
int32_t Receive(SocketHandle socket, void* buffer, int32_t capacity);
int32_t ReceiveWithin(SocketHandle socket, void* buffer, int32_t capacity, int64_t timeoutMs,
                      WaitResult* wait);
void DiscardPending(SocketHandle socket);
void ShutdownSocket(SocketHandle socket);
void CloseSocket(SocketHandle socket);
int32_t LastSocketError();
SocketHandle ListenLoopback(uint16_t port, uint16_t* boundPort);
SocketHandle AcceptConnection(SocketHandle listener);

}  // namespace histfeed::platform::os

#endif  // HISTFEED_PLATFORM_OS_SOCKETS_H_
