#include "core/serving.h"

#include <chrono>
#include <exception>
#include <memory>
#include <thread>
#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace tavrino::share {
namespace {

asio::awaitable<void> finalStop(std::shared_ptr<Host> host) { co_await host->shutdown(); }

// A capture waiting on an X server that stopped answering never ends, and
// the helper must still go when its browser does.
constexpr std::chrono::seconds kLongestFinalStop{10};

}  // namespace

void serve(asio::io_context& io, const std::shared_ptr<Host>& host, ByteReader input) {
  // Keeps run() from returning while the reader is blocked in a read.
  auto work = asio::make_work_guard(io);
  auto executor = io.get_executor();

  std::jthread reader([&io, executor, host, input = std::move(input)] {
    // The reader never touches the Host: it only hands requests over, without waiting.
    while (auto request = Wire::decodeFrame(input)) {
      asio::post(io, [executor, host, request = std::move(*request)]() mutable {
        spawnTask(executor, host->handle(std::move(request)));
      });
    }
    // Tasks still waiting are abandoned once the final stop is done.
    asio::post(io, [&io, host] {
      auto deadline = std::make_shared<asio::steady_timer>(io, kLongestFinalStop);
      deadline->async_wait([](std::error_code error) {
        if (!error) Wire::exitBetweenFrames(1);
      });
      asio::co_spawn(io, finalStop(host), [&io, deadline](std::exception_ptr error) {
        deadline->cancel();
        io.stop();
        if (error) std::rethrow_exception(error);
      });
    });
  });

  // Posted work cannot run before this: "hello" is always the first message.
  host->sendHello();
  io.run();
}

}  // namespace tavrino::share
