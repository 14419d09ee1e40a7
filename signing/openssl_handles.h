#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace tavrino::signing {

template <auto Free>
struct Freer {
  template <typename T>
  void operator()(T* pointer) const {
    Free(pointer);
  }
};

using BioPtr = std::unique_ptr<BIO, Freer<BIO_free_all>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Freer<CMS_ContentInfo_free>>;
using EvpKeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, Freer<X509_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, Freer<X509_STORE_free>>;

inline void freeCertificateStack(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
inline void freeCertificateRefs(STACK_OF(X509) * stack) { sk_X509_free(stack); }
using X509StackPtr = std::unique_ptr<STACK_OF(X509), Freer<freeCertificateStack>>;
// A stack whose certificates belong to someone else.
using X509RefStackPtr = std::unique_ptr<STACK_OF(X509), Freer<freeCertificateRefs>>;

}  // namespace tavrino::signing
