#include "base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace tavrino::share {

void base64Encode(std::span<const std::uint8_t> bytes, char* out) {
  if (bytes.empty()) return;
  // EVP_EncodeBlock writes a terminating NUL after its output and takes an int
  // length. Everything but the last group (1 to 3 bytes) goes straight into
  // out in bounded chunks, each NUL landing where the next output begins; the
  // last group goes through a small buffer so that out needs no extra byte.
  constexpr std::size_t kChunk = 3 * 1024 * 1024;
  auto* dest = reinterpret_cast<unsigned char*>(out);
  const std::uint8_t* source = bytes.data();
  std::size_t bulk = (bytes.size() - 1) / 3 * 3;
  while (bulk > 0) {
    std::size_t n = std::min(kChunk, bulk);
    EVP_EncodeBlock(dest, source, static_cast<int>(n));
    dest += n / 3 * 4;
    source += n;
    bulk -= n;
  }
  unsigned char tail[5];
  EVP_EncodeBlock(tail, source, static_cast<int>(bytes.data() + bytes.size() - source));
  std::copy_n(tail, 4, dest);
}

std::string base64Encode(std::span<const std::uint8_t> bytes) {
  std::string text(base64Length(bytes.size()), '\0');
  base64Encode(bytes, text.data());
  return text;
}

}  // namespace tavrino::share
