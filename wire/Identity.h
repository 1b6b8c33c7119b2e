#pragma once

#include <string>

namespace wire {

// Creates an EC P-256 key and a self-signed certificate named `commonName` when both files
// are missing (the relay's or the agent's first start). The key file is written readable by
// the owner only. Peers pin the certificate's fingerprint, so an existing pair is never
// replaced, and a pair with one half missing is an error.
bool ensureKeyAndCertificate(const std::string &keyPath, const std::string &certPath, const char *commonName,
                             bool *created, std::string *error);

} // namespace wire
