// SPDX-License-Identifier: Apache-2.0
// An in-process client library for tests: it records every call and
// answers as scripted. Constructing one puts it in place of the real
// backend; destroying it puts the previous one back.
#ifndef HISTFEED_TESTS_SUPPORT_FAKE_CLIENT_LIBRARY_H_
#define HISTFEED_TESTS_SUPPORT_FAKE_CLIENT_LIBRARY_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "client_library/client_library.h"

namespace histfeed::testing {

// How the fake answers one exchange.
struct FakeAnswer {
  int32_t result = 0;    // what the exchange call returns
  uint32_t status = 0;   // reply offset 4
  std::string text;      // reply offset 8, cut to 248 bytes (no terminator when full)
  std::vector<uint8_t> raw;  // when not empty: the whole reply block, as is
};

inline FakeAnswer Accept(std::string text = "") { return {0, 0, std::move(text), {}}; }
inline FakeAnswer Refuse(uint32_t status = 0x21, std::string text = "refused") {
  return {0, status, std::move(text), {}};
}
inline FakeAnswer Busy() { return {0, TARVO_STATUS_BUSY_BITS, "", {}}; }

class FakeClientLibrary final : public client_library::ClientLibrary {
 public:
  struct Call {
    int32_t ordinal = 0;
    std::string service;
    std::string extendedName;
    std::vector<uint8_t> request;       // exchanges: the request as received
    std::vector<uint8_t> replyOnEntry;  // exchanges: the reply block as received
    const void* requestAddress = nullptr;
    const void* replyAddress = nullptr;
    const void* stampAddress = nullptr;  // stamp: the field; exchanges: the last stamp's field
    int32_t size = 0;                    // stamp and resolve: the size argument
    bool busyFlagOnEntry = false;        // exchanges: the classic busy flag when called
  };

  FakeClientLibrary();
  ~FakeClientLibrary() override;

  // Scripting. Scripted results are used once each, in order; then the
  // default applies.
  void ScriptStartup(std::vector<int32_t> results);
  void ScriptConnect(std::vector<int32_t> results);
  void SetConnectDefault(int32_t result);
  void ScriptExchanges(std::vector<FakeAnswer> answers);
  void SetExchangeDefault(FakeAnswer answer);
  void SetServiceKind(int32_t answer);
  void SetResolve(int32_t result, std::string identifier);

  // While held, exchange calls are recorded and then block until released.
  void HoldExchanges();
  void ReleaseExchanges();

  std::vector<Call> Calls() const;
  std::vector<Call> CallsOf(int32_t ordinal) const;
  size_t CountOf(int32_t ordinal) const;
  // Exchanges of data requests (2004 and 2005), in call order.
  std::vector<Call> DataExchanges() const;

  int32_t Startup(int32_t reserved) override;
  int32_t Connect(const char* service) override;
  int32_t Disconnect(const char* service) override;
  int32_t Stamp(void* field, int32_t size) override;
  int32_t ShortIdExchange(const char* service, const void* request, void* reply) override;
  int32_t LongIdExchange(const char* service, const void* request, void* reply) override;
  int32_t ConfigExchange(const char* service, const void* request, void* reply) override;
  int32_t ServiceKind(const char* service) override;
  int32_t ResolvePoint(const char* service, const char* extendedName, char* out,
                       int32_t size) override;

 private:
  int32_t Exchange(int32_t ordinal, const char* service, const void* request, size_t size,
                   void* reply);
  static int32_t Next(std::deque<int32_t>& scripted, int32_t fallback);

  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  client_library::ClientLibrary* previous_ = nullptr;
  std::vector<Call> calls_;
  std::deque<int32_t> startup_;
  std::deque<int32_t> connect_;
  int32_t connectDefault_ = 0;
  std::deque<FakeAnswer> exchanges_;
  FakeAnswer exchangeDefault_;
  int32_t serviceKind_ = 1;
  int32_t resolveResult_ = 0;
  std::string resolved_ = "PT000001";
  const void* lastStamp_ = nullptr;
};

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_FAKE_CLIENT_LIBRARY_H_
