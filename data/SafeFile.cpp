#include "data/SafeFile.h"

#include <atomic>
#include <cerrno>
#include <random>

namespace {

// Distinguishes temporaries of concurrent writers, in this process and in others.
std::string temporaryName(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  static const unsigned seed = std::random_device{}();
  return path + "." + std::to_string(seed) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
}

}  // namespace

SafeFile::~SafeFile() {
  discard();
}

bool SafeFile::open(const std::string& path) {
  discard();
  path_ = path;
  failed_ = false;
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string candidate = temporaryName(path);
    errno = 0;
    // "x": never take over a file that happens to carry the name already.
    file_ = std::fopen(candidate.c_str(), "wbx");
    if (file_ != nullptr) {
      tempPath_ = candidate;
      return true;
    }
    if (errno != EEXIST) break;
  }
  return false;
}

bool SafeFile::write(const void* data, size_t size) {
  if (file_ == nullptr || failed_) return false;
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) failed_ = true;
  return !failed_;
}

bool SafeFile::commit() {
  if (file_ == nullptr) return false;
  if (std::fflush(file_) != 0 || std::ferror(file_) != 0) failed_ = true;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (failed_ || !closed) {
    discard();
    return false;
  }
  bool renamed = std::rename(tempPath_.c_str(), path_.c_str()) == 0;
#ifdef _WIN32
  // Windows does not rename over an existing file; the old file goes first.
  if (!renamed && std::remove(path_.c_str()) == 0)
    renamed = std::rename(tempPath_.c_str(), path_.c_str()) == 0;
#endif
  if (!renamed) {
    discard();
    return false;
  }
  tempPath_.clear();
  return true;
}

void SafeFile::discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!tempPath_.empty()) {
    std::remove(tempPath_.c_str());
    tempPath_.clear();
  }
}
