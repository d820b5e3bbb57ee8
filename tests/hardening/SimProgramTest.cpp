// velmora-sim with the hostile switches and identities a hardening run gives it.
#include <gtest/gtest.h>
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
