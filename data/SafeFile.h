// A file that is written completely or not at all, and that keeps what the user set on the file it
// replaces.
//
// The bytes go to a temporary file beside the target (same directory, so the final rename stays on
// one file system); only when every byte was written and synced does the temporary take the target's
// name, and then the directory is synced too. On any failure the temporary is removed and a file
// already there under the target's name is left as it was.
//
// A symbolic link is followed: the file it points to is replaced and the link stays. As the kernel
// does for links it follows, a link in a sticky folder that everyone may write (/tmp) is followed
// only when it is ours or the folder owner's; any other such link, anywhere in a chain of links, is
// refused. A file the user may not write is refused. The new file keeps the old one's permissions (and, where
// the system lets us, its owner and group); a new file gets the usual permissions for new files. Where the
// folder takes no new file but the file itself may be written, the file is written in place at commit.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

// The temporaries a process has made and not yet renamed or removed: SafeFile's, from their creation
// on, and what a caller notes itself (a private folder and the files it hands out). A process that is
// stopped by a signal removes them with removeAllForExit() before it ends.
namespace temporaries {
// Held while a temporary is made and noted (or renamed and forgotten), so that a removal never falls
// between the two.
std::unique_lock<std::mutex> hold();
void note(const std::unique_lock<std::mutex>& held, const std::string& path, bool folder = false);
void forget(const std::unique_lock<std::mutex>& held, const std::string& path);
// Removes every noted file, then every noted folder, and keeps the lock for good, so that no
// temporary is made or renamed after it: for a process about to end.
void removeAllForExit();
}  // namespace temporaries

class SafeFile {
 public:
  SafeFile() = default;
  ~SafeFile();  // discards a temporary that was not committed
  SafeFile(const SafeFile&) = delete;
  SafeFile& operator=(const SafeFile&) = delete;

  // Prepares the writing of `path`. False when the file may not be written or nothing can be
  // created for it (missing or read-only folder, a target that is no regular file or folder).
  bool open(const std::string& path);
  // Appends bytes. A failure is remembered and makes commit fail.
  bool write(const void* data, size_t size);
  // Syncs the bytes and puts them under the target's name. False on any failure, after which the
  // temporary is gone and the target unchanged (written in place, the target may be cut short).
  bool commit();
  // Drops what was written without touching the target.
  void discard();

  // The folder takes no new file: the target is truncated and written at commit, without a temporary.
  bool inPlace() const { return inPlace_; }
  const std::string& temporaryPath() const { return tempPath_; }
  // The path as it was chosen (before its links were followed).
  const std::string& chosenPath() const { return chosen_; }

 private:
  bool writeAll(const char* data, size_t size);

  int fd_ = -1;
  bool failed_ = false;
  bool inPlace_ = false;
  std::string chosen_;
  std::string target_;  // the chosen path with its symbolic links followed
  std::string tempPath_;
  std::string pending_;  // in place: the bytes, written at commit
};
