// A SHA-256 digest of the readings a report covers, so that anyone can check a report against the
// history: the report prints it, and the command line prints it for the same range.
//
// It is taken over this byte form of the records, in the order they are reported (the order
// Store::scan hands them out), each record as:
//   4 bytes   the length of the logger's serial in bytes, little-endian
//   n bytes   the serial as the history keeps it
//  32 bytes   the record as the logger stores it, little-endian (messwert::toBytes)
//   1 byte    1 when the record is flagged with a check-sum error, else 0
//   8 bytes   the reading's time as shown (StoredRecord::time: the clock's calendar time), little-endian
//   4 bytes   the UTC offset shown with it, in seconds east, little-endian two's complement: the offset
//             of the zone recorded for the logger's clock then (ClockOffsets::at), or 0 where the
//             history records no zone for the logger (an assumed zone would change with the computer)
// So a report's times and offsets are part of what its digest vouches for.
// No records: the digest of no bytes (e3b0c442...b855).
#pragma once

#include <cstdint>
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

  void add(const StoredRecord& record, int32_t utcOffset = 0);
  // 64 lower-case hexadecimal digits; starts over for the next set.
  std::string hex();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// `clock`: the zones of the records' logger; a null one, or one without recorded zones, gives offset 0.
std::string readingsDigest(const std::vector<StoredRecord>& records, const ClockOffsets* clock = nullptr);
// The offset the digest takes for a reading.
int32_t digestOffset(const ClockOffsets* clock, int64_t time);

}  // namespace history
