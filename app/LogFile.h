// The copy of the log in $TARNWICK_LOG_FILE, for support requests and for scripts that follow the
// program.
//
// The file is the user's own: a symbolic link, a file that is not a regular file and a file of
// another user are refused, and a new file is readable by the user only (0600). It is bounded: once
// it would grow past the limit it becomes "<name>.1", replacing the one before, and a new file starts.
#pragma once

#include <cstddef>
#include <string>

class LogFile {
 public:
  static constexpr long long kDefaultLimit = 16LL << 20;  // 16 MiB per file, two files at most

  explicit LogFile(long long limit = kDefaultLimit) : limit_(limit) {}
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens the file for appending, creating it if need be. False, with the reason, when it is refused.
  bool open(const std::string& path, std::string& why);
  // Appends the bytes at once (readable at once, and nothing lost when closing ends the process).
  // A write that would take the file past the limit starts a new file first.
  void append(const char* data, size_t size);
  const std::string& path() const { return path_; }

 private:
  bool openFile(std::string& why);
  void rotate();

  std::string path_;
  int fd_ = -1;
  long long size_ = 0;
  long long limit_;
};
