#include "cli/Files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

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

bool readWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

PrivateFolder::~PrivateFolder() {
  if (path_.empty()) return;
  const auto held = temporaries::hold();
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  for (const std::string& name : names) ::unlink((path_ + "/" + name).c_str());
  ::rmdir(path_.c_str());
  for (const std::string& path : files_) temporaries::forget(held, path);
  temporaries::forget(held, path_);
}

std::string PrivateFolder::file(const std::string& name) {
  const std::string path = path_ + "/" + name;
  const auto held = temporaries::hold();
  temporaries::note(held, path);
  files_.push_back(path);
  return path;
}

std::string PrivateFolder::create() {
  // $TMPDIR only when it names an absolute folder; anything else in it is ignored.
  std::string base = "/tmp";
  const char* tmp = std::getenv("TMPDIR");
  struct stat info;
  if (tmp != nullptr && tmp[0] == '/' && ::stat(tmp, &info) == 0 && S_ISDIR(info.st_mode)) base = tmp;
  std::string pattern = base + "/tarnwick-cli-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const auto held = temporaries::hold();
  if (::mkdtemp(name.data()) == nullptr) return std::strerror(errno);  // mkdtemp makes it 0700
  path_ = name.data();
  temporaries::note(held, path_, true);
  return std::string();
}

}  // namespace cli
