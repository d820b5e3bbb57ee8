// velmora-sim processes in a private run folder, and the USB I/O layer's view of them.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/LoggerEndpoints.h"
#include "platform/usbdrv/DeviceSource.h"
#include "platform/usbdrv/DriverControl.h"
#include "platform/usbdrv/DriverInterface.h"
#include "platform/usbdrv/SocketSource.h"
#include "sim/model/Velmora.h"
#include "usbio/UsbBuf.h"
#include "usbio/UsbDevice.h"
#include "usbio/UsbPipe.h"

extern char** environ;

namespace vsimtest {

// Far beyond anything a step takes; reaching it means something hangs.
constexpr int kBoundMs = 60000;

inline bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline bool Exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// A temporary run folder, emptied and removed at the end.
class RunDir {
 public:
  RunDir() {
    char pattern[] = "/tmp/vsim-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made != nullptr) path_ = made;
  }
  ~RunDir() {
    if (path_.empty()) return;
    for (const auto& name : Entries()) ::unlink(File(name).c_str());
    ::rmdir(path_.c_str());
  }
  RunDir(const RunDir&) = delete;
  RunDir& operator=(const RunDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(path_.c_str())) {
      while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

// One velmora-sim process. Killed at the end if it still runs.
class Sim {
 public:
  Sim() = default;
  // A sim still running is stopped as a user would: it must end cleanly (sanitizer reports in the
  // sim make its exit code non-zero).
  ~Sim() {
    if (pid_ > 0) {
      EXPECT_TRUE(Stop());
    }
    if (out_ >= 0) ::close(out_);
  }
  Sim(const Sim&) = delete;
  Sim& operator=(const Sim&) = delete;

  // Starts the sim in `dir` and waits for its one "attached" line. With `asUser` it runs as that user
  // (through setpriv, which needs root).
  ::testing::AssertionResult Start(const std::string& dir, std::vector<std::string> args, int asUser = -1) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return ::testing::AssertionFailure() << "pipe";
    args.insert(args.begin(), {VELMORA_SIM_PATH, "--run-dir", dir});
    if (asUser >= 0) {
      const std::string id = std::to_string(asUser);
      args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
    if (spawned != 0) {
      pid_ = -1;
      return ::testing::AssertionFailure() << "cannot start " << VELMORA_SIM_PATH;
    }
    // Everything up to the first newline; the sim prints nothing else on stdout.
    while (line_.find('\n') == std::string::npos) {
      char chunk[256];
      const ssize_t n = ReadOut(chunk, sizeof(chunk));
      if (n <= 0)
        return ::testing::AssertionFailure() << "no attached line from the sim, got '" << line_ << "'";
      line_.append(chunk, static_cast<size_t>(n));
    }
    line_.erase(line_.find('\n'));
    const std::string marker = " attached at ";
    const size_t at = line_.find(marker);
    if (line_.rfind("velmora-sim: ", 0) != 0 || at == std::string::npos) {
      return ::testing::AssertionFailure() << "unexpected line '" << line_ << "'";
    }
    socket_ = line_.substr(at + marker.size());
    return ::testing::AssertionSuccess();
  }

  const std::string& Line() const { return line_; }
  const std::string& Socket() const { return socket_; }
  std::string SocketName() const { return socket_.substr(socket_.rfind('/') + 1); }
  pid_t Pid() const { return pid_; }
  void Signal(int signal) const { ::kill(pid_, signal); }

  // Sockets the sim has open: its listener and one per client it still serves.
  int OpenSockets() const {
    const std::string fds = "/proc/" + std::to_string(pid_) + "/fd";
    int count = 0;
    if (DIR* d = ::opendir(fds.c_str())) {
      while (const dirent* e = ::readdir(d)) {
        char target[64] = {};
        if (::readlink((fds + "/" + e->d_name).c_str(), target, sizeof(target) - 1) > 0 &&
            std::strncmp(target, "socket:", 7) == 0) {
          ++count;
        }
      }
      ::closedir(d);
    }
    return count;
  }

  // Waits (bounded) until the sim has ended; its wait status, or -1 if it did not end.
  int WaitExit() {
    if (pid_ <= 0) return status_;
    // Its stdout closes when it ends: wait for that instead of polling the process.
    char chunk[256];
    ssize_t n;
    while ((n = ReadOut(chunk, sizeof(chunk))) > 0) {
    }
    int status = 0;
    if (n == 0) {
      // End of file: the process is exiting (it never closes stdout itself).
      ::waitpid(pid_, &status, 0);
    } else {
      // Say what the sim was doing, for the failure message.
      hang_ = ProcessState();
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      status = -1;
    }
    pid_ = -1;
    status_ = status;
    return status;
  }

  // Stops the sim as a user would and tells whether it ended cleanly with exit code 0.
  ::testing::AssertionResult Stop(int signal = SIGTERM) {
    Signal(signal);
    const int status = WaitExit();
    if (status == -1) return ::testing::AssertionFailure() << "the sim did not end (" << hang_ << ")";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return ::testing::AssertionFailure() << "the sim ended with wait status " << status;
    }
    return ::testing::AssertionSuccess();
  }

 private:
  // State and kernel wait channel of each of the sim's threads, from /proc.
  std::string ProcessState() const {
    std::string state;
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    if (DIR* d = ::opendir(tasks.c_str())) {
      while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream stat(tasks + "/" + e->d_name + "/stat"), wchan(tasks + "/" + e->d_name + "/wchan");
        std::string line, channel;
        std::getline(stat, line);
        std::getline(wchan, channel);
        const size_t close = line.rfind(')');
        state += std::string(e->d_name) + ":" +
                 (close == std::string::npos ? "?" : line.substr(close + 2, 1)) + "/" + channel + " ";
      }
      ::closedir(d);
    }
    return state.empty() ? "no such process" : "threads " + state;
  }

  ssize_t ReadOut(char* buffer, size_t size) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, kBoundMs) <= 0) return -1;
    return ::read(out_, buffer, size);
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string line_;
  std::string socket_;
  std::string hang_;
};

// A configured logger opened through the USB I/O layer, as the link opens one: a control handle and
// one pipe per endpoint it uses.
class Logger {
 public:
  ~Logger() { Close(); }

  uint32_t Open(int number) {
    HDEVINFO list = CUsbDevice::BuildDeviceList(&g_UsbDrvInterfaceGuid);
    if (list == nullptr) return 0xFFFFFFFFu;
    uint32_t status = control.OpenDevice(number, list, &g_UsbDrvInterfaceGuid, true);
    if (status == 0) {
      UsbConfiguration configuration{};
      configuration.interfaceCount = 1;
      configuration.interfaces[0].maxTransferSize = 4096;
      status = control.ConfigureDevice(&configuration);
    }
    const struct {
      CUsbPipe* pipe;
      uint8_t endpoint;
    } pipes[] = {
        {&out, ep::kCommandOut}, {&datOut, ep::kDatOut}, {&answers, ep::kAnswerIn}, {&data, ep::kDatIn}};
    for (const auto& p : pipes) {
      if (status == 0) status = p.pipe->BindPipe(number, p.endpoint, list, &g_UsbDrvInterfaceGuid, true);
    }
    CUsbDevice::DestroyDeviceList(list);
    return status;
  }

  void Close() {
    for (CUsbDevice* d : std::initializer_list<CUsbDevice*>{&data, &answers, &datOut, &out, &control}) {
      d->CloseDevice();
    }
  }

  uint32_t Write(CUsbPipe& pipe, const std::vector<uint8_t>& bytes) {
    uint32_t length = static_cast<uint32_t>(bytes.size());
    return pipe.WriteSync(bytes.data(), &length, kBoundMs);
  }

  uint32_t Command(const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return Write(out, bytes);
  }

  // One answer packet as text up to its zero byte, or "<status ...>" when the read fails.
  std::string Answer() {
    uint8_t bytes[64] = {};
    CUsbBuf buffer(bytes, sizeof(bytes));
    buffer.bytesToTransfer = sizeof(bytes);
    answers.SubmitRead(&buffer);
    const uint32_t status = answers.WaitForBuffer(&buffer, kBoundMs);
    if (status != 0) {
      if (status == usbstatus::kTimeout) {
        answers.AbortTransfers();
        answers.WaitForBuffer(&buffer, kBoundMs);
      }
      char text[32];
      std::snprintf(text, sizeof(text), "<status 0x%08X>", status);
      return text;
    }
    const std::string text(reinterpret_cast<char*>(bytes), buffer.bytesTransferred);
    return text.substr(0, text.find('\0'));
  }

  CUsbDevice control;
  CUsbPipe out, datOut, answers, data;
};

// Keeps `count` reads in flight on a pipe and hands out their results in order, as the link's
// workers do.
class ReadStream {
 public:
  ReadStream(CUsbPipe& pipe, int count, uint32_t size = 64) : pipe_(pipe), storage_(count * size) {
    for (int i = 0; i < count; ++i) {
      buffers_.push_back(std::make_unique<CUsbBuf>(storage_.data() + i * size, size));
      Submit(buffers_.back().get());
    }
  }
  // Ends whatever is still in flight before the buffers go.
  ~ReadStream() {
    pipe_.AbortTransfers();
    for (CUsbBuf* b : inFlight_) pipe_.WaitForBuffer(b, kBoundMs);
  }

  struct Result {
    uint32_t status;
    std::vector<uint8_t> bytes;
  };

  // The oldest read's result; it is submitted again when `resubmit` is set.
  Result Next(bool resubmit = true) {
    if (inFlight_.empty()) return {0xFFFFFFFFu, {}};
    CUsbBuf* b = inFlight_.front();
    inFlight_.pop_front();
    Result r;
    r.status = pipe_.WaitForBuffer(b, kBoundMs);
    if (r.status == usbstatus::kTimeout) {
      // Never leave a buffer to the driver: end it, and report the hang.
      pipe_.AbortTransfers();
      pipe_.WaitForBuffer(b, kBoundMs);
      r.status = usbstatus::kTimeout;
    }
    if (r.status == 0) {
      const auto* p = static_cast<uint8_t*>(b->data);
      r.bytes.assign(p, p + b->bytesTransferred);
    }
    if (resubmit) Submit(b);
    return r;
  }

  size_t InFlight() const { return inFlight_.size(); }

 private:
  void Submit(CUsbBuf* b) {
    b->bytesToTransfer = b->size;
    // A refused read still counts: its status shows at once when it is waited for.
    pipe_.SubmitRead(b);
    inFlight_.push_back(b);
  }

  CUsbPipe& pipe_;
  std::vector<uint8_t> storage_;
  std::vector<std::unique_ptr<CUsbBuf>> buffers_;
  std::deque<CUsbBuf*> inFlight_;
};

// Every test has its own run folder and a driver that lists only the sims in it.
class VsimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.Path().empty()) << "no temporary folder";
    usbdrv::EnableVirtualLoggers(dir.Path());
  }
  void TearDown() override {
    usbdrv::DisableVirtualLoggers();
    // Every handle and transfer has been given back.
    EXPECT_EQ(usbdrv::OpenDriverHandles(), 0);
    EXPECT_EQ(usbdrv::OutstandingTransfers(), 0);
  }

  static std::vector<std::string> InstanceIds() {
    std::vector<std::string> ids;
    for (const auto& d : usbdrv::ListDevices()) ids.push_back(d->InstanceId());
    return ids;
  }

  RunDir dir;
};

}  // namespace vsimtest
