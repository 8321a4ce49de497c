#include "async_http.hpp"

#include "studio_access.hpp"

#include <asio/co_spawn.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

namespace tessaline::async_http {
namespace {

asio::thread_pool& io_pool() {
  static asio::thread_pool* pool = new asio::thread_pool(4);  // lives for the process
  return *pool;
}

// A plain function, not a capturing lambda: the coroutine frame must own
// `call`, since the lambda object would be gone before the coroutine runs.
template <typename F>
asio::awaitable<kit::http::Response> run_call(F call) {
  co_return call();
}

template <typename F>
asio::awaitable<kit::http::Response> offload(F call) {
  co_return co_await asio::co_spawn(io_pool(), run_call(std::move(call)), asio::use_awaitable);
}

}  // namespace

asio::awaitable<kit::http::Response> get(std::string url, double timeout_seconds) {
  return offload([url = std::move(url), timeout_seconds] {
    return kit::http::get(url, kit::http::Seconds(timeout_seconds), studio_access::headers());
  });
}

asio::awaitable<kit::http::Response> post_json(std::string url, kit::json::Json body, double timeout_seconds) {
  return offload([url = std::move(url), body = std::move(body), timeout_seconds] {
    return kit::http::post_json(url, body, kit::http::Seconds(timeout_seconds), studio_access::headers());
  });
}

}  // namespace tessaline::async_http
