// The steps the link reports beside its log lines, which the status bar and the command line follow.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/LinkFixture.h"
#include "link/Firmware.h"
#include "link/LinkAccess.h"
#include "link/Operations.h"

namespace {

using EventKind = LinkEvent::Kind;

std::vector<LinkEvent> ofKind(const std::vector<LinkEvent>& events, EventKind kind) {
  std::vector<LinkEvent> out;
  std::copy_if(events.begin(), events.end(), std::back_inserter(out),
               [kind](const LinkEvent& e) { return e.kind == kind; });
  return out;
}

}  // namespace

TEST_F(LinkFixture, DownloadReportsLoggerProgressAndTheSavedRecords) {
  velmora::Options options;
  options.records = 100;
  options.software = "V1.20";  // newer than the image: the check ends with a box, nothing sent
  attachLogger(options);
  connectOne();
  const auto file =
      std::filesystem::temp_directory_path() / ("link-event-" + std::to_string(getpid()) + ".csv");
  window.answerSaveDialog(file.string());
  LinkAccess(*usb).downloadActive() = true;
  usb->sendCommand("device.software");
  usb->sendCommand("mem.used");
  ASSERT_TRUE(window.waitForLine("Download finished"));
  usb->disconnect();

  const auto events = window.events();
  const auto connected = ofKind(events, EventKind::Connected);
  ASSERT_EQ(connected.size(), 1u);
  EXPECT_EQ(connected[0].text, "VLM12345");
  const auto version = ofKind(events, EventKind::SoftwareVersion);
  ASSERT_EQ(version.size(), 1u);
  EXPECT_EQ(version[0].text, "V1.20");
  const auto stored = ofKind(events, EventKind::StoredRecords);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].value, 100);
  // 100 records are 13 pages of 256 bytes: 52 packets, counted one by one up to the last.
  const auto progress = ofKind(events, EventKind::DataProgress);
  ASSERT_EQ(progress.size(), 52u);
  EXPECT_EQ(progress.front().value, 1);
  EXPECT_EQ(progress.back().value, 52);
  EXPECT_EQ(progress.back().total, 52);
  const auto saved = ofKind(events, EventKind::DownloadSaved);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].text, file.string());
  EXPECT_EQ(saved[0].value, 100);
  EXPECT_EQ(window.savedRecords().size(), 100u);
  // The saved event comes before the line that ends the download, and the link's end after it.
  EXPECT_EQ(ofKind(events, EventKind::Disconnected).size(), 1u);
  EXPECT_EQ(events.back().kind, EventKind::Disconnected);
  std::filesystem::remove(file);
}

// Every worker of a link that ends calls the teardown; only the first reports it, and a late one of the
// old link never reports the new link gone.
TEST_F(LinkFixture, ALinkThatEndsIsReportedGoneOnce) {
  auto first = attachLogger();
  connectOne();
  usbdrv::DetachDevice(first);
  ASSERT_TRUE(window.waitUntil([&] { return !usb->isConnected(); }));
  attachLogger();
  connectOne();
  ASSERT_TRUE(window.waitForLine("Worker thread exits", 3));
  usb->sendCommand("device.serial");
  ASSERT_TRUE(window.waitForLine("device.serial=VLM12345"));
  const auto events = window.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, EventKind::Connected);
  EXPECT_EQ(ofKind(events, EventKind::Disconnected).size(), 1u);
}

// Every operation started through link/Operations ends with exactly one OperationFinished that says how
// it ended, also when the caller's time-out and the link's end come after it.
TEST_F(LinkFixture, EachOperationEndsOnceWithItsOutcome) {
  const auto file =
      std::filesystem::temp_directory_path() / ("link-outcome-" + std::to_string(getpid()) + ".csv");
  const auto finishedOf = [this] { return ofKind(window.events(), EventKind::OperationFinished); };
  struct Case {
    const char* name;
    velmora::Options options;
    Operation operation;
    Outcome outcome;
    int64_t written;
  };
  velmora::Options full, empty, unplugged, newer, silent;
  full.records = 100;
  empty.records = 0;
  unplugged.unplugAfter = 10;
  newer.software = "V1.20";  // newer than the image
  silent.hostile.silent = true;
  const Case cases[] = {
      {"download", full, Operation::Download, Outcome::Done, 100},
      {"no records", empty, Operation::Download, Outcome::NoRecords, 0},
      {"unplugged", unplugged, Operation::Download, Outcome::Disconnected, 0},
      {"up to date", newer, Operation::FirmwareUpdate, Outcome::UpToDate, 0},
      {"no answer", silent, Operation::Download, Outcome::NoAnswer, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    usbdrv::DetachAllDevices();
    attachLogger(c.options);
    connectOne();
    window.clear();
    window.answerSaveDialog(file.string());
    if (c.operation == Operation::Download)
      operations::startDownload(*usb);
    else
      operations::startFirmwareUpdate(*usb);
    // The silent logger never answers: the caller's time-out ends the wait.
    if (c.outcome == Outcome::NoAnswer) {
      ASSERT_TRUE(window.waitForLine(" <<< mem.used"));
      operations::answerTimedOut(*usb);
    }
    ASSERT_TRUE(window.waitUntil([&] { return !finishedOf().empty(); }));
    operations::answerTimedOut(*usb);  // a time-out after the end ends nothing more
    usb->disconnect();
    const auto finished = finishedOf();
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].operation, c.operation);
    EXPECT_EQ(finished[0].outcome, c.outcome);
    EXPECT_EQ(finished[0].value, c.written);
    if (c.outcome == Outcome::Done) {
      EXPECT_EQ(finished[0].text, file.string());
    }
    if (c.outcome == Outcome::UpToDate) {
      EXPECT_EQ(finished[0].text, "V1.20");
    }
  }
  std::filesystem::remove(file);
}

// The logger that refuses the image it was sent ends the update as failed; one that restarts after
// taking it ends it as done, although its link goes down before the reader has said so.
TEST_F(RawLoggerFixture, FirmwareUpdateEndsFailedOrDone) {
  firmware::setCheckPauseMs(0);
  for (const char* check : {"firmware.check=0", "firmware.check=1"}) {
    SCOPED_TRACE(check);
    window.clear();
    operations::startFirmwareUpdate(*usb);
    answer("device.software=V1.00");
    answer("mem.save=463104,61184");
    answer(check);
    const auto finished = ofKind(window.events(), EventKind::OperationFinished);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].operation, Operation::FirmwareUpdate);
    EXPECT_EQ(finished[0].outcome, check[15] == '1' ? Outcome::Done : Outcome::Failed);
    raw->TakeOut(ep::kDatOut);
  }
  firmware::setCheckPauseMs(firmware::kCheckPauseMs);
}

// A clock setting and a console command keep no window timer: the link's own time-out ends them as
// NoAnswer, once, and an answer that comes late neither ends them again nor starts a step. A command
// sent by name takes only the answer named like it (or its refusal); earlier answers are only shown.
TEST_F(RawLoggerFixture, ClockAndConsoleCommandsEndOnceOnTheirOwn) {
  const auto finished = [this](Operation operation) {
    std::vector<LinkEvent> out;
    for (const LinkEvent& e : ofKind(window.events(), EventKind::OperationFinished))
      if (e.operation == operation) out.push_back(e);
    return out;
  };
  ASSERT_TRUE(operations::startSetTime(*usb, "2026-03-02,04:40:06"));
  ASSERT_TRUE(operations::startRawCommand(*usb, "device.serial"));
  ASSERT_TRUE(window.waitUntil([&] {
    return finished(Operation::SetTime).size() == 1 && finished(Operation::RawCommand).size() == 1;
  }));
  EXPECT_EQ(finished(Operation::SetTime)[0].outcome, Outcome::NoAnswer);
  EXPECT_EQ(finished(Operation::RawCommand)[0].outcome, Outcome::NoAnswer);
  answer("mem.used=300");  // the console command's late answer: only shown, as ever
  answer("date.date=2026-03-02,04:40:06");
  EXPECT_EQ(finished(Operation::SetTime).size(), 1u);
  EXPECT_EQ(finished(Operation::RawCommand).size(), 1u);

  for (const char* reply : {"mem.used=300", "error=mem.used"}) {
    SCOPED_TRACE(reply);
    window.clear();
    ASSERT_TRUE(operations::startRawCommandByName(*usb, "mem.used"));
    answer("device.serial=VLM12345");  // left over from an earlier exchange
    EXPECT_TRUE(finished(Operation::RawCommand).empty());
    answer(reply);
    const auto done = finished(Operation::RawCommand);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].outcome, Outcome::Done);
    EXPECT_EQ(done[0].text, reply);
  }
  const Lines lines = log();
  EXPECT_TRUE(std::none_of(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.rfind(" <<< mem.load", 0) == 0; }));
}
