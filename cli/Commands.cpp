#include "cli/Commands.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/Files.h"
#include "cli/History.h"
#include "cli/Jsonl.h"
#include "cli/Limits.h"
#include "cli/Spreadsheet.h"
#include "data/LoggerText.h"
#include "data/SafeFile.h"
#include "data/Text.h"
#include "link/Firmware.h"
#include "link/LoggerClock.h"
#include "link/Operations.h"
#include "link/USBInterface.h"

namespace cli {
namespace {

using State = ConsolePort::State;

// The wait for the end of `operation`: its OperationFinished.
std::function<bool(const State&)> finished(Operation operation) {
  return [operation](const State& state) { return state.finished && state.operation == operation; };
}

void reportBoxes(Session& session) {
  for (const std::string& box : session.port().state().boxes) session.problem(printable(box));
}

std::vector<ScannedLogger> scan(Session& session) {
  session.port().beginOperation();
  session.link().scanDevices();
  reportBoxes(session);
  return session.link().lastScan();
}

std::string listOf(const std::vector<ScannedLogger>& loggers) {
  std::string text;
  for (const ScannedLogger& logger : loggers) text += (text.empty() ? "" : ", ") + loggerName(logger);
  return text;
}

// What a logger still had to send from an earlier exchange comes as soon as the link's first reads are
// at it, packet after packet; after this long of silence from then on, nothing more of it comes.
constexpr auto kDrainQuiet = std::chrono::milliseconds(10);
// A logger that keeps answering for longer than this is not drained.
constexpr auto kDrainBound = std::chrono::milliseconds(5000);

// The logger named by --serial, or the only one attached.
int choose(Session& session, const std::string& serial, ScannedLogger& chosen) {
  const std::vector<ScannedLogger> found = scan(session);
  if (found.empty()) {
    session.port().log("No Velmora found");
    session.problem("no logger attached");
    return kNoLogger;
  }
  std::vector<ScannedLogger> matching;
  if (serial.empty()) {
    if (found.size() > 1) {
      session.problem("several loggers attached (" + listOf(found) + "); choose one with --serial");
      return kBadArguments;
    }
    matching = found;
  } else {
    const std::string wanted = ansiFromUtf8(serial);
    std::vector<std::optional<std::string>> serials;
    for (const ScannedLogger& logger : found)
      serials.push_back(logger.hasSerial ? std::optional<std::string>(logger.serialText) : std::nullopt);
    for (size_t index : serialMatches(serials, wanted)) matching.push_back(found[index]);
    if (matching.empty()) {
      session.problem("no logger " + printable(wanted) + " attached (attached: " + listOf(found) + ")");
      return kNoLogger;
    }
    if (matching.size() > 1) {
      session.problem(printable(wanted) + " matches several loggers (" + listOf(matching) +
                      "); give the whole serial number");
      return kBadArguments;
    }
  }
  chosen = matching.front();
  if (chosen.inUse) {
    session.problem(loggerName(chosen) + " is in use by another program");
    return kInUse;
  }
  return kDone;
}

// Connects to the device the scan found, makes sure the link reached that logger, and lets it finish
// what it still sends from an earlier exchange, so that the next answer is the one to this command.
int connectTo(Session& session, const ScannedLogger& logger) {
  USBInterface& usb = session.link();
  ConsolePort& port = session.port();
  port.beginOperation();
  port.log("Ger\xE4t: " + std::to_string(logger.serial));
  operations::drainAnswers(usb, true);
  if (!usb.connectScanned(logger)) {
    operations::drainAnswers(usb, false);
    port.log("USB Connection refused");
    usb.disconnect();
    reportBoxes(session);
    session.problem("cannot connect to " + loggerName(logger) + " (USB Connection refused)");
    return kFailed;
  }
  const State state = port.state();
  if (!state.connected || state.serial != loggerText(logger.serialText)) {
    operations::drainAnswers(usb, false);
    usb.disconnect();
    session.problem("the link reached " + printable(state.serial) + " instead of " + loggerName(logger) +
                    "; nothing sent");
    return kFailed;
  }
  const bool drained = port.waitForQuiet(kDrainQuiet, kDrainBound, [&] {
    return operations::answerReadsPosted(usb) >= 2 || port.state().disconnected;
  });
  operations::drainAnswers(usb, false);
  if (!drained) {
    usb.disconnect();
    session.problem(loggerName(logger) + " keeps sending answers to no command; nothing sent");
    return kFailed;
  }
  return kDone;
}

int open(Session& session, const std::string& serial, ScannedLogger& logger) {
  const int status = choose(session, serial, logger);
  return status != kDone ? status : connectTo(session, logger);
}

// Downloads the connected logger's records, as Download Data does: into the CSV file `target`, or, for
// standard output and the other formats, only into memory.
int downloadTo(Session& session, const ScannedLogger& logger, const DownloadOptions& options,
               const std::string& target, State& state) {
  USBInterface& usb = session.link();
  ConsolePort& port = session.port();
  port.beginOperation();
  if (target == "-" || options.format != "csv") {
    port.keepDownloadInMemory();
  } else {
    port.setSaveAnswer(target);
  }
  port.setProgressLabel(loggerName(logger));
  operations::startDownload(usb);
  port.waitFor(finished(Operation::Download));
  // A transfer that still ends after this is not written anywhere.
  port.setSaveAnswer(std::string());
  state = port.state();
  const std::string name = loggerName(logger);
  switch (state.outcome) {
    case Outcome::Done:
      if (state.savedRecords && state.savedCsv) return kDone;
      session.problem(name + ": the download ended without its records; nothing written");
      return kFailed;
    case Outcome::FileError:
      session.problem(name + ": " + target + " could not be written; nothing written");
      return kFileError;
    case Outcome::NoRecords:
      session.problem(name + " has no records stored; nothing written");
      return kNoRecords;
    case Outcome::NoAnswer:
      session.problem(name + " did not answer (No Answer of Velmora); nothing written");
      return kNoAnswer;
    case Outcome::Disconnected:
      session.problem("the link to " + name + " ended during the download; nothing written");
      return kFailed;
    default:
      session.problem(name + ": the download broke off; nothing written");
      return kFailed;
  }
}

// Puts the downloaded records where the user wants them, when the link did not write that file itself.
int deliver(Session& session, const ScannedLogger& logger, const DownloadOptions& options, const State& state,
            const std::string& target) {
  std::string bytes;
  if (options.format == "jsonl") {
    bytes = jsonLines(*state.savedRecords);
  } else if (options.format == "xlsx") {
    std::string error;
    if (!downloadXlsx(logger, *state.savedRecords, session.io().clock(), bytes, error)) {
      session.problem("the spreadsheet could not be made: " + error);
      return kFileError;
    }
  } else {
    bytes = *state.savedCsv;
  }
  if (target == "-") {
    if (!writeAll(session.io().out, bytes)) {
      session.problem("cannot write to standard output");
      return kFileError;
    }
    return kDone;
  }
  if (options.format == "csv") return kDone;  // the link wrote the file
  SafeFile file;
  if (!file.open(target) || !file.write(bytes.data(), bytes.size()) || !file.commit()) {
    session.problem("cannot write " + target + "; it is as it was");
    return kFileError;
  }
  return kDone;
}

// The version text at the start of the firmware image that Tarnwick carries.
std::string imageVersion() {
  std::vector<uint8_t> image;
  if (!firmware::loadImage(image)) return "?";
  const char* text = reinterpret_cast<const char*>(image.data());
  return printable(std::string(text, strnlen(text, image.size())));
}

std::string shown(const std::string& target) {
  return target == "-" ? std::string("standard output") : target;
}

// Asks the connected logger for its firmware version (device.software), so that the history keeps
// which firmware took the readings; `version` stays empty when the logger refused the command. A
// logger that did not answer is left alone: an answer that came late would otherwise be taken for
// the first step of a firmware update.
int askSoftware(Session& session, const ScannedLogger& logger, std::string& version) {
  ConsolePort& port = session.port();
  port.beginOperation();
  operations::startRawCommandByName(session.link(), "device.software");
  port.waitFor(finished(Operation::RawCommand));
  const State state = port.state();
  if (state.outcome == Outcome::Done) {
    version = operations::softwareVersionIn(state.file);
    return kDone;
  }
  session.link().disconnect();
  if (state.outcome == Outcome::NoAnswer) {
    port.log("No Answer of Velmora");  // as the download's own time-out logs it
    session.problem(loggerName(logger) + " did not answer (No Answer of Velmora); nothing written");
    return kNoAnswer;
  }
  session.problem("the link to " + loggerName(logger) + " ended before the download; nothing written");
  return kFailed;
}

// One logger of a download, from the connected link to the delivered file and the history.
int downloadOne(Session& session, const ScannedLogger& logger, const DownloadOptions& options,
                const std::string& target) {
  std::string firmware;
  int status = askSoftware(session, logger, firmware);
  if (status != kDone) return status;
  State state;
  status = downloadTo(session, logger, options, target, state);
  session.link().disconnect();
  if (status == kDone) status = deliver(session, logger, options, state, target);
  // Records that only standard output failed to take (a closed pipe) still go into the history.
  const bool keep = status == kDone || (status == kFileError && target == "-" && state.savedRecords &&
                                        !state.savedRecords->empty());
  if (!keep) return status;
  const std::vector<messwert_tag>& records = *state.savedRecords;
  const int64_t skipped = state.skipped;
  if (status == kDone) {
    const std::string summary =
        loggerName(logger) + ": " + std::to_string(records.size()) + " records written to " + shown(target);
    if (skipped > 0) {
      // Said even with --quiet: the exit status is not 0.
      session.problem(summary + "; " + std::to_string(skipped) + (skipped == 1 ? " record" : " records") +
                      " skipped (impossible time stamps; -v names them: Fehler Messwert)");
    } else {
      session.note(summary);
    }
  }
  // One connection to the history for the import and the check against the limits.
  history::Store store;
  const bool kept =
      !options.history ||
      importIntoHistory(session, logger, target == "-" ? std::string() : target, records, firmware, &store);
  if (status != kDone) return status;
  const int alarm = downloadAlarms(session, logger.serialText, records, store, skipped);
  // Of several outcomes the lower status wins.
  if (skipped > 0) return kSkipped;
  return kept ? alarm : kNotInHistory;
}

bool sameSerial(const ScannedLogger& a, const ScannedLogger& b) {
  return a.hasSerial == b.hasSerial && a.serialText == b.serialText;
}

// The next logger of a run over several gets a link of its own: the workers of the last one have
// ended, so that nothing they still report falls into this logger's operation. Loggers that carry the
// same serial-number string are told apart by their order in the scan.
int connectAgain(Session& session, const ScannedLogger& logger, size_t sameBefore) {
  session.closeLink();
  for (const ScannedLogger& now : scan(session)) {
    if (sameSerial(now, logger) && sameBefore-- == 0) return connectTo(session, now);
  }
  session.problem(loggerName(logger) + " is gone");
  return kNoLogger;
}

int downloadAll(Session& session, const DownloadOptions& options) {
  const std::string why = whyNotWritableFolder(options.outputDir, true);
  if (!why.empty()) {
    session.problem("cannot write files in " + options.outputDir + ": " + why);
    return kFileError;
  }
  const std::vector<ScannedLogger> found = scan(session);
  if (found.empty()) {
    session.port().log("No Velmora found");
    session.problem("no logger attached");
    return kNoLogger;
  }
  int result = kDone;
  std::vector<std::string> names;  // of this run, folded to lower case
  for (size_t i = 0; i < found.size(); ++i) {
    const ScannedLogger& logger = found[i];
    int status;
    if (logger.inUse) {
      // Another program (the window, most often) has it: reported, left out, and no failure of the run.
      session.problem(loggerName(logger) + " is in use by another program; left out");
      status = kDone;
    } else {
      const std::string target =
          options.outputDir + "/" +
          uniqueFileName(names, logger.serialText, logger.hasSerial, session.io().clock(), options.format);
      const size_t sameBefore = static_cast<size_t>(
          std::count_if(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(i),
                        [&](const ScannedLogger& earlier) { return sameSerial(earlier, logger); }));
      status = connectAgain(session, logger, sameBefore);
      if (status == kDone) status = downloadOne(session, logger, options, target);
    }
    // An empty logger is no failure of a scheduled run; a logger that failed outweighs one whose file
    // is written (with records skipped or not in the history), and of those two the lower status wins.
    const auto written = [](int s) {
      return s == kSkipped || s == kNotInHistory || s == kExcursionAlarm || s == kIncomplete;
    };
    if (status != kDone && status != kNoRecords &&
        (result == kDone || (written(result) && (!written(status) || status < result))))
      result = status;
  }
  return result;
}

}  // namespace

std::vector<size_t> serialMatches(const std::vector<std::optional<std::string>>& serials,
                                  const std::string& wanted) {
  std::vector<size_t> exact, byNumber;
  const bool number =
      !wanted.empty() && wanted.size() <= 10 &&
      std::all_of(wanted.begin(), wanted.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
      strToIntDef0(wanted) != 0;
  for (size_t i = 0; i < serials.size(); ++i) {
    if (!serials[i]) continue;
    if (*serials[i] == wanted) exact.push_back(i);
    if (number && serialNumberFromString(*serials[i]) == strToIntDef0(wanted)) byNumber.push_back(i);
  }
  return exact.empty() ? byNumber : exact;
}

std::string uniqueFileName(std::vector<std::string>& taken, const std::string& serialText, bool hasSerial,
                           std::time_t day, const std::string& extension) {
  const std::string first = scheduledFileName(serialText, hasSerial, day, extension);
  std::string name = first;
  const size_t dateAt = first.rfind('_');
  for (int n = 2;; ++n) {
    std::string folded = name;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (std::find(taken.begin(), taken.end(), folded) == taken.end()) {
      taken.push_back(folded);
      return name;
    }
    name = first.substr(0, dateAt) + "-" + std::to_string(n) + first.substr(dateAt);
  }
}

std::string scheduledFileName(const std::string& serialText, bool hasSerial, std::time_t day,
                              const std::string& extension) {
  // Short enough for any file system's 255 bytes, with room for the date and a suffix.
  constexpr size_t kMaxNameLength = 100;
  std::string name;
  for (char c : serialText.substr(0, kMaxNameLength)) {
    const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || (c == '.' && !name.empty()) || c == '_';
    name.push_back(safe ? c : '_');
  }
  if (!hasSerial || name.empty()) name = "no-serial";
  std::tm local{};
  localtime_r(&day, &local);
  char date[48];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return name + "_" + date + "." + extension;
}

int listLoggers(Session& session, bool json) {
  const std::vector<ScannedLogger> found = scan(session);
  if (json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const ScannedLogger& logger : found) {
      nlohmann::ordered_json entry;
      entry["serial"] = logger.hasSerial ? nlohmann::ordered_json(utf8FromAnsi(logger.serialText)) : nullptr;
      entry["number"] = logger.serial;
      entry["in_use"] = logger.inUse;
      list.push_back(entry);
    }
    std::fprintf(session.io().out, "%s\n", list.dump().c_str());
  } else {
    for (const ScannedLogger& logger : found)
      std::fprintf(session.io().out, "%s\t%s\n",
                   logger.hasSerial ? printable(logger.serialText).c_str() : "-",
                   logger.inUse ? "in use" : "free");
  }
  if (std::fflush(session.io().out) != 0) {
    session.problem("cannot write to standard output");
    return kFileError;
  }
  if (found.empty()) session.note("no logger attached");
  return kDone;
}

int download(Session& session, const DownloadOptions& options) {
  if (options.all) return downloadAll(session, options);
  const std::string& target = options.output;
  if (target != "-") {
    const std::string why = whyNotWritable(target);
    if (!why.empty()) {
      session.problem("cannot write " + target + ": " + why);
      return kFileError;
    }
  }
  ScannedLogger logger;
  const int status = open(session, options.serial, logger);
  if (status != kDone) return status;
  return downloadOne(session, logger, options, target);
}

int setTime(Session& session, const std::string& serial) {
  ScannedLogger logger;
  const int status = open(session, serial, logger);
  if (status != kDone) return status;
  USBInterface& usb = session.link();
  ConsolePort& port = session.port();
  port.beginOperation();
  const std::time_t now = session.io().clock();
  std::tm local{};
  localtime_r(&now, &local);
  const std::string clock = loggerClockText(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                            local.tm_hour, local.tm_min, local.tm_sec);
  operations::startSetTime(usb, clock);
  // The link ends the clock setting: with the logger's answer, its time-out or the link's end.
  port.waitFor(finished(Operation::SetTime));
  const Outcome outcome = port.state().outcome;
  usb.disconnect();
  const std::string name = loggerName(logger);
  if (outcome == Outcome::NoAnswer) {
    session.problem(name + " did not answer the clock setting within " +
                    std::to_string(USBInterface::kAnswerTimeoutMs / 1000) + " s");
    return kNoAnswer;
  }
  if (outcome != Outcome::Done) {
    session.problem(name + ": the clock could not be set (the link failed)");
    return kFailed;
  }
  session.note(name + ": clock set to " + clock);
  if (logger.hasSerial) recordClockSetting(session, logger.serialText, now);
  return kDone;
}

// The image goes to the top of the logger's memory, over its newest records when it holds many.
// kDone when the update may go on; otherwise the link is closed and the reason said.
int checkRecordsKept(Session& session, const ScannedLogger& logger) {
  USBInterface& usb = session.link();
  ConsolePort& port = session.port();
  const std::string name = loggerName(logger);
  port.beginOperation();
  operations::startRecordCount(usb);
  port.waitFor(
      [](const State& state) { return state.counted || finished(Operation::FirmwareUpdate)(state); });
  const State state = port.state();
  if (!state.counted) {
    usb.disconnect();
    if (state.outcome == Outcome::NoAnswer) {
      session.problem(name + " did not answer (No Answer of Velmora); nothing sent");
      return kNoAnswer;
    }
    session.problem("the link to " + name + " ended before the update; nothing sent");
    return kFailed;
  }
  if (firmware::recordsOverwritten(state.recordCount) == 0) return kDone;
  std::string error;
  const int64_t downloaded = downloadedRecords(logger, error);
  if (!firmware::updateLosesRecords(state.recordCount, downloaded)) return kDone;
  operations::cancel(usb);
  usb.disconnect();
  const int64_t lost = firmware::recordsOverwritten(state.recordCount);
  session.problem(name + ": not updated: the image would overwrite " + std::to_string(lost) + " of its " +
                  std::to_string(state.recordCount) + " records (" +
                  std::to_string(firmware::kRecordsBelowImage + 1) + " to " +
                  std::to_string(state.recordCount) + "), and no download in the history holds them" +
                  (error.empty() ? std::string() : " (history: " + printable(error) + ")") +
                  "; run tarnwick-cli download first, or firmware-update --force");
  return kRefused;
}

int firmwareUpdate(Session& session, const std::string& serial, bool force) {
  ScannedLogger logger;
  int status = open(session, serial, logger);
  if (status != kDone) return status;
  if (!force && (status = checkRecordsKept(session, logger)) != kDone) return status;
  USBInterface& usb = session.link();
  ConsolePort& port = session.port();
  port.beginOperation();
  port.setProgressLabel(loggerName(logger));
  // What the window's Firmware Update button does.
  operations::startFirmwareUpdate(usb);
  port.waitFor(finished(Operation::FirmwareUpdate));
  const State state = port.state();
  usb.disconnect();
  if (logger.hasSerial) {
    recordFirmwareSeen(session, logger.serialText, state.software);
    // Updated: it restarts with the image's version.
    if (state.outcome == Outcome::Done) recordFirmwareSeen(session, logger.serialText, imageVersion());
  }
  const std::string name = loggerName(logger);
  switch (state.outcome) {
    case Outcome::Done:
      session.note(name + ": firmware " + printable(state.software) + " updated to " + imageVersion() +
                   "; the logger restarts with it");
      return kDone;
    case Outcome::UpToDate:
      session.note(name + ": Your firmware is up-to-date (" + printable(state.software) + ")");
      return kUpToDate;
    case Outcome::NoAnswer:
      session.problem(name + " did not answer (No Answer of Velmora)");
      return kNoAnswer;
    case Outcome::Disconnected:
      session.problem("the link to " + name + " ended during the update");
      return kFailed;
    default:
      session.problem(name + ": the update failed");
      return kFailed;
  }
}

int sendRaw(Session& session, const std::string& serial, const std::string& command) {
  const std::string text = ansiFromUtf8(command);
  // The console's own word: it opens the console's lower part and goes to no logger.
  if (text == "debug") {
    session.problem(
        "\"debug\" is a word of the window's service console, not a logger command; nothing sent");
    return kBadArguments;
  }
  ScannedLogger logger;
  const int status = open(session, serial, logger);
  if (status != kDone) return status;
  USBInterface& usb = session.link();
  ConsolePort& port = session.port();
  port.beginOperation();
  // Only shown, as on the service console; nothing that comes starts a step of its own, and what
  // a logger still sends from an earlier exchange is told from the answer by its name.
  operations::startRawCommandByName(usb, text);
  port.waitFor(finished(Operation::RawCommand));
  const State state = port.state();
  usb.disconnect();
  const std::string name = loggerName(logger);
  if (state.outcome == Outcome::Done) {
    // A version the logger tells is kept, as the window's service console keeps it.
    const std::string version = operations::softwareVersionIn(state.file);
    if (!version.empty() && logger.hasSerial) recordFirmwareSeen(session, logger.serialText, version);
    std::fprintf(session.io().out, "%s\n", printable(state.file).c_str());
    if (std::fflush(session.io().out) != 0) {
      session.problem("cannot write to standard output");
      return kFileError;
    }
    return kDone;
  }
  if (state.outcome == Outcome::NoAnswer) {
    session.problem(name + " did not answer within " + std::to_string(USBInterface::kAnswerTimeoutMs / 1000) +
                    " s");
    return kNoAnswer;
  }
  session.problem(name + ": the command could not be sent (the link failed)");
  return kFailed;
}

}  // namespace cli
