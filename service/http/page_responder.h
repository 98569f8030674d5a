// SPDX-License-Identifier: Apache-2.0
// What the pages answer to one parsed request, around the routes: GET and
// HEAD only (405 with Allow otherwise), only for a Host the pages answer
// to (421 otherwise), and only for a target that decodes (400). Every
// answer is whole (a Range field is ignored) and carries headers that
// keep other sites from framing the pages or running anything in them.
//
// The Host check stops DNS rebinding: a page of another site whose name
// it made point at this address would send that name as its Host. IP
// addresses, "localhost" and the names given (--http-host) are answered.
#ifndef HISTFEED_SERVICE_HTTP_PAGE_RESPONDER_H_
#define HISTFEED_SERVICE_HTTP_PAGE_RESPONDER_H_

#include <string>
#include <string_view>
#include <vector>

#include "service/http/request_parser.h"
#include "service/http/routes.h"

namespace histfeed::service::http {

// Whether a Host field value ("name", "name:port", "[v6]:port") is one the
// pages answer to. `names` are lowercase.
bool HostAllowed(std::string_view host, const std::vector<std::string>& names);

// The bytes of an HTTP/1.1 response carrying `reply`; no body for HEAD.
std::string ResponseBytes(const Reply& reply, bool headOnly, bool close);

class PageResponder {
 public:
  PageResponder(Routes& routes, std::vector<std::string> hostNames);

  // The response to `head`; *close says whether the connection ends after it.
  std::string Respond(const RequestHead& head, bool* close);
  // The response to a request the parser refused with `status`; the
  // connection ends after it.
  static std::string Refusal(int status);

 private:
  Reply Answer(const RequestHead& head);

  Routes& routes_;
  const std::vector<std::string> hostNames_;
};

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_PAGE_RESPONDER_H_
