// Electronic signatures over what a history says of a logger's readings: a person's Ed25519 key pair
// (libsodium), the secret key kept encrypted under a passphrase, and the statement a signature covers.
//
// A public key file is one line: "tarnwick-ed25519 " and the key's 32 bytes as 64 hexadecimal digits.
// A key's fingerprint is the first 16 bytes of the SHA-256 of its 32 bytes, as 32 hexadecimal digits.
//
// The secret key file holds lines of "name=value" (history/Audit.h's form): format ("tarnwick secret
// key 1"), public (hex), salt (16 bytes, hex), ops and mem (Argon2id's cost as crypto_pwhash takes it),
// nonce (24 bytes, hex) and box: the key's 32-byte seed sealed with crypto_secretbox under the key
// Argon2id derives from the passphrase and the salt.
//
// A statement is a detail in history/Audit.h's form with the fields of Statement in the order below;
// a signature is Ed25519 (detached) over "tarnwick statement 1", one zero byte, and the statement's
// text. The trail keeps it as an entry of kind kAuditSignature: the statement's text and a last line
// "signature=<128 hexadecimal digits>".
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "history/History.h"

namespace history {

constexpr char kAuditKeyRegistered[] = "key-registered";
constexpr char kAuditKeyRetired[] = "key-retired";
constexpr char kAuditSignature[] = "signature";

// Argon2id's cost for a new key: three passes over 64 MiB.
constexpr unsigned long long kKeyOpsLimit = 3;
constexpr size_t kKeyMemLimit = size_t{64} << 20;

struct PublicKey {
  std::array<uint8_t, 32> bytes{};
  std::string hex() const;
  std::string fingerprint() const;
  std::string fileText() const;  // the public key file's line, with its line feed
};
bool parsePublicKey(const std::string& text, PublicKey& out, std::string& error);

// A secret key opened with its passphrase, held in memory that is locked and wiped when it goes.
class SecretKey {
 public:
  SecretKey();
  ~SecretKey();
  SecretKey(const SecretKey&) = delete;
  SecretKey& operator=(const SecretKey&) = delete;
  const PublicKey& publicKey() const { return public_; }
  // The signature's 64 bytes as hex.
  std::string sign(const std::string& statement) const;

 private:
  friend bool openSecretKey(const std::string&, const std::string&, SecretKey&, std::string&);
  friend bool newKeyPair(const std::string&, std::string&, PublicKey&, std::string&);
  uint8_t* secret_ = nullptr;  // 64 bytes, sodium_malloc
  PublicKey public_;
};

// A new key pair: the secret key file's text (sealed under `passphrase`) and the public key.
bool newKeyPair(const std::string& passphrase, std::string& secretFile, PublicKey& publicKey,
                std::string& error);
// Opens a secret key file's text; a wrong passphrase says so.
bool openSecretKey(const std::string& secretFile, const std::string& passphrase, SecretKey& out,
                   std::string& error);
bool verifySignature(const PublicKey& key, const std::string& statement, const std::string& signatureHex);

// What a signature says: the readings signed (logger, sensors, period, their digest and verdict),
// the trail's head when signed, the meaning, the signer and the time.
struct Statement {
  std::string logger, loggerName;
  std::vector<uint16_t> sensors;             // empty: every sensor
  int64_t from = INT64_MIN, to = INT64_MAX;  // the selection as Query takes it
  std::string period;                        // the selection in words, with offsets
  std::string digest;                        // ReadingsDigest of the selection
  int64_t readings = 0;
  std::string verdict;  // the verdict line, and its reasons
  std::string reasons;
  std::string auditHead;
  std::string meaning;         // reviewed, approved, released
  bool reviewSkipped = false;  // an approval given without a review, on purpose
  std::string signerName, signerLogin, keyFingerprint;
  std::string time;  // ISO 8601 with the signer's offset
  std::string comment;
};
std::string statementText(const Statement& statement);
bool parseStatement(const std::string& text, Statement& out, std::string& error);
// Whether a statement is of exactly these readings (a report's: its digest, range and sensors asked).
inline bool statementCovers(const Statement& s, const std::string& digest, int64_t from, int64_t to,
                            const std::vector<uint16_t>& sensors) {
  return s.digest == digest && s.from == from && s.to == to && s.sensors == sensors;
}
// Whether two statements are of the same readings (logger, sensors, period and digest).
bool sameSelection(const Statement& a, const Statement& b);

// The keys the trail registered, by fingerprint, as the trail says up to its end.
struct RegisteredKey {
  PublicKey key;
  std::string name, login;
  int64_t registered = 0;  // the entry's seq
  int64_t retired = 0;     // the entry's seq; 0 while the key is in use
};
// A signature kept in the trail.
struct KeptSignature {
  int64_t seq = 0;
  Statement statement;
  std::string statementText, signature;
};
bool readSignatures(Store& store, std::map<std::string, RegisteredKey>& keys,
                    std::vector<KeptSignature>& signatures, std::string& error);
// A signature entry's detail: the statement and its signature.
std::string signatureDetail(const std::string& statementText, const std::string& signature);
bool splitSignatureDetail(const std::string& detail, std::string& statementText, std::string& signature);

}  // namespace history
