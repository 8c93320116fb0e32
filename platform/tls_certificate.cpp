// Making and keeping the certificates a TLS server presents.
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <vector>

#include "platform/endpoint.h"
#include "platform/files.h"
#include "platform/openssl_util.h"
#include "platform/tls.h"

namespace pellox::platform {
namespace {

constexpr long kValidDays = 3650;
constexpr long kBackdateSeconds = 3600;  // a client whose clock is a little behind

// A host name as a certificate may carry it: letters, digits, '-', '.', '_'.
bool IsHostName(const std::string& host) {
    return !host.empty() && host.size() <= 253 && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.' || c == '_';
    });
}

// The subjectAltName value: the host, then the loopback names a local server is
// reached by, each once.
bool AlternativeNames(const std::string& host, std::string& names) {
    std::vector<std::string> entries;
    IpAddress literal;
    if (ParseIpAddress(host.substr(0, host.find('%')), literal)) {
        entries.push_back("IP:" + FormatAddress({literal.v6, literal.bytes, 0}));
    } else if (IsHostName(host)) {
        entries.push_back("DNS:" + host);
    } else {
        return false;
    }
    for (const char* more : {"DNS:localhost", "IP:127.0.0.1", "IP:::1"}) {
        if (std::find(entries.begin(), entries.end(), more) == entries.end()) {
            entries.emplace_back(more);
        }
    }
    names.clear();
    for (const std::string& e : entries) names += (names.empty() ? "" : ",") + e;
    return true;
}

bool AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (extension == nullptr) return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

bool SetRandomSerial(X509* certificate) {
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    bytes[0] &= 0x7F;  // positive
    bytes[0] |= 0x01;  // and never zero
    BIGNUM* serial = BN_bin2bn(bytes, sizeof bytes, nullptr);
    const bool set = serial != nullptr &&
                     BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate)) != nullptr;
    BN_free(serial);
    return set;
}

std::string ToPem(int (*write)(BIO*, const void*), const void* object) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get(), object) != 1) return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

int WriteCertificate(BIO* bio, const void* certificate) {
    return PEM_write_bio_X509(bio, static_cast<X509*>(const_cast<void*>(certificate)));
}

int WriteKey(BIO* bio, const void* key) {
    return PEM_write_bio_PrivateKey(bio, static_cast<const EVP_PKEY*>(key), nullptr, nullptr, 0,
                                    nullptr, nullptr);
}

bool MakeCertificate(const std::string& hostText, const CertificateAndKey* issuer, bool authority,
                     CertificateAndKey& out, std::string& error) {
    const std::string host = hostText.empty() ? "localhost" : hostText;
    std::string names;
    if (!AlternativeNames(host, names)) {
        error = "not a host name or address: " + host;
        return false;
    }
    X509Ptr issuerCertificate;
    KeyPtr issuerKey;
    if (issuer != nullptr) {
        issuerCertificate = ReadCertificate(issuer->certificatePem);
        issuerKey = ReadKey(issuer->keyPem);
        if (!issuerCertificate || !issuerKey) {
            ERR_clear_error();
            error = "the issuing certificate cannot be read";
            return false;
        }
    }
    KeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr certificate(X509_new());
    X509* c = certificate.get();
    bool ok = key && c && X509_set_version(c, X509_VERSION_3) == 1 && SetRandomSerial(c) &&
              X509_gmtime_adj(X509_getm_notBefore(c), -kBackdateSeconds) != nullptr &&
              X509_time_adj_ex(X509_getm_notAfter(c), static_cast<int>(kValidDays), 0, nullptr) !=
                  nullptr &&
              X509_set_pubkey(c, key.get()) == 1;
    X509_NAME* subject = ok ? X509_get_subject_name(c) : nullptr;
    ok = ok && X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(host.c_str()), -1,
                                          -1, 0) == 1;
    X509* signer = issuerCertificate ? issuerCertificate.get() : c;
    ok = ok && X509_set_issuer_name(c, X509_get_subject_name(signer)) == 1;
    ok = ok && AddExtension(c, signer, NID_basic_constraints,
                            authority ? "critical,CA:TRUE" : "critical,CA:FALSE");
    ok = ok &&
         AddExtension(c, signer, NID_key_usage,
                      authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    ok = ok && AddExtension(c, signer, NID_subject_key_identifier, "hash");
    if (!authority) {
        ok = ok && AddExtension(c, signer, NID_ext_key_usage, "serverAuth") &&
             AddExtension(c, signer, NID_subject_alt_name, names);
    }
    if (issuerCertificate) {
        ok = ok && AddExtension(c, signer, NID_authority_key_identifier, "keyid:always");
    }
    ok = ok && X509_sign(c, issuerKey ? issuerKey.get() : key.get(), EVP_sha256()) > 0;
    CertificateAndKey pem;
    if (ok) {
        pem.certificatePem = ToPem(WriteCertificate, c);
        pem.keyPem = ToPem(WriteKey, key.get());
    }
    if (pem.certificatePem.empty() || pem.keyPem.empty()) {
        error = "the certificate cannot be made: " + TakeOpenSslError("unknown error");
        return false;
    }
    out = std::move(pem);
    return true;
}

// Writes the file under a temporary name first and renames it into place, so that
// no half-written key or certificate is ever found under its name.
bool WritePrivateFile(const File& directory, const std::string& name, const std::string& text) {
    File file;
    std::string temporary;
    if (!file.CreateUniqueIn(directory, name + ".", temporary, 0600)) return false;
    const bool written = file.Write(text) && file.Sync();
    file.Close();
    if (written && RenameIn(directory, temporary, name)) return true;
    RemoveIn(directory, temporary);
    return false;
}

}  // namespace

bool MakeSelfSignedCertificate(const std::string& host, CertificateAndKey& out,
                               std::string& error) {
    return MakeCertificate(host, nullptr, false, out, error);
}

bool MakeCertificateForTesting(const std::string& host, const CertificateAndKey* issuer,
                               bool authority, CertificateAndKey& out, std::string& error) {
    return MakeCertificate(host, issuer, authority, out, error);
}

bool LoadOrMakeSelfSignedCertificate(const std::string& directory, const std::string& host,
                                     CertificateAndKey& out, bool& created, std::string& error) {
    File folder;
    if (!folder.Open(directory, OpenMode::Directory)) {
        error = "cannot open the directory " + directory;
        return false;
    }
    const std::string certificatePath = directory + "/" + kTlsCertificateFile;
    const std::string keyPath = directory + "/" + kTlsKeyFile;
    if (EntryExists(certificatePath) && EntryExists(keyPath)) {
        // Kept from an earlier start: clients have pinned exactly this certificate.
        CertificateAndKey pem;
        if (!ReadWholeFile(certificatePath, pem.certificatePem) ||
            !ReadWholeFile(keyPath, pem.keyPem)) {
            error = "cannot read " + certificatePath + " or " + keyPath;
            return false;
        }
        const X509Ptr certificate = ReadCertificate(pem.certificatePem);
        const KeyPtr key = ReadKey(pem.keyPem);
        const bool pair =
            certificate && key && X509_check_private_key(certificate.get(), key.get()) == 1;
        ERR_clear_error();
        if (!pair) {
            error = certificatePath + " and " + keyPath + " are not a certificate and its key";
            return false;
        }
        out = std::move(pem);
        created = false;
        return true;
    }
    CertificateAndKey pem;
    if (!MakeSelfSignedCertificate(host, pem, error)) return false;
    // The key first: a certificate alone is never taken for a pair.
    if (!WritePrivateFile(folder, kTlsKeyFile, pem.keyPem) ||
        !WritePrivateFile(folder, kTlsCertificateFile, pem.certificatePem)) {
        error = "cannot write the certificate into " + directory;
        return false;
    }
    out = std::move(pem);
    created = true;
    return true;
}

}  // namespace pellox::platform
