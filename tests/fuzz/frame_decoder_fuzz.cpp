#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/wire.h"
#include "support/framing.h"

using namespace tavrino::share;

// Decodes frames until the reader ends; a request that was accepted must be an
// object that came from at most 16,384 bytes of body.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t position = 0;
  // The first byte sets the largest slice one read returns (pipes deliver in pieces).
  const std::size_t slice = size > 0 ? data[0] % 17 + 1 : 1;
  const auto reader = testing::memoryReader({reinterpret_cast<const char*>(data), size}, &position, slice);
  std::size_t consumedBefore = 0;
  while (auto request = Wire::decodeFrame(reader)) {
    if (!request->is_object()) std::abort();
    if (position - consumedBefore > 4 + Wire::kMaxIncomingBody) std::abort();
    consumedBefore = position;
  }
  return 0;
}
