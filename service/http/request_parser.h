// SPDX-License-Identifier: Apache-2.0
// Reads HTTP/1.x requests for the pages out of a connection's bytes, on
// Boost.Beast's parser, within fixed limits: the request line and the
// header fields at most kMaxHeaderBytes each, at most kMaxFields fields,
// a target of at most kMaxTargetBytes, a body of at most kMaxBodyBytes
// (the pages take none; it is read and dropped). Only what the pages use
// is kept (method, target, Host, whether to keep the connection), so a
// request costs its bytes while it arrives and a few strings after.
// A Range field is not even kept: the pages answer whole.
#ifndef HISTFEED_SERVICE_HTTP_REQUEST_PARSER_H_
#define HISTFEED_SERVICE_HTTP_REQUEST_PARSER_H_

#include <boost/beast/http/basic_parser.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace histfeed::service::http {

inline constexpr size_t kMaxHeaderBytes = 8192;
inline constexpr int kMaxFields = 100;
inline constexpr size_t kMaxTargetBytes = 4096;
inline constexpr size_t kMaxBodyBytes = 4096;
// The most a whole request can take in a connection's buffer: its head,
// and its body with room for chunk sizes; a request that needs more is
// refused (413).
inline constexpr size_t kMaxRequestBytes = 2 * kMaxHeaderBytes + 2 * kMaxBodyBytes;

struct RequestHead {
  boost::beast::http::verb method = boost::beast::http::verb::unknown;
  std::string methodText;
  std::string target;
  int version = 11;  // 10 for HTTP/1.0, 11 for HTTP/1.1
  std::optional<std::string> host;
  int hostFields = 0;  // a request with more than one Host is refused
  bool keepAlive = true;
};

// One request; make a new parser for the next one.
class RequestParser : public boost::beast::http::basic_parser<true> {
 public:
  enum class Progress { kNeedMore, kDone, kRefused };

  RequestParser();

  // Parses `bytes`, the request's bytes from its first on: those seen by
  // an earlier call are not read again. kRefused: the request breaks HTTP
  // or the limits; refusalStatus() says how to answer before closing.
  Progress Parse(const uint8_t* bytes, size_t size);
  // The request's bytes, once Parse said kDone.
  size_t consumed() const { return consumed_; }
  const RequestHead& head() const { return head_; }
  int refusalStatus() const { return refusalStatus_; }

 private:
  using verb = boost::beast::http::verb;
  using field = boost::beast::http::field;
  using string_view = boost::beast::string_view;
  using error_code = boost::beast::error_code;

  void on_request_impl(verb method, string_view methodText, string_view target, int version,
                       error_code& error) override;
  void on_response_impl(int, string_view, int, error_code& error) override;
  void on_field_impl(field name, string_view nameText, string_view value,
                     error_code& error) override;
  void on_header_impl(error_code& error) override;
  void on_body_init_impl(const boost::optional<std::uint64_t>& length,
                         error_code& error) override;
  size_t on_body_impl(string_view body, error_code& error) override;
  void on_chunk_header_impl(std::uint64_t size, string_view extensions,
                            error_code& error) override;
  size_t on_chunk_body_impl(std::uint64_t remain, string_view body, error_code& error) override;
  void on_finish_impl(error_code& error) override;

  RequestHead head_;
  size_t consumed_ = 0;
  int fields_ = 0;
  bool sawRequestLine_ = false;
  int refusalStatus_ = 0;  // set by the callbacks, else taken from the parser's error
};

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_REQUEST_PARSER_H_
