#include "platform/x264/avc_decoder_configuration.h"

namespace tavrino::share {

namespace {

void appendParameterSet(std::vector<std::uint8_t>& record, std::span<const std::uint8_t> set) {
  record.push_back(static_cast<std::uint8_t>(set.size() >> 8));
  record.push_back(static_cast<std::uint8_t>(set.size() & 0xff));
  record.insert(record.end(), set.begin(), set.end());
}

// Profiles whose record carries the chroma format and bit depths as well.
bool hasHighProfileFields(std::uint8_t profile) {
  return profile == 100 || profile == 110 || profile == 122 || profile == 144;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> makeAvcDecoderConfigurationRecord(
    std::span<const std::uint8_t> sps, std::span<const std::uint8_t> pps) {
  // NAL header, profile_idc, constraint flags, level_idc.
  if (sps.size() < 4 || pps.empty()) return std::nullopt;
  if (sps.size() > 0xffff || pps.size() > 0xffff) return std::nullopt;
  const std::uint8_t profile = sps[1];
  std::vector<std::uint8_t> record;
  record.reserve(11 + sps.size() + pps.size() + 4);
  record.push_back(1);  // configurationVersion
  record.push_back(profile);
  record.push_back(sps[2]);
  record.push_back(sps[3]);
  record.push_back(0xfc | 3);  // reserved bits, lengthSizeMinusOne = 3
  record.push_back(0xe0 | 1);  // reserved bits, one SPS
  appendParameterSet(record, sps);
  record.push_back(1);  // one PPS
  appendParameterSet(record, pps);
  if (hasHighProfileFields(profile)) {
    // The session only ever encodes 8-bit 4:2:0.
    record.push_back(0xfc | 1);  // chroma_format 4:2:0
    record.push_back(0xf8 | 0);  // bit_depth_luma_minus8
    record.push_back(0xf8 | 0);  // bit_depth_chroma_minus8
    record.push_back(0);         // no SPS extensions
  }
  return record;
}

}  // namespace tavrino::share
