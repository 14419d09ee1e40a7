#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <openssl/pem.h>

#include "bundle_listing.h"
#include "cms_signature.h"
#include "pinned_root.h"
#include "requirement.h"

using namespace tavrino::signing;

namespace {

// The small listing every seed signs; the fuzzer's bytes stand for its signature.
const std::string& fixedListing() {
  static const std::string listing =
      makeListing("org.tavrino.fuzz", {{"Contents", {{"type", "folder"}, {"mode", 0755}}},
                                       {"Contents/Info.plist", {{"type", "file"}, {"sha256", std::string(64, '0')}, {"mode", 0644}}}});
  return listing;
}

const Requirement& fixedRequirement() {
  static const Requirement requirement = [] {
    const auto parsed = parseRequirement(
        "anchor apple generic and certificate leaf[subject.OU] = \"" TAVRINO_FUZZ_TEAM
        "\" and certificate leaf[field.1.2.840.113635.100.6.1.13] exists and identifier \"org.tavrino.fuzz\"");
    if (!parsed) std::abort();
    return *parsed;
  }();
  return requirement;
}

// The leaves that chain to the pinned root, the team's own first.
std::vector<X509Ptr> loadDevelopmentLeaves() {
  std::vector<X509Ptr> leaves;
  for (const char* name : {"team", "other-team", "no-marker"}) {
    const BioPtr in(BIO_new_file((std::filesystem::path(TAVRINO_FUZZ_CERTS) / (std::string(name) + ".pem")).c_str(), "r"));
    X509Ptr leaf(in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!leaf) std::abort();
    leaves.push_back(std::move(leaf));
  }
  return leaves;
}

// -1 when the certificate is none of them.
int developmentLeafIndex(X509* certificate) {
  static const std::vector<X509Ptr> leaves = loadDevelopmentLeaves();
  for (std::size_t index = 0; index < leaves.size(); ++index) {
    if (X509_cmp(leaves[index].get(), certificate) == 0) return static_cast<int>(index);
  }
  return -1;
}

// With TAVRINO_FUZZ_SEEDS=<folder> the target writes signatures made with the
// development certificates and exits: a valid one, and ones that fail each
// check after the chain, so the fuzzer starts deep inside verification.
void writeSeeds(const std::filesystem::path& folder) {
  const std::filesystem::path certs = TAVRINO_FUZZ_CERTS;
  std::filesystem::create_directories(folder);
  for (const char* signer : {"team", "other-team", "no-marker", "foreign"}) {
    const std::string chain = std::string(signer) == "foreign" ? "foreign-root.pem" : "ca.pem";
    const std::string der = signContent(fixedListing(), certs / (std::string(signer) + ".pem"),
                                        certs / (std::string(signer) + ".key"), certs / chain);
    std::ofstream(folder / signer, std::ios::binary) << der;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* folder = std::getenv("TAVRINO_FUZZ_SEEDS")) {
    writeSeeds(folder);
    std::exit(0);
  }
  return 0;
}

// Verifies as the signing tool does after reading the file: anything may be
// refused, but only with the library's own errors.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const VerifiedContent verified =
        verifySignature({reinterpret_cast<const char*>(data), size}, kPinnedRootPem);
    // Mutations cannot forge a signature: whatever is accepted must carry the
    // listing the seeds signed, by a leaf whose key the build holds.
    const int leaf = verified.signer ? developmentLeafIndex(verified.signer.get()) : -1;
    if (leaf < 0 || verified.content != fixedListing()) std::abort();
    // The requirement holds for the team's own certificate and no other,
    // whatever else the signature carries.
    const Listing listing = parseListing(verified.content);
    const bool meets = !unmetRequirement(fixedRequirement(), verified.signer.get(), listing.identifier);
    if (meets != (leaf == 0)) std::abort();
  } catch (const SignatureError&) {
  } catch (const BundleError&) {
  }
  return 0;
}
