// tarnwick-cli downloads from several PCs at once into one history on a PostgreSQL server.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "CliSupport.h"
#include "cli/ExitStatus.h"
#include "common/PgServer.h"
#include "vsim/VsimHarness.h"

namespace {

// One PC: a run folder with its logger, and a download of it into the shared history.
struct Desk {
  vsimtest::RunDir dir;
  vsimtest::Sim sim;
  pid_t pid = -1;

  pid_t download(const std::string& history) {
    std::vector<std::string> args = {TARNWICK_CLI_PATH, "download",  "-q",   "-o",
                                     dir.File("d.csv"), "--history", history};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> environment = {"VELMORA_RUN_DIR=" + dir.Path(), "LC_ALL=C", "HOME=" + dir.Path(),
                                            "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string err = dir.File("err.txt");
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (::posix_spawn(&pid, TARNWICK_CLI_PATH, &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  int finish() {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

}  // namespace

// Four loggers at four desks and one logger downloaded at two desks, all at the same moment: each
// record is in the history once, and each download has its row.
TEST(CliServer, SixDownloadsAtOnceKeepEveryRecordOnce) {
  pgtest::Server& server = pgtest::Server::shared();
  ASSERT_TRUE(server.running()) << server.error();
  const std::string history = server.freshDatabase();
  ASSERT_FALSE(history.empty()) << server.error();
  constexpr int kRecords = 3000;
  std::vector<std::unique_ptr<Desk>> desks;
  for (const char* serial : {"VLM1", "VLM2", "VLM3", "VLM4", "VLM5", "VLM5"}) {
    desks.push_back(std::make_unique<Desk>());
    ASSERT_FALSE(desks.back()->dir.Path().empty());
    ASSERT_TRUE(desks.back()->sim.Start(desks.back()->dir.Path(),
                                        {"--serial", serial, "--records", std::to_string(kRecords)}));
  }
  for (auto& desk : desks) ASSERT_GT(desk->download(history), 0);
  for (auto& desk : desks)
    EXPECT_EQ(desk->finish(), cli::kDone) << clitest::readFile(desk->dir.File("err.txt"));

  const std::string database = history.substr(history.rfind('=') + 1);
  EXPECT_EQ(server.value(database, "SELECT count(*) FROM measurements"), std::to_string(5 * kRecords));
  EXPECT_EQ(server.value(database, "SELECT count(DISTINCT (logger, time, sensor, record)) FROM measurements"),
            std::to_string(5 * kRecords));
  EXPECT_EQ(server.value(database, "SELECT count(*) FROM downloads"), "6");
  EXPECT_EQ(server.value(database, "SELECT sum(added) FROM downloads"), std::to_string(5 * kRecords));
  EXPECT_EQ(server.value(database, "SELECT count(*) FROM loggers"), "5");
  for (auto& desk : desks)
    ::unlink(desk->dir.File("d.csv").c_str()), ::unlink(desk->dir.File("err.txt").c_str());
}
