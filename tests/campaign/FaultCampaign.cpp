// The fault campaign: measurement downloads and firmware updates against an in-process virtual
// logger that is unplugged at a random packet, whose command pipe stalls, or that answers with
// garbage, and downloads beside a hostile program at a virtual logger's socket. After every trial the link
// has to re-connect and a clean download has to give the reference file; the user's file must at every moment
// be either as it was or a complete CSV file; nothing may crash, hang or leak.
//
// Trials run in worker processes, a batch each, so that a crash is counted for the trial that
// caused it and the campaign goes on with the next one. A worker that reports nothing for a long
// time is killed and its trial counted as a hang.
//
// usage: fault_campaign [--seed N] [--first N] [--trials N] [--batch N] [--no-fork] [--verbose]
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/HostilePeer.h"
#include "common/LoggerEndpoints.h"
#include "common/RecordingWindow.h"
#include "data/Messwert.h"
#include "data/RegionalFormat.h"
#include "link/LinkAccess.h"
#include "link/USBInterface.h"
#include "platform/DebugOutput.h"
#include "platform/usbdrv/DriverControl.h"
#include "platform/usbdrv/InProcessSource.h"
#include "platform/usbdrv/SocketSource.h"
#include "sim/model/Velmora.h"

// Under AddressSanitizer the worker asks the leak checker itself, so that a leak is reported as one
// and not as the abort the checker ends a process with.
#if defined(__SANITIZE_ADDRESS__)
#define CAMPAIGN_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CAMPAIGN_LEAK_CHECK 1
#endif
#endif
#ifdef CAMPAIGN_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Bounds: far beyond what a step takes on a loaded machine under ThreadSanitizer.
constexpr milliseconds kStepBound{RecordingWindow::kWaitBound};
constexpr milliseconds kQuietFor{150};
// What the window's answer time-out would end: an operation that got nothing in this time.
constexpr milliseconds kNoAnswer{2000};
// A worker that reports nothing for this long is hanging.
constexpr int kWatchdogMs = 180000;
constexpr uint32_t kCleanRecords = 1500;
constexpr uint32_t kCleanSeed = 7;
constexpr char kSerial[] = "VLM12345";
constexpr char kHeader[] =
    "Date;SensorSerialNumber;Humidity;Temperature;HumidityRaw;TemperatureRaw;AmbientTemperature;Comment";
// What the user's file holds before a trial; it must survive every failed download unchanged.
constexpr char kKnownContent[] = "earlier export, must survive a failed download\r\n";

// ---- The window ----

// The trial's window counts the lines a trial waits for and answers the save dialog with the trial's
// file. It keeps no effects: a debug flood brings hundreds of thousands of lines. Per-record and debug
// lines are many and never waited for.
RecordingWindow::Options campaignWindow() {
  RecordingWindow::Options options;
  options.keepEffects = false;
  options.countOnly = [](const std::string& line) {
    return line.rfind("DBG>>>", 0) == 0 || (!line.empty() && line[0] >= '0' && line[0] <= '9');
  };
  options.waitBound = kStepBound;
  return options;
}

// ---- Files ----

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A complete export: the header, then lines of seven fields and a comment, every line ended by CR LF.
bool isCompleteCsv(const std::string& text, std::string* why) {
  const std::string header = std::string(kHeader) + "\r\n";
  if (text.compare(0, header.size(), header) != 0) {
    *why = "no header";
    return false;
  }
  size_t start = header.size();
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      *why = "last line not ended";
      return false;
    }
    const std::string line = text.substr(start, end - start);
    if (std::count(line.begin(), line.end(), ';') != 7 || line.find('\n') != std::string::npos ||
        line.find('\r') != std::string::npos) {
      *why = "bad line '" + line + "'";
      return false;
    }
    const std::string comment = line.substr(line.rfind(';') + 1);
    if (!comment.empty() && comment != "Check sum error") {
      *why = "bad comment in '" + line + "'";
      return false;
    }
    start = end + 2;
  }
  return true;
}

std::vector<std::string> leftovers(const std::string& dir, const std::string& keep) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name != keep) names.push_back(name);
  }
  return names;
}

int threadCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

// ---- Trials ----

enum class Kind {
  DownloadUnplug,
  DownloadStall,
  DownloadHostile,
  FirmwareUnplug,
  FirmwareStall,
  FirmwareHostile,
  DiskFull,
  HostilePeer
};
const char* kindName(Kind k) {
  switch (k) {
    case Kind::DownloadUnplug:
      return "download-unplug";
    case Kind::DownloadStall:
      return "download-stall";
    case Kind::DownloadHostile:
      return "download-hostile";
    case Kind::FirmwareUnplug:
      return "firmware-unplug";
    case Kind::FirmwareStall:
      return "firmware-stall";
    case Kind::FirmwareHostile:
      return "firmware-hostile";
    case Kind::DiskFull:
      return "disk-full";
    case Kind::HostilePeer:
      return "hostile-peer";
  }
  return "?";
}

struct Result {
  bool injected = false;
  bool hang = false;
  bool corrupt = false;
  bool leak = false;
  std::string note;
};

velmora::Options cleanOptions() {
  velmora::Options o;
  o.serial = std::string(kSerial);
  o.records = kCleanRecords;
  o.seed = kCleanSeed;
  return o;
}

uint32_t packetsFor(uint32_t records) {
  return (records + 7) / 8 * 4;
}

class Campaign {
 public:
  Campaign() {
    char pattern[] = "/tmp/tarnwick-campaign-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      std::perror("fault_campaign: mkdtemp");
      std::exit(3);
    }
    dir_ = pattern;
    target_ = dir_ + "/export.csv";
    window_.answerEverySaveDialog(target_);
    win32::SetDebugOutputSink([this](const std::string& line) {
      if (line.find("still running") != std::string::npos) ++stillRunning_;
    });
    setExportFormat(RegionalFormat::german());
    usb_ = std::make_unique<USBInterface>(&window_);
  }
  ~Campaign() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    win32::SetDebugOutputSink(nullptr);
  }

  // A clean download from a clean logger: the file every later clean download must reproduce.
  bool prepare(std::string* why) {
    attach(cleanOptions());
    writeFile(target_, kKnownContent);
    if (!download(why)) return false;
    reference_ = readFile(target_);
    if (!isCompleteCsv(reference_, why)) return false;
    const size_t lines = std::count(reference_.begin(), reference_.end(), '\n');
    if (lines != kCleanRecords + 1) {
      *why = "reference has " + std::to_string(lines) + " lines";
      return false;
    }
    baselineHandles_ = usbdrv::OpenDriverHandles();
    baselineThreads_ = threadCount();
    return true;
  }
  const std::string& reference() const { return reference_; }

  Result run(Kind kind, std::mt19937& random) {
    Result r;
    const uint64_t stallsBefore = stillRunning_.load();
    writeFile(target_, kKnownContent);
    switch (kind) {
      case Kind::DownloadUnplug:
        downloadUnplug(random, r);
        break;
      case Kind::DownloadStall:
        downloadStall(random, r);
        break;
      case Kind::DownloadHostile:
        downloadHostile(random, r);
        break;
      case Kind::FirmwareUnplug:
        firmwareUnplug(random, r);
        break;
      case Kind::FirmwareStall:
        firmwareStall(random, r);
        break;
      case Kind::FirmwareHostile:
        firmwareHostile(random, r);
        break;
      case Kind::DiskFull:
        diskFull(random, r);
        break;
      case Kind::HostilePeer:
        hostilePeer(random, r);
        break;
    }
    if (!r.hang) checkFileAfterFault(r);
    if (!r.hang) recover(r);
    if (!r.hang) checkLeaks(r);
    if (stillRunning_.load() != stallsBefore) {
      r.leak = true;
      r.note += " [a worker outlived its object]";
    }
    if (r.hang || r.corrupt || r.leak) {
      r.note += " | last lines:";
      for (const auto& l : window_.lastLines()) r.note += " {" + l + "}";
    }
    return r;
  }

  // Everything is given back once the link object goes.
  bool finish(std::string* why) {
    usb_.reset();
    usbdrv::DetachAllDevices();
    device_.reset();
    const int handles = usbdrv::OpenDriverHandles(), transfers = usbdrv::OutstandingTransfers();
    if (handles != 0 || transfers != 0 || stillRunning_.load() != 0) {
      *why = "after tear-down: " + std::to_string(handles) + " handles, " + std::to_string(transfers) +
             " transfers open";
      return false;
    }
    return true;
  }

 private:
  // ---- Steps ----

  void attach(const velmora::Options& options) {
    device_ = std::make_shared<velmora::VelmoraDevice>(options, "campaign-" + std::to_string(++devices_));
    usbdrv::AttachDevice(device_);
  }

  // Every link that was opened has ended: all three of its readers have said so.
  bool linkQuiet() const {
    return !usb_->isConnected() &&
           window_.count("Worker thread exits") >= 3 * window_.count("Device connected");
  }

  // Unplugs the logger there is and waits until the link has noticed and ended.
  bool unplugAndSettle(Result& r, const char* step) {
    usbdrv::DetachDevice(device_);
    if (!window_.waitUntil([&] { return linkQuiet(); })) {
      r.hang = true;
      r.note += std::string(" link did not end after unplug (") + step + ")";
      return false;
    }
    return true;
  }

  // As the window does: connect when needed, then start the download.
  bool startDownload() {
    if (!usb_->isConnected() && !connect()) return false;
    LinkAccess(*usb_).packetCount() = 0;
    LinkAccess(*usb_).downloadActive() = true;
    usb_->sendCommand("mem.used");
    return true;
  }
  bool startUpdate() {
    if (!usb_->isConnected() && !connect()) return false;
    LinkAccess(*usb_).packetCount() = 0;
    usb_->sendCommand("device.software");
    return true;
  }
  bool connect() {
    std::vector<int32_t> serials = usb_->scanDevices();
    if (serials.empty()) return false;
    if (!usb_->connect(serials.front())) {
      usb_->disconnect();
      return false;
    }
    return true;
  }

  // A whole clean download into the trial's file.
  bool download(std::string* why) {
    const size_t finished = window_.count("Download finished");
    if (!startDownload()) {
      *why = "no link to the clean logger";
      return false;
    }
    if (!window_.waitUntil([&] { return window_.count("Download finished") > finished; })) {
      *why = "clean download did not finish";
      return false;
    }
    return true;
  }

  // Lines that end an operation, counted before it starts (its first command may fail at once).
  struct Endings {
    std::map<std::string, size_t> before;
  };
  // A log line, or a message box given as "box: " and its text.
  size_t seen(const std::string& ending) const {
    return ending.rfind("box: ", 0) == 0 ? window_.boxCount(ending.substr(5)) : window_.count(ending);
  }
  Endings endings(const std::vector<std::string>& lines) const {
    Endings e;
    for (const auto& l : lines) e.before[l] = seen(l);
    return e;
  }
  bool ended(const Endings& e) const {
    for (const auto& b : e.before)
      if (seen(b.first) > b.second) return true;
    return false;
  }

  // The phase of an operation that a fault interrupted ends when one of its endings shows or the link
  // has ended. A logger that stops answering gets what the window's answer time-out gives it: the
  // phase also ends once nothing of the operation (a data packet, a dialog, the sorted records) has
  // come for kNoAnswer. A loaded machine that still delivers, or an export under way, keeps it going.
  void settle(const Endings& e, bool flood) {
    const size_t sorted = window_.count("sortiert");
    const auto progress = [&] {
      return static_cast<uint64_t>(LinkAccess(*usb_).packetCount().load()) + window_.dialogs() +
             window_.count("sortiert");
    };
    uint64_t last = progress();
    auto since = Clock::now();
    window_.waitUntil([&] {
      if (ended(e) || linkQuiet()) return true;
      if (window_.count("sortiert") > sorted) return false;  // the export ends with one of the endings
      const uint64_t now = progress();
      if (now != last) {
        last = now;
        since = Clock::now();
      }
      return Clock::now() - since >= kNoAnswer;
    });
    // Whatever the ending set off (an export, the rest of a firmware chain) runs out first.
    if (!flood) window_.waitQuiet(kQuietFor);
  }

  // ---- Faults ----

  void downloadUnplug(std::mt19937& random, Result& r) {
    velmora::Options o = cleanOptions();
    o.records = 1 + random() % 4000;
    o.unplugAfter = 1 + static_cast<long>(random() % packetsFor(o.records));
    r.note = "records " + std::to_string(o.records) + ", unplug after DATIN packet " +
             std::to_string(o.unplugAfter);
    if (!unplugAndSettle(r, "before")) return;
    attach(o);
    if (!startDownload()) {
      r.note += " (no link)";
      return;
    }
    if (!window_.waitUntil([&] { return linkQuiet(); })) {
      r.hang = true;
      r.note += " link did not end after the unplug";
    }
    r.injected = !device_->Present();
  }

  // Lifts a stall `delay` after it began (after the logger's own switch stalled the pipe, unless
  // the caller stalled it already), on a helper that the caller joins.
  std::thread unstallLater(uint8_t endpoint, milliseconds delay, bool stalledAlready) {
    auto device = device_;
    return std::thread([device, endpoint, delay, stalledAlready] {
      const auto end = Clock::now() + kStepBound;
      while (!stalledAlready && device->FaultEvents() == 0 && device->Present() && Clock::now() < end)
        std::this_thread::sleep_for(milliseconds(1));
      std::this_thread::sleep_for(delay);
      device->Stall(endpoint, false);
    });
  }

  void downloadStall(std::mt19937& random, Result& r) {
    velmora::Options o = cleanOptions();
    o.stallOutAfter = static_cast<long>(random() % 2);  // before "mem.used", or before "mem.load"
    const milliseconds delay(random() % 1500);
    r.note = "OUT stalls after " + std::to_string(o.stallOutAfter) + " commands for " +
             std::to_string(delay.count()) + " ms";
    if (!unplugAndSettle(r, "before")) return;
    attach(o);
    if (!connect()) {
      r.note += " (no link)";
      return;
    }
    std::thread unstall = unstallLater(ep::kCommandOut, delay, o.stallOutAfter == 0);
    const Endings e = endings({"Download finished", "sendCommand WriteSync failed!"});
    startDownload();
    settleLong(e, r);
    unstall.join();
    r.injected = device_->FaultEvents() > 0;
    keepDevice_ = true;
  }

  // Like settle, but an ending must come: a stalled write always ends within its time-out.
  void settleLong(const Endings& e, Result& r, bool orLinkEnd = false) {
    if (!window_.waitUntil([&] { return ended(e) || (orLinkEnd && linkQuiet()); })) {
      r.hang = true;
      r.note += " no ending came";
      return;
    }
    window_.waitQuiet(kQuietFor);
  }

  velmora::HostileOptions hostileChoice(std::mt19937& random, std::string& what, velmora::Options& o) {
    velmora::HostileOptions h;
    h.seed = random();
    const int switches = 1 + static_cast<int>(random() % 3 == 0);
    for (int i = 0; i < switches; ++i) {
      switch (random() % 8) {
        case 0:
          h.randomAnswers = true;
          what += " random-answers";
          break;
        case 1:
          h.silent = true;
          what += " no-answers";
          break;
        case 2: {
          const int64_t counts[] = {0,
                                    -1,
                                    -8,
                                    -2147483647LL - 1,
                                    16385,
                                    2147483647,
                                    4294967296LL + 9,
                                    99999999999LL,
                                    -999999999999999999LL,
                                    16384};
          h.memUsed = counts[random() % (sizeof counts / sizeof counts[0])];
          what += " mem-used=" + std::to_string(*h.memUsed);
          break;
        }
        case 3:
          h.extraDatIn = 1 + random() % 300;
          what += " extra-datin=" + std::to_string(h.extraDatIn);
          break;
        case 4:
          h.shortPackets = true;
          what += " short-packets";
          break;
        case 5:
          h.debugLinesPerSecond = 1000 + random() % 5000;
          what += " debug-flood=" + std::to_string(h.debugLinesPerSecond);
          break;
        case 6:
          h.oddDescriptors = true;
          what += " odd-descriptors";
          break;
        default: {
          const size_t lengths[] = {0, 1, 3, 126};
          const size_t n = lengths[random() % 4];
          std::string serial = n >= 3 ? "VLM" : "";
          while (serial.size() < n) serial.push_back(static_cast<char>('0' + random() % 10));
          o.serial = serial;
          what += " serial of " + std::to_string(n) + " characters";
        }
      }
    }
    return h;
  }

  void downloadHostile(std::mt19937& random, Result& r) {
    velmora::Options o = cleanOptions();
    o.records = 1 + random() % 3000;
    std::string what;
    o.hostile = hostileChoice(random, what, o);
    r.note = "records " + std::to_string(o.records) + ":" + what;
    if (!unplugAndSettle(r, "before")) return;
    attach(o);
    const Endings e = endings({"Download finished", "No data stored!", "Stored data exceeds memory image",
                               "sendCommand WriteSync failed!", "User abort file open dialog",
                               "File Open Error", "File Write Error"});
    if (o.hostile.debugLinesPerSecond > 0 && connect()) {
      // The download starts into a flood that is already running.
      auto device = device_;
      window_.waitUntil([device] { return device->FaultEvents() >= 300; });
    }
    if (!startDownload()) {
      r.note += " (no link)";
      r.injected = device_->FaultEvents() > 0;
      return;
    }
    settle(e, o.hostile.debugLinesPerSecond > 0);
    r.injected = device_->FaultEvents() > 0 || o.serial->size() != std::strlen(kSerial);
  }

  void firmwareUnplug(std::mt19937& random, Result& r) {
    velmora::Options o = cleanOptions();
    o.software = "V1.09";
    o.unplugAfterDatOut = 1 + static_cast<long>(random() % 956);
    r.note = "unplug after DATOUT packet " + std::to_string(o.unplugAfterDatOut);
    if (!unplugAndSettle(r, "before")) return;
    attach(o);
    if (!startUpdate()) {
      r.note += " (no link)";
      return;
    }
    if (!window_.waitUntil([&] { return linkQuiet(); })) {
      r.hang = true;
      r.note += " link did not end after the unplug";
    }
    r.injected = !device_->Present();
  }

  void firmwareStall(std::mt19937& random, Result& r) {
    velmora::Options o = cleanOptions();
    o.software = "V1.09";
    // 0 to 3: the command pipe stalls before "device.software", "mem.save", "firmware.check" or
    // "firmware.update"; 4: the data pipe stalls before the image.
    const unsigned where = random() % 5;
    const milliseconds delay(random() % 1500);
    if (where < 4) o.stallOutAfter = where;
    r.note = (where < 4 ? "OUT stalls after " + std::to_string(where) + " commands"
                        : std::string("DATOUT stalls")) +
             " for " + std::to_string(delay.count()) + " ms";
    if (!unplugAndSettle(r, "before")) return;
    attach(o);
    if (!connect()) {
      r.note += " (no link)";
      return;
    }
    const uint8_t endpoint = where < 4 ? ep::kCommandOut : ep::kDatOut;
    if (where == 4) device_->Stall(ep::kDatOut, true);
    std::thread unstall = unstallLater(endpoint, delay, where == 0 || where == 4);
    const size_t updates = window_.count("firmware.update=1");
    const Endings e =
        endings({"sendCommand WriteSync failed!", "sendData WriteSync failed!", "box: Update failed"});
    startUpdate();
    // A stalled write fails within its time-out; one freed in time lets the chain go on to the end.
    settleLong(e, r, true);
    unstall.join();
    r.injected = where == 4 || device_->FaultEvents() > 0;
    // An update that went through restarts the logger: it drops off the bus.
    if (window_.count("firmware.update=1") > updates && !window_.waitUntil([&] { return linkQuiet(); })) {
      r.hang = true;
      r.note += " link did not end after the update";
    }
    keepDevice_ = window_.count("firmware.update=1") == updates;
  }

  void firmwareHostile(std::mt19937& random, Result& r) {
    velmora::Options o = cleanOptions();
    o.software = "V1.09";
    o.hostile.seed = random();
    if (random() % 2)
      o.hostile.randomAnswers = true;
    else
      o.hostile.silent = true;
    r.note = o.hostile.silent ? "no answers" : "random answers";
    if (!unplugAndSettle(r, "before")) return;
    attach(o);
    const Endings e = endings({"box: Update failed", "box: Your firmware is up-to-date",
                               "Start firmware update", "sendCommand WriteSync failed!"});
    if (!startUpdate()) {
      r.note += " (no link)";
      return;
    }
    settle(e, false);
    r.injected = device_->FaultEvents() > 0;
  }

  // The disk fills up while the export writes: the file size limit stands in for a full disk.
  void diskFull(std::mt19937& random, Result& r) {
    const rlim_t limit = 1 + random() % (reference_.size() - 1);
    r.note = "file size limit " + std::to_string(limit) + " bytes";
    const size_t failures = window_.count("File Write Error");
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool started = startDownload();
    const bool failed =
        started && window_.waitUntil([&] { return window_.count("File Write Error") > failures; });
    ::setrlimit(RLIMIT_FSIZE, &old);
    if (!started) {
      r.note += " (no link)";
      return;
    }
    if (!failed) {
      r.hang = true;
      r.note += " no write error reported";
    }
    r.injected = failed;
    keepDevice_ = true;
  }

  // A hostile program serves a socket in the run folder of virtual loggers. The scan and connect the
  // window makes before it is shown are not held by the peer (the peers that hold back do so for good;
  // how long the greeting deadline lets one hold is the socket tests' matter), the download from the
  // clean logger beside it finishes, and a link to the peer's own "logger" ends in a failure that is
  // reported.
  void hostilePeer(std::mt19937& random, Result& r) {
    std::vector<hostile::PeerKind> kinds;
    for (hostile::PeerKind k : hostile::kHostileKinds) {
      if (k != hostile::PeerKind::ForeignUid || hostile::CanSwitchUsers()) kinds.push_back(k);
    }
    const hostile::PeerKind kind = kinds[random() % kinds.size()];
    r.note = std::string("peer ") + hostile::KindName(kind);
    char pattern[] = "/tmp/tarnwick-campaign-run-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      r.note += " (no run folder)";
      return;
    }
    const std::string run = pattern;
    usbdrv::EnableVirtualLoggers(run);
    {
      hostile::Peer peer(run, "peer", kind);
      if (usb_->isConnected()) usb_->disconnect();
      const Endings e = endings({"Download finished"});
      const auto start = Clock::now();
      const bool started = startDownload();
      if (Clock::now() - start > kStepBound) {
        r.hang = true;
        r.note += " scan and connect took " +
                  std::to_string(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count()) +
                  " ms";
      }
      if (!started) {
        r.note += " (no link)";
      } else {
        settleLong(e, r);
      }
      if (!r.hang && kind == hostile::PeerKind::StopsReading) {
        usb_->disconnect();
        const std::vector<int32_t> serials = usb_->scanDevices();
        if (std::find(serials.begin(), serials.end(), 777) != serials.end() && usb_->connect(777)) {
          if (!window_.waitUntil([&] { return linkQuiet(); })) {
            r.hang = true;
            r.note += " the link to the peer did not end";
          } else if (usb_->sendCommand("device.serial")) {
            r.hang = true;
            r.note += " a command to the unplugged peer reported no failure";
          }
        }
      }
      r.injected = peer.Connections() > 0;
    }
    usbdrv::DisableVirtualLoggers();
    std::error_code ignored;
    std::filesystem::remove_all(run, ignored);
    keepDevice_ = true;
  }

  // ---- Checks ----

  void checkFileAfterFault(Result& r) {
    const std::string now = readFile(target_);
    std::string why;
    if (now != kKnownContent && !isCompleteCsv(now, &why)) {
      r.corrupt = true;
      r.note += " file after the fault: " + why + " (" + std::to_string(now.size()) + " bytes)";
    }
    const auto extra = leftovers(dir_, "export.csv");
    if (!extra.empty()) {
      r.corrupt = true;
      r.note += " left in the folder: " + extra.front();
    }
  }

  // Back to a clean logger (a new one unless the trial's logger may stay), then a clean download.
  void recover(Result& r) {
    const bool keep = keepDevice_ && device_ && device_->Present();
    keepDevice_ = false;
    if (!keep) {
      if (!unplugAndSettle(r, "recovery")) return;
      attach(cleanOptions());
    }
    writeFile(target_, kKnownContent);
    std::string why;
    if (!download(&why)) {
      r.hang = true;
      r.note += " recovery: " + why;
      return;
    }
    if (readFile(target_) != reference_) {
      r.corrupt = true;
      r.note += " recovery: the clean download differs from the reference";
    }
  }

  void checkLeaks(Result& r) {
    // Workers of an ended link finish on their own. The link releases a reader that was still
    // finishing when it swept at the next scan, connect or disconnect: until then the three reader
    // handles of one such link may stay open. More than that, or a thread more, is a leak.
    const bool settled = window_.waitUntil(
        [&] {
          return usbdrv::OpenDriverHandles() <= baselineHandles_ + 3 && threadCount() <= baselineThreads_;
        },
        kStepBound);
    if (!settled) {
      r.leak = true;
      r.note += " leak: " + std::to_string(usbdrv::OpenDriverHandles()) + " handles (baseline " +
                std::to_string(baselineHandles_) + "), " + std::to_string(threadCount()) +
                " threads (baseline " + std::to_string(baselineThreads_) + ")";
    }
  }

  std::string dir_;
  std::string target_;
  std::string reference_;
  RecordingWindow window_{campaignWindow()};
  std::unique_ptr<USBInterface> usb_;
  std::shared_ptr<velmora::VelmoraDevice> device_;
  int devices_ = 0;
  bool keepDevice_ = false;
  int baselineHandles_ = 0;
  int baselineThreads_ = 0;
  std::atomic<uint64_t> stillRunning_{0};
};

Kind chooseKind(std::mt19937& random) {
  // Weighted towards the download, which touches the user's file.
  const Kind kinds[] = {Kind::DownloadUnplug,  Kind::DownloadUnplug,  Kind::DownloadUnplug,
                        Kind::DownloadHostile, Kind::DownloadHostile, Kind::DownloadHostile,
                        Kind::DownloadStall,   Kind::FirmwareUnplug,  Kind::FirmwareUnplug,
                        Kind::FirmwareStall,   Kind::FirmwareHostile, Kind::DiskFull,
                        Kind::HostilePeer};
  return kinds[random() % (sizeof kinds / sizeof kinds[0])];
}

// ---- Worker process and report ----

struct Config {
  uint32_t seed = 1;
  int first = 0;  // index of the first trial: a failed trial repeats with its seed and index
  int trials = 200;
  int batch = 25;
  bool fork = true;
  bool verbose = false;
};

void emit(int fd, const std::string& line) {
  std::string text = line + "\n";
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void runTrials(const Config& config, Campaign& campaign, int first, int last, int fd);

// Runs trials [first, last) and reports each on `fd`: "S i" when it starts, "R i kind injected hang
// corrupt leak note" when it ends; "P hash" after the reference download; "E leak note" at the end.
int runWorker(const Config& config, int first, int last, int fd) {
  ::signal(SIGXFSZ, SIG_IGN);  // a full "disk" is a failed write, not a dead process
  std::string why;
  bool clean = true;
  {
    Campaign campaign;
    if (!campaign.prepare(&why)) {
      emit(fd, "F " + why);
      return 3;
    }
    emit(fd, "P " + std::to_string(std::hash<std::string>()(campaign.reference())));
    runTrials(config, campaign, first, last, fd);
    clean = campaign.finish(&why);
  }
#ifdef CAMPAIGN_LEAK_CHECK
  if (__lsan_do_recoverable_leak_check() != 0) {
    clean = false;
    why += " the leak checker found leaks (see above)";
  }
#endif
  emit(fd, std::string("E ") + (clean ? "0" : "1 " + why));
  return 0;
}

void runTrials(const Config& config, Campaign& campaign, int first, int last, int fd) {
  for (int i = first; i < last; ++i) {
    std::mt19937 random(config.seed * 1000003u + static_cast<uint32_t>(i));
    const Kind kind = chooseKind(random);
    emit(fd, "S " + std::to_string(i) + " " + kindName(kind));
    const Result r = campaign.run(kind, random);
    std::string note = r.note;
    std::replace(note.begin(), note.end(), '\n', ' ');
    emit(fd, "R " + std::to_string(i) + " " + kindName(kind) + " " + std::to_string(r.injected) + " " +
                 std::to_string(r.hang) + " " + std::to_string(r.corrupt) + " " + std::to_string(r.leak) +
                 " " + note);
  }
}

struct Totals {
  int trials = 0, injected = 0, crashes = 0, hangs = 0, corrupted = 0, leaks = 0;
  std::map<std::string, int> perKind;
  std::string referenceHash;
};

// One report line of a worker: `current` is the trial in progress (-1 between trials), `done` the
// highest trial index reported as ended.
void handleLine(const std::string& line, Totals& t, int& current, int& done, bool verbose, bool& fatal) {
  if (line.empty()) return;
  const char tag = line[0];
  if (tag == 'S') {
    current = std::atoi(line.c_str() + 2);
  } else if (tag == 'R') {
    char kind[64] = {};
    int index = 0, injected = 0, hang = 0, corrupt = 0, leak = 0, consumed = 0;
    std::sscanf(line.c_str(), "R %d %63s %d %d %d %d %n", &index, kind, &injected, &hang, &corrupt, &leak,
                &consumed);
    ++t.trials;
    done = std::max(done, index);
    ++t.perKind[kind];
    t.injected += injected;
    t.hangs += hang;
    t.corrupted += corrupt;
    t.leaks += leak;
    if (verbose || hang || corrupt || leak)
      std::printf("trial %d %s%s%s: %s\n", index, kind, injected ? "" : " (fault did not fire)",
                  hang || corrupt || leak ? " FAILED" : "", line.c_str() + consumed);
    current = -1;
  } else if (tag == 'P') {
    const std::string hash = line.substr(2);
    if (t.referenceHash.empty()) t.referenceHash = hash;
    if (hash != t.referenceHash) {
      std::printf("reference download differs between workers\n");
      ++t.corrupted;
    }
  } else if (tag == 'E') {
    if (line.size() > 2 && line[2] == '1') {
      std::printf("worker tear-down: %s\n", line.c_str() + 4);
      ++t.leaks;
    }
  } else if (tag == 'F') {
    std::printf("campaign cannot start: %s\n", line.c_str() + 2);
    fatal = true;
  }
}

int runForked(const Config& config, Totals& t) {
  int next = config.first;
  const int end = config.first + config.trials;
  while (next < end) {
    const int last = std::min(end, next + config.batch);
    int fds[2];
    if (::pipe(fds) != 0) return 2;
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0) return 2;
    if (pid == 0) {
      ::close(fds[0]);
      const int code = runWorker(config, next, last, fds[1]);
      ::close(fds[1]);
      std::fflush(nullptr);
#ifdef CAMPAIGN_LEAK_CHECK
      std::_Exit(code);  // the leak checker has run already
#else
      std::exit(code);
#endif
    }
    ::close(fds[1]);
    int current = -1, done = next - 1;
    bool fatal = false, killed = false;
    std::string pending;
    for (;;) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, kWatchdogMs) == 0) {
        ::kill(pid, SIGKILL);
        killed = true;
        break;
      }
      char chunk[4096];
      const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
      if (n <= 0) break;
      pending.append(chunk, static_cast<size_t>(n));
      size_t eol;
      while ((eol = pending.find('\n')) != std::string::npos) {
        handleLine(pending.substr(0, eol), t, current, done, config.verbose, fatal);
        pending.erase(0, eol + 1);
      }
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (fatal) return 2;
    const bool exitedClean = !killed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (killed) {
      ++t.hangs;
      std::printf("worker for trials %d..%d stopped reporting in trial %d: killed\n", next, last - 1,
                  current);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 23) {  // the leak checker's exit code
      ++t.leaks;
      std::printf("worker for trials %d..%d: the leak checker found leaks\n", next, last - 1);
    } else if (!exitedClean) {
      ++t.crashes;
      std::printf("worker for trials %d..%d died in trial %d (%s %d)\n", next, last - 1, current,
                  WIFSIGNALED(status) ? "signal" : "exit code",
                  WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    }
    if (current >= 0) {
      // The trial in progress counts as run; the campaign goes on after it.
      ++t.trials;
      done = current;
    }
    if (done < next) return 2;  // no trial got anywhere: going on would repeat the same
    next = done + 1;
  }
  return 0;
}

int runInProcess(const Config& config, Totals& t) {
  int fds[2];
  if (::pipe(fds) != 0) return 2;
  // A reader drains the pipe, so that a long run never blocks on a full pipe.
  std::string text;
  std::thread reader([&] {
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fds[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  });
  runWorker(config, config.first, config.first + config.trials, fds[1]);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  int current = -1, done = -1;
  bool fatal = false;
  size_t start = 0, eol;
  while ((eol = text.find('\n', start)) != std::string::npos) {
    handleLine(text.substr(start, eol - start), t, current, done, config.verbose, fatal);
    start = eol + 1;
  }
  return fatal ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Config config;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--seed" && hasValue) {
      config.seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--first" && hasValue) {
      config.first = std::max(0, std::atoi(argv[++i]));
    } else if (a == "--trials" && hasValue) {
      config.trials = std::atoi(argv[++i]);
    } else if (a == "--batch" && hasValue) {
      config.batch = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--no-fork") {
      config.fork = false;
    } else if (a == "--verbose") {
      config.verbose = true;
    } else {
      std::fprintf(
          stderr,
          "usage: fault_campaign [--seed N] [--first N] [--trials N] [--batch N] [--no-fork] [--verbose]\n"
          "  --seed N    seed of the trial choices (default 1)\n"
          "  --first N   index of the first trial (default 0): a trial repeats with its seed and index\n"
          "  --trials N  number of trials (default 200)\n"
          "  --batch N   trials per worker process (default 25)\n"
          "  --no-fork   run every trial in this process (a crash ends the campaign)\n"
          "  --verbose   one line per trial\n");
      return 2;
    }
  }
  Totals t;
  const auto start = Clock::now();
  const int code = config.fork ? runForked(config, t) : runInProcess(config, t);
  std::printf("per kind:");
  for (const auto& k : t.perKind) std::printf(" %s %d", k.first.c_str(), k.second);
  std::printf(" (seed %u, %.0f s)\n", config.seed,
              std::chrono::duration<double>(Clock::now() - start).count());
  std::printf("campaign: trials %d, faults injected %d, crashes %d, hangs %d, corrupted files %d, leaks %d\n",
              t.trials, t.injected, t.crashes, t.hangs, t.corrupted, t.leaks);
  if (code != 0) return code;
  const bool passed =
      t.trials == config.trials && t.crashes == 0 && t.hangs == 0 && t.corrupted == 0 && t.leaks == 0;
  return passed ? 0 : 1;
}
