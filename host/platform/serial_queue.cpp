#include "serial_queue.h"

#include <asio/strand.hpp>

namespace tavrino::share {

asio::thread_pool& backgroundPool() {
  static asio::thread_pool pool(2);
  return pool;
}

SerialQueue makeSerialQueue() { return asio::make_strand(backgroundPool().get_executor()); }

void shutdownBackgroundPool() {
  backgroundPool().stop();
  backgroundPool().join();
}

}  // namespace tavrino::share
