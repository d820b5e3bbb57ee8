#include "cli/Files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "data/SafeFile.h"

namespace cli {

std::string whyNotWritable(const std::string& path) {
  if (path.empty()) return "no file name";
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return "it is a folder";
  // The export writes a temporary beside the file and renames it: make one, and remove it again.
  SafeFile probe;
  errno = 0;
  if (!probe.open(path)) return errno != 0 ? std::strerror(errno) : "cannot create a file there";
  probe.discard();
  return std::string();
}

std::string whyNotWritableFolder(const std::string& path, bool make) {
  struct stat info;
  if (path.empty()) return "no folder name";
  if (::stat(path.c_str(), &info) != 0 && !(make && errno == ENOENT && ::mkdir(path.c_str(), 0755) == 0))
    return std::strerror(errno);
  if (::stat(path.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return "not a folder";
  return whyNotWritable(path + "/tarnwick-cli-probe");
}

}  // namespace cli
