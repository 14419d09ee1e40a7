#pragma once

#include <memory>

#include <asio/io_context.hpp>

#include "core/host.h"
#include "core/wire.h"

namespace tavrino::share {

// The serving mode: "hello", then every request read from input as its own
// task on io's thread, and at the end of input (or a broken frame) the Host's
// shutdown. Runs io on the calling thread and returns once that has ended;
// io is then stopped and holds only tasks that wait for the desktop. The
// reader thread is joined before returning.
void serve(asio::io_context& io, const std::shared_ptr<Host>& host, ByteReader input);

}  // namespace tavrino::share
