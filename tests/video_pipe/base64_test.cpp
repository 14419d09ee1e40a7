#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "video_pipe/base64.h"

namespace tavrino::share {
namespace {

TEST(Base64, VectorPathMatchesThePortableEncoderAtEverySizeAndAlignment) {
  std::vector<std::uint8_t> bytes(300);
  std::uint32_t x = 12345;
  for (auto& b : bytes) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  for (std::size_t offset = 0; offset < 4; ++offset) {
    for (std::size_t size = 0; size + offset <= bytes.size(); ++size) {
      std::span<const std::uint8_t> input(bytes.data() + offset, size);
      std::string expected(base64Length(size), '\0');
      detail::base64EncodePortable(input, expected.data());
      ASSERT_EQ(base64Encode(input), expected) << "size " << size << " offset " << offset;
    }
  }
}

}  // namespace
}  // namespace tavrino::share
