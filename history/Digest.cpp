#include "history/Digest.h"

#include <nettle/sha2.h>

#include <cstdint>

#include "data/Messwert.h"

namespace history {

struct ReadingsDigest::Context {
  sha256_ctx sha;
};

ReadingsDigest::ReadingsDigest() : context_(std::make_unique<Context>()) {
  sha256_init(&context_->sha);
}

ReadingsDigest::~ReadingsDigest() = default;

void ReadingsDigest::add(const StoredRecord& record, int32_t utcOffset) {
  uint8_t bytes[messwert::kRecordSize + 1];
  const uint64_t length = record.logger.size();
  uint8_t prefix[4];
  for (int i = 0; i < 4; ++i) prefix[i] = static_cast<uint8_t>(length >> (8 * i));
  sha256_update(&context_->sha, sizeof prefix, prefix);
  sha256_update(&context_->sha, record.logger.size(), reinterpret_cast<const uint8_t*>(record.logger.data()));
  messwert::toBytes(record.record, bytes);
  bytes[messwert::kRecordSize] = record.checksumError ? 1 : 0;
  sha256_update(&context_->sha, sizeof bytes, bytes);
  uint8_t shown[12];
  const uint64_t time = static_cast<uint64_t>(record.time);
  const uint32_t offset = static_cast<uint32_t>(utcOffset);
  for (int i = 0; i < 8; ++i) shown[i] = static_cast<uint8_t>(time >> (8 * i));
  for (int i = 0; i < 4; ++i) shown[8 + i] = static_cast<uint8_t>(offset >> (8 * i));
  sha256_update(&context_->sha, sizeof shown, shown);
}

int32_t digestOffset(const ClockOffsets* clock, int64_t time) {
  return clock != nullptr && clock->recorded() ? clock->at(time).offset : 0;
}

std::string ReadingsDigest::hex() {
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context_->sha, sizeof digest, digest);  // also starts over
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string readingsDigest(const std::vector<StoredRecord>& records, const ClockOffsets* clock) {
  ReadingsDigest digest;
  for (const StoredRecord& r : records) digest.add(r, digestOffset(clock, r.time));
  return digest.hex();
}

}  // namespace history
