// velmora-sim with the hostile switches and identities a hardening run gives it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>

#include "vsim/VsimHarness.h"

// The longest serial a string descriptor can carry once made the socket path too long to bind.
TEST(HostileSimProgram, LongestSerialStillGetsASocket) {
  vsimtest::RunDir dir;
  vsimtest::Sim sim;
  const std::string serial = "VLM" + std::string(123, '9');
  ASSERT_TRUE(sim.Start(dir.Path(), {"--serial", serial}));
  EXPECT_NE(sim.Line().find(serial + " attached at "), std::string::npos) << sim.Line();
  EXPECT_LT(sim.Socket().size(), 108u);
  EXPECT_TRUE(vsimtest::Exists(sim.Socket()));
}

TEST(HostileSimProgram, HostileSwitchesAreTakenAndBadValuesRefused) {
  vsimtest::RunDir dir;
  {
    vsimtest::Sim sim;
    ASSERT_TRUE(sim.Start(
        dir.Path(),
        {"--random-answers", "--no-answers", "--short-packets", "--odd-descriptors", "--mem-used-count",
         "-123456789012345678", "--extra-datin", "5", "--debug-flood", "5000", "--stall-out-after", "0",
         "--unplug-after-datout", "10", "--hostile-seed", "4294967295", "--serial", ""}));
  }
  for (const char* bad :
       {"--mem-used-count 12a", "--mem-used-count 1234567890123456789", "--mem-used-count -",
        "--unplug-after-datout 0", "--debug-flood 1000001", "--extra-datin x"}) {
    const std::string command =
        std::string(VELMORA_SIM_PATH) + " --run-dir " + dir.Path() + " " + bad + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << bad;
  }
}

// Seen: --image /dev/zero ran out of memory, and --memory-out followed a symbolic link and wrote the
// file in place, where a reader could see half of it.
TEST(HostileSimProgram, ImageIsBoundedAndMemoryOutReplacesTheFileInOneStep) {
  vsimtest::RunDir dir;
  const std::string err = dir.File("err.txt");
  const int status = std::system(("timeout 20 " + std::string(VELMORA_SIM_PATH) + " --run-dir " + dir.Path() +
                                  " --image /dev/zero --used 1 >/dev/null 2>" + err)
                                     .c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
  const auto message = vsimtest::ReadBytes(err);
  EXPECT_EQ(std::string(message.begin(), message.end()),
            "velmora-sim: /dev/zero is larger than 524288 bytes\n(see velmora-sim --help)\n");

  vsimtest::WriteBytes(dir.File("victim"), {'k', 'e', 'e', 'p'});
  ASSERT_EQ(::symlink(dir.File("victim").c_str(), dir.File("memory.bin").c_str()), 0);
  {
    vsimtest::Sim sim;
    ASSERT_TRUE(sim.Start(dir.Path(), {"--memory-out", dir.File("memory.bin")}));
  }
  EXPECT_EQ(vsimtest::ReadBytes(dir.File("victim")), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  struct stat info {};
  ASSERT_EQ(::lstat(dir.File("memory.bin").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_size, 524288);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"err.txt", "memory.bin", "victim"}))
      << "a temporary is left";
}
