#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tavrino::share {

// The AVCDecoderConfigurationRecord ("avcC") for one SPS and one PPS, given as
// NAL units without start code or length prefix. NAL unit lengths in the
// stream are declared as 4 bytes. None when the SPS is too short to carry a
// profile and level or a parameter set does not fit a 16-bit length.
std::optional<std::vector<std::uint8_t>> makeAvcDecoderConfigurationRecord(
    std::span<const std::uint8_t> sps, std::span<const std::uint8_t> pps);

}  // namespace tavrino::share
