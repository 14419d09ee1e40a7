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
  static const std::string listing = makeListing(
      "org.tavrino.fuzz",
      {{"Contents", {{"type", "folder"}, {"mode", 0755}}},
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

const std::filesystem::path kCerts = TAVRINO_FUZZ_CERTS;

// The development certificate (.pem) or key (.key) of that name.
template <typename T>
T* readPem(const std::string& file, T* (*read)(BIO*, T**, pem_password_cb*, void*)) {
  const BioPtr in(BIO_new_file((kCerts / file).c_str(), "r"));
  T* object = in ? read(in.get(), nullptr, nullptr, nullptr) : nullptr;
  if (!object) std::abort();
  return object;
}

// The leaves that chain to the pinned root, the team's own first.
std::vector<X509Ptr> loadDevelopmentLeaves() {
  std::vector<X509Ptr> leaves;
  for (const char* name : {"team", "other-team", "no-marker"})
    leaves.emplace_back(readPem<X509>(std::string(name) + ".pem", PEM_read_bio_X509));
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

// The same listing signed twice, by the team and by another team.
std::string twoSigners() {
  const BioPtr data(BIO_new_mem_buf(fixedListing().data(), static_cast<int>(fixedListing().size())));
  const CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, data.get(), CMS_BINARY | CMS_PARTIAL));
  std::vector<X509Ptr> leaves;
  std::vector<EvpKeyPtr> keys;
  for (const char* name : {"team", "other-team"}) {
    leaves.emplace_back(readPem<X509>(std::string(name) + ".pem", PEM_read_bio_X509));
    keys.emplace_back(readPem<EVP_PKEY>(std::string(name) + ".key", PEM_read_bio_PrivateKey));
    if (!cms || !CMS_add1_signer(cms.get(), leaves.back().get(), keys.back().get(), nullptr, CMS_BINARY)) std::abort();
  }
  const X509Ptr ca(readPem<X509>("ca.pem", PEM_read_bio_X509));
  const BioPtr again(BIO_new_mem_buf(fixedListing().data(), static_cast<int>(fixedListing().size())));
  const BioPtr out(BIO_new(BIO_s_mem()));
  if (CMS_add1_cert(cms.get(), ca.get()) != 1 || CMS_final(cms.get(), again.get(), nullptr, CMS_BINARY) != 1 ||
      i2d_CMS_bio(out.get(), cms.get()) != 1) {
    std::abort();
  }
  char* bytes = nullptr;
  const long length = BIO_get_mem_data(out.get(), &bytes);
  return {bytes, static_cast<std::size_t>(length)};
}

// With TAVRINO_FUZZ_SEEDS=<folder> the target writes signatures made with the
// development certificates and exits: a valid one, and ones refused by each
// check, so the fuzzer starts deep inside verification.
void writeSeeds(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  const auto write = [&](const char* name, const std::string& der) {
    std::ofstream(folder / name, std::ios::binary) << der;
  };
  for (const char* signer : {"team", "other-team", "no-marker", "foreign"}) {
    const std::string chain = std::string(signer) == "foreign" ? "foreign-root.pem" : "ca.pem";
    write(signer, signContent(fixedListing(), kCerts / (std::string(signer) + ".pem"),
                              kCerts / (std::string(signer) + ".key"), kCerts / chain));
  }
  write("not-for-code", signContent(fixedListing(), kCerts / "ca.pem", kCerts / "ca.key", {}));
  write("trailing", signContent(fixedListing(), kCerts / "team.pem", kCerts / "team.key", kCerts / "ca.pem") + '\0');
  write("two-signers", twoSigners());
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
