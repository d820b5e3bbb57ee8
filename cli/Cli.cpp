#include "cli/Cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <sstream>

#include "Version.h"
#include "cli/Commands.h"
#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/History.h"
#include "cli/Limits.h"
#include "cli/Loggers.h"
#include "cli/Report.h"
#include "cli/Signatures.h"
#include "cli/Spreadsheet.h"
#include "cli/Verdict.h"
#include "cli/Verify.h"
#include "data/LocaleFormat.h"
#include "data/RegionalFormat.h"
#include "history/History.h"

namespace cli {
namespace {

constexpr char kFooter[] =
    "-q/--quiet and -v/--verbose may stand before or after the command.\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  the operation failed (the logger refused or broke it off, the link ended)\n"
    "  2  bad arguments (unknown command or option, bad value, several loggers and no --serial,\n"
    "     a locale this machine does not have)\n"
    "  3  no logger attached, or none with the serial number given (not for list: no logger is an\n"
    "     empty list)\n"
    "  4  the logger is in use by another program (the window or another tarnwick-cli; download --all\n"
    "     leaves such a logger out with a line and does not fail for it)\n"
    "  5  no answer from the logger in time\n"
    "  6  firmware-update: the firmware is up to date\n"
    "  7  a file could not be written or read (a closed standard output too, after the history import)\n"
    "  8  download: the logger has no records stored; report: no readings in the range\n"
    "  9  download: the file is written, but records with impossible time stamps were left out\n"
    "  10 firmware-update: refused, the image would overwrite records no download kept\n"
    "     (download them first, or give --force)\n"
    "  11 download: the file is written, but the records are not in the history (it stayed in use by\n"
    "     another program for a minute, or cannot be opened or written)\n"
    "  12 excursions, download: an excursion beyond the logger's limits raises an alarm\n"
    "     (a download that also has 9 or 11 to say exits with that: the lower number wins)\n"
    "  13 verdict, excursions, download: no alarm, but the verdict is incomplete (a gap, readings\n"
    "     without a value, records not downloaded, readings only from files)\n"
    "  14 history verify, verify: the history or the report does not hold (a record, an entry of its\n"
    "     audit trail, a limit changed outside Tarnwick, a page or a signature; the message names the "
    "first)\n"
    "  15 sign: refused (no key registered for this login, a retired key, a wrong passphrase, an\n"
    "     approval before a review)\n"
    "  130, 143, 129  stopped by SIGINT, SIGTERM or SIGHUP; temporary files are removed\n";

constexpr char kSerialHelp[] = "the logger: its serial number (VLM12345) or number (12345)";

std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The regional formats of the CSV file come from the environment's locale, as the window's do.
bool takeLocale(Session& session) {
  posixlocale::Locale locale;
  if (!posixlocale::readLocale(locale)) {
    std::string named;
    for (const char* variable : {"LC_ALL", "LC_TIME", "LC_NUMERIC", "LANG"}) {
      const char* value = std::getenv(variable);
      if (value != nullptr && value[0] != '\0') {
        named = std::string(" (") + variable + "=" +
                printable(ansiFromUtf8(std::string(value).substr(0, 80))) + ")";
        break;
      }
    }
    session.problem("the locale of the environment" + named + " is not installed on this machine");
    return false;
  }
  setExportFormat(posixlocale::regionalFormat(locale));
  return true;
}

// What the command line asked for: the options of every command, filled in by parsing, and the
// command given.
struct CommandLine {
  bool quiet = false, verbose = false;
  std::string historyFlag;
  bool json = false, noHistory = false, force = false;
  std::string serial, historyOutput, command;
  DownloadOptions load;
  HistoryOptions past;
  LimitsOptions bounds;
  ExcursionOptions outside, judging;
  LoggersOptions overview;
  CopyOptions copying;
  InitOptions initing;
  ImportOptions importing;
  ReportOptions reporting;
  VerifyOptions verifying;
  PassphraseSource passphrase;
  KeyRegistration registration;
  std::string retired, reportFile;
  SignOptions signing;
  CLI::App *verify = nullptr, *keyNew = nullptr, *keyRegister = nullptr, *keyRetire = nullptr,
           *sign = nullptr, *verifyReport = nullptr;
  CLI::App *list = nullptr, *download = nullptr, *setTime = nullptr, *firmware = nullptr, *send = nullptr;
  CLI::App *history = nullptr, *limitsCommand = nullptr, *excursionsCommand = nullptr,
           *verdictCommand = nullptr, *loggersCommand = nullptr, *copy = nullptr, *init = nullptr,
           *check = nullptr, *import = nullptr, *report = nullptr;
};

void serialOption(CLI::App* command, std::string& serial) {
  command->add_option("-s,--serial", serial, kSerialHelp);
}

// list, download, set-time and firmware-update: the commands that reach a logger.
void addLoggerCommands(CLI::App& app, CommandLine& c) {
  c.list = app.add_subcommand(
      "list", "list the attached loggers: serial number, in use or free (none: an empty list, status 0)");
  c.list->add_flag("--json", c.json, "one JSON array");

  c.download = app.add_subcommand(
      "download",
      "download the records of a logger (asks its firmware version first, device.software, and notes it "
      "in the history)");
  serialOption(c.download, c.load.serial);
  CLI::Option* output = c.download->add_option("-o,--output", c.load.output,
                                               "the file to write, or - for standard output (default)");
  c.download
      ->add_option(
          "-f,--format", c.load.format,
          "csv (the window's file, default), jsonl, or xlsx (a spreadsheet; needs --output or --all)")
      ->check(CLI::IsMember({"csv", "jsonl", "xlsx"}));
  CLI::Option* all =
      c.download->add_flag("--all", c.load.all, "every attached logger, one file each (needs --output-dir)");
  CLI::Option* outputDir = c.download->add_option("--output-dir", c.load.outputDir,
                                                  "folder of the files of --all: <serial>_<yyyy-mm-dd>.csv; "
                                                  "made when missing");
  c.download->add_flag("--no-history", c.noHistory, "do not import the records into the history");
  all->excludes(output)->excludes(c.download->get_option("--serial"))->needs(outputDir);
  outputDir->needs(all);

  c.setTime = app.add_subcommand("set-time", "set the logger's clock to this computer's");
  serialOption(c.setTime, c.serial);
  c.firmware = app.add_subcommand(
      "firmware-update",
      "send Tarnwick's firmware unless the logger's version sorts after it (status 6); an equal one "
      "is sent again");
  serialOption(c.firmware, c.serial);
  c.firmware->add_flag("--force", c.force,
                       "update even when the image overwrites stored records that no download in the "
                       "history holds (records 14,473 and up)");
}

// history (and history copy), limits, excursions, loggers, import and report: the history's commands.
void addHistoryCommands(CLI::App& app, CommandLine& c) {
  c.history = app.add_subcommand("history", "the records of the history store");
  c.history->add_option("-s,--serial", c.past.serial, std::string("one logger's records; ") + kSerialHelp);
  c.history->add_option("--from", c.past.from,
                        "records from this time on, as the logger's clock shows it (2026-03-02 or "
                        "2026-03-02T04:40:06; with --serial also 2026-03-02T04:40:06+01:00)");
  c.history->add_option("--to", c.past.to, "records up to this time");
  c.history
      ->add_option("-f,--format", c.past.format,
                   "csv (default) or jsonl on standard output, or xlsx (a spreadsheet of one logger; needs "
                   "--output)")
      ->check(CLI::IsMember({"csv", "jsonl", "xlsx"}));
  c.history->add_option("-o,--output", c.historyOutput, "the spreadsheet file of --format xlsx");
  c.history->add_option("--sensor", c.past.sensor, "one sensor's records")->check(CLI::Range(0, 65535));
  c.history->add_flag("--digest", c.past.digest,
                      "print the SHA-256 of exactly these readings (a report's digest over the same range "
                      "is the same)");

  c.limitsCommand = app.add_subcommand(
      "limits", "show a logger's limits and their changes, or set them (options not given keep their value)");
  c.limitsCommand->add_option("-s,--serial", c.bounds.serial, kSerialHelp)->required();
  c.limitsCommand->add_option("--sensor", c.bounds.sensor, "one sensor's own limits (default: the logger's)")
      ->check(CLI::Range(0, 65535));
  c.limitsCommand->add_option("--temperature", c.bounds.temperature,
                              "LOW:HIGH in °C, a side may be open (:8, 2:)");
  c.limitsCommand->add_option("--humidity", c.bounds.humidity, "LOW:HIGH in %RH, a side may be open");
  c.limitsCommand->add_option("--delay", c.bounds.delay,
                              "alarm delay: 0, 90s, 15m, 2h, 1h30m (both quantities)");
  c.limitsCommand->add_option("--rule", c.bounds.rule,
                              "instant, consecutive (default) or cumulative (both quantities)");
  c.limitsCommand->add_flag("--clear", c.bounds.clear, "remove them (a sensor takes the logger's again)");
  c.limitsCommand->add_option("--reason", c.bounds.reason,
                              "why: needed to change or clear limits that are set (kept with the change)");

  c.excursionsCommand = app.add_subcommand("excursions",
                                           "the excursions beyond a logger's limits in the history (status "
                                           "12 when one alarms, 13 when incomplete)");
  c.excursionsCommand->add_option("-s,--serial", c.outside.serial, kSerialHelp);
  c.excursionsCommand->add_option("--sensor", c.outside.sensor, "one sensor")->check(CLI::Range(0, 65535));
  c.excursionsCommand->add_option("--from", c.outside.from,
                                  "from this time on, as the logger's clock shows it (2026-03-02T04:40:06), "
                                  "or with its offset (+01:00)");
  c.excursionsCommand->add_option("--to", c.outside.to, "up to this time");
  c.excursionsCommand->add_option("-f,--format", c.outside.format, "text (default) or jsonl")
      ->check(CLI::IsMember({"text", "jsonl"}));
  CLI::Option* at = c.excursionsCommand->add_option(
      "--at", c.outside.at,
      "comment the excursion that starts at this time (as listed; with --cause, --action)");
  c.excursionsCommand
      ->add_option("--quantity", c.outside.quantity,
                   "with --at: temperature or humidity, when both have an excursion then")
      ->check(CLI::IsMember({"temperature", "humidity"}))
      ->needs(at);
  c.excursionsCommand->add_option("--cause", c.outside.cause, "with --at: what caused it")->needs(at);
  c.excursionsCommand->add_option("--action", c.outside.action, "with --at: the corrective action taken")
      ->needs(at);

  c.verdictCommand = app.add_subcommand(
      "verdict",
      "alarms (status 12), incomplete (13) or within limits (0): a logger's readings in the history judged, "
      "with every reason and its times");
  c.verdictCommand->add_option("-s,--serial", c.judging.serial, kSerialHelp);
  c.verdictCommand->add_option("--sensor", c.judging.sensor, "one sensor")->check(CLI::Range(0, 65535));
  c.verdictCommand->add_option("--from", c.judging.from,
                               "from this time on, as the logger's clock shows it (2026-03-02T04:40:06), "
                               "or with its offset (+01:00); the stretch before the first reading counts");
  c.verdictCommand->add_option("--to", c.judging.to,
                               "up to this time; the stretch after the last reading counts");
  c.verdictCommand->add_option("-f,--format", c.judging.format, "text (default) or jsonl")
      ->check(CLI::IsMember({"text", "jsonl"}));

  c.loggersCommand = app.add_subcommand(
      "loggers",
      "every logger the history holds, one row each: readings, last download, limits, excursions, days "
      "since (the attached loggers: list)");
  c.loggersCommand->add_option("-f,--format", c.overview.format, "text (default) or jsonl")
      ->check(CLI::IsMember({"text", "jsonl"}));
  c.loggersCommand->add_option("-s,--serial", c.overview.serial,
                               std::string("one logger's name and place and their changes; ") + kSerialHelp);
  c.loggersCommand->add_option("--name", c.overview.name,
                               "with --serial: set its name (\"Fridge 3\"; \"\" removes it)");
  c.loggersCommand->add_option("--place", c.overview.place,
                               "with --serial: set where it is (\"Vaccine store\"; \"\" removes it)");
  c.copy = c.history->add_subcommand(
      "copy", "copy a history into another (a file into a server, say); a second copy adds nothing");
  c.copy->add_option("--to", c.copying.to, "the history to copy into")->required();
  c.copy->add_option("--from", c.copying.from, "the history to copy (default: --history's)");
  c.init = c.history->add_subcommand(
      "init",
      "set a PostgreSQL server's history up, or upgrade it (run by the database's administrator): its "
      "schema, the owner role, the writer and reviewer roles (made without login when missing) and their "
      "rights; a second run changes nothing");
  c.init->add_option("--writer-role", c.initing.writer,
                     std::string("the role of the desks that download and set limits (default ") +
                         history::kDefaultWriterRole + ")");
  c.init->add_option("--reviewer-role", c.initing.reviewer,
                     std::string("the role that reads everything and writes nothing (default ") +
                         history::kDefaultReviewerRole + ")");
  c.init->add_flag("--print", c.initing.print, "print the SQL instead of running it");
  c.check = c.history->add_subcommand(
      "check",
      "check the whole history file (after a crash; a damaged one is set aside and a new one started)");
  c.verify = c.history->add_subcommand(
      "verify",
      "check the history against its audit trail; prints the trail's head hash (status 14 when "
      "something does not hold)");
  c.verify->add_option("--head", c.verifying.keptHead,
                       "a head hash printed earlier that must still be in the trail");
  c.history->require_subcommand(0, 1);

  c.import = app.add_subcommand("import", "add the records of a CSV file to a logger's history");
  c.import->add_option("FILE", c.importing.file, "a CSV file that Tarnwick wrote")->required();
  c.import->add_option("-s,--serial", c.importing.serial,
                       "the logger the file belongs to, when the history does not know it as its download");

  c.report = app.add_subcommand(
      "report", "a PDF report of a logger's readings in the history: limits, excursions, verdict, digest");
  c.report->add_option("-s,--serial", c.reporting.serial, kSerialHelp)->required();
  c.report->add_option("--sensor", c.reporting.sensors, "only this sensor (may be given more than once)");
  c.report->add_option("--from", c.reporting.from,
                       "readings from this time on (2026-03-02 or 2026-03-02T04:40:06)");
  c.report->add_option("--to", c.reporting.to, "readings up to this time");
  c.report->add_option("-o,--output", c.reporting.output, "the PDF file to write")->required();
}

// key, sign and verify: signatures over the history's readings and the proof a report carries.
void addSignatureCommands(CLI::App& app, CommandLine& c) {
  CLI::App* key =
      app.add_subcommand("key", "your signing key: make one, register one in the history, retire one");
  c.keyNew = key->add_subcommand(
      "new", "make your key pair (Ed25519; the secret key sealed under a passphrase, in your data folder)");
  c.keyNew->add_option("--passphrase-fd", c.passphrase.fd, "read the passphrase from this descriptor")
      ->check(CLI::Range(0, 1 << 20));
  c.keyRegister = key->add_subcommand(
      "register", "enter a person's public key in the history, with their name and login");
  c.keyRegister->add_option("FILE", c.registration.file, "the public key file (signing.pub)")->required();
  c.keyRegister->add_option("--name", c.registration.name, "the person's full name")->required();
  c.keyRegister->add_option("--login", c.registration.login, "their login (default: yours)");
  c.keyRetire = key->add_subcommand("retire", "end a key for new signatures (the ones made stay valid)");
  c.keyRetire->add_option("--key", c.retired, "the key's fingerprint (default: your own key)");
  key->require_subcommand(1, 1);

  c.sign = app.add_subcommand(
      "sign",
      "sign a logger's readings in the history as reviewed, approved or released (asks your passphrase)");
  c.sign->add_option("-s,--serial", c.signing.serial, kSerialHelp)->required();
  c.sign->add_option("--sensor", c.signing.sensor, "one sensor's readings")->check(CLI::Range(0, 65535));
  c.sign->add_option("--from", c.signing.from, "readings from this time");
  c.sign->add_option("--to", c.signing.to, "readings up to this time");
  c.sign->add_option("--meaning", c.signing.meaning, "reviewed, approved or released")
      ->required()
      ->check(CLI::IsMember({"reviewed", "approved", "released"}));
  c.sign->add_option("--comment", c.signing.comment, "a comment signed with it");
  c.sign->add_flag("--no-review", c.signing.noReview, "approve without a review (recorded as such)");
  c.sign->add_option("--passphrase-fd", c.signing.passphrase.fd, "read the passphrase from this descriptor")
      ->check(CLI::Range(0, 1 << 20));

  c.verifyReport = app.add_subcommand(
      "verify",
      "check a report's pages and signatures offline, and against the history with --history "
      "(status 14 when something does not hold)");
  c.verifyReport->add_option("FILE", c.reportFile, "the PDF report")->required();
}

// send: a raw command, as on the service console.
void addConsoleCommand(CLI::App& app, CommandLine& c) {
  c.send = app.add_subcommand("send", "send a raw command, as the service console does; prints the answer");
  serialOption(c.send, c.serial);
  c.send->add_option("COMMAND", c.command, "the command text, e.g. mem.used")->required();
}

// Parses the arguments; false with the exit status when the run ends here (help, version, an error).
bool parseArguments(CLI::App& app, int argc, const char* const argv[], const Io& io, int& status) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    if (code == 0) {
      std::string text = out.str();
      if (!text.empty() && text.back() != '\n') text += '\n';
      std::fputs(text.c_str(), io.out);
      status = kDone;
      return false;
    }
    std::string message = oneLine(e.what());
    // A word that names no command reads better as such than as a missing command.
    if (app.get_subcommands().empty()) {
      message = "no command given";
      for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.empty() || word[0] == '-') continue;
        message = "unknown command \"" + word + "\"";
        break;
      }
    }
    std::fprintf(io.err, "tarnwick-cli: %s (see tarnwick-cli --help)\n", message.c_str());
    status = kBadArguments;
    return false;
  }
  return true;
}

int runHistoryCommand(Session& session, CommandLine& c) {
  if (c.past.format == "xlsx" || !c.historyOutput.empty()) {
    if (c.past.format != "xlsx" || c.historyOutput.empty() || c.historyOutput == "-" || c.past.digest) {
      session.problem(c.past.digest ? "--digest prints the digest; it takes no --format xlsx or --output"
                      : c.past.format == "xlsx"
                          ? "--format xlsx needs --output FILE: a spreadsheet is no text for standard output"
                          : "--output is for --format xlsx; csv and jsonl go to standard output");
      return kBadArguments;
    }
    return historyXlsx(session, c.past, c.historyOutput);
  }
  if (c.past.format == "csv" && !c.past.digest && !takeLocale(session)) return kBadArguments;
  return cli::history(session, c.past);
}

int runCommand(Session& session, CommandLine& c, const Io& io) {
  if (*c.list) return listLoggers(session, c.json);
  if (*c.download) {
    c.load.history = !c.noHistory;
    if (c.load.format == "xlsx" && !c.load.all && c.load.output == "-") {
      session.problem("--format xlsx needs --output FILE: a spreadsheet is no text for standard output");
      return kBadArguments;
    }
    if (c.load.format == "csv" && !takeLocale(session)) return kBadArguments;
    return cli::download(session, c.load);
  }
  if (*c.setTime) return cli::setTime(session, c.serial);
  if (*c.firmware) return firmwareUpdate(session, c.serial, c.force);
  if (*c.send) return sendRaw(session, c.serial, c.command);
  if (*c.import) return importFile(session, c.importing);
  if (*c.loggersCommand) return cli::loggers(session, c.overview);
  if (*c.init) return initHistory(session, c.initing);
  if (*c.check) return checkHistory(session);
  if (*c.verify) return verifyHistory(session, c.verifying);
  if (*c.keyNew) return keyNew(session, c.passphrase);
  if (*c.keyRegister) return keyRegister(session, c.registration);
  if (*c.keyRetire) return keyRetire(session, c.retired);
  if (*c.sign) return sign(session, c.signing);
  if (*c.verifyReport) return verifyReport(session, c.reportFile);
  if (*c.copy) {
    const int fd = fileno(io.err);
    c.copying.progress = !c.quiet && fd >= 0 && isatty(fd);
    return copyHistory(session, c.copying);
  }
  if (*c.report) return makeReport(session, c.reporting);
  if (*c.limitsCommand) return cli::limits(session, c.bounds);
  if (*c.excursionsCommand) return cli::excursions(session, c.outside);
  if (*c.verdictCommand) return cli::verdict(session, c.judging);
  if (*c.history) return runHistoryCommand(session, c);
  return kBadArguments;
}

}  // namespace

int run(int argc, const char* const argv[], const Io& io) {
  CommandLine c;
  CLI::App app("Downloads, sets and updates Velmora loggers, and reads the measurement history.",
               "tarnwick-cli");
  app.footer(kFooter);
  app.set_version_flag("--version", "tarnwick-cli " TARNWICK_VERSION);
  app.require_subcommand(1, 1);
  app.fallthrough();  // the common options may also follow the command
  app.add_flag("-q,--quiet", c.quiet, "no messages but errors, no progress bar");
  app.add_flag("-v,--verbose", c.verbose, "the link's log lines on standard error");
  app.add_option("--history", c.historyFlag,
                 "the history: a SQLite file, or a PostgreSQL server as postgresql://user@host/db or "
                 "\"host=/run/postgresql dbname=tarnwick\" (passwords go into ~/.pgpass); default "
                 "$TARNWICK_HISTORY, else the file of the window");

  addLoggerCommands(app, c);
  addHistoryCommands(app, c);
  addConsoleCommand(app, c);
  addSignatureCommands(app, c);
  int status = kBadArguments;
  if (!parseArguments(app, argc, argv, io, status)) return status;
  setHistoryFlag(c.historyFlag);
  Session session(io, c.quiet, c.verbose);
  // A location shaped like a server's that libpq cannot read is a mistake, never a file's name.
  for (const std::string& location : {historyLocation(), c.copying.to, c.copying.from}) {
    const std::string problem = history::serverLocationProblem(location);
    if (!problem.empty()) {
      session.problem("the history " + printable(history::shownLocation(location)) + ": " +
                      printable(problem));
      return kBadArguments;
    }
  }
  return runCommand(session, c, io);
}

}  // namespace cli
