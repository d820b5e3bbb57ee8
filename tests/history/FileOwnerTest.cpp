#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HistorySupport.h"
#include "common/PgServer.h"
#include "history/FileOwner.h"
#include "history/History.h"

using historytest::record;
using historytest::TempDir;

namespace {

enum class Kind { File, Server };

struct FileOwnerTest : ::testing::TestWithParam<Kind> {
  TempDir dir;
  history::Store store;
  std::string error;
  std::vector<messwert_tag> first, second;  // the downloads of VLM1 and VLM2

  void SetUp() override {
    std::string path = dir / "measurements.sqlite";
    if (GetParam() == Kind::Server) {
      pgtest::Server& server = pgtest::Server::shared();
      ASSERT_TRUE(server.running()) << server.error();
      path = server.freshDatabase();
      ASSERT_FALSE(path.empty()) << server.error();
    }
    ASSERT_TRUE(store.open(path, error)) << error;
    for (int i = 0; i < 10; ++i) {
      first.push_back(record(2026, 3, 7, 10, i, 0));
      second.push_back(record(2026, 3, 8, 10, i, 0));
    }
    history::ImportResult result;
    ASSERT_TRUE(store.importDownload("VLM1", dir / "one.csv", first, result, error)) << error;
    ASSERT_TRUE(store.importDownload("VLM2", dir / "two.csv", second, result, error)) << error;
  }

  history::FileOwner owner(const std::string& file, const std::string& stem,
                           const std::vector<messwert_tag>& records) {
    history::FileOwner out;
    EXPECT_TRUE(
        history::fileOwner(store, file, stem, records, std::vector<bool>(records.size(), false), out, error))
        << error;
    return out;
  }
};

// Which logger a file is of: the download the history wrote there first, then the lines it holds,
// then its name; a file that points nowhere is nobody's.
TEST_P(FileOwnerTest, TheDownloadOutranksTheContentsWhichOutrankTheName) {
  // one.csv was VLM1's download, even when it now holds VLM2's lines.
  history::FileOwner o = owner(dir / "one.csv", "VLM2", second);
  EXPECT_EQ(o.known, "VLM1");
  EXPECT_EQ(o.suggested, "");

  // An unknown file with VLM2's lines, named like VLM1: the lines win.
  o = owner(dir / "copy.csv", "VLM1", second);
  EXPECT_EQ(o.known, "");
  EXPECT_EQ(o.suggested, "VLM2");

  // Lines no logger has: the name points to a logger of the history, and only to one it has.
  const std::vector<messwert_tag> strange{record(2027, 1, 1, 0, 0, 0)};
  EXPECT_EQ(owner(dir / "VLM1.csv", "VLM1", strange).suggested, "VLM1");
  o = owner(dir / "VLM9.csv", "VLM9", strange);
  EXPECT_EQ(o.known + o.suggested, "");
  o = owner(dir / "x.csv", "", strange);
  EXPECT_EQ(o.known + o.suggested, "");
}

INSTANTIATE_TEST_SUITE_P(, FileOwnerTest, ::testing::Values(Kind::File, Kind::Server),
                         [](const auto& info) { return info.param == Kind::File ? "File" : "Server"; });

// A history that cannot be read is an error, never "nobody's file": the window would otherwise keep a
// logger's own download apart without a word.
TEST(FileOwner, AHistoryThatCannotBeReadIsAnErrorNotAnAnswer) {
  history::Store closed;
  history::FileOwner owner{"stale", "stale"};
  std::string error;
  const std::vector<messwert_tag> records{record(2026, 3, 7, 10, 0, 0)};
  EXPECT_FALSE(history::fileOwner(closed, "/tmp/a.csv", "a", records, {false}, owner, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(owner.known + owner.suggested, "");
}

}  // namespace
