// A site's server as a hostile colleague at another desk tries it: a writer's and a reviewer's login
// attack it with any SQL they like. Nothing of it changes what the history says, and the other desks'
// writes go on.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <string>
#include <vector>

#include "HistorySupport.h"
#include "common/PgServer.h"
#include "history/Digest.h"
#include "history/Excursions.h"
#include "history/History.h"

using historytest::record;

namespace {

// 2026-04-01, a reading a minute, temperatures 14.0 to 19.9 °C: some outside 15 to 18.
std::vector<messwert_tag> readings(int count) {
  std::vector<messwert_tag> out;
  for (int i = 0; i < count; ++i) {
    messwert_tag r = record(2026, 4, 1, i / 60 % 24, i % 60, 0, 1);
    r.temperature = 14.0f + static_cast<float>(i % 60) / 10;
    r.reserved[5] = 0;
    r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
    out.push_back(r);
  }
  return out;
}

// What a quality manager reads: the verdict over the logger's readings and their digest.
std::string verdictAndDigest(history::Store& store) {
  std::vector<history::StoredRecord> stored;
  history::Query q;
  q.logger = "VLM1";
  std::string error;
  if (!store.query(q, stored, error)) return "unreadable: " + error;
  history::ExcursionFinder finder([&](uint16_t sensor) {
    history::Limits limits;
    bool set = false;
    store.effectiveLimits("VLM1", sensor, limits, set, error);
    return limits;
  });
  for (const history::StoredRecord& r : stored) finder.add(r);
  return history::verdict(finder.finish()) + " " + history::readingsDigest(stored) + " " +
         std::to_string(stored.size());
}

// A session of its own as `user`; each statement's outcome as the server's error text ("" when it ran).
class Session {
 public:
  Session(pgtest::Server& server, const std::string& database, const std::string& user)
      : c_(PQconnectdb(server.location(database, user).c_str())) {}
  ~Session() { PQfinish(c_); }
  bool connected() const { return PQstatus(c_) == CONNECTION_OK; }
  std::string run(const std::string& sql) {
    PGresult* r = PQexec(c_, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    std::string failure =
        status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK ? "" : std::string(PQresultErrorMessage(r));
    PQclear(r);
    return failure;
  }
  std::string value(const std::string& sql) {
    PGresult* r = PQexec(c_, sql.c_str());
    std::string out = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    return out;
  }

 private:
  PGconn* c_;
};

}  // namespace

TEST(SiteServer, NeitherAWriterNorAReviewerCanBendTheRecordOrStopTheOthers) {
  pgtest::Server& server = pgtest::Server::shared();
  ASSERT_TRUE(server.running()) << server.error();
  const std::string location = server.freshDatabase("desk");
  ASSERT_FALSE(location.empty()) << server.error();
  const std::string database = server.lastDatabase();
  std::string error;
  history::Store desk;
  ASSERT_TRUE(desk.open(location, error)) << error;
  history::ImportResult imported;
  ASSERT_TRUE(desk.importDownload("VLM1", "a.csv", readings(300), imported, error)) << error;
  history::Limits limits;
  limits.temperature.lower = 15;
  limits.temperature.upper = 18;
  limits.temperature.rule = history::AlarmRule::instant;
  ASSERT_TRUE(desk.setLimits("VLM1", std::nullopt, limits, {"desk-pc", "anna"}, error)) << error;
  const std::string before = verdictAndDigest(desk);
  ASSERT_NE(before.find("alarm"), std::string::npos) << before;

  Session writer(server, database, "desk"), reviewer(server, database, "auditor");
  ASSERT_TRUE(writer.connected() && reviewer.connected());
  const std::string id = writer.value("SELECT id FROM tarnwick.loggers WHERE serial = 'VLM1'");
  ASSERT_NE(id, "");

  // The writer's own temporary table named like the one the hours' trigger writes, with a trigger of its
  // own that would make it superuser, and a reading added: the server's functions never reach it.
  EXPECT_EQ(
      writer.run("CREATE TEMPORARY TABLE reading_hours(logger bigint, sensor integer, hour bigint, "
                 "readings bigint, first_time bigint, last_time bigint, humidity_min float8, humidity_max "
                 "float8, temperature_min float8, temperature_max float8, ambient_min float8, ambient_max "
                 "float8, PRIMARY KEY(logger, sensor, hour)); CREATE TEMPORARY TABLE measurements(x int); "
                 "CREATE FUNCTION pg_temp.up() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN ALTER ROLE "
                 "desk SUPERUSER; RETURN NULL; END $$; CREATE TRIGGER up AFTER INSERT ON "
                 "pg_temp.reading_hours EXECUTE FUNCTION pg_temp.up()"),
      "");
  const std::string row = "'\\x" + std::string("000000006a0b2c00") + std::string(64, '0') + "00'::bytea";
  writer.run("BEGIN");
  writer.run("SELECT tarnwick.lock_logger('VLM1')");
  const std::string download = writer.value("SELECT tarnwick.new_download()");
  EXPECT_EQ(writer.run("SELECT tarnwick.add_readings(" + id + ", " + download + ", " + row + ", false)"), "");
  writer.run("ROLLBACK");
  EXPECT_EQ(server.value(database, "SELECT rolsuper FROM pg_roles WHERE rolname = 'desk'"), "f");
  EXPECT_NE(writer.run("COPY (SELECT 1) TO PROGRAM 'id'"), "");

  // No direct write, no way into the owner's rights or the schema.
  for (const std::string& attack :
       {std::string(
            "INSERT INTO tarnwick.superseded SELECT logger, time, sensor, record, from_file, download "
            "FROM tarnwick.measurements WHERE temperature < 15 OR temperature > 18"),
        std::string(
            "INSERT INTO tarnwick.limit_changes OVERRIDING SYSTEM VALUE SELECT 1000000, logger, sensor, "
            "2000000000, 'qm-pc', 'qm', new_value, '', false, NULL, NULL, 0, 'instant', NULL, NULL, 0, "
            "'instant' FROM tarnwick.limit_changes"),
        std::string("INSERT INTO tarnwick.tarnwick_schema(version) VALUES (99)"),
        std::string("INSERT INTO tarnwick.measurements SELECT * FROM tarnwick.measurements"),
        std::string("UPDATE tarnwick.measurements SET checksum_error = true"),
        std::string("DELETE FROM tarnwick.measurements"), std::string("DELETE FROM tarnwick.limit_changes"),
        std::string("TRUNCATE tarnwick.measurements"), std::string("TRUNCATE tarnwick.reading_hours"),
        std::string("SET ROLE tarnwick_owner"),
        std::string(
            "CREATE FUNCTION tarnwick.checked(p text, what text, longest integer, x int) RETURNS text "
            "LANGUAGE sql AS 'SELECT p'"),
        std::string("ALTER FUNCTION tarnwick.supersede(bigint, bigint, bytea) RESET search_path"),
        std::string("SELECT * FROM tarnwick.loggers FOR UPDATE"),
        std::string("LOCK TABLE tarnwick.loggers IN SHARE MODE"),
        // Marks through the function itself: a reading with no better copy beside it stays.
        "SELECT tarnwick.supersede(" + id +
            ", (SELECT max(id) FROM tarnwick.downloads), (SELECT "
            "string_agg(decode(lpad(to_hex(time), 16, '0'), 'hex') || record || '\\x00'::bytea, ''::bytea) "
            "FROM "
            "tarnwick.measurements WHERE temperature < 15 OR temperature > 18))",
        std::string("SELECT tarnwick.change_limits(" + id +
                    ", -1, NULL, 'h', 'u', '', 'x', true, 15, 14, 0, "
                    "'instant', NULL, NULL, 0, 'instant')")}) {
    SCOPED_TRACE(attack);
    EXPECT_NE(writer.run(attack), "");
    writer.run("ROLLBACK");
  }
  // A change of limits copied from another history carries what it claims, beside who recorded it; none
  // from the future, and a later one wins all the same.
  EXPECT_NE(writer.run("SELECT tarnwick.change_limits(" + id +
                       ", -1, 4000000000, 'qm-pc', 'qm', '', 'x', true, 15, 18, 0, 'instant', NULL, NULL, 0, "
                       "'instant')"),
            "");
  EXPECT_EQ(writer.run("SELECT tarnwick.change_limits(" + id +
                       ", -1, 1700000000, 'qm-pc', 'qm', '', 'x', true, 15, 18, 0, 'instant', NULL, NULL, 0, "
                       "'instant')"),
            "");
  EXPECT_EQ(server.value(database, "SELECT recorded_by FROM limit_changes WHERE user_name = 'qm'"), "desk");

  // The reviewer reads, and can neither write nor hold anything a writer needs.
  EXPECT_EQ(reviewer.value("SELECT count(*) FROM tarnwick.measurements"), "300");
  for (const std::string& attack :
       {std::string("SELECT tarnwick.lock_logger('VLM1')"), std::string("SELECT tarnwick.new_download()"),
        std::string("SELECT * FROM tarnwick.loggers FOR KEY SHARE"),
        std::string("LOCK TABLE tarnwick.tarnwick_schema IN EXCLUSIVE MODE"),
        std::string("INSERT INTO tarnwick.loggers(serial) VALUES ('X')")}) {
    SCOPED_TRACE(attack);
    EXPECT_NE(reviewer.run(attack), "");
  }
  // The advisory locks older versions took: held by the reviewer, nobody waits for them now.
  EXPECT_EQ(reviewer.run("SELECT pg_advisory_lock(21591, " + id + "::integer), pg_advisory_lock(21591, 0)"),
            "");

  // What the history says is as before; another desk's download, limits and clock setting go through.
  history::Store other;
  ASSERT_TRUE(other.open(server.location(database, "desk2"), error)) << error;
  EXPECT_EQ(verdictAndDigest(other), before);
  ASSERT_TRUE(other.importDownload("VLM1", "b.csv", readings(310), imported, error)) << error;
  EXPECT_EQ(imported.added, 10);
  ASSERT_TRUE(other.setLimits("VLM1", std::nullopt, limits, {"desk2-pc", "ben"}, error, "Checked again"))
      << error;
  ASSERT_TRUE(other.recordClockZone("VLM1", 1775000000, {"Europe/Berlin", 7200},
                                    history::ClockZoneKind::setTime, error))
      << error;
  std::vector<history::LimitChange> changes;
  ASSERT_TRUE(other.limitChanges("VLM1", changes, error)) << error;
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes.back().who.user, "desk2");
  EXPECT_EQ(changes.back().who.host, "desk2-pc");
  EXPECT_EQ(server.value(database, "SELECT max(version) FROM tarnwick_schema"), "5");  // as set up
}

// A logger's serial that is not UTF-8 (the logger's Windows-1252) goes in converted and comes back as
// the logger has it; its limits are read.
TEST(SiteServer, ASerialThatIsNoUtf8IsKeptAsTheLoggerHasIt) {
  pgtest::Server& server = pgtest::Server::shared();
  ASSERT_TRUE(server.running()) << server.error();
  const std::string location = server.freshDatabase("desk");
  ASSERT_FALSE(location.empty()) << server.error();
  const std::string serial = "VLM\xE9\x80";
  history::Store store;
  std::string error;
  ASSERT_TRUE(store.open(location, error)) << error;
  history::ImportResult imported;
  ASSERT_TRUE(store.importDownload(serial, "a.csv", readings(10), imported, error)) << error;
  history::Limits limits;
  limits.temperature.upper = 18;
  ASSERT_TRUE(store.setLimits(serial, std::nullopt, limits, {"pc", "u"}, error)) << error;
  EXPECT_EQ(store.loggers(), std::vector<std::string>{serial});
  EXPECT_EQ(server.value(server.lastDatabase(), "SELECT serial FROM loggers"), "VLM\xC3\xA9\xE2\x82\xAC");
  history::Limits read;
  bool set = false;
  ASSERT_TRUE(store.effectiveLimits(serial, std::nullopt, read, set, error)) << error;
  EXPECT_TRUE(set);
}
