// The built tarnwick-cli against velmora-sim processes in a private run folder.
#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <thread>

#include "CliSupport.h"
#include "cli/ExitStatus.h"
#include "link/Operations.h"
#include "link/WindowPort.h"
#include "usbdev/SocketProtocol.h"
#include "vsim/VsimHarness.h"

namespace {

using clitest::readFile;

class CliSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.Path().empty());
    ::setenv("VELMORA_RUN_DIR", dir.Path().c_str(), 1);
    ::setenv("LC_ALL", "C", 1);
  }
  void TearDown() override { ::unsetenv("VELMORA_RUN_DIR"); }

  // Runs the program to its end; its output and messages are kept in files of the run folder.
  clitest::Run program(std::vector<std::string> args) {
    args.insert(args.begin(), TARNWICK_CLI_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const std::string out = dir.File("out.txt"), err = dir.File("err.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, TARNWICK_CLI_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    clitest::Run run{-1, "", ""};
    int status = 0;
    if (spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
      run.status = WEXITSTATUS(status);
    run.out = readFile(out);
    run.err = readFile(err);
    ::unlink(out.c_str());
    ::unlink(err.c_str());
    return run;
  }

  // Starts the program with standard output and error on these descriptors.
  static pid_t start(std::vector<std::string> args, int out, int err) {
    args.insert(args.begin(), TARNWICK_CLI_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    pid_t pid = -1;
    if (::posix_spawn(&pid, TARNWICK_CLI_PATH, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  // The exit status, or the shell's 128 + n for a program that a signal ended.
  static int finish(pid_t pid) {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // Waits (at most a generous minute) until `ready` holds.
  static bool waitUntil(const std::function<bool()>& ready) {
    for (int i = 0; i < 6000; ++i) {
      if (ready()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  vsimtest::RunDir dir;
};

TEST_F(CliSimTest, EveryCommandAgainstAVirtualLogger) {
  vsimtest::Sim sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--serial", "VLM4242", "--records", "1500", "--software", "V1.00",
                                     "--memory-out", dir.File("memory.bin")}));
  EXPECT_EQ(program({"list"}).out, "VLM4242\tfree\n");
  const auto csv = program({"download", "--no-history", "-o", dir.File("d.csv")});
  EXPECT_EQ(csv.status, cli::kDone) << csv.err;
  const auto jsonl = program({"download", "--no-history", "-q", "-f", "jsonl"});
  EXPECT_EQ(jsonl.status, cli::kDone);
  EXPECT_EQ(std::count(jsonl.out.begin(), jsonl.out.end(), '\n'), 1500);
  const auto clock = program({"set-time", "-s", "4242"});
  EXPECT_EQ(clock.status, cli::kDone) << clock.err;
  EXPECT_EQ(clock.err.rfind("tarnwick-cli: VLM4242: clock set to ", 0), 0u) << clock.err;
  EXPECT_EQ(program({"send", "device.serial"}).out, "device.serial=VLM4242\n");
  const auto update = program({"firmware-update", "--verbose"});
  EXPECT_EQ(update.status, cli::kDone);
  EXPECT_NE(update.err.find("Start firmware update\n"), std::string::npos) << update.err;
  ASSERT_TRUE(sim.Stop());

  // The download is the window's file for the logger's records.
  const auto memory = vsimtest::ReadBytes(dir.File("memory.bin"));
  ASSERT_EQ(memory.size(), 524288u);
  const std::string reference = clitest::windowExport(
      clitest::loggerRecords(memory, 1500), {"MM/dd/yy", "HH:mm:ss", '.', "AM", "PM"}, dir.File("w.csv"));
  EXPECT_TRUE(readFile(dir.File("d.csv")) == reference);
  for (const char* name : {"memory.bin", "d.csv", "w.csv"}) ::unlink(dir.File(name).c_str());
}

TEST_F(CliSimTest, SeveralLoggersOneInUse) {
  vsimtest::Sim free, held;
  ASSERT_TRUE(free.Start(dir.Path(), {"--serial", "VLM1", "--records", "40"}));
  ASSERT_TRUE(held.Start(dir.Path(), {"--serial", "VLM2", "--in-use"}));
  const auto list = program({"list", "--json"});
  EXPECT_EQ(list.out,
            "[{\"serial\":\"VLM1\",\"number\":1,\"in_use\":false},"
            "{\"serial\":\"VLM2\",\"number\":2,\"in_use\":true}]\n");
  const auto unchosen = program({"download", "--no-history"});
  EXPECT_EQ(unchosen.status, cli::kBadArguments);
  EXPECT_EQ(unchosen.err, "tarnwick-cli: several loggers attached (VLM1, VLM2); choose one with --serial\n");
  EXPECT_EQ(program({"set-time", "-s", "VLM2"}).status, cli::kInUse);
  const std::string folder = dir.File("files");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const auto all = program({"download", "--all", "--no-history", "-q", "--output-dir", folder});
  EXPECT_EQ(all.status, cli::kDone);
  size_t lines = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string content = readFile(entry.path());
    lines += std::count(content.begin(), content.end(), '\n');
    EXPECT_EQ(entry.path().filename().string().rfind("VLM1_", 0), 0u);
  }
  EXPECT_EQ(lines, 41u);
  std::filesystem::remove_all(folder);
}

// Another program's connection to a sim that has taken the logger's configuration, as bare as it gets:
// its end (closed, or the process killed) is only the socket closing.
int holdLogger(const std::string& socketPath) {
  namespace vsock = usbdrv::vsock;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
  vsock::MessageReader reader(fd);
  vsock::Header h;
  const uint8_t* payload = nullptr;
  uint32_t size = 0;
  // Configuration 0, one interface: number 0, setting 0, 4096 bytes a transfer.
  const uint8_t request[] = {0, 0, 1, 0, 0, 0, 0, 0, 0, 0x10, 0, 0};
  vsock::Header configure;
  configure.type = vsock::kSetConfiguration;
  configure.id = 1;
  if (!reader.Next(&h, &payload, &size) || h.type != vsock::kHello ||
      !vsock::SendAll(fd, vsock::Frame(configure, request, sizeof request)) ||
      !reader.Next(&h, &payload, &size) || h.type != vsock::kReply || h.status != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One logger, one owner: the link of this process (the window's side) holds a virtual logger; the
// command line in another process finds it in use, and the holder downloads as if nobody had tried.
TEST_F(CliSimTest, ALoggerHeldByOneProgramIsInUseForEveryOther) {
  vsimtest::Sim sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--serial", "VLM70001", "--records", "300"}));
  const std::string folder = dir.File("files"), mine = dir.File("window.csv");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  usbdrv::EnableVirtualLoggers(dir.Path());
  RecordingWindow window;
  {
    USBInterface usb(&window);
    ASSERT_EQ(usb.scanDevices(), std::vector<int32_t>{70001});
    // A scan alone holds nothing.
    EXPECT_EQ(program({"list"}).out, "VLM70001\tfree\n");
    ASSERT_TRUE(usb.connect(70001));

    EXPECT_EQ(program({"list"}).out, "VLM70001\tin use\n");
    const auto one = program({"download", "--no-history", "-o", dir.File("cli.csv")});
    EXPECT_EQ(one.status, cli::kInUse);
    EXPECT_EQ(one.err, "tarnwick-cli: VLM70001 is in use by another program\n");
    EXPECT_FALSE(vsimtest::Exists(dir.File("cli.csv")));
    const auto all = program({"download", "--all", "--no-history", "-q", "--output-dir", folder});
    EXPECT_EQ(all.status, cli::kDone) << all.err;
    EXPECT_EQ(all.err, "tarnwick-cli: VLM70001 is in use by another program; left out\n");
    EXPECT_TRUE(std::filesystem::is_empty(folder));

    window.answerSaveDialog(mine);
    ASSERT_TRUE(operations::startDownload(usb));
    const auto finished = [&] {
      for (const LinkEvent& e : window.events())
        if (e.kind == LinkEvent::Kind::OperationFinished) return true;
      return false;
    };
    ASSERT_TRUE(window.waitUntil(finished));
    // (The link's own end logs its cancelled reads so: counted before it.)
    EXPECT_EQ(window.count("received unexpected binary data"), 0u);
    usb.disconnect();
    for (const LinkEvent& e : window.events()) {
      if (e.kind != LinkEvent::Kind::OperationFinished) continue;
      EXPECT_EQ(e.outcome, Outcome::Done);
      EXPECT_EQ(e.value, 300);
    }
    EXPECT_EQ(window.count("Device is already connected"), 0u);
  }
  usbdrv::DisableVirtualLoggers();
  const std::string file = readFile(mine);
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 301);

  // Let go, it is free; a holder that ends without a word (killed) frees it with its socket.
  EXPECT_EQ(program({"list"}).out, "VLM70001\tfree\n");
  const int held = holdLogger(sim.Socket());
  ASSERT_GE(held, 0);
  EXPECT_EQ(program({"list"}).out, "VLM70001\tin use\n");
  ::close(held);
  EXPECT_TRUE(waitUntil([&] { return program({"list"}).out == "VLM70001\tfree\n"; }));
  const auto after = program({"download", "--no-history", "-q", "-o", dir.File("cli.csv")});
  EXPECT_EQ(after.status, cli::kDone) << after.err;
  std::filesystem::remove_all(folder);
  for (const std::string& name : {mine, dir.File("cli.csv")}) ::unlink(name.c_str());
}

// INT, TERM and HUP end a download with 128 + n and leave no temporary and no private folder; a
// closed standard output is a file error after the records went into the history.
TEST_F(CliSimTest, SignalsAndAClosedOutputLeaveNoTemporaries) {
  const std::string tmp = dir.File("tmp"), data = dir.File("data"), out = dir.File("out");
  for (const std::string& folder : {tmp, out}) ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ::setenv("TMPDIR", tmp.c_str(), 1);
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  vsimtest::Sim sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--records", "16384", "--pace", "full-speed"}));
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  // Stopped while it writes to a pipe nobody reads (the text comes from memory; no file is made).
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  pid_t pid = start({"download", "-q", "--no-history"}, pipeFds[1], devNull);
  ::close(pipeFds[1]);
  EXPECT_TRUE(waitUntil([&] {
    int waiting = 0;
    return ::ioctl(pipeFds[0], FIONREAD, &waiting) == 0 && waiting > 0;
  }));
  ::kill(pid, SIGTERM);
  EXPECT_EQ(finish(pid), 143);
  ::close(pipeFds[0]);
  EXPECT_TRUE(std::filesystem::is_empty(tmp));

  // Stopped during the transfer (the log has said "mem.load"): nothing beside the file either.
  for (int signal : {SIGINT, SIGHUP}) {
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    pid =
        start({"download", "-v", "--no-history", "-f", "jsonl", "-o", out + "/x.jsonl"}, devNull, pipeFds[1]);
    ::close(pipeFds[1]);
    std::string log;
    char chunk[4096];
    ssize_t n;
    while (log.find("mem.load=") == std::string::npos && (n = ::read(pipeFds[0], chunk, sizeof chunk)) > 0)
      log.append(chunk, static_cast<size_t>(n));
    ::kill(pid, signal);
    EXPECT_EQ(finish(pid), 128 + signal) << log.substr(0, 2000);
    ::close(pipeFds[0]);
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
    EXPECT_TRUE(std::filesystem::is_empty(out));
  }

  // Standard output closed before a byte went out: status 7, and the records are in the history.
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  ::close(pipeFds[0]);
  const std::string errFile = dir.File("err.txt");
  const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid = start({"download"}, pipeFds[1], err);
  ::close(pipeFds[1]);
  ::close(err);
  EXPECT_EQ(finish(pid), cli::kFileError);
  const std::string said = readFile(errFile);
  EXPECT_NE(said.find("16384 of 16384 records new in the history"), std::string::npos) << said;
  EXPECT_TRUE(std::filesystem::is_empty(tmp));

  ::close(devNull);
  ::unsetenv("TMPDIR");
  ::unsetenv("XDG_DATA_HOME");
  ::unlink(errFile.c_str());
  for (const std::string& folder : {tmp, data, out}) std::filesystem::remove_all(folder);
}

}  // namespace
