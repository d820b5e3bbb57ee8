// tarnwick-cli as a process, from its start to its end (its file closed before that): a download of
// 16384 records from a velmora-sim paced at the USB full-speed bulk rate (the wire alone takes
// 8192 packets / 19 per ms = 431 ms), with and without the history import, and a list of one logger.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int kWaitMs = 20000;

// Starts a program with its standard output on a pipe (or /dev/null); -1 on failure.
pid_t spawn(std::vector<std::string> args, int* out) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int fds[2] = {-1, -1};
  if (out != nullptr && ::pipe2(fds, O_CLOEXEC) == 0) {
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (fds[1] >= 0) ::close(fds[1]);
  if (out != nullptr) *out = fds[0];
  return pid;
}

// One velmora-sim in a private run folder, which the programs started here use.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args) {
    char pattern[] = "/tmp/cli-bench-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    ::setenv("VELMORA_RUN_DIR", dir_.c_str(), 1);
    args.insert(args.begin(), {VELMORA_SIM_PATH, "--run-dir", dir_});
    pid_ = spawn(args, &out_);
    char c = 0;
    pollfd p{out_, POLLIN, 0};
    while (pid_ > 0 && ::poll(&p, 1, kWaitMs) > 0 && ::read(out_, &c, 1) == 1 && c != '\n') {
    }
    attached_ = c == '\n';
  }
  ~Sim() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  bool Attached() const { return attached_; }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int out_ = -1;
  bool attached_ = false;
};

// Runs tarnwick-cli to its end; the wall time from its start, and its exit status.
double runCli(std::vector<std::string> args, int* status) {
  args.insert(args.begin(), TARNWICK_CLI_PATH);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = spawn(args, nullptr);
  int wait = 0;
  *status = pid > 0 && ::waitpid(pid, &wait, 0) == pid && WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

size_t lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return static_cast<size_t>(
      std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

void BM_CliDownload(benchmark::State& state, bool history) {
  Sim sim({"--records", "16384", "--pace", "full-speed"});
  if (!sim.Attached()) {
    state.SkipWithError("velmora-sim did not attach");
    return;
  }
  ::setenv("XDG_DATA_HOME", sim.File("data").c_str(), 1);
  std::vector<std::string> args{"--quiet", "download", "-o", sim.File("d.csv")};
  if (!history) args.push_back("--no-history");
  for (auto _ : state) {
    int status = 0;
    state.SetIterationTime(runCli(args, &status));
    if (status != 0 || lines(sim.File("d.csv")) != 16385) {
      state.SkipWithError("the download failed");
      break;
    }
  }
  ::unsetenv("XDG_DATA_HOME");
}

void BM_CliList(benchmark::State& state) {
  Sim sim({"--records", "16384"});
  if (!sim.Attached()) {
    state.SkipWithError("velmora-sim did not attach");
    return;
  }
  for (auto _ : state) {
    int status = 0;
    state.SetIterationTime(runCli({"list"}, &status));
    if (status != 0) {
      state.SkipWithError("list failed");
      break;
    }
  }
}

BENCHMARK_CAPTURE(BM_CliDownload, full_speed_16384_records, false)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(10);
BENCHMARK_CAPTURE(BM_CliDownload, full_speed_16384_records_into_history, true)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(10);
BENCHMARK(BM_CliList)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
