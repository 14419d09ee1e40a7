#pragma once

#include <openssl/types.h>

#include <optional>
#include <string>

namespace tavrino::signing {

// The one requirement form the installer states: the chain ends in the
// product's root, the leaf names the team as subject OU and carries the
// Developer ID marker, and the listing names the identifier.
struct Requirement {
  std::string team;
  std::string identifier;
};

// Accepts exactly that form (with any quoted team and identifier free of
// quotes and backslashes) and nothing else.
std::optional<Requirement> parseRequirement(const std::string& text);

// Why a verified signer and the identifier its listing names miss the
// requirement, or nothing when they meet it.
std::optional<std::string> unmetRequirement(const Requirement& requirement, X509* signer,
                                            const std::string& identifier);

}  // namespace tavrino::signing
