#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <memory>
#include <string>

namespace wire {

// Bytes as lower-case hex without separators.
std::string hexText(const unsigned char *data, std::size_t size);
// SHA-256 of the certificate's DER form, as hexText.
std::string certificateFingerprint(X509 *cert);
// Accepts upper or lower case, with or without ':' separators; empty when not 64 hex digits.
std::string normaliseFingerprint(const std::string &text);
bool fileFingerprint(const std::string &certPath, std::string *fingerprint, std::string *error);

std::shared_ptr<asio::ssl::context> makeServerContext(const std::string &keyPath,
                                                      const std::string &certPath, std::string *error);

// Trusts exactly the certificate with the given fingerprint (pinning, as SSH host keys):
// no CA, no host name check.
std::shared_ptr<asio::ssl::context> makeClientContext(const std::string &fingerprint);

// True when the error is a failed certificate check (another certificate than the pinned one).
bool isCertificateMismatch(const std::error_code &ec);

} // namespace wire
