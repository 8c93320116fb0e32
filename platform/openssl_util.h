// OpenSSL helpers shared by the TLS code of this folder: owning pointers, error
// texts and certificate fingerprints.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace pellox::platform {

template <auto Free>
struct OpenSslFree {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};
using X509Ptr = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO_free_all>>;
using SslContextPtr = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>>;

// The reason of the oldest error queued on this thread ("unsupported protocol"),
// or `fallback` when none is; empties the queue.
std::string TakeOpenSslError(const std::string& fallback);

// The SHA-256 fingerprint of a certificate (FormatFingerprint); empty for none.
std::string FingerprintOf(const X509* certificate);

// A memory BIO reading the text (which must outlive it); null when too long.
BioPtr ReadOnlyBio(const std::string& text);

// The first certificate and the key in PEM text; null when absent or broken.
X509Ptr ReadCertificate(const std::string& pem);
KeyPtr ReadKey(const std::string& pem);

}  // namespace pellox::platform
