// What the fuzz targets share: reading an input piece by piece, the window port's settings, and a
// scratch folder for the files a target makes.
//
// The targets build with libFuzzer (fuzz/CMakeLists.txt) and, for the replay of kept inputs, with the
// normal compiler and a small driver of their own (tests/fuzz/ReplayMain.cpp).
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/common/RecordingWindow.h"

namespace fuzz {

// Stops the run where an expectation about the code under test fails: the fuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz expectation failed: %s\n", what);
  std::abort();
}

// Takes bytes off the front of an input; past its end every read gives zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
    return v;
  }
  // Exactly `count` bytes (fewer when the input ends) in a vector of exactly that size, so that a
  // read past them is an overflow the address sanitizer sees.
  std::vector<uint8_t> bytes(size_t count) {
    count = std::min(count, size_ - pos_);
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + count);
    pos_ += count;
    return out;
  }
  size_t left() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The window of every target: counts, keeps no effects (tests/common/RecordingWindow.h).
inline RecordingWindow::Options windowOptions() {
  RecordingWindow::Options options;
  options.keepEffects = false;
  return options;
}

// A private folder for the run's files, made once.
inline const std::string& scratchDir() {
  static const std::string dir = [] {
    // In memory where the system has it: a finished file is synced to its disk, which on a disk
    // would make the disk, not the code, the measure of a run.
    std::error_code error;
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", error)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string path = (base / ("tarnwick-fuzz-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(path);
    return path;
  }();
  static const bool cleanup = [] {
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratchDir(), ignored);
    });
    return true;
  }();
  (void)cleanup;
  return dir;
}

}  // namespace fuzz
