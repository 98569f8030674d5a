// SPDX-License-Identifier: Apache-2.0
#include "client_library/plugin_client_library.h"

#include "platform/dynamic_library.h"

namespace histfeed::client_library {
namespace {

struct PluginFunctions {
  TarvoStartupFunction startup = nullptr;
  TarvoConnectFunction connect = nullptr;
  TarvoDisconnectFunction disconnect = nullptr;
  TarvoStampFunction stamp = nullptr;
  TarvoExchangeFunction shortIdExchange = nullptr;
  TarvoExchangeFunction longIdExchange = nullptr;
  TarvoExchangeFunction configExchange = nullptr;
  TarvoServiceKindFunction serviceKind = nullptr;
  TarvoResolvePointFunction resolvePoint = nullptr;
};

class PluginClientLibrary final : public ClientLibrary {
 public:
  explicit PluginClientLibrary(const PluginFunctions& functions) : f_(functions) {}

  int32_t Startup(int32_t reserved) override { return f_.startup(reserved); }
  int32_t Connect(const char* service) override { return f_.connect(service); }
  int32_t Disconnect(const char* service) override { return f_.disconnect(service); }
  int32_t Stamp(void* field, int32_t size) override { return f_.stamp(field, size); }
  int32_t ShortIdExchange(const char* service, const void* request, void* reply) override {
    return f_.shortIdExchange(service, request, reply);
  }
  int32_t LongIdExchange(const char* service, const void* request, void* reply) override {
    return f_.longIdExchange(service, request, reply);
  }
  int32_t ConfigExchange(const char* service, const void* request, void* reply) override {
    return f_.configExchange(service, request, reply);
  }
  int32_t ServiceKind(const char* service) override { return f_.serviceKind(service); }
  int32_t ResolvePoint(const char* service, const char* extendedName, char* out,
                       int32_t size) override {
    return f_.resolvePoint(service, extendedName, out, size);
  }

 private:
  PluginFunctions f_;
};

class UnavailableClientLibrary final : public ClientLibrary {
 public:
  int32_t Startup(int32_t) override { return kUnavailable; }
  int32_t Connect(const char*) override { return kUnavailable; }
  int32_t Disconnect(const char*) override { return kUnavailable; }
  int32_t Stamp(void*, int32_t) override { return kUnavailable; }
  int32_t ShortIdExchange(const char*, const void*, void*) override { return kUnavailable; }
  int32_t LongIdExchange(const char*, const void*, void*) override { return kUnavailable; }
  int32_t ConfigExchange(const char*, const void*, void*) override { return kUnavailable; }
  int32_t ServiceKind(const char*) override { return kUnavailable; }
  int32_t ResolvePoint(const char*, const char*, char*, int32_t) override { return kUnavailable; }
};

// Binds one function; records the first missing name.
template <typename Function>
void Bind(platform::DynamicLibrary* library, const char* name, int32_t ordinal, Function* out,
          std::string* missing) {
  void* address = platform::FindLibraryFunction(library, name, ordinal);
  if (address == nullptr && missing->empty()) *missing = name;
  *out = reinterpret_cast<Function>(address);
}

}  // namespace

std::unique_ptr<ClientLibrary> LoadPluginClientLibrary(const char* path, std::string* error) {
  std::string reason;
  platform::DynamicLibrary* library = platform::LoadDynamicLibrary(path, &reason);
  if (library == nullptr) {
    if (error != nullptr) *error = "cannot load client library plug-in: " + reason;
    return nullptr;
  }
  PluginFunctions f;
  std::string missing;
  Bind(library, TARVO_SYMBOL_STARTUP, TARVO_ORDINAL_STARTUP, &f.startup, &missing);
  Bind(library, TARVO_SYMBOL_CONNECT, TARVO_ORDINAL_CONNECT, &f.connect, &missing);
  Bind(library, TARVO_SYMBOL_DISCONNECT, TARVO_ORDINAL_DISCONNECT, &f.disconnect, &missing);
  Bind(library, TARVO_SYMBOL_STAMP, TARVO_ORDINAL_STAMP, &f.stamp, &missing);
  Bind(library, TARVO_SYMBOL_SHORT_ID_EXCHANGE, TARVO_ORDINAL_SHORT_ID_EXCHANGE,
       &f.shortIdExchange, &missing);
  Bind(library, TARVO_SYMBOL_LONG_ID_EXCHANGE, TARVO_ORDINAL_LONG_ID_EXCHANGE, &f.longIdExchange,
       &missing);
  Bind(library, TARVO_SYMBOL_CONFIG_EXCHANGE, TARVO_ORDINAL_CONFIG_EXCHANGE, &f.configExchange,
       &missing);
  Bind(library, TARVO_SYMBOL_SERVICE_KIND, TARVO_ORDINAL_SERVICE_KIND, &f.serviceKind, &missing);
  Bind(library, TARVO_SYMBOL_RESOLVE_POINT, TARVO_ORDINAL_RESOLVE_POINT, &f.resolvePoint,
       &missing);
  if (!missing.empty()) {
    platform::UnloadDynamicLibrary(library);
    if (error != nullptr) *error = std::string("client library plug-in lacks ") + missing;
    return nullptr;
  }
  // The library stays loaded: its functions are bound for the process's life.
  return std::make_unique<PluginClientLibrary>(f);
}

std::unique_ptr<ClientLibrary> MakeUnavailableClientLibrary() {
  return std::make_unique<UnavailableClientLibrary>();
}

}  // namespace histfeed::client_library
