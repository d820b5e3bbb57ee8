// history verify over a large history: the time and the peak resident memory of the check, each run
// in a process of its own (the history is made once, by another process, and kept when --keep names
// it). Prints figures and asserts nothing.
//
// usage: audit_bench [--readings N] [--runs N] [--keep FILE]
// (the processor time beside the wall time: on a machine busy with other work the wall time says little)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "BenchSupport.h"
#include "history/Audit.h"
#include "history/History.h"

namespace {

constexpr int kPerDownload = 500000;  // about what a logger's memory holds

int makeHistory(const std::string& path, int64_t readings) {
  history::Store store;
  std::string error;
  if (!store.open(path, error)) {
    std::fprintf(stderr, "audit_bench: %s\n", error.c_str());
    return 1;
  }
  const int64_t start = 1577836800;  // 2020-01-01
  for (int64_t first = 0; first < readings; first += kPerDownload) {
    const int count = static_cast<int>(std::min<int64_t>(kPerDownload, readings - first));
    history::ImportResult result;
    if (!store.importDownload("VLM12345", "d.csv", bench::minuteMemory(start, first, count), result, error)) {
      std::fprintf(stderr, "audit_bench: %s\n", error.c_str());
      return 1;
    }
  }
  return 0;
}

int verify(const std::string& path) {
  history::Store store;
  std::string error;
  history::Verification found;
  if (!store.open(path, error) || !history::verifyHistory(store, "", found, error)) {
    std::fprintf(stderr, "audit_bench: %s\n", error.c_str());
    return 1;
  }
  std::printf("  entries %lld, records %lld, %s\n", static_cast<long long>(found.entries),
              static_cast<long long>(found.records),
              found.failure.empty() ? "verified" : found.failure.c_str());
  return found.failure.empty() ? 0 : 1;
}

// Runs `work` in a child; its wall time in seconds and peak resident memory in MB.
template <typename Work>
bool inChild(Work work, double& seconds, double& megabytes, double& cpu) {
  std::fflush(stdout);
  const auto begin = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) ::_exit(work());
  int status = 0;
  rusage usage{};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return false;
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  megabytes = static_cast<double>(usage.ru_maxrss) / 1024;
  cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t readings = 10000000;
  int runs = 3;
  std::string keep;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--readings") == 0) readings = std::atoll(argv[i + 1]);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--keep") == 0) keep = argv[i + 1];
  }
  char folder[] = "/tmp/audit-bench-XXXXXX";  // private: the history refuses a folder others may change
  if (keep.empty() && ::mkdtemp(folder) == nullptr) return 1;
  const std::string path = keep.empty() ? std::string(folder) + "/history.sqlite" : keep;
  double seconds = 0, megabytes = 0, cpu = 0;
  if (!std::filesystem::exists(path)) {
    if (!inChild([&] { return makeHistory(path, readings); }, seconds, megabytes, cpu)) return 1;
    std::printf("made %lld readings in %.1f s\n", static_cast<long long>(readings), seconds);
  }
  for (int run = 0; run < runs; ++run) {
    if (!inChild([&] { return verify(path); }, seconds, megabytes, cpu)) return 1;
    std::printf("verify run %d: %.2f s (processor %.2f s), peak resident %.1f MB\n", run + 1, seconds, cpu,
                megabytes);
  }
  if (keep.empty()) std::filesystem::remove_all(folder);
  return 0;
}
