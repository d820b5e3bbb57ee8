// The audit trail of a history: every change of what the history says (an import with the digest of
// the records it kept, a change of limits, a clock zone, a firmware version seen, a key registered, a
// signature, ...) is appended as an entry, and no entry is ever changed or removed. Each entry carries
// the SHA-256 of the one before it, so that an entry changed, removed, inserted or reordered breaks the
// chain from there on, and `verifyHistory` compares the trail with the rows it speaks for.
//
// The hash of entry n is SHA-256 over these bytes:
//   "tarnwick audit 1" and one zero byte
//   for each field, in this order: seq, time, host, user, kind, logger, subject, detail
//     8 bytes   the field's length in bytes, little-endian
//     n bytes   the field: integers as decimal text ("-5"), text as UTF-8
//   32 bytes   the hash of entry n-1 (32 zero bytes for entry 1)
// and it is kept as 64 lower-case hexadecimal digits.
//
// A detail is lines of "name=value", each line ended by "\n", the names in a fixed order per kind;
// in a value "\\" stands for a backslash, "\n" for a line feed, "\r" for a carriage return and "\xHH"
// for any other byte below 0x20.
//
// The records an import kept are summed up as a count and the SHA-256 over each record, in the order
// of time, sensor and the record's bytes, as:
//    8 bytes  its time (StoredRecord::time), little-endian two's complement
//   32 bytes  the record as the logger stores it (messwert::toBytes)
//    1 byte   1 when flagged with a check-sum error, else 0
//    1 byte   1 when read from a file, else 0
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "history/History.h"

namespace history {

struct AuditEntry {
  int64_t seq = 0;   // 1, 2, 3, ... without gaps
  int64_t time = 0;  // seconds since 1970 (UTC) by the clock of the computer or server that wrote it
  std::string host, user;
  std::string kind;     // one of the kAudit... names
  std::string logger;   // the logger the entry is about; empty for none
  int64_t subject = 0;  // the row it speaks for (an import's DownloadRow::id), 0 for none
  std::string detail;
  std::string hash;  // hex
};

// Kinds of entries.
constexpr char kAuditStart[] = "trail-start";  // the trail began on a history that had rows already
constexpr char kAuditImport[] = "import";
constexpr char kAuditLimits[] = "limits";
constexpr char kAuditClockZone[] = "clock-zone";
constexpr char kAuditFirmware[] = "firmware";
// Keys and signatures copied from another history (`history copy`): the hashes of that trail's entries,
// which its signatures name as their heads.
constexpr char kAuditTrailCopied[] = "trail-copied";

// The hash of an entry after the one whose hash is `previous` (empty for the first entry).
std::string auditEntryHash(const AuditEntry& entry, const std::string& previous);

// Builds a detail in the form above.
class AuditDetail {
 public:
  AuditDetail& add(const std::string& name, const std::string& value);
  AuditDetail& add(const std::string& name, int64_t value) { return add(name, std::to_string(value)); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};
// The value of `name` in a detail (unescaped); empty when there is none.
std::string auditDetailValue(const std::string& detail, const std::string& name);

// The digest of a set of kept records (see above); records must be added in their order.
class RecordSetDigest {
 public:
  RecordSetDigest();
  ~RecordSetDigest();
  RecordSetDigest(RecordSetDigest&&) noexcept;
  RecordSetDigest& operator=(RecordSetDigest&&) noexcept;
  void add(int64_t time, const uint8_t (&record)[32], bool checksumError, bool fromFile);
  void add(const StoredRecord& record);
  int64_t count() const { return count_; }
  // "N:<64 hex digits>"; starts over.
  std::string summary();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  int64_t count_ = 0;
};

// Whether record a comes before record b in the order the digests take them (time, sensor, bytes).
bool recordOrder(const StoredRecord& a, const StoredRecord& b);

// The details of the rows the trail speaks for: an import (`kept`: the summary of the records kept from
// it, the ones later imports replaced included; `replaced`: of the records it replaced), a change of
// limits, a clock zone, a firmware version seen.
std::string importDetail(const DownloadRow& row, const std::string& kept, const std::string& replaced);
std::string limitChangeDetail(const LimitChange& change);
std::string clockZoneDetail(const ClockZoneRow& zone);
std::string firmwareDetail(int64_t utc, const std::string& version);

// The entries for every row a history had before it kept a trail, oldest first within each kind,
// handed to `append` (kind, logger, subject, detail). Used once, when a history's trail begins.
bool adoptIntoTrail(
    Store& store,
    const std::function<bool(const std::string&, const std::string&, int64_t, const std::string&)>& append,
    std::string& error);

// What `verifyHistory` found.
struct Verification {
  int64_t entries = 0;  // entries of the trail checked
  int64_t records = 0;  // records checked (the ones kept and the ones replaced)
  std::string head;     // the hash of the last entry; empty for an empty trail
  // The first thing that does not hold, in words; empty when all holds.
  std::string failure;
};

// Walks the trail and the rows it speaks for. False (with `error`) only when the history cannot be
// read; what does not hold is out.failure. `keptHead`, when not empty, must be the hash of an entry of
// the trail (a head kept elsewhere earlier): a trail written anew is found so.
bool verifyHistory(Store& store, const std::string& keptHead, Verification& out, std::string& error);

}  // namespace history
