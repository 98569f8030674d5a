// SPDX-License-Identifier: Apache-2.0
// The backend that forwards to a plug-in shared library (tarvo_plugin.h).
#ifndef HISTFEED_CLIENT_LIBRARY_PLUGIN_CLIENT_LIBRARY_H_
#define HISTFEED_CLIENT_LIBRARY_PLUGIN_CLIENT_LIBRARY_H_

#include <memory>
#include <string>

#include "client_library/client_library.h"

namespace histfeed::client_library {

// Loads the plug-in at `path` and binds its nine functions. Returns null
// and a readable reason in *error (when given) when the library cannot be
// loaded or lacks a function; nothing stays loaded then. The returned
// backend keeps the library loaded for the rest of the process.
std::unique_ptr<ClientLibrary> LoadPluginClientLibrary(const char* path, std::string* error);

// A backend whose every call fails with kUnavailable.
std::unique_ptr<ClientLibrary> MakeUnavailableClientLibrary();

}  // namespace histfeed::client_library

#endif  // HISTFEED_CLIENT_LIBRARY_PLUGIN_CLIENT_LIBRARY_H_
