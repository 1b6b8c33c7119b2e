#include "wire/EndToEnd.h"

#include "wire/Tls.h"
#include "wire/TlsStream.h"

#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <vector>

namespace wire {

namespace {
const char kProofLabel[] = "EXPORTER-talvo-stream-proof";

std::string hmac(const std::string &key, const unsigned char *data, std::size_t size)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), key.data(), int(key.size()), data, size, out, &len))
        return {};
    return std::string(reinterpret_cast<const char *>(out), len);
}
} // namespace

std::string randomHex(std::size_t bytes)
{
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), int(raw.size())) != 1)
        return {};
    return hexText(raw.data(), raw.size());
}

std::string streamProof(const TlsStream &tls, const std::string &secret)
{
    unsigned char exported[kProofSize];
    if (!tls.exportKeyingMaterial(exported, sizeof exported, kProofLabel))
        return {};
    return hmac(secret, exported, sizeof exported);
}

bool sameProof(const std::string &a, const std::string &b)
{
    return a.size() == kProofSize && b.size() == kProofSize && CRYPTO_memcmp(a.data(), b.data(), kProofSize) == 0;
}

std::string hmacHex(const std::string &key, const std::string &text)
{
    const std::string mac = hmac(key, reinterpret_cast<const unsigned char *>(text.data()), text.size());
    return hexText(reinterpret_cast<const unsigned char *>(mac.data()), mac.size());
}

} // namespace wire
