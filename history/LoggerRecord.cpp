// What people add to a logger's record: its name and place, and comments on its excursions. Only
// ever added to: a change is a new row beside the earlier ones, and the latest one stands.
#include <sqlite3.h>

#include <ctime>
#include <string>
#include <vector>

#include "history/Backend.h"
#include "history/History.h"

namespace history {
namespace {

// The length of the UTF-8 sequence that starts with `lead`, 0 when no sequence starts with it.
size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Whether text[i, i + n) is one well-formed UTF-8 character (no overlong form, no surrogate, at most
// U+10FFFF).
bool wholeCharacter(const std::string& text, size_t i, size_t n) {
  if (n == 0 || i + n > text.size()) return false;
  const auto at = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  for (size_t k = 1; k < n; ++k)
    if ((at(k) & 0xC0) != 0x80) return false;
  if (n == 3 && at(0) == 0xE0 && at(1) < 0xA0) return false;
  if (n == 3 && at(0) == 0xED && at(1) >= 0xA0) return false;
  if (n == 4 && at(0) == 0xF0 && at(1) < 0x90) return false;
  if (n == 4 && at(0) == 0xF4 && at(1) >= 0x90) return false;
  return true;
}

// One line: breaks and tabs become spaces, other control characters go, spaces at the ends too.
// `valid` says whether every byte was part of a whole UTF-8 character; where one was not, U+FFFD
// stands in its place.
std::string oneLineUtf8(const std::string& text, bool& valid) {
  valid = true;
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = sequenceLength(c);
    if (!wholeCharacter(text, i, n)) {
      valid = false;
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (n == 1) {
      if (c == '\n' || c == '\r' || c == '\t')
        out += ' ';
      else if (c >= 0x20 && c != 0x7F)
        out += static_cast<char>(c);
    } else if (!(n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
      out.append(text, i, n);  // C1 control characters (U+0080 to U+009F) go as well
    }
    i += n;
  }
  const size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

// Cut to at most `limit` bytes at a character's start.
std::string cut(std::string text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

class Sql {
 public:
  Sql(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr); }
  ~Sql() { sqlite3_finalize(st_); }
  Sql(const Sql&) = delete;
  Sql& operator=(const Sql&) = delete;
  bool prepared() const { return rc_ == SQLITE_OK; }
  int code() const { return rc_; }
  Sql& bind(int i, int64_t v) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  Sql& bind(int i, const std::string& v) {
    if (rc_ == SQLITE_OK)
      rc_ = sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW while there are rows, SQLITE_DONE at the end, else the failure.
  int step() {
    if (rc_ != SQLITE_OK && rc_ != SQLITE_ROW && rc_ != SQLITE_DONE) return rc_;
    return rc_ = sqlite3_step(st_);
  }
  int64_t number(int column) const { return sqlite3_column_int64(st_, column); }
  std::string text(int column) const {
    const unsigned char* value = sqlite3_column_text(st_, column);
    return value ? reinterpret_cast<const char*>(value) : "";
  }

 private:
  sqlite3_stmt* st_ = nullptr;
  int rc_ = SQLITE_OK;
};

int run(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

Computer shownComputer(const std::string& host, const std::string& user) {
  return Computer{shownNote(host, kMaxNameLength), shownNote(user, kMaxNameLength)};
}

bool validSerial(const std::string& logger, std::string& error) {
  bool ok = !logger.empty() && logger.size() <= kMaxLoggerLength;
  for (unsigned char c : logger) ok = ok && c >= 0x20 && c != 0x7F;
  if (!ok) error = "Not a logger serial number the history can keep (1 to 64 printable characters)";
  return ok;
}

}  // namespace

bool noteText(const std::string& text, size_t limit, const char* what, std::string& out, std::string& error) {
  bool valid = true;
  std::string line = oneLineUtf8(text, valid);
  if (!valid) {
    error = std::string(what) + " is not UTF-8 text";
    return false;
  }
  if (line.size() > limit) {
    error = std::string(what) + " is longer than " + std::to_string(limit) + " bytes";
    return false;
  }
  out = std::move(line);
  return true;
}

std::string shownNote(const std::string& text, size_t limit) {
  bool valid = true;
  return cut(oneLineUtf8(text, valid), limit);
}

bool Store::setLoggerLabel(const std::string& logger, const std::optional<std::string>& name,
                           const std::optional<std::string>& place, const Computer& who, std::string& error) {
  if (!validSerial(logger, error)) return false;
  std::optional<std::string> newName, newPlace;
  std::string text;
  if (name) {
    if (!noteText(*name, kMaxLabelLength, "The name", text, error)) return false;
    newName = text;
  }
  if (place) {
    if (!noteText(*place, kMaxLabelLength, "The place", text, error)) return false;
    newPlace = text;
  }
  if (!newName && !newPlace) return true;
  const Computer clean = shownComputer(who.host, who.user);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (db_ != nullptr && fileId(path_) != opened_) close();
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) return server_->setLoggerLabel(logger, newName, newPlace, clean, now, error);
  int rc = run(db_, "BEGIN IMMEDIATE");
  auto fail = [&](int code) {
    error = failure("the name and place were not stored", code);
    run(db_, "ROLLBACK");
    return false;
  };
  if (rc != SQLITE_OK) return fail(rc);
  int64_t id = 0;
  if (!loggerId(logger, true, id, rc)) return fail(rc);
  LoggerLabel before;
  {
    Sql last(db_,
             "SELECT name, place FROM label_changes WHERE logger = ?1 ORDER BY time DESC, id DESC LIMIT 1");
    last.bind(1, id);
    rc = last.step();
    if (rc == SQLITE_ROW)
      before =
          LoggerLabel{shownNote(last.text(0), kMaxLabelLength), shownNote(last.text(1), kMaxLabelLength)};
    else if (rc != SQLITE_DONE)
      return fail(rc);
  }
  const LoggerLabel after{newName.value_or(before.name), newPlace.value_or(before.place)};
  if (after.name == before.name && after.place == before.place) {
    run(db_, "ROLLBACK");
    return true;
  }
  Sql insert(
      db_,
      "INSERT INTO label_changes(logger, time, host_name, user_name, old_name, old_place, name, place) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  insert.bind(1, id)
      .bind(2, now)
      .bind(3, clean.host)
      .bind(4, clean.user)
      .bind(5, before.name)
      .bind(6, before.place)
      .bind(7, after.name)
      .bind(8, after.place);
  if ((rc = insert.step()) != SQLITE_DONE) return fail(rc);
  if ((rc = run(db_, "COMMIT")) != SQLITE_OK) return fail(rc);
  return true;
}

bool Store::labelChanges(const std::string& logger, std::vector<LabelChange>& out, std::string& error) {
  out.clear();
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) {
    if (!server_->labelChanges(logger, out, error)) return false;
  } else {
    Sql q(db_,
          "SELECT c.time, c.host_name, c.user_name, c.old_name, c.old_place, c.name, c.place FROM "
          "label_changes c JOIN loggers l ON l.id = c.logger WHERE l.serial = ?1 ORDER BY c.time, c.id");
    q.bind(1, logger);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW)
      out.push_back(LabelChange{q.number(0), Computer{q.text(1), q.text(2)},
                                LoggerLabel{q.text(3), q.text(4)}, LoggerLabel{q.text(5), q.text(6)}});
    if (rc != SQLITE_DONE) {
      out.clear();
      error = failure("cannot read the names and places", rc);
      return false;
    }
  }
  // Shown as one line of bounded length whatever another program wrote there.
  for (LabelChange& change : out) {
    change.who = shownComputer(change.who.host, change.who.user);
    for (LoggerLabel* label : {&change.before, &change.after})
      *label = LoggerLabel{shownNote(label->name, kMaxLabelLength), shownNote(label->place, kMaxLabelLength)};
  }
  return true;
}

bool Store::copyLabelChange(const std::string& logger, const LabelChange& change, std::string& error) {
  if (!validSerial(logger, error)) return false;
  LabelChange clean = change;
  clean.who = shownComputer(change.who.host, change.who.user);
  for (LoggerLabel* label : {&clean.before, &clean.after})
    *label = LoggerLabel{shownNote(label->name, kMaxLabelLength), shownNote(label->place, kMaxLabelLength)};
  if (db_ != nullptr && fileId(path_) != opened_) close();
  if (!ensureOpen(error)) return false;
  if (server_ != nullptr) return server_->copyLabelChange(logger, clean, error);
  int rc = run(db_, "BEGIN IMMEDIATE");
  auto fail = [&](int code) {
    error = failure("the name and place were not copied", code);
    run(db_, "ROLLBACK");
    return false;
  };
  if (rc != SQLITE_OK) return fail(rc);
  int64_t id = 0;
  if (!loggerId(logger, true, id, rc)) return fail(rc);
  Sql insert(
      db_,
      "INSERT INTO label_changes(logger, time, host_name, user_name, old_name, old_place, name, place) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  insert.bind(1, id)
      .bind(2, clean.utc)
      .bind(3, clean.who.host)
      .bind(4, clean.who.user)
      .bind(5, clean.before.name)
      .bind(6, clean.before.place)
      .bind(7, clean.after.name)
      .bind(8, clean.after.place);
  if ((rc = insert.step()) != SQLITE_DONE) return fail(rc);
  if ((rc = run(db_, "COMMIT")) != SQLITE_OK) return fail(rc);
  return true;
}

bool Store::loggerLabel(const std::string& logger, LoggerLabel& out, std::string& error) {
  out = LoggerLabel{};
  std::vector<LabelChange> changes;
  if (!labelChanges(logger, changes, error)) return false;
  if (!changes.empty()) out = changes.back().after;
  return true;
}

bool Store::addExcursionComment(const std::string& logger, const ExcursionComment& comment,
                                std::string& error) {
  if (!validSerial(logger, error)) return false;
  ExcursionComment clean = comment;
  if (!noteText(comment.cause, kMaxNoteLength, "The cause", clean.cause, error) ||
      !noteText(comment.action, kMaxNoteLength, "The action", clean.action, error))
    return false;
  if (clean.cause.empty() && clean.action.empty()) {
    error = "A comment on an excursion needs a cause or an action";
    return false;
  }
  if (clean.quantity != "temperature" && clean.quantity != "humidity") {
    error = "An excursion is of temperature or humidity, not \"" + shownNote(clean.quantity, 32) + "\"";
    return false;
  }
  clean.who = shownComputer(comment.who.host, comment.who.user);
  if (db_ != nullptr && fileId(path_) != opened_) close();
  if (!ensureOpen(error)) return false;
  // On a server a new comment (no time given) takes the server's clock and the session's user.
  if (server_ != nullptr) return server_->addExcursionComment(logger, clean, error);
  if (clean.utc == 0) clean.utc = static_cast<int64_t>(std::time(nullptr));
  int rc = run(db_, "BEGIN IMMEDIATE");
  auto fail = [&](int code) {
    error = failure("the comment was not stored", code);
    run(db_, "ROLLBACK");
    return false;
  };
  if (rc != SQLITE_OK) return fail(rc);
  int64_t id = 0;
  if (!loggerId(logger, true, id, rc)) return fail(rc);
  Sql insert(db_,
             "INSERT INTO excursion_comments(logger, sensor, quantity, start, time, host_name, user_name, "
             "cause, action) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
  insert.bind(1, id)
      .bind(2, static_cast<int64_t>(clean.sensor))
      .bind(3, clean.quantity)
      .bind(4, clean.start)
      .bind(5, clean.utc)
      .bind(6, clean.who.host)
      .bind(7, clean.who.user)
      .bind(8, clean.cause)
      .bind(9, clean.action);
  if ((rc = insert.step()) != SQLITE_DONE) return fail(rc);
  if ((rc = run(db_, "COMMIT")) != SQLITE_OK) return fail(rc);
  return true;
}

bool Store::excursionComments(const std::string& logger, std::vector<ExcursionComment>& out,
                              std::string& error) {
  out.clear();
  if (!ensureOpen(error)) return false;
  std::vector<ExcursionComment> read;
  if (server_ != nullptr) {
    if (!server_->excursionComments(logger, read, error)) return false;
  } else {
    Sql q(db_,
          "SELECT c.sensor, c.quantity, c.start, c.time, c.host_name, c.user_name, c.cause, c.action FROM "
          "excursion_comments c JOIN loggers l ON l.id = c.logger WHERE l.serial = ?1 ORDER BY c.id");
    q.bind(1, logger);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) {
      const int64_t sensor = q.number(0);
      if (sensor < 0 || sensor > 0xFFFF) continue;  // belongs to no sensor a logger can have
      ExcursionComment c;
      c.sensor = static_cast<uint16_t>(sensor);
      c.quantity = q.text(1);
      c.start = q.number(2);
      c.utc = q.number(3);
      c.who = Computer{q.text(4), q.text(5)};
      c.cause = q.text(6);
      c.action = q.text(7);
      read.push_back(std::move(c));
    }
    if (rc != SQLITE_DONE) {
      error = failure("cannot read the comments on excursions", rc);
      return false;
    }
  }
  for (ExcursionComment& c : read) {
    if (c.quantity != "temperature" && c.quantity != "humidity") continue;
    c.who = shownComputer(c.who.host, c.who.user);
    c.cause = shownNote(c.cause, kMaxNoteLength);
    c.action = shownNote(c.action, kMaxNoteLength);
    out.push_back(std::move(c));
  }
  return true;
}

}  // namespace history
