// SPDX-License-Identifier: Apache-2.0
#include "tests/support/fake_client_library.h"

#include <algorithm>
#include <cstring>

#include "classic/service_buffer_table.h"

namespace histfeed::testing {

FakeClientLibrary::FakeClientLibrary() {
  previous_ = client_library::SetClientLibraryForTesting(this);
}

FakeClientLibrary::~FakeClientLibrary() {
  ReleaseExchanges();
  client_library::SetClientLibraryForTesting(previous_);
}

int32_t FakeClientLibrary::Next(std::deque<int32_t>& scripted, int32_t fallback) {
  if (scripted.empty()) return fallback;
  int32_t result = scripted.front();
  scripted.pop_front();
  return result;
}

void FakeClientLibrary::ScriptStartup(std::vector<int32_t> results) {
  std::lock_guard<std::mutex> lock(mutex_);
  startup_.assign(results.begin(), results.end());
}

void FakeClientLibrary::ScriptConnect(std::vector<int32_t> results) {
  std::lock_guard<std::mutex> lock(mutex_);
  connect_.assign(results.begin(), results.end());
}

void FakeClientLibrary::SetConnectDefault(int32_t result) {
  std::lock_guard<std::mutex> lock(mutex_);
  connectDefault_ = result;
}

void FakeClientLibrary::ScriptExchanges(std::vector<FakeAnswer> answers) {
  std::lock_guard<std::mutex> lock(mutex_);
  exchanges_.assign(answers.begin(), answers.end());
}

void FakeClientLibrary::SetExchangeDefault(FakeAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  exchangeDefault_ = std::move(answer);
}

void FakeClientLibrary::SetServiceKind(int32_t answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  serviceKind_ = answer;
}

void FakeClientLibrary::SetResolve(int32_t result, std::string identifier) {
  std::lock_guard<std::mutex> lock(mutex_);
  resolveResult_ = result;
  resolved_ = std::move(identifier);
}

void FakeClientLibrary::HoldExchanges() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = true;
}

void FakeClientLibrary::ReleaseExchanges() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = false;
  released_.notify_all();
}

std::vector<FakeClientLibrary::Call> FakeClientLibrary::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<FakeClientLibrary::Call> FakeClientLibrary::CallsOf(int32_t ordinal) const {
  std::vector<Call> all = Calls();
  std::vector<Call> matching;
  std::copy_if(all.begin(), all.end(), std::back_inserter(matching),
               [ordinal](const Call& call) { return call.ordinal == ordinal; });
  return matching;
}

size_t FakeClientLibrary::CountOf(int32_t ordinal) const { return CallsOf(ordinal).size(); }

std::vector<FakeClientLibrary::Call> FakeClientLibrary::DataExchanges() const {
  std::vector<Call> all = Calls();
  std::vector<Call> matching;
  std::copy_if(all.begin(), all.end(), std::back_inserter(matching), [](const Call& call) {
    return call.ordinal == TARVO_ORDINAL_SHORT_ID_EXCHANGE ||
           call.ordinal == TARVO_ORDINAL_LONG_ID_EXCHANGE;
  });
  return matching;
}

int32_t FakeClientLibrary::Startup(int32_t reserved) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call call;
  call.ordinal = TARVO_ORDINAL_STARTUP;
  call.size = reserved;
  calls_.push_back(call);
  return Next(startup_, 0);
}

int32_t FakeClientLibrary::Connect(const char* service) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call call;
  call.ordinal = TARVO_ORDINAL_CONNECT;
  call.service = service != nullptr ? service : "";
  calls_.push_back(call);
  return Next(connect_, connectDefault_);
}

int32_t FakeClientLibrary::Disconnect(const char* service) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call call;
  call.ordinal = TARVO_ORDINAL_DISCONNECT;
  call.service = service != nullptr ? service : "";
  calls_.push_back(call);
  return 0;
}

int32_t FakeClientLibrary::Stamp(void* field, int32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call call;
  call.ordinal = TARVO_ORDINAL_STAMP;
  call.stampAddress = field;
  call.size = size;
  calls_.push_back(call);
  lastStamp_ = field;
  std::memset(field, 0x5A, static_cast<size_t>(std::max(size, 0)));
  return 0;
}

int32_t FakeClientLibrary::Exchange(int32_t ordinal, const char* service, const void* request,
                                    size_t size, void* reply) {
  std::unique_lock<std::mutex> lock(mutex_);
  Call call;
  call.ordinal = ordinal;
  call.service = service != nullptr ? service : "";
  const auto* bytes = static_cast<const uint8_t*>(request);
  call.request.assign(bytes, bytes + size);
  auto* block = static_cast<uint8_t*>(reply);
  call.replyOnEntry.assign(block, block + TARVO_REPLY_SIZE);
  call.requestAddress = request;
  call.replyAddress = reply;
  call.stampAddress = lastStamp_;
  call.busyFlagOnEntry = classic::Classic().busy.load() != 0;
  calls_.push_back(call);
  released_.wait(lock, [this] { return !held_; });

  FakeAnswer answer = exchangeDefault_;
  if (!exchanges_.empty()) {
    answer = exchanges_.front();
    exchanges_.pop_front();
  }
  if (!answer.raw.empty()) {
    std::memcpy(block, answer.raw.data(), std::min<size_t>(answer.raw.size(), TARVO_REPLY_SIZE));
  } else {
    for (int i = 0; i < 4; ++i) {
      block[TARVO_REPLY_STATUS_OFFSET + i] = static_cast<uint8_t>(answer.status >> (8 * i));
    }
    std::memcpy(block + TARVO_REPLY_TEXT_OFFSET, answer.text.data(),
                std::min<size_t>(answer.text.size(), TARVO_REPLY_TEXT_SIZE));
  }
  return answer.result;
}

int32_t FakeClientLibrary::ShortIdExchange(const char* service, const void* request,
                                           void* reply) {
  return Exchange(TARVO_ORDINAL_SHORT_ID_EXCHANGE, service, request, TARVO_SHORT_ID_REQUEST_SIZE,
                  reply);
}

int32_t FakeClientLibrary::LongIdExchange(const char* service, const void* request,
                                          void* reply) {
  return Exchange(TARVO_ORDINAL_LONG_ID_EXCHANGE, service, request, TARVO_LONG_ID_REQUEST_SIZE,
                  reply);
}

int32_t FakeClientLibrary::ConfigExchange(const char* service, const void* request,
                                          void* reply) {
  return Exchange(TARVO_ORDINAL_CONFIG_EXCHANGE, service, request, TARVO_CONFIG_REQUEST_SIZE,
                  reply);
}

int32_t FakeClientLibrary::ServiceKind(const char* service) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call call;
  call.ordinal = TARVO_ORDINAL_SERVICE_KIND;
  call.service = service != nullptr ? service : "";
  calls_.push_back(call);
  return serviceKind_;
}

int32_t FakeClientLibrary::ResolvePoint(const char* service, const char* extendedName, char* out,
                                        int32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call call;
  call.ordinal = TARVO_ORDINAL_RESOLVE_POINT;
  call.service = service != nullptr ? service : "";
  call.extendedName = extendedName != nullptr ? extendedName : "";
  call.size = size;
  calls_.push_back(call);
  if (resolveResult_ == 0 && out != nullptr && size > 0) {
    size_t n = std::min(resolved_.size(), static_cast<size_t>(size) - 1);
    std::memcpy(out, resolved_.data(), n);
    out[n] = '\0';
  }
  return resolveResult_;
}

}  // namespace histfeed::testing
