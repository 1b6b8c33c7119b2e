#include "wire/Protocol.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

namespace wire::proto {

std::vector<std::string> splitWords(const std::string &line)
{
    std::vector<std::string> words;
    std::string cur;
    for (char c : line) {
        if (c == ' ') {
            if (!cur.empty())
                words.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        words.push_back(std::move(cur));
    return words;
}

bool validSn(const std::string &sn)
{
    if (sn.empty() || sn.size() > 64)
        return false;
    for (char c : sn)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
              || c == '-' || c == '_'))
            return false;
    return true;
}

bool validSecret(const std::string &secret)
{
    if (secret.empty() || secret.size() > 256)
        return false;
    for (char c : secret)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

bool printableLine(const std::string &line)
{
    for (char c : line)
        if (c < ' ' || c > '~')
            return false;
    return true;
}

bool globMatch(const std::string &pattern, const std::string &text)
{
    // Iterative match with backtracking to the last '*': linear in practice, no recursion.
    std::size_t p = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] != '*' && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool secretEquals(const std::string &a, const std::string &b)
{
    // Hash first so that the comparison does not leak the length either.
    unsigned char ha[SHA256_DIGEST_LENGTH], hb[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(a.data()), a.size(), ha);
    SHA256(reinterpret_cast<const unsigned char *>(b.data()), b.size(), hb);
    return CRYPTO_memcmp(ha, hb, sizeof ha) == 0;
}

} // namespace wire::proto
