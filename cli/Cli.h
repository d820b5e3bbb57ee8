// tarnwick-cli's command line: the commands, their options, and the exit status of a run.
#pragma once

#include "cli/Session.h"

namespace cli {

// Parses the arguments and runs the command. The logger sources (virtual, real) are the caller's to
// enable; messages and data go to `io`.
int run(int argc, const char* const argv[], const Io& io);

}  // namespace cli
