#pragma once

#include <string>

namespace relay {

// Creates an EC P-256 key and a self-signed certificate when both files are missing (the
// relay's first start). The key file is written readable by the owner only.
bool ensureKeyAndCertificate(const std::string &keyPath, const std::string &certPath, bool *created,
                             std::string *error);

} // namespace relay
