// tavrino-extension-id: derives a Chrome extension's identifier from the
// public key ("key", base64 DER SubjectPublicKeyInfo) of its manifest: the
// first 32 hexadecimal digits of the key's SHA-256, each mapped 0-f to a-p.
//
//   tavrino-extension-id <manifest.json> <output file>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <nlohmann/json.hpp>

#include <array>
#include <fstream>
#include <iostream>
#include <string>

namespace {

std::string decodeBase64(const std::string& text) {
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (length < 0 || text.size() % 4 != 0) return {};
  // EVP_DecodeBlock counts the padding as zero bytes.
  std::size_t padding = 0;
  while (padding < 2 && text.size() > padding && text[text.size() - 1 - padding] == '=') ++padding;
  bytes.resize(static_cast<std::size_t>(length) - padding);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: tavrino-extension-id <manifest.json> <output file>\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  const nlohmann::json manifest = nlohmann::json::parse(in, nullptr, false);
  if (!manifest.is_object() || !manifest.contains("key") || !manifest["key"].is_string()) {
    std::cerr << argv[1] << ": no \"key\" text\n";
    return 1;
  }
  const std::string der = decodeBase64(manifest["key"].get<std::string>());
  if (der.empty()) {
    std::cerr << argv[1] << ": \"key\" is not base64\n";
    return 1;
  }
  std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
  unsigned int length = 0;
  EVP_Digest(der.data(), der.size(), digest.data(), &length, EVP_sha256(), nullptr);
  std::string identifier;
  for (std::size_t i = 0; i < 16; ++i) {
    identifier.push_back(static_cast<char>('a' + (digest[i] >> 4)));
    identifier.push_back(static_cast<char>('a' + (digest[i] & 0xF)));
  }
  std::ofstream out(argv[2], std::ios::trunc);
  out << identifier << "\n";
  return out ? 0 : 1;
}
