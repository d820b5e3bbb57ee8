#include "cli/Signatures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/History.h"
#include "cli/HistoryAccess.h"
#include "history/Audit.h"
#include "history/Digest.h"
#include "history/Excursions.h"
#include "history/Signing.h"
#include "history/TimeText.h"

namespace cli {

namespace {

constexpr size_t kMaxPassphrase = 1024;
constexpr size_t kMinPassphrase = 8;
constexpr size_t kMaxKeyFile = 4096;
constexpr size_t kMaxSignerName = 128;

std::string dataFolder() {
  const std::string history = history::Store::defaultPath();
  return history.empty() ? std::string() : std::filesystem::path(history).parent_path().string();
}

// At most `limit` bytes of a line from `fd`, without its line feed; false when none could be read.
bool readLine(int fd, std::string& out, size_t limit) {
  out.clear();
  char c;
  for (;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !out.empty();
    if (c == '\n') return true;
    if (out.size() >= limit) return false;
    out += c;
  }
}

bool askPassphrase(Session& session, const PassphraseSource& source, const char* prompt, std::string& out) {
  if (source.fd >= 0) {
    if (!readLine(source.fd, out, kMaxPassphrase)) {
      session.problem("--passphrase-fd " + std::to_string(source.fd) + ": no passphrase could be read");
      return false;
    }
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return true;
  }
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) {
    session.problem("no terminal to ask the passphrase on; give --passphrase-fd N");
    return false;
  }
  termios before{};
  const bool quiet = ::tcgetattr(tty, &before) == 0;
  if (quiet) {
    termios silent = before;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty, TCSAFLUSH, &silent);
  }
  const ssize_t shown = ::write(tty, prompt, std::strlen(prompt));
  const bool read = readLine(tty, out, kMaxPassphrase);
  if (quiet) ::tcsetattr(tty, TCSAFLUSH, &before);
  const ssize_t ended = ::write(tty, "\n", 1);
  (void)shown;
  (void)ended;
  ::close(tty);
  if (!read) session.problem("no passphrase was given");
  return read;
}

bool readSmallFile(const std::string& path, std::string& out, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  out.clear();
  char chunk[1024];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0 && out.size() <= kMaxKeyFile)
    out.append(chunk, static_cast<size_t>(n));
  ::close(fd);
  if (n < 0 || out.size() > kMaxKeyFile) {
    error = path + (n < 0 ? ": cannot be read" : ": too large for a key file");
    return false;
  }
  return true;
}

// Writes a new file that must not exist yet, with `mode`.
bool writeNewFile(const std::string& path, const std::string& text, mode_t mode, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  bool written = ::fchmod(fd, mode) == 0 &&
                 ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                 ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  if (!written) {
    error = path + ": cannot be written";
    ::unlink(path.c_str());
  }
  return written;
}

bool ownPublicKey(Session& session, history::PublicKey& key) {
  std::string text, error;
  if (!readSmallFile(publicKeyPath(), text, error) || !history::parsePublicKey(text, key, error)) {
    session.problem("you have no key (" + printable(error) + "); tarnwick-cli key new makes one");
    return false;
  }
  return true;
}

bool printableName(const std::string& name) {
  if (name.empty() || name.size() > kMaxSignerName) return false;
  for (const char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

std::string headOf(history::Store& store, std::string& error) {
  std::string head;
  store.auditTrail(
      [&](const history::AuditEntry& e) {
        head = e.hash;
        return true;
      },
      error);
  return head;
}

}  // namespace

std::string secretKeyPath() {
  const std::string folder = dataFolder();
  return folder.empty() ? std::string() : folder + "/signing.key";
}

std::string publicKeyPath() {
  const std::string folder = dataFolder();
  return folder.empty() ? std::string() : folder + "/signing.pub";
}

int keyNew(Session& session, const PassphraseSource& passphrase) {
  const std::string secretPath = secretKeyPath(), publicPath = publicKeyPath();
  if (secretPath.empty()) {
    session.problem("no home folder is known for the key");
    return kFileError;
  }
  std::error_code ignored;
  if (std::filesystem::exists(secretPath, ignored) || std::filesystem::exists(publicPath, ignored)) {
    session.problem("a key exists already (" + printable(secretPath) +
                    "); retire it with tarnwick-cli key retire and move both files away first");
    return kBadArguments;
  }
  std::string first, second;
  if (!askPassphrase(session, passphrase, "Passphrase for the new key: ", first)) return kBadArguments;
  if (passphrase.fd < 0 && !askPassphrase(session, passphrase, "The same again: ", second))
    return kBadArguments;
  if (passphrase.fd < 0 && first != second) {
    session.problem("the two passphrases differ; no key was made");
    return kBadArguments;
  }
  if (first.size() < kMinPassphrase) {
    session.problem("the passphrase is shorter than " + std::to_string(kMinPassphrase) +
                    " characters; no key was made");
    return kBadArguments;
  }
  std::string secretFile, error;
  history::PublicKey key;
  if (!history::newKeyPair(first, secretFile, key, error)) {
    session.problem("no key was made: " + error);
    return kFailed;
  }
  std::filesystem::create_directories(dataFolder(), ignored);
  ::chmod(dataFolder().c_str(), 0700);
  if (!writeNewFile(secretPath, secretFile, 0600, error) ||
      !writeNewFile(publicPath, key.fileText(), 0644, error)) {
    ::unlink(secretPath.c_str());
    session.problem("no key was made: " + printable(error));
    return kFileError;
  }
  std::fprintf(session.io().out,
               "key %s\nsecret key: %s (only you can read it; sealed under your passphrase)\n"
               "public key: %s\n",
               key.fingerprint().c_str(), printable(secretPath).c_str(), printable(publicPath).c_str());
  session.note("have it registered: tarnwick-cli key register " + printable(publicPath) +
               " --name \"Your Name\"");
  return std::fflush(session.io().out) == 0 ? kDone : kFileError;
}

int keyRegister(Session& session, const KeyRegistration& options) {
  std::string text, error;
  history::PublicKey key;
  if (!readSmallFile(options.file, text, error) || !history::parsePublicKey(text, key, error)) {
    session.problem(printable(options.file) + ": " + printable(error));
    return kBadArguments;
  }
  const std::string login = options.login.empty() ? history::thisComputer().user : options.login;
  if (!printableName(options.name) || !printableName(login)) {
    session.problem("--name and --login take 1 to " + std::to_string(kMaxSignerName) +
                    " printable characters");
    return kBadArguments;
  }
  history::Store store;
  if (!openHistory(session, store, historyLocation())) return kFileError;
  std::map<std::string, history::RegisteredKey> keys;
  std::vector<history::KeptSignature> signatures;
  if (!history::readSignatures(store, keys, signatures, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  if (keys.count(key.fingerprint()) > 0) {
    session.problem("the key " + key.fingerprint() + " is registered already (for " +
                    printable(keys[key.fingerprint()].name) + ")");
    return kBadArguments;
  }
  const std::string detail = history::AuditDetail()
                                 .add("public", key.fileText().substr(0, key.fileText().size() - 1))
                                 .add("key", key.fingerprint())
                                 .add("name", options.name)
                                 .add("login", login)
                                 .text();
  if (!store.appendAudit(history::kAuditKeyRegistered, "", 0, detail, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  session.note("key " + key.fingerprint() + " registered for " + printable(options.name) + " (login " +
               printable(login) + ")");
  return kDone;
}

int keyRetire(Session& session, const std::string& fingerprint) {
  std::string wanted = fingerprint;
  if (wanted.empty()) {
    history::PublicKey own;
    if (!ownPublicKey(session, own)) return kBadArguments;
    wanted = own.fingerprint();
  }
  history::Store store;
  if (!openHistory(session, store, historyLocation())) return kFileError;
  std::map<std::string, history::RegisteredKey> keys;
  std::vector<history::KeptSignature> signatures;
  std::string error;
  if (!history::readSignatures(store, keys, signatures, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  const auto it = keys.find(wanted);
  if (it == keys.end() || it->second.retired != 0) {
    session.problem("the key " + printable(wanted) +
                    (it == keys.end() ? " is not registered" : " is retired already"));
    return kBadArguments;
  }
  if (!store.appendAudit(history::kAuditKeyRetired, "", 0, history::AuditDetail().add("key", wanted).text(),
                         error)) {
    session.problem(printable(error));
    return kFileError;
  }
  session.note("key " + wanted + " of " + printable(it->second.name) +
               " retired: it signs nothing new; its signatures stay valid");
  return kDone;
}

int sign(Session& session, const SignOptions& options) {
  if (options.meaning != "reviewed" && options.meaning != "approved" && options.meaning != "released") {
    session.problem("--meaning is reviewed, approved or released");
    return kBadArguments;
  }
  if (options.noReview && options.meaning != "approved") {
    session.problem("--no-review goes with --meaning approved only");
    return kBadArguments;
  }
  history::Store store;
  if (!openHistory(session, store, historyLocation())) return kFileError;
  history::Statement statement;
  int status = historyLogger(session, store, options.serial, false, statement.logger);
  if (status != kDone) return status;
  history::Query query;
  query.logger = statement.logger;
  if (options.sensor >= 0) query.sensors = {static_cast<uint16_t>(options.sensor)};
  std::string error;
  std::vector<history::ClockZoneRow> zones;
  if (!store.clockZones(query.logger, zones, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  const history::ClockOffsets offsets = history::clockOffsets(zones, session.io().clock());
  if ((!options.from.empty() && !parseClockTime(options.from, false, &offsets, query.from, error)) ||
      (!options.to.empty() && !parseClockTime(options.to, true, &offsets, query.to, error))) {
    session.problem((options.from.empty() || query.from != INT64_MIN ? "--to: " : "--from: ") + error);
    return kBadArguments;
  }

  // The signer: a key of this user's, registered for this login and not retired.
  history::PublicKey own;
  if (!ownPublicKey(session, own)) return kRefusedSignature;
  std::map<std::string, history::RegisteredKey> keys;
  std::vector<history::KeptSignature> signatures;
  if (!history::readSignatures(store, keys, signatures, error)) {
    session.problem(printable(error));
    return kFileError;
  }
  const auto key = keys.find(own.fingerprint());
  const std::string login = history::thisComputer().user;
  if (key == keys.end() || key->second.retired != 0 || key->second.login != login) {
    session.problem(
        "not signed: your key " + own.fingerprint() +
        (key == keys.end() ? " is not registered in this history"
         : key->second.retired != 0
             ? " is retired"
             : " is registered for the login " + printable(key->second.login) + ", not " + printable(login)));
    return kRefusedSignature;
  }

  // What is signed: the readings as the history holds them now.
  history::ReadingsDigest digest;
  std::string limitsError;
  history::ExcursionFinder finder([&](uint16_t sensor) {
    history::Limits limits;
    bool set = false;
    if (!store.effectiveLimits(query.logger, sensor, limits, set, limitsError) && limitsError.empty())
      limitsError = "cannot read the limits";
    return set ? limits : history::Limits{};
  });
  int64_t first = 0, last = 0;
  if (!store.scan(
          query,
          [&](const history::StoredRecord& r) {
            if (statement.readings++ == 0) first = r.time;
            last = r.time;
            digest.add(r);
            finder.add(r);
            return limitsError.empty();
          },
          error) ||
      !limitsError.empty()) {
    session.problem(printable(limitsError.empty() ? error : limitsError));
    return kFileError;
  }
  if (statement.readings == 0) {
    session.problem("no readings of " + printable(statement.logger) + " in that range: nothing to sign");
    return kNoRecords;
  }
  const history::ExcursionResult result = finder.finish();
  statement.sensors = query.sensors;
  statement.from = query.from;
  statement.to = query.to;
  statement.period = history::isoWithOffset(first, offsets.at(first).offset) + " to " +
                     history::isoWithOffset(last, offsets.at(last).offset);
  statement.digest = digest.hex();
  statement.verdict = history::verdict(result);
  statement.reasons = std::to_string(result.alarms()) + " alarms, " +
                      std::to_string(result.excursions.size()) + " excursions";
  std::string unread;
  statement.auditHead = headOf(store, unread);
  if (!unread.empty()) {
    session.problem(printable(unread));
    return kFileError;
  }
  error.clear();
  statement.meaning = options.meaning;
  statement.reviewSkipped = options.noReview;
  statement.signerName = key->second.name;
  statement.signerLogin = login;
  statement.keyFingerprint = own.fingerprint();
  const int64_t now = static_cast<int64_t>(session.io().clock());
  statement.time =
      history::isoWithOffset(now + history::localZone(now).offset, history::localZone(now).offset);
  statement.comment = options.comment;

  if (options.meaning == "approved" && !options.noReview) {
    bool reviewed = false;
    for (const history::KeptSignature& kept : signatures)
      reviewed = reviewed ||
                 (kept.statement.meaning == "reviewed" && history::sameSelection(kept.statement, statement));
    if (!reviewed) {
      session.problem(
          "not signed: these readings have no review yet; an approval comes after a review (give "
          "--no-review to approve without one; that is recorded)");
      return kRefusedSignature;
    }
  }

  std::string passphrase, secretFile;
  if (!readSmallFile(secretKeyPath(), secretFile, error)) {
    session.problem("not signed: " + printable(error));
    return kRefusedSignature;
  }
  if (!askPassphrase(session, options.passphrase, "Passphrase of your key: ", passphrase))
    return kRefusedSignature;
  history::SecretKey secret;
  if (!history::openSecretKey(secretFile, passphrase, secret, error) ||
      secret.publicKey().bytes != own.bytes) {
    session.problem("not signed: " +
                    (error.empty() ? std::string("the secret key is not the public key's") : error));
    return kRefusedSignature;
  }
  const std::string text = history::statementText(statement);
  if (!store.appendAudit(history::kAuditSignature, statement.logger, 0,
                         history::signatureDetail(text, secret.sign(text)), error)) {
    session.problem("not signed: " + printable(error));
    return kFileError;
  }
  std::fprintf(session.io().out, "%s %s by %s (%s, key %s) at %s\n%s, %lld readings, %s; digest %s\n",
               printable(statement.logger).c_str(), options.meaning.c_str(),
               printable(statement.signerName).c_str(), printable(login).c_str(), own.fingerprint().c_str(),
               statement.time.c_str(), statement.period.c_str(), static_cast<long long>(statement.readings),
               statement.verdict.c_str(), statement.digest.c_str());
  return std::fflush(session.io().out) == 0 ? kDone : kFileError;
}

}  // namespace cli
