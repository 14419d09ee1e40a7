#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

namespace tavrino::share {

// Suspends the calling coroutine until a callback-style operation completes.
// start(complete) begins the operation; complete may be called once, on any
// thread. The coroutine always resumes on its own executor (for the Host: the
// main thread), never on the caller of complete.
template <class T, class Start>
asio::awaitable<T> awaitCompletion(Start start) {
  if constexpr (std::is_void_v<T>) {
    return asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
        [start = std::move(start)](auto handler) mutable {
          auto executor = asio::get_associated_executor(handler);
          auto shared = std::make_shared<decltype(handler)>(std::move(handler));
          start([shared, executor]() {
            asio::post(executor, [shared]() mutable { std::move(*shared)(); });
          });
        },
        asio::use_awaitable);
  } else {
    return asio::async_initiate<const asio::use_awaitable_t<>&, void(T)>(
        [start = std::move(start)](auto handler) mutable {
          auto executor = asio::get_associated_executor(handler);
          auto shared = std::make_shared<decltype(handler)>(std::move(handler));
          start([shared, executor](T value) {
            asio::post(executor, [shared, value = std::move(value)]() mutable {
              std::move(*shared)(std::move(value));
            });
          });
        },
        asio::use_awaitable);
  }
}

}  // namespace tavrino::share
