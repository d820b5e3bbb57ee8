// A SHA-256 digest of the readings a report covers, so that anyone can check a report against the
// history: the report prints it, and the command line prints it for the same range.
//
// It is taken over this byte form of the records, in the order they are reported (the order
// Store::scan hands them out), each record as:
//   4 bytes   the length of the logger's serial in bytes, little-endian
//   n bytes   the serial as the history keeps it
//  32 bytes   the record as the logger stores it, little-endian (messwert::toBytes)
//   1 byte    1 when the record is flagged with a check-sum error, else 0
// No records: the digest of no bytes (e3b0c442...b855).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "history/History.h"

namespace history {

class ReadingsDigest {
 public:
  ReadingsDigest();
  ~ReadingsDigest();
  ReadingsDigest(const ReadingsDigest&) = delete;
  ReadingsDigest& operator=(const ReadingsDigest&) = delete;

  void add(const StoredRecord& record);
  // 64 lower-case hexadecimal digits; starts over for the next set.
  std::string hex();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

std::string readingsDigest(const std::vector<StoredRecord>& records);

}  // namespace history
