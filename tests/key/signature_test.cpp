#include <gtest/gtest.h>
#include <sodium.h>

#include <string>
#include <vector>

#include "canonical/preimage.h"
#include "json/value.h"
#include "key/key.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace telmir::key {
namespace {

// RFC 8032, section 7.1, test 1 (empty message).
constexpr const char* kRfcSeed = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr const char* kRfcPublic =
    "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr const char* kRfcSignature =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b4"
    "6bd25bf5f0595bbe24655141438e7a100b";

std::vector<std::uint8_t> from_hex(std::string_view hex) {
  std::vector<std::uint8_t> out(hex.size() / 2);
  sodium_hex2bin(out.data(), out.size(), hex.data(), hex.size(), nullptr, nullptr, nullptr);
  return out;
}

QaKey rfc_key() {
  auto seed = parse_signing_key(kRfcSeed);
  EXPECT_TRUE(seed.has_value());
  return QaKey(*seed);
}

Signature rfc_signature() { return *signature_from_bytes(from_hex(kRfcSignature)); }

TEST(Ed25519, RfcTestVectorOneSignsToItsPublishedSignature) {
  QaKey key = rfc_key();
  auto pk = from_hex(kRfcPublic);
  EXPECT_TRUE(std::equal(pk.begin(), pk.end(), key.public_key().bytes.begin()));
  std::string text = sign_qa_record(key, "");
  EXPECT_EQ(text.size(), 86u);
  EXPECT_EQ(text, signature_string(rfc_signature()));
  auto bytes = decode_base64url(text);
  ASSERT_TRUE(bytes.has_value()) << bytes.error();
  EXPECT_EQ(*bytes, from_hex(kRfcSignature));
  EXPECT_TRUE(verify_signature(key.public_key(), "", rfc_signature()).has_value());
}

TEST(KeyIdentifier, IsPrefixedLowerHexOfThePublicKeyDigest) {
  EXPECT_EQ(rfc_key().key_id(),
            "ed25519:21fe31dfa154a261626bf854046fd2271b7bed4b6abe45aa58877ef47f9721b9");
}

TEST(DecodeBase64url, AcceptsOnlyUnpaddedUrlAlphabetWithZeroTrailingBits) {
  std::string good = signature_string(rfc_signature());
  std::string bad_bits = good;
  bad_bits.back() = static_cast<char>(bad_bits.back() + 1);  // sets one of the four unused bits
  std::string standard = good;
  standard[good.find_first_of("-_")] = '+';
  struct Case {
    const char* name;
    std::string text;
    std::string error;  // empty: decodes
    std::size_t size;
  };
  const std::vector<Case> cases = {
      {"signature", good, "", 64},
      {"empty text", "", "", 0},
      {"padded", good + "==", "padding '=' at offset 86", 0},
      {"standard alphabet", standard,
       "invalid character '+' at offset " + std::to_string(good.find_first_of("-_")), 0},
      {"non-zero trailing bits", bad_bits, "non-zero trailing bits", 0},
      {"dangling character", good.substr(0, 85), "invalid length: 85 base64 characters", 0},
      {"line break inside", good.substr(0, 40) + "\n" + good.substr(40),
       "invalid character byte 0x0a at offset 40", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = decode_base64url(c.text);
    if (c.error.empty()) {
      ASSERT_TRUE(bytes.has_value()) << bytes.error();
      EXPECT_EQ(bytes->size(), c.size);
    } else {
      ASSERT_FALSE(bytes.has_value());
      EXPECT_EQ(bytes.error(), c.error);
    }
  }
}

TEST(SignatureFromBytes, RequiresExactly64Bytes) {
  EXPECT_EQ(signature_from_bytes({}).error(), "expected 64 bytes, got 0");
  std::vector<std::uint8_t> long_bytes(65);
  EXPECT_EQ(signature_from_bytes(long_bytes).error(), "expected 64 bytes, got 65");
}

TEST(VerifySignature, RefusesEveryAlteration) {
  QaKey key = rfc_key();
  QaKey other(*parse_signing_key(std::string(64, '1')));
  Signature flipped_r = rfc_signature();
  flipped_r.bytes[3] ^= 0x01;
  Signature flipped_s = rfc_signature();
  flipped_s.bytes[40] ^= 0x01;
  struct Case {
    const char* name;
    PublicKey key;
    std::string message;
    Signature signature;
  };
  const std::vector<Case> cases = {
      {"other message", key.public_key(), "x", rfc_signature()},
      {"other key", other.public_key(), "", rfc_signature()},
      {"bit flipped in R", key.public_key(), "", flipped_r},
      {"bit flipped in S", key.public_key(), "", flipped_s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = verify_signature(c.key, c.message, c.signature);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "signature does not match the message and public key");
  }
}

// The group order L, little-endian.
constexpr std::uint8_t kOrder[32] = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

TEST(VerifySignature, RefusesSWithLAddedThoughItActsAlike) {
  Signature sig = rfc_signature();
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    unsigned sum = sig.bytes[32 + i] + kOrder[i] + carry;
    sig.bytes[32 + i] = static_cast<std::uint8_t>(sum);
    carry = sum >> 8;
  }
  auto r = verify_signature(rfc_key().public_key(), "", sig);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "S is not a canonical scalar");
}

// A signature whose R is the neutral element: S = h·a, so [S]B = [h]A and the recomputed R is
// the neutral element too. The standard rule accepts it; libsodium's own verifier refuses every
// small-order R before computing anything.
TEST(VerifySignature, AcceptsNeutralRWhenTheEquationHolds) {
  QaKey key = rfc_key();
  std::string message = "neutral R";
  Signature sig;
  sig.bytes[0] = 1;
  unsigned char digest[64];
  crypto_hash_sha512_state st;
  crypto_hash_sha512_init(&st);
  crypto_hash_sha512_update(&st, sig.bytes.data(), 32);
  crypto_hash_sha512_update(&st, key.public_key().bytes.data(), 32);
  crypto_hash_sha512_update(&st, reinterpret_cast<const unsigned char*>(message.data()),
                            message.size());
  crypto_hash_sha512_final(&st, digest);
  unsigned char h[32];
  crypto_core_ed25519_scalar_reduce(h, digest);
  unsigned char expanded[64];
  crypto_hash_sha512(expanded, from_hex(kRfcSeed).data(), 32);
  expanded[0] &= 248;
  expanded[31] &= 127;
  expanded[31] |= 64;
  unsigned char wide[64] = {};
  std::copy(expanded, expanded + 32, wide);
  unsigned char a[32];
  crypto_core_ed25519_scalar_reduce(a, wide);
  crypto_core_ed25519_scalar_mul(sig.bytes.data() + 32, h, a);

  EXPECT_NE(crypto_sign_verify_detached(sig.bytes.data(),
                                        reinterpret_cast<const unsigned char*>(message.data()),
                                        message.size(), key.public_key().bytes.data()),
            0);
  EXPECT_TRUE(verify_signature(key.public_key(), message, sig).has_value());
  EXPECT_FALSE(verify_signature(key.public_key(), "other", sig).has_value());
}

std::string data_file(const std::string& name) {
  return std::string(TELMIR_TEST_DATA_DIR) + "/interop/" + name;
}

// The verdict a verifier reaches for a record's stored signature.
bool signature_verifies(const PublicKey& key, const json::Value& record, std::string_view sig) {
  auto bytes = decode_base64url(sig);
  if (!bytes) return false;
  auto signature = signature_from_bytes(*bytes);
  if (!signature) return false;
  auto preimage = canonical::signature_preimage(record);
  if (!preimage) return false;
  return verify_signature(key, *preimage, *signature).has_value();
}

TEST(InteropChain, EveryRowIsReproducedFromTheChain) {
  auto key = load_governance_verifying_key(data_file("governance-key.hex"));
  ASSERT_TRUE(key.has_value()) << key.error();
  auto chain = platform::read_file(data_file("decision-chain.jsonl"));
  auto expected = platform::read_file(data_file("expected.jsonl"));
  ASSERT_TRUE(chain.has_value() && expected.has_value());
  auto lines = platform::split_json_lines(*chain);
  auto rows = platform::split_json_lines(*expected);
  ASSERT_EQ(lines.size(), rows.size());
  ASSERT_FALSE(lines.empty());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE("line " + std::to_string(i + 1));
    auto record = json::parse(lines[i].text);
    auto row = json::parse(rows[i].text);
    ASSERT_TRUE(record.has_value()) << record.error();
    ASSERT_TRUE(row.has_value()) << row.error();
    const json::Value& r = (*record)->root();
    const json::Value& want = (*row)->root();

    EXPECT_EQ(canonical::record_hash_preimage(r).value_or("?"),
              want.string_member("record_hash_preimage").value_or("!"));
    EXPECT_EQ(canonical::record_hash(r).value_or("?"),
              want.string_member("record_hash").value_or("!"));
    EXPECT_EQ(canonical::signature_preimage(r).value_or("?"),
              want.string_member("signature_preimage").value_or("!"));

    const json::Value* verdict = want.find("signature_valid");
    ASSERT_NE(verdict, nullptr);
    auto sig = r.string_member("signature");
    if (verdict->is_null()) {
      EXPECT_FALSE(sig.has_value());
      continue;
    }
    ASSERT_TRUE(sig.has_value());
    EXPECT_EQ(signature_verifies(*key, r, *sig), verdict->as_bool());

    // The same signature with one bit changed must not verify.
    auto bytes = decode_base64url(*sig);
    ASSERT_TRUE(bytes.has_value());
    (*bytes)[20] ^= 0x10;
    EXPECT_FALSE(signature_verifies(*key, r, signature_string(*signature_from_bytes(*bytes))));
  }
}

}  // namespace
}  // namespace telmir::key
