// SPDX-License-Identifier: Apache-2.0
#include "service/http/request_parser.h"

#include <boost/beast/http/error.hpp>

namespace histfeed::service::http {

namespace beast_http = boost::beast::http;

RequestParser::RequestParser() {
  header_limit(kMaxHeaderBytes);
  body_limit(kMaxBodyBytes);
  eager(true);
}

RequestParser::Progress RequestParser::Parse(const uint8_t* bytes, size_t size) {
  while (!is_done()) {
    error_code error;
    size_t used = put(boost::asio::const_buffer(bytes + consumed_, size - consumed_), error);
    consumed_ += used;
    if (error == beast_http::error::need_more) {
      if (consumed_ < size && used > 0) continue;
      return Progress::kNeedMore;
    }
    if (error) {
      if (refusalStatus_ == 0) {
        if (error == beast_http::error::header_limit) {
          refusalStatus_ = sawRequestLine_ ? 431 : 414;
        } else if (error == beast_http::error::body_limit) {
          refusalStatus_ = 413;
        } else {
          refusalStatus_ = 400;
        }
      }
      return Progress::kRefused;
    }
    if (used == 0 && !is_done()) return Progress::kNeedMore;
  }
  head_.keepAlive = keep_alive();
  return Progress::kDone;
}

void RequestParser::on_request_impl(verb method, string_view methodText, string_view target,
                                    int version, error_code& error) {
  sawRequestLine_ = true;
  if (target.size() > kMaxTargetBytes) {
    refusalStatus_ = 414;
    error = beast_http::error::bad_target;
    return;
  }
  head_.method = method;
  head_.methodText.assign(methodText.data(), methodText.size());
  head_.target.assign(target.data(), target.size());
  head_.version = version;
}

void RequestParser::on_response_impl(int, string_view, int, error_code& error) {
  error = beast_http::error::bad_version;  // a request parser meets no status line
}

void RequestParser::on_field_impl(field name, string_view, string_view value,
                                  error_code& error) {
  if (++fields_ > kMaxFields) {
    refusalStatus_ = 431;
    error = beast_http::error::header_limit;
    return;
  }
  if (name == field::host) {
    ++head_.hostFields;
    if (!head_.host) head_.host = std::string(value.data(), value.size());
  }
}

void RequestParser::on_header_impl(error_code&) {}

void RequestParser::on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) {}

size_t RequestParser::on_body_impl(string_view body, error_code&) { return body.size(); }

void RequestParser::on_chunk_header_impl(std::uint64_t, string_view, error_code&) {}

size_t RequestParser::on_chunk_body_impl(std::uint64_t, string_view body, error_code&) {
  return body.size();
}

void RequestParser::on_finish_impl(error_code&) {}

}  // namespace histfeed::service::http
