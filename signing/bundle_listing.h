#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace tavrino::signing {

// Where the signature lives inside a bundle; this folder is not listed.
inline constexpr const char* kSignatureFolder = "Contents/_CodeSignature";
inline constexpr const char* kSignatureFile = "Contents/_CodeSignature/CodeSignature.p7s";

struct BundleError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Every entry of the bundle (relative path -> description): folders with
// their permission bits, regular files with their SHA-256 and permission bits
// (set-id and sticky bits included), and symbolic links with their target
// text. Links are never followed; a link that is absolute or climbs
// with ".." is refused, as is any other kind of file. Throws BundleError.
nlohmann::json listBundle(const std::filesystem::path& bundle);

// The signed document: the identifier and the entries.
std::string makeListing(const std::string& identifier, const nlohmann::json& entries);

struct Listing {
  std::string identifier;
  nlohmann::json entries;
};
// Throws BundleError unless the text is a listing of exactly this format.
Listing parseListing(const std::string& text);

}  // namespace tavrino::signing
