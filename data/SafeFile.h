// A file that is written completely or not at all.
//
// The bytes go to a temporary file beside the target (same directory, so the final rename stays on
// one file system); only when every byte was written and the file closed cleanly does the temporary
// take the target's name. On any failure the temporary is removed and a file already there under the
// target's name is left as it was.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

class SafeFile {
 public:
  SafeFile() = default;
  ~SafeFile();  // discards a temporary that was not committed
  SafeFile(const SafeFile&) = delete;
  SafeFile& operator=(const SafeFile&) = delete;

  // Creates the temporary for `path`. False when it cannot be created (missing or read-only directory).
  bool open(const std::string& path);
  // Appends bytes to the temporary. A failure is remembered and makes commit fail.
  bool write(const void* data, size_t size);
  // Flushes and closes the temporary and renames it to the target. False on any failure, after
  // which the temporary is gone and the target unchanged.
  bool commit();
  // Drops the temporary without touching the target.
  void discard();

  const std::string& temporaryPath() const { return tempPath_; }
  const std::string& targetPath() const { return path_; }

 private:
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  std::string path_;
  std::string tempPath_;
};
