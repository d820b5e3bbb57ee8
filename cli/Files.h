// The files of tarnwick-cli: checks made before any logger is touched.
#pragma once

#include <string>

namespace cli {

// Empty when a file can be written at `path` (through SafeFile: complete or not at all); else why not.
std::string whyNotWritable(const std::string& path);
// Empty when files can be written in the folder `path`; else why not. With `make`, a missing folder is
// made (only the folder itself, mode 0755 under the umask).
std::string whyNotWritableFolder(const std::string& path, bool make = false);

}  // namespace cli
