// What a shared history on a PostgreSQL server costs, against a server of the bench's own on a Unix
// socket (scripts/pg-test-server):
//  * the import of a full logger memory (16384 records) for a logger the server does not have yet, and
//    again (nothing new);
//  * reading back 1,000,000 records of one logger, as the measurements window does, beside the same
//    from a SQLite file;
//  * ten desks downloading ten velmora-sim loggers (at a real logger's USB full-speed pace) into the
//    server with ten tarnwick-cli processes at once, against the slowest of the ten downloaded one at
//    a time ("ratio"; every record must be there, else the run is an error).
// Figures only; a run that does not do its work is reported as an error, not timed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "common/PgServer.h"
#include "history/History.h"

namespace {

constexpr int kRecords = 16384;
constexpr int kHistory = 1000000;
constexpr int64_t kStart = 1577836800;  // 2020-01-01 00:00:00

pgtest::Server& server() {
  static pgtest::Server s;
  return s;
}

std::vector<messwert_tag> memory(int64_t first, int count) {
  return bench::minuteMemory(kStart, first, count);
}

void BM_ServerImportFullDownload(benchmark::State& state) {
  const bool repeated = state.range(0) != 0;
  if (!server().running()) {
    state.SkipWithError(("no server: " + server().error()).c_str());
    return;
  }
  const std::string location = server().freshDatabase();
  history::Store store;
  std::string error;
  if (location.empty() || !store.open(location, error)) {
    state.SkipWithError(("no store: " + error + server().error()).c_str());
    return;
  }
  const std::vector<messwert_tag> records = memory(0, kRecords);
  int serial = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string logger = "VLM" + std::to_string(++serial);
    history::ImportResult result;
    if (repeated && !store.importDownload(logger, "first.csv", records, result, error)) {
      state.SkipWithError(("import failed: " + error).c_str());
      break;
    }
    state.ResumeTiming();
    const bool ok = store.importDownload(logger, "download.csv", records, result, error);
    state.PauseTiming();
    if (!ok || result.added != (repeated ? 0 : kRecords)) {
      state.SkipWithError(("import failed: " + error).c_str());
      break;
    }
    state.ResumeTiming();
  }
  state.counters["records"] = kRecords;
}
BENCHMARK(BM_ServerImportFullDownload)->Arg(0)->Arg(1)->ArgName("repeated")->Unit(benchmark::kMillisecond);

// A million records of one logger on the server and in a file, made once.
struct BigHistories {
  std::string server, file, failure;
  std::filesystem::path dir;
  BigHistories() {
    char pattern[] = "/tmp/tarnwick-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr || !::server().running()) return;
    dir = pattern;
    file = (dir / "big.sqlite").string();
    const std::string location = ::server().freshDatabase();
    history::Store a, b;
    if (location.empty() || !a.open(location, failure) || !b.open(file, failure)) return;
    for (int64_t first = 0; first < kHistory; first += kRecords) {
      const int count = static_cast<int>(std::min<int64_t>(kRecords, kHistory - first));
      const std::vector<messwert_tag> records = memory(first, count);
      history::ImportResult result;
      if (!a.importDownload("VLM12345", "d.csv", records, result, failure) ||
          !b.importDownload("VLM12345", "d.csv", records, result, failure))
        return;
    }
    // What the server's autovacuum does within a minute of a bulk load.
    if (std::getenv("SERVER_BENCH_NO_ANALYZE") == nullptr)
      failure = ::server().sql(location.substr(location.rfind('=') + 1), "ANALYZE");
    if (failure.empty()) server = location;
  }
  ~BigHistories() {
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
  }
};
BigHistories& big() {
  static BigHistories histories;
  return histories;
}

void BM_QueryMillion(benchmark::State& state) {
  if (big().server.empty()) {
    state.SkipWithError(("no history: " + big().failure).c_str());
    return;
  }
  const std::string location = state.range(0) != 0 ? big().server : big().file;
  history::Store store;
  std::string error;
  if (!store.open(location, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  history::Query q;
  q.logger = "VLM12345";
  for (auto _ : state) {
    std::vector<history::StoredRecord> out;
    if (!store.query(q, out, error) || out.size() != static_cast<size_t>(kHistory)) {
      state.SkipWithError(("query failed: " + error).c_str());
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_QueryMillion)->Arg(0)->Arg(1)->ArgName("server")->Unit(benchmark::kMillisecond)->Iterations(3);

// One desk: a run folder with its velmora-sim.
struct Desk {
  std::string dir;
  pid_t sim = -1;
  explicit Desk(int n) {
    char pattern[] = "/tmp/tarnwick-desk-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    dir = pattern;
    std::vector<std::string> args = {VELMORA_SIM_PATH,
                                     "--run-dir",
                                     dir,
                                     "--serial",
                                     "VLM" + std::to_string(n),
                                     "--records",
                                     std::to_string(kRecords),
                                     "--seed",
                                     std::to_string(n)};
    sim = spawn(args, "sim.txt");
  }
  ~Desk() {
    if (sim > 0) {
      ::kill(sim, SIGTERM);
      ::waitpid(sim, nullptr, 0);
    }
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
  }
  bool attached() const {
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      if (entry.path().extension() == ".sock") return true;
    return false;
  }
  pid_t spawn(std::vector<std::string> args, const std::string& output) const {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> environment = {"VELMORA_RUN_DIR=" + dir, "HOME=" + dir, "LC_ALL=C"};
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = dir + "/" + output;
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  // Into `history`, or into none when it is empty.
  pid_t download(const std::string& history) const {
    if (history.empty())
      return spawn({TARNWICK_CLI_PATH, "download", "-q", "-o", dir + "/d.csv", "--no-history"}, "cli.txt");
    return spawn({TARNWICK_CLI_PATH, "download", "-q", "-o", dir + "/d.csv", "--history", history},
                 "cli.txt");
  }
};

bool succeeded(pid_t pid) {
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// User and system time of the ended child processes, in seconds.
double childrenCpu() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  auto secondsOf = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime);
}

// User and system time of a process (with its ended children: the server's connections), in seconds,
// from /proc; 0 when it cannot be read.
double processCpu(pid_t pid) {
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return 0;
  char line[1024] = {};
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  const char* rest = read ? std::strrchr(line, ')') : nullptr;
  unsigned long long ticks[4] = {};
  // After the name: state, then fields 4 to 13, then utime, stime, cutime, cstime.
  if (rest == nullptr ||
      std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %llu %llu", &ticks[0],
                  &ticks[1], &ticks[2], &ticks[3]) != 4)
    return 0;
  return static_cast<double>(ticks[0] + ticks[1] + ticks[2] + ticks[3]) /
         static_cast<double>(::sysconf(_SC_CLK_TCK));
}

pid_t serverPid() {
  std::FILE* f = std::fopen((server().dir() + "/data/postmaster.pid").c_str(), "r");
  if (f == nullptr) return -1;
  long pid = -1;
  if (std::fscanf(f, "%ld", &pid) != 1) pid = -1;
  std::fclose(f);
  return static_cast<pid_t>(pid);
}

void BM_TenConcurrentDownloads(benchmark::State& state) {
  constexpr int kDesks = 10;
  if (!server().running()) {
    state.SkipWithError(("no server: " + server().error()).c_str());
    return;
  }
  std::vector<std::unique_ptr<Desk>> desks;
  for (int n = 1; n <= kDesks; ++n) desks.push_back(std::make_unique<Desk>(n));
  for (int i = 0; i < 3000; ++i) {
    if (std::all_of(desks.begin(), desks.end(), [](const auto& d) { return d->sim > 0 && d->attached(); }))
      break;
    ::usleep(10000);
  }
  // Without a history, the same downloads show what the processes and the loggers alone take of the
  // machine.
  const bool history = state.range(0) != 0;
  double slowest = 0, together = 0, cliCpu = 0, serverCpu = 0, simsCpu = 0;
  for (auto _ : state) {
    const std::string alone = history ? server().freshDatabase() : std::string();
    const std::string shared = history ? server().freshDatabase() : std::string();
    slowest = 0;
    for (const auto& desk : desks) {
      const auto start = std::chrono::steady_clock::now();
      if (!succeeded(desk->download(alone))) {
        state.SkipWithError("a single download failed");
        return;
      }
      slowest = std::max(slowest, seconds(start));
    }
    const double cpuBefore = childrenCpu(), serverBefore = processCpu(serverPid());
    double simsBefore = 0;
    for (const auto& desk : desks) simsBefore += processCpu(desk->sim);
    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> running;
    for (const auto& desk : desks) running.push_back(desk->download(shared));
    bool all = true;
    for (pid_t pid : running) all = succeeded(pid) && all;
    together = seconds(start);
    cliCpu = childrenCpu() - cpuBefore;
    serverCpu = processCpu(serverPid()) - serverBefore;
    simsCpu = -simsBefore;
    for (const auto& desk : desks) simsCpu += processCpu(desk->sim);
    const std::string database = history ? shared.substr(shared.rfind('=') + 1) : std::string();
    if (!all || (history && server().value(database, "SELECT count(*) FROM measurements") !=
                                std::to_string(kDesks * kRecords))) {
      state.SkipWithError("not every record is in the shared history");
      return;
    }
    state.SetIterationTime(together);
  }
  state.counters["slowest_single_s"] = slowest;
  state.counters["ten_at_once_s"] = together;
  state.counters["ratio"] = slowest > 0 ? together / slowest : 0;
  // The processor time the ten tarnwick-cli processes took together (user and system).
  // The processor time the ten downloads took at once: the tarnwick-cli processes, the loggers and the
  // server; over the processors there are, the least time they can take together.
  state.counters["cli_cpu_s"] = cliCpu;
  state.counters["sims_cpu_s"] = simsCpu;
  state.counters["server_cpu_s"] = serverCpu;
  state.counters["cpu_bound_s"] =
      (cliCpu + simsCpu + serverCpu) / static_cast<double>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
}
BENCHMARK(BM_TenConcurrentDownloads)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("history")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
