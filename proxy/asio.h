#pragma once

// The one header through which the core reaches Asio and Beast. Boost 1.74's
// awaitable.hpp uses std::exchange without including <utility>, so it comes first.
#include <utility>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

namespace veltrox::proxy {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

}  // namespace veltrox::proxy
