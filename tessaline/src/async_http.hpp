#pragma once
// The synchronous HTTP client run on a small shared I/O pool and awaited on
// the caller's event loop, so a slow backend never blocks the loop.
#include <asio/awaitable.hpp>
#include <string>

#include "kit/http/client.hpp"

namespace tessaline::async_http {

asio::awaitable<kit::http::Response> get(std::string url, double timeout_seconds);
asio::awaitable<kit::http::Response> post_json(std::string url, kit::json::Json body, double timeout_seconds);

}  // namespace tessaline::async_http
