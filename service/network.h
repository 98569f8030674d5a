// SPDX-License-Identifier: Apache-2.0
// The service's event loops run on Boost.Asio, the Asio that Boost.Beast
// (the pages' HTTP parser) is built on: one Asio in the program. Named
// here once, so the listeners write asio:: and ErrorCode.
#ifndef HISTFEED_SERVICE_NETWORK_H_
#define HISTFEED_SERVICE_NETWORK_H_

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

namespace histfeed::service {

namespace asio = boost::asio;
using ErrorCode = boost::system::error_code;

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_NETWORK_H_
