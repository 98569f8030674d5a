// SPDX-License-Identifier: Apache-2.0
// The pages' HTML, script and style sheet, built into the program from
// service/http/assets/ so the service serves them without files beside it.
#ifndef HISTFEED_SERVICE_HTTP_PAGE_ASSETS_H_
#define HISTFEED_SERVICE_HTTP_PAGE_ASSETS_H_

#include <string_view>

namespace histfeed::service::http {

struct PageAsset {
  std::string_view name;  // file name, as "overview.html"
  std::string_view content;
};

// The asset of that name, or null.
const PageAsset* FindPageAsset(std::string_view name);

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_PAGE_ASSETS_H_
