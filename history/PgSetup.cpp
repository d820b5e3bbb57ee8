// How a server's history is laid out and who may do what there.
//
// The tables live in the schema "tarnwick", owned by the role tarnwick_owner, which cannot log in and
// is no superuser. Desk PCs connect as a writer: it reads every table and writes only through the
// functions below, which run as the owner, take the logger's row lock themselves (a lock that needs
// write rights, so a reader cannot block anyone), check what they are given and take the user from
// session_user and the time from the server's clock. A reviewer reads every table and runs no
// function. Every function pins its search path and names every table and function with its schema,
// so nothing a session creates (a temporary table, a function of its own) is ever reached by them.
#include <string>

#include "history/Backend.h"

namespace history {

namespace {

constexpr char kPinned[] = " SET search_path = tarnwick, pg_catalog, pg_temp ";

// A function of the owner that writers run.
std::string writing(const std::string& head, const std::string& body) {
  return "CREATE FUNCTION tarnwick." + head + " LANGUAGE plpgsql SECURITY DEFINER" + kPinned + "AS $f$ " +
         body + " $f$;";
}

}  // namespace

std::string serverHardeningStep() {
  std::string s;
  // Who recorded a row, in the server's words, beside what a copy from another history claims.
  s += "ALTER TABLE tarnwick.downloads ADD COLUMN recorded_by text NOT NULL DEFAULT '',"
       "  ADD COLUMN recorded_at bigint NOT NULL DEFAULT 0;"
       "ALTER TABLE tarnwick.limit_changes ADD COLUMN recorded_by text NOT NULL DEFAULT '',"
       "  ADD COLUMN recorded_at bigint NOT NULL DEFAULT 0;";
  // The hours' triggers now only ever fire inside the owner's functions: they run as whoever fired them.
  s += "CREATE OR REPLACE FUNCTION tarnwick.tarnwick_hours_added() RETURNS trigger LANGUAGE plpgsql "
       "SECURITY INVOKER" +
       std::string(kPinned) +
       "AS $f$ BEGIN"
       "  INSERT INTO tarnwick.reading_hours AS r SELECT logger, sensor, (time - ((time % 3600) + 3600) % "
       "3600) / 3600 AS hour, count(*), min(time), max(time), min(humidity), max(humidity),"
       "    min(temperature), max(temperature), min(ambient), max(ambient) FROM changed WHERE NOT"
       "    checksum_error GROUP BY logger, sensor, hour ON CONFLICT (logger, sensor, hour) DO UPDATE SET"
       "    readings = r.readings + excluded.readings, first_time = least(r.first_time, excluded.first_time),"
       "    last_time = greatest(r.last_time, excluded.last_time), humidity_min = least(r.humidity_min,"
       "    excluded.humidity_min), humidity_max = greatest(r.humidity_max, excluded.humidity_max),"
       "    temperature_min = least(r.temperature_min, excluded.temperature_min), temperature_max ="
       "    greatest(r.temperature_max, excluded.temperature_max), ambient_min = least(r.ambient_min,"
       "    excluded.ambient_min), ambient_max = greatest(r.ambient_max, excluded.ambient_max);"
       "  RETURN NULL; END $f$;"
       "CREATE OR REPLACE FUNCTION tarnwick.tarnwick_hours_left() RETURNS trigger LANGUAGE plpgsql SECURITY "
       "INVOKER" +
       std::string(kPinned) +
       "AS $f$ BEGIN"
       "  DELETE FROM tarnwick.reading_hours r USING (SELECT DISTINCT logger, sensor, (time - ((time % 3600)"
       "    + 3600) % 3600) / 3600 AS hour FROM changed) t WHERE r.logger = t.logger AND r.sensor = t.sensor"
       "    AND r.hour = t.hour;"
       "  INSERT INTO tarnwick.reading_hours SELECT t.logger, t.sensor, t.hour, count(*), min(m.time),"
       "    max(m.time), min(m.humidity), max(m.humidity), min(m.temperature), max(m.temperature),"
       "    min(m.ambient), max(m.ambient) FROM (SELECT DISTINCT logger, sensor, (time - ((time % 3600) +"
       "    3600) % 3600) / 3600 AS hour FROM changed) t JOIN tarnwick.measurements m ON m.logger = t.logger"
       "    AND m.sensor = t.sensor AND m.time BETWEEN t.hour * 3600 AND t.hour * 3600 + 3599 WHERE NOT"
       "    m.checksum_error AND NOT EXISTS (SELECT 1 FROM tarnwick.superseded s WHERE s.logger = m.logger"
       "    AND s.time = m.time AND s.sensor = m.sensor AND s.record = m.record AND s.from_file ="
       "    m.from_file) GROUP BY t.logger, t.sensor, t.hour;"
       "  RETURN NULL; END $f$;";

  // A text a writer hands in: present, short enough, no control characters.
  s += "CREATE FUNCTION tarnwick.checked(p text, what text, longest integer) RETURNS text LANGUAGE plpgsql "
       "IMMUTABLE" +
       std::string(kPinned) +
       "AS $f$ BEGIN"
       "  IF p IS NULL OR pg_catalog.octet_length(p) > longest OR p ~ '[\\u0001-\\u001f\\u007f]' THEN"
       "    RAISE EXCEPTION 'not a % the history can keep', what USING ERRCODE = '22023'; END IF;"
       "  RETURN p; END $f$;";
  s += "CREATE FUNCTION tarnwick.server_time() RETURNS bigint LANGUAGE sql STABLE" + std::string(kPinned) +
       "AS $f$ SELECT pg_catalog.floor(pg_catalog.date_part('epoch', pg_catalog.now()))::bigint $f$;";
  // Readings as a writer hands them in: 41 bytes each, the time (8 bytes, big-endian), the record's 32
  // bytes, and a byte of flags (1: checksum error, 2: read from a file). Sensor and counts come from
  // the record's own bytes.
  s += "CREATE FUNCTION tarnwick.unpacked(p_rows bytea) RETURNS TABLE(r_time bigint, r_sensor integer,"
       "  r_humidity_raw integer, r_temperature_raw integer, r_record bytea, r_flagged boolean,"
       "  r_from_file boolean) LANGUAGE sql IMMUTABLE STRICT" +
       std::string(kPinned) +
       "AS $f$ SELECT ('x' || pg_catalog.encode(pg_catalog.substr(p_rows, o + 1, 8), "
       "'hex'))::bit(64)::bigint, pg_catalog.get_byte(p_rows, o + 24) + 256 * pg_catalog.get_byte(p_rows, "
       "o + 25), pg_catalog.get_byte(p_rows, o + 26) + 256 * pg_catalog.get_byte(p_rows, o + 27),"
       "  pg_catalog.get_byte(p_rows, o + 28) + 256 * pg_catalog.get_byte(p_rows, o + 29),"
       "  pg_catalog.substr(p_rows, o + 9, 32), (pg_catalog.get_byte(p_rows, o + 40) & 1) <> 0,"
       "  (pg_catalog.get_byte(p_rows, o + 40) & 2) <> 0"
       "  FROM pg_catalog.generate_series(0, pg_catalog.octet_length(p_rows) / 41 - 1) AS g(i),"
       "  LATERAL (SELECT g.i * 41 AS o) x $f$;";
  // The logger's row, made when new, locked for the rest of the transaction: writers of one logger
  // take turns. A row lock needs write rights, which only these functions have.
  s += writing("lock_logger(p_serial text) RETURNS bigint",
               "DECLARE v bigint; BEGIN"
               "  IF p_serial = '' THEN RAISE EXCEPTION 'an empty serial number' USING ERRCODE = '22023';"
               "  END IF;"
               "  PERFORM tarnwick.checked(p_serial, 'logger serial number', 256);"
               "  SELECT id INTO v FROM tarnwick.loggers WHERE serial = p_serial FOR NO KEY UPDATE;"
               "  IF NOT FOUND THEN"
               "    INSERT INTO tarnwick.loggers(serial) VALUES (p_serial) ON CONFLICT DO NOTHING;"
               "    SELECT id INTO v FROM tarnwick.loggers WHERE serial = p_serial FOR NO KEY UPDATE;"
               "  END IF;"
               "  RETURN v; END");
  s += writing("locked(p_logger bigint) RETURNS void",
               "BEGIN PERFORM 1 FROM tarnwick.loggers WHERE id = p_logger FOR NO KEY UPDATE;"
               "  IF NOT FOUND THEN RAISE EXCEPTION 'no logger %', p_logger USING ERRCODE = '22023'; END IF;"
               "  END");
  s += writing("new_download() RETURNS bigint",
               "BEGIN RETURN pg_catalog.nextval('tarnwick.download_ids'); END");
  // A download's number: one the sequence gave, and not another logger's.
  s += writing("own_download(p_logger bigint, p_download bigint) RETURNS void",
               "BEGIN"
               "  IF p_download IS NULL OR p_download < 1 OR p_download > (SELECT last_value FROM"
               "    tarnwick.download_ids) OR EXISTS (SELECT 1 FROM tarnwick.downloads WHERE id = p_download"
               "    AND logger <> p_logger) THEN"
               "    RAISE EXCEPTION 'not a download number of this logger' USING ERRCODE = '22023'; END IF;"
               "  END");
  // New readings; with p_copy a reading the history has in any form, byte for byte, is left out.
  s += writing(
      "add_readings(p_logger bigint, p_download bigint, p_rows bytea, p_copy boolean) RETURNS bigint",
      "DECLARE n bigint; BEGIN"
      "  PERFORM tarnwick.locked(p_logger); PERFORM tarnwick.own_download(p_logger, p_download);"
      "  IF p_rows IS NULL OR pg_catalog.octet_length(p_rows) % 41 <> 0 THEN"
      "    RAISE EXCEPTION 'readings not in whole rows' USING ERRCODE = '22023'; END IF;"
      "  INSERT INTO tarnwick.sensors(logger, sensor) SELECT DISTINCT p_logger, r_sensor FROM"
      "    tarnwick.unpacked(p_rows) ON CONFLICT DO NOTHING;"
      "  INSERT INTO tarnwick.measurements(logger, time, sensor, humidity_raw, temperature_raw, record,"
      "    checksum_error, from_file, download) SELECT p_logger, r_time, r_sensor, r_humidity_raw,"
      "    r_temperature_raw, r_record, r_flagged, r_from_file, p_download FROM"
      "    tarnwick.unpacked(p_rows) WHERE NOT p_copy OR NOT EXISTS (SELECT 1 FROM"
      "    tarnwick.measurements m WHERE m.logger = p_logger AND m.time = r_time AND m.sensor ="
      "    r_sensor AND m.record = r_record) ON CONFLICT DO NOTHING;"
      "  GET DIAGNOSTICS n = ROW_COUNT; RETURN n; END");
  // Readings a better copy replaces: a copy read from a file that a downloaded reading of the same
  // line stands beside, or a downloaded reading with a checksum error beside a clean one of the same
  // counts. Any other mark is refused, and the whole call with it.
  s += writing(
      "supersede(p_logger bigint, p_download bigint, p_rows bytea) RETURNS bigint",
      "DECLARE n bigint; BEGIN"
      "  PERFORM tarnwick.locked(p_logger); PERFORM tarnwick.own_download(p_logger, p_download);"
      "  IF p_rows IS NULL OR pg_catalog.octet_length(p_rows) % 41 <> 0 THEN"
      "    RAISE EXCEPTION 'readings not in whole rows' USING ERRCODE = '22023'; END IF;"
      "  IF EXISTS (SELECT 1 FROM tarnwick.unpacked(p_rows) r WHERE NOT EXISTS (SELECT 1 FROM"
      "    tarnwick.measurements s JOIN tarnwick.measurements b ON b.logger = s.logger AND b.time = s.time"
      "    AND b.sensor = s.sensor AND NOT b.from_file AND b.humidity_raw = s.humidity_raw AND"
      "    b.temperature_raw = s.temperature_raw"
      "    WHERE s.logger = p_logger AND s.time = r.r_time AND s.sensor = r.r_sensor AND s.record ="
      "    r.r_record AND s.from_file = r.r_from_file AND NOT EXISTS (SELECT 1 FROM tarnwick.superseded x "
      "WHERE x.logger = b.logger AND x.time = b.time AND"
      "    x.sensor = b.sensor AND x.record = b.record AND x.from_file = b.from_file) AND"
      "    ((s.from_file AND b.checksum_error = s.checksum_error AND"
      "      tarnwick.close_to(b.humidity, s.humidity) AND tarnwick.close_to(b.temperature, s.temperature)"
      "      AND tarnwick.close_to(b.ambient, s.ambient))"
      "     OR (NOT s.from_file AND s.checksum_error AND NOT b.checksum_error)))) THEN"
      "    RAISE EXCEPTION 'a reading is replaced only by a downloaded copy of it' USING ERRCODE = '42501';"
      "  END IF;"
      "  INSERT INTO tarnwick.superseded(logger, time, sensor, record, from_file, download) SELECT p_logger,"
      "    r_time, r_sensor, r_record, r_from_file, p_download FROM tarnwick.unpacked(p_rows)"
      "    ON CONFLICT DO NOTHING;"
      "  GET DIAGNOSTICS n = ROW_COUNT; RETURN n; END");
  s += "CREATE FUNCTION tarnwick.close_to(a double precision, b double precision) RETURNS boolean LANGUAGE "
       "sql IMMUTABLE" +
       std::string(kPinned) +
       "AS $f$ SELECT (a IS NULL AND b IS NULL) OR pg_catalog.abs(a - b) <= 0.1 + pg_catalog.abs(a) * 1e-6 "
       "$f$;";
  // The download's row: the time is the server's, the user the session's; the host is the client's word.
  s += writing(
      "finish_download(p_logger bigint, p_download bigint, p_file text, p_records bigint, p_added bigint,"
      " p_from_file boolean, p_device text, p_differing bigint, p_host text, p_firmware text, p_zone text,"
      " p_offset bigint) RETURNS void",
      "BEGIN"
      "  PERFORM tarnwick.locked(p_logger); PERFORM tarnwick.own_download(p_logger, p_download);"
      "  IF p_records < 0 OR p_added < 0 OR p_differing < 0 OR p_from_file IS NULL THEN"
      "    RAISE EXCEPTION 'not counts of a download' USING ERRCODE = '22023'; END IF;"
      "  INSERT INTO tarnwick.downloads(id, time, logger, file, records, added, from_file, device, differing,"
      "    host_name, user_name, firmware, recorded_by, recorded_at) VALUES (p_download,"
      "    tarnwick.server_time(), p_logger, tarnwick.checked(p_file, 'file name', 4096), p_records,"
      "    p_added, p_from_file, tarnwick.checked(p_device, 'device', 64), p_differing,"
      "    tarnwick.checked(p_host, 'host name', 256), session_user, tarnwick.checked(p_firmware,"
      "    'firmware version', 256), session_user, tarnwick.server_time());"
      "  IF p_zone IS NOT NULL THEN PERFORM tarnwick.add_zone(p_logger, NULL, p_zone, p_offset, 'download'); "
      "END IF;"
      "  END");
  // The zone a logger's clock was set to, or a download met (the server's time), or one copied from
  // another history at its own time.
  s += writing(
      "add_zone(p_logger bigint, p_time bigint, p_zone text, p_offset bigint, p_kind text) RETURNS void",
      "BEGIN"
      "  IF p_zone IS NULL OR p_zone = '' OR p_zone ~ ' ' OR p_offset IS NULL OR"
      "    pg_catalog.abs(p_offset) > 64800 OR p_kind NOT IN ('download', 'set-time') THEN"
      "    RAISE EXCEPTION 'not a zone the history can keep' USING ERRCODE = '22023'; END IF;"
      "  INSERT INTO tarnwick.clock_zones(logger, time, zone, utc_offset, kind) VALUES (p_logger,"
      "    coalesce(p_time, tarnwick.server_time()), tarnwick.checked(p_zone, 'zone name', 64), p_offset, "
      "p_kind);"
      "  END");
  s += writing(
      "record_zone(p_serial text, p_time bigint, p_zone text, p_offset bigint, p_kind text) RETURNS void",
      "BEGIN PERFORM tarnwick.add_zone(tarnwick.lock_logger(p_serial), p_time, p_zone, p_offset, p_kind);"
      "  END");
  s += writing("record_firmware(p_serial text, p_time bigint, p_version text) RETURNS void",
               "DECLARE v bigint := tarnwick.lock_logger(p_serial); BEGIN"
               "  INSERT INTO tarnwick.firmware_seen(logger, time, version) VALUES (v, coalesce(p_time,"
               "    tarnwick.server_time()),"
               "    tarnwick.checked(p_version, 'firmware version', 256)); END");
  // A download copied from another history: its own time, host and user, found again when copied twice.
  s += writing(
      "copy_download(p_logger bigint, p_time bigint, p_file text, p_device text, p_records bigint,"
      " p_added bigint, p_from_file boolean, p_differing bigint, p_host text, p_user text, p_firmware text)"
      " RETURNS bigint",
      "DECLARE v bigint; BEGIN"
      "  PERFORM tarnwick.locked(p_logger);"
      "  SELECT id INTO v FROM tarnwick.downloads WHERE logger = p_logger AND time = p_time AND file = p_file"
      "    AND device = p_device AND records = p_records AND added = p_added AND from_file = p_from_file AND"
      "    differing = p_differing ORDER BY id LIMIT 1;"
      "  IF FOUND THEN RETURN v; END IF;"
      "  IF p_records < 0 OR p_added < 0 OR p_differing < 0 OR p_time IS NULL THEN"
      "    RAISE EXCEPTION 'not counts of a download' USING ERRCODE = '22023'; END IF;"
      "  v := pg_catalog.nextval('tarnwick.download_ids');"
      "  INSERT INTO tarnwick.downloads(id, time, logger, file, records, added, from_file, device, differing,"
      "    host_name, user_name, firmware, recorded_by, recorded_at) VALUES (v, p_time, p_logger,"
      "    tarnwick.checked(p_file, 'file name', 4096), p_records, p_added, p_from_file,"
      "    tarnwick.checked(p_device, 'device', 64), p_differing, tarnwick.checked(p_host, 'host name', 256),"
      "    tarnwick.checked(p_user, 'user name', 256), tarnwick.checked(p_firmware, 'firmware version', 256),"
      "    session_user, tarnwick.server_time());"
      "  RETURN v; END");
  // A change of limits. Set here: the time is the server's, the user the session's, and what was set
  // before is the newest change's. Copied from another history (p_time given): its own time, host and
  // user, beside who recorded it.
  s += writing(
      "change_limits(p_logger bigint, p_sensor integer, p_time bigint, p_host text, p_user text,"
      " p_old text, p_new text, p_is_set boolean, p_t_lower double precision, p_t_upper double precision,"
      " p_t_delay bigint, p_t_rule text, p_h_lower double precision, p_h_upper double precision,"
      " p_h_delay bigint, p_h_rule text) RETURNS void",
      "DECLARE v_old text := p_old; v_user text := p_user; v_time bigint := p_time; BEGIN"
      "  PERFORM tarnwick.locked(p_logger);"
      "  IF p_sensor IS NULL OR p_sensor < -1 OR p_sensor > 65535 OR p_is_set IS NULL OR p_t_delay IS NULL"
      "    OR p_h_delay IS NULL OR p_t_delay < 0 OR p_h_delay < 0"
      "    OR p_t_rule NOT IN ('instant', 'consecutive', 'cumulative')"
      "    OR p_h_rule NOT IN ('instant', 'consecutive', 'cumulative')"
      "    OR p_t_lower > p_t_upper OR p_h_lower > p_h_upper"
      "    OR p_t_lower IN ('NaN', 'Infinity', '-Infinity') OR p_t_upper IN ('NaN', 'Infinity', '-Infinity')"
      "    OR p_h_lower IN ('NaN', 'Infinity', '-Infinity') OR p_h_upper IN ('NaN', 'Infinity', '-Infinity')"
      "  THEN RAISE EXCEPTION 'not limits the history can keep' USING ERRCODE = '22023'; END IF;"
      "  IF p_time > tarnwick.server_time() + 86400 THEN"
      "    RAISE EXCEPTION 'a change of limits from the future' USING ERRCODE = '22023'; END IF;"
      "  IF p_time IS NULL THEN"
      "    v_time := tarnwick.server_time(); v_user := session_user;"
      "    SELECT c.new_value INTO v_old FROM tarnwick.limit_changes c WHERE c.logger = p_logger AND"
      "      c.sensor = p_sensor ORDER BY c.id DESC LIMIT 1;"
      "    IF NOT FOUND THEN v_old := ''; END IF;"
      "    IF p_old = '(not valid)' THEN v_old := p_old; END IF;"
      "  END IF;"
      "  INSERT INTO tarnwick.limit_changes(logger, sensor, time, host_name, user_name, old_value, new_value,"
      "    is_set, temperature_lower, temperature_upper, temperature_delay, temperature_rule, humidity_lower,"
      "    humidity_upper, humidity_delay, humidity_rule, recorded_by, recorded_at) VALUES (p_logger,"
      "    p_sensor, v_time, tarnwick.checked(p_host, 'host name', 256), tarnwick.checked(v_user, 'user "
      "name',"
      "    256), tarnwick.checked(v_old, 'limits text', 1024), tarnwick.checked(p_new, 'limits text', 1024),"
      "    p_is_set, p_t_lower, p_t_upper, p_t_delay, p_t_rule, p_h_lower, p_h_upper, p_h_delay, p_h_rule,"
      "    session_user, tarnwick.server_time());"
      "  END");
  return s;
}

std::string serverNotesStep() {
  std::string s;
  s +=
      "ALTER TABLE tarnwick.limit_changes ADD COLUMN reason text NOT NULL DEFAULT '';"
      "CREATE TABLE tarnwick.label_changes(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, logger bigint"
      "  NOT NULL REFERENCES tarnwick.loggers, time bigint NOT NULL, host_name text NOT NULL, user_name text"
      "  NOT NULL, old_name text NOT NULL, old_place text NOT NULL, name text NOT NULL, place text NOT NULL);"
      "CREATE INDEX label_changes_logger ON tarnwick.label_changes(logger, id);"
      "CREATE TABLE tarnwick.excursion_comments(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, logger"
      "  bigint NOT NULL REFERENCES tarnwick.loggers, sensor integer NOT NULL, quantity text NOT NULL, start"
      "  bigint NOT NULL, time bigint NOT NULL, host_name text NOT NULL, user_name text NOT NULL, cause text"
      "  NOT NULL, action text NOT NULL);"
      "CREATE INDEX excursion_comments_logger ON tarnwick.excursion_comments(logger, id);";
  // A change of limits with its reason: the change as above, and the reason on the row it just wrote
  // (the logger's row is locked, so no other change of it came between).
  s += writing(
      "change_limits(p_logger bigint, p_sensor integer, p_time bigint, p_host text, p_user text,"
      " p_old text, p_new text, p_is_set boolean, p_t_lower double precision, p_t_upper double precision,"
      " p_t_delay bigint, p_t_rule text, p_h_lower double precision, p_h_upper double precision,"
      " p_h_delay bigint, p_h_rule text, p_reason text) RETURNS void",
      "BEGIN"
      "  PERFORM tarnwick.change_limits(p_logger, p_sensor, p_time, p_host, p_user, p_old, p_new, p_is_set,"
      "    p_t_lower, p_t_upper, p_t_delay, p_t_rule, p_h_lower, p_h_upper, p_h_delay, p_h_rule);"
      "  UPDATE tarnwick.limit_changes SET reason = tarnwick.checked(coalesce(p_reason, ''), 'reason', 2048)"
      "    WHERE id = (SELECT max(id) FROM tarnwick.limit_changes WHERE logger = p_logger AND"
      "    sensor = p_sensor);"
      "  END");
  // A logger's name and place. Set here: the server's time and the session's user, and what was set
  // before is the newest change's. Copied from another history (p_time given): its own words.
  s += writing(
      "change_label(p_logger bigint, p_time bigint, p_host text, p_user text, p_old_name text,"
      " p_old_place text, p_name text, p_place text) RETURNS void",
      "DECLARE v_time bigint := p_time; v_user text := p_user; v_old_name text := p_old_name;"
      "  v_old_place text := p_old_place; BEGIN"
      "  PERFORM tarnwick.locked(p_logger);"
      "  IF p_time > tarnwick.server_time() + 86400 THEN"
      "    RAISE EXCEPTION 'a change from the future' USING ERRCODE = '22023'; END IF;"
      "  IF p_time IS NULL THEN"
      "    v_time := tarnwick.server_time(); v_user := session_user;"
      "    SELECT c.name, c.place INTO v_old_name, v_old_place FROM tarnwick.label_changes c WHERE"
      "      c.logger = p_logger ORDER BY c.time DESC, c.id DESC LIMIT 1;"
      "    IF NOT FOUND THEN v_old_name := ''; v_old_place := ''; END IF;"
      "  END IF;"
      "  INSERT INTO tarnwick.label_changes(logger, time, host_name, user_name, old_name, old_place, name,"
      "    place) VALUES (p_logger, v_time, tarnwick.checked(p_host, 'host name', 256),"
      "    tarnwick.checked(v_user, 'user name', 256), tarnwick.checked(v_old_name, 'name', 256),"
      "    tarnwick.checked(v_old_place, 'place', 256), tarnwick.checked(p_name, 'name', 256),"
      "    tarnwick.checked(p_place, 'place', 256));"
      "  END");
  // A comment on an excursion; added, never changed. The time and user as above.
  s += writing(
      "add_comment(p_logger bigint, p_sensor integer, p_quantity text, p_start bigint, p_time bigint,"
      " p_host text, p_user text, p_cause text, p_action text) RETURNS void",
      "DECLARE v_time bigint := p_time; v_user text := p_user; BEGIN"
      "  PERFORM tarnwick.locked(p_logger);"
      "  IF p_sensor IS NULL OR p_sensor < 0 OR p_sensor > 65535 OR p_start IS NULL"
      "    OR p_quantity NOT IN ('temperature', 'humidity') THEN"
      "    RAISE EXCEPTION 'not an excursion of the history' USING ERRCODE = '22023'; END IF;"
      "  IF p_time > tarnwick.server_time() + 86400 THEN"
      "    RAISE EXCEPTION 'a comment from the future' USING ERRCODE = '22023'; END IF;"
      "  IF p_time IS NULL THEN v_time := tarnwick.server_time(); v_user := session_user; END IF;"
      "  INSERT INTO tarnwick.excursion_comments(logger, sensor, quantity, start, time, host_name, user_name,"
      "    cause, action) VALUES (p_logger, p_sensor, p_quantity, p_start, v_time,"
      "    tarnwick.checked(p_host, 'host name', 256), tarnwick.checked(v_user, 'user name', 256),"
      "    tarnwick.checked(p_cause, 'cause', 2048), tarnwick.checked(p_action, 'action', 2048));"
      "  END");
  return s;
}

std::string serverGrants(const std::string& writer, const std::string& reviewer) {
  const std::string w = "\"" + writer + "\"", r = "\"" + reviewer + "\"";
  std::string s;
  // Whatever was granted before (by hand, or to the roles of the layout in public) goes first.
  s +=
      "DO $g$ DECLARE x record; BEGIN"
      "  FOR x IN SELECT DISTINCT c.oid::regclass::text AS what, a.grantee FROM pg_catalog.pg_class c,"
      "    pg_catalog.aclexplode(c.relacl) a WHERE c.relnamespace = 'tarnwick'::regnamespace AND"
      "    a.grantee <> c.relowner LOOP"
      "    EXECUTE pg_catalog.format('REVOKE ALL ON %s FROM %s', x.what, CASE WHEN x.grantee = 0 THEN"
      "      'PUBLIC' ELSE pg_catalog.quote_ident(pg_catalog.pg_get_userbyid(x.grantee)) END);"
      "  END LOOP;"
      "  FOR x IN SELECT DISTINCT p.oid::regprocedure::text AS what, a.grantee FROM pg_catalog.pg_proc p,"
      "    pg_catalog.aclexplode(p.proacl) a WHERE p.pronamespace = 'tarnwick'::regnamespace AND"
      "    a.grantee <> p.proowner LOOP"
      "    EXECUTE pg_catalog.format('REVOKE ALL ON FUNCTION %s FROM %s', x.what, CASE WHEN x.grantee = 0"
      "      THEN 'PUBLIC' ELSE pg_catalog.quote_ident(pg_catalog.pg_get_userbyid(x.grantee)) END);"
      "  END LOOP;"
      "  FOR x IN SELECT DISTINCT a.grantee FROM pg_catalog.pg_namespace n, pg_catalog.aclexplode(n.nspacl) a"
      "    WHERE n.nspname = 'tarnwick' AND a.grantee <> n.nspowner LOOP"
      "    EXECUTE pg_catalog.format('REVOKE ALL ON SCHEMA tarnwick FROM %s', CASE WHEN x.grantee = 0 THEN"
      "      'PUBLIC' ELSE pg_catalog.quote_ident(pg_catalog.pg_get_userbyid(x.grantee)) END);"
      "  END LOOP; END $g$;\n";
  s += "REVOKE ALL ON ALL FUNCTIONS IN SCHEMA tarnwick FROM PUBLIC;\n";
  s += "GRANT USAGE ON SCHEMA tarnwick TO " + w + ", " + r + ";\n";
  s += "GRANT SELECT ON ALL TABLES IN SCHEMA tarnwick TO " + w + ", " + r + ";\n";
  s += "GRANT EXECUTE ON FUNCTION tarnwick.lock_logger(text), tarnwick.new_download(),"
       " tarnwick.add_readings(bigint, bigint, bytea, boolean), tarnwick.supersede(bigint, bigint, bytea),"
       " tarnwick.finish_download(bigint, bigint, text, bigint, bigint, boolean, text, bigint, text, text,"
       " text, bigint), tarnwick.record_zone(text, bigint, text, bigint, text),"
       " tarnwick.record_firmware(text, bigint, text),"
       " tarnwick.copy_download(bigint, bigint, text, text, bigint, bigint, boolean, bigint, text, text,"
       " text), tarnwick.change_limits(bigint, integer, bigint, text, text, text, text, boolean, double"
       " precision, double precision, bigint, text, double precision, double precision, bigint, text),"
       " tarnwick.change_limits(bigint, integer, bigint, text, text, text, text, boolean, double"
       " precision, double precision, bigint, text, double precision, double precision, bigint, text, text),"
       " tarnwick.change_label(bigint, bigint, text, text, text, text, text, text),"
       " tarnwick.add_comment(bigint, integer, text, bigint, bigint, text, text, text, text) TO " +
       w + ";\n";
  return s;
}

std::string serverRolesAndSchema(bool legacy, const std::string& writer, const std::string& reviewer) {
  std::string s;
  s += "SET LOCAL search_path = pg_catalog, pg_temp;\n";
  // The owner holds everything and can do nothing else; the writer and reviewer roles hold no login of
  // their own: the admin grants them to people's logins.
  s += "DO $r$ BEGIN"
       "  IF NOT EXISTS (SELECT 1 FROM pg_catalog.pg_roles WHERE rolname = 'tarnwick_owner') THEN"
       "    CREATE ROLE tarnwick_owner NOLOGIN; END IF;"
       "  ALTER ROLE tarnwick_owner NOLOGIN NOSUPERUSER NOCREATEDB NOCREATEROLE NOBYPASSRLS;";
  for (const std::string* role : {&writer, &reviewer})
    s += "  IF NOT EXISTS (SELECT 1 FROM pg_catalog.pg_roles WHERE rolname = '" + *role +
         "') THEN CREATE ROLE \"" + *role + "\" NOLOGIN; END IF;";
  // An admin who is no superuser acts as the owner through its membership.
  s += "  IF NOT (SELECT rolsuper FROM pg_catalog.pg_roles WHERE rolname = current_user) AND NOT"
       "    pg_catalog.pg_has_role(current_user, 'tarnwick_owner', 'MEMBER') THEN"
       "    EXECUTE pg_catalog.format('GRANT tarnwick_owner TO %I', current_user); END IF;"
       "  END $r$;\n";
  s += "CREATE SCHEMA IF NOT EXISTS tarnwick AUTHORIZATION tarnwick_owner;\n"
       "ALTER SCHEMA tarnwick OWNER TO tarnwick_owner;\n";
  if (legacy) {
    // The history of an older Tarnwick, in public: moved into its schema as it is.
    s += "DO $m$ DECLARE t text; BEGIN"
         "  FOREACH t IN ARRAY ARRAY['tarnwick_schema', 'loggers', 'sensors', 'downloads', 'measurements',"
         "    'superseded', 'clock_zones', 'firmware_seen', 'limit_changes', 'reading_hours'] LOOP"
         "    IF pg_catalog.to_regclass('public.' || t) IS NOT NULL THEN"
         "      EXECUTE pg_catalog.format('ALTER TABLE public.%I SET SCHEMA tarnwick', t); END IF;"
         "  END LOOP;"
         "  IF pg_catalog.to_regclass('public.download_ids') IS NOT NULL THEN"
         "    ALTER SEQUENCE public.download_ids SET SCHEMA tarnwick; END IF;"
         "  IF pg_catalog.to_regprocedure('public.tarnwick_hours_added()') IS NOT NULL THEN"
         "    ALTER FUNCTION public.tarnwick_hours_added() SET SCHEMA tarnwick; END IF;"
         "  IF pg_catalog.to_regprocedure('public.tarnwick_hours_left()') IS NOT NULL THEN"
         "    ALTER FUNCTION public.tarnwick_hours_left() SET SCHEMA tarnwick; END IF;"
         "  END $m$;\n";
  }
  s += "DO $o$ DECLARE x record; BEGIN"
       "  FOR x IN SELECT c.oid::regclass::text AS what FROM pg_catalog.pg_class c WHERE c.relnamespace ="
       "    'tarnwick'::regnamespace AND c.relkind IN ('r', 'p', 'S', 'v', 'm') AND c.relowner <>"
       "    'tarnwick_owner'::regrole AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_depend d WHERE d.objid ="
       "    c.oid AND d.classid = 'pg_catalog.pg_class'::regclass AND d.deptype IN ('a', 'i')) LOOP"
       "    EXECUTE pg_catalog.format('ALTER TABLE %s OWNER TO tarnwick_owner', x.what);"
       "  END LOOP;"
       "  FOR x IN SELECT p.oid::regprocedure::text AS what FROM pg_catalog.pg_proc p WHERE p.pronamespace ="
       "    'tarnwick'::regnamespace AND p.proowner <> 'tarnwick_owner'::regrole LOOP"
       "    EXECUTE pg_catalog.format('ALTER FUNCTION %s OWNER TO tarnwick_owner', x.what);"
       "  END LOOP; END $o$;\n";
  return s;
}

}  // namespace history
