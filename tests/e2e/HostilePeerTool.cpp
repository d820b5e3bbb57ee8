// e2e_hostile_peer DIR NAME KIND: a hostile program at DIR/NAME.sock (tests/common/HostilePeer.h),
// until it is killed. Prints "L" once it listens and "C" for each connection.
#include <cstdio>
#include <string>

#include "common/HostilePeer.h"

int main(int argc, char** argv) {
  hostile::PeerKind kind = hostile::PeerKind::Silent;
  if (argc != 4 || !hostile::KindFromName(argv[3], &kind)) {
    std::fprintf(stderr,
                 "usage: e2e_hostile_peer DIR NAME KIND (silent, slow-greeting, pending, "
                 "stops-reading, garbage, huge-frames, foreign-uid, logger)\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string name = argv[2];
  return hostile::ServePeer(std::string(argv[1]) + "/" + name + ".sock", kind, "peer-" + name, 1);
}
