#include <gtest/gtest.h>

#include <string>

#include "link/LinkAccess.h"
#include "link/MyDatReader.h"
#include "link/MyDbgReader.h"
#include "link/ReaderSupport.h"

using Kind = RecordingWindow::Kind;

namespace {
struct DbgReader : datatest::LinkFixture {
  CMyDbgReader reader{link.get(), link->linkGeneration()};
};
}  // namespace

TEST_F(DbgReader, MessageIsTheTextUpToTheFirstZero) {
  const std::string full(64, 'x');
  deliver(reader, full.data(), 64);
  deliver(reader, "", 0);
  deliver(reader, "\0AB", 3);
  deliver(reader, "AB\0CD", 5);
  deliver(reader,
          "Temp \xFC"
          "ber 40",
          12);  // text bytes pass unchanged
  // Controls and the bytes Windows-1252 leaves undefined are escaped.
  deliver(reader, "T\r\n\x1B[2J\x9D\x80", 9);
  EXPECT_EQ(window.log(), (std::vector<std::string>{"DBG>>>" + full, "DBG>>>", "DBG>>>", "DBG>>>AB",
                                                    "DBG>>>Temp \xFC"
                                                    "ber 40",
                                                    "DBG>>>T\\x0D\\x0A\\x1B[2J\\x9D\x80"}));
  for (const auto& e : window.effects()) EXPECT_EQ(e.kind, Kind::Info);
}

TEST_F(DbgReader, FailedReadGoesThroughErrorMsg) {
  window.startBusy();
  deliver(reader, "ignored", 7, 0xE000101B);
  EXPECT_EQ(window.log(), std::vector<std::string>{
                              "Error ProcessData DbgInPipe: Error code 0xE000101B: Device powered down."});
  EXPECT_EQ(window.effects().back().kind, Kind::Error);
  EXPECT_FALSE(window.busy());
}

// Both readers end the same way: report, then disconnect their own link and no newer one.
TEST_F(DbgReader, WorkerExitDisconnectsOnlyItsOwnLink) {
  const uint64_t current = link->linkGeneration(), older = current - 1;
  CMyDatReader dat{link.get(), current}, staleDat{link.get(), older};
  CMyDbgReader staleDbg{link.get(), older};
  for (CUsbThread* r : {static_cast<CUsbThread*>(&reader), static_cast<CUsbThread*>(&dat)}) {
    window.clear();
    LinkAccess(*link).connected() = true;
    r->OnWorkerExit();
    ASSERT_FALSE(window.log().empty());
    EXPECT_EQ(window.log().front(), "Worker thread exits");
    EXPECT_EQ(window.effects().front().kind, Kind::Error);
    EXPECT_FALSE(link->isConnected());
  }
  for (CUsbThread* r : {static_cast<CUsbThread*>(&staleDbg), static_cast<CUsbThread*>(&staleDat)}) {
    LinkAccess(*link).connected() = true;
    r->OnWorkerExit();
    EXPECT_TRUE(link->isConnected());
  }
}
