// What people add to a logger's record, on both back ends: its name and place with every change, and
// comments on its excursions, each beside the earlier ones and read back as written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HistorySupport.h"
#include "common/PgServer.h"
#include "history/History.h"
#include "history/LoggerContext.h"

using historytest::TempDir;

namespace {

// A SQLite file (false) or a database of the tests' own PostgreSQL server (true).
struct LoggerRecord : ::testing::TestWithParam<bool> {
  TempDir dir;
  std::string path = dir / "measurements.sqlite";
  history::Store store;
  std::string error;
  const history::Computer anna{"lab-pc", "anna"}, ben{"office", "ben"};

  void SetUp() override {
    if (GetParam()) {
      pgtest::Server& server = pgtest::Server::shared();
      ASSERT_TRUE(server.running()) << server.error();
      path = server.freshDatabase();
      ASSERT_FALSE(path.empty()) << server.error();
    }
    ASSERT_TRUE(store.open(path, error)) << error;
  }

  history::LoggerLabel label(const std::string& logger) {
    history::LoggerLabel out;
    EXPECT_TRUE(store.loggerLabel(logger, out, error)) << error;
    return out;
  }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(, LoggerRecord, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "PostgreSQL" : "SQLite";
});

TEST_P(LoggerRecord, NameAndPlaceChangeWithWhoWhenBeforeAndAfter) {
  EXPECT_TRUE(label("VLM70001").empty());
  ASSERT_TRUE(store.setLoggerLabel("VLM70001", std::string("  Fridge 3 \u2013 vaccines\n"),
                                   std::string("Vaccine store"), anna, error))
      << error;
  // A part not given keeps its value; the same again records nothing.
  ASSERT_TRUE(store.setLoggerLabel("VLM70001", std::nullopt, std::string("Cold room 2"), ben, error))
      << error;
  ASSERT_TRUE(
      store.setLoggerLabel("VLM70001", std::string("Fridge 3 \u2013 vaccines"), std::nullopt, ben, error))
      << error;
  // Refused whole: not UTF-8, too long.
  EXPECT_FALSE(store.setLoggerLabel("VLM70001", std::string("K\xFChlschrank"), std::string("x"), ben, error));
  EXPECT_NE(error.find("not UTF-8"), std::string::npos) << error;
  EXPECT_FALSE(store.setLoggerLabel("VLM70001", std::string(65, 'n'), std::nullopt, ben, error));
  EXPECT_NE(error.find("longer than 64"), std::string::npos) << error;

  const history::LoggerLabel now = label("VLM70001");
  EXPECT_EQ(now.name, "Fridge 3 \u2013 vaccines");
  EXPECT_EQ(now.place, "Cold room 2");
  std::vector<history::LabelChange> changes;
  ASSERT_TRUE(store.labelChanges("VLM70001", changes, error)) << error;
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].who.user, GetParam() ? "desk" : "anna");  // a server's word: the login
  EXPECT_EQ(changes[0].before.name + "|" + changes[0].before.place, "|");
  EXPECT_EQ(changes[1].who.host, "office");
  EXPECT_EQ(changes[1].before.place, "Vaccine store");
  EXPECT_EQ(changes[1].after.name + "|" + changes[1].after.place, "Fridge 3 \u2013 vaccines|Cold room 2");
  EXPECT_GT(changes[1].utc, 1700000000);

  // An empty one removes it; the overview and a report's context carry what is set.
  ASSERT_TRUE(store.setLoggerLabel("VLM70001", std::nullopt, std::string(), anna, error)) << error;
  std::vector<history::LoggerSummary> rows;
  ASSERT_TRUE(store.loggerSummaries(rows, error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].label.name, "Fridge 3 \u2013 vaccines");
  EXPECT_EQ(rows[0].label.place, "");
  history::LoggerContext context;
  ASSERT_TRUE(history::readLoggerContext(store, "VLM70001", {1}, 0, context, error)) << error;
  EXPECT_EQ(history::loggerTitle("VLM70001", context.label), "VLM70001 (Fridge 3 \u2013 vaccines)");

  // Kept across sessions.
  store.close();
  ASSERT_TRUE(store.open(path, error)) << error;
  EXPECT_EQ(label("VLM70001").name, "Fridge 3 \u2013 vaccines");
}

TEST_P(LoggerRecord, CommentsOnExcursionsStandBesideEachOtherAndReachTheContext) {
  history::ExcursionComment first;
  first.sensor = 2;
  first.quantity = "temperature";
  first.start = 1772409600;
  first.utc = 1772500000;
  first.who = anna;
  first.cause = "Door left open\tduring the stock count";
  ASSERT_TRUE(store.addExcursionComment("VLM1", first, error)) << error;
  history::ExcursionComment later = first;
  later.utc = 0;  // now
  later.who = ben;
  later.cause.clear();
  later.action = "Door alarm installed";
  ASSERT_TRUE(store.addExcursionComment("VLM1", later, error)) << error;

  history::ExcursionComment bad = first;
  bad.cause = bad.action = " ";
  EXPECT_FALSE(store.addExcursionComment("VLM1", bad, error));
  bad = first;
  bad.quantity = "pressure";
  EXPECT_FALSE(store.addExcursionComment("VLM1", bad, error));
  bad = first;
  bad.action = std::string(501, 'a');
  EXPECT_FALSE(store.addExcursionComment("VLM1", bad, error));

  std::vector<history::ExcursionComment> comments;
  ASSERT_TRUE(store.excursionComments("VLM1", comments, error)) << error;
  ASSERT_EQ(comments.size(), 2u);
  EXPECT_EQ(comments[0].cause, "Door left open during the stock count");
  EXPECT_EQ(comments[0].utc, 1772500000);
  EXPECT_EQ(comments[0].who.user, "anna");  // given with its time: copied as it was
  EXPECT_EQ(comments[1].action, "Door alarm installed");
  EXPECT_EQ(comments[1].who.user, GetParam() ? "desk" : "ben");  // a new one on a server: the login
  EXPECT_EQ(comments[1].start, first.start);
  EXPECT_GT(comments[1].utc, 1700000000);

  // A report's context: the comments, and every change of the limits of its sensors with its reason.
  history::Limits limits;
  limits.temperature.upper = 8;
  ASSERT_TRUE(store.setLimits("VLM1", std::nullopt, limits, anna, error)) << error;
  limits.temperature.upper = 9;
  ASSERT_TRUE(store.setLimits("VLM1", uint16_t{3}, limits, anna, error)) << error;  // another sensor's
  limits.temperature.upper = 10;
  ASSERT_TRUE(store.setLimits("VLM1", std::nullopt, limits, ben, error, "Product allows 10 \u00B0C"))
      << error;
  history::LoggerContext context;
  ASSERT_TRUE(history::readLoggerContext(store, "VLM1", {2}, 0, context, error)) << error;
  EXPECT_EQ(context.comments.size(), 2u);
  ASSERT_EQ(context.limitChanges.size(), 2u);
  EXPECT_EQ(context.limitChanges[1].reason, "Product allows 10 \u00B0C");
  EXPECT_NE(history::limitChangeText(context.limitChanges[1])
                .find(std::string(GetParam() ? "desk" : "ben") + " on office, the logger: "),
            std::string::npos);
  EXPECT_NE(history::limitChangeText(context.limitChanges[1]).find(", reason: Product allows 10 \u00B0C"),
            std::string::npos);
}

TEST(NoteText, OneLineOfUtf8WithinItsLimit) {
  std::string out, error;
  ASSERT_TRUE(history::noteText(" a\r\nb\x01\xC2\x85 c ", 10, "x", out, error)) << error;
  EXPECT_EQ(out, "a  b c");
  EXPECT_FALSE(history::noteText("\xED\xA0\x80", 10, "x", out, error));  // a surrogate
  EXPECT_FALSE(history::noteText("\xC0\xAF", 10, "x", out, error));      // overlong
  EXPECT_TRUE(history::noteText("\xC3\xA9\xC3\xA9", 4, "x", out, error));
  EXPECT_FALSE(history::noteText("\xC3\xA9\xC3\xA9\xC3\xA9", 5, "x", out, error));
  // Read back, whatever another program wrote: cut on a character's boundary.
  EXPECT_EQ(history::shownNote("\xC3\xA9\xC3\xA9\xC3\xA9", 5), "\xC3\xA9\xC3\xA9");
  EXPECT_EQ(history::shownNote("a\xFF", 10), "a\xEF\xBF\xBD");
}
