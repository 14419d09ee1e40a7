#pragma once

#include "openssl_handles.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrino::signing {

struct SignatureError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// CMS SignedData over `content` (attached), by the leaf certificate and key,
// carrying the intermediate certificates of `chainPem` (may be empty). DER bytes.
std::string signContent(const std::string& content, const std::filesystem::path& certificatePem,
                        const std::filesystem::path& keyPem, const std::filesystem::path& chainPem);

struct VerifiedContent {
  std::string content;
  X509Ptr signer;
};

// Checks that `der` is exactly one DER CMS signature and nothing more, made
// by exactly one signer whose chain ends in `rootPem` (the only trusted
// certificate) and whose leaf may sign code; returns the signed content and
// the signer. Throws SignatureError.
VerifiedContent verifySignature(const std::string& der, const std::string& rootPem);

// Subject OU entries of a certificate and whether it carries an extension.
std::vector<std::string> organisationalUnits(X509* certificate);
bool hasExtension(X509* certificate, const char* oid);

}  // namespace tavrino::signing
