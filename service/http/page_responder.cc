// SPDX-License-Identifier: Apache-2.0
#include "service/http/page_responder.h"

#include <algorithm>
#include <boost/beast/http/status.hpp>
#include <cctype>
#include <exception>

#include "service/network.h"

namespace histfeed::service::http {
namespace {

using boost::beast::http::verb;

constexpr const char* kText = "text/plain; charset=utf-8";

// Same-origin scripts, styles, requests and images only; never framed.
constexpr const char* kSecurityHeaders =
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: default-src 'self'; img-src 'self' data:; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'\r\n"
    "Referrer-Policy: no-referrer\r\n";

Reply Text(int status, const std::string& text) { return {status, kText, text + "\n"}; }

bool IsIpAddress(const std::string& text) {
  ErrorCode error;
  asio::ip::make_address(text, error);
  return !error;
}

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool HostAllowed(std::string_view host, const std::vector<std::string>& names) {
  std::string name;
  if (!host.empty() && host.front() == '[') {
    size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !AllDigits(rest.substr(1)))) return false;
    return IsIpAddress(std::string(host.substr(1, close - 1)));
  }
  size_t colon = host.rfind(':');
  if (colon != std::string_view::npos && !AllDigits(host.substr(colon + 1))) return false;
  name = std::string(host.substr(0, colon));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty()) return false;
  if (name == "localhost" || IsIpAddress(name)) return true;
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string ResponseBytes(const Reply& reply, bool headOnly, bool close) {
  boost::beast::string_view reason =
      boost::beast::http::obsolete_reason(boost::beast::http::int_to_status(
          static_cast<unsigned>(reply.status)));
  std::string bytes = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                      std::string(reason.data(), reason.size()) + "\r\n";
  bytes += "Content-Type: " + reply.contentType + "\r\n";
  bytes += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  bytes += kSecurityHeaders;
  if (!reply.allow.empty()) bytes += "Allow: " + reply.allow + "\r\n";
  if (close) bytes += "Connection: close\r\n";
  bytes += "\r\n";
  if (!headOnly) bytes += reply.body;
  return bytes;
}

PageResponder::PageResponder(Routes& routes, std::vector<std::string> hostNames)
    : routes_(routes), hostNames_(std::move(hostNames)) {}

std::string PageResponder::Refusal(int status) {
  const char* why = status == 431   ? "the request's header is too large"
                    : status == 414 ? "the request's address is too long"
                    : status == 413 ? "the pages take no request body"
                                    : "the request is not HTTP/1.1 as the pages read it";
  return ResponseBytes(Text(status, why), false, true);
}

std::string PageResponder::Respond(const RequestHead& head, bool* close) {
  Reply reply = Answer(head);
  *close = !head.keepAlive || head.version != 11 || reply.status == 400;
  return ResponseBytes(reply, head.method == verb::head, *close);
}

Reply PageResponder::Answer(const RequestHead& head) {
  if (head.hostFields > 1) return Text(400, "a request names one Host");
  if (!head.host) {
    if (head.version == 11) return Text(400, "an HTTP/1.1 request names its Host");
  } else if (!HostAllowed(*head.host, hostNames_)) {
    return Text(421,
                "these pages answer to IP addresses, localhost and the names given with "
                "--http-host");
  }
  if (head.method != verb::get && head.method != verb::head) {
    Reply refused = Text(405, "only GET and HEAD are answered here");
    refused.allow = "GET, HEAD";
    return refused;
  }
  std::string path;
  QueryParams params;
  std::string error = ParseTarget(head.target, &path, &params);
  if (!error.empty()) return Text(400, error);
  try {
    return routes_.Get(path, params);
  } catch (const std::exception&) {  // out of memory, for one: this page only
    return Text(503, "the page could not be made now");
  }
}

}  // namespace histfeed::service::http
