// The audit trail of a history file: its entries and the records later imports replaced.
#include <sqlite3.h>

#include <cstring>
#include <ctime>

#include "data/Messwert.h"
#include "history/Audit.h"
#include "history/Backend.h"
#include "history/History.h"

namespace history {

namespace {

struct Prepared {
  sqlite3_stmt* st = nullptr;
  Prepared() = default;
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
  ~Prepared() { sqlite3_finalize(st); }
  int prepare(sqlite3* db, const char* sql) { return sqlite3_prepare_v2(db, sql, -1, &st, nullptr); }
  void text(int i, const std::string& value) {
    sqlite3_bind_text(st, i, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
};

std::string textOf(sqlite3_stmt* st, int column) {
  const unsigned char* text = sqlite3_column_text(st, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<size_t>(sqlite3_column_bytes(st, column)))
              : std::string();
}

}  // namespace

bool Store::appendAuditLocked(const std::string& kind, const std::string& logger, int64_t subject,
                              const std::string& detail, int& code) {
  Prepared last, insert;
  if ((code = last.prepare(db_, "SELECT seq, hash FROM audit_trail ORDER BY seq DESC LIMIT 1")) != SQLITE_OK)
    return false;
  AuditEntry entry;
  std::string previous;
  if ((code = sqlite3_step(last.st)) == SQLITE_ROW) {
    entry.seq = sqlite3_column_int64(last.st, 0) + 1;
    previous = textOf(last.st, 1);
  } else if (code == SQLITE_DONE) {
    entry.seq = 1;
  } else {
    return false;
  }
  const Computer computer = thisComputer();
  entry.time = static_cast<int64_t>(std::time(nullptr));
  entry.host = computer.host;
  entry.user = computer.user;
  entry.kind = kind;
  entry.logger = logger;
  entry.subject = subject;
  entry.detail = detail;
  entry.hash = auditEntryHash(entry, previous);
  if ((code =
           insert.prepare(db_,
                          "INSERT INTO audit_trail(seq, time, host_name, user_name, kind, logger, subject, "
                          "detail, hash) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)")) != SQLITE_OK)
    return false;
  sqlite3_bind_int64(insert.st, 1, entry.seq);
  sqlite3_bind_int64(insert.st, 2, entry.time);
  insert.text(3, entry.host);
  insert.text(4, entry.user);
  insert.text(5, entry.kind);
  insert.text(6, entry.logger);
  sqlite3_bind_int64(insert.st, 7, entry.subject);
  insert.text(8, entry.detail);
  insert.text(9, entry.hash);
  code = sqlite3_step(insert.st);
  if (code != SQLITE_DONE) return false;
  code = SQLITE_OK;
  return true;
}

bool Store::appendAuditLocked(const std::string& kind, int64_t loggerId, int64_t subject,
                              const std::string& detail, int& code) {
  Prepared serial;
  if ((code = serial.prepare(db_, "SELECT serial FROM loggers WHERE id = ?1")) != SQLITE_OK) return false;
  sqlite3_bind_int64(serial.st, 1, loggerId);
  if ((code = sqlite3_step(serial.st)) != SQLITE_ROW) {
    if (code == SQLITE_DONE) code = SQLITE_CORRUPT;
    return false;
  }
  return appendAuditLocked(kind, textOf(serial.st, 0), subject, detail, code);
}

bool Store::keepReplaced(int64_t loggerId, int64_t time, uint16_t sensor, const uint8_t* record,
                         int64_t replacedBy, StoredRecord& kept, int& code) {
  Prepared read, insert;
  if ((code =
           read.prepare(db_,
                        "SELECT checksum_error, from_file, download FROM measurements WHERE logger = ?1 AND "
                        "time = ?2 AND sensor = ?3 AND record = ?4")) != SQLITE_OK)
    return false;
  sqlite3_bind_int64(read.st, 1, loggerId);
  sqlite3_bind_int64(read.st, 2, time);
  sqlite3_bind_int(read.st, 3, sensor);
  sqlite3_bind_blob(read.st, 4, record, static_cast<int>(messwert::kRecordSize), SQLITE_STATIC);
  if ((code = sqlite3_step(read.st)) != SQLITE_ROW) {
    if (code == SQLITE_DONE) code = SQLITE_CORRUPT;
    return false;
  }
  kept = StoredRecord{};
  kept.time = time;
  kept.record = messwert::fromBytes(record);
  kept.checksumError = sqlite3_column_int(read.st, 0) != 0;
  kept.fromFile = sqlite3_column_int(read.st, 1) != 0;
  kept.download = sqlite3_column_int64(read.st, 2);
  if ((code = insert.prepare(db_,
                             "INSERT INTO replaced_records(logger, time, sensor, record, checksum_error, "
                             "from_file, download, replaced_by) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")) !=
      SQLITE_OK)
    return false;
  sqlite3_bind_int64(insert.st, 1, loggerId);
  sqlite3_bind_int64(insert.st, 2, time);
  sqlite3_bind_int(insert.st, 3, sensor);
  sqlite3_bind_blob(insert.st, 4, record, static_cast<int>(messwert::kRecordSize), SQLITE_STATIC);
  sqlite3_bind_int(insert.st, 5, kept.checksumError ? 1 : 0);
  sqlite3_bind_int(insert.st, 6, kept.fromFile ? 1 : 0);
  sqlite3_bind_int64(insert.st, 7, kept.download);
  sqlite3_bind_int64(insert.st, 8, replacedBy);
  if ((code = sqlite3_step(insert.st)) != SQLITE_DONE) return false;
  code = SQLITE_OK;
  return true;
}

bool Store::appendAudit(const std::string& kind, const std::string& logger, int64_t subject,
                        const std::string& detail, std::string& error) {
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) return server_->appendAudit(kind, logger, subject, detail, error);
  int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK || !appendAuditLocked(kind, logger, subject, detail, rc) ||
      (rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK) {
    error = failure("the audit trail was not written", rc);
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  return true;
}

bool Store::auditTrail(const std::function<bool(const AuditEntry&)>& visit, std::string& error) {
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) return server_->auditTrail(visit, error);
  Prepared s;
  int rc = s.prepare(
      db_,
      "SELECT seq, time, host_name, user_name, kind, logger, subject, detail, hash FROM audit_trail "
      "ORDER BY seq");
  AuditEntry e;
  while (rc == SQLITE_OK && (rc = sqlite3_step(s.st)) == SQLITE_ROW) {
    e.seq = sqlite3_column_int64(s.st, 0);
    e.time = sqlite3_column_int64(s.st, 1);
    e.host = textOf(s.st, 2);
    e.user = textOf(s.st, 3);
    e.kind = textOf(s.st, 4);
    e.logger = textOf(s.st, 5);
    e.subject = sqlite3_column_int64(s.st, 6);
    e.detail = textOf(s.st, 7);
    e.hash = textOf(s.st, 8);
    if (!visit(e)) return true;
    rc = SQLITE_OK;
  }
  if (rc != SQLITE_DONE) {
    error = failure("cannot read the audit trail", rc);
    return false;
  }
  return true;
}

bool Store::replacedRecords(const std::string& logger, std::vector<ReplacedRecord>& out, std::string& error) {
  out.clear();
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) return server_->replacedRecords(logger, out, error);
  Prepared s;
  int rc = s.prepare(db_,
                     "SELECT r.time, r.record, r.checksum_error, r.from_file, r.download, r.replaced_by FROM "
                     "replaced_records r JOIN loggers l ON l.id = r.logger WHERE l.serial = ?1");
  if (rc == SQLITE_OK) s.text(1, logger);
  while (rc == SQLITE_OK && (rc = sqlite3_step(s.st)) == SQLITE_ROW) {
    const void* blob = sqlite3_column_blob(s.st, 1);
    if (blob == nullptr || sqlite3_column_bytes(s.st, 1) != static_cast<int>(messwert::kRecordSize)) {
      rc = SQLITE_CORRUPT;
      break;
    }
    ReplacedRecord r;
    r.record.logger = logger;
    r.record.time = sqlite3_column_int64(s.st, 0);
    r.record.record = messwert::fromBytes(static_cast<const uint8_t*>(blob));
    r.record.checksumError = sqlite3_column_int(s.st, 2) != 0;
    r.record.fromFile = sqlite3_column_int(s.st, 3) != 0;
    r.record.download = sqlite3_column_int64(s.st, 4);
    r.replacedBy = sqlite3_column_int64(s.st, 5);
    out.push_back(r);
    rc = SQLITE_OK;
  }
  if (rc != SQLITE_DONE) {
    out.clear();
    error = failure("cannot read the replaced records", rc);
    return false;
  }
  return true;
}

}  // namespace history
