#include "data/SafeFile.h"

#include <cerrno>
#include <cstdio>
#include <random>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#endif

namespace {

bool isSeparator(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

// The folder of a path: "." for a bare name; a root keeps its separator ("/", "C:\").
std::string folderOf(const std::string& path) {
  size_t slash = path.size();
  while (slash > 0 && !isSeparator(path[slash - 1])) --slash;
  if (slash == 0) return ".";
  size_t end = slash - 1;
  while (end > 0 && isSeparator(path[end - 1])) --end;
  if (end == 0 || (end == 2 && path[1] == ':')) return path.substr(0, slash);
  return path.substr(0, end);
}

std::string joinPath(const std::string& folder, const std::string& name) {
  return isSeparator(folder.back()) ? folder + name : folder + "/" + name;
}

// Short on purpose: the target's own name may already take nearly all of the 255 bytes a name may have.
std::string temporaryName(const std::string& folder) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 random{std::random_device{}()};
  std::string name = ".~";
  for (int i = 0; i < 6; ++i) name.push_back(kChars[random() % 62]);
  return joinPath(folder, name);
}

#ifndef _WIN32
// Whether the kernel would follow the link `link` (stat of the link itself) for us: in a sticky
// folder that everyone may write (/tmp), only a link of ours or of the folder's owner; anyone could
// have planted any other there. We resolve links ourselves, so the kernel's own guard never applies.
bool mayFollow(const std::string& path, const struct stat& link) {
  if (link.st_uid == geteuid()) return true;
  struct stat folder;
  if (stat(folderOf(path).c_str(), &folder) != 0) return false;
  const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
  return !shared || link.st_uid == folder.st_uid;
}

// Follows symbolic links to the file they name, also to one that does not exist yet. False for a
// link that may not be followed, anywhere in the chain, and for a loop.
bool followLinks(const std::string& path, std::string& target) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    if (!mayFollow(target, st)) {
      errno = EACCES;
      return false;
    }
    std::string link(PATH_MAX, '\0');
    const ssize_t n = readlink(target.c_str(), &link[0], link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) return false;
    link.resize(static_cast<size_t>(n));
    target = link[0] == '/' ? link : joinPath(folderOf(target), link);
  }
  return false;  // a loop of links
}

// Makes a rename in the folder durable. A folder that cannot be opened or synced at all (some file
// systems refuse it) is no failure of the file; an I/O error is.
bool syncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  const bool ok = fsync(fd) == 0 || errno != EIO;
  close(fd);
  return ok;
}
#endif

struct Noted {
  std::string path;
  bool folder;
};

std::mutex& notedLock() {
  static std::mutex* lock = new std::mutex;  // never destroyed: a signal's thread may use it at exit
  return *lock;
}

std::vector<Noted>& noted() {
  static std::vector<Noted>* list = new std::vector<Noted>;
  return *list;
}

}  // namespace

namespace temporaries {

std::unique_lock<std::mutex> hold() {
  return std::unique_lock<std::mutex>(notedLock());
}

void note(const std::unique_lock<std::mutex>&, const std::string& path, bool folder) {
  noted().push_back({path, folder});
}

void forget(const std::unique_lock<std::mutex>&, const std::string& path) {
  std::vector<Noted>& list = noted();
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->path == path) {
      list.erase(it);
      return;
    }
  }
}

void removeAllForExit() {
  notedLock().lock();
  for (const Noted& entry : noted()) {
    if (!entry.folder) std::remove(entry.path.c_str());
  }
  for (const Noted& entry : noted()) {
#ifdef _WIN32
    if (entry.folder) _rmdir(entry.path.c_str());
#else
    if (entry.folder) rmdir(entry.path.c_str());
#endif
  }
  noted().clear();
}

}  // namespace temporaries

SafeFile::~SafeFile() {
  discard();
}

bool SafeFile::open(const std::string& path) {
  discard();
  failed_ = false;
  inPlace_ = false;
  chosen_ = path;
#ifdef _WIN32
  target_ = path;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  const bool folder = exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (exists && !folder && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return false;
  DWORD error = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = temporaryName(folderOf(target_));
    const auto held = temporaries::hold();
    // CREATE_NEW: never take over a file that happens to carry the name already.
    HANDLE handle =
        CreateFileA(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      break;
    }
    fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd_ < 0) {
      CloseHandle(handle);
      DeleteFileA(candidate.c_str());
      return false;
    }
    tempPath_ = candidate;
    temporaries::note(held, tempPath_);
    return true;
  }
  if (exists && !folder && error == ERROR_ACCESS_DENIED) {
    fd_ = _open(target_.c_str(), _O_WRONLY | _O_BINARY);
    inPlace_ = fd_ >= 0;
  }
  return inPlace_;
#else
  if (!followLinks(path, target_)) return false;
  struct stat old;
  const bool exists = stat(target_.c_str(), &old) == 0;
  if (exists) {
    // A folder of that name fails at the rename, as before; devices and pipes are never replaced.
    if (!S_ISREG(old.st_mode) && !S_ISDIR(old.st_mode)) return false;
    if (faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) return false;
  }
  int error = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = temporaryName(folderOf(target_));
    const auto held = temporaries::hold();
    // A replacement starts private and takes the old file's permissions once it is ours; a new file
    // gets what the user's umask gives new files.
    fd_ =
        ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, exists ? 0600 : 0666);
    if (fd_ >= 0) {
      tempPath_ = candidate;
      temporaries::note(held, tempPath_);
      break;
    }
    error = errno;
    if (error != EEXIST) break;
  }
  if (fd_ >= 0) {
    if (exists) {
      // The owner first: a change of owner clears set-id bits that the mode then restores. Only root
      // may give the file away; for anyone else it stays theirs.
      if (fchown(fd_, old.st_uid, old.st_gid) != 0 && fchown(fd_, static_cast<uid_t>(-1), old.st_gid) != 0) {
        // the group, too, stays the user's
      }
      if (fchmod(fd_, old.st_mode & 07777) != 0) {
        // stays private
      }
    }
    return true;
  }
  // A folder that takes no new file: the file itself, when it may be written.
  if (exists && S_ISREG(old.st_mode) && (error == EACCES || error == EPERM)) {
    fd_ = ::open(target_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
      inPlace_ = true;
      return true;
    }
    discard();
  }
  return false;
#endif
}

bool SafeFile::writeAll(const char* data, size_t size) {
  while (size > 0) {
#ifdef _WIN32
    const int n = _write(fd_, data, size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size));
#else
    const ssize_t n = ::write(fd_, data, size);
#endif
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SafeFile::write(const void* data, size_t size) {
  if (fd_ < 0 || failed_) return false;
  if (inPlace_)
    pending_.append(static_cast<const char*>(data), size);
  else if (!writeAll(static_cast<const char*>(data), size))
    failed_ = true;
  return !failed_;
}

bool SafeFile::commit() {
  if (fd_ < 0) return false;
  bool ok = !failed_;
#ifdef _WIN32
  if (inPlace_) ok = ok && _chsize(fd_, 0) == 0 && _lseeki64(fd_, 0, SEEK_SET) == 0;
  if (inPlace_) ok = ok && writeAll(pending_.data(), pending_.size());
  ok = ok && _commit(fd_) == 0;
  ok = _close(fd_) == 0 && ok;
#else
  if (inPlace_) {
    // A removal at a signal waits until the file is whole again.
    const auto held = temporaries::hold();
    ok = ok && ftruncate(fd_, 0) == 0 && lseek(fd_, 0, SEEK_SET) == 0;
    ok = ok && writeAll(pending_.data(), pending_.size());
  }
  ok = ok && fsync(fd_) == 0;
  ok = close(fd_) == 0 && ok;
#endif
  fd_ = -1;
  pending_.clear();
  if (inPlace_ || !ok) {
    discard();
    return ok;
  }
#ifdef _WIN32
  {
    const auto held = temporaries::hold();
    // One step that either replaces the old file or leaves it: never a moment without the file.
    if (MoveFileExA(tempPath_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      temporaries::forget(held, tempPath_);
      tempPath_.clear();
      return true;
    }
  }
  discard();
  return false;
#else
  {
    const auto held = temporaries::hold();
    if (std::rename(tempPath_.c_str(), target_.c_str()) == 0) {
      temporaries::forget(held, tempPath_);
      tempPath_.clear();
    }
  }
  if (!tempPath_.empty()) {
    discard();
    return false;
  }
  return syncFolder(folderOf(target_));
#endif
}

void SafeFile::discard() {
  if (fd_ >= 0) {
#ifdef _WIN32
    _close(fd_);
#else
    close(fd_);
#endif
    fd_ = -1;
  }
  if (!tempPath_.empty()) {
    const auto held = temporaries::hold();
    std::remove(tempPath_.c_str());
    temporaries::forget(held, tempPath_);
    tempPath_.clear();
  }
  pending_.clear();
}
