// tarnwick-cli against loggers in this process: what each command sends and writes, and its status.
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "CliSupport.h"
#include "cli/Commands.h"
#include "cli/ExitStatus.h"
#include "cli/Files.h"
#include "data/RegionalFormat.h"
#include "data/SafeFile.h"
#include "history/History.h"

using clitest::CliTest;
using clitest::readFile;
using clitest::runCli;

TEST_F(CliTest, ListNamesEveryLoggerFreeOrInUse) {
  // No logger is an answer: an empty list.
  const auto none = runCli({"list"});
  EXPECT_EQ(none.status, cli::kDone);
  EXPECT_EQ(none.out, "");
  const auto noneJson = runCli({"list", "--json"});
  EXPECT_EQ(noneJson.status, cli::kDone);
  EXPECT_EQ(noneJson.out, "[]\n");

  attach(logger("VLM1001"));
  velmora::Options held = logger("VLM1002");
  held.inUse = true;
  attach(held);
  velmora::Options old;
  old.serial.reset();
  attach(old);
  const auto text = runCli({"list"});
  EXPECT_EQ(text.status, cli::kDone);
  EXPECT_EQ(text.out, "VLM1001\tfree\nVLM1002\tin use\n-\tfree\n");
  const auto json = nlohmann::json::parse(runCli({"list", "--json"}).out);
  ASSERT_EQ(json.size(), 3u);
  EXPECT_EQ(json[1]["serial"], "VLM1002");
  EXPECT_EQ(json[1]["number"], 1002);
  EXPECT_EQ(json[1]["in_use"], true);
  EXPECT_TRUE(json[2]["serial"].is_null());
}

// The CSV file is the window's, byte for byte, for the regional formats of the environment's locale;
// to standard output the same bytes.
TEST_F(CliTest, CsvDownloadIsTheWindowsFile) {
  auto device = attach(logger("VLM12345", 700));
  const auto records = clitest::loggerRecords(device->Memory(), device->RecordCount());

  const auto english = runCli({"download", "--no-history", "-o", path("c.csv")});
  ASSERT_EQ(english.status, cli::kDone) << english.err;
  EXPECT_EQ(english.err, "tarnwick-cli: VLM12345: 700 records written to " + path("c.csv") + "\n");
  const RegionalFormat cLocale{"MM/dd/yy", "HH:mm:ss", '.', "AM", "PM"};
  const std::string reference = clitest::windowExport(records, cLocale, dir_ / "window-c.csv");
  ASSERT_GT(reference.size(), 700u * 40);
  EXPECT_TRUE(readFile(path("c.csv")) == reference);
  const auto piped = runCli({"download", "--no-history", "--quiet"});
  EXPECT_EQ(piped.status, cli::kDone);
  EXPECT_TRUE(piped.out == reference);
  EXPECT_EQ(piped.err, "");

  const std::string locales = clitest::germanLocalePath();
  if (locales.empty()) GTEST_SKIP() << "no German locale could be compiled (localedef, de_DE sources)";
  ::setenv("LOCPATH", locales.c_str(), 1);
  ::setenv("LC_ALL", "de_DE.UTF-8", 1);
  ASSERT_EQ(runCli({"download", "--no-history", "-o", path("de.csv")}).status, cli::kDone);
  const std::string german = clitest::windowExport(records, RegionalFormat::german(), dir_ / "window-de.csv");
  EXPECT_NE(german.find("\r\n02.03.2026;1001;"), std::string::npos) << "not the German date";
  EXPECT_TRUE(readFile(path("de.csv")) == german);
}

TEST_F(CliTest, JsonLinesCarryEveryWrittenRecordInTimeOrder) {
  // One record with a wrong check sum and one whose date cannot be a date.
  auto source = attach(logger("VLM7", 50));
  std::vector<uint8_t> image = source->Memory();
  image[10 * 32 + 26] ^= 0x01;  // a byte the check sum covers, not a field
  image[20 * 32 + 5] = 13;      // month 13
  usbdrv::DetachAllDevices();
  velmora::Options options = logger("VLM7");
  options.image = image;
  options.used = 50;
  attach(options);

  // Both files leave the impossible record out; the summary counts it and the status says so, also
  // with --quiet.
  const auto run = runCli({"download", "--no-history", "-f", "jsonl", "-o", path("r.jsonl")});
  ASSERT_EQ(run.status, cli::kSkipped) << run.err;
  const auto piped = runCli({"download", "--no-history", "-q"});
  EXPECT_EQ(piped.status, cli::kSkipped);
  EXPECT_EQ(piped.err,
            "tarnwick-cli: VLM7: 49 records written to standard output; 1 record skipped (impossible time "
            "stamps; -v names them: Fehler Messwert)\n");
  const std::string& csv = piped.out;
  std::ifstream in(path("r.jsonl"));
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 49u);  // the CSV file's records
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 50);
  int badSums = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) {
      EXPECT_LE(lines[i - 1]["time"].get<std::string>(), lines[i]["time"].get<std::string>());
    }
    badSums += lines[i]["checksum_ok"] == false;
  }
  EXPECT_EQ(badSums, 1);
  // The first record, field by field, against the logger's bytes (copies of the packed fields).
  const messwert_tag first = clitest::loggerRecords(image, 50).front();
  EXPECT_EQ(lines[0]["time"], "2026-03-02T00:00:00");
  EXPECT_EQ(lines[0]["sensor"], +first.sensorSerialNumber);
  EXPECT_EQ(lines[0]["humidity_rh"].get<float>(), +first.humidity);
  EXPECT_EQ(lines[0]["temperature_c"].get<float>(), +first.temperature);
  EXPECT_EQ(lines[0]["ambient_temperature_c"].get<float>(), +first.ambientTemperature);
  EXPECT_EQ(lines[0]["humidity_raw"], +first.humidityRaw);
  EXPECT_EQ(lines[0]["temperature_raw"], +first.temperatureRaw);
}

TEST_F(CliTest, SetTimeSendTheWindowsCommandsAndFirmwareUpdate) {
  velmora::Options options = logger("VLM12345");
  options.software = "V1.00";
  auto device = attach(options);
  const auto clock = runCli({"set-time", "--serial", "12345"});
  EXPECT_EQ(clock.status, cli::kDone) << clock.err;
  EXPECT_EQ(device->Clock(), "07.03.2026 14:05:09");

  const auto sent = runCli({"send", "-s", "VLM12345", "mem.used"});
  EXPECT_EQ(sent.status, cli::kDone);
  EXPECT_EQ(sent.out, "mem.used=300\n");

  const auto update = runCli({"firmware-update"});
  EXPECT_EQ(update.status, cli::kDone) << update.err;
  EXPECT_EQ(
      device->Commands(),
      (std::vector<std::string>{"date.date=07.03.2026 14:05:09", "mem.used", "mem.used", "device.software",
                                "mem.save=463104,61184", "firmware.check", "firmware.update"}));
}

TEST_F(CliTest, StatusesOfTheLoggersAnswers) {
  velmora::Options newer = logger("VLM1");
  newer.software = "V9.99";
  attach(newer);
  const auto upToDate = runCli({"firmware-update"});
  EXPECT_EQ(upToDate.status, cli::kUpToDate);
  EXPECT_EQ(upToDate.err, "tarnwick-cli: VLM1: Your firmware is up-to-date (V9.99)\n");
  usbdrv::DetachAllDevices();

  attach(logger("VLM2", 0));
  EXPECT_EQ(runCli({"download", "--no-history", "-o", path("empty.csv")}).status, cli::kNoRecords);
  EXPECT_FALSE(std::filesystem::exists(path("empty.csv")));
  usbdrv::DetachAllDevices();

  // A logger that never answers: the window's time-out (5 s), and nothing written.
  velmora::Options silent = logger("VLM3");
  silent.hostile.silent = true;
  attach(silent);
  const auto noAnswer = runCli({"download", "--no-history", "--verbose", "-o", path("none.csv")});
  EXPECT_EQ(noAnswer.status, cli::kNoAnswer);
  EXPECT_NE(noAnswer.err.find("No Answer of Velmora\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path("none.csv")));
  usbdrv::DetachAllDevices();

  // Unplugged during the transfer: the file already there stays as it was.
  velmora::Options unplugged = logger("VLM4", 2000);
  unplugged.unplugAfter = 20;
  attach(unplugged);
  { std::ofstream(path("kept.csv")) << "before"; }
  EXPECT_EQ(runCli({"download", "--no-history", "-o", path("kept.csv")}).status, cli::kFailed);
  EXPECT_EQ(readFile(path("kept.csv")), "before");
  EXPECT_EQ(std::filesystem::directory_iterator(dir_)->path().filename(), "kept.csv");
}

// Bad input stops before anything reaches a logger: one line, its status, no file.
TEST_F(CliTest, BadInputSendsNothingAndWritesNothing) {
  auto first = attach(logger("VLM1001"));
  auto second = attach(logger("VLM1002"));
  velmora::Options held = logger("VLM1003");
  held.inUse = true;
  attach(held);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;  // a part of the one line
  } cases[] = {
      {{"fetch"}, cli::kBadArguments, "fetch"},
      {{"download", "--colour"}, cli::kBadArguments, "--colour"},
      {{"download", "--serial"}, cli::kBadArguments, "--serial"},
      {{"download", "-f", "xml"}, cli::kBadArguments, "xml"},
      {{"send"}, cli::kBadArguments, "COMMAND"},
      {{"download", "-o", "/nonexistent/x.csv"}, cli::kFileError, "/nonexistent/x.csv"},
      {{"download", "--all", "--output-dir", "/nonexistent/new"}, cli::kFileError, "/nonexistent/new"},
      {{"download", "-o", path("x.csv")}, cli::kBadArguments, "VLM1001, VLM1002, VLM1003"},
      {{"set-time", "-s", "VLM999"}, cli::kNoLogger, "VLM999"},
      {{"send", "-s", "1003", "mem.used"}, cli::kInUse, "VLM1003 is in use"},
      {{"send", "-s", "1001", "debug"}, cli::kBadArguments, "debug"},
  };
  for (const auto& c : cases) {
    const auto run = runCli(c.args);
    EXPECT_EQ(run.status, c.status) << c.args[0] << " " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  ::setenv("LC_ALL", "xx_NO.UTF-8", 1);
  const auto locale = runCli({"download", "--serial", "1001", "-o", path("x.csv")});
  EXPECT_EQ(locale.status, cli::kBadArguments);
  EXPECT_NE(locale.err.find("LC_ALL=xx_NO.UTF-8"), std::string::npos) << locale.err;
  EXPECT_TRUE(first->Commands().empty());
  EXPECT_TRUE(second->Commands().empty());
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(CliTest, DownloadAllWritesOneFilePerLoggerAndDay) {
  attach(logger("VLM1001", 100));
  velmora::Options held = logger("VLM1002");
  held.inUse = true;
  attach(held);
  attach(logger("VLM/../x", 0));
  attach(logger("VLM1004", 200));
  const auto run = runCli({"download", "--all", "--no-history", "--output-dir", dir_.string()});
  EXPECT_EQ(run.status, cli::kDone) << run.err;  // the logger in use is left out, no failure
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"VLM1001_2026-03-07.csv", "VLM1004_2026-03-07.csv"})) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 4) << run.err;
  const std::string last = readFile(dir_ / "VLM1004_2026-03-07.csv");
  EXPECT_EQ(std::count(last.begin(), last.end(), '\n'), 201);
  EXPECT_EQ(cli::scheduledFileName("VLM/../x", true, clitest::fixedClock(), "csv"),
            "VLM_.._x_2026-03-07.csv");
  EXPECT_EQ(cli::scheduledFileName(".x", true, clitest::fixedClock(), "jsonl"), "_x_2026-03-07.jsonl");
  EXPECT_EQ(cli::scheduledFileName("", false, clitest::fixedClock(), "csv"), "no-serial_2026-03-07.csv");
}

// A download goes into the history unless --no-history; the history command reads it back in the
// download's lines, and a store that cannot be opened does not fail the download.
TEST_F(CliTest, DownloadsGoIntoTheHistory) {
  ::setenv("XDG_DATA_HOME", path("data").c_str(), 1);
  attach(logger("VLM12345", 400));
  attach(logger("VLM777", 30));
  const auto first = runCli({"download", "-s", "VLM12345", "-o", path("a.csv")});
  ASSERT_EQ(first.status, cli::kDone) << first.err;
  EXPECT_NE(first.err.find("VLM12345: 400 of 400 records new in the history"), std::string::npos)
      << first.err;
  EXPECT_NE(runCli({"download", "-s", "VLM12345", "-o", path("b.csv")}).err.find(": 0 of 400 records new"),
            std::string::npos);
  ASSERT_EQ(runCli({"download", "-s", "777", "--no-history", "-o", path("c.csv")}).status, cli::kDone);

  // The CSV lines of the history are the download's, behind the logger's serial number (quoted).
  const auto stored = runCli({"history", "--serial", "VLM12345"});
  EXPECT_EQ(stored.status, cli::kDone) << stored.err;
  const std::string downloaded = readFile(path("a.csv"));
  std::string expected = "Logger;" + downloaded.substr(0, downloaded.find("\r\n") + 2);
  for (size_t at = downloaded.find("\r\n") + 2; at < downloaded.size();) {
    const size_t end = downloaded.find("\r\n", at) + 2;
    expected += "\"VLM12345\";" + downloaded.substr(at, end - at);
    at = end;
  }
  EXPECT_TRUE(stored.out == expected);
  EXPECT_EQ(runCli({"history", "-s", "VLM777"}).status, cli::kNoLogger);  // never imported

  // A time window, its ends included: the generated records come at 00:00:00, 00:00:03, 00:00:06,
  // 00:10:00, ... from 2026-03-02 on.
  const auto window =
      runCli({"history", "-f", "jsonl", "--from", "2026-03-02T00:00:03", "--to", "2026-03-02 00:10"});
  ASSERT_EQ(window.status, cli::kDone) << window.err;
  std::istringstream lines(window.out);
  std::vector<std::string> times;
  for (std::string line; std::getline(lines, line);) {
    const auto json = nlohmann::json::parse(line);
    EXPECT_EQ(json["logger"], "VLM12345");
    times.push_back(json["time"]);
  }
  EXPECT_EQ(times,
            (std::vector<std::string>{"2026-03-02T00:00:03", "2026-03-02T00:00:06", "2026-03-02T00:10:00"}));
  EXPECT_EQ(runCli({"history", "--from", "2026-02-30"}).status, cli::kBadArguments);
  EXPECT_EQ(runCli({"history", "--to", "tomorrow"}).status, cli::kBadArguments);

  EXPECT_EQ(runCli({"history"}).status, cli::kDone);
  ::unsetenv("XDG_DATA_HOME");
}

// While another program writes the history, a download waits for it and imports (the other program
// commits once the download's note says it waits); one that stays in use beyond the wait, or a history
// that cannot be opened, leaves the file written and exits with its own status.
TEST_F(CliTest, ADownloadWaitsForTheHistoryOrSaysItIsNotIn) {
  ::setenv("XDG_DATA_HOME", path("data").c_str(), 1);
  attach(logger("VLM12345", 400));
  std::string error;
  { ASSERT_TRUE(history::Store().open(history::Store::defaultPath(), error)) << error; }
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(history::Store::defaultPath().c_str(), &other), SQLITE_OK);
  auto hold = [&] { return sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); };
  ASSERT_EQ(hold(), SQLITE_OK);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string err;
  std::thread holder([&] {
    char chunk[4096];
    bool released = false;
    for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) {
      err.append(chunk, static_cast<size_t>(n));
      if (!released && err.find("in use by another program; waiting up to 60 s") != std::string::npos)
        released = sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    if (!released) sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  });
  std::FILE* errors = ::fdopen(fds[1], "w");
  ASSERT_NE(errors, nullptr);
  std::setvbuf(errors, nullptr, _IONBF, 0);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), std::fclose);
  cli::Io io;
  io.out = out.get();
  io.err = errors;
  const char* argv[] = {"tarnwick-cli", "download", "-o", nullptr};
  const std::string waited = path("waited.csv");
  argv[3] = waited.c_str();
  const int status = cli::run(4, argv, io);
  std::fclose(errors);
  holder.join();
  ::close(fds[0]);
  EXPECT_EQ(status, cli::kDone) << err;
  EXPECT_NE(err.find("VLM12345: 400 of 400 records new in the history"), std::string::npos) << err;

  ASSERT_EQ(hold(), SQLITE_OK);
  io.err = nullptr;
  auto busy = [&](const std::string& file) {
    clitest::Run run = runCli({"download", "-o", path(file)}, [](cli::Io& io) { io.historyWaitMs = 200; });
    EXPECT_EQ(run.status, cli::kNotInHistory) << run.err;
    EXPECT_NE(run.err.find("VLM12345: not imported into the history ("), std::string::npos) << run.err;
    const std::string written = clitest::readFile(path(file));
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 401);
    return run.err;
  };
  EXPECT_NE(busy("held.csv").find("in use by another program"), std::string::npos);
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  // The store's folder is a file.
  { std::ofstream(path("blocked")) << "x"; }
  ::setenv("XDG_DATA_HOME", path("blocked").c_str(), 1);
  busy("blocked.csv");
  EXPECT_EQ(runCli({"history"}).status, cli::kFileError);
  ::unsetenv("XDG_DATA_HOME");
}

// 16,000 records reach 1,528 records into the place of the firmware image: the update is refused and
// nothing but the count is asked, until a download of all of them is in the history (or --force).
TEST_F(CliTest, FirmwareUpdateKeepsRecordsThatWereNeverDownloaded) {
  ::setenv("XDG_DATA_HOME", path("data").c_str(), 1);
  velmora::Options full = logger("VLM12345", 16000);
  full.software = "V1.00";
  auto device = attach(full);
  const auto refused = runCli({"firmware-update", "--quiet"});
  EXPECT_EQ(refused.status, cli::kRefused);
  EXPECT_EQ(
      refused.err,
      "tarnwick-cli: VLM12345: not updated: the image would overwrite 1528 of its 16000 records (14473 to "
      "16000), and no download in the history holds them; run tarnwick-cli download first, or "
      "firmware-update --force\n");
  EXPECT_EQ(device->Commands(), std::vector<std::string>{"mem.used"});
  // A download without the history keeps nothing the update could count on.
  ASSERT_EQ(runCli({"download", "--no-history", "-o", path("a.csv")}).status, cli::kDone);
  EXPECT_EQ(runCli({"firmware-update"}).status, cli::kRefused);
  ASSERT_EQ(runCli({"download", "-o", path("b.csv")}).status, cli::kDone);
  const auto updated = runCli({"firmware-update"});
  EXPECT_EQ(updated.status, cli::kDone) << updated.err;
  EXPECT_EQ(device->Commands().back(), "firmware.update");
  usbdrv::DetachAllDevices();

  full.serial = "VLM2";  // the history holds none of its records
  auto other = attach(full);
  const auto forced = runCli({"firmware-update", "--force"});
  EXPECT_EQ(forced.status, cli::kDone) << forced.err;
  EXPECT_EQ(other->Commands(), (std::vector<std::string>{"device.software", "mem.save=463104,61184",
                                                         "firmware.check", "firmware.update"}));
  ::unsetenv("XDG_DATA_HOME");
}

// One rule for --serial: the logger's serial number or its number alone, in download and history
// alike; a logger without serial number listed first takes nothing from the one chosen.
TEST_F(CliTest, OneSerialRuleInEveryCommand) {
  ::setenv("XDG_DATA_HOME", path("data").c_str(), 1);
  velmora::Options old;
  old.serial.reset();
  attach(old);
  attach(logger("VLM2001", 30));
  attach(logger("VLM2002", 40));
  const auto first = runCli({"download", "--serial", "2001", "-o", path("a.csv")});
  EXPECT_EQ(first.status, cli::kDone) << first.err;
  const auto second = runCli({"download", "--serial", "VLM2002", "-o", path("b.csv")});
  EXPECT_EQ(second.status, cli::kDone) << second.err;
  const auto byNumber = runCli({"history", "--serial", "2001"});
  EXPECT_EQ(byNumber.status, cli::kDone) << byNumber.err;
  EXPECT_EQ(std::count(byNumber.out.begin(), byNumber.out.end(), '\n'), 31);
  EXPECT_TRUE(byNumber.out == runCli({"history", "--serial", "VLM2001"}).out);
  EXPECT_EQ(runCli({"history", "--serial", "2003"}).status, cli::kNoLogger);
  ::unsetenv("XDG_DATA_HOME");
}

// --all downloads every logger once, also those whose serial numbers come to one number or one file
// name, into a folder it makes when missing (only that folder).
TEST_F(CliTest, DownloadAllTakesEveryLoggerOnceUnderItsOwnName) {
  const char* serials[] = {"A:B", "A?B", "..", nullptr, nullptr};
  for (uint32_t i = 0; i < 5; ++i) {
    velmora::Options options = logger(serials[i] ? serials[i] : "", 10 * (i + 1));
    if (!serials[i]) options.serial.reset();
    attach(options);
  }
  EXPECT_EQ(runCli({"download", "--all", "--no-history", "--output-dir", path("no/new")}).status,
            cli::kFileError);
  EXPECT_FALSE(std::filesystem::exists(path("no")));
  const mode_t umask = ::umask(022);
  const auto run = runCli({"download", "--all", "--no-history", "--output-dir", path("new")});
  ::umask(umask);
  ASSERT_EQ(run.status, cli::kDone) << run.err;
  EXPECT_EQ(std::filesystem::status(path("new")).permissions(), std::filesystem::perms(0755));
  std::map<std::string, long> lines;
  for (const auto& entry : std::filesystem::directory_iterator(path("new"))) {
    const std::string content = readFile(entry.path());
    lines[entry.path().filename()] = std::count(content.begin(), content.end(), '\n');
  }
  EXPECT_EQ(lines, (std::map<std::string, long>{{"A_B_2026-03-07.csv", 11},
                                                {"A_B-2_2026-03-07.csv", 21},
                                                {"_._2026-03-07.csv", 31},
                                                {"no-serial_2026-03-07.csv", 41},
                                                {"no-serial-2_2026-03-07.csv", 51}}))
      << run.err;
}

// The history's CSV export: the serial number, text from the logger, is one quoted UTF-8 field that
// no spreadsheet takes for a formula; the record's fields stay the download's.
TEST_F(CliTest, HistoryCsvQuotesTheLoggersText) {
  ::setenv("XDG_DATA_HOME", path("data").c_str(), 1);
  attach(logger("=HYPERLINK(\"x\";\xE9)", 5));
  ASSERT_EQ(runCli({"download", "-o", path("a.csv")}).status, cli::kDone);
  const auto csv = runCli({"history"});
  ASSERT_EQ(csv.status, cli::kDone) << csv.err;
  auto secondLine = [](const std::string& text) {
    const size_t begin = text.find("\r\n") + 2;
    return text.substr(begin, text.find("\r\n", begin) + 2 - begin);
  };
  EXPECT_EQ(secondLine(csv.out),
            "\"'=HYPERLINK(\"\"x\"\";\xC3\xA9)\";" + secondLine(readFile(path("a.csv"))));
  ::unsetenv("XDG_DATA_HOME");
}

// Answers the logger still sends from an earlier exchange (the rest of a 200 kB answer, answers to
// commands of a program that has ended) are drained: the next command takes only its own answer.
TEST_F(CliTest, StaleAnswersAreDrainedBeforeTheCommand) {
  velmora::Options options = logger("VLM5", 20);
  options.software = std::string(200000, 'V');
  auto device = attach(options);
  const auto software = runCli({"send", "device.software"});
  EXPECT_EQ(software.out.rfind("device.software=VVVV", 0), 0u) << software.out.substr(0, 80);
  auto leave = [&](const std::string& answer) {
    device->QueueIn(velmora::kEpIn, reinterpret_cast<const uint8_t*>(answer.c_str()), answer.size() + 1);
  };
  leave("mem.used=7");
  const auto used = runCli({"send", "mem.used"});
  EXPECT_EQ(used.status, cli::kDone);
  EXPECT_EQ(used.out, "mem.used=20\n");
  leave("device.software=V9.99");
  const auto load = runCli({"download", "--no-history", "-o", path("a.csv")});
  EXPECT_EQ(load.status, cli::kDone) << load.err;
}

// What a signal leaves behind is removed: a SafeFile temporary beside the user's file. (In a child: the
// removal keeps every temporary from being made after it.)
TEST_F(CliTest, TemporariesAreRemovedAtASignal) {
  ::setenv("TMPDIR", path("tmp").c_str(), 1);
  std::filesystem::create_directories(path("tmp"));
  EXPECT_EXIT(
      {
        SafeFile file;
        const bool made = file.open(path("x.csv")) && file.write("abc", 3);
        temporaries::removeAllForExit();
        std::_Exit(made ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(std::filesystem::is_empty(path("tmp")));
  std::filesystem::remove(path("tmp"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
  ::unsetenv("TMPDIR");
}

// An edited copy of a download: the logger's records stay the truth, and a file the history does not
// know as a download joins a logger's history only when the user names the logger.
TEST_F(CliTest, ImportedFilesKeepToTheLoggersDownloadAndShowTheirSource) {
  ::setenv("XDG_DATA_HOME", path("data").c_str(), 1);
  attach(logger("VLM12345", 40));
  ASSERT_EQ(runCli({"download", "-s", "VLM12345", "-o", path("a.csv")}).status, cli::kDone);
  std::string text = readFile(path("a.csv"));
  const size_t line = text.find("\r\n", text.find("\r\n") + 2) + 2;  // the second record
  const size_t field = text.find(';', text.find(';', text.find(';', line) + 1) + 1) + 1;
  const bool comma = text.substr(field, text.find(';', field) - field).find(',') != std::string::npos;
  text.replace(field, text.find(';', field) - field, comma ? "39,5" : "39.5");
  { std::ofstream(path("a.csv"), std::ios::binary) << text; }
  const auto edited = runCli({"import", path("a.csv")});
  ASSERT_EQ(edited.status, cli::kDone) << edited.err;
  EXPECT_EQ(edited.out,
            "VLM12345: 0 imported, 39 already known, 1 differ from the logger's download "
            "\xE2\x80\x94 not imported\n");

  // The same lines under the logger's name elsewhere, one more at the end late that day: beyond the span
  // the logger's download covers, where a file may fill in (inside it, a file's line is refused).
  std::filesystem::create_directories(path("mail"));
  const std::string copy = path("mail") + "/VLM12345.csv";
  std::string later = text.substr(line, text.find("\r\n", line) + 2 - line);  // 00:00:03 becomes 23:00:03
  later.replace(later.find(':') - 2, 2, "23");
  { std::ofstream(copy, std::ios::binary) << text << later; }
  const auto unknown = runCli({"import", copy});
  EXPECT_EQ(unknown.status, cli::kBadArguments);
  EXPECT_NE(unknown.err.find("(it looks like one of VLM12345)"), std::string::npos) << unknown.err;
  const auto confirmed = runCli({"import", copy, "--serial", "12345"});  // the number alone, as elsewhere
  ASSERT_EQ(confirmed.status, cli::kDone) << confirmed.err;
  EXPECT_EQ(confirmed.out.substr(0, 47), "VLM12345: 1 imported, 39 already known, 1 diffe") << confirmed.out;

  const auto stored = runCli({"history", "-f", "jsonl"});
  ASSERT_EQ(stored.status, cli::kDone) << stored.err;
  std::istringstream lines(stored.out);
  std::map<std::string, int> kinds;
  for (std::string json; std::getline(lines, json);) {
    const auto source = nlohmann::json::parse(json)["source"];
    kinds[source["kind"]]++;
    if (source["kind"] == "download") {
      EXPECT_EQ(source["file"], path("a.csv"));
      EXPECT_EQ(source["device"], "virtual");
    } else {
      EXPECT_EQ(source["name"], copy);
    }
    EXPECT_EQ(std::string(source["time"]).size(), 20u) << json;
  }
  EXPECT_EQ(kinds, (std::map<std::string, int>{{"download", 40}, {"file", 1}}));
  ::unsetenv("XDG_DATA_HOME");
}
