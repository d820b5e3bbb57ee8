// Runs of tarnwick-cli in this process against loggers attached in process, and what the window's
// export writes for the same records.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "common/RecordingWindow.h"
#include "data/Messwert.h"
#include "link/CsvExport.h"
#include "link/LinkAccess.h"
#include "link/USBInterface.h"
#include "platform/usbdrv/DriverControl.h"
#include "platform/usbdrv/InProcessSource.h"
#include "sim/model/Velmora.h"

namespace clitest {

struct Run {
  int status;
  std::string out;
  std::string err;
};

inline std::string readAll(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  return text;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// 2026-03-07 14:05:09 local time.
inline std::time_t fixedClock() {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 2;
  t.tm_mday = 7;
  t.tm_hour = 14;
  t.tm_min = 5;
  t.tm_sec = 9;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

inline Run runCli(std::vector<std::string> args, const std::function<void(cli::Io&)>& adjust = nullptr) {
  args.insert(args.begin(), "tarnwick-cli");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), std::fclose),
      err(std::tmpfile(), std::fclose);
  cli::Io io;
  io.out = out.get();
  io.err = err.get();
  io.clock = fixedClock;
  if (adjust) adjust(io);
  Run run;
  run.status = cli::run(static_cast<int>(argv.size()), argv.data(), io);
  run.out = readAll(out.get());
  run.err = readAll(err.get());
  return run;
}

// The records a logger holds, in the order the download sorts them.
inline std::vector<messwert_tag> loggerRecords(const std::vector<uint8_t>& memory, uint32_t count) {
  std::vector<messwert_tag> records;
  for (uint32_t i = 0; i < count; ++i) records.push_back(messwert::fromBytes(memory.data() + i * 32));
  messwert::sortRecords(records);
  return records;
}

// The file the window's Download Data writes for these records in these regional formats.
inline std::string windowExport(const std::vector<messwert_tag>& records, const RegionalFormat& format,
                                const std::filesystem::path& file) {
  RecordingWindow window;
  USBInterface link(&window);
  LinkAccess(link).measurements() = records;
  LinkAccess(link).memUsed() = static_cast<int32_t>(records.size());
  LinkAccess(link).downloadActive() = true;
  window.answerSaveDialog(file.string());
  exportMeasurements(link, format);
  return readFile(file);
}

// A German locale compiled into a private folder (LOCPATH), for machines that have the locale's
// sources but not the compiled locale. Empty when it cannot be made.
inline std::string germanLocalePath() {
  static const std::string path = [] {
    char pattern[] = "/tmp/tarnwick-locale-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return std::string();
    const std::string dir = pattern;
    const std::string command = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    return std::system(command.c_str()) == 0 ? dir : std::string();
  }();
  return path;
}

// A scratch folder and the in-process driver: every test starts with no logger attached.
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    usbdrv::DetachAllDevices();
    dir_ = std::filesystem::temp_directory_path() /
           ("tarnwick-cli-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter_));
    std::filesystem::create_directories(dir_);
    ::setenv("LC_ALL", "C", 1);
    // Commands note what they learn in the history: never in the history of whoever runs the tests,
    // and beside the scratch folder, whose contents tests look at.
    ::setenv("XDG_DATA_HOME", (dir_.string() + "-share").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("XDG_DATA_HOME");
    usbdrv::DetachAllDevices();
    std::filesystem::remove_all(dir_);
    std::filesystem::remove_all(dir_.string() + "-share");
    ::unsetenv("LOCPATH");
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(usbdrv::OpenDriverHandles(), 0);
    EXPECT_EQ(usbdrv::OutstandingTransfers(), 0);
  }

  std::shared_ptr<velmora::VelmoraDevice> attach(velmora::Options options = {}) {
    auto device = std::make_shared<velmora::VelmoraDevice>(options, "cli-test-" + std::to_string(++ids_));
    usbdrv::AttachDevice(device);
    return device;
  }
  static velmora::Options logger(const std::string& serial, uint32_t records = 300) {
    velmora::Options options;
    options.serial = serial;
    options.records = records;
    return options;
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  std::filesystem::path dir_;

 private:
  static inline int counter_ = 0;
  int ids_ = 0;
};

}  // namespace clitest
