#include "requirement.h"

#include "cms_signature.h"

#include <string_view>
#include <vector>

namespace tavrino::signing {
namespace {

constexpr std::string_view kHead = "anchor apple generic and certificate leaf[subject.OU] = \"";
constexpr std::string_view kMiddle =
    "\" and certificate leaf[field.1.2.840.113635.100.6.1.13] exists and identifier \"";
constexpr std::string_view kTail = "\"";
constexpr const char* kMarkerOid = "1.2.840.113635.100.6.1.13";

bool plainQuotedText(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

std::optional<Requirement> parseRequirement(const std::string& text) {
  std::string_view rest = text;
  if (!rest.starts_with(kHead)) return std::nullopt;
  rest.remove_prefix(kHead.size());
  const auto teamEnd = rest.find('"');
  if (teamEnd == std::string_view::npos) return std::nullopt;
  const std::string_view team = rest.substr(0, teamEnd);
  rest.remove_prefix(teamEnd);
  if (!rest.starts_with(kMiddle)) return std::nullopt;
  rest.remove_prefix(kMiddle.size());
  if (!rest.ends_with(kTail)) return std::nullopt;
  const std::string_view identifier = rest.substr(0, rest.size() - kTail.size());
  if (!plainQuotedText(team) || !plainQuotedText(identifier)) return std::nullopt;
  return Requirement{std::string(team), std::string(identifier)};
}

std::optional<std::string> unmetRequirement(const Requirement& requirement, X509* signer,
                                            const std::string& identifier) {
  const std::vector<std::string> units = organisationalUnits(signer);
  if (units.size() != 1 || units.front() != requirement.team) return "the signer's team does not match";
  if (!hasExtension(signer, kMarkerOid)) return "the signer lacks the marker";
  if (identifier != requirement.identifier) return "the identifier does not match";
  return std::nullopt;
}

}  // namespace tavrino::signing
