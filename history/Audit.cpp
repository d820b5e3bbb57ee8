#include "history/Audit.h"

#include <nettle/sha2.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <tuple>

#include "data/Messwert.h"
#include "history/Digest.h"
#include "history/Signing.h"

namespace history {

namespace {

constexpr char kHashDomain[] = "tarnwick audit 1";

std::string hexOf(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

bool bytesOfHex(const std::string& hex, uint8_t (&out)[SHA256_DIGEST_SIZE]) {
  if (hex.size() != 2 * SHA256_DIGEST_SIZE) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < SHA256_DIGEST_SIZE; ++i) {
    const int high = nibble(hex[2 * i]), low = nibble(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

void field(sha256_ctx& sha, const std::string& value) {
  uint8_t length[8];
  const uint64_t size = value.size();
  for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(size >> (8 * i));
  sha256_update(&sha, sizeof length, length);
  sha256_update(&sha, value.size(), reinterpret_cast<const uint8_t*>(value.data()));
}

std::string utcText(int64_t utc) {
  const std::time_t t = static_cast<std::time_t>(utc);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) return std::to_string(utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

std::string sensorText(const std::optional<uint16_t>& sensor) {
  return sensor ? "sensor " + std::to_string(*sensor) : std::string("the logger");
}

// Kinds whose entries stand for rows of a logger that are compared as a whole (no row id).
struct NoteKey {
  std::string logger, kind;
  bool operator<(const NoteKey& o) const { return std::tie(logger, kind) < std::tie(o.logger, o.kind); }
};

}  // namespace

std::string auditEntryHash(const AuditEntry& entry, const std::string& previous) {
  sha256_ctx sha;
  sha256_init(&sha);
  sha256_update(&sha, sizeof kHashDomain, reinterpret_cast<const uint8_t*>(kHashDomain));  // with its zero
  field(sha, std::to_string(entry.seq));
  field(sha, std::to_string(entry.time));
  field(sha, entry.host);
  field(sha, entry.user);
  field(sha, entry.kind);
  field(sha, entry.logger);
  field(sha, std::to_string(entry.subject));
  field(sha, entry.detail);
  uint8_t before[SHA256_DIGEST_SIZE] = {};
  // A previous hash that is not one (another program wrote it) still chains: it then never matches.
  if (!previous.empty() && !bytesOfHex(previous, before)) std::memset(before, 0xFF, sizeof before);
  sha256_update(&sha, sizeof before, before);
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&sha, sizeof digest, digest);
  return hexOf(digest, sizeof digest);
}

AuditDetail& AuditDetail::add(const std::string& name, const std::string& value) {
  text_ += name;
  text_ += '=';
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      text_ += "\\\\";
    } else if (c == '\n') {
      text_ += "\\n";
    } else if (c == '\r') {
      text_ += "\\r";
    } else if (byte < 0x20) {
      static const char kDigits[] = "0123456789abcdef";
      text_ += "\\x";
      text_ += kDigits[byte >> 4];
      text_ += kDigits[byte & 15];
    } else {
      text_ += c;
    }
  }
  text_ += '\n';
  return *this;
}

std::string auditDetailValue(const std::string& detail, const std::string& name) {
  const std::string key = name + "=";
  size_t at = 0;
  while (at < detail.size()) {
    const size_t end = std::min(detail.find('\n', at), detail.size());
    if (detail.compare(at, key.size(), key) == 0) {
      std::string out;
      for (size_t i = at + key.size(); i < end; ++i) {
        if (detail[i] != '\\' || i + 1 >= end) {
          out += detail[i];
          continue;
        }
        const char next = detail[++i];
        if (next == 'n') {
          out += '\n';
        } else if (next == 'r') {
          out += '\r';
        } else if (next == 'x' && i + 2 < end) {
          out += static_cast<char>(std::stoi(detail.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          out += next;
        }
      }
      return out;
    }
    at = end + 1;
  }
  return std::string();
}

struct RecordSetDigest::Context {
  sha256_ctx sha;
};

RecordSetDigest::RecordSetDigest() : context_(std::make_unique<Context>()) {
  sha256_init(&context_->sha);
}
RecordSetDigest::~RecordSetDigest() = default;
RecordSetDigest::RecordSetDigest(RecordSetDigest&&) noexcept = default;
RecordSetDigest& RecordSetDigest::operator=(RecordSetDigest&&) noexcept = default;

void RecordSetDigest::add(int64_t time, const uint8_t (&record)[32], bool checksumError, bool fromFile) {
  uint8_t bytes[8 + messwert::kRecordSize + 2];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(time) >> (8 * i));
  std::memcpy(bytes + 8, record, messwert::kRecordSize);
  bytes[8 + messwert::kRecordSize] = checksumError ? 1 : 0;
  bytes[9 + messwert::kRecordSize] = fromFile ? 1 : 0;
  sha256_update(&context_->sha, sizeof bytes, bytes);
  ++count_;
}

void RecordSetDigest::add(const StoredRecord& record) {
  uint8_t bytes[messwert::kRecordSize];
  messwert::toBytes(record.record, bytes);
  add(record.time, bytes, record.checksumError, record.fromFile);
}

std::string RecordSetDigest::summary() {
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context_->sha, sizeof digest, digest);
  const std::string out = std::to_string(count_) + ":" + hexOf(digest, sizeof digest);
  count_ = 0;
  return out;
}

bool recordOrder(const StoredRecord& a, const StoredRecord& b) {
  if (a.time != b.time) return a.time < b.time;
  if (a.record.sensorSerialNumber != b.record.sensorSerialNumber)
    return a.record.sensorSerialNumber < b.record.sensorSerialNumber;
  uint8_t x[messwert::kRecordSize], y[messwert::kRecordSize];
  messwert::toBytes(a.record, x);
  messwert::toBytes(b.record, y);
  return std::memcmp(x, y, sizeof x) < 0;
}

std::string importDetail(const DownloadRow& row, const std::string& kept, const std::string& replaced) {
  return AuditDetail()
      .add("import", row.id)
      .add("time", row.when)
      .add("file", row.file)
      .add("from-file", row.fromFile ? 1 : 0)
      .add("device", row.device)
      .add("records", row.records)
      .add("added", row.added)
      .add("differing", row.differing)
      .add("host", row.host)
      .add("user", row.user)
      .add("firmware", row.firmware)
      .add("kept", kept)
      .add("replaced", replaced)
      .text();
}

std::string limitChangeDetail(const LimitChange& change) {
  AuditDetail detail;
  detail.add("time", change.utc)
      .add("sensor", change.sensor ? static_cast<int64_t>(*change.sensor) : -1)
      .add("host", change.who.host)
      .add("user", change.who.user)
      .add("before", change.before)
      .add("after", change.after);
  // A reason joins the entry only where one was given, so entries of changes made without one keep
  // the encoding they were chained with.
  if (!change.reason.empty()) detail.add("reason", change.reason);
  return detail.text();
}

std::string clockZoneDetail(const ClockZoneRow& zone) {
  return AuditDetail()
      .add("time", zone.utc)
      .add("zone", zone.zone.name)
      .add("offset", zone.zone.offset)
      .add("kind", clockZoneKindName(zone.kind))
      .text();
}

std::string firmwareDetail(int64_t utc, const std::string& version) {
  return AuditDetail().add("time", utc).add("version", version).text();
}

namespace {

// The summaries of the records kept from each import of a logger (the replaced ones with them) and of
// the records each import replaced: streamed, one digest per import.
struct LoggerDigests {
  std::map<int64_t, RecordSetDigest> kept, replaced;
  int64_t records = 0;
};

bool digestLogger(Store& store, const std::string& logger, LoggerDigests& out, std::string& error) {
  std::vector<Store::ReplacedRecord> replaced;
  if (!store.replacedRecords(logger, replaced, error)) return false;
  std::sort(replaced.begin(), replaced.end(),
            [](const Store::ReplacedRecord& a, const Store::ReplacedRecord& b) {
              return recordOrder(a.record, b.record);
            });
  for (const Store::ReplacedRecord& r : replaced) out.replaced[r.replacedBy].add(r.record);
  size_t next = 0;
  Query q;
  q.logger = logger;
  const bool read = store.scanAsStored(
      q,
      [&](const StoredRecord& r) {
        // A replaced record goes into its import's digest where it stood among the kept ones.
        while (next < replaced.size() && recordOrder(replaced[next].record, r)) {
          out.kept[replaced[next].record.download].add(replaced[next].record);
          ++next;
        }
        out.kept[r.download].add(r);
        ++out.records;
        return true;
      },
      error);
  if (!read) return false;
  for (; next < replaced.size(); ++next) out.kept[replaced[next].record.download].add(replaced[next].record);
  out.records += static_cast<int64_t>(replaced.size());
  return true;
}

std::string summaryOf(std::map<int64_t, RecordSetDigest>& digests, int64_t id) {
  return digests[id].summary();  // an import without records: the summary of none
}

// Each signature of the trail: made by a key registered before it and not retired then, over its
// statement, at a head that was the trail's then, and of readings that still have the digest signed.
bool verifySignatures(Store& store, const std::map<std::string, int64_t>& heads, Verification& out,
                      std::string& error) {
  std::map<std::string, RegisteredKey> keys;
  std::vector<KeptSignature> signatures;
  if (!readSignatures(store, keys, signatures, error)) return false;
  for (const KeptSignature& kept : signatures) {
    const std::string named = "the signature of audit entry " + std::to_string(kept.seq);
    const Statement& s = kept.statement;
    if (s.logger.empty()) {
      out.failure = named + " holds no statement Tarnwick signs";
      return true;
    }
    const auto key = keys.find(s.keyFingerprint);
    if (key == keys.end() || key->second.registered > kept.seq) {
      out.failure = named + " names the key " + s.keyFingerprint + ", which was not registered then";
      return true;
    }
    if (key->second.retired != 0 && key->second.retired < kept.seq) {
      out.failure = named + " was made with the key " + s.keyFingerprint + " of " + key->second.name +
                    " after it was retired (audit entry " + std::to_string(key->second.retired) + ")";
      return true;
    }
    if (!verifySignature(key->second.key, kept.statementText, kept.signature)) {
      out.failure = named + " (" + s.meaning + " by " + s.signerName +
                    ") does not match its statement: the statement or the signature was changed";
      return true;
    }
    const auto head = heads.find(s.auditHead);
    if (s.auditHead.empty() ? kept.seq != 1 : (head == heads.end() || head->second >= kept.seq)) {
      out.failure = named + " (" + s.meaning + " by " + s.signerName + ") signed the trail's head " +
                    s.auditHead + ", which is not in the trail before it: the trail was written anew";
      return true;
    }
    Query q;
    q.logger = s.logger;
    q.sensors = s.sensors;
    q.from = s.from;
    q.to = s.to;
    ReadingsDigest digest;
    if (!store.scan(
            q,
            [&](const StoredRecord& r) {
              digest.add(r);
              return true;
            },
            error))
      return false;
    if (digest.hex() != s.digest) {
      out.failure = "the readings " + s.logger + " " + s.period + " signed in audit entry " +
                    std::to_string(kept.seq) + " (" + s.meaning + " by " + s.signerName +
                    ") no longer have the digest signed";
      return true;
    }
  }
  return true;
}

}  // namespace

bool adoptIntoTrail(
    Store& store,
    const std::function<bool(const std::string&, const std::string&, int64_t, const std::string&)>& append,
    std::string& error) {
  const std::vector<std::string> loggers = store.loggers();
  if (!store.lastError().empty()) {
    error = store.lastError();
    return false;
  }
  if (loggers.empty()) return true;
  if (!append(kAuditStart, "", 0,
              AuditDetail().add("reason", "the history was kept without an audit trail before").text()))
    return false;
  for (const std::string& logger : loggers) {
    LoggerDigests digests;
    if (!digestLogger(store, logger, digests, error)) return false;
    const std::vector<DownloadRow> rows = store.downloads(logger);
    if (!store.lastError().empty()) {
      error = store.lastError();
      return false;
    }
    for (const DownloadRow& row : rows)
      if (!append(kAuditImport, logger, row.id,
                  importDetail(row, summaryOf(digests.kept, row.id), summaryOf(digests.replaced, row.id))))
        return false;
    std::vector<LimitChange> changes;
    std::vector<ClockZoneRow> zones;
    std::vector<std::pair<int64_t, std::string>> versions;
    if (!store.limitChanges(logger, changes, error) || !store.clockZones(logger, zones, error) ||
        !store.firmwareSeen(logger, versions, error))
      return false;
    for (const LimitChange& change : changes)
      if (!append(kAuditLimits, logger, 0, limitChangeDetail(change))) return false;
    for (const ClockZoneRow& zone : zones)
      if (!append(kAuditClockZone, logger, 0, clockZoneDetail(zone))) return false;
    for (const auto& [utc, version] : versions)
      if (!append(kAuditFirmware, logger, 0, firmwareDetail(utc, version))) return false;
  }
  return true;
}

bool verifyHistory(Store& store, const std::string& keptHead, Verification& out, std::string& error) {
  out = Verification{};
  // The chain, and what each entry says of the rows.
  struct Said {
    int64_t seq;
    std::string detail;
  };
  std::map<int64_t, Said> imports;                               // by subject: the latest entry
  std::map<NoteKey, std::multimap<std::string, int64_t>> notes;  // detail -> seq
  std::string previous;
  std::map<std::string, int64_t> heads;  // each entry's hash, with its seq
  bool keptFound = keptHead.empty();
  const bool walked = store.auditTrail(
      [&](const AuditEntry& e) {
        const int64_t expected = out.entries + 1;
        if (e.seq != expected) {
          out.failure = e.seq > expected ? "audit entry " + std::to_string(expected) + " is missing: removed"
                                         : "audit entry " + std::to_string(e.seq) +
                                               " stands out of order: entries were inserted or reordered";
          return false;
        }
        if (auditEntryHash(e, previous) != e.hash) {
          out.failure = "audit entry " + std::to_string(e.seq) + " (" + e.kind + ", " + utcText(e.time) +
                        ") does not hold: it was changed, or an entry before it was changed, inserted, "
                        "removed or reordered";
          return false;
        }
        previous = e.hash;
        ++out.entries;
        heads.emplace(e.hash, e.seq);
        if (e.kind == kAuditTrailCopied) {
          const std::string copied = auditDetailValue(e.detail, "hashes");
          for (size_t at = 0; at + 64 <= copied.size(); at += 65) heads.emplace(copied.substr(at, 64), e.seq);
        }
        if (!keptHead.empty() && e.hash == keptHead) keptFound = true;
        if (e.kind == kAuditImport)
          imports[e.subject] = Said{e.seq, e.detail};
        else if (e.kind == kAuditLimits || e.kind == kAuditClockZone || e.kind == kAuditFirmware)
          notes[NoteKey{e.logger, e.kind}].emplace(e.detail, e.seq);
        return true;
      },
      error);
  if (!walked) return false;
  out.head = previous;
  if (!out.failure.empty()) return true;
  if (!keptFound) {
    out.failure = "the head hash kept earlier (" + keptHead +
                  ") is not in the audit trail: the trail was written anew or cut short";
    return true;
  }

  const std::vector<std::string> loggers = store.loggers();
  if (!store.lastError().empty()) {
    error = store.lastError();
    return false;
  }
  for (const std::string& logger : loggers) {
    LoggerDigests digests;
    if (!digestLogger(store, logger, digests, error)) return false;
    out.records += digests.records;
    const std::vector<DownloadRow> rows = store.downloads(logger);
    if (!store.lastError().empty()) {
      error = store.lastError();
      return false;
    }
    std::set<int64_t> known;
    for (const DownloadRow& row : rows) {
      known.insert(row.id);
      const std::string kept = summaryOf(digests.kept, row.id),
                        replaced = summaryOf(digests.replaced, row.id);
      const std::string named = "import " + std::to_string(row.id) + " of " + logger + " (" +
                                utcText(row.when) + ", " + (row.file.empty() ? "no file" : row.file) + ")";
      const auto said = imports.find(row.id);
      if (said == imports.end()) {
        out.failure = named + " is not in the audit trail: added outside an import";
        return true;
      }
      const std::string& entry = said->second.detail;
      const std::string seq = std::to_string(said->second.seq);
      if (auditDetailValue(entry, "kept") != kept) {
        out.failure = "the records kept from " + named + " no longer match the digest of audit entry " + seq +
                      ": a record was changed, removed or added outside an import (" +
                      kept.substr(0, kept.find(':')) + " records now, " +
                      auditDetailValue(entry, "kept").substr(0, auditDetailValue(entry, "kept").find(':')) +
                      " in the trail)";
        return true;
      }
      if (auditDetailValue(entry, "replaced") != replaced) {
        out.failure = "the records " + named + " replaced no longer match the digest of audit entry " + seq +
                      ": the kept copies of replaced records were changed";
        return true;
      }
      if (importDetail(row, kept, replaced) != entry) {
        out.failure = "the row of " + named + " differs from audit entry " + seq + ": it was changed";
        return true;
      }
      imports.erase(said);
    }
    for (const auto& digest : digests.kept)
      if (known.count(digest.first) == 0 && digest.second.count() > 0) {
        out.failure = "records of " + logger + " are kept from import " + std::to_string(digest.first) +
                      ", which the history does not have: added outside an import";
        return true;
      }

    // Changes of limits, clock zones and firmware versions: each row has its entry, and each entry its row.
    std::vector<LimitChange> changes;
    std::vector<ClockZoneRow> zones;
    std::vector<std::pair<int64_t, std::string>> versions;
    if (!store.limitChanges(logger, changes, error) || !store.clockZones(logger, zones, error) ||
        !store.firmwareSeen(logger, versions, error))
      return false;
    auto match = [&](const char* kind, const std::string& detail, const std::string& what) {
      auto& said = notes[NoteKey{logger, kind}];
      const auto it = said.find(detail);
      if (it == said.end()) {
        out.failure = what + " is not in the audit trail: changed or added outside Tarnwick";
        return false;
      }
      said.erase(it);
      return true;
    };
    for (const LimitChange& change : changes)
      if (!match(kAuditLimits, limitChangeDetail(change),
                 "the change of limits of " + logger + " (" + sensorText(change.sensor) + ", " +
                     utcText(change.utc) + ": \"" + change.before + "\" to \"" + change.after + "\")"))
        return true;
    for (const ClockZoneRow& zone : zones)
      if (!match(
              kAuditClockZone, clockZoneDetail(zone),
              "the clock zone of " + logger + " recorded " + utcText(zone.utc) + " (" + zone.zone.name + ")"))
        return true;
    for (const auto& [utc, version] : versions)
      if (!match(kAuditFirmware, firmwareDetail(utc, version),
                 "the firmware version " + version + " of " + logger + " seen " + utcText(utc)))
        return true;

    for (const char* kind : {kAuditLimits, kAuditClockZone, kAuditFirmware}) {
      const auto& said = notes[NoteKey{logger, kind}];
      if (!said.empty()) {
        const std::string what = kind == kAuditLimits      ? "change of limits"
                                 : kind == kAuditClockZone ? "clock zone"
                                                           : "firmware version";
        out.failure = "the " + what + " of " + logger + " recorded in audit entry " +
                      std::to_string(said.begin()->second) + " is no longer in the history: removed";
        return true;
      }
    }

    // The limits in force are the ones the newest change of each left.
    std::vector<LimitsRow> limitRows;
    std::string unreadable;
    if (!store.limitRows(logger, limitRows, unreadable)) {
      out.failure = "the limits of " + logger + " cannot be read: " + unreadable;
      return true;
    }
    std::map<int64_t, const LimitChange*> newest;
    for (const LimitChange& change : changes) {
      const int64_t sensor = change.sensor ? static_cast<int64_t>(*change.sensor) : -1;
      const auto it = newest.find(sensor);
      if (it == newest.end() || it->second->utc <= change.utc) newest[sensor] = &change;
    }
    for (const LimitsRow& row : limitRows) {
      const int64_t sensor = row.sensor ? static_cast<int64_t>(*row.sensor) : -1;
      const auto it = newest.find(sensor);
      const std::string now = limitsText(row.limits);
      if (it == newest.end() || it->second->after != now) {
        out.failure = "the limits of " + logger + " (" + sensorText(row.sensor) + ": \"" + now +
                      "\") are not the ones the last recorded change left: changed outside Tarnwick";
        return true;
      }
      newest.erase(it);
    }
    for (const auto& [sensor, change] : newest)
      if (!change->after.empty()) {
        out.failure = "the limits of " + logger + " (" + sensorText(change->sensor) + ": \"" + change->after +
                      "\") were removed outside Tarnwick";
        return true;
      }
  }
  if (!verifySignatures(store, heads, out, error)) return false;
  if (!out.failure.empty()) return true;
  for (const auto& [subject, said] : imports) {
    out.failure = "import " + std::to_string(subject) + " of audit entry " + std::to_string(said.seq) +
                  " is no longer in the history: removed";
    return true;
  }
  for (const auto& [key, said] : notes)
    if (!said.empty()) {
      out.failure = "the " + key.kind + " of " + key.logger + " recorded in audit entry " +
                    std::to_string(said.begin()->second) + " is no longer in the history: removed";
      return true;
    }
  return true;
}

}  // namespace history
