// SPDX-License-Identifier: Apache-2.0
// The calls the classic family makes into the maker's client library.
//
// One interface with one backend behind it, chosen once, on the first
// call into this layer, whichever call that is: a plug-in named by the
// environment variable HISTFEED_CLIENT_LIBRARY (one that cannot be loaded
// gives a backend that fails every call), or else, with the variable unset
// or empty, the built-in network backend. On Windows the maker's
// tarvoapi.dll comes before the network backend, which serves there only
// when the DLL cannot be loaded and HISTFEED_SERVICES names services. Tests
// put a backend of their own in place first.
#ifndef HISTFEED_CLIENT_LIBRARY_CLIENT_LIBRARY_H_
#define HISTFEED_CLIENT_LIBRARY_CLIENT_LIBRARY_H_

#include <cstdint>

#include "histfeed/tarvo_plugin.h"

namespace histfeed::client_library {

// Result of every call of a backend that is not usable.
inline constexpr int32_t kUnavailable = -1;

// A backend. Each call answers 0 for success; see tarvo_plugin.h for the
// arguments, request and reply layouts. Calls may come from several
// threads at once.
class ClientLibrary {
 public:
  virtual ~ClientLibrary() = default;
  virtual int32_t Startup(int32_t reserved) = 0;                                    // 1406
  virtual int32_t Connect(const char* service) = 0;                                 // 1410
  virtual int32_t Disconnect(const char* service) = 0;                              // 1403
  virtual int32_t Stamp(void* field, int32_t size) = 0;                             // 1404
  virtual int32_t ShortIdExchange(const char* service, const void* request, void* reply) = 0;  // 2004
  virtual int32_t LongIdExchange(const char* service, const void* request, void* reply) = 0;   // 2005
  virtual int32_t ConfigExchange(const char* service, const void* request, void* reply) = 0;    // 2006
  virtual int32_t ServiceKind(const char* service) = 0;                             // 1519
  virtual int32_t ResolvePoint(const char* service, const char* extendedName, char* out,
                               int32_t size) = 0;                                   // 1527
  // Closes every connection the backend holds; a later call opens again.
  // Backends without connections of their own do nothing.
  virtual void CloseConnections() {}
};

// The calls of the classic family, forwarded to the chosen backend.
int32_t Startup(int32_t reserved);
int32_t Connect(const char* service);
int32_t Disconnect(const char* service);
int32_t Stamp(void* field, int32_t size);
int32_t ShortIdExchange(const char* service, const void* request, void* reply);
int32_t LongIdExchange(const char* service, const void* request, void* reply);
int32_t ConfigExchange(const char* service, const void* request, void* reply);
int32_t ServiceKind(const char* service);
int32_t ResolvePoint(const char* service, const char* extendedName, char* out, int32_t size);
// Closes the connections of the backend in use, if one was chosen: at
// StopProcess and at unloading, so that no socket outlives its use.
void CloseConnections();

// Makes `backend` answer every call from now on, in place of the one
// chosen at the first call (null goes back to that one). The caller keeps
// ownership and keeps the backend alive while calls may reach it.
// Returns the backend that was set before. For tests.
ClientLibrary* SetClientLibraryForTesting(ClientLibrary* backend);

}  // namespace histfeed::client_library

#endif  // HISTFEED_CLIENT_LIBRARY_CLIENT_LIBRARY_H_
