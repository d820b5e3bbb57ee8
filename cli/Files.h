// The files of tarnwick-cli: checks made before any logger is touched, and a private folder for
// the window's export when the user's output is not that file.
#pragma once

#include <string>
#include <vector>

namespace cli {

// Empty when a file can be written at `path` (through SafeFile: complete or not at all); else why not.
std::string whyNotWritable(const std::string& path);
// Empty when files can be written in the folder `path`; else why not. With `make`, a missing folder is
// made (only the folder itself, mode 0755 under the umask).
std::string whyNotWritableFolder(const std::string& path, bool make = false);

bool readWholeFile(const std::string& path, std::string& bytes);

// A folder only this user can enter (0700), under $TMPDIR or /tmp; removed with its files when this goes,
// and by temporaries::removeAllForExit() when a signal stops the program.
class PrivateFolder {
 public:
  PrivateFolder() = default;
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  // Empty when the folder was made; else why not.
  std::string create();
  // The path of a file in the folder; it goes with the folder.
  std::string file(const std::string& name);

 private:
  std::string path_;
  std::vector<std::string> files_;
};

}  // namespace cli
