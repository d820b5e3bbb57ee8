// Start-up of the real program: from launching build/app/tarnwick (offscreen) beside a velmora-sim in a
// private run folder until "Device connected" appears in its log file, over N runs.
//   startup_bench [--runs N] [--tarnwick PATH] [--sim PATH]
// Prints the median, minimum and maximum wall time, the program's CPU time at that moment (user +
// system, from /proc, in clock ticks) and the load average before and after.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string loadAverage() {
  std::string text = readFile("/proc/loadavg");
  const size_t end = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
  return end == std::string::npos ? text : text.substr(0, end);
}

// User + system CPU time of a process so far, in ms.
double processCpuMs(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return (utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& out) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
  if (!freopen(out.c_str(), "w", stdout) || !freopen((out + ".err").c_str(), "w", stderr)) _exit(126);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// Polls `path` until it holds `text`, the process ends or 60 s pass.
bool waitForText(const std::string& path, const char* text, pid_t pid) {
  const auto limit = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < limit) {
    if (readFile(path).find(text) != std::string::npos) return true;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

void stop(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 20;
  std::string tarnwick = TARNWICK_PATH, sim = VELMORA_SIM_PATH;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--runs")) runs = std::max(1, std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--tarnwick")) tarnwick = argv[i + 1];
    if (!std::strcmp(argv[i], "--sim")) sim = argv[i + 1];
  }
  char pattern[] = "/tmp/tarnwick-startup-XXXXXX";
  if (!mkdtemp(pattern)) return std::perror("mkdtemp"), 1;
  const std::string dir = pattern, run = dir + "/run", home = dir + "/home";
  mkdir(run.c_str(), 0700);
  mkdir(home.c_str(), 0700);
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } cleanup{dir};

  const pid_t simPid = spawn({sim, "--run-dir", run}, {}, dir + "/sim.out");
  if (!waitForText(dir + "/sim.out", " attached at ", simPid))
    return std::fprintf(stderr, "velmora-sim did not attach: %s\n", readFile(dir + "/sim.out.err").c_str()),
           1;

  const std::string loadBefore = loadAverage();
  std::vector<double> wall, cpu;
  for (int i = 0; i < runs; ++i) {
    const std::string log = dir + "/log" + std::to_string(i) + ".txt";
    const std::vector<std::string> env = {
        "QT_QPA_PLATFORM=offscreen", "LC_ALL=C.UTF-8",         "HOME=" + home,
        "XDG_RUNTIME_DIR=" + dir,    "VELMORA_RUN_DIR=" + run, "TARNWICK_LOG_FILE=" + log};
    const auto start = Clock::now();
    const pid_t pid = spawn({tarnwick}, env, dir + "/tarnwick.out");
    const bool connected = waitForText(log, "Device connected", pid);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const double cpuMs = processCpuMs(pid);
    stop(pid);
    if (!connected) {
      stop(simPid);
      return std::fprintf(stderr, "run %d: no \"Device connected\" in the log:\n%s%s\n", i,
                          readFile(log).c_str(), readFile(dir + "/tarnwick.out.err").c_str()),
             1;
    }
    wall.push_back(ms);
    cpu.push_back(cpuMs);
  }
  stop(simPid);
  std::printf(
      "launch -> \"Device connected\" over %d runs: wall median %.1f ms, min %.1f, max %.1f; "
      "program CPU median %.0f ms, min %.0f, max %.0f; load average %s -> %s\n",
      runs, median(wall), *std::min_element(wall.begin(), wall.end()),
      *std::max_element(wall.begin(), wall.end()), median(cpu), *std::min_element(cpu.begin(), cpu.end()),
      *std::max_element(cpu.begin(), cpu.end()), loadBefore.c_str(), loadAverage().c_str());
  return 0;
}
