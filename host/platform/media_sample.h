#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "media_time.h"

namespace tavrino::share {

// Attachment and extension dictionaries hold heterogeneous values (integers,
// booleans, nested dictionaries, raw bytes as json binary), so a JSON value is
// the dictionary type; consumers must check types before use.
using Dictionary = nlohmann::json;

namespace keys {
// Sample attachment of a capture sample: integer frame status, one of the two below.
inline constexpr const char* kStreamFrameInfoStatus = "SCStreamFrameInfoStatus";
// A picture; none, because nothing changed since the last one.
inline constexpr int kFrameStatusComplete = 0;
inline constexpr int kFrameStatusIdle = 1;
// Sample attachment of an encoded sample: true when the frame is not a sync sample.
inline constexpr const char* kSampleAttachmentNotSync = "NotSync";
// Format description extension: dictionary of sample description atoms.
inline constexpr const char* kSampleDescriptionExtensionAtoms = "SampleDescriptionExtensionAtoms";
// Atom name of the AVCDecoderConfigurationRecord inside that dictionary (binary).
inline constexpr const char* kAvcC = "avcC";
}  // namespace keys

// Which 16x16 blocks of a picture may differ from the picture handed out
// before it by the same source. Knowing nothing is knowing that everything
// may have changed, so that is what a default value says.
struct ChangedBlocks {
  static constexpr int kBlock = 16;

  std::int32_t columns = 0;
  std::int32_t rows = 0;
  std::vector<std::uint8_t> marks;  // columns x rows, row by row, non-zero = changed; empty = all

  bool everywhere() const { return marks.empty(); }
  bool changed(int column, int row) const {
    return everywhere() || marks[static_cast<std::size_t>(row) * columns + column] != 0;
  }
  // Nothing changed yet in a width x height picture.
  void clear(std::int32_t width, std::int32_t height);
  void markEverywhere() { marks.clear(); }
  // Marks the blocks a rectangle of pixels touches (clipped to the picture).
  void mark(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height);
  // Adds another picture's changes; those of a picture of another size make
  // everything changed.
  void add(const ChangedBlocks& other);
};

// One picture in 4:2:0 bi-planar YCbCr, 8-bit video range ('420v'): a luma
// plane followed by an interleaved CbCr plane at half resolution.
struct ImageBuffer {
  static constexpr std::uint32_t kPixelFormat420v = 0x34323076;

  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint32_t pixelFormat = kPixelFormat420v;
  std::int32_t lumaStride = 0;
  std::int32_t chromaStride = 0;
  std::vector<std::uint8_t> luma;    // height rows of lumaStride bytes
  std::vector<std::uint8_t> chroma;  // (height + 1) / 2 rows of chromaStride bytes
  ChangedBlocks changed;

  // A zero-filled (black luma, zero chroma) picture with tight strides.
  static std::shared_ptr<ImageBuffer> makeNV12(std::int32_t width, std::int32_t height);
};

// Encoded bytes of one sample.
class BlockBuffer {
 public:
  virtual ~BlockBuffer() = default;
  virtual std::size_t dataLength() const = 0;
  // Copies length bytes from offset into destination; 0 on success.
  virtual std::int32_t copyDataBytes(std::size_t offset, std::size_t length,
                                     std::uint8_t* destination) const = 0;
};

class ContiguousBlockBuffer final : public BlockBuffer {
 public:
  explicit ContiguousBlockBuffer(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::size_t dataLength() const override { return bytes_.size(); }
  std::int32_t copyDataBytes(std::size_t offset, std::size_t length,
                             std::uint8_t* destination) const override;
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

struct VideoDimensions {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// Description of an encoded stream: extensions (a Dictionary object, or null
// when there are none) and the encoded picture size.
struct FormatDescription {
  Dictionary extensions;
  VideoDimensions dimensions;
};

// A media sample: a captured picture (image set) or an encoded frame
// (formatDescription and dataBuffer set). attachments is "none" when the
// sample has no attachment list, which differs from an empty list.
struct SampleBuffer {
  std::optional<std::vector<Dictionary>> attachments;
  std::shared_ptr<const ImageBuffer> image;
  MediaTime presentationTime;
  std::shared_ptr<const FormatDescription> formatDescription;
  std::shared_ptr<const BlockBuffer> dataBuffer;
};

}  // namespace tavrino::share
