#pragma once

#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

namespace tavrino::share {

// A serial queue: work posted to it runs one item at a time, in submission
// order, on a thread of the shared background pool.
using SerialQueue = asio::strand<asio::thread_pool::executor_type>;

// The process-wide pool behind every serial queue and the encoder callbacks.
asio::thread_pool& backgroundPool();

SerialQueue makeSerialQueue();

// Waits for queued background work to end; called once at orderly shutdown.
void shutdownBackgroundPool();

}  // namespace tavrino::share
