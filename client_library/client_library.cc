// SPDX-License-Identifier: Apache-2.0
#include "client_library/client_library.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "client_library/network_client_library.h"
#include "client_library/plugin_client_library.h"
#include "client_library/service_addresses.h"
#include "platform/environment.h"

namespace histfeed::client_library {
namespace {

std::atomic<ClientLibrary*> testingBackend{nullptr};
std::atomic<ClientLibrary*> chosenBackend{nullptr};

#if defined(_WIN32)
// On Windows the maker's client library is the default, found by the
// system's search order for DLLs.
constexpr const char* kDefaultClientLibrary = "tarvoapi.dll";
#else
constexpr const char* kDefaultClientLibrary = nullptr;
#endif

// Chooses the backend once. It is never destroyed, so calls made while
// the library unloads still find it.
ClientLibrary* ChooseBackend() {
  std::optional<std::string> path = platform::GetEnvironment(TARVO_PLUGIN_ENVIRONMENT_VARIABLE);
  if (path && !path->empty()) {
    // A plug-in that was asked for and cannot serve is not replaced by the
    // network: deliveries would go somewhere the user did not choose.
    std::unique_ptr<ClientLibrary> chosen = LoadPluginClientLibrary(path->c_str(), nullptr);
    if (!chosen) chosen = MakeUnavailableClientLibrary();
    return chosen.release();
  }
  if (kDefaultClientLibrary != nullptr) {
    if (auto chosen = LoadPluginClientLibrary(kDefaultClientLibrary, nullptr)) {
      return chosen.release();
    }
    // Without the default library the network serves only where services
    // are named for it.
    std::optional<std::string> services = platform::GetEnvironment(network::kServicesVariable);
    if (!services || services->empty()) return MakeUnavailableClientLibrary().release();
  }
  return MakeNetworkClientLibraryFromEnvironment().release();
}

ClientLibrary& Backend() {
  ClientLibrary* testing = testingBackend.load(std::memory_order_acquire);
  if (testing != nullptr) return *testing;
  static ClientLibrary* const chosen = [] {
    ClientLibrary* backend = ChooseBackend();
    chosenBackend.store(backend, std::memory_order_release);
    return backend;
  }();
  return *chosen;
}

}  // namespace

int32_t Startup(int32_t reserved) { return Backend().Startup(reserved); }
int32_t Connect(const char* service) { return Backend().Connect(service); }
int32_t Disconnect(const char* service) { return Backend().Disconnect(service); }
int32_t Stamp(void* field, int32_t size) { return Backend().Stamp(field, size); }

int32_t ShortIdExchange(const char* service, const void* request, void* reply) {
  return Backend().ShortIdExchange(service, request, reply);
}

int32_t LongIdExchange(const char* service, const void* request, void* reply) {
  return Backend().LongIdExchange(service, request, reply);
}

int32_t ConfigExchange(const char* service, const void* request, void* reply) {
  return Backend().ConfigExchange(service, request, reply);
}

int32_t ServiceKind(const char* service) { return Backend().ServiceKind(service); }

int32_t ResolvePoint(const char* service, const char* extendedName, char* out, int32_t size) {
  return Backend().ResolvePoint(service, extendedName, out, size);
}

// Never chooses a backend: closing needs none where nothing was opened.
void CloseConnections() {
  ClientLibrary* backend = testingBackend.load(std::memory_order_acquire);
  if (backend == nullptr) backend = chosenBackend.load(std::memory_order_acquire);
  if (backend != nullptr) backend->CloseConnections();
}

ClientLibrary* SetClientLibraryForTesting(ClientLibrary* backend) {
  return testingBackend.exchange(backend, std::memory_order_acq_rel);
}

}  // namespace histfeed::client_library
