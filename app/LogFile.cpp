#include "LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

LogFile::~LogFile() {
  if (fd_ >= 0) close(fd_);
}

bool LogFile::open(const std::string& path, std::string& why) {
  path_ = path;
  return openFile(why);
}

bool LogFile::openFile(std::string& why) {
  // No link is followed, and a pipe without a reader fails at once instead of blocking the window.
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    why = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
    return false;
  }
  // Checked on what was opened, not on the name, which another user could change in between.
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "it is no regular file";
  } else if (st.st_uid != geteuid()) {
    why = "it belongs to another user";
  } else {
    size_ = st.st_size;
    return true;
  }
  close(fd_);
  fd_ = -1;
  return false;
}

void LogFile::rotate() {
  close(fd_);
  fd_ = -1;
  std::string why;
  if (std::rename(path_.c_str(), (path_ + ".1").c_str()) == 0 && openFile(why)) return;
  // Kept bounded all the same: the file starts again from empty.
  std::fprintf(stderr, "tarnwick: cannot start a new log file %s: %s\n", path_.c_str(),
               why.empty() ? std::strerror(errno) : why.c_str());
  if (openFile(why) && ftruncate(fd_, 0) == 0) size_ = 0;
}

void LogFile::append(const char* data, size_t size) {
  if (fd_ >= 0 && size_ > 0 && size_ + static_cast<long long>(size) > limit_) rotate();
  while (fd_ >= 0 && size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk drops the copy's lines, never the window's
    data += n;
    size -= static_cast<size_t>(n);
    size_ += n;
  }
}
