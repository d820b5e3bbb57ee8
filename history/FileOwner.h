// Whose a CSV file is: the one rule the window and the command line follow before a file's records
// join a logger's history.
#pragma once

#include <string>
#include <vector>

#include "data/Messwert.h"

namespace history {

class Store;

struct FileOwner {
  std::string known;      // the logger whose download the history wrote to this file; empty: none
  std::string suggested;  // else a logger the file's contents or its name point to; empty: none
};

// `file` is the file's key in the history (fileKey), `stem` its name without folder and extension in
// the loggers' encoding. A file is the download of the logger the history wrote it for; for any other
// file the logger whose downloads show the same first lines is suggested, else a logger named like
// the file. False, with the reason, when the history cannot be read: no guess is made then.
bool fileOwner(Store& store, const std::string& file, const std::string& stem,
               const std::vector<messwert_tag>& records, const std::vector<bool>& checksumError,
               FileOwner& owner, std::string& error);

}  // namespace history
