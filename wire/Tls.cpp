#include "wire/Tls.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>

namespace wire {

namespace {

// TLS 1.3 only: all three programs are ours, and its AES-GCM suites are the fast ones.
void commonSetup(asio::ssl::context &ctx)
{
    SSL_CTX *native = ctx.native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_3_VERSION);
    SSL_CTX_set_ciphersuites(native, "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384");
    // Idle control links hold no record buffers (memory per registered panel stays small).
    SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
    // Read whole bursts of records per system call instead of header and body apart.
    SSL_CTX_set_read_ahead(native, 1);
    SSL_CTX_set_default_read_buffer_len(native, 64 * 1024);
    // A TCP close without close_notify stays an error (stream_truncated): it is how a
    // killed peer or a cut connection looks, and must not pass for a complete transfer.
    // No session resumption between our own programs: no tickets to send or keep.
    SSL_CTX_set_num_tickets(native, 0);
}

} // namespace

std::string hexText(const unsigned char *data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string certificateFingerprint(X509 *cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!cert || !X509_digest(cert, EVP_sha256(), md, &len))
        return {};
    return hexText(md, len);
}

std::string normaliseFingerprint(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == ':' || c == ' ')
            continue;
        if (c >= 'A' && c <= 'F')
            c = char(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return {};
        out += c;
    }
    return out.size() == 64 ? out : std::string();
}

bool fileFingerprint(const std::string &certPath, std::string *fingerprint, std::string *error)
{
    FILE *f = std::fopen(certPath.c_str(), "rb");
    if (!f) {
        if (error)
            *error = "cannot open " + certPath;
        return false;
    }
    X509 *cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!cert) {
        if (error)
            *error = certPath + " holds no PEM certificate";
        return false;
    }
    *fingerprint = certificateFingerprint(cert);
    X509_free(cert);
    return true;
}

std::shared_ptr<asio::ssl::context> makeServerContext(const std::string &keyPath,
                                                      const std::string &certPath, std::string *error)
{
    auto ctx = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    commonSetup(*ctx);
    std::error_code ec;
    ctx->use_certificate_chain_file(certPath, ec);
    if (!ec)
        ctx->use_private_key_file(keyPath, asio::ssl::context::pem, ec);
    if (ec) {
        if (error)
            *error = "cannot load " + certPath + " / " + keyPath + ": " + ec.message();
        return nullptr;
    }
    return ctx;
}

std::shared_ptr<asio::ssl::context> makeClientContext(const std::string &fingerprint)
{
    auto ctx = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
    commonSetup(*ctx);
    const std::string pinned = normaliseFingerprint(fingerprint);
    ctx->set_verify_mode(asio::ssl::verify_peer);
    ctx->set_verify_callback([pinned](bool, asio::ssl::verify_context &vc) {
        X509_STORE_CTX *store = vc.native_handle();
        if (X509_STORE_CTX_get_error_depth(store) != 0)
            return true; // the chain does not matter, only the leaf we pinned
        const bool match = !pinned.empty()
            && certificateFingerprint(X509_STORE_CTX_get_current_cert(store)) == pinned;
        if (!match)
            X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
        return match;
    });
    return ctx;
}

bool isCertificateMismatch(const std::error_code &ec)
{
    return ec.category() == asio::error::get_ssl_category()
        && ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == SSL_R_CERTIFICATE_VERIFY_FAILED;
}

} // namespace wire
