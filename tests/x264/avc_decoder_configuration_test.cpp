#include "platform/x264/avc_decoder_configuration.h"

#include <gtest/gtest.h>

#include <vector>

namespace tavrino::share {
namespace {

using Bytes = std::vector<std::uint8_t>;
const Bytes kBaselineSps = {0x67, 0x42, 0xc0, 0x28, 0xda, 0x01, 0xe0};
const Bytes kPps = {0x68, 0xce, 0x3c, 0x80};

TEST(AvcDecoderConfigurationRecord, LaysOutOneSpsAndOnePpsWithFourByteLengths) {
  const Bytes baseline = {0x01, 0x42, 0xc0, 0x28, 0xff, 0xe1, 0x00, 0x07, 0x67, 0x42, 0xc0,
                          0x28, 0xda, 0x01, 0xe0, 0x01, 0x00, 0x04, 0x68, 0xce, 0x3c, 0x80};
  EXPECT_EQ(makeAvcDecoderConfigurationRecord(kBaselineSps, kPps), baseline);

  // High profiles append 4:2:0, 8-bit and no SPS extensions.
  Bytes highSps = kBaselineSps, high = baseline;
  highSps[1] = high[1] = high[9] = 100;
  high.insert(high.end(), {0xfd, 0xf8, 0xf8, 0x00});
  EXPECT_EQ(makeAvcDecoderConfigurationRecord(highSps, kPps), high);
}

TEST(AvcDecoderConfigurationRecord, RefusesParameterSetsItCannotDescribe) {
  EXPECT_FALSE(makeAvcDecoderConfigurationRecord(Bytes{0x67, 0x42, 0xc0}, kPps));
  EXPECT_FALSE(makeAvcDecoderConfigurationRecord(kBaselineSps, {}));
  EXPECT_FALSE(makeAvcDecoderConfigurationRecord(Bytes(70'000, 0x67), kPps));
}

}  // namespace
}  // namespace tavrino::share
