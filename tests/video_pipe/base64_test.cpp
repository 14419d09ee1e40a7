#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "video_pipe/base64.h"

namespace tavrino::share {
namespace {

std::string encode(const std::string& text) {
  return base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(Base64, EncodesTheRfcVectorsWithPadding) {
  const char* const expected[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (std::size_t n = 0; n < std::size(expected); ++n)
    EXPECT_EQ(encode(std::string("foobar", n)), expected[n]);
}

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
