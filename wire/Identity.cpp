#include "wire/Identity.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace wire {

namespace {

bool fileExists(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string opensslError()
{
    const unsigned long e = ERR_get_error();
    if (!e)
        return "unknown OpenSSL error";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

} // namespace

bool ensureKeyAndCertificate(const std::string &keyPath, const std::string &certPath, const char *commonName,
                             bool *created, std::string *error)
{
    if (created)
        *created = false;
    const bool haveKey = fileExists(keyPath), haveCert = fileExists(certPath);
    if (haveKey && haveCert)
        return true;
    if (haveKey != haveCert) {
        // Replacing only one half would silently change the fingerprint every client pins.
        if (error)
            *error = "only one of " + keyPath + " and " + certPath + " exists; remove it or supply both";
        return false;
    }
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    bool ok = key && cert;
    if (ok) {
        X509_set_version(cert, 2);
        unsigned char serial[16];
        RAND_bytes(serial, sizeof serial);
        serial[0] &= 0x7f;
        BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
        BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
        BN_free(bn);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 20L * 365 * 24 * 3600);
        X509_set_pubkey(cert, key);
        X509_NAME *name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>(commonName), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        ok = X509_sign(cert, key, EVP_sha256()) > 0;
    }
    if (ok) {
        const mode_t old = ::umask(077);
        FILE *kf = std::fopen(keyPath.c_str(), "wb");
        ::umask(old);
        ok = kf && PEM_write_PrivateKey(kf, key, nullptr, nullptr, 0, nullptr, nullptr);
        if (kf)
            std::fclose(kf);
        FILE *cf = ok ? std::fopen(certPath.c_str(), "wb") : nullptr;
        ok = ok && cf && PEM_write_X509(cf, cert);
        if (cf)
            std::fclose(cf);
        if (!ok && error)
            *error = "cannot write " + (kf ? certPath : keyPath) + ": " + std::strerror(errno ? errno : EIO);
    } else if (error) {
        *error = "cannot create key: " + opensslError();
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    if (ok && created)
        *created = true;
    return ok;
}

} // namespace wire
