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
#include "cli/Spreadsheet.h"
#include "data/LocaleFormat.h"
#include "data/RegionalFormat.h"

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
    "  4  the logger is in use by another program\n"
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

}  // namespace

int run(int argc, const char* const argv[], const Io& io) {
  CLI::App app("Downloads, sets and updates Velmora loggers, and reads the measurement history.",
               "tarnwick-cli");
  app.footer(kFooter);
  app.set_version_flag("--version", "tarnwick-cli " TARNWICK_VERSION);
  app.require_subcommand(1, 1);
  app.fallthrough();  // the common options may also follow the command
  bool quiet = false, verbose = false;
  app.add_flag("-q,--quiet", quiet, "no messages but errors, no progress bar");
  app.add_flag("-v,--verbose", verbose, "the link's log lines on standard error");
  std::string historyFlag;
  app.add_option("--history", historyFlag,
                 "the history: a SQLite file, or a PostgreSQL server as postgresql://user@host/db or "
                 "\"host=/run/postgresql dbname=tarnwick\" (passwords go into ~/.pgpass); default "
                 "$TARNWICK_HISTORY, else the file of the window");

  auto serialOption = [](CLI::App* command, std::string& serial) {
    command->add_option("-s,--serial", serial, kSerialHelp);
  };

  bool json = false;
  CLI::App* list = app.add_subcommand(
      "list", "list the attached loggers: serial number, in use or free (none: an empty list, status 0)");
  list->add_flag("--json", json, "one JSON array");

  DownloadOptions load;
  bool noHistory = false;
  CLI::App* download = app.add_subcommand(
      "download",
      "download the records of a logger (asks its firmware version first, device.software, and notes it "
      "in the history)");
  serialOption(download, load.serial);
  CLI::Option* output = download->add_option("-o,--output", load.output,
                                             "the file to write, or - for standard output (default)");
  download
      ->add_option(
          "-f,--format", load.format,
          "csv (the window's file, default), jsonl, or xlsx (a spreadsheet; needs --output or --all)")
      ->check(CLI::IsMember({"csv", "jsonl", "xlsx"}));
  CLI::Option* all =
      download->add_flag("--all", load.all, "every attached logger, one file each (needs --output-dir)");
  CLI::Option* outputDir = download->add_option("--output-dir", load.outputDir,
                                                "folder of the files of --all: <serial>_<yyyy-mm-dd>.csv; "
                                                "made when missing");
  download->add_flag("--no-history", noHistory, "do not import the records into the history");
  all->excludes(output)->excludes(download->get_option("--serial"))->needs(outputDir);
  outputDir->needs(all);

  std::string serial;
  CLI::App* setTime = app.add_subcommand("set-time", "set the logger's clock to this computer's");
  serialOption(setTime, serial);
  CLI::App* firmware = app.add_subcommand(
      "firmware-update",
      "send Tarnwick's firmware unless the logger's version sorts after it (status 6); an equal one "
      "is sent again");
  serialOption(firmware, serial);
  bool force = false;
  firmware->add_flag("--force", force,
                     "update even when the image overwrites stored records that no download in the "
                     "history holds (records 14,473 and up)");

  HistoryOptions past;
  CLI::App* history = app.add_subcommand("history", "the records of the history store");
  history->add_option("-s,--serial", past.serial, std::string("one logger's records; ") + kSerialHelp);
  history->add_option("--from", past.from,
                      "records from this time on, as the logger's clock shows it (2026-03-02 or "
                      "2026-03-02T04:40:06; with --serial also 2026-03-02T04:40:06+01:00)");
  history->add_option("--to", past.to, "records up to this time");
  history
      ->add_option("-f,--format", past.format,
                   "csv (default) or jsonl on standard output, or xlsx (a spreadsheet of one logger; needs "
                   "--output)")
      ->check(CLI::IsMember({"csv", "jsonl", "xlsx"}));
  std::string historyOutput;
  history->add_option("-o,--output", historyOutput, "the spreadsheet file of --format xlsx");
  history->add_option("--sensor", past.sensor, "one sensor's records")->check(CLI::Range(0, 65535));
  history->add_flag("--digest", past.digest,
                    "print the SHA-256 of exactly these readings (a report's digest over the same range "
                    "is the same)");

  LimitsOptions bounds;
  CLI::App* limitsCommand = app.add_subcommand(
      "limits", "show a logger's limits and their changes, or set them (options not given keep their value)");
  limitsCommand->add_option("-s,--serial", bounds.serial, kSerialHelp)->required();
  limitsCommand->add_option("--sensor", bounds.sensor, "one sensor's own limits (default: the logger's)")
      ->check(CLI::Range(0, 65535));
  limitsCommand->add_option("--temperature", bounds.temperature,
                            "LOW:HIGH in °C, a side may be open (:8, 2:)");
  limitsCommand->add_option("--humidity", bounds.humidity, "LOW:HIGH in %RH, a side may be open");
  limitsCommand->add_option("--delay", bounds.delay, "alarm delay: 0, 90s, 15m, 2h, 1h30m (both quantities)");
  limitsCommand->add_option("--rule", bounds.rule,
                            "instant, consecutive (default) or cumulative (both quantities)");
  limitsCommand->add_flag("--clear", bounds.clear, "remove them (a sensor takes the logger's again)");
  limitsCommand->add_option("--reason", bounds.reason,
                            "why: needed to change or clear limits that are set (kept with the change)");

  ExcursionOptions outside;
  CLI::App* excursionsCommand = app.add_subcommand(
      "excursions", "the excursions beyond a logger's limits in the history (status 12 when one alarms)");
  excursionsCommand->add_option("-s,--serial", outside.serial, kSerialHelp);
  excursionsCommand->add_option("--sensor", outside.sensor, "one sensor")->check(CLI::Range(0, 65535));
  excursionsCommand->add_option("--from", outside.from,
                                "from this time on, as the logger's clock shows it (2026-03-02T04:40:06), "
                                "or with its offset (+01:00)");
  excursionsCommand->add_option("--to", outside.to, "up to this time");
  excursionsCommand->add_option("-f,--format", outside.format, "text (default) or jsonl")
      ->check(CLI::IsMember({"text", "jsonl"}));
  CLI::Option* at = excursionsCommand->add_option(
      "--at", outside.at,
      "comment the excursion that starts at this time (as listed; with --cause, --action)");
  excursionsCommand
      ->add_option("--quantity", outside.quantity,
                   "with --at: temperature or humidity, when both have an excursion then")
      ->check(CLI::IsMember({"temperature", "humidity"}))
      ->needs(at);
  excursionsCommand->add_option("--cause", outside.cause, "with --at: what caused it")->needs(at);
  excursionsCommand->add_option("--action", outside.action, "with --at: the corrective action taken")
      ->needs(at);

  LoggersOptions overview;
  CLI::App* loggersCommand = app.add_subcommand(
      "loggers",
      "every logger the history holds, one row each: readings, last download, limits, excursions, days "
      "since (the attached loggers: list)");
  loggersCommand->add_option("-f,--format", overview.format, "text (default) or jsonl")
      ->check(CLI::IsMember({"text", "jsonl"}));
  loggersCommand->add_option("-s,--serial", overview.serial,
                             std::string("one logger's name and place and their changes; ") + kSerialHelp);
  loggersCommand->add_option("--name", overview.name,
                             "with --serial: set its name (\"Fridge 3\"; \"\" removes it)");
  loggersCommand->add_option("--place", overview.place,
                             "with --serial: set where it is (\"Vaccine store\"; \"\" removes it)");
  CopyOptions copying;
  CLI::App* copy = history->add_subcommand(
      "copy", "copy a history into another (a file into a server, say); a second copy adds nothing");
  copy->add_option("--to", copying.to, "the history to copy into")->required();
  copy->add_option("--from", copying.from, "the history to copy (default: --history's)");
  history->require_subcommand(0, 1);

  ImportOptions importing;
  CLI::App* import = app.add_subcommand("import", "add the records of a CSV file to a logger's history");
  import->add_option("FILE", importing.file, "a CSV file that Tarnwick wrote")->required();
  import->add_option("-s,--serial", importing.serial,
                     "the logger the file belongs to, when the history does not know it as its download");

  ReportOptions reporting;
  CLI::App* report = app.add_subcommand(
      "report", "a PDF report of a logger's readings in the history: limits, excursions, verdict, digest");
  report->add_option("-s,--serial", reporting.serial, kSerialHelp)->required();
  report->add_option("--sensor", reporting.sensors, "only this sensor (may be given more than once)");
  report->add_option("--from", reporting.from,
                     "readings from this time on (2026-03-02 or 2026-03-02T04:40:06)");
  report->add_option("--to", reporting.to, "readings up to this time");
  report->add_option("-o,--output", reporting.output, "the PDF file to write")->required();

  std::string command;
  CLI::App* send =
      app.add_subcommand("send", "send a raw command, as the service console does; prints the answer");
  serialOption(send, serial);
  send->add_option("COMMAND", command, "the command text, e.g. mem.used")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    if (code == 0) {
      std::string text = out.str();
      if (!text.empty() && text.back() != '\n') text += '\n';
      std::fputs(text.c_str(), io.out);
      return kDone;
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
    return kBadArguments;
  }

  setHistoryFlag(historyFlag);
  Session session(io, quiet, verbose);
  if (*list) return listLoggers(session, json);
  if (*download) {
    load.history = !noHistory;
    if (load.format == "xlsx" && !load.all && load.output == "-") {
      session.problem("--format xlsx needs --output FILE: a spreadsheet is no text for standard output");
      return kBadArguments;
    }
    if (load.format == "csv" && !takeLocale(session)) return kBadArguments;
    return cli::download(session, load);
  }
  if (*setTime) return cli::setTime(session, serial);
  if (*firmware) return firmwareUpdate(session, serial, force);
  if (*send) return sendRaw(session, serial, command);
  if (*import) return importFile(session, importing);
  if (*loggersCommand) return cli::loggers(session, overview);
  if (*copy) {
    const int fd = fileno(io.err);
    copying.progress = !quiet && fd >= 0 && isatty(fd);
    return copyHistory(session, copying);
  }
  if (*report) return makeReport(session, reporting);
  if (*limitsCommand) return cli::limits(session, bounds);
  if (*excursionsCommand) return cli::excursions(session, outside);
  if (*history) {
    if (past.format == "xlsx" || !historyOutput.empty()) {
      if (past.format != "xlsx" || historyOutput.empty() || historyOutput == "-" || past.digest) {
        session.problem(
            past.digest ? "--digest prints the digest; it takes no --format xlsx or --output"
            : past.format == "xlsx"
                ? "--format xlsx needs --output FILE: a spreadsheet is no text for standard output"
                : "--output is for --format xlsx; csv and jsonl go to standard output");
        return kBadArguments;
      }
      return historyXlsx(session, past, historyOutput);
    }
    if (past.format == "csv" && !past.digest && !takeLocale(session)) return kBadArguments;
    return cli::history(session, past);
  }
  return kBadArguments;
}

}  // namespace cli
