#include "platform/x264/avc_decoder_configuration.h"

#include <gtest/gtest.h>

#include <vector>

namespace tavrino::share {
namespace {

const std::vector<std::uint8_t> kBaselineSps = {0x67, 0x42, 0xc0, 0x28, 0xda, 0x01, 0xe0};
const std::vector<std::uint8_t> kPps = {0x68, 0xce, 0x3c, 0x80};

TEST(AvcDecoderConfigurationRecord, LaysOutOneSpsAndOnePpsWithFourByteLengths) {
  auto record = makeAvcDecoderConfigurationRecord(kBaselineSps, kPps);
  ASSERT_TRUE(record);
  const std::vector<std::uint8_t> expected = {
      0x01, 0x42, 0xc0, 0x28, 0xff, 0xe1, 0x00, 0x07, 0x67, 0x42, 0xc0, 0x28,
      0xda, 0x01, 0xe0, 0x01, 0x00, 0x04, 0x68, 0xce, 0x3c, 0x80};
  EXPECT_EQ(*record, expected);
}

TEST(AvcDecoderConfigurationRecord, HighProfilesCarryChromaFormatAndBitDepth) {
  std::vector<std::uint8_t> highSps = kBaselineSps;
  highSps[1] = 100;
  auto record = makeAvcDecoderConfigurationRecord(highSps, kPps);
  ASSERT_TRUE(record);
  ASSERT_EQ(record->size(), 11 + highSps.size() + kPps.size() + 4);
  const std::vector<std::uint8_t> tail(record->end() - 4, record->end());
  EXPECT_EQ(tail, (std::vector<std::uint8_t>{0xfd, 0xf8, 0xf8, 0x00}));
}

TEST(AvcDecoderConfigurationRecord, RefusesParameterSetsItCannotDescribe) {
  EXPECT_FALSE(makeAvcDecoderConfigurationRecord(std::vector<std::uint8_t>{0x67, 0x42, 0xc0}, kPps));
  EXPECT_FALSE(makeAvcDecoderConfigurationRecord(kBaselineSps, {}));
  EXPECT_FALSE(makeAvcDecoderConfigurationRecord(std::vector<std::uint8_t>(70'000, 0x67), kPps));
}

}  // namespace
}  // namespace tavrino::share
