// Keys and signatures on the command line: key new, key register, key retire and sign.
#pragma once

#include <string>

#include "cli/Session.h"

namespace cli {

// Where a person's key pair is kept: the user's data folder (beside the default history).
std::string secretKeyPath();
std::string publicKeyPath();

// The passphrase: a line read from descriptor `fd` when it is 0 or more, else asked on the terminal
// without echo.
struct PassphraseSource {
  int fd = -1;
};

int keyNew(Session& session, const PassphraseSource& passphrase);
struct KeyRegistration {
  std::string file, name, login;  // login: empty for this computer's user
};
int keyRegister(Session& session, const KeyRegistration& options);
// Retires `fingerprint`, or this user's own key when it is empty.
int keyRetire(Session& session, const std::string& fingerprint);

struct SignOptions {
  std::string serial;
  int sensor = -1;
  std::string from, to;
  std::string meaning, comment;
  bool noReview = false;
  PassphraseSource passphrase;
};
int sign(Session& session, const SignOptions& options);

}  // namespace cli
