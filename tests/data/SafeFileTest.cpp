// The file replace under the CSV export and the memory dump. The cases before the POSIX ones also run
// built for Windows (scripts/test-windows).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "DataBasics.h"
#include "data/SafeFile.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#endif

namespace fs = std::filesystem;
using datatest::readFile;
using datatest::writeFile;
using Names = std::vector<std::string>;

namespace {

bool save(const fs::path& path, const std::string& bytes) {
  SafeFile file;
  return file.open(path.string()) && file.write(bytes.data(), bytes.size()) && file.commit();
}

Names sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(SafeFile, ReplacesTheWholeFileOrNothing) {
  datatest::ScratchDir dir;
  ASSERT_TRUE(save(dir / "out.csv", "first"));
  EXPECT_EQ(readFile(dir / "out.csv"), "first");
  writeFile(dir / "out.csv", std::string(5000, 'x'));
  ASSERT_TRUE(save(dir / "out.csv", "second"));
  EXPECT_EQ(readFile(dir / "out.csv"), "second");
  {
    SafeFile dropped;  // never committed
    ASSERT_TRUE(dropped.open((dir / "out.csv").string()));
    EXPECT_TRUE(dropped.write("third", 5));
  }
  EXPECT_EQ(readFile(dir / "out.csv"), "second");

  // A folder of the chosen name cannot be replaced: the commit fails and leaves no temporary.
  fs::create_directories(dir / "taken.csv" / "inner");
  SafeFile file;
  ASSERT_TRUE(file.open((dir / "taken.csv").string()));
  EXPECT_TRUE(file.write("x", 1));
  EXPECT_FALSE(file.commit());
  EXPECT_TRUE(fs::is_directory(dir / "taken.csv" / "inner"));
  EXPECT_FALSE(file.open((dir / "missing" / "out.csv").string()));
  EXPECT_EQ(sorted(dir.names()), (Names{"out.csv", "taken.csv"}));
}

#ifdef _WIN32
TEST(SafeFile, ReadOnlyFileIsRefusedAndKept) {
  datatest::ScratchDir dir;
  writeFile(dir / "out.csv", "old");
  fs::permissions(dir / "out.csv", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  SafeFile file;
  EXPECT_FALSE(file.open((dir / "out.csv").string()));
  EXPECT_EQ(readFile(dir / "out.csv"), "old");
  fs::permissions(dir / "out.csv", fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(dir.names(), Names{"out.csv"});
}
#else
// What the user set stays: a link keeps pointing at the file that gets the new contents, the file
// keeps its permissions and (where we may give it away) its owner; a new file follows the umask.
TEST(SafeFile, KeepsLinksPermissionsAndOwner) {
  datatest::ScratchDir dir;
  writeFile(dir / "real.csv", "old");
  chmod((dir / "real.csv").c_str(), 0640);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown((dir / "real.csv").c_str(), 65534, 65534), 0);
  }
  fs::create_symlink("real.csv", dir / "link.csv");
  fs::create_symlink("made.csv", dir / "dangling.csv");

  ASSERT_TRUE(save(dir / "link.csv", "new"));
  ASSERT_TRUE(save(dir / "dangling.csv", "made"));
  EXPECT_TRUE(fs::is_symlink(dir / "link.csv"));
  EXPECT_TRUE(fs::is_symlink(dir / "dangling.csv"));
  EXPECT_EQ(readFile(dir / "real.csv"), "new");
  EXPECT_EQ(readFile(dir / "made.csv"), "made");
  struct stat st;
  ASSERT_EQ(stat((dir / "real.csv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
  }

  const mode_t before = umask(027);
  const bool saved = save(dir / "fresh.csv", "x");
  umask(before);
  ASSERT_TRUE(saved);
  ASSERT_EQ(stat((dir / "fresh.csv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(sorted(dir.names()), (Names{"dangling.csv", "fresh.csv", "link.csv", "made.csv", "real.csv"}));
}

// In a sticky folder everyone may write, a link is followed only when it is the user's own or the
// folder owner's, at every step of a chain: another user's link to the user's file is refused and
// the file stays. Runs the saves as uid 65534 with links of uid 65533 (needs root to set that up).
TEST(SafeFile, FollowsLinksInSharedFoldersOnlyFromTrustedOwners) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make links of other users";
  constexpr uid_t kUs = 65534, kOther = 65533;
  datatest::ScratchDir dir;
  fs::create_directory(dir / "home");
  fs::create_directory(dir / "tmp");
  ASSERT_EQ(chown((dir / "home").c_str(), kUs, kUs), 0);
  ASSERT_EQ(chmod((dir / "tmp").c_str(), 01777), 0);  // owned by root, like /tmp
  writeFile(dir / "home" / "profile", "mine");
  ASSERT_EQ(chown((dir / "home" / "profile").c_str(), kUs, kUs), 0);
  auto link = [&](const std::string& name, const std::string& to, uid_t owner) {
    fs::create_symlink(to, dir / "tmp" / name);
    ASSERT_EQ(lchown((dir / "tmp" / name).c_str(), owner, owner), 0);
  };
  const std::string profile = (dir / "home" / "profile").string();
  link("planted.csv", profile, kOther);
  link("ours.csv", profile, kUs);
  link("roots.csv", "ours.csv", 0);
  link("chain.csv", "planted.csv", kUs);  // ours, but it leads through the planted one

  auto child = [&] {
    const bool dropped = setgid(kUs) == 0 && setuid(kUs) == 0;
    const bool refused = !save(dir / "tmp" / "planted.csv", "planted") &&
                         !save(dir / "tmp" / "chain.csv", "chain") && readFile(profile) == "mine";
    const bool followed = save(dir / "tmp" / "ours.csv", "ours") && readFile(profile) == "ours" &&
                          save(dir / "tmp" / "roots.csv", "roots") && readFile(profile) == "roots";
    std::fprintf(stderr, "%s\n", dropped && refused && followed ? "checked" : "mismatch");
    std::fflush(stderr);
    std::_Exit(dropped && refused && followed ? 0 : 1);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "checked");
  EXPECT_EQ(readFile(profile), "roots");
  EXPECT_TRUE(fs::is_symlink(dir / "tmp" / "planted.csv"));
  EXPECT_EQ(sorted(dir.names()), (Names{"home", "tmp"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "tmp"), {}), 4);
}

// The temporary's name is short: a name near the 255-byte limit still works. A pipe is never replaced.
TEST(SafeFile, LongNameWorksAndPipesAreRefused) {
  datatest::ScratchDir dir;
  const std::string name = std::string(246, 'n') + ".csv";
  ASSERT_TRUE(save(dir / name, "long"));
  EXPECT_EQ(readFile(dir / name), "long");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(save(dir / "pipe", "x"));
  EXPECT_TRUE(fs::is_fifo(dir / "pipe"));
  EXPECT_EQ(sorted(dir.names()), (Names{name, "pipe"}));
}
#endif
