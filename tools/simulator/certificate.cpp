#include "certificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>

namespace kivsim {

namespace {

struct Deleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(std::FILE* p) const { std::fclose(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Deleter>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("cannot make the certificate: ") + what);
}

void addExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    Owned<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    check(ext != nullptr && X509_add_ext(cert, ext.get(), -1) == 1, "extension");
}

}  // namespace

void writeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile) {
    Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key");
    Owned<X509> cert(X509_new());
    check(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(std::time(nullptr)));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
    check(X509_set_pubkey(cert.get(), key.get()) == 1, "public key");
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("kivsim"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    check(X509_set_issuer_name(cert.get(), name) == 1, "issuer");
    addExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
    addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signature");

    const mode_t old = umask(077);  // the key is for this user only
    Owned<std::FILE> keyOut(std::fopen(keyFile.c_str(), "w"));
    umask(old);
    check(keyOut != nullptr, ("cannot write " + keyFile).c_str());
    check(PEM_write_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1, "key file");
    Owned<std::FILE> certOut(std::fopen(certFile.c_str(), "w"));
    check(certOut != nullptr, ("cannot write " + certFile).c_str());
    check(PEM_write_X509(certOut.get(), cert.get()) == 1, "certificate file");
}

}  // namespace kivsim
