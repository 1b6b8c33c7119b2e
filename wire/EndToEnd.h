#pragma once

#include <chrono>
#include <string>

namespace wire {

class TlsStream;

// What the tunnel library and the panel agent share to run a stream's TLS end to end through
// a relay that only authorised it. The relay gives both ends a per-stream secret over their
// own authenticated links; the PC proves it knows the secret inside the stream's TLS, bound
// to that very session, so that neither a relay that merely watched nor one that replays an
// old stream gets a panel to talk.

// Bytes of a proof: HMAC-SHA256.
constexpr std::size_t kProofSize = 32;
// How long after the relay handed out a per-stream secret the agent still takes its proof.
constexpr std::chrono::seconds kSecretLife{15};

// `bytes` random bytes (OpenSSL's generator) as lower-case hex.
std::string randomHex(std::size_t bytes);

// HMAC-SHA256 of the session's exported keying material with the secret's text as key;
// empty when the session has none (no handshake yet).
std::string streamProof(const TlsStream &tls, const std::string &secret);
// In time independent of where they differ.
bool sameProof(const std::string &a, const std::string &b);

// HMAC-SHA256 of `text` as hex: relay-to-relay requests, signed with the cluster's key.
std::string hmacHex(const std::string &key, const std::string &text);

} // namespace wire
