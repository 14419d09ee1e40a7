#include "cms_signature.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <climits>

namespace tavrino::signing {
namespace {

[[noreturn]] void fail(const std::string& what) {
  std::string detail;
  if (const unsigned long code = ERR_get_error(); code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    detail = std::string(": ") + buffer;
  }
  ERR_clear_error();
  throw SignatureError(what + detail);
}

BioPtr openFile(const std::filesystem::path& file) {
  BioPtr bio(BIO_new_file(file.c_str(), "r"));
  if (!bio) fail("cannot open " + file.string());
  return bio;
}

BioPtr memoryOf(const std::string& bytes) {
  if (bytes.size() > INT_MAX) fail("input too large");
  BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!bio) fail("out of memory");
  return bio;
}

std::string drain(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

std::string signContent(const std::string& content, const std::filesystem::path& certificatePem,
                        const std::filesystem::path& keyPem, const std::filesystem::path& chainPem) {
  const X509Ptr certificate(PEM_read_bio_X509(openFile(certificatePem).get(), nullptr, nullptr, nullptr));
  if (!certificate) fail("cannot read the certificate " + certificatePem.string());
  const EvpKeyPtr key(PEM_read_bio_PrivateKey(openFile(keyPem).get(), nullptr, nullptr, nullptr));
  if (!key) fail("cannot read the key " + keyPem.string());
  X509StackPtr chain(sk_X509_new_null());
  if (!chainPem.empty()) {
    const BioPtr in = openFile(chainPem);
    while (X509* extra = PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr)) sk_X509_push(chain.get(), extra);
    ERR_clear_error();
  }
  const BioPtr data = memoryOf(content);
  const CmsPtr cms(CMS_sign(certificate.get(), key.get(), chain.get(), data.get(), CMS_BINARY));
  if (!cms) fail("signing failed");
  const BioPtr out(BIO_new(BIO_s_mem()));
  if (!out || i2d_CMS_bio(out.get(), cms.get()) != 1) fail("cannot encode the signature");
  return drain(out.get());
}

VerifiedContent verifySignature(const std::string& der, const std::string& rootPem) {
  if (der.size() > LONG_MAX) fail("input too large");
  const auto* begin = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* cursor = begin;
  const CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
  if (!cms) fail("the signature cannot be decoded");
  // Nothing may ride along after the one encoded signature.
  if (cursor != begin + der.size()) fail("the signature file holds more than the signature");
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
      OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data) {
    fail("the signature is not signed data");
  }
  if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) != 1) fail("the signature needs exactly one signer");

  const X509Ptr root(PEM_read_bio_X509(memoryOf(rootPem).get(), nullptr, nullptr, nullptr));
  if (!root) fail("the pinned root cannot be read");
  const X509StorePtr store(X509_STORE_new());
  if (!store || X509_STORE_add_cert(store.get(), root.get()) != 1) fail("cannot trust the pinned root");
  // The leaf's kind is checked below (code signing), not as an e-mail signer.
  X509_VERIFY_PARAM_set_purpose(X509_STORE_get0_param(store.get()), X509_PURPOSE_ANY);

  const BioPtr out(BIO_new(BIO_s_mem()));
  if (!out || CMS_verify(cms.get(), nullptr, store.get(), nullptr, out.get(), CMS_BINARY) != 1) {
    fail("the signature or its certificate chain is not valid");
  }
  const X509RefStackPtr signers(CMS_get0_signers(cms.get()));
  if (!signers || sk_X509_num(signers.get()) != 1) fail("the signature needs exactly one signer");
  X509* leaf = sk_X509_value(signers.get(), 0);
  if ((X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) == 0 ||
      (X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN) == 0) {
    fail("the signing certificate is not meant for code");
  }
  X509_up_ref(leaf);
  return {drain(out.get()), X509Ptr(leaf)};
}

std::vector<std::string> organisationalUnits(X509* certificate) {
  std::vector<std::string> units;
  const X509_NAME* subject = X509_get_subject_name(certificate);
  for (int index = -1;;) {
    index = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, index);
    if (index < 0) break;
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* text = nullptr;
    const int length = ASN1_STRING_to_UTF8(&text, value);
    if (length < 0) continue;
    units.emplace_back(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
    OPENSSL_free(text);
  }
  return units;
}

bool hasExtension(X509* certificate, const char* oid) {
  const std::unique_ptr<ASN1_OBJECT, Freer<ASN1_OBJECT_free>> object(OBJ_txt2obj(oid, 1));
  return object && X509_get_ext_by_OBJ(certificate, object.get(), -1) >= 0;
}

}  // namespace tavrino::signing
