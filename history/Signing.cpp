#include "history/Signing.h"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

#include "history/Audit.h"

namespace history {

namespace {

constexpr char kPublicPrefix[] = "tarnwick-ed25519 ";
constexpr char kSecretFormat[] = "tarnwick secret key 1";
constexpr char kStatementDomain[] = "tarnwick statement 1";

bool ready(std::string& error) {
  if (sodium_init() < 0) {
    error = "the cryptography library cannot start";
    return false;
  }
  return true;
}

std::string hexOf(const uint8_t* bytes, size_t size) {
  std::string out(size * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), bytes, size);
  out.pop_back();
  return out;
}

bool fromHex(const std::string& hex, uint8_t* out, size_t size) {
  size_t length = 0;
  return hex.size() == size * 2 &&
         sodium_hex2bin(out, size, hex.data(), hex.size(), nullptr, &length, nullptr) == 0 && length == size;
}

std::string signedBytes(const std::string& statement) {
  return std::string(kStatementDomain, sizeof kStatementDomain) + statement;  // with the zero byte
}

std::string sensorsText(const std::vector<uint16_t>& sensors) {
  std::string out;
  for (uint16_t s : sensors) out += (out.empty() ? "" : ",") + std::to_string(s);
  return out;
}

}  // namespace

std::string PublicKey::hex() const {
  return hexOf(bytes.data(), bytes.size());
}

std::string PublicKey::fingerprint() const {
  uint8_t hash[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(hash, bytes.data(), bytes.size());
  return hexOf(hash, 16);
}

std::string PublicKey::fileText() const {
  return kPublicPrefix + hex() + "\n";
}

bool parsePublicKey(const std::string& text, PublicKey& out, std::string& error) {
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  const size_t prefix = std::strlen(kPublicPrefix);
  if (line.compare(0, prefix, kPublicPrefix) != 0 || !fromHex(line.substr(prefix), out.bytes.data(), 32)) {
    error = "not a Tarnwick public key (one line: tarnwick-ed25519 and 64 hexadecimal digits)";
    return false;
  }
  return true;
}

SecretKey::SecretKey() = default;
SecretKey::~SecretKey() {
  if (secret_ != nullptr) sodium_free(secret_);  // wipes it
}

std::string SecretKey::sign(const std::string& statement) const {
  uint8_t signature[crypto_sign_BYTES];
  const std::string message = signedBytes(statement);
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const uint8_t*>(message.data()), message.size(),
                       secret_);
  return hexOf(signature, sizeof signature);
}

bool newKeyPair(const std::string& passphrase, std::string& secretFile, PublicKey& publicKey,
                std::string& error) {
  if (!ready(error)) return false;
  auto* secret = static_cast<uint8_t*>(sodium_malloc(crypto_sign_SECRETKEYBYTES));
  auto* sealKey = static_cast<uint8_t*>(sodium_malloc(crypto_secretbox_KEYBYTES));
  if (secret == nullptr || sealKey == nullptr) {
    sodium_free(secret);
    sodium_free(sealKey);
    error = "no memory for the key";
    return false;
  }
  crypto_sign_keypair(publicKey.bytes.data(), secret);
  uint8_t salt[crypto_pwhash_SALTBYTES], nonce[crypto_secretbox_NONCEBYTES];
  randombytes_buf(salt, sizeof salt);
  randombytes_buf(nonce, sizeof nonce);
  uint8_t box[crypto_secretbox_MACBYTES + crypto_sign_SEEDBYTES];
  const bool derived = crypto_pwhash(sealKey, crypto_secretbox_KEYBYTES, passphrase.data(), passphrase.size(),
                                     salt, kKeyOpsLimit, kKeyMemLimit, crypto_pwhash_ALG_ARGON2ID13) == 0;
  if (derived) crypto_secretbox_easy(box, secret, crypto_sign_SEEDBYTES, nonce, sealKey);  // the seed
  sodium_free(secret);
  sodium_free(sealKey);
  if (!derived) {
    error = "not enough memory for Argon2id";
    return false;
  }
  secretFile = AuditDetail()
                   .add("format", kSecretFormat)
                   .add("public", publicKey.hex())
                   .add("salt", hexOf(salt, sizeof salt))
                   .add("ops", static_cast<int64_t>(kKeyOpsLimit))
                   .add("mem", static_cast<int64_t>(kKeyMemLimit))
                   .add("nonce", hexOf(nonce, sizeof nonce))
                   .add("box", hexOf(box, sizeof box))
                   .text();
  return true;
}

bool openSecretKey(const std::string& secretFile, const std::string& passphrase, SecretKey& out,
                   std::string& error) {
  if (!ready(error)) return false;
  uint8_t salt[crypto_pwhash_SALTBYTES], nonce[crypto_secretbox_NONCEBYTES];
  uint8_t box[crypto_secretbox_MACBYTES + crypto_sign_SEEDBYTES];
  PublicKey publicKey;
  const std::string ops = auditDetailValue(secretFile, "ops"), mem = auditDetailValue(secretFile, "mem");
  unsigned long long opsLimit = 0, memLimit = 0;
  try {
    opsLimit = std::stoull(ops);
    memLimit = std::stoull(mem);
  } catch (...) {
    opsLimit = 0;
  }
  // The cost is bounded as well: a planted file must not make this process take gigabytes.
  if (auditDetailValue(secretFile, "format") != kSecretFormat ||
      !fromHex(auditDetailValue(secretFile, "public"), publicKey.bytes.data(), 32) ||
      !fromHex(auditDetailValue(secretFile, "salt"), salt, sizeof salt) ||
      !fromHex(auditDetailValue(secretFile, "nonce"), nonce, sizeof nonce) ||
      !fromHex(auditDetailValue(secretFile, "box"), box, sizeof box) ||
      opsLimit < crypto_pwhash_OPSLIMIT_MIN || opsLimit > 64 || memLimit < crypto_pwhash_MEMLIMIT_MIN ||
      memLimit > (size_t{1} << 30)) {
    error = "the secret key file is not one Tarnwick wrote, or it is damaged";
    return false;
  }
  auto* sealKey = static_cast<uint8_t*>(sodium_malloc(crypto_secretbox_KEYBYTES));
  auto* seed = static_cast<uint8_t*>(sodium_malloc(crypto_sign_SEEDBYTES));
  out.secret_ = out.secret_ ? out.secret_ : static_cast<uint8_t*>(sodium_malloc(crypto_sign_SECRETKEYBYTES));
  bool opened = false;
  if (sealKey != nullptr && seed != nullptr && out.secret_ != nullptr) {
    if (crypto_pwhash(sealKey, crypto_secretbox_KEYBYTES, passphrase.data(), passphrase.size(), salt,
                      opsLimit, static_cast<size_t>(memLimit), crypto_pwhash_ALG_ARGON2ID13) != 0) {
      error = "not enough memory for Argon2id";
    } else if (crypto_secretbox_open_easy(seed, box, sizeof box, nonce, sealKey) != 0) {
      error = "the passphrase does not open the key";
    } else {
      PublicKey derived;
      crypto_sign_seed_keypair(derived.bytes.data(), out.secret_, seed);
      if (derived.bytes != publicKey.bytes)
        error = "the secret key file is damaged: its key does not match its public key";
      else
        opened = true;
    }
  } else {
    error = "no memory for the key";
  }
  sodium_free(sealKey);
  sodium_free(seed);
  if (opened) out.public_ = publicKey;
  return opened;
}

bool verifySignature(const PublicKey& key, const std::string& statement, const std::string& signatureHex) {
  std::string ignored;
  uint8_t signature[crypto_sign_BYTES];
  if (!ready(ignored) || !fromHex(signatureHex, signature, sizeof signature)) return false;
  const std::string message = signedBytes(statement);
  return crypto_sign_verify_detached(signature, reinterpret_cast<const uint8_t*>(message.data()),
                                     message.size(), key.bytes.data()) == 0;
}

std::string statementText(const Statement& s) {
  return AuditDetail()
      .add("statement", "tarnwick 1")
      .add("logger", s.logger)
      .add("logger-name", s.loggerName)
      .add("sensors", sensorsText(s.sensors))
      .add("from", s.from)
      .add("to", s.to)
      .add("period", s.period)
      .add("digest", s.digest)
      .add("readings", s.readings)
      .add("verdict", s.verdict)
      .add("reasons", s.reasons)
      .add("audit-head", s.auditHead)
      .add("meaning", s.meaning)
      .add("review", s.reviewSkipped ? "skipped" : "")
      .add("signer", s.signerName)
      .add("login", s.signerLogin)
      .add("key", s.keyFingerprint)
      .add("time", s.time)
      .add("comment", s.comment)
      .text();
}

bool parseStatement(const std::string& text, Statement& out, std::string& error) {
  out = Statement{};
  if (auditDetailValue(text, "statement") != "tarnwick 1") {
    error = "not a statement Tarnwick signs";
    return false;
  }
  out.logger = auditDetailValue(text, "logger");
  out.loggerName = auditDetailValue(text, "logger-name");
  const std::string sensors = auditDetailValue(text, "sensors");
  try {
    for (size_t at = 0; at < sensors.size();) {
      const size_t end = std::min(sensors.find(',', at), sensors.size());
      const unsigned long sensor = std::stoul(sensors.substr(at, end - at));
      if (sensor > 0xFFFF) throw std::out_of_range("sensor");
      out.sensors.push_back(static_cast<uint16_t>(sensor));
      at = end + 1;
    }
    out.from = std::stoll(auditDetailValue(text, "from"));
    out.to = std::stoll(auditDetailValue(text, "to"));
    out.readings = std::stoll(auditDetailValue(text, "readings"));
  } catch (...) {
    error = "a statement with a selection that is not one";
    return false;
  }
  out.period = auditDetailValue(text, "period");
  out.digest = auditDetailValue(text, "digest");
  out.verdict = auditDetailValue(text, "verdict");
  out.reasons = auditDetailValue(text, "reasons");
  out.auditHead = auditDetailValue(text, "audit-head");
  out.meaning = auditDetailValue(text, "meaning");
  out.reviewSkipped = auditDetailValue(text, "review") == "skipped";
  out.signerName = auditDetailValue(text, "signer");
  out.signerLogin = auditDetailValue(text, "login");
  out.keyFingerprint = auditDetailValue(text, "key");
  out.time = auditDetailValue(text, "time");
  out.comment = auditDetailValue(text, "comment");
  // The form is canonical: a statement that does not come back as the same text was not written here.
  if (statementText(out) != text) {
    error = "a statement that is not in its one form";
    return false;
  }
  return true;
}

bool sameSelection(const Statement& a, const Statement& b) {
  return a.logger == b.logger && a.sensors == b.sensors && a.from == b.from && a.to == b.to &&
         a.digest == b.digest;
}

std::string signatureDetail(const std::string& statementText, const std::string& signature) {
  return statementText + AuditDetail().add("signature", signature).text();
}

bool splitSignatureDetail(const std::string& detail, std::string& statementText, std::string& signature) {
  const std::string key = "signature=";
  const size_t at = detail.rfind("\n" + key);
  if (at == std::string::npos || detail.empty() || detail.back() != '\n') return false;
  statementText = detail.substr(0, at + 1);
  signature = detail.substr(at + 1 + key.size());
  signature.pop_back();
  return true;
}

bool readSignatures(Store& store, std::map<std::string, RegisteredKey>& keys,
                    std::vector<KeptSignature>& signatures, std::string& error) {
  keys.clear();
  signatures.clear();
  return store.auditTrail(
      [&](const AuditEntry& e) {
        if (e.kind == kAuditKeyRegistered) {
          RegisteredKey key;
          std::string ignored;
          if (!parsePublicKey(auditDetailValue(e.detail, "public"), key.key, ignored)) return true;
          key.name = auditDetailValue(e.detail, "name");
          key.login = auditDetailValue(e.detail, "login");
          key.registered = e.seq;
          keys.emplace(key.key.fingerprint(), key);  // the first registration stands
        } else if (e.kind == kAuditKeyRetired) {
          const auto it = keys.find(auditDetailValue(e.detail, "key"));
          if (it != keys.end() && it->second.retired == 0) it->second.retired = e.seq;
        } else if (e.kind == kAuditSignature) {
          KeptSignature kept;
          kept.seq = e.seq;
          std::string ignored;
          if (splitSignatureDetail(e.detail, kept.statementText, kept.signature))
            parseStatement(kept.statementText, kept.statement, ignored);
          signatures.push_back(kept);
        }
        return true;
      },
      error);
}

}  // namespace history
