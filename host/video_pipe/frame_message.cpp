#include "frame_message.h"

#include <nlohmann/json.hpp>

#include "base64.h"

namespace tavrino::share {

bool writeFrameMessageBody(std::string& body, const std::string& request, std::int64_t id,
                           bool key, std::int64_t timestamp, std::span<const std::uint8_t> bytes) {
  std::string requestText;
  try {
    requestText = nlohmann::json(request).dump();
  } catch (const nlohmann::json::exception&) {
    return false;
  }
  const std::string head = R"({"type":"frame","request":)" + requestText + R"(,"id":)" +
                           std::to_string(id) + R"(,"key":)" + (key ? "true" : "false") +
                           R"(,"timestamp":)" + std::to_string(timestamp) + R"(,"data":")";
  constexpr std::string_view tail = R"("})";
  const std::size_t dataLength = base64Length(bytes.size());

  // Every byte below is overwritten; resize only fills what the last frame
  // did not already occupy.
  body.resize(head.size() + dataLength + tail.size());
  head.copy(body.data(), head.size());
  base64Encode(bytes, body.data() + head.size());
  tail.copy(body.data() + head.size() + dataLength, tail.size());
  return true;
}

}  // namespace tavrino::share
