// The exit statuses of tarnwick-cli (documented in its --help and man page).
#pragma once

namespace cli {

enum ExitStatus : int {
  kDone = 0,
  kFailed = 1,         // the logger refused or broke off the operation, or the link ended
  kBadArguments = 2,   // unknown command or option, missing or bad value, no logger chosen, missing locale
  kNoLogger = 3,       // no logger attached, or none with the serial number given
  kInUse = 4,          // the logger is held by another program
  kNoAnswer = 5,       // the logger did not answer in time
  kUpToDate = 6,       // firmware-update: the logger's firmware is up to date
  kFileError = 7,      // a file or folder could not be written or read
  kNoRecords = 8,      // download: the logger has no records stored
  kSkipped = 9,        // download: done, but records with impossible time stamps were left out
  kRefused = 10,       // firmware-update: the image would overwrite records no download kept
  kNotInHistory = 11,  // download: the file is written, but its records did not go into the history
  // excursions, download: an excursion beyond the logger's limits raises an alarm. Where a download
  // also has 9 or 11 to say, the lower number wins (the alarm is said all the same).
  kExcursionAlarm = 12,
  // verdict, excursions, download: no alarm, but the readings do not cover their period with values
  // that can be trusted (gaps, readings without a value, records not downloaded, readings only from
  // files). Any other status a command has to say wins.
  kIncomplete = 13,
  // history verify, verify: the history or the report does not hold (the message names what).
  kNotVerified = 14,
  // sign: refused (no key registered for this login, a retired key, a wrong passphrase, an approval
  // before a review).
  kRefusedSignature = 15,
};

}  // namespace cli
