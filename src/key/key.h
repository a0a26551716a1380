#pragma once

// Signing keys and signatures: the two key file forms, the QA signing key (created once, then
// loaded), key identifiers, signature strings, and Ed25519 verification of governance records.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace telmir::key {

inline constexpr std::size_t kSeedBytes = 32;
inline constexpr std::size_t kPublicKeyBytes = 32;
inline constexpr std::size_t kSignatureBytes = 64;

// The message the self-check signs and verifies.
inline constexpr std::string_view kSelfCheckMessage = "orvante-telmir-key-self-check";

// A 32-byte Ed25519 seed. Every copy overwrites its bytes with zeros when it is discarded.
class Seed {
 public:
  Seed() noexcept { bytes_.fill(0); }
  explicit Seed(std::span<const std::uint8_t, kSeedBytes> bytes) noexcept;
  Seed(const Seed& other) noexcept;
  Seed& operator=(const Seed& other) noexcept;
  ~Seed();

  std::span<const std::uint8_t, kSeedBytes> bytes() const noexcept { return bytes_; }
  std::span<std::uint8_t, kSeedBytes> mutable_bytes() noexcept { return bytes_; }

 private:
  std::array<std::uint8_t, kSeedBytes> bytes_;
};

// An Ed25519 public key in its standard 32-byte encoding.
struct PublicKey {
  std::array<std::uint8_t, kPublicKeyBytes> bytes{};
  friend bool operator==(const PublicKey&, const PublicKey&) = default;
};

// The 64 bytes of an Ed25519 signature: R followed by S.
struct Signature {
  std::array<std::uint8_t, kSignatureBytes> bytes{};
  friend bool operator==(const Signature&, const Signature&) = default;
};

// The QA signing key in memory: its identifier and the Ed25519 key pair. The secret half is
// overwritten with zeros when a copy is discarded.
class QaKey {
 public:
  explicit QaKey(const Seed& seed);
  QaKey(const QaKey& other) noexcept;
  QaKey& operator=(const QaKey& other) noexcept;
  ~QaKey();

  const std::string& key_id() const noexcept { return key_id_; }
  const PublicKey& public_key() const noexcept { return public_key_; }
  // libsodium's 64-byte secret key (seed followed by the public key).
  std::span<const std::uint8_t, 64> secret_key() const noexcept { return secret_; }

 private:
  std::string key_id_;
  PublicKey public_key_;
  std::array<std::uint8_t, 64> secret_;
};

// Key file text (PKCS#8 PEM or 64 hexadecimal digits) to its seed.
// Errors: "unsupported signing key format; expected PKCS#8 PEM or 32 byte seed hex",
// "invalid PEM base64: {}", "PKCS#8 key is too short".
Result<Seed> parse_signing_key(std::string_view text);

// Reads and parses the QA key file. Error: "failed to read QA signing key {}: {}" or the
// parser's error.
Result<QaKey> load_qa_signing_key(const std::string& path);

// Loads the key file when the path exists; otherwise creates a new key file (mode 0600) and
// loads it back. Never replaces an existing file.
Result<QaKey> ensure_qa_signing_key(const std::string& path);

// Signs the fixed message and verifies it with the key's own public key.
// Error: "QA signing key self-check failed: {}".
Result<void> self_check(const QaKey& key);

// Signature string (86 characters) of the bytes exactly as given.
std::string sign_qa_record(const QaKey& key, std::string_view bytes);

// The governance key file: its key identifier, or its public key.
// Error: "failed to read signing key {}: {}" or the parser's error.
Result<std::string> governance_key_id(const std::string& path);
Result<PublicKey> load_governance_verifying_key(const std::string& path);

// Ed25519 key pair derivation from a seed.
PublicKey public_key_from_seed(const Seed& seed);

// "ed25519:" and 64 lower-case hexadecimal digits of SHA-256 over the public key (72 characters).
std::string key_identifier(const PublicKey& key);

// The signature as base64url without padding (86 characters).
std::string signature_string(const Signature& signature);

// Strict base64url without padding: "=" and non-zero trailing bits are refused. The message says
// what was wrong.
Result<std::vector<std::uint8_t>> decode_base64url(std::string_view text);

// Strict standard base64 with canonical padding.
Result<std::vector<std::uint8_t>> decode_base64(std::string_view text);

// Decoded signature bytes to a signature. Error (the reason): the length is not 64 bytes.
Result<Signature> signature_from_bytes(std::span<const std::uint8_t> bytes);

// Standard Ed25519 verification of `message`: S must be a canonical scalar and the R encoding
// recomputed from S, the message and the key must equal the R bytes. Error: the reason.
Result<void> verify_signature(const PublicKey& key, std::string_view message,
                              const Signature& signature);

}  // namespace telmir::key
